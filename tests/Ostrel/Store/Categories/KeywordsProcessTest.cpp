// The renamer over a large store against a second process: one that works in the store at the same
// time, and one that is killed half-way through a rename.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "CategoriesTestUtil.h"
#include "Ostrel/Store/Categories/CategoryList.h"
#include "Ostrel/Store/Categories/KeywordsUpdater.h"
#include "Ostrel/Store/Categories/TagAssocMsg.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Store/OsdStore.h"

extern char** environ;

using namespace Ostrel::Mapi;
using namespace CategoriesTest;

namespace {

constexpr int kItems = 5000;
constexpr char kModeVar[] = "OSTREL_CATEGORIES_CHILD";
constexpr char kStoreVar[] = "OSTREL_CATEGORIES_STORE";

ULONG KeywordsTag(IMsgStore* pStore) {
    return NAMED_PROP(NamedProps::KEYWORDS, PT_MV_UNICODE, NamedPropsManager::GetNamedPropsFromMAPIProp(pStore));
}

// Items of the folder whose keywords hold the name (any case).
ULONG CountWith(IMAPIFolder* pFolder, ULONG ulKeywords, const wchar_t* pwszName) {
    ComPtr<IMAPITable> pTable;
    EXPECT_EQ(pFolder->GetContentsTable(0, pTable.AddressOf()), S_OK);
    SPropValue value{};
    value.ulPropTag = CHANGE_PROP_TYPE(ulKeywords, PT_UNICODE);
    value.Value.lpszW = const_cast<wchar_t*>(pwszName);
    SRestriction res{};
    res.rt = RES_CONTENT;
    res.res.resContent = {FL_FULLSTRING | FL_IGNORECASE, ulKeywords, &value};
    EXPECT_EQ(pTable->Restrict(&res, 0), S_OK);
    ULONG cRows = 0;
    EXPECT_EQ(pTable->GetRowCount(0, &cRows), S_OK);
    return cRows;
}

pid_t SpawnChild(const char* pszMode, const std::filesystem::path& store) {
    setenv(kModeVar, pszMode, 1);
    setenv(kStoreVar, store.c_str(), 1);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=*DISABLED_Child";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ), 0);
    unsetenv(kModeVar);
    unsetenv(kStoreVar);
    return pid;
}

int WaitChild(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

class KeywordsProcessTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        ASSERT_EQ(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(3, L"Old", 0, nullptr, m_store.Get()), S_OK);
        ASSERT_EQ(IpmSubtree()->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"Many", nullptr, nullptr, MAPI_UNICODE,
                                             m_folder.AddressOf()),
                  S_OK);
        const ULONG ulKeywords = KeywordsTag(m_store.Get());
        std::wstring other = L"Other", old = L"Old";
        for (int i = 0; i < kItems; ++i) {
            ComPtr<IMessage> pMessage;
            ASSERT_EQ(m_folder->CreateMessage(nullptr, 0, pMessage.AddressOf()), S_OK);
            wchar_t* names[] = {other.data(), old.data()};
            SPropValue value{};
            value.ulPropTag = ulKeywords;
            value.Value.MVszW = {i % 2 ? 2u : 1u, i % 2 ? names : names + 1};
            ASSERT_EQ(HrSetOneProp(pMessage.Get(), &value), S_OK);
            ASSERT_EQ(pMessage->SaveChanges(0), S_OK);
            if (i % 50 == 0)
                m_samples.push_back(GetBinary(pMessage.Get(), PR_ENTRYID));
        }
        TagCache cache(m_store.Get());
        cache.Initialize();
        CEntryID id;
        ASSERT_TRUE(cache.TagEntryID(L"Old", id));
        TagAssocMsg tag(static_cast<SBinary*>(id), m_store.Get());
        ASSERT_EQ(tag.UpdateTagAssocMsgAndMCLAndDependentMsgs(L"New", 1), S_OK);
    }
    void ExpectAllRenamed() {
        const ULONG ulKeywords = KeywordsTag(m_store.Get());
        EXPECT_EQ(CountWith(m_folder.Get(), ulKeywords, L"Old"), 0u);
        EXPECT_EQ(CountWith(m_folder.Get(), ulKeywords, L"New"), static_cast<ULONG>(kItems));
        EXPECT_EQ(CountWith(m_folder.Get(), ulKeywords, L"Other"), static_cast<ULONG>(kItems / 2));
        EXPECT_TRUE(AssociatedOfClass(Calendar().Get(), kPendingRenameClass).empty());
    }

    // Whether the renamer has reached any of a spread of items: cheaper to ask than a count.
    bool AnySampleRenamed() {
        const ULONG ulKeywords = KeywordsTag(m_store.Get());
        for (const std::string& sId : m_samples) {
            ComPtr<IMessage> pMessage;
            ULONG ulType = 0;
            LPSPropValue pValue = nullptr;
            bool bRenamed = false;
            if (SUCCEEDED(m_store->OpenEntry(static_cast<ULONG>(sId.size()), (LPENTRYID)sId.data(), nullptr, 0, &ulType,
                                             reinterpret_cast<IUnknown**>(pMessage.AddressOf()))) &&
                SUCCEEDED(HrGetOneProp(pMessage.Get(), ulKeywords, &pValue)))
                for (ULONG i = 0; i < pValue->Value.MVszW.cValues; ++i)
                    bRenamed = bRenamed || std::wstring(pValue->Value.MVszW.lppszW[i]) == L"New";
            MAPIFreeBuffer(pValue);
            if (bRenamed)
                return true;
        }
        return false;
    }

    ComPtr<IMAPIFolder> m_folder;
    std::vector<std::string> m_samples;
};

