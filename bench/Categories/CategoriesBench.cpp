// Categories: the "Keywords" of 100,000 items with 0 to 5 server tags each, built from the tag
// folder (items per second); and the rename of a category on 10,000 items of a store through the
// background renamer (pending rename, search folder, completion, item updates), next to a bare
// loop that restricts the folder's contents to the old name and updates each item directly.
// Prints the ratio Renamer / BareLoop (real and CPU time) at the end; the goal is at most 1.5. The
// renamer's time includes waiting for the store to report the search complete.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Ostrel/Store/Categories/CategoryList.h"
#include "Ostrel/Store/Categories/KeywordsUpdater.h"
#include "Ostrel/Store/Categories/TagAssocMsg.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/RatioReporter.h"
#include "Util/OstrelReg.h"

namespace {

using namespace Ostrel::Mapi;

constexpr int kMappedItems = 100000;
constexpr int kTags = 20;
constexpr int kRenamedItems = 10000;

struct Fixture {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> pStore;
    Platform::ComPtr<IMAPIFolder> pFolder;
    ULONG ulKeywords = 0;
    // The name the items carry now; each rename swaps it with the other.
    std::wstring wsCurrent = L"Tag A";
    std::wstring wsOther = L"Tag B";
};

Fixture& TheFixture() {
    static Fixture* pFixture = [] {
        auto* p = new Fixture;
        p->dir = std::filesystem::temp_directory_path() / ("categories_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(p->dir);
        setenv("OSTREL_HOME", p->dir.c_str(), 1);
        Ostrel::Util::RegUtil reg(L"TagSyncEnabled", KEY_ALL_ACCESS);
        if (reg.CreateKey() != ERROR_SUCCESS || reg.SetValue(DWORD(1)) != ERROR_SUCCESS)
            std::abort();
        if (FAILED(Platform::OpenOsdStore(p->dir / "bench.osd", true, L"Bench", true, p->pStore.AddressOf())))
            std::abort();
        for (int i = 0; i < kTags; ++i)
            if (FAILED(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(i + 1, (L"Tag " + std::to_wstring(i)).c_str(), 0,
                                                                  nullptr, p->pStore.Get())))
                std::abort();
        p->ulKeywords = NAMED_PROP(NamedProps::KEYWORDS, PT_MV_UNICODE,
                                   NamedPropsManager::GetNamedPropsFromMAPIProp(p->pStore.Get()));
        LPSPropValue pSubtree = nullptr;
        ULONG ulType = 0;
        Platform::ComPtr<IMAPIFolder> pIpm;
        if (FAILED(HrGetOneProp(p->pStore.Get(), PR_IPM_SUBTREE_ENTRYID, &pSubtree)) ||
            FAILED(p->pStore->OpenEntry(pSubtree->Value.bin.cb, (LPENTRYID)pSubtree->Value.bin.lpb, nullptr,
                                        MAPI_MODIFY, &ulType, reinterpret_cast<IUnknown**>(pIpm.AddressOf()))) ||
            FAILED(pIpm->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"Tagged", nullptr, nullptr, MAPI_UNICODE,
                                      p->pFolder.AddressOf())))
            std::abort();
        MAPIFreeBuffer(pSubtree);
        std::wstring other = L"Other";
        for (int i = 0; i < kRenamedItems; ++i) {
            Platform::ComPtr<IMessage> pMessage;
            wchar_t* names[] = {other.data(), p->wsCurrent.data()};
            SPropValue value{};
            value.ulPropTag = p->ulKeywords;
            value.Value.MVszW = {2, names};
            if (FAILED(p->pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf())) ||
                FAILED(HrSetOneProp(pMessage.Get(), &value)) || FAILED(pMessage->SaveChanges(0)))
                std::abort();
        }
        return p;
    }();
    return *pFixture;
}

