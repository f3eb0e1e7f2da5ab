// Folder wrapper operations on a real store: what a folder holds, what kind of folder it is, its
// access-control list, and the messages that reserve subfolder names.
#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/StoreFolders.h"
#include "StoreTestUtil.h"
#include "Util/Log/Log.h"

namespace StoreTest {
namespace {

using Ostrel::Mapi::Folder;
using Ostrel::Mapi::OstrelMailItem;

class FolderTest : public StoreFixture {
protected:
    Folder Wrap(const ComPtr<IMAPIFolder>& pFolder) { return Folder(pFolder.Get(), m_store.Get()); }
};

TEST_F(FolderTest, ServerIdsOfMessagesAndSubfolders) {
    ComPtr<IMAPIFolder> pTop = NewFolder(IpmSubtree().Get(), L"Top");
    for (LONG lId : {11, 12}) {
        ComPtr<IMessage> pMessage = NewMessage(pTop.Get(), L"m");
        ASSERT_EQ(OstrelMailItem(pMessage.Get(), m_store.Get()).StampOstrelId(lId), S_OK);
        ASSERT_EQ(pMessage->SaveChanges(0), S_OK);
    }
    NewMessage(pTop.Get(), L"local only");
    ComPtr<IMAPIFolder> pChild = NewFolder(pTop.Get(), L"Child");
    ComPtr<IMAPIFolder> pGrandchild = NewFolder(pChild.Get(), L"Grandchild");
    ASSERT_EQ(Ostrel::Mapi::AddOstrelFolderId(pChild.Get(), 21), S_OK);
    ASSERT_EQ(Ostrel::Mapi::AddOstrelFolderId(pGrandchild.Get(), 22), S_OK);
    Folder top = Wrap(pTop);
    ComPtr<IMessage> pReserved;
    ASSERT_EQ(top.CreateReservedSubFoldNameAssocMsg(L"Wiki", 31, pReserved.AddressOf()), S_OK);

    std::vector<LONG>* pIds = nullptr;
    ASSERT_EQ(top.MessageIds(&pIds), S_OK);
    std::sort(pIds->begin(), pIds->end());
    EXPECT_EQ(*pIds, (std::vector<LONG>{11, 12}));
    Folder::FreeIds(pIds);
    EXPECT_EQ(pIds, nullptr);
    ASSERT_EQ(top.PrivateMessageIds(&pIds), S_OK);
    EXPECT_EQ(*pIds, (std::vector<LONG>{31}));
    Folder::FreeIds(pIds);
    ASSERT_EQ(top.SubFolderIds(&pIds, 0), S_OK);
    EXPECT_EQ(*pIds, (std::vector<LONG>{21}));
    Folder::FreeIds(pIds);
    ASSERT_EQ(top.SubFolderIds(&pIds, 1), S_OK);
    EXPECT_EQ(*pIds, (std::vector<LONG>{21, 22}));
    Folder::FreeIds(pIds);

    SBinary eid{};
    ASSERT_EQ(top.GetSubFolderByName(L"CHILD", &eid), S_OK);
    EXPECT_EQ(std::string((const char*)eid.lpb, eid.cb), EntryId(pChild.Get()));
    MAPIFreeBuffer(eid.lpb);
    EXPECT_EQ(top.GetSubFolderByName(L"Nowhere", &eid), MAPI_E_NOT_FOUND);

    EXPECT_TRUE(top.ExistsReservedSubFoldNameAssocMsg(L"wiki"));
    EXPECT_FALSE(top.ExistsReservedSubFoldNameAssocMsg(L"Child"));
    EXPECT_EQ(OstrelMailItem(pReserved.Get(), m_store.Get()).OstrelId(), 31);
}

TEST_F(FolderTest, KindsOfFolders) {
    Folder root = Wrap(Root()), subtree = Wrap(IpmSubtree()), inbox = Wrap(Inbox());
    EXPECT_TRUE(root.IsRootFolder());
    EXPECT_FALSE(inbox.IsRootFolder());
    EXPECT_TRUE(subtree.IsIpmRootFolder());
    EXPECT_FALSE(subtree.IsIPMSubtreeFolderDescendent());
    EXPECT_TRUE(inbox.IsIPMSubtreeFolderDescendent());
    ComPtr<IMAPIFolder> pDeep = NewFolder(NewFolder(Inbox().Get(), L"a").Get(), L"b");
    EXPECT_TRUE(Wrap(pDeep).IsIPMSubtreeFolderDescendent());
    ComPtr<IMAPIFolder> pHidden;
    pHidden.Attach(Ostrel::Mapi::GetTagFolder(m_store.Get()));
    ASSERT_TRUE(pHidden);
    EXPECT_FALSE(Wrap(pHidden).IsIPMSubtreeFolderDescendent());

    SBinary eid{};
    ASSERT_EQ(subtree.GetSubFolderByName(L"Deleted Items", &eid), S_OK);
    Folder trash(&eid, m_store.Get());
    MAPIFreeBuffer(eid.lpb);
    EXPECT_TRUE(trash.IsTrashFolder());
    EXPECT_FALSE(trash.IsDraftsFolder());
    ASSERT_EQ(subtree.GetSubFolderByName(L"Drafts", &eid), S_OK);
    Folder drafts(&eid, m_store.Get());
    MAPIFreeBuffer(eid.lpb);
    EXPECT_TRUE(drafts.IsDraftsFolder());
    EXPECT_FALSE(inbox.IsTrashFolder());

    ASSERT_EQ(subtree.GetSubFolderByName(L"Contacts", &eid), S_OK);
    EXPECT_EQ(Folder(&eid, m_store.Get()).GetContainerClass(), Ostrel::Mail::MIT_CONTACT);
    MAPIFreeBuffer(eid.lpb);
    EXPECT_EQ(inbox.GetContainerClass(), Ostrel::Mail::MIT_MESSAGE);
    Folder deep = Wrap(pDeep);
    ASSERT_EQ(deep.SetContainerClass(L"IPF.Appointment.Birthday"), S_OK);
    EXPECT_EQ(deep.GetContainerClass(), Ostrel::Mail::MIT_APPOINTMENT);
    int b = -1;
    EXPECT_EQ(deep.IsHiddenFolder(&b), S_OK);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(deep.IsSearchFolder(&b), S_OK);
    EXPECT_EQ(b, 0);

    // Marking a folder local marks its subtree too when asked.
    ComPtr<IMAPIFolder> pA = NewFolder(Inbox().Get(), L"x");
    ComPtr<IMAPIFolder> pB = NewFolder(pA.Get(), L"y");
    ASSERT_EQ(Wrap(pA).SetLocalFolder(1, 1), S_OK);
    EXPECT_TRUE(Wrap(pB).IsLocalFolder());
    ASSERT_EQ(Wrap(pA).SetLocalFolder(0, 0), S_OK);
    EXPECT_FALSE(Wrap(pA).IsLocalFolder());
    EXPECT_TRUE(Wrap(pB).IsLocalFolder());
}

TEST_F(FolderTest, AccessControlListRoundTripsAndSurvivesDamage) {
    ComPtr<IMAPIFolder> pShared = NewFolder(IpmSubtree().Get(), L"Shared");
    Folder folder = Wrap(pShared);
    Ostrel::ACL acl(3);
    acl[0].m_wsGranteeId = L"0f4c-user";
    acl[0].m_wsGranteeName = L"ann@example.com";
    acl[0].m_wsDisplayName = L"Ann";
    acl[0].m_ulRights = Ostrel::ACL_RIGHT_READ | Ostrel::ACL_RIGHT_WRITE;
    acl[1].m_wsGranteeId = L"7a7a-group";
    acl[1].m_bIsGroup = 1;
    acl[1].m_ulRights = Ostrel::ACL_RIGHT_ADMIN;
    acl[2].m_wsGranteeName = L"guest@example.org";
    acl[2].m_wsPassword = L"secret";
    acl[2].m_eGranteeType = Ostrel::GT_GUEST;
    acl[2].m_ulRights = Ostrel::ACL_RIGHT_READ;
    folder.Acl(acl);
    ASSERT_EQ(folder.Ace(0x1F), S_OK);
    EXPECT_EQ(folder.Ace(), 0x1Fu);

    Reopen();
    Folder again(IpmSubtree().Get(), m_store.Get());
    SBinary eid{};
    ASSERT_EQ(again.GetSubFolderByName(L"Shared", &eid), S_OK);
    Folder shared(&eid, m_store.Get());
    MAPIFreeBuffer(eid.lpb);
    Ostrel::ACL read = shared.Acl();
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].m_wsGranteeId, L"0f4c-user");
    EXPECT_EQ(read[0].m_wsDisplayName, L"Ann");
    EXPECT_EQ(read[0].m_ulRights, 3u);
    EXPECT_EQ(read[1].m_bIsGroup, 1);
    EXPECT_EQ(read[1].m_ulRights, Ostrel::ACL_RIGHT_ADMIN);
    EXPECT_EQ(read[1].m_wsGranteeName, L"");
    EXPECT_EQ(read[2].m_wsGranteeId, L"guest@example.org");
    EXPECT_EQ(read[2].m_wsPassword, L"secret");
    EXPECT_EQ(read[2].m_eGranteeType, Ostrel::GT_GUEST);

