// Several processes put, remove, re-map and solidify on one store while some are killed with
// SIGKILL at random moments or end themselves at chosen points (inside a put, during a solidify
// pass, during the upgrade). After every round a fresh process opens the store, verifies what the
// dead left tentative and checks that no solid mapping was lost, that no id or object is mapped
// twice and that every mapped object carries its id as stamp.
//
// The children are this program started again with OSTREL_IDMAP_CHILD naming their work.
// OSTREL_IDMAP_CRASH_ROUNDS and OSTREL_IDMAP_CRASH_SEED set the rounds and seed (the soak script).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <thread>

#include "IdMapTestSupport.h"
#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/IdMapperFile.h"
#include "Support/Child.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace IdMapTest {
namespace {

std::atomic<bool> g_bStop{false};

void Put(IdMapper& mapper, LONG lOstId, const std::string& eid) {
    mapper.Put(lOstId, ULONG(eid.size()), reinterpret_cast<BYTE*>(const_cast<char*>(eid.data())), TRUE);
}

// A worker: its own id range, random operations until SIGTERM (clean end) or death.
int RunWorker(const std::string& sPath, int index, unsigned seed) {
    signal(SIGTERM, [](int) { g_bStop = true; });
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    ComPtr<IMsgStore> pStore = OpenStore(sPath, false);
    ComPtr<IMAPIFolder> pInbox = pStore ? Inbox(pStore.Get()) : nullptr;
    if (!pInbox)
        return 10;
    int code = 0;
    {
        IdMapper mapper(nullptr, pStore.Get(), IdMapperTypeItem);
        mapper.LoadAndVerifyIfNec();
        if (FAILED(mapper.LoadCache()))
            return 11;
        auto& impl = dynamic_cast<FileMapper&>(*mapper.GetImpl());
        std::mt19937 rng(seed);
        std::vector<std::pair<LONG, std::string>> mine;
        LONG lNext = index * 1000000 + 1;
        std::puts("ready");
        std::fflush(stdout);
        while (!g_bStop) {
            const unsigned r = rng() % 100;
            const size_t i = mine.empty() ? 0 : rng() % mine.size();
            if (r < 40 || mine.empty()) {
                const LONG id = lNext++;
                const std::string eid = NewMessage(pStore.Get(), pInbox.Get(), id);
                Put(mapper, id, eid);
                mine.emplace_back(id, eid);
            } else if (r < 55) {  // the same id on a new object, the old one deleted afterwards
                const std::string eid = NewMessage(pStore.Get(), pInbox.Get(), mine[i].first);
                Put(mapper, mine[i].first, eid);
                DeleteMessage(pStore.Get(), pInbox.Get(), mine[i].second);
                mine[i].second = eid;
            } else if (r < 65) {  // the object gets a new id
                const LONG id = lNext++;
                Put(mapper, id, mine[i].second);
                mine[i].first = id;
            } else if (r < 80) {
                mapper.Remove(mine[i].first);
                DeleteMessage(pStore.Get(), pInbox.Get(), mine[i].second);
                mine.erase(mine.begin() + static_cast<ptrdiff_t>(i));
            } else if (r < 88) {
                impl.SolidifyMature(true);
            } else if (impl.LookupPstId(mine[i].first) != PstIdOf(mine[i].second)) {
                std::printf("FAIL lookup of %d\n", mine[i].first);
                code = 12;
                break;
            }
            clock.Advance(2000);  // lets the solidifier thread run its passes
        }
    }
    std::fflush(stdout);
    return code;
}

// A fresh process's view after the others are gone: verify, then check.
int RunChecker(const std::string& sPath) {
    const std::filesystem::path idm = std::filesystem::path(sPath).replace_extension(".idmv");
    const std::map<ULONG, ULONG> solid = SolidRecords(ReadFile(idm));
    ComPtr<IMsgStore> pStore = OpenStore(sPath, false);
    if (!pStore)
        return 20;
    IdMapper mapper(nullptr, pStore.Get(), IdMapperTypeItem);
    if (FAILED(mapper.LoadAndVerifyIfNec()) || FAILED(mapper.LoadCache()))
        return 21;
    auto& impl = dynamic_cast<FileMapper&>(*mapper.GetImpl());
    int cProblems = 0;
    for (const auto& [ulOstId, ulPstId] : solid)
        if (impl.LookupPstId(LONG(ulOstId)) != ulPstId) {
            std::printf("FAIL solid mapping %d->%u lost\n", LONG(ulOstId), ulPstId);
            ++cProblems;
        }
    for (const std::string& problem : FindInconsistencies(pStore.Get(), mapper, idm, false)) {
        std::printf("FAIL %s\n", problem.c_str());
        ++cProblems;
    }
    std::printf("checked %zu mappings, %zu solid before\n", mapper.Size(), solid.size());
    return cProblems ? 1 : 0;
}

// Upgrades the legacy file beside the store (and dies half way when the test option says so).
int RunUpgrade(const std::string& sPath) {
    ComPtr<IMsgStore> pStore = OpenStore(sPath, false);
    IdMapper mapper(nullptr, pStore.Get(), IdMapperTypeItem);
    return mapper.Size() > 0 ? 0 : 30;
}

struct ChildMode {
    ChildMode() {
        const char* psz = std::getenv("OSTREL_IDMAP_CHILD");
        if (!psz)
            return;
        std::istringstream in(psz);
        std::string action, path;
        in >> action >> path;
        int code = 40;
        if (action == "worker") {
            int index = 0;
            unsigned seed = 0;
            in >> index >> seed;
            code = RunWorker(path, index, seed);
        } else if (action == "check") {
            code = RunChecker(path);
        } else if (action == "upgrade") {
            code = RunUpgrade(path);
        }
        std::fflush(stdout);
        _exit(code);
    }
} g_childMode;

using Child = TestSupport::SelfChild;
using TestSupport::FinishSelf;
using TestSupport::ReadLine;

// The children share a runtime folder of their own: the test process may have opened the
// mappers' shared verification flag, and must not count as a live process to them.
std::filesystem::path g_runDir;

Child Start(const std::string& command, const std::string& testOptions = {}) {
    return TestSupport::StartSelf(
        "OSTREL_IDMAP_CHILD", command,
        {{"XDG_RUNTIME_DIR", g_runDir.string()}, {"OSTREL_TEST_OPTIONS", testOptions}, {"OSTREL_LOG", "0"}});
}

int EnvInt(const char* pszName, int iDefault) {
    const char* psz = std::getenv(pszName);
    return psz ? std::atoi(psz) : iDefault;
}

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_home.Path() / "crash.osd";
        g_runDir = m_home.Path() / "run";
        std::filesystem::create_directories(g_runDir);
        std::filesystem::permissions(g_runDir, std::filesystem::perms::owner_all);
        ASSERT_TRUE(OpenStore(m_path, true));
    }

    void ExpectCheckPasses(const std::string& round) {
        Child checker = Start("check " + m_path.string());
        std::string out;
        EXPECT_EQ(FinishSelf(checker, &out), 0) << round << "\n" << out;
        if (std::getenv("OSTREL_IDMAP_CRASH_VERBOSE"))
            std::printf("%s: %s", round.c_str(), out.c_str());
    }

    TestSupport::TempHome m_home;
    std::filesystem::path m_path;
};

