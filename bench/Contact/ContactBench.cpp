// Reading a 50,000-entry SyncGal reply from the simulator into contacts, through the DOM
// (load the reply file, CreateContactList) and through the event-driven reader (ContactReader on a
// file stream, each contact handed on and dropped), in the same run. Reports both rates, the peak
// heap of each (C++ allocations and libxml2's, counted by this program), and their ratios.
// The event-driven path must stay flat: its peak on the 50,000-entry reply is also compared with
// its peak on a 5,000-entry one.
// The same reader feeding every entry into a store contact (ContactStoreWriter in a batch: convert,
// stamp, save, commit a chunk at a time, map by reference in the GAL mapper) is measured in the
// same run against the reader alone, on 50,000 and on 5,000 entries for flatness.
#include <benchmark/benchmark.h>
#include <libxml/xmlmemory.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <string>

#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/FileStream.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Platform/Xml/Dom.h"
#include "ostrel-server/Contacts.h"
#include "ostrel-server/Server.h"

// After the system's headers: fcntl.h, which it pulls in, defines LOCK_WRITE as a macro.
#include <httplib.h>

// ---- Heap accounting -------------------------------------------------------------------------

namespace {

std::atomic<int64_t> g_current{0};
std::atomic<int64_t> g_peak{0};

void Count(int64_t delta) {
    int64_t now = g_current.fetch_add(delta, std::memory_order_relaxed) + delta;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

// Not inlined into operator new/delete, where the compiler would take malloc and free for a mismatch.
[[gnu::noinline]] void* CountedMalloc(size_t n) {
    void* p = std::malloc(n);
    if (p)
        Count(static_cast<int64_t>(malloc_usable_size(p)));
    return p;
}

[[gnu::noinline]] void CountedFree(void* p) {
    if (p)
        Count(-static_cast<int64_t>(malloc_usable_size(p)));
    std::free(p);
}

void* CountedRealloc(void* p, size_t n) {
    int64_t before = p ? static_cast<int64_t>(malloc_usable_size(p)) : 0;
    void* q = std::realloc(p, n);
    if (q)
        Count(static_cast<int64_t>(malloc_usable_size(q)) - before);
    return q;
}

char* CountedStrdup(const char* s) {
    size_t n = std::strlen(s) + 1;
    char* p = static_cast<char*>(CountedMalloc(n));
    if (p)
        std::memcpy(p, s, n);
    return p;
}

// Peak heap growth over a scope.
class PeakScope {
public:
    PeakScope() : m_base(g_current.load()) { g_peak.store(m_base); }
    int64_t Peak() const { return g_peak.load() - m_base; }

private:
    int64_t m_base;
};

}  // namespace

void* operator new(size_t n) {
    if (void* p = CountedMalloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    CountedFree(p);
}
void operator delete[](void* p) noexcept {
    CountedFree(p);
}
void operator delete(void* p, size_t) noexcept {
    CountedFree(p);
}
void operator delete[](void* p, size_t) noexcept {
    CountedFree(p);
}

// ---- The replies -----------------------------------------------------------------------------

namespace {

constexpr size_t kLargeGal = 50000;
constexpr size_t kSmallGal = 5000;

std::filesystem::path ReplyFile(size_t entries) {
    return std::filesystem::temp_directory_path() /
           ("ostrel_contact_bench_" + std::to_string(getpid()) + "_" + std::to_string(entries) + ".xml");
}

// Fetches a SyncGal reply of the given size from the simulator into a file, as the connection
// keeps a large reply.
void FetchReply(OstrelServer::Server& server, size_t entries) {
    server.State<OstrelServer::ContactBook>().SetGalSize(entries);
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(300, 0);
    auto res = client.Post("/service/soap/SyncGalRequest",
                           "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>"
                           "<context xmlns=\"urn:ostrel\"/></soap:Header><soap:Body>"
                           "<SyncGalRequest xmlns=\"urn:ostrelAccount\"/></soap:Body></soap:Envelope>",
                           "application/soap+xml; charset=utf-8");
    if (!res || res->status != 200) {
        std::fprintf(stderr, "SyncGalRequest failed\n");
        std::exit(1);
    }
    std::ofstream(ReplyFile(entries), std::ios::binary) << res->body;
}

std::map<std::string, int64_t> g_peaks;  // benchmark name -> largest peak of an iteration

void Record(benchmark::State& state, const char* name, int64_t peak, size_t contacts, size_t expected) {
    if (contacts != expected)
        state.SkipWithError("wrong number of contacts");
    g_peaks[name] = std::max(g_peaks[name], peak);
    state.counters["peak_MiB"] = static_cast<double>(g_peaks[name]) / (1024.0 * 1024.0);
}

void DomPath(benchmark::State& state) {
    std::filesystem::path file = ReplyFile(kLargeGal);
    for (auto _ : state) {
        PeakScope scope;
        size_t count = 0;
        {
            Platform::ComPtr<IXMLDOMDocument2> doc;
            Platform::Xml::CreateDocument(doc.AddressOf());
            doc->setProperty(L"SelectionNamespaces", Ostrel::Rpc::Soap::kSelectionNamespaces);
            doc->load(file);
            auto contacts = Ostrel::Mail::Contact::CreateContactList(doc.Get(), false);
            count = contacts->size();
        }
        Record(state, "DomPath", scope.Peak(), count, kLargeGal);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kLargeGal));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * std::filesystem::file_size(file)));
}

