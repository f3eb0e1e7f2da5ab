// 1,000,000 mappings in the item mapper file against the same pairs in an indexed SQLite table
// (ost INTEGER PRIMARY KEY, pst INTEGER with an index), both on disk in one run: lookups by server
// id and by node id in random order, puts with their solidification, and the time to open the
// file of a million mappings and load it. Prints the ratios (goal: lookups at least 10x faster
// than SQLite's) and the memory the mapper's cache holds.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/IdMap/IdmVerified.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/RatioReporter.h"
#include "Util/Log/Log.h"

namespace {

using namespace Ostrel::Mapi;

constexpr LONG kMappings = 1000000;
constexpr size_t kProbes = 1 << 16;

struct World {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> pStore;
    RecordKey key{};
    std::unique_ptr<IdMapper> pMapper;
    sqlite3* pDb = nullptr;
    sqlite3_stmt* pByOst = nullptr;
    sqlite3_stmt* pByPst = nullptr;
    std::vector<LONG> probeIds;
    std::vector<ULONG> probeNids;
    double putSeconds = 0, openSeconds = 0;

    static ULONG NidOf(LONG id) { return ULONG(id) << 5 | 4; }

    World() {
        dir = std::filesystem::temp_directory_path() / ("idmap_bench." + std::to_string(getpid()));
        std::filesystem::create_directories(dir / "run");
        std::filesystem::permissions(dir / "run", std::filesystem::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        Platform::OpenOsdStore(dir / "bench.osd", true, L"Bench", true, pStore.AddressOf());
        ReadStoreRecordKey(pStore.Get(), &key);
        SetIdmVerified(1);
        std::mt19937 rng(1);
        for (size_t i = 0; i < kProbes; ++i) {
            probeIds.push_back(LONG(1 + rng() % kMappings));
            probeNids.push_back(NidOf(LONG(1 + rng() % kMappings)));
        }
    }
    ~World() {
        pMapper.reset();
        sqlite3_finalize(pByOst);
        sqlite3_finalize(pByPst);
        sqlite3_close(pDb);
        pStore = nullptr;
        std::filesystem::remove_all(dir);
    }
};

World& TheWorld() {
    static World world;
    return world;
}

// Builds the file: a million puts (entry ids as the store makes them, no stamp check) and the
// solidification of all of them.
void BM_MapperPutAndSolidify(benchmark::State& state) {
    World& w = TheWorld();
    for (auto _ : state) {
        w.pMapper = std::make_unique<IdMapper>(nullptr, w.pStore.Get(), IdMapperTypeItem);
        w.pMapper->LoadCache();
        const auto start = std::chrono::steady_clock::now();
        for (LONG id = 1; id <= kMappings; ++id) {
            std::string eid = MakePstEntryId(w.key, World::NidOf(id));
            w.pMapper->Put(id, ULONG(eid.size()), reinterpret_cast<BYTE*>(eid.data()), FALSE);
        }
        dynamic_cast<FileMapper&>(*w.pMapper->GetImpl()).SolidifyMature(true);
        w.putSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(w.putSeconds);
    }
    state.counters["puts/s"] = kMappings / w.putSeconds;
}

void BM_MapperOpen(benchmark::State& state) {
    World& w = TheWorld();
    for (auto _ : state) {
        w.pMapper.reset();
        const auto start = std::chrono::steady_clock::now();
        w.pMapper = std::make_unique<IdMapper>(nullptr, w.pStore.Get(), IdMapperTypeItem);
        w.pMapper->LoadCache();
        w.openSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(w.openSeconds);
    }
    auto& impl = dynamic_cast<FileMapper&>(*w.pMapper->GetImpl());
    state.counters["mappings"] = double(impl.Size());
    state.counters["cache MiB"] = double(impl.CacheMemoryBytes()) / (1 << 20);
}

void BM_MapperLookupByOstId(benchmark::State& state) {
    World& w = TheWorld();
    auto& impl = dynamic_cast<FileMapper&>(*w.pMapper->GetImpl());
    size_t i = 0, cFound = 0;
    for (auto _ : state)
        cFound += impl.LookupPstId(w.probeIds[i++ & (kProbes - 1)]) != 0;
    if (cFound != static_cast<size_t>(state.iterations()))
        state.SkipWithError("lookup missed");
}

void BM_MapperLookupByPstId(benchmark::State& state) {
    World& w = TheWorld();
    auto& impl = dynamic_cast<FileMapper&>(*w.pMapper->GetImpl());
    size_t i = 0, cFound = 0;
    LONG lOstId = 0;
    for (auto _ : state)
        cFound += impl.LookupOstId(w.probeNids[i++ & (kProbes - 1)], &lOstId) != 0;
    if (cFound != static_cast<size_t>(state.iterations()))
        state.SkipWithError("lookup missed");
}

void BM_SqliteBuild(benchmark::State& state) {
    World& w = TheWorld();
    for (auto _ : state) {
        const auto path = w.dir / "map.db";
        std::filesystem::remove(path);
        sqlite3_open(path.c_str(), &w.pDb);
        sqlite3_exec(w.pDb,
                     "PRAGMA journal_mode=WAL; CREATE TABLE map(ost INTEGER PRIMARY KEY, pst INTEGER NOT NULL);"
                     "CREATE UNIQUE INDEX map_pst ON map(pst); BEGIN;",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* pInsert = nullptr;
        sqlite3_prepare_v2(w.pDb, "INSERT INTO map VALUES(?,?)", -1, &pInsert, nullptr);
        for (LONG id = 1; id <= kMappings; ++id) {
            sqlite3_bind_int64(pInsert, 1, id);
            sqlite3_bind_int64(pInsert, 2, World::NidOf(id));
            sqlite3_step(pInsert);
            sqlite3_reset(pInsert);
        }
        sqlite3_finalize(pInsert);
        sqlite3_exec(w.pDb, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(w.pDb, "SELECT pst FROM map WHERE ost=?", -1, &w.pByOst, nullptr);
        sqlite3_prepare_v2(w.pDb, "SELECT ost FROM map WHERE pst=?", -1, &w.pByPst, nullptr);
    }
}

size_t SqliteLookup(sqlite3_stmt* pStmt, int64_t key) {
    sqlite3_bind_int64(pStmt, 1, key);
    const bool bRow = sqlite3_step(pStmt) == SQLITE_ROW;
    sqlite3_reset(pStmt);
    return bRow;
}

void BM_SqliteLookupByOstId(benchmark::State& state) {
    World& w = TheWorld();
    size_t i = 0, cFound = 0;
    for (auto _ : state)
        cFound += SqliteLookup(w.pByOst, w.probeIds[i++ & (kProbes - 1)]);
    if (cFound != static_cast<size_t>(state.iterations()))
        state.SkipWithError("lookup missed");
}

void BM_SqliteLookupByPstId(benchmark::State& state) {
    World& w = TheWorld();
    size_t i = 0, cFound = 0;
    for (auto _ : state)
        cFound += SqliteLookup(w.pByPst, w.probeNids[i++ & (kProbes - 1)]);
    if (cFound != static_cast<size_t>(state.iterations()))
        state.SkipWithError("lookup missed");
}

BENCHMARK(BM_MapperPutAndSolidify)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapperOpen)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapperLookupByOstId);
BENCHMARK(BM_MapperLookupByPstId);
BENCHMARK(BM_SqliteBuild)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteLookupByOstId);
BENCHMARK(BM_SqliteLookupByPstId);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    BenchSupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double byOst = reporter.Cpu("BM_SqliteLookupByOstId") / reporter.Cpu("BM_MapperLookupByOstId");
    const double byPst = reporter.Cpu("BM_SqliteLookupByPstId") / reporter.Cpu("BM_MapperLookupByPstId");
    std::printf("lookup by server id: mapper %.1fx faster than SQLite (goal 10x)\n", byOst);
    std::printf("lookup by node id:   mapper %.1fx faster than SQLite (goal 10x)\n", byPst);
    std::printf("open of %d mappings: %.0f ms (goal under 1000 ms); %.0f puts/s with solidify\n", kMappings,
                TheWorld().openSeconds * 1000, kMappings / TheWorld().putSeconds);
    benchmark::Shutdown();
    return 0;
}