    // An empty list writes nothing; the stored list stays.
    shared.Acl(Ostrel::ACL{});
    EXPECT_EQ(shared.Acl().size(), 3u);

    // Lists cut short by another writer give empty texts, never a read past their end.
    auto* pProps = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get());
    wchar_t wszOnly[] = L"only";
    wchar_t* names[] = {wszOnly};
    SPropValue v{pProps->GetPropTag(Ostrel::Mapi::NamedProps::ACL_GRANTEE_NAMES, PT_MV_UNICODE), 0, {}};
    v.Value.MVszW = {1, names};
    ASSERT_EQ(HrSetOneProp(shared.MapiFolder(), &v), S_OK);
    read = shared.Acl();
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].m_wsGranteeName, L"only");
    EXPECT_EQ(read[2].m_wsGranteeName, L"guest@example.org");  // the id stands in for a missing name
}

TEST_F(FolderTest, MessagesAndFoldersMoveCopyAndGo) {
    ComPtr<IMAPIFolder> pFrom = NewFolder(IpmSubtree().Get(), L"From");
    ComPtr<IMAPIFolder> pTo = NewFolder(IpmSubtree().Get(), L"To");
    ComPtr<IMAPIFolder> pSub = NewFolder(pFrom.Get(), L"Sub");
    Folder from = Wrap(pFrom), to = Wrap(pTo);
    std::string sMessage = EntryId(NewMessage(pFrom.Get(), L"moving").Get());
    ASSERT_EQ(from.CopyMessage(static_cast<ULONG>(sMessage.size()), (ENTRYID*)sMessage.data()), S_OK);
    ASSERT_EQ(from.MoveMessage(static_cast<ULONG>(sMessage.size()), (ENTRYID*)sMessage.data(), to), S_OK);
    std::string sSub = EntryId(pSub.Get());
    ASSERT_EQ(from.MoveFolder(static_cast<ULONG>(sSub.size()), (ENTRYID*)sSub.data(), to), S_OK);
    EXPECT_EQ(SubfolderNames(pTo.Get()), (std::vector<std::wstring>{L"Sub"}));
    ASSERT_EQ(to.DeleteFolder(static_cast<ULONG>(sSub.size()), (ENTRYID*)sSub.data()), S_OK);
    EXPECT_TRUE(SubfolderNames(pTo.Get()).empty());
    ComPtr<IMAPITable> pTable;
    ULONG cFrom = 0, cTo = 0;
    ASSERT_EQ(pFrom->GetContentsTable(0, pTable.AddressOf()), S_OK);
    ASSERT_EQ(pTable->GetRowCount(0, &cFrom), S_OK);
    ASSERT_EQ(pTo->GetContentsTable(0, pTable.AddressOf()), S_OK);
    ASSERT_EQ(pTable->GetRowCount(0, &cTo), S_OK);
    EXPECT_EQ(cFrom, 1u);  // the copy stayed
    EXPECT_EQ(cTo, 1u);
    ASSERT_EQ(to.DeleteMessage(static_cast<ULONG>(sMessage.size()), (ENTRYID*)sMessage.data()), S_OK);
    ASSERT_EQ(pTo->GetContentsTable(0, pTable.AddressOf()), S_OK);
    ASSERT_EQ(pTable->GetRowCount(0, &cTo), S_OK);
    EXPECT_EQ(cTo, 0u);

    Ostrel::Util::LogCapture capture;
    SBinary bad{4, (LPBYTE) "bad!"};
    Folder missing(&bad, m_store.Get());
    EXPECT_FALSE(missing.IsValid());
    EXPECT_EQ(missing.Update(L"x"), E_POINTER);
    EXPECT_TRUE(capture.Contains(L"invalid inner pointer"));
}

}  // namespace
}  // namespace StoreTest
