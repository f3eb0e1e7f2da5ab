// Another client changes an item after the pull and before the push: the push does not overwrite
// the server's change, and the next pull settles both versions (the server's in place, the local
// one kept in the conflicts folder).
#include "StorePushTestSupport.h"

#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Store/MailItem.h"
#include "Platform/Base/Utf.h"
#include "ostrel-server/Calendar.h"
#include "ostrel/StoreSync.h"

namespace StorePushTest {
namespace {

using Ostrel::Rpc::ActionRequest;
using Platform::ComPtr;
namespace FolderId = OstrelServer::FolderId;

class StorePushConflicts : public PushFixture {
protected:
    // As another client: an action on a message of the server.
    void ServerAction(ActionRequest& request) {
        Ostrel::Rpc::Response* pResponse = nullptr;
        m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
        delete pResponse;
    }
    static void SetCompany(IMessage* pContact, const wchar_t* pwszCompany) {
        SPropValue value{};
        value.ulPropTag = PR_COMPANY_NAME_W;
        value.Value.lpszW = const_cast<wchar_t*>(pwszCompany);
        ASSERT_EQ(HrSetOneProp(pContact, &value), S_OK);
        ASSERT_EQ(pContact->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    static std::wstring Company(IMessage* pContact) {
        LPSPropValue pValue = nullptr;
        std::wstring ws;
        if (SUCCEEDED(HrGetOneProp(pContact, PR_COMPANY_NAME_W, &pValue)))
            ws = pValue->Value.lpszW;
        MAPIFreeBuffer(pValue);
        return ws;
    }
    // As the pull writes it: the server's contact, stamped with its change sequence.
    void PullContact(OstrelCli::StoreSync& pull, int32_t iId) {
        const OstrelServer::MailItem item = *ServerBox().Item(iId);
        Ostrel::Mail::Contact contact;
        contact.SetContId(iId);
        for (const auto& [name, value] : item.contact.attrs)
            contact.SetAttribute(Platform::FromUtf8(name).c_str(), Platform::FromUtf8(value).c_str());
        OstrelCli::ItemBaseline listed;
        listed.iFolder = item.folderId;
        listed.iSeq = static_cast<int32_t>(item.rev);
        pull.WriteContact(contact, listed);
    }
    std::vector<ComPtr<IMessage>> Conflicts() {
        ComPtr<IMAPIFolder> pConflicts;
        EXPECT_EQ(
            m_pMailbox->OpenLocalFolder(std::wstring(OstrelCli::kSyncIssuesFolder) + L"/" + OstrelCli::kConflictsFolder,
                                        pConflicts.AddressOf()),
            S_OK);
        return pConflicts ? Messages(pConflicts.Get()) : std::vector<ComPtr<IMessage>>();
    }
};

TEST_F(StorePushConflicts, FieldsTheServerChangedMeanwhileAreNotOverwritten) {
    auto pMail = PulledMail(FolderId::Inbox, "both-sides", "u");
    const LONG lId = ServerId(pMail.Get());
    PulledFolder(FolderId::Root, "Archive");
    auto pElsewhere = PulledFolder(FolderId::Root, "Elsewhere");
    const int32_t iArchive = ServerFoldersNamed("Archive").at(0).id;
    EXPECT_EQ(Push().Total(), 0u);

    // After the pull another client flags it and files it in Archive; here it is read and filed
    // in Elsewhere.
    ActionRequest flag(Ostrel::Mail::MIT_MESSAGE, lId, ActionRequest::OP_FLAG);
    ServerAction(flag);
    ActionRequest move(Ostrel::Mail::MIT_MESSAGE, lId, ActionRequest::OP_MOVE, iArchive, nullptr);
    ServerAction(move);
    SPropValue read{};
    read.ulPropTag = PR_MESSAGE_FLAGS;
    read.Value.ul = MSGFLAG_READ;
    ASSERT_EQ(HrSetOneProp(pMail.Get(), &read), S_OK);
    ASSERT_EQ(pMail->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    LPSPropValue pEid = nullptr;
    ASSERT_EQ(HrGetOneProp(pMail.Get(), PR_ENTRYID, &pEid), S_OK);
    ENTRYLIST list{1, &pEid->Value.bin};
    const HRESULT hrMove =
        Folder(FolderId::Inbox)->CopyMessages(&list, nullptr, pElsewhere.Get(), 0, nullptr, MESSAGE_MOVE);
    ASSERT_EQ(hrMove, S_OK);

    OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cFailed, 0u);
    EXPECT_EQ(report.cChanged, 1u);  // read: only this side changed it
    EXPECT_EQ(report.cMoved, 0u);
    EXPECT_EQ(report.cConflicts, 1u);
    OstrelServer::MailItem server = *ServerBox().Item(lId);
    EXPECT_EQ(server.folderId, iArchive);
    EXPECT_NE(server.flags.find('f'), std::string::npos);
    EXPECT_EQ(server.flags.find('u'), std::string::npos);

    // The next pull: the server's folder wins, the local filing is kept as a copy; nothing is left
    // to push.
    OstrelCli::StoreSync pull(*m_pMailbox);
    OstrelCli::SyncItem listed;
    listed.iId = lId;
    listed.iFolder = server.folderId;
    listed.iSeq = static_cast<int32_t>(server.rev);
    listed.sFlags = server.flags;
    EXPECT_FALSE(pull.ApplyItem(listed, false));
    EXPECT_EQ(pull.Counts().cConflicts, 1u);
    ComPtr<IMessage> pPulled;
    ASSERT_EQ(m_pMailbox->OpenItem(lId, 0, pPulled.AddressOf()), S_OK);
    OstrelCli::ItemBaseline baseline;
    ASSERT_TRUE(m_pMailbox->Baseline().Read(pPulled.Get(), baseline));
    EXPECT_EQ(baseline.iFolder, iArchive);
    EXPECT_EQ(Conflicts().size(), 1u);
    report = Push();
    EXPECT_EQ(report.Total() + report.cConflicts + report.cFailed, 0u);
    MAPIFreeBuffer(pEid);
}

TEST_F(StorePushConflicts, AContactEditedOnBothSidesKeepsBothVersions) {
    OstrelServer::MailItem seed;
    seed.kind = OstrelServer::ItemKind::Contact;
    seed.folderId = FolderId::Contacts;
    seed.contact.attrs = {{"firstName", "Ada"}, {"lastName", "Quill"}, {"company", "Lantern Works"}};
    const int32_t iId = ServerBox().AddItem(seed);
    {
        OstrelCli::StoreSync pull(*m_pMailbox);
        PullContact(pull, iId);
    }
    ComPtr<IMessage> pContact;
    ASSERT_EQ(m_pMailbox->OpenItem(iId, 0, pContact.AddressOf()), S_OK);
    EXPECT_EQ(Push().Total(), 0u);

    OstrelServer::MailboxContact theirs = ServerBox().Item(iId)->contact;
    theirs.attrs = {{"firstName", "Ada"}, {"lastName", "Quill"}, {"company", "Server Side"}};
    ServerBox().ChangeContact(iId, theirs);
    SetCompany(pContact.Get(), L"Store Side");

    OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cConflicts, 1u);
    EXPECT_EQ(report.cContacts, 0u);
    EXPECT_EQ(report.cFailed, 0u);
    EXPECT_EQ(ServerAttr(*ServerBox().Item(iId), "company"), "Server Side");
    EXPECT_EQ(Company(Reopen(pContact.Get()).Get()), L"Store Side");

    {
        OstrelCli::StoreSync pull(*m_pMailbox);
        PullContact(pull, iId);
    }
    EXPECT_EQ(Company(Reopen(pContact.Get()).Get()), L"Server Side");
    const std::vector<ComPtr<IMessage>> kept = Conflicts();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Company(kept[0].Get()), L"Store Side");
    report = Push();
    EXPECT_EQ(report.Total() + report.cConflicts + report.cFailed, 0u);

