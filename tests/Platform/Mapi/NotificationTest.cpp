#include <condition_variable>
#include <mutex>
#include <thread>

#include "MapiTestUtil.h"

namespace MapiTest {
namespace {

// Records notifications; Wait blocks until the expected number arrived (or a generous deadline).
class RecordingSink : public Platform::ComObject<IMAPIAdviseSink> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMAPIAdviseSink, IUnknown>(riid, ppv);
    }
    ULONG OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (ULONG i = 0; i < cNotif; ++i) {
            const auto& obj = lpNotifications[i].info.obj;
            m_events.emplace_back(lpNotifications[i].ulEventType,
                                  std::string(reinterpret_cast<const char*>(obj.lpEntryID), obj.cbEntryID));
        }
        m_cv.notify_all();
        return 0;
    }
    std::vector<std::pair<ULONG, std::string>> Wait(size_t cEvents) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::seconds(30), [&] { return m_events.size() >= cEvents; });
        return m_events;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::pair<ULONG, std::string>> m_events;
};

using NotificationTest = StoreFixture;

TEST_F(NotificationTest, SinksHearOfChangesToTheObjectsTheyWatch) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    std::string inboxEid = EntryId(pInbox.Get());
    ComPtr<RecordingSink> pAll, pInboxOnly;
    pAll.Attach(new RecordingSink());
    pInboxOnly.Attach(new RecordingSink());
    ULONG ulAll = 0, ulInbox = 0;
    ASSERT_EQ(m_store->Advise(0, nullptr, fnevObjectCreated | fnevObjectDeleted, pAll.Get(), &ulAll), S_OK);
    ASSERT_EQ(m_store->Advise(24, (LPENTRYID)inboxEid.data(), fnevObjectCreated, pInboxOnly.Get(), &ulInbox), S_OK);
    EXPECT_EQ(m_store->Advise(0, nullptr, fnevObjectCreated, nullptr, &ulAll), MAPI_E_INVALID_PARAMETER);

    ComPtr<IMessage> pMsg = NewMessage(pInbox.Get(), L"watched");
    ASSERT_EQ(pMsg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ComPtr<IMAPIFolder> pDrafts = OpenFolderByProp(PR_IPM_DRAFTS_ENTRYID, pInbox.Get());
    ComPtr<IMessage> pElsewhere = NewMessage(pDrafts.Get(), L"elsewhere");
    ASSERT_EQ(pElsewhere->SaveChanges(0), S_OK);
    std::string eid = EntryId(pMsg.Get());
    SBinary bin{24, (LPBYTE)eid.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(pInbox->DeleteMessages(&list, 0, nullptr, 0), S_OK);

    auto all = pAll->Wait(3);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], std::make_pair(ULONG(fnevObjectCreated), eid));
    EXPECT_EQ(all[2], std::make_pair(ULONG(fnevObjectDeleted), eid));
    auto inboxOnly = pInboxOnly->Wait(1);
    ASSERT_GE(inboxOnly.size(), 1u);
    EXPECT_EQ(inboxOnly[0].second, eid);

    EXPECT_EQ(m_store->Unadvise(ulAll), S_OK);
    EXPECT_EQ(m_store->Unadvise(ulAll), MAPI_E_NOT_FOUND);
    EXPECT_EQ(m_store->Unadvise(ulInbox), S_OK);
}

// Waits for one search completion as the category renamer does: the event it waits on is reset after
// SetSearchCriteria has returned, so a completion that comes before that is lost.
class SearchWaiter : public Platform::ComObject<IMAPIAdviseSink> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMAPIAdviseSink, IUnknown>(riid, ppv);
    }
    ULONG OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (ULONG i = 0; i < cNotif; ++i)
            if (lpNotifications[i].ulEventType == fnevSearchComplete)
                m_bSignalled = true;
        m_thread = std::this_thread::get_id();
        m_cv.notify_all();
        return 0;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bSignalled = false;
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(30), [&] { return m_bSignalled; });
    }
    std::thread::id Thread() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_thread;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bSignalled = false;
    std::thread::id m_thread;
};

