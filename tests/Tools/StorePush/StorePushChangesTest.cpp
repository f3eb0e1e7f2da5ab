// Changes of what the server knows: read and flag changes, moves and deletions of items, renames,
// moves and deletions of folders. Each reaches the server once; the baseline is rewritten, so the
// next push finds nothing to send.
#include "StorePushTestSupport.h"

#include "Ostrel/IdMap/StoreStamps.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/NamedProps.h"

namespace StorePushTest {
namespace {

namespace FolderId = OstrelServer::FolderId;

class StorePushChanges : public PushFixture {
protected:
    void SetProp(IMAPIProp* pProp, ULONG ulTag, ULONG ul) {
        SPropValue value{};
        value.ulPropTag = ulTag;
        value.Value.ul = ul;
        ASSERT_EQ(HrSetOneProp(pProp, &value), S_OK);
        ASSERT_EQ(pProp->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    static SBinary Eid(std::vector<BYTE>& bytes) { return SBinary{static_cast<ULONG>(bytes.size()), bytes.data()}; }
    static std::vector<BYTE> EntryId(IMAPIProp* pProp) {
        LPSPropValue pValue = nullptr;
        EXPECT_EQ(HrGetOneProp(pProp, PR_ENTRYID, &pValue), S_OK);
        std::vector<BYTE> bytes(pValue->Value.bin.lpb, pValue->Value.bin.lpb + pValue->Value.bin.cb);
        MAPIFreeBuffer(pValue);
        return bytes;
    }
};

TEST_F(StorePushChanges, ReadFlagMoveAndDeleteOfItemsReachTheServerOnce) {
    auto pRead = PulledMail(FolderId::Inbox, "read-me", "u");
    auto pFlag = PulledMail(FolderId::Inbox, "flag-me", "");
    auto pMove = PulledMail(FolderId::Inbox, "move-me", "u");
    auto pGone = PulledMail(FolderId::Inbox, "delete-me", "");
    auto pTag = PulledMail(FolderId::Inbox, "tag-me", "");
    auto pLocal = PulledMail(FolderId::Inbox, "keep-me-local", "");
    const LONG lLocal = ServerId(pLocal.Get());
    auto pAside = PulledMail(FolderId::Inbox, "file-me-aside", "");
    const LONG lAside = ServerId(pAside.Get());
    const LONG lTag = ServerId(pTag.Get());
    const LONG lRead = ServerId(pRead.Get()), lFlag = ServerId(pFlag.Get()), lMove = ServerId(pMove.Get()),
               lGone = ServerId(pGone.Get());
    // The first push learns what the store holds; nothing changed yet.
    EXPECT_EQ(Push().Total(), 0u);

    SetProp(pRead.Get(), PR_MESSAGE_FLAGS, MSGFLAG_READ);
    SetProp(pFlag.Get(), PR_FLAG_STATUS, 2);
    // A category the server has no tag for yet.
    SPropValue categories{};
    categories.ulPropTag =
        Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::KEYWORDS, PT_MV_UNICODE,
                                 Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_pMailbox->Store()));
    wchar_t* pwszUrgent = const_cast<wchar_t*>(L"Urgent");
    categories.Value.MVszW = {1, &pwszUrgent};
    ASSERT_EQ(HrSetOneProp(pTag.Get(), &categories), S_OK);
    ASSERT_EQ(pTag->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::vector<BYTE> move = EntryId(pMove.Get()), gone = EntryId(pGone.Get());
    SBinary moveEid = Eid(move), goneEid = Eid(gone);
    ENTRYLIST moveList{1, &moveEid}, goneList{1, &goneEid};
    ASSERT_EQ(Folder(FolderId::Inbox)
                  ->CopyMessages(&moveList, nullptr, Folder(FolderId::Trash).Get(), 0, nullptr, MESSAGE_MOVE),
              S_OK);
    ASSERT_EQ(Folder(FolderId::Inbox)->DeleteMessages(&goneList, 0, nullptr, 0), S_OK);
    // Filed into a folder the server does not have: gone from the server's view, not deleted.
    std::vector<BYTE> local = EntryId(pLocal.Get());
    SBinary localEid = Eid(local);
    ENTRYLIST localList{1, &localEid};
    auto pIssues = NewFolder(Subtree().Get(), OstrelCli::kSyncIssuesFolder);
    ASSERT_EQ(Folder(FolderId::Inbox)->CopyMessages(&localList, nullptr, pIssues.Get(), 0, nullptr, MESSAGE_MOVE),
              S_OK);
    // Filed beside the mailbox's folders, where the push's listings do not look: still in the
    // store, so not deleted either.
    Platform::ComPtr<IMAPIFolder> pRoot;
    ASSERT_EQ(Ostrel::Mapi::OpenRootFolder(m_pMailbox->Store(), pRoot.AddressOf()), S_OK);
    std::vector<BYTE> aside = EntryId(pAside.Get());
    SBinary asideEid = Eid(aside);
    ENTRYLIST asideList{1, &asideEid};
    ASSERT_EQ(Folder(FolderId::Inbox)
                  ->CopyMessages(&asideList, nullptr, NewFolder(pRoot.Get(), L"Aside").Get(), 0, nullptr, MESSAGE_MOVE),
              S_OK);

    const OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cFailed, 0u);
    EXPECT_EQ(report.cChanged, 3u);
    EXPECT_EQ(report.cMoved, 1u);
    EXPECT_EQ(report.cDeleted, 1u);
    EXPECT_EQ(ServerBox().Item(lRead)->flags.find('u'), std::string::npos);
    EXPECT_NE(ServerBox().Item(lFlag)->flags.find('f'), std::string::npos);
    EXPECT_EQ(ServerBox().Item(lMove)->folderId, FolderId::Trash);
    EXPECT_NE(ServerBox().Item(lMove)->flags.find('u'), std::string::npos) << "a move changed the read state";
    EXPECT_FALSE(ServerBox().Item(lGone).has_value());
    ASSERT_TRUE(ServerBox().Item(lLocal).has_value());
    EXPECT_EQ(ServerBox().Item(lLocal)->folderId, FolderId::Inbox);
    EXPECT_TRUE(ServerBox().Item(lAside).has_value());
    const std::optional<OstrelServer::MailTag> urgent = ServerBox().TagByName("Urgent");
    ASSERT_TRUE(urgent.has_value());
    EXPECT_EQ(ServerBox().Item(lTag)->tags, std::vector<int32_t>{urgent->id});
    EXPECT_FALSE(m_pMailbox->Items().Contains(lGone));