void BM_MapTagIdsToKeywords(benchmark::State& state) {
    Fixture& f = TheFixture();
    for (auto _ : state) {
        for (int i = 0; i < kMappedItems; ++i) {
            std::vector<long> ids;
            for (int k = 0; k < i % 6; ++k)
                ids.push_back((i * 7 + k * 3) % kTags + 1);
            SPropValue value{};
            void* p = MapTagIdsToKeywordsProp(value, ids, f.pStore.Get());
            benchmark::DoNotOptimize(value.ulPropTag);
            MAPIFreeBuffer(p);
        }
    }
    state.SetItemsProcessed(state.iterations() * kMappedItems);
}

void Swap(Fixture& f) {
    std::swap(f.wsCurrent, f.wsOther);
}

void BM_Renamer(benchmark::State& state) {
    Fixture& f = TheFixture();
    for (auto _ : state) {
        if (FAILED(OutlookCategories::CreatePendingRenameMsg(f.wsCurrent, f.wsOther, f.pStore.Get())) ||
            CKeywordsUpdater::GetInstance().DoRenameCategories(f.pStore.Get()) != 1)
            state.SkipWithError("rename failed");
        Swap(f);
    }
    state.SetItemsProcessed(state.iterations() * kRenamedItems);
}

// The same updates without pending messages, search folder or completion.
void BM_BareLoop(benchmark::State& state) {
    Fixture& f = TheFixture();
    for (auto _ : state) {
        Platform::ComPtr<IMAPITable> pTable;
        SPropValue value{};
        value.ulPropTag = CHANGE_PROP_TYPE(f.ulKeywords, PT_UNICODE);
        value.Value.lpszW = f.wsCurrent.data();
        SRestriction res{};
        res.rt = RES_CONTENT;
        res.res.resContent = {FL_FULLSTRING | FL_IGNORECASE, f.ulKeywords, &value};
        SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
        std::vector<std::string> ids;
        if (FAILED(f.pFolder->GetContentsTable(0, pTable.AddressOf())) ||
            FAILED(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0)) ||
            FAILED(pTable->Restrict(&res, 0)))
            std::abort();
        for (;;) {
            LPSRowSet pRows = nullptr;
            if (FAILED(pTable->QueryRows(10, 0, &pRows)))
                std::abort();
            const ULONG cRows = pRows->cRows;
            for (ULONG i = 0; i < cRows; ++i)
                ids.emplace_back(reinterpret_cast<const char*>(pRows->aRow[i].lpProps[0].Value.bin.lpb),
                                 pRows->aRow[i].lpProps[0].Value.bin.cb);
            FreeProws(pRows);
            if (cRows == 0)
                break;
        }
        for (const std::string& sId : ids) {
            SBinary bin{static_cast<ULONG>(sId.size()), (LPBYTE)sId.data()};
            if (FAILED(CKeywordsUpdater::DoProcessTargetMessageKeywords(f.pStore.Get(), bin, f.ulKeywords, f.wsCurrent,
                                                                        f.wsOther)))
                std::abort();
        }
        if (ids.size() != kRenamedItems)
            state.SkipWithError("not every item found");
        Swap(f);
    }
    state.SetItemsProcessed(state.iterations() * kRenamedItems);
}

BENCHMARK(BM_MapTagIdsToKeywords)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BareLoop)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Renamer)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    BenchSupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double bare = reporter.Real("BM_BareLoop"), renamer = reporter.Real("BM_Renamer");
    const double mapping = reporter.Real("BM_MapTagIdsToKeywords");
    if (mapping > 0)
        std::printf("keyword mapping: %.0f items/s\n", kMappedItems / (mapping / 1000.0));
    if (bare > 0 && renamer > 0)
        std::printf("rename of a tag on %d items: renamer / bare loop = %.2f (goal: at most 1.5)\n", kRenamedItems,
                    renamer / bare);
    if (reporter.Cpu("BM_BareLoop") > 0)
        std::printf("CPU time ratio renamer / bare loop = %.2f\n",
                    reporter.Cpu("BM_Renamer") / reporter.Cpu("BM_BareLoop"));
    std::filesystem::remove_all(TheFixture().dir);
    return 0;
}
