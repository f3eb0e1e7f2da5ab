#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <set>

#include "MapiTestUtil.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Support/Child.h"

namespace MapiTest {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

using StoreTest = StoreFixture;

TEST_F(StoreTest, NewStoreHasTheFolderTreeOfANewProfile) {
    ComPtr<IMAPIFolder> pSubtree = OpenFolderByProp(PR_IPM_SUBTREE_ENTRYID);
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pSubtree->GetHierarchyTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_W, PR_CONTAINER_CLASS_W}};
    RowsHolder rows;
    ASSERT_EQ(HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, nullptr, nullptr, 0, &rows.p), S_OK);
    std::set<std::wstring> names;
    for (ULONG i = 0; i < rows.p->cRows; ++i)
        names.insert(rows.p->aRow[i].lpProps[0].Value.lpszW);
    std::set<std::wstring> expected = {L"Inbox",  L"Outbox",   L"Sent Items", L"Deleted Items",
                                       L"Drafts", L"Calendar", L"Contacts",   L"Tasks",
                                       L"Notes",  L"Journal",  L"Junk E-mail"};
    EXPECT_EQ(names, expected);

    // The special folders are reachable from the store, the root and the Inbox.
    EXPECT_EQ(GetString(OpenFolderByProp(PR_IPM_OUTBOX_ENTRYID).Get(), PR_DISPLAY_NAME_W), L"Outbox");
    EXPECT_EQ(GetString(OpenFolderByProp(PR_IPM_WASTEBASKET_ENTRYID).Get(), PR_DISPLAY_NAME_W), L"Deleted Items");
    EXPECT_EQ(GetString(OpenFolderByProp(PR_IPM_SENTMAIL_ENTRYID).Get(), PR_DISPLAY_NAME_W), L"Sent Items");
    ComPtr<IMAPIFolder> pRoot = Root();
    ComPtr<IMAPIFolder> pInbox = Inbox();
    EXPECT_EQ(GetString(pInbox.Get(), PR_DISPLAY_NAME_W), L"Inbox");
    EXPECT_EQ(GetString(OpenFolderByProp(PR_IPM_APPOINTMENT_ENTRYID, pRoot.Get()).Get(), PR_CONTAINER_CLASS_W),
              L"IPF.Appointment");
    EXPECT_EQ(GetString(OpenFolderByProp(PR_IPM_CONTACT_ENTRYID, pInbox.Get()).Get(), PR_DISPLAY_NAME_W), L"Contacts");
    EXPECT_EQ(GetLong(pRoot.Get(), PR_FOLDER_TYPE), (LONG)FOLDER_ROOT);
    EXPECT_EQ(GetString(m_store.Get(), PR_DISPLAY_NAME_W), L"Test Store");
    EXPECT_TRUE(GetLong(m_store.Get(), PR_STORE_SUPPORT_MASK) & STORE_UNICODE_OK);
    // Bodies are kept as written, not in step with each other.
    EXPECT_FALSE(GetLong(m_store.Get(), PR_STORE_SUPPORT_MASK) & STORE_RTF_OK);
}

TEST_F(StoreTest, EntryIdsCarryTheRecordKeyAndTheStorePath) {
    std::string recordKey = GetBinary(m_store.Get(), PR_STORE_RECORD_KEY);
    ASSERT_EQ(recordKey.size(), 16u);
    std::string eid = EntryId(Inbox().Get());
    ASSERT_EQ(eid.size(), 24u);
    EXPECT_EQ(eid.substr(0, 4), std::string(4, '\0'));
    EXPECT_EQ(eid.substr(4, 16), recordKey);
    ULONG nid;
    std::memcpy(&nid, eid.data() + 20, 4);
    EXPECT_EQ(nid & 0x1F, 2u);  // a normal folder

    std::string storeEid = GetBinary(m_store.Get(), PR_ENTRYID);
    std::string provider = GetBinary(m_store.Get(), PR_MDB_PROVIDER);
    size_t at = storeEid.find(provider);
    ASSERT_NE(at, std::string::npos);
    std::wstring path = Platform::FromUtf16LEBytes(storeEid.substr(at + 16 + 2, m_path.wstring().size() * 2));
    EXPECT_EQ(path, m_path.wstring());
    std::filesystem::path parsed;
    ASSERT_TRUE(Platform::OsdPathFromStoreEntryId((ULONG)storeEid.size(), storeEid.data(), &parsed));
    EXPECT_EQ(parsed, m_path);

    ULONG ulResult = 0;
    std::string other = EntryId(Root().Get());
    EXPECT_EQ(m_store->CompareEntryIDs(24, (LPENTRYID)eid.data(), 24, (LPENTRYID)eid.data(), 0, &ulResult), S_OK);
    EXPECT_TRUE(ulResult);
    EXPECT_EQ(m_store->CompareEntryIDs(24, (LPENTRYID)eid.data(), 24, (LPENTRYID)other.data(), 0, &ulResult), S_OK);
    EXPECT_FALSE(ulResult);
}