    EXPECT_EQ(Push().Total(), 0u);
}

TEST_F(StorePushChanges, FolderRenameMoveAndDeleteReachTheServer) {
    auto pOld = PulledFolder(FolderId::Root, "Old name");
    auto pArchive = PulledFolder(FolderId::Root, "Archive");
    auto pGone = PulledFolder(FolderId::Root, "Scratch");
    const LONG lOld = ServerId(pOld.Get()), lArchive = ServerId(pArchive.Get()), lGone = ServerId(pGone.Get());
    EXPECT_EQ(Push().Total(), 0u);

    SPropValue name{};
    name.ulPropTag = PR_DISPLAY_NAME_W;
    name.Value.lpszW = const_cast<wchar_t*>(L"New name");
    ASSERT_EQ(HrSetOneProp(pOld.Get(), &name), S_OK);
    ASSERT_EQ(pOld->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::vector<BYTE> old = EntryId(pOld.Get()), gone = EntryId(pGone.Get());
    ASSERT_EQ(Subtree()->CopyFolder(static_cast<ULONG>(old.size()), reinterpret_cast<LPENTRYID>(old.data()), nullptr,
                                    pArchive.Get(), nullptr, 0, nullptr, FOLDER_MOVE),
              S_OK);
    ASSERT_EQ(Subtree()->DeleteFolder(static_cast<ULONG>(gone.size()), reinterpret_cast<LPENTRYID>(gone.data()), 0,
                                      nullptr, DEL_FOLDERS | DEL_MESSAGES),
              S_OK);

    const OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cFailed, 0u);
    EXPECT_EQ(report.cDeleted, 1u);
    ASSERT_TRUE(ServerBox().Folder(lOld).has_value());
    EXPECT_EQ(ServerBox().Folder(lOld)->name, "New name");
    EXPECT_EQ(ServerBox().Folder(lOld)->parentId, lArchive);
    EXPECT_FALSE(ServerBox().Folder(lGone).has_value());

    EXPECT_EQ(Push().Total(), 0u);
}

}  // namespace
}  // namespace StorePushTest
