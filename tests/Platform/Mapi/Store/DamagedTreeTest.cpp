// Store files another program has damaged: parent links that form a loop, a node counter that is
// not a number, a page of a value. Every walk must end with an error, never hang or remove what
// lies outside the damage.
#include <sqlite3.h>

#include <cstring>

#include "MapiTestUtil.h"
#include "Support/Files.h"

namespace MapiTest {
namespace {

ULONG NidOf(const std::string& eid) {
    ULONG nid = 0;
    std::memcpy(&nid, eid.data() + 20, 4);
    return nid;
}

class DamagedTreeTest : public StoreFixture {
protected:
    // Runs SQL on the closed store file, as another program would, then opens the store again.
    void Damage(const std::string& sql) {
        m_store.Reset();
        sqlite3* pDb = nullptr;
        ASSERT_EQ(sqlite3_open(m_path.c_str(), &pDb), SQLITE_OK);
        char* pszError = nullptr;
        int rc = sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, &pszError);
        EXPECT_EQ(rc, SQLITE_OK) << (pszError ? pszError : "");
        sqlite3_free(pszError);
        sqlite3_close(pDb);
        ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, m_store.AddressOf()), S_OK);
    }

    int64_t Count(const std::string& sql) {
        sqlite3* pDb = nullptr;
        EXPECT_EQ(sqlite3_open(m_path.c_str(), &pDb), SQLITE_OK);
        sqlite3_stmt* pStmt = nullptr;
        int64_t n = -1;
        if (sqlite3_prepare_v2(pDb, sql.c_str(), -1, &pStmt, nullptr) == SQLITE_OK && sqlite3_step(pStmt) == SQLITE_ROW)
            n = sqlite3_column_int64(pStmt, 0);
        sqlite3_finalize(pStmt);
        sqlite3_close(pDb);
        return n;
    }

    ComPtr<IMAPIFolder> Subfolder(IMAPIFolder* pParent, const wchar_t* pwszName) {
        ComPtr<IMAPIFolder> pFolder;
        EXPECT_EQ(pParent->CreateFolder(FOLDER_GENERIC, (LPTSTR)pwszName, nullptr, nullptr, MAPI_UNICODE,
                                        pFolder.AddressOf()),
                  S_OK);
        return pFolder;
    }
};