    // Without a change on the server in between, the edit goes up.
    pContact = Reopen(pContact.Get());
    SetCompany(pContact.Get(), L"Store Again");
    EXPECT_EQ(Push().cContacts, 1u);
    EXPECT_EQ(ServerAttr(*ServerBox().Item(iId), "company"), "Store Again");
}

TEST_F(StorePushConflicts, ADraftEditedOnBothSidesIsKeptAsAConflictNotSavedOverTheServers) {
    auto pDraft = PulledMail(FolderId::Drafts, "draft-both", "d");
    const LONG lId = ServerId(pDraft.Get());
    OstrelCli::ItemBaseline baseline;
    ASSERT_TRUE(m_pMailbox->Baseline().Read(pDraft.Get(), baseline));
    baseline.iSeq = static_cast<int32_t>(ServerBox().Item(lId)->rev);
    baseline.ftStamp = FILETIME{};
    ASSERT_EQ(m_pMailbox->Baseline().Stamp(pDraft.Get(), baseline), S_OK);
    ASSERT_EQ(pDraft->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(Push().Total(), 0u);

    ActionRequest flag(Ostrel::Mail::MIT_MESSAGE, lId, ActionRequest::OP_FLAG);
    ServerAction(flag);
    SPropValue subject{};
    subject.ulPropTag = PR_SUBJECT_W;
    subject.Value.lpszW = const_cast<wchar_t*>(L"draft-both, edited here");
    ASSERT_EQ(HrSetOneProp(pDraft.Get(), &subject), S_OK);
    ASSERT_EQ(pDraft->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cConflicts, 1u);
    EXPECT_EQ(report.cDrafts + report.cDeleted + report.cFailed, 0u);
    ASSERT_TRUE(ServerBox().Item(lId).has_value());
    EXPECT_EQ(ServerBox().Item(lId)->subject, "draft-both");
    const std::vector<ComPtr<IMessage>> kept = Conflicts();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Subject(kept[0].Get()), L"draft-both, edited here");
    EXPECT_TRUE(Messages(Folder(FolderId::Drafts).Get()).empty());
    // The next pull brings the server's draft down as a new one.
    EXPECT_FALSE(m_pMailbox->Items().Contains(lId));
    report = Push();
    EXPECT_EQ(report.Total() + report.cConflicts + report.cFailed, 0u);
}

TEST_F(StorePushConflicts, AnAppointmentTheServerChangedMeanwhileIsNotSentOverIt) {
    m_server.State<OstrelServer::CalendarBook>().Clear();
    OstrelServer::MailItem seed;
    seed.kind = OstrelServer::ItemKind::Appointment;
    seed.folderId = FolderId::Calendar;
    seed.name = "Planning";
    const int32_t iId = ServerBox().AddItem(seed);
    ComPtr<IMessage> pItem;
    ASSERT_EQ(Folder(FolderId::Calendar)->CreateMessage(nullptr, 0, pItem.AddressOf()), S_OK);
    SPropValue values[2]{};
    values[0].ulPropTag = PR_MESSAGE_CLASS_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(L"IPM.Appointment");
    values[1].ulPropTag = PR_SUBJECT_W;
    values[1].Value.lpszW = const_cast<wchar_t*>(L"Planning");
    ASSERT_EQ(pItem->SetProps(2, values, nullptr), S_OK);
    ASSERT_EQ(Ostrel::Mapi::OstrelMailItemBase(pItem.Get()).StampOstrelId(iId), S_OK);
    OstrelCli::ItemBaseline baseline;
    baseline.iFolder = FolderId::Calendar;
    baseline.iSeq = static_cast<int32_t>(ServerBox().Item(iId)->rev);
    ASSERT_EQ(m_pMailbox->Baseline().Stamp(pItem.Get(), baseline), S_OK);
    ASSERT_EQ(pItem->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    m_pMailbox->Items().Put(iId, pItem.Get(), 0);
    EXPECT_EQ(Push().Total(), 0u);

    ActionRequest flag(Ostrel::Mail::MIT_APPOINTMENT, iId, ActionRequest::OP_FLAG);
    ServerAction(flag);
    values[1].Value.lpszW = const_cast<wchar_t*>(L"Planning, moved here");
    ASSERT_EQ(pItem->SetProps(1, &values[1], nullptr), S_OK);
    ASSERT_EQ(pItem->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    const OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cConflicts, 1u);
    EXPECT_EQ(report.cCalendar + report.cFailed, 0u);
    EXPECT_TRUE(m_server.State<OstrelServer::CalendarBook>().Ids().empty());
}

}  // namespace
}  // namespace StorePushTest
