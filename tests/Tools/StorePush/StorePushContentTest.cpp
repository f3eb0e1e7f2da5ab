// Contacts and appointments made or edited in the store reach the server once: a creation whose
// answer was lost is found on the server and adopted, an edit replaces the server's contact, and
// a list's members become the server's.
#include "StorePushTestSupport.h"

#include "Ostrel/Convert/Contact/ContactProps.h"
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "ostrel-server/Calendar.h"

#include <algorithm>

namespace StorePushTest {
namespace {

using OstrelServer::Fault;
namespace FolderId = OstrelServer::FolderId;

class StorePushContent : public PushFixture {
protected:
    Platform::ComPtr<IMessage> NewContact(const std::wstring& wsFirst, const std::wstring& wsLast) {
        Platform::ComPtr<IMessage> pContact;
        EXPECT_EQ(Folder(FolderId::Contacts)->CreateMessage(nullptr, 0, pContact.AddressOf()), S_OK);
        SPropValue values[4]{};
        values[0].ulPropTag = PR_MESSAGE_CLASS_W;
        values[0].Value.lpszW = const_cast<wchar_t*>(L"IPM.Contact");
        values[1].ulPropTag = PR_GIVEN_NAME_W;
        values[1].Value.lpszW = const_cast<wchar_t*>(wsFirst.c_str());
        values[2].ulPropTag = PR_SURNAME_W;
        values[2].Value.lpszW = const_cast<wchar_t*>(wsLast.c_str());
        values[3].ulPropTag = PR_COMPANY_NAME_W;
        values[3].Value.lpszW = const_cast<wchar_t*>(L"Lantern Works");
        EXPECT_EQ(pContact->SetProps(4, values, nullptr), S_OK);
        EXPECT_EQ(pContact->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        return pContact;
    }
    std::vector<int32_t> ServerContacts() {
        std::vector<int32_t> ids;
        for (int32_t id : ServerBox().ItemsIn(FolderId::Contacts))
            if (ServerBox().Item(id)->kind == OstrelServer::ItemKind::Contact)
                ids.push_back(id);
        return ids;
    }
};

TEST_F(StorePushContent, NewContactIsCreatedOnceAndEditsReplaceIt) {
    const size_t cSeeded = ServerContacts().size();
    Platform::ComPtr<IMessage> pContact = NewContact(L"Ada", L"Quill");
    // Her photo goes up beside her.
    const std::string photo("\x89PNG\r\n\x1a\nnot really a picture", 28);
    Platform::ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    ASSERT_EQ(pContact->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    SPropValue attach[4]{};
    attach[0].ulPropTag = PR_ATTACH_METHOD;
    attach[0].Value.l = ATTACH_BY_VALUE;
    attach[1].ulPropTag = PR_ATTACHMENT_CONTACTPHOTO;
    attach[1].Value.b = 1;
    attach[2].ulPropTag = PR_ATTACH_FILENAME_W;
    attach[2].Value.lpszW = const_cast<wchar_t*>(L"ada.png");
    attach[3].ulPropTag = PR_ATTACH_DATA_BIN;
    attach[3].Value.bin =
        SBinary{static_cast<ULONG>(photo.size()), reinterpret_cast<BYTE*>(const_cast<char*>(photo.data()))};
    ASSERT_EQ(pAttach->SetProps(4, attach, nullptr), S_OK);
    ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
    ASSERT_EQ(pContact->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    m_server.Faults().Add(Fault::For("CreateContactRequest").DropMidBody());
    EXPECT_EQ(Push().cFailed, 1u);
    ASSERT_EQ(ServerContacts().size(), cSeeded + 1);

    OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cContacts, 1u);
    EXPECT_EQ(report.cFailed, 0u);
    ASSERT_EQ(ServerContacts().size(), cSeeded + 1) << "a second copy of the contact";
    pContact = Reopen(pContact.Get());
    const LONG lId = ServerId(pContact.Get());
    ASSERT_TRUE(ServerBox().Item(lId).has_value());
    EXPECT_EQ(ServerAttr(*ServerBox().Item(lId), "firstName"), "Ada");
    const std::optional<OstrelServer::ContactImage> image = ServerBox().Item(lId)->contact.image;
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->content, photo);
    EXPECT_EQ(image->contentType.substr(0, 9), "image/png");
    EXPECT_EQ(Push().Total(), 0u);

    // An edit made after the push replaces the server's attributes.
    SPropValue company{};
    company.ulPropTag = PR_COMPANY_NAME_W;
    company.Value.lpszW = const_cast<wchar_t*>(L"Quill & Daughters");
    ASSERT_EQ(HrSetOneProp(pContact.Get(), &company), S_OK);
    ASSERT_EQ(pContact->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    report = Push();
    EXPECT_EQ(report.cContacts, 1u);
    EXPECT_EQ(ServerAttr(*ServerBox().Item(lId), "company"), "Quill & Daughters");
    EXPECT_EQ(ServerContacts().size(), cSeeded + 1);
    EXPECT_EQ(Push().Total(), 0u);
}

TEST_F(StorePushContent, ContactDeletedRightAfterItsCreationGoesFromTheServer) {
    Platform::ComPtr<IMessage> pContact = NewContact(L"Brief", L"Visitor");
    EXPECT_EQ(Push().cContacts, 1u);
    const LONG lId = ServerId(Reopen(pContact.Get()).Get());
    ASSERT_TRUE(ServerBox().Item(lId).has_value());
    LPSPropValue pEid = nullptr;
    ASSERT_EQ(HrGetOneProp(pContact.Get(), PR_ENTRYID, &pEid), S_OK);
    ENTRYLIST list{1, &pEid->Value.bin};
    const HRESULT hr = Folder(FolderId::Contacts)->DeleteMessages(&list, 0, nullptr, 0);
    MAPIFreeBuffer(pEid);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(Push().cDeleted, 1u);
    EXPECT_FALSE(ServerBox().Item(lId).has_value());
}

TEST_F(StorePushContent, ListMembersAddedAndRemovedInTheStoreReachTheServer) {
    Platform::ComPtr<IMessage> pAnn = NewContact(L"Ann", L"Lee");
    LPSPropValue pAnnEid = nullptr;
    ASSERT_EQ(HrGetOneProp(pAnn.Get(), PR_ENTRYID, &pAnnEid), S_OK);
    const std::string annEid(reinterpret_cast<const char*>(pAnnEid->Value.bin.lpb), pAnnEid->Value.bin.cb);
    MAPIFreeBuffer(pAnnEid);

    Ostrel::Mapi::NamedProps* pNamed = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_pMailbox->Store());
    // Members and their one-off forms, pairwise.
    auto setMembers = [&](IMessage* pList, std::vector<std::string> members, std::vector<std::string> oneOffs) {
        std::vector<SBinary> bins[2];
        for (int i = 0; i < 2; ++i)
            for (std::string& bytes : i ? oneOffs : members)
                bins[i].push_back(SBinary{static_cast<ULONG>(bytes.size()), reinterpret_cast<BYTE*>(bytes.data())});
        SPropValue values[2]{};
        values[0].ulPropTag = Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::ADDR_8055, PT_MV_BINARY, pNamed);
        values[1].ulPropTag = Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::ADDR_8054, PT_MV_BINARY, pNamed);
        for (int i = 0; i < 2; ++i)
            values[i].Value.MVbin = SBinaryArray{static_cast<ULONG>(bins[i].size()), bins[i].data()};
        ASSERT_EQ(pList->SetProps(2, values, nullptr), S_OK);
        ASSERT_EQ(pList->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    };
    const std::string oldOneOff = Platform::Mapi::MakeOneOffEntryId(L"old@x.test", L"SMTP", L"old@x.test");
    const std::string newOneOff = Platform::Mapi::MakeOneOffEntryId(L"new@x.test", L"SMTP", L"new@x.test");
    Platform::ComPtr<IMessage> pList;
    ASSERT_EQ(Folder(FolderId::Contacts)->CreateMessage(nullptr, 0, pList.AddressOf()), S_OK);
    SPropValue values[2]{};
    values[0].ulPropTag = PR_MESSAGE_CLASS_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(L"IPM.DistList");
    values[1].ulPropTag = PR_DISPLAY_NAME_W;
    values[1].Value.lpszW = const_cast<wchar_t*>(L"Team");
    ASSERT_EQ(pList->SetProps(2, values, nullptr), S_OK);
    setMembers(pList.Get(), {oldOneOff}, {oldOneOff});
    EXPECT_EQ(Push().cContacts, 2u);
    const LONG lAnn = ServerId(Reopen(pAnn.Get()).Get());
    const LONG lList = ServerId(Reopen(pList.Get()).Get());
    using Members = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ServerBox().Item(lList)->contact.members, (Members{{"I", "old@x.test"}}));

