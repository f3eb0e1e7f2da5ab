// Read-only stores and folders: what they hand out and what they refuse.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "MapiTestUtil.h"

namespace MapiTest {
namespace {

using AccessTest = StoreFixture;

ComPtr<IUnknown> Open(IMsgStore* pStore, const std::string& eid, ULONG ulFlags, HRESULT* pHr) {
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    *pHr = pStore->OpenEntry(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), nullptr, ulFlags, &ulType,
                             pUnk.AddressOf());
    return pUnk;
}

template <typename T>
ComPtr<T> As(const ComPtr<IUnknown>& pUnk) {
    return ComPtr<T>(static_cast<T*>(pUnk.Get()));
}

// Every call that would change the folder or put something into it.
void ExpectFolderRefusesChanges(IMAPIFolder* pFolder, IMAPIFolder* pWritableSource, const std::string& msgEid) {
    ComPtr<IMessage> pMsg;
    EXPECT_EQ(pFolder->CreateMessage(nullptr, 0, pMsg.AddressOf()), MAPI_E_NO_ACCESS);
    ComPtr<IMAPIFolder> pSub;
    EXPECT_EQ(pFolder->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"Sub", nullptr, nullptr, MAPI_UNICODE, pSub.AddressOf()),
              MAPI_E_NO_ACCESS);
    EXPECT_EQ(SetString(pFolder, PR_COMMENT_W, L"changed"), MAPI_E_NO_ACCESS);
    EXPECT_EQ(pFolder->SaveChanges(0), MAPI_E_NO_ACCESS);
    SBinary bin{24, (LPBYTE)msgEid.data()};
    ENTRYLIST list{1, &bin};
    EXPECT_EQ(pWritableSource->CopyMessages(&list, nullptr, pFolder, 0, nullptr, 0), MAPI_E_NO_ACCESS);
    EXPECT_EQ(pFolder->SetReadFlags(nullptr, 0, nullptr, 0), MAPI_E_NO_ACCESS);
    EXPECT_EQ(GetLong(pFolder, PR_ACCESS_LEVEL), 0);
}

TEST_F(AccessTest, AReadOnlyStoreHandsOutReadOnlyObjects) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMessage> pSaved = NewMessage(pInbox.Get(), L"stored");
    ASSERT_EQ(pSaved->SaveChanges(0), S_OK);
    std::string msgEid = EntryId(pSaved.Get());
    std::string inboxEid = EntryId(pInbox.Get());

    ComPtr<IMsgStore> pReader;
    ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", false, pReader.AddressOf()), S_OK);
    EXPECT_TRUE(GetLong(pReader.Get(), PR_STORE_SUPPORT_MASK) & STORE_READONLY);
    EXPECT_EQ(SetString(pReader.Get(), PR_COMMENT_W, L"changed"), MAPI_E_NO_ACCESS);
    EXPECT_EQ(pReader->SaveChanges(0), MAPI_E_NO_ACCESS);
    HRESULT hr = S_OK;
    Open(pReader.Get(), inboxEid, MAPI_MODIFY, &hr);
    EXPECT_EQ(hr, MAPI_E_NO_ACCESS);

    ComPtr<IMAPIFolder> pFolder = As<IMAPIFolder>(Open(pReader.Get(), inboxEid, MAPI_BEST_ACCESS, &hr));
    ASSERT_EQ(hr, S_OK);
    ExpectFolderRefusesChanges(pFolder.Get(), pInbox.Get(), msgEid);
    ComPtr<IMessage> pMsg = As<IMessage>(Open(pReader.Get(), msgEid, MAPI_BEST_ACCESS, &hr));
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(SetString(pMsg.Get(), PR_SUBJECT_W, L"changed"), MAPI_E_NO_ACCESS);
    EXPECT_EQ(pMsg->SaveChanges(0), MAPI_E_NO_ACCESS);
    EXPECT_EQ(pMsg->SetReadFlag(CLEAR_READ_FLAG), MAPI_E_NO_ACCESS);
    EXPECT_EQ(GetString(pMsg.Get(), PR_SUBJECT_W), L"stored");

    // The read state of a message opened read-only from a writable folder still changes.
    ComPtr<IMessage> pReadOnly = OpenMessage(msgEid, 0);
    EXPECT_EQ(pReadOnly->SetReadFlag(CLEAR_READ_FLAG), S_OK);
}