TEST_F(NotificationTest, SearchCompletionComesAfterSetSearchCriteriaFromAnotherThread) {
    ComPtr<IMAPIFolder> pFinder = OpenFolderByProp(PR_FINDER_ENTRYID);
    ComPtr<IMAPIFolder> pSearch;
    ASSERT_EQ(pFinder->CreateFolder(FOLDER_SEARCH, (LPTSTR)L"Find", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS,
                                    pSearch.AddressOf()),
              S_OK);
    std::string searchEid = EntryId(pSearch.Get());
    ComPtr<SearchWaiter> pWaiter;
    pWaiter.Attach(new SearchWaiter());
    ULONG ulConnection = 0;
    ASSERT_EQ(m_store->Advise(24, (LPENTRYID)searchEid.data(), fnevSearchComplete, pWaiter.Get(), &ulConnection), S_OK);
    SRestriction res{RES_EXIST, {}};
    res.res.resExist = {0, PR_SUBJECT_W, 0};
    std::string scope = GetBinary(m_store.Get(), PR_IPM_SUBTREE_ENTRYID);
    SBinary bin{24, (LPBYTE)scope.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(pSearch->SetSearchCriteria(&res, &list, RESTART_SEARCH | RECURSIVE_SEARCH | BACKGROUND_SEARCH), S_OK);

    // Right after the call the search is still being built...
    ULONG ulState = 0;
    ASSERT_EQ(pSearch->GetSearchCriteria(0, nullptr, nullptr, &ulState), S_OK);
    EXPECT_EQ(ulState & (SEARCH_REBUILD | SEARCH_RUNNING), SEARCH_REBUILD | SEARCH_RUNNING);
    // ...so the caller has time to get ready before its end is told, by another thread.
    pWaiter->Reset();
    ASSERT_TRUE(pWaiter->Wait());
    EXPECT_NE(pWaiter->Thread(), std::this_thread::get_id());
    ASSERT_EQ(pSearch->GetSearchCriteria(0, nullptr, nullptr, &ulState), S_OK);
    EXPECT_EQ(ulState & SEARCH_REBUILD, 0u);
    EXPECT_TRUE(ulState & SEARCH_RECURSIVE);
    EXPECT_EQ(m_store->Unadvise(ulConnection), S_OK);
}

TEST_F(NotificationTest, AStoreClosedWhileASearchRunsDropsItsCompletion) {
    std::filesystem::path path = m_home.Path() / "closing.osd";
    for (int i = 0; i < 3; ++i) {
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf()), S_OK);
        std::string finderEid = GetBinary(pStore.Get(), PR_FINDER_ENTRYID);
        ComPtr<IMAPIFolder> pFinder, pSearch;
        ULONG ulType = 0;
        ASSERT_EQ(pStore->OpenEntry(24, (LPENTRYID)finderEid.data(), nullptr, MAPI_MODIFY, &ulType,
                                    reinterpret_cast<IUnknown**>(pFinder.AddressOf())),
                  S_OK);
        ASSERT_EQ(pFinder->CreateFolder(FOLDER_SEARCH, (LPTSTR)L"Find", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS,
                                        pSearch.AddressOf()),
                  S_OK);
        ComPtr<SearchWaiter> pWaiter;
        pWaiter.Attach(new SearchWaiter());
        ULONG ulConnection = 0;
        ASSERT_EQ(pStore->Advise(0, nullptr, fnevSearchComplete, pWaiter.Get(), &ulConnection), S_OK);
        SRestriction res{RES_EXIST, {}};
        res.res.resExist = {0, PR_SUBJECT_W, 0};
        std::string scope = GetBinary(pStore.Get(), PR_IPM_SUBTREE_ENTRYID);
        SBinary bin{24, (LPBYTE)scope.data()};
        ENTRYLIST list{1, &bin};
        ASSERT_EQ(pSearch->SetSearchCriteria(&res, &list, RECURSIVE_SEARCH), S_OK);
        // Everything is released at once: the store goes with its run still pending.
    }
}

}  // namespace
}  // namespace MapiTest