    // Ann (a contact the server knows) and a new address come in, the old address goes.
    pList = Reopen(pList.Get());
    setMembers(pList.Get(), {Ostrel::Mapi::WrapEntryId(Ostrel::Mapi::kWrappedContact, annEid), newOneOff},
               {Platform::Mapi::MakeOneOffEntryId(L"Ann Lee", L"SMTP", L"ann@x.test"), newOneOff});
    const OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cContacts, 1u);
    EXPECT_EQ(report.cFailed, 0u);
    EXPECT_EQ(ServerBox().Item(lList)->contact.members, (Members{{"C", std::to_string(lAnn)}, {"I", "new@x.test"}}));
    EXPECT_EQ(Push().Total(), 0u);
}

TEST_F(StorePushContent, NewAppointmentIsSentOnceAndStamped) {
    m_server.State<OstrelServer::CalendarBook>().Clear();
    Platform::ComPtr<IMessage> pItem;
    ASSERT_EQ(Folder(FolderId::Calendar)->CreateMessage(nullptr, 0, pItem.AddressOf()), S_OK);
    SPropValue values[2]{};
    values[0].ulPropTag = PR_MESSAGE_CLASS_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(L"IPM.Appointment");
    values[1].ulPropTag = PR_SUBJECT_W;
    values[1].Value.lpszW = const_cast<wchar_t*>(L"Planning");
    ASSERT_EQ(pItem->SetProps(2, values, nullptr), S_OK);
    Ostrel::Mapi::Appt appt(pItem.Get(), m_pMailbox->Store());
    const FILETIME ftStart{0x2A4F0000, 0x01DB6F1C};
    const FILETIME ftEnd{0x6F7E0000, 0x01DB6F1C};
    ASSERT_EQ(appt.SetStartTime(&ftStart, nullptr), S_OK);
    ASSERT_EQ(appt.SetEndTime(&ftEnd, nullptr), S_OK);
    ASSERT_EQ(appt.SetDuration(120), S_OK);
    ASSERT_EQ(pItem->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    // The answer is lost; the server files by UID, so the second push replaces the first copy.
    m_server.Faults().Add(Fault::For("SetAppointmentRequest").DropMidBody());
    EXPECT_EQ(Push().cFailed, 1u);
    const OstrelCli::PushReport report = Push();
    EXPECT_EQ(report.cCalendar, 1u);
    const std::vector<int32_t> ids = m_server.State<OstrelServer::CalendarBook>().Ids();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ServerId(Reopen(pItem.Get()).Get()), ids[0]);
    EXPECT_EQ(Push().Total(), 0u);
}

}  // namespace
}  // namespace StorePushTest
