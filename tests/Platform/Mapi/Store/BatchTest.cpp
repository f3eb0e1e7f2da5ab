// Many saves in one commit: what another connection sees meanwhile, what a failed or abandoned
// batch leaves, and the other threads of the process beside a batch.
#include <sqlite3.h>

#include <future>
#include <thread>

#include "FaultyVfs.h"
#include "MapiTestUtil.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/Store/StoreBatch.h"

namespace MapiTest {
namespace {

using Platform::Mapi::StoreBatch;

class BatchTest : public StoreFixture {
protected:
    // Stored messages counted by a connection of its own, as another process sees the file.
    int CountInFile() {
        sqlite3* pDb = nullptr;
        int count = -1;
        if (sqlite3_open_v2(m_path.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* pSt = nullptr;
            sqlite3_prepare_v2(pDb, "SELECT count(*) FROM objects WHERE (nid & 31)=4", -1, &pSt, nullptr);
            if (sqlite3_step(pSt) == SQLITE_ROW)
                count = sqlite3_column_int(pSt, 0);
            sqlite3_finalize(pSt);
        }
        sqlite3_close(pDb);
        return count;
    }

    HRESULT Save(IMAPIFolder* pFolder, const std::wstring& subject, std::string* pEid = nullptr) {
        ComPtr<IMessage> pMsg;
        HRESULT hr = pFolder->CreateMessage(nullptr, 0, pMsg.AddressOf());
        if (SUCCEEDED(hr))
            hr = SetString(pMsg.Get(), PR_SUBJECT_W, subject);
        if (SUCCEEDED(hr))
            hr = pMsg->SaveChanges(0);
        if (SUCCEEDED(hr) && pEid)
            *pEid = EntryId(pMsg.Get());
        return hr;
    }
};

TEST_F(BatchTest, SavesReachTheFileTogetherAndTheWriterSeesThemAtOnce) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    StoreBatch batch(m_store.Get());
    ASSERT_EQ(batch.Begun(), S_OK);
    std::string eid;
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Save(pInbox.Get(), L"batched " + std::to_wstring(i), &eid), S_OK);
    EXPECT_EQ(batch.Saves(), 5u);
    EXPECT_EQ(batch.Committed(), 0u);
    // This thread reads what it saved; another connection reads only the committed state.
    EXPECT_EQ(GetString(OpenMessage(eid).Get(), PR_SUBJECT_W), L"batched 4");
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 5);
    EXPECT_EQ(CountInFile(), 0);

    ASSERT_EQ(batch.Commit(), S_OK);
    EXPECT_EQ(batch.Committed(), 5u);
    EXPECT_EQ(CountInFile(), 5);
    ASSERT_EQ(Save(pInbox.Get(), L"last"), S_OK);
    EXPECT_EQ(CountInFile(), 5);
    EXPECT_EQ(batch.End(), S_OK);
    EXPECT_EQ(CountInFile(), 6);
}

TEST_F(BatchTest, AChunkCommitsWhenItsLimitIsReached) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    StoreBatch batch(m_store.Get(), {3, 1 << 20});
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(Save(pInbox.Get(), L"m"), S_OK);
    EXPECT_EQ(batch.Committed(), 6u);
    EXPECT_EQ(CountInFile(), 6);
    EXPECT_EQ(batch.End(), S_OK);
    EXPECT_EQ(CountInFile(), 7);
}

TEST_F(BatchTest, AbandonedBatchesLeaveNothingOfTheirOpenChunk) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    std::string eid;
    {
        StoreBatch batch(m_store.Get());
        ASSERT_EQ(Save(pInbox.Get(), L"gone", &eid), S_OK);
    }  // an early return or an exception: no End
    EXPECT_EQ(CountInFile(), 0);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 0);
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), nullptr, 0, &ulType,
                                 pUnk.AddressOf()),
              MAPI_E_NOT_FOUND);

    // A nested batch that is abandoned takes the outer one's uncommitted saves with it and fails
    // the rest of it; the outer one's committed saves stay.
    {
        StoreBatch outer(m_store.Get());
        ASSERT_EQ(Save(pInbox.Get(), L"committed"), S_OK);
        ASSERT_EQ(outer.Commit(), S_OK);
        ASSERT_EQ(Save(pInbox.Get(), L"outer, pending"), S_OK);
        {
            StoreBatch inner(m_store.Get());
            ASSERT_EQ(inner.Begun(), S_OK);
            ASSERT_EQ(Save(pInbox.Get(), L"inner"), S_OK);
        }
        EXPECT_EQ(Save(pInbox.Get(), L"after the abandonment"), E_ABORT);
        EXPECT_EQ(outer.End(), E_ABORT);
    }
    EXPECT_EQ(CountInFile(), 1);
    // The store goes on as without a batch.
    EXPECT_EQ(Save(pInbox.Get(), L"alone"), S_OK);
    EXPECT_EQ(CountInFile(), 2);
}