TEST_F(AccessTest, AFolderOpenedReadOnlyHandsOutReadOnlyChildren) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMessage> pSaved = NewMessage(pInbox.Get(), L"stored");
    ASSERT_EQ(pSaved->SaveChanges(0), S_OK);
    std::string msgEid = EntryId(pSaved.Get());
    ComPtr<IMAPIFolder> pRoot = OpenFolder(std::string(), MAPI_MODIFY);
    ComPtr<IMAPIFolder> pReadOnly = OpenFolder(EntryId(pInbox.Get()), 0);
    ExpectFolderRefusesChanges(pReadOnly.Get(), pRoot.Get(), msgEid);

    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    EXPECT_EQ(pReadOnly->OpenEntry(24, (LPENTRYID)msgEid.data(), nullptr, MAPI_MODIFY, &ulType, pUnk.AddressOf()),
              MAPI_E_NO_ACCESS);
    ASSERT_EQ(pReadOnly->OpenEntry(24, (LPENTRYID)msgEid.data(), nullptr, MAPI_BEST_ACCESS, &ulType, pUnk.AddressOf()),
              S_OK);
    auto* pMsg = static_cast<IMessage*>(pUnk.Get());
    EXPECT_EQ(SetString(pMsg, PR_SUBJECT_W, L"changed"), MAPI_E_NO_ACCESS);
    EXPECT_EQ(pMsg->SaveChanges(0), MAPI_E_NO_ACCESS);
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(AccessTest, AFileTheUserMayOnlyReadOpensReadOnly) {
    // A store in a folder of its own, neither of them writable by the user who opens it.
    std::filesystem::path dir = m_home.Path() / "shared";
    std::filesystem::create_directories(dir);
    std::filesystem::path path = dir / "readonly.osd";
    {
        ComPtr<IMsgStore> pWriter;
        ASSERT_EQ(Platform::OpenOsdStore(path, true, L"Read only", true, pWriter.AddressOf()), S_OK);
    }
    for (const char* pszSuffix : {"-wal", "-shm"})
        std::filesystem::remove(path.string() + pszSuffix);
    std::string bytes = ReadAll(path);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    ASSERT_EQ(chmod(m_home.Path().c_str(), 0755), 0);
    // root may write any file: it tries as an ordinary user.
    bool bDropped = geteuid() == 0;
    if (bDropped) {
        ASSERT_EQ(seteuid(65534), 0);
    }
    ComPtr<IMsgStore> pStore;
    HRESULT hr = Platform::OpenOsdStore(path, false, L"", true, pStore.AddressOf());
    ComPtr<IMAPITable> pTable;
    ComPtr<IMAPIFolder> pSubtree;
    if (SUCCEEDED(hr)) {
        std::string eid = GetBinary(pStore.Get(), PR_IPM_SUBTREE_ENTRYID);
        ULONG ulType = 0;
        hr = pStore->OpenEntry(24, (LPENTRYID)eid.data(), nullptr, MAPI_BEST_ACCESS, &ulType,
                               reinterpret_cast<IUnknown**>(pSubtree.AddressOf()));
    }
    if (SUCCEEDED(hr))
        hr = pSubtree->GetHierarchyTable(0, pTable.AddressOf());
    if (bDropped) {
        ASSERT_EQ(seteuid(0), 0);
    }
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(RowCount(pTable.Get()), 11u);
    EXPECT_EQ(GetString(pStore.Get(), PR_DISPLAY_NAME_W), L"Read only");
    EXPECT_TRUE(GetLong(pStore.Get(), PR_STORE_SUPPORT_MASK) & STORE_READONLY);
    ComPtr<IMAPIFolder> pNew;
    EXPECT_EQ(pSubtree->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"New", nullptr, nullptr, MAPI_UNICODE, pNew.AddressOf()),
              MAPI_E_NO_ACCESS);
    pTable.Reset();
    pSubtree.Reset();
    pStore.Reset();
    EXPECT_EQ(ReadAll(path), bytes);
    chmod(dir.c_str(), 0700);
    chmod(m_home.Path().c_str(), 0700);
}

}  // namespace
}  // namespace MapiTest