TEST_F(CrashTest, KilledWritersLoseNoSolidMappingAndLeaveNoDuplicates) {
    const int cRounds = EnvInt("OSTREL_IDMAP_CRASH_ROUNDS", 8);
    const unsigned seed = static_cast<unsigned>(EnvInt("OSTREL_IDMAP_CRASH_SEED", 20261206));
    std::mt19937 rng(seed);
    static const char* const kHooks[] = {"TermDuringIDMPut", "TermAfterIDMPut", "TermAfterIDMRemove",
                                         "TermDuringIDMSolidify"};
    int workerIndex = 1;
    for (int round = 0; round < cRounds; ++round) {
        const int cWorkers = 2 + int(rng() % 3);
        std::vector<Child> workers;
        std::string hook;
        for (int w = 0; w < cWorkers; ++w) {
            // One worker in two rounds ends itself at a chosen point; the others only die by signal.
            const bool bHooked = w == 0 && round % 2 == 0;
            if (bHooked)
                hook = kHooks[(round / 2) % 4];
            workers.push_back(
                Start("worker " + m_path.string() + " " + std::to_string(workerIndex++) + " " + std::to_string(rng()),
                      bHooked ? hook : std::string()));
        }
        for (Child& worker : workers)
            ASSERT_EQ(ReadLine(worker), "ready\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 400));
        kill(workers[rng() % workers.size()].pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 200));
        // The rest end cleanly or are killed as well.
        for (Child& worker : workers)
            kill(worker.pid, rng() % 3 == 0 ? SIGTERM : SIGKILL);
        for (Child& worker : workers) {
            std::string out;
            const int code = FinishSelf(worker, &out);
            EXPECT_TRUE(code == 0 || code == 1 || code == 128 + SIGKILL) << code << "\n" << out;
        }
        ExpectCheckPasses("round " + std::to_string(round) + " (seed " + std::to_string(seed) + ", hook '" + hook +
                          "')");
        if (HasFailure())
            break;
    }
}

TEST_F(CrashTest, AnUpgradeKilledHalfWayIsDoneAgain) {
    ComPtr<IMsgStore> pStore = OpenStore(m_path, false);
    ComPtr<IMAPIFolder> pInbox = Inbox(pStore.Get());
    const ULONG cRecords = 200;
    std::vector<BYTE> legacy(kIdmLegacyHeaderSize + cRecords * kIdmLegacyRecordSize, 0);
    const ULONG ulSig = kIdmLegacySignature;
    std::memcpy(legacy.data(), &ulSig, 4);
    std::memcpy(legacy.data() + 12, &cRecords, 4);
    for (ULONG i = 0; i < cRecords; ++i) {
        const ULONG ids[2] = {i + 1, PstIdOf(NewMessage(pStore.Get(), pInbox.Get(), LONG(i + 1)))};
        std::memcpy(legacy.data() + kIdmLegacyHeaderSize + i * kIdmLegacyRecordSize, ids, sizeof ids);
    }
    pInbox = nullptr;
    pStore = nullptr;
    const auto legacyPath = std::filesystem::path(m_path).replace_extension(".idm");
    WriteFile(legacyPath, legacy);
    Child dying = Start("upgrade " + m_path.string(), "TermDuringIDMUpgrade");
    EXPECT_EQ(FinishSelf(dying), 1);
    EXPECT_TRUE(std::filesystem::exists(legacyPath));
    Child upgrade = Start("upgrade " + m_path.string());
    EXPECT_EQ(FinishSelf(upgrade), 0);
    EXPECT_FALSE(std::filesystem::exists(legacyPath));
    ExpectCheckPasses("after upgrade");
    pStore = OpenStore(m_path, false);
    IdMapper mapper(nullptr, pStore.Get(), IdMapperTypeItem);
    EXPECT_EQ(mapper.Size(), cRecords);
}

}  // namespace
}  // namespace IdMapTest