TEST_F(BatchTest, AFailedCommitLeavesNoneOfTheChunkAndFailsTheBatch) {
    FaultyVfs vfs;
    m_path = m_home.Path() / "full.osd";
    ComPtr<IMsgStore> pStore;
    ASSERT_EQ(Platform::OpenOsdStore(m_path, true, L"", true, pStore.AddressOf()), S_OK);
    m_store = pStore;
    ComPtr<IMAPIFolder> pInbox = Inbox();
    {
        StoreBatch batch(pStore.Get());
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(Save(pInbox.Get(), L"doomed"), S_OK);
        vfs.FailWritesAfter(0);
        EXPECT_EQ(batch.End(), MAPI_E_NOT_ENOUGH_DISK);
        vfs.Heal();
    }
    EXPECT_EQ(CountInFile(), 0);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 0);
    EXPECT_EQ(Save(pInbox.Get(), L"after"), S_OK);
    EXPECT_EQ(CountInFile(), 1);
}

TEST_F(BatchTest, NamesAndNodeIdsTakenInABatchOutliveItsRollback) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ULONG ulTag = 0;
    {
        StoreBatch batch(m_store.Get());
        ASSERT_EQ(Save(pInbox.Get(), L"before the name"), S_OK);
        // Callers cache a named property's id: its mapping must never go with a rollback, so what
        // the batch held commits first.
        ulTag = NamedTag(m_store.Get(), PS_PUBLIC_STRINGS, L"BatchName", PT_LONG);
        EXPECT_EQ(batch.Committed(), 1u);
        ASSERT_EQ(Save(pInbox.Get(), L"abandoned"), S_OK);
    }
    EXPECT_EQ(CountInFile(), 1);
    m_store.Reset();
    pInbox.Reset();
    // Another process learns the same id from the file.
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open_v2(m_path.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* pSt = nullptr;
    sqlite3_prepare_v2(pDb, "SELECT id FROM names WHERE name='BatchName'", -1, &pSt, nullptr);
    ASSERT_EQ(sqlite3_step(pSt), SQLITE_ROW);
    EXPECT_EQ(static_cast<ULONG>(sqlite3_column_int(pSt, 0)), PROP_ID(ulTag));
    sqlite3_finalize(pSt);
    sqlite3_close(pDb);
}

TEST_F(BatchTest, OtherThreadsWaitForTheOpenChunkAndCannotBatchMeanwhile) {
    const std::string inboxEid = EntryId(Inbox().Get());
    StoreBatch batch(m_store.Get());
    std::promise<HRESULT> refused;
    std::promise<void> chunkOpen;
    std::thread other([&] {
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, pStore.AddressOf()), S_OK);
        {
            StoreBatch second(pStore.Get());
            refused.set_value(second.Begun());
        }
        chunkOpen.get_future().wait();
        // Blocks until the batch's chunk commits, then saves on its own and sees only committed
        // messages.
        ComPtr<IMAPIFolder> pInbox = OpenFolder(inboxEid);
        EXPECT_EQ(Save(pInbox.Get(), L"other thread"), S_OK);
    });
    ASSERT_EQ(refused.get_future().get(), MAPI_E_BUSY);
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ASSERT_EQ(Save(pInbox.Get(), L"batched"), S_OK);
    chunkOpen.set_value();
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(Save(pInbox.Get(), L"batched"), S_OK);
    EXPECT_EQ(batch.End(), S_OK);
    other.join();
    EXPECT_EQ(CountInFile(), 11);
}

}  // namespace
}  // namespace MapiTest
