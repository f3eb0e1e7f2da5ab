// Stamping and reading the connector's bookkeeping properties on 10,000 messages of a store file:
// through the item wrappers, and the same values written and read straight through the store
// interface with tags looked up once. Each message is opened, its five values written, saved and
// read back. BareStore makes the same calls as the wrappers (one SetProps and one GetProps per
// value); BareStoreBatched writes and reads the five in one call each, for comparison.
// Prints the ratios at the end; the goal for Wrappers / BareStore is at most 1.2.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/RatioReporter.h"

namespace {

constexpr int kMessages = 10000;
const FILETIME kModified = {0x12345678, 0x01D9ABCD};

struct Fixture {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> pStore;
    std::vector<std::string> entryIds;
};

Fixture& TheFixture() {
    static Fixture* pFixture = [] {
        auto* p = new Fixture;
        p->dir = std::filesystem::temp_directory_path() / ("store_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(p->dir);
        if (FAILED(Platform::OpenOsdStore(p->dir / "bench.osd", true, L"Bench", true, p->pStore.AddressOf())))
            std::abort();
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        Platform::ComPtr<IMAPIFolder> pInbox;
        ULONG ulType = 0;
        if (FAILED(p->pStore->GetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, &cb, &pEid, nullptr)) ||
            FAILED(p->pStore->OpenEntry(cb, pEid, nullptr, MAPI_MODIFY, &ulType,
                                        reinterpret_cast<IUnknown**>(pInbox.AddressOf()))))
            std::abort();
        MAPIFreeBuffer(pEid);
        for (int i = 0; i < kMessages; ++i) {
            Platform::ComPtr<IMessage> pMessage;
            SPropValue subject{};
            subject.ulPropTag = PR_SUBJECT_W;
            subject.Value.lpszW = const_cast<wchar_t*>(L"bench message");
            if (FAILED(pInbox->CreateMessage(nullptr, 0, pMessage.AddressOf())) ||
                FAILED(HrSetOneProp(pMessage.Get(), &subject)) || FAILED(pMessage->SaveChanges(KEEP_OPEN_READWRITE)))
                std::abort();
            LPSPropValue pValue = nullptr;
            if (FAILED(HrGetOneProp(pMessage.Get(), PR_ENTRYID, &pValue)))
                std::abort();
            p->entryIds.emplace_back(reinterpret_cast<const char*>(pValue->Value.bin.lpb), pValue->Value.bin.cb);
            MAPIFreeBuffer(pValue);
        }
        return p;
    }();
    return *pFixture;
}

Platform::ComPtr<IMessage> Open(IMsgStore* pStore, const std::string& sEntryId) {
    Platform::ComPtr<IMessage> pMessage;
    ULONG ulType = 0;
    if (FAILED(pStore->OpenEntry(static_cast<ULONG>(sEntryId.size()), (LPENTRYID)sEntryId.data(), nullptr, MAPI_MODIFY,
                                 &ulType, reinterpret_cast<IUnknown**>(pMessage.AddressOf()))))
        std::abort();
    return pMessage;
}

struct Tags {
    ULONG aul[5];
};

// The five tags, looked up once as a caller without the wrappers would.
Tags LookUpTags(IMsgStore* pStore) {
    GUID connector = {0x20022104, 0x6842, 0x430D, {0xB1, 0x9C, 0x87, 0x39, 0xBF, 0xDB, 0x91, 0x88}};
    const LONG ids[] = {0x8100, 0x8650, 0x8651, 0x8652, 0x8729};
    const ULONG types[] = {PT_LONG, PT_UNICODE, PT_UNICODE, PT_SYSTIME, PT_LONG};
    MAPINAMEID names[5];
    LPMAPINAMEID ptrs[5];
    for (int i = 0; i < 5; ++i) {
        names[i] = {&connector, MNID_ID, {ids[i]}};
        ptrs[i] = &names[i];
    }
    LPSPropTagArray pTags = nullptr;
    if (FAILED(pStore->GetIDsFromNames(5, ptrs, MAPI_CREATE, &pTags)))
        std::abort();
    Tags tags;
    for (int i = 0; i < 5; ++i)
        tags.aul[i] = CHANGE_PROP_TYPE(pTags->aulPropTag[i], types[i]);
    MAPIFreeBuffer(pTags);
    return tags;
}

void Values(const Tags& tags, LONG lId, SPropValue* pValues) {
    for (int i = 0; i < 5; ++i)
        pValues[i] = SPropValue{tags.aul[i], 0, {}};
    pValues[0].Value.l = lId;
    pValues[1].Value.lpszW = const_cast<wchar_t*>(L"replication-1");
    pValues[2].Value.lpszW = const_cast<wchar_t*>(L"server-2");
    pValues[3].Value.ft = kModified;
    pValues[4].Value.l = 3;
}

void BareStore(benchmark::State& state) {
    Fixture& fixture = TheFixture();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const Tags tags = LookUpTags(fixture.pStore.Get());
        LONG lId = 1;
        for (const std::string& sEntryId : fixture.entryIds) {
            Platform::ComPtr<IMessage> pMessage = Open(fixture.pStore.Get(), sEntryId);
            SPropValue values[5];
            Values(tags, lId++, values);
            for (SPropValue& value : values)
                if (FAILED(pMessage->SetProps(1, &value, nullptr)))
                    std::abort();
            if (FAILED(pMessage->SaveChanges(KEEP_OPEN_READWRITE)))
                std::abort();
            for (ULONG ulTag : tags.aul) {
                LPSPropValue pValue = nullptr;
                if (FAILED(HrGetOneProp(pMessage.Get(), ulTag, &pValue)))
                    std::abort();
                benchmark::DoNotOptimize(pValue->Value.l);
                MAPIFreeBuffer(pValue);
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

void BareStoreBatched(benchmark::State& state) {
    Fixture& fixture = TheFixture();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const Tags tags = LookUpTags(fixture.pStore.Get());
        SizedSPropTagArray(5, read);
        read.cValues = 5;
        for (int i = 0; i < 5; ++i)
            read.aulPropTag[i] = tags.aul[i];
        LONG lId = 1;
        for (const std::string& sEntryId : fixture.entryIds) {
            Platform::ComPtr<IMessage> pMessage = Open(fixture.pStore.Get(), sEntryId);
            SPropValue values[5];
            Values(tags, lId++, values);
            if (FAILED(pMessage->SetProps(5, values, nullptr)) || FAILED(pMessage->SaveChanges(KEEP_OPEN_READWRITE)))
                std::abort();
            ULONG cValues = 0;
            LPSPropValue pValues = nullptr;
            if (FAILED(pMessage->GetProps(reinterpret_cast<LPSPropTagArray>(&read), 0, &cValues, &pValues)))
                std::abort();
            benchmark::DoNotOptimize(pValues[0].Value.l);
            MAPIFreeBuffer(pValues);
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

void Wrappers(benchmark::State& state) {
    Fixture& fixture = TheFixture();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        LONG lId = 1;
        for (const std::string& sEntryId : fixture.entryIds) {
            Platform::ComPtr<IMessage> pMessage = Open(fixture.pStore.Get(), sEntryId);
            Ostrel::Mapi::OstrelMailItem item(pMessage.Get(), fixture.pStore.Get());
            if (FAILED(item.StampOstrelId(lId++)) || FAILED(item.ReplicationId(L"replication-1")) ||
                FAILED(item.LastServerReplicationId(L"server-2")) || FAILED(item.OstrelLastModified(kModified)) ||
                FAILED(item.DocVersion(3)) || FAILED(pMessage->SaveChanges(KEEP_OPEN_READWRITE)))
                std::abort();
            benchmark::DoNotOptimize(item.OstrelId());
            benchmark::DoNotOptimize(item.ReplicationId());
            benchmark::DoNotOptimize(item.LastServerReplicationId());
            benchmark::DoNotOptimize(item.OstrelLastModified());
            benchmark::DoNotOptimize(item.DocVersion());
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

BENCHMARK(BareStore)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Wrappers)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BareStoreBatched)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    BenchSupport::RatioReporter reporter;
    TheFixture();
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Saving waits on the disk, which other processes share; the CPU ratio shows the wrappers' own
    // cost without that noise.
    for (const char* pszBase : {"BareStore", "BareStoreBatched"}) {
        const double real = reporter.Real(std::string(pszBase) + "/");
        const double cpu = reporter.Cpu(pszBase);
        if (real > 0 && cpu > 0)
            std::printf("ratio Wrappers / %s = %.2f real, %.2f CPU (goal <= 1.2%s)\n", pszBase,
                        reporter.Real("Wrappers/") / real, reporter.Cpu("Wrappers") / cpu,
                        std::string(pszBase) == "BareStore" ? "" : "; for comparison");
    }
    benchmark::Shutdown();
    Ostrel::Mapi::NamedPropsManager::Cleanup();
    TheFixture().pStore.Reset();
    std::error_code ec;
    std::filesystem::remove_all(TheFixture().dir, ec);
    return 0;
}