TEST_F(KeywordsProcessTest, RenameOfATagOnManyItemsWhileAnotherProcessWorksInTheStore) {
    const pid_t pid = SpawnChild("worker", m_path);
    CKeywordsUpdater& updater = CKeywordsUpdater::GetInstance();
    ASSERT_EQ(updater.Start(m_store.Get()), S_OK);
    updater.WaitForShutdown();
    const int status = WaitChild(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ExpectAllRenamed();
}

TEST_F(KeywordsProcessTest, RenameCutShortByAKilledProcessIsFinishedByTheNextRun) {
    const pid_t pid = SpawnChild("renamer", m_path);
    const ULONG ulKeywords = KeywordsTag(m_store.Get());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    int status = 0;
    bool bExited = false;
    while (!AnySampleRenamed() && std::chrono::steady_clock::now() < deadline &&
           !(bExited = waitpid(pid, &status, WNOHANG) == pid))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!bExited) {
        kill(pid, SIGKILL);
        status = WaitChild(pid);
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "the renamer finished before it could be killed";
    const ULONG cNew = CountWith(m_folder.Get(), ulKeywords, L"New");
    EXPECT_GT(cNew, 0u);
    EXPECT_LT(cNew, static_cast<ULONG>(kItems));
    EXPECT_EQ(cNew + CountWith(m_folder.Get(), ulKeywords, L"Old"), static_cast<ULONG>(kItems));  // never both

    CKeywordsUpdater& updater = CKeywordsUpdater::GetInstance();
    ASSERT_EQ(updater.Start(m_store.Get()), S_OK);
    updater.WaitForShutdown();
    ExpectAllRenamed();
}

// Run in a child process by the tests above.
TEST(KeywordsProcessChild, DISABLED_Child) {
    const char* pszMode = getenv(kModeVar);
    const char* pszStore = getenv(kStoreVar);
    ASSERT_TRUE(pszMode && pszStore);
    ComPtr<IMsgStore> pStore;
    ASSERT_EQ(Platform::OpenOsdStore(pszStore, false, L"", true, pStore.AddressOf()), S_OK);
    if (std::string(pszMode) == "renamer") {
        CKeywordsUpdater::GetInstance().DoRenameCategories(pStore.Get());
        return;
    }
    // A worker reads and changes items of the same folder for a while.
    CEntryID subtree(pStore.Get(), PR_IPM_SUBTREE_ENTRYID);
    ComPtr<IMAPIFolder> pSubtree;
    ULONG ulType = 0;
    ASSERT_EQ(pStore->OpenEntry(subtree.Size(), subtree.Get(), nullptr, MAPI_MODIFY, &ulType,
                                reinterpret_cast<IUnknown**>(pSubtree.AddressOf())),
              S_OK);
    ComPtr<IMAPIFolder> pFolder;
    ASSERT_EQ(pSubtree->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"Many", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS,
                                     pFolder.AddressOf()),
              S_OK);
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pFolder->GetContentsTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    ASSERT_EQ(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
    LPSRowSet pRows = nullptr;
    ASSERT_EQ(pTable->QueryRows(400, 0, &pRows), S_OK);
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SBinary& bin = pRows->aRow[i].lpProps[0].Value.bin;
        ComPtr<IMessage> pMessage;
        ASSERT_EQ(pStore->OpenEntry(bin.cb, (LPENTRYID)bin.lpb, nullptr, MAPI_MODIFY, &ulType,
                                    reinterpret_cast<IUnknown**>(pMessage.AddressOf())),
                  S_OK);
        SPropValue subject{};
        subject.ulPropTag = PR_SUBJECT_W;
        subject.Value.lpszW = const_cast<wchar_t*>(L"touched by another process");
        ASSERT_EQ(HrSetOneProp(pMessage.Get(), &subject), S_OK);
        HRESULT hr = pMessage->SaveChanges(0);
        ASSERT_TRUE(hr == S_OK || hr == MAPI_E_OBJECT_CHANGED) << std::hex << hr;
    }
    FreeProws(pRows);
    NamedPropsManager::Cleanup();
}

}  // namespace