// The root's parent set to a folder below it: the walks that start at the root (the outgoing queue,
// the deep hierarchy) must stop, and deleting that folder must not take the root with it.
TEST_F(DamagedTreeTest, LoopThroughTheRootFailsCleanlyAndDeletesNothing) {
    std::string subtreeEid = GetBinary(m_store.Get(), PR_IPM_SUBTREE_ENTRYID);
    std::string inboxEid;
    {
        ComPtr<IMAPIFolder> pInbox = Inbox();
        inboxEid = EntryId(pInbox.Get());
        ComPtr<IMessage> pMsg = NewMessage(pInbox.Get(), L"queued");
        ASSERT_EQ(SetLong(pMsg.Get(), PR_MESSAGE_FLAGS, MSGFLAG_SUBMIT), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    }
    Damage("UPDATE objects SET parent=" + std::to_string(NidOf(subtreeEid)) + " WHERE nid=290");
    const int64_t cObjects = Count("SELECT count(*) FROM objects");

    ComPtr<IMAPITable> pQueue;
    EXPECT_EQ(m_store->GetOutgoingQueue(0, pQueue.AddressOf()), MAPI_E_CORRUPT_STORE);
    ComPtr<IMAPITable> pDeep;
    EXPECT_EQ(Root()->GetHierarchyTable(CONVENIENT_DEPTH, pDeep.AddressOf()), MAPI_E_CORRUPT_STORE);

    ComPtr<IMAPIFolder> pRoot = Root();
    EXPECT_EQ(pRoot->DeleteFolder(static_cast<ULONG>(subtreeEid.size()), (LPENTRYID)subtreeEid.data(), 0, nullptr,
                                  DEL_FOLDERS | DEL_MESSAGES),
              MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(Count("SELECT count(*) FROM objects"), cObjects);

    // What the loop does not touch still reads.
    ComPtr<IMAPITable> pContents;
    ASSERT_EQ(OpenFolder(inboxEid)->GetContentsTable(0, pContents.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pContents.Get()), 1u);
}

// Two folders that are each other's parent, reachable by entry id only; and a folder hung below an
// attachment of a message that is copied into it, so that the copy would meet its own copies.
TEST_F(DamagedTreeTest, LoopsBelowTheRootStopDeepWalksCopiesAndDeletes) {
    std::string aEid, bEid, cEid, messageEid;
    ULONG attachNid = 0;
    {
        ComPtr<IMAPIFolder> pInbox = Inbox();
        ComPtr<IMAPIFolder> pA = Subfolder(pInbox.Get(), L"A");
        ComPtr<IMAPIFolder> pB = Subfolder(pA.Get(), L"B");
        ComPtr<IMAPIFolder> pC = Subfolder(pInbox.Get(), L"C");
        aEid = EntryId(pA.Get());
        bEid = EntryId(pB.Get());
        cEid = EntryId(pC.Get());
        ComPtr<IMessage> pMsg = NewMessage(pInbox.Get(), L"holder");
        ULONG ulNum = 0;
        ComPtr<IAttach> pAttach;
        ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
        ASSERT_EQ(SetLong(pAttach.Get(), PR_ATTACH_METHOD, ATTACH_BY_VALUE), S_OK);
        ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
        messageEid = EntryId(pMsg.Get());
    }
    Damage("UPDATE objects SET parent=" + std::to_string(NidOf(bEid)) + " WHERE nid=" + std::to_string(NidOf(aEid)) +
           ";UPDATE objects SET parent=(SELECT nid FROM objects WHERE parent=" + std::to_string(NidOf(messageEid)) +
           ") WHERE nid=" + std::to_string(NidOf(cEid)));
    attachNid = static_cast<ULONG>(Count("SELECT nid FROM objects WHERE parent=" + std::to_string(NidOf(messageEid))));
    ASSERT_GT(attachNid, 0u);
    const int64_t cObjects = Count("SELECT count(*) FROM objects");

    ComPtr<IMAPIFolder> pA = OpenFolder(aEid);
    ComPtr<IMAPIFolder> pB = OpenFolder(bEid);
    ComPtr<IMAPITable> pTable;
    EXPECT_EQ(pA->GetHierarchyTable(CONVENIENT_DEPTH, pTable.AddressOf()), MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(pB->CopyFolder(static_cast<ULONG>(aEid.size()), (LPENTRYID)aEid.data(), nullptr, Inbox().Get(),
                             (LPTSTR)L"A copy", 0, nullptr, MAPI_UNICODE | COPY_SUBFOLDERS),
              MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(pB->DeleteFolder(static_cast<ULONG>(aEid.size()), (LPENTRYID)aEid.data(), 0, nullptr,
                               DEL_FOLDERS | DEL_MESSAGES),
              MAPI_E_CORRUPT_STORE);

    SBinary bin{static_cast<ULONG>(messageEid.size()), (LPBYTE)messageEid.data()};
    ENTRYLIST list{1, &bin};
    EXPECT_EQ(Inbox()->CopyMessages(&list, nullptr, OpenFolder(cEid).Get(), 0, nullptr, 0), MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(Count("SELECT count(*) FROM objects"), cObjects);
}

// The node counter is decimal text; a value no 32-bit counter holds is damage, not a crash.
TEST_F(DamagedTreeTest, UnreadableNodeCounterRefusesNewObjects) {
    Damage("UPDATE meta SET value='184467440737095516160' WHERE key='next_index'");
    ComPtr<IMessage> pMsg;
    EXPECT_EQ(Inbox()->CreateMessage(nullptr, 0, pMsg.AddressOf()), MAPI_E_CORRUPT_STORE);
}

// A page of one message's value damaged in the file: the store still opens (values are checked as
// they are read, not all at open) and reading the value fails as damage, not as garbage or a crash.
TEST_F(DamagedTreeTest, ADamagedValueFailsWhenReadAndTheStoreStillOpens) {
    const ULONG ulTag = PROP_TAG(PT_BINARY, 0x6701);
    const std::string sValue(3 * 4096, 'Q');  // longer than a page: most of it on overflow pages
    std::string eid;
    {
        ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"damaged");
        ASSERT_EQ(SetBinary(pMsg.Get(), ulTag, sValue), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
        eid = EntryId(pMsg.Get());
    }
    m_store.Reset();
    // An overflow page starts with the number of the page after it; a number past the file's end.
    std::string bytes = TestSupport::ReadFile(m_path);
    ASSERT_GT(bytes.size(), 100u);
    const size_t cbPage =
        static_cast<size_t>(static_cast<unsigned char>(bytes[16])) << 8 | static_cast<unsigned char>(bytes[17]);
    ASSERT_GE(cbPage, 512u);
    bool bDamaged = false;
    for (size_t page = cbPage; page + cbPage <= bytes.size() && !bDamaged; page += cbPage) {
        if (bytes.compare(page + 4, 64, sValue, 0, 64) == 0) {
            std::memset(&bytes[page], 0x7F, 4);
            bDamaged = true;
        }
    }
    ASSERT_TRUE(bDamaged) << "no overflow page of the value in the file";
    TestSupport::WriteFile(m_path, bytes);

    ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, m_store.AddressOf()), S_OK);
    ULONG ulType = 0;
    ComPtr<IMessage> pMsg;
    const HRESULT hrOpen = m_store->OpenEntry(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), &IID_IMessage, 0,
                                              &ulType, (LPUNKNOWN*)pMsg.AddressOf());
    EXPECT_EQ(SUCCEEDED(hrOpen) ? GetHr(pMsg.Get(), ulTag) : hrOpen, MAPI_E_CORRUPT_STORE);
}

}  // namespace
}  // namespace MapiTest