TEST_F(StoreTest, StoresCreatedApartHaveTheirOwnKeys) {
    ComPtr<IMsgStore> pOther;
    ASSERT_EQ(Platform::OpenOsdStore(m_home.Path() / "other.osd", true, L"", true, pOther.AddressOf()), S_OK);
    EXPECT_NE(GetBinary(pOther.Get(), PR_STORE_RECORD_KEY), GetBinary(m_store.Get(), PR_STORE_RECORD_KEY));
    EXPECT_NE(GetBinary(pOther.Get(), PR_MAPPING_SIGNATURE), GetBinary(m_store.Get(), PR_MAPPING_SIGNATURE));
    EXPECT_EQ(GetString(pOther.Get(), PR_DISPLAY_NAME_W), L"other");

    // An entry id of one store is not one of the other.
    std::string eid = EntryId(Inbox().Get());
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    EXPECT_EQ(pOther->OpenEntry(24, (LPENTRYID)eid.data(), nullptr, 0, &ulType, pUnk.AddressOf()),
              MAPI_E_INVALID_ENTRYID);
}

TEST_F(StoreTest, OpeningAMissingFileWithoutCreateFails) {
    ComPtr<IMsgStore> pStore;
    EXPECT_EQ(Platform::OpenOsdStore(m_home.Path() / "none.osd", false, L"", true, pStore.AddressOf()),
              MAPI_E_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(m_home.Path() / "none.osd"));
}

TEST_F(StoreTest, AFileThatIsNotAStoreIsRefusedAndLeftAlone) {
    std::filesystem::path garbage = m_home.Path() / "garbage.osd";
    std::string bytes = "This is not a database at all, just text.\n";
    for (int i = 0; i < 200; ++i)
        bytes += "filler line with some content\n";
    WriteFile(garbage, bytes);
    ComPtr<IMsgStore> pStore;
    EXPECT_EQ(Platform::OpenOsdStore(garbage, true, L"", true, pStore.AddressOf()), MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(ReadFile(garbage), bytes);

    // An empty file is not a store either.
    std::filesystem::path empty = m_home.Path() / "empty.osd";
    WriteFile(empty, "");
    EXPECT_EQ(Platform::OpenOsdStore(empty, true, L"", true, pStore.AddressOf()), MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(std::filesystem::file_size(empty), 0u);

    // Nor is a FIFO, which is refused at once rather than waited on for a writer.
    std::filesystem::path fifo = m_home.Path() / "fifo.osd";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (bool bWritable : {false, true}) {
        EXPECT_EQ(TestSupport::RunInChild([&] {
                      ComPtr<IMsgStore> pFifo;
                      return Platform::OpenOsdStore(fifo, true, L"", bWritable, pFifo.AddressOf()) ==
                             MAPI_E_CORRUPT_STORE;
                  }),
                  TestSupport::ChildOutcome::Succeeded)
            << bWritable;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST_F(StoreTest, ADamagedStoreIsRefusedAndLeftAlone) {
    std::filesystem::path path = m_home.Path() / "damaged.osd";
    {
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf()), S_OK);
        ComPtr<IMAPIFolder> pSubtree;
        std::string eid = GetBinary(pStore.Get(), PR_IPM_SUBTREE_ENTRYID);
        ULONG ulType;
        ASSERT_EQ(pStore->OpenEntry(24, (LPENTRYID)eid.data(), nullptr, MAPI_MODIFY, &ulType,
                                    reinterpret_cast<IUnknown**>(pSubtree.AddressOf())),
                  S_OK);
        for (int i = 0; i < 50; ++i) {
            ComPtr<IMAPIFolder> pNew;
            std::wstring name = L"Folder " + std::to_wstring(i);
            ASSERT_EQ(pSubtree->CreateFolder(FOLDER_GENERIC, (LPTSTR)name.c_str(), nullptr, nullptr, MAPI_UNICODE,
                                             pNew.AddressOf()),
                      S_OK);
        }
    }
    std::string bytes = ReadFile(path);
    ASSERT_GT(bytes.size(), 3u * 4096);
    for (size_t i = 4096 + 100; i < bytes.size(); i += 97)
        bytes[i] = static_cast<char>(0xA5 ^ bytes[i]);
    WriteFile(path, bytes);
    ComPtr<IMsgStore> pStore;
    EXPECT_EQ(Platform::OpenOsdStore(path, false, L"", true, pStore.AddressOf()), MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(ReadFile(path), bytes);
}

}  // namespace
}  // namespace MapiTest