void EventPath(benchmark::State& state, size_t entries, const char* name) {
    std::filesystem::path file = ReplyFile(entries);
    for (auto _ : state) {
        PeakScope scope;
        size_t count = 0;
        {
            Platform::ComPtr<IStream> stream;
            Platform::CreateFileStream(file, STGM_READ, false, stream.AddressOf());
            Ostrel::Mail::ContactReader reader(false, 0, [](std::unique_ptr<Ostrel::Mail::Contact> p) {
                benchmark::DoNotOptimize(p->GetContId());
                return S_OK;
            });
            if (FAILED(reader.Read(stream.Get())))
                state.SkipWithError("the event-driven reader failed");
            count = reader.GetCount();
        }
        Record(state, name, scope.Peak(), count, entries);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * std::filesystem::file_size(file)));
}

void EventPathLarge(benchmark::State& state) {
    EventPath(state, kLargeGal, "EventPath");
}
void EventPathSmall(benchmark::State& state) {
    EventPath(state, kSmallGal, "EventPathSmall");
}

// A fresh store with a "Global Address List" folder and its GAL mapper, in a private folder.
struct BenchStore {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> store;
    Platform::ComPtr<IMAPIFolder> gal;
    std::unique_ptr<Ostrel::Mapi::IdMapper> mapper;

    BenchStore() {
        char pattern[] = "/tmp/ostrel-contact-bench-XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        dir = pattern;
        setenv("OSTREL_HOME", dir.c_str(), 1);
        if (FAILED(Platform::OpenOsdStore(dir / "bench.osd", true, L"Bench", true, store.AddressOf())))
            std::abort();
        Platform::ComPtr<IMAPIFolder> root;
        ULONG ulType = 0;
        store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType, reinterpret_cast<IUnknown**>(root.AddressOf()));
        root->CreateFolder(FOLDER_GENERIC, const_cast<LPTSTR>(L"Global Address List"), nullptr, nullptr, MAPI_UNICODE,
                           gal.AddressOf());
        Ostrel::Mapi::NamedPropsManager::SetNamedProps(store.Get());
        mapper = std::make_unique<Ostrel::Mapi::IdMapper>(nullptr, store.Get(), Ostrel::Mapi::IdMapperTypeGalRefs);
        mapper->LoadCache();
    }
    ~BenchStore() {
        mapper.reset();
        gal.Reset();
        Ostrel::Mapi::NamedPropsManager::Cleanup();
        store.Reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

// bMapped: with the GAL mapper, whose in-memory index of every mapping grows with the list.
void ConvertPath(benchmark::State& state, size_t entries, const char* name, bool bMapped = true) {
    std::filesystem::path file = ReplyFile(entries);
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<BenchStore>();
        Ostrel::Mapi::ContactStoreWriter writer(store->store.Get(), store->gal.Get(), nullptr,
                                                bMapped ? store->mapper.get() : nullptr, true);
        state.ResumeTiming();
        PeakScope scope;
        size_t count = 0;
        {
            Platform::ComPtr<IStream> stream;
            Platform::CreateFileStream(file, STGM_READ, false, stream.AddressOf());
            Ostrel::Mail::ContactReader reader(
                false, 0, [&](std::unique_ptr<Ostrel::Mail::Contact> p) { return writer.Put(*p); });
            // As a synchronisation writes a list: its saves committed together, a chunk at a time.
            if (FAILED(writer.BeginBatch()) || FAILED(reader.Read(stream.Get())) || FAILED(writer.EndBatch()))
                state.SkipWithError("reading into the store failed");
            count = reader.GetCount();
        }
        Record(state, name, scope.Peak(), count, entries);
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));
}

