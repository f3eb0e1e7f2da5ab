// Mail and folders made in the store reach the server once, also when the answer to the request
// that created them was lost on the way: the next push finds what the server made and adopts it.
#include "StorePushTestSupport.h"

#include "Ostrel/Store/MailItem.h"

namespace StorePushTest {
namespace {

using OstrelServer::Fault;
namespace FolderId = OstrelServer::FolderId;

class StorePushMail : public PushFixture {};

TEST_F(StorePushMail, OutboxMessageIsSentOnceAndKeptAsTheServersSentCopy) {
    NewMail(Outbox().Get(), L"Quarterly figures");
    // The answer to the send is lost after the server sent the message.
    m_server.Faults().Add(Fault::For("SendMsgRequest").DropMidBody());
    OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cSent, 0u);
    EXPECT_EQ(report.cFailed, 1u);
    ASSERT_EQ(ServerBox().SentMessages().size(), 1u);
    EXPECT_EQ(Messages(Outbox().Get()).size(), 1u);

    report = Push();
    EXPECT_EQ(report.cSent, 1u);
    EXPECT_EQ(report.cFailed, 0u);
    EXPECT_EQ(ServerBox().SentMessages().size(), 1u) << "sent a second time";
    const std::vector<int32_t> serverSent = ServerBox().ItemsIn(FolderId::Sent);
    ASSERT_EQ(serverSent.size(), 1u);
    EXPECT_NE(ServerBox().SentMessages()[0].find("Quarterly figures"), std::string::npos);
    EXPECT_NE(ServerBox().SentMessages()[0].find("robin@example.test"), std::string::npos);

    EXPECT_TRUE(Messages(Outbox().Get()).empty());
    auto sent = Messages(Folder(FolderId::Sent).Get());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(ServerId(sent[0].Get()), serverSent[0]);
    EXPECT_EQ(Subject(sent[0].Get()), L"Quarterly figures");
    EXPECT_TRUE(m_pMailbox->Items().Contains(serverSent[0]));