void ConvertPathLarge(benchmark::State& state) {
    ConvertPath(state, kLargeGal, "ConvertPath");
}
void ConvertPathSmall(benchmark::State& state) {
    ConvertPath(state, kSmallGal, "ConvertPathSmall");
}
void ConvertUnmapped(benchmark::State& state) {
    ConvertPath(state, kLargeGal, "ConvertUnmapped", false);
}
void ConvertUnmappedSmall(benchmark::State& state) {
    ConvertPath(state, kSmallGal, "ConvertUnmappedSmall", false);
}

BENCHMARK(DomPath)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ConvertPathLarge)->Name("ConvertPath")->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(ConvertPathSmall)->Name("ConvertPathSmall")->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(ConvertUnmapped)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(ConvertUnmappedSmall)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(EventPathLarge)->Name("EventPath")->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(EventPathSmall)->Name("EventPathSmall")->Unit(benchmark::kMillisecond)->MinTime(0.5);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred) {
                m_seconds[run.benchmark_name().substr(0, run.benchmark_name().find('/'))] = run.GetAdjustedCPUTime();
                m_real[run.benchmark_name().substr(0, run.benchmark_name().find('/'))] = run.GetAdjustedRealTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto mib = [](int64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); };
        std::printf("reply: %zu entries, %.1f MiB\n", kLargeGal, mib(std::filesystem::file_size(ReplyFile(kLargeGal))));
        if (m_seconds.count("DomPath") && m_seconds.count("EventPath")) {
            // Adjusted times are in the display unit (ms).
            std::printf("rate: DOM %.0f contacts/s, event-driven %.0f contacts/s; time ratio event/DOM = %.3f\n",
                        kLargeGal * 1000.0 / m_seconds["DomPath"], kLargeGal * 1000.0 / m_seconds["EventPath"],
                        m_seconds["EventPath"] / m_seconds["DomPath"]);
        }
        std::printf("peak heap: DOM %.1f MiB, event-driven %.2f MiB (ratio event/DOM = %.4f)\n",
                    mib(g_peaks["DomPath"]), mib(g_peaks["EventPath"]),
                    g_peaks["DomPath"] ? static_cast<double>(g_peaks["EventPath"]) / g_peaks["DomPath"] : 0.0);
        std::printf("event-driven peak, %zu vs %zu entries: %.2f MiB vs %.2f MiB (flat when about equal)\n", kLargeGal,
                    kSmallGal, mib(g_peaks["EventPath"]), mib(g_peaks["EventPathSmall"]));
        if (m_real.count("ConvertPath") && m_real.count("EventPath"))
            std::printf("into store contacts: %.0f contacts/s; wall time ratio convert/read = %.2f (goal: at most 3)\n",
                        kLargeGal * 1000.0 / m_real["ConvertPath"], m_real["ConvertPath"] / m_real["EventPath"]);
        // CPU time leaves out the waits for the disk and for other processes on a loaded machine.
        for (const char* pszName : {"ConvertPath", "ConvertUnmapped"})
            if (m_seconds.count(pszName) && m_seconds.count("EventPath"))
                std::printf("%s: %.1f us CPU per entry; CPU time ratio to the reader alone = %.2f\n", pszName,
                            m_seconds[pszName] * 1000.0 / kLargeGal, m_seconds[pszName] / m_seconds["EventPath"]);
        std::printf("convert peak, %zu vs %zu entries: %.2f MiB vs %.2f MiB (flat when about equal)\n", kLargeGal,
                    kSmallGal, mib(g_peaks["ConvertPath"]), mib(g_peaks["ConvertPathSmall"]));
        // What is left of the growth is the GAL mapper's index, which holds every mapping.
        std::printf(
            "convert peak growth: %.0f bytes per entry\n",
            static_cast<double>(g_peaks["ConvertPath"] - g_peaks["ConvertPathSmall"]) / (kLargeGal - kSmallGal));
        std::printf("convert peak without the GAL mapper, %zu vs %zu entries: %.2f MiB vs %.2f MiB\n", kLargeGal,
                    kSmallGal, mib(g_peaks["ConvertUnmapped"]), mib(g_peaks["ConvertUnmappedSmall"]));
    }

private:
    std::map<std::string, double> m_seconds;
    std::map<std::string, double> m_real;  // wall time: the store's writes wait for the disk
};

}  // namespace

int main(int argc, char** argv) {
    // Before any other use of libxml2, so that all of its memory is counted.
    xmlMemSetup(CountedFree, CountedMalloc, CountedRealloc, CountedStrdup);
    benchmark::Initialize(&argc, argv);
    {
        OstrelServer::Server server;
        server.Start();
        FetchReply(server, kLargeGal);
        FetchReply(server, kSmallGal);
        server.Stop();
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::remove(ReplyFile(kLargeGal));
    std::filesystem::remove(ReplyFile(kSmallGal));
    return 0;
}