    EXPECT_EQ(Push().Total(), 0u);
    EXPECT_EQ(ServerBox().SentMessages().size(), 1u);
}

TEST_F(StorePushMail, SentCopyWhoseFilingAnswerWasLostAndThatWasPulledStaysOne) {
    NewMail(Outbox().Get(), L"Minutes");
    m_server.Faults().Add(Fault::For("AddMsgRequest").DropMidBody());
    EXPECT_EQ(Push().cFailed, 1u);
    const std::vector<int32_t> serverSent = ServerBox().ItemsIn(FolderId::Sent);
    ASSERT_EQ(serverSent.size(), 1u);
    // The pull of the next run brings the server's copy into Sent Items.
    Platform::ComPtr<IMessage> pPulled = NewMail(Folder(FolderId::Sent).Get(), L"Minutes");
    Ostrel::Mapi::OstrelMailItemBase(pPulled.Get()).StampOstrelId(serverSent[0]);
    ASSERT_EQ(pPulled->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    m_pMailbox->Items().Put(serverSent[0], pPulled.Get(), 0);

    EXPECT_EQ(Push().cSent, 1u);
    EXPECT_EQ(ServerBox().SentMessages().size(), 1u);
    EXPECT_TRUE(Messages(Outbox().Get()).empty());
    auto sent = Messages(Folder(FolderId::Sent).Get());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(ServerId(sent[0].Get()), serverSent[0]);
}

TEST_F(StorePushMail, NewDraftIsSavedOnceEvenWhenTheAnswerIsLost) {
    NewMail(Folder(FolderId::Drafts).Get(), L"Half-written letter");
    m_server.Faults().Add(Fault::For("SaveDraftRequest").DropMidBody());
    OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cFailed, 1u);
    ASSERT_EQ(ServerBox().ItemsIn(FolderId::Drafts).size(), 1u);

    report = Push();
    EXPECT_EQ(report.cDrafts, 1u);
    const std::vector<int32_t> drafts = ServerBox().ItemsIn(FolderId::Drafts);
    ASSERT_EQ(drafts.size(), 1u) << "a second copy of the draft";
    auto local = Messages(Folder(FolderId::Drafts).Get());
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(ServerId(local[0].Get()), drafts[0]);
    EXPECT_EQ(ServerBox().Item(drafts[0])->subject, "Half-written letter");
    EXPECT_TRUE(ServerBox().SentMessages().empty());

    EXPECT_EQ(Push().Total(), 0u);
    EXPECT_EQ(ServerBox().ItemsIn(FolderId::Drafts).size(), 1u);

    // Edited again: the server's draft is replaced, not joined by another.
    SPropValue subject{};
    subject.ulPropTag = PR_SUBJECT_W;
    subject.Value.lpszW = const_cast<wchar_t*>(L"Finished letter");
    ASSERT_EQ(HrSetOneProp(local[0].Get(), &subject), S_OK);
    ASSERT_EQ(local[0]->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(Push().cDrafts, 1u);
    ASSERT_EQ(ServerBox().ItemsIn(FolderId::Drafts).size(), 1u);
    EXPECT_EQ(ServerBox().Item(drafts[0])->subject, "Finished letter");
    EXPECT_EQ(Push().Total(), 0u);
}

TEST_F(StorePushMail, DraftSentFromTheOutboxLeavesTheServersDrafts) {
    NewMail(Folder(FolderId::Drafts).Get(), L"Finally done");
    EXPECT_EQ(Push().cDrafts, 1u);
    ASSERT_EQ(ServerBox().ItemsIn(FolderId::Drafts).size(), 1u);
    // The user sends it: the client moves it to the Outbox, still stamped as the draft.
    auto drafts = Messages(Folder(FolderId::Drafts).Get());
    ASSERT_EQ(drafts.size(), 1u);
    LPSPropValue pEid = nullptr;
    ASSERT_EQ(HrGetOneProp(drafts[0].Get(), PR_ENTRYID, &pEid), S_OK);
    ENTRYLIST list{1, &pEid->Value.bin};
    const HRESULT hrMove =
        Folder(FolderId::Drafts)->CopyMessages(&list, nullptr, Outbox().Get(), 0, nullptr, MESSAGE_MOVE);
    MAPIFreeBuffer(pEid);
    ASSERT_EQ(hrMove, S_OK);

    EXPECT_EQ(Push().cSent, 1u);
    EXPECT_EQ(ServerBox().SentMessages().size(), 1u);
    EXPECT_TRUE(ServerBox().ItemsIn(FolderId::Drafts).empty());
    const std::vector<int32_t> serverSent = ServerBox().ItemsIn(FolderId::Sent);
    ASSERT_EQ(serverSent.size(), 1u);
    auto sent = Messages(Folder(FolderId::Sent).Get());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(ServerId(sent[0].Get()), serverSent[0]);
    EXPECT_TRUE(Messages(Outbox().Get()).empty());
    EXPECT_EQ(Push().Total(), 0u);
}

TEST_F(StorePushMail, NewFoldersAreCreatedBelowTheirParentsOnce) {
    Platform::ComPtr<IMAPIFolder> pProjects = NewFolder(Subtree().Get(), L"Projects");
    NewFolder(pProjects.Get(), L"2026");
    NewFolder(Folder(FolderId::Contacts).Get(), L"Suppliers", L"IPF.Contact");
    NewFolder(Subtree().Get(), L"Scribbles", L"IPF.StickyNote");
    NewFolder(Subtree().Get(), OstrelCli::kSyncIssuesFolder);
    NewFolder(Subtree().Get(), OstrelCli::kGalFolder, L"IPF.Contact");
    // The first creation's answer is lost: the folder exists on the server, the store has no id.
    m_server.Faults().Add(Fault::For("CreateFolderRequest").DropMidBody());
    OstrelCli::PushReport report = Push();
    EXPECT_GE(report.cFailed, 1u);

    report = Push();
    EXPECT_EQ(report.cFailed, 0u);
    const auto projects = ServerFoldersNamed("Projects");
    ASSERT_EQ(projects.size(), 1u);
    EXPECT_EQ(projects[0].parentId, FolderId::Root);
    EXPECT_EQ(ServerId(pProjects.Get()), projects[0].id);
    const auto year = ServerFoldersNamed("2026");
    ASSERT_EQ(year.size(), 1u);
    EXPECT_EQ(year[0].parentId, projects[0].id);
    const auto suppliers = ServerFoldersNamed("Suppliers");
    ASSERT_EQ(suppliers.size(), 1u);
    EXPECT_EQ(suppliers[0].parentId, FolderId::Contacts);
    EXPECT_EQ(suppliers[0].view, "contact");
    // Local folders and folders of kinds the server does not keep stay local; so do the store's
    // special folders, whatever their names.
    EXPECT_TRUE(ServerFoldersNamed("Scribbles").empty());
    EXPECT_TRUE(ServerFoldersNamed("Sync Issues").empty());
    EXPECT_TRUE(ServerFoldersNamed("Global Address List").empty());
    EXPECT_TRUE(ServerFoldersNamed("Outbox").empty());
    EXPECT_TRUE(ServerFoldersNamed("Sent Items").empty());
    EXPECT_TRUE(ServerFoldersNamed("Deleted Items").empty());

    EXPECT_EQ(Push().Total(), 0u);
}

}  // namespace
}  // namespace StorePushTest
