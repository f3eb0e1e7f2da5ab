// The data set end to end over HTTP: contacts held by the simulator are listed with
// GetContactsRequest, written into the store with their photos fetched from the server, read back
// and created again with CreateContactRequest (photos uploaded first, categories as tags); the
// simulator then holds the same attribute sets,
// except where tests/data/contacts-convert/README.md says otherwise. Changes go both ways too:
// one made on the server reaches the store contact on the next listing, one made in the store
// reaches the server through ModifyContactRequest.
#include <functional>

#include "ContactTestSupport.h"
#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/Convert/Contact/M2LContactConverter.h"
#include "Ostrel/Rpc/Requests/ContactImage.h"
#include "Ostrel/Rpc/Requests/CreateContact.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Requests/ModifyContact.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Ostrel/Rpc/Transport/Upload.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Support/SessionDouble.h"
#include "Util/MemoryStream.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"

namespace ContactConvertTest {
namespace {

using Ostrel::Mail::Contact;

std::string U(const std::wstring& ws) {
    return Platform::ToUtf8(ws);
}

Attrs FromServer(const std::vector<std::pair<std::string, std::string>>& attrs) {
    Attrs out;
    for (const auto& [name, value] : attrs)
        out.emplace_back(Platform::FromUtf8(name), Platform::FromUtf8(value));
    return Sorted(std::move(out));
}

Members FromServer(const std::vector<std::pair<std::string, std::string>>& members, int) {
    Members out;
    for (const auto& [type, value] : members)
        out.emplace_back(static_cast<wchar_t>(type[0]), Platform::FromUtf8(value));
    return out;
}

class ContactRoundTrip : public ContactStoreFixture {
protected:
    void SetUp() override {
        ContactStoreFixture::SetUp();
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
        m_session = std::make_shared<TestSupport::SessionDouble>();
        Ostrel::Rpc::SetSessionFinder([s = m_session](const std::wstring&) { return s.get(); });
        m_server.Start();
        m_session->port = static_cast<DWORD>(m_server.Port());
        Ostrel::Rpc::ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
        m_oc = std::make_unique<Ostrel::Rpc::OstrelConnection>(L"contacts", L"127.0.0.1", m_session->port, 0,
                                                               Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"profile");
    }
    void TearDown() override {
        m_oc.reset();
        m_server.Stop();
        Ostrel::Rpc::SetSessionFinder(nullptr);
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
        ContactStoreFixture::TearDown();
    }

    OstrelServer::Mailbox& Mailbox() { return OstrelServer::DefaultMailbox(m_server); }

    std::unique_ptr<Ostrel::Rpc::Response> Call(Ostrel::Rpc::Request& request) {
        Ostrel::Rpc::Response* p = nullptr;
        m_oc->SendRequestSynchronousOC(&request, p, __func__, __LINE__);
        return std::unique_ptr<Ostrel::Rpc::Response>(p);
    }

    // The server's contacts (mail namespace) or its GAL (account namespace), as the client reads them.
    std::unique_ptr<Contact::List> ListContacts() {
        Ostrel::Rpc::GetContactsRequest request(static_cast<const LONG*>(nullptr), 0, nullptr, 0, 0);
        auto response = Call(request);
        EXPECT_TRUE(response);
        return response ? Contact::CreateContactList(response->GetDocument(), true) : std::make_unique<Contact::List>();
    }
    // The GAL: the ids of a synchronisation, then the entries by id.
    std::unique_ptr<Contact::List> SyncGal() {
        Ostrel::Rpc::SyncGalRequest sync(nullptr);
        auto response = Call(sync);
        EXPECT_TRUE(response);
        if (!response)
            return std::make_unique<Contact::List>();
        // The ids as sent: the contact model keeps only some textual ids as an attribute.
        std::vector<std::wstring> ids;
        Platform::ComPtr<IXMLDOMNodeList> nodes;
        long n = 0;
        EXPECT_EQ(response->GetDocument()->selectNodes(L"//account:cn", nodes.AddressOf()), S_OK);
        nodes->get_length(&n);
        for (long i = 0; i < n; ++i) {
            Platform::ComPtr<IXMLDOMNode> node;
            Platform::ComPtr<IXMLDOMElement> element;
            std::wstring id;
            if (nodes->get_item(i, node.AddressOf()) == S_OK && node.As(&element) == S_OK &&
                element->getAttribute(L"id", id) == S_OK)
                ids.push_back(id);
        }
        std::vector<const wchar_t*> pIds;
        for (const std::wstring& id : ids)
            pIds.push_back(id.c_str());
        Ostrel::Rpc::GetContactsRequest get(pIds.data(), static_cast<unsigned>(pIds.size()), nullptr, 0, 0, 1);
        response = Call(get);
        EXPECT_TRUE(response);
        return response ? Contact::CreateContactList(response->GetDocument(), true) : std::make_unique<Contact::List>();
    }

    OstrelServer::MailItem ServerItem(const ContactCase& c) {
        OstrelServer::MailItem item;
        for (const std::wstring& name : TagNames(c)) {
            auto tag = Mailbox().TagByName(U(name));
            item.tags.push_back(tag ? tag->id : Mailbox().AddTag(U(name)));
        }
        item.id = c.lId;
        item.kind = OstrelServer::ItemKind::Contact;
        item.folderId = OstrelServer::FolderId::Contacts;
        for (const auto& [name, value] : c.attrs)
            item.contact.attrs.emplace_back(U(name), U(value));
        for (const auto& [type, value] : c.members)
            item.contact.members.emplace_back(std::string(1, static_cast<char>(type)), U(value));
        if (!c.sPhoto.empty())
            item.contact.image = OstrelServer::ContactImage{2, static_cast<int64_t>(c.sPhoto.size()), c.sPhotoFile,
                                                            c.sPhotoType, c.sPhoto};
        return item;
    }

    static Ostrel::Mail::TagNameList TagNames(const ContactCase& c) {
        Ostrel::Mail::TagNameList names;
        for (size_t pos = 0; pos < c.sTags.size();) {
            size_t comma = std::min(c.sTags.find(',', pos), c.sTags.size());
            names.push_back(Platform::FromUtf8(c.sTags.substr(pos, comma - pos)));
            pos = comma + 1;
        }
        return names;
    }
    std::vector<std::wstring> ServerTagNames(const OstrelServer::MailItem& item) {
        std::vector<std::wstring> names;
        for (int32_t id : item.tags)
            names.push_back(Platform::FromUtf8(Mailbox().Tag(id)->name));
        return names;
    }

    // Uploads the photo and sends the contact with its tags; the new id, 0 on failure.
    LONG Create(Contact& contact, const std::string& sPhoto, const std::wstring& wsPhotoName, LONG lFolderId) {
        std::unique_ptr<Ostrel::Rpc::AttachmentDetails> pImage;
        if (!sPhoto.empty()) {
            Ostrel::Util::MemoryStream stream(sPhoto);
            std::wstring wsId;
            EXPECT_TRUE(Ostrel::Rpc::DoPutSynchronousOC(*m_oc, stream.GetStream(), sPhoto.size(),
                                                        L"/service/upload?fmt=raw", wsId, nullptr, __func__, __LINE__));
            pImage = std::make_unique<Ostrel::Rpc::AttachmentDetails>();
            pImage->SetUploadToken(wsId.c_str());
            pImage->SetFileName(U(wsPhotoName).c_str());
            pImage->SetContentType("image/jpeg");
        }
        Ostrel::Rpc::CreateContactRequest request(lFolderId, contact.Attributes(), contact.GroupMembers(), pImage.get(),
                                                  {}, contact.TagNames(), 0);
        auto response = Call(request);
        auto* created = dynamic_cast<Ostrel::Rpc::CreateContactResponse*>(response.get());
        EXPECT_NE(created, nullptr);
        return created ? created->Id() : 0;
    }

    std::shared_ptr<TestSupport::SessionDouble> m_session;
    OstrelServer::Server m_server;
    std::unique_ptr<Ostrel::Rpc::OstrelConnection> m_oc;
};

TEST_F(ContactRoundTrip, TheDataSetComesBackFromTheStoreAsTheServerHeldIt) {
    std::vector<ContactCase> cases = LoadCases();
    std::map<int32_t, const ContactCase*> byId;
    for (const ContactCase& c : cases) {
        Mailbox().AddItem(ServerItem(c));
        byId[c.lId] = &c;
    }

    // Server to store: the GAL first, then the contacts, groups last.
    Ostrel::Mapi::ContactStoreWriter galWriter(m_store.Get(), m_gal.Get(), m_items.get(), m_galMapper.get(), true);
    std::unique_ptr<Contact::List> gal = SyncGal();
    ASSERT_GT(gal->size(), 4u);
    for (Contact* pEntry : *gal)
        ASSERT_EQ(galWriter.Put(*pEntry), S_OK) << U(pEntry->GalRef());
    for (const std::wstring& ref : GalRefs())
        ASSERT_TRUE(m_galMapper->Contains(ref)) << U(ref);
    Ostrel::Mapi::ContactStoreWriter writer(m_store.Get(), m_contacts.Get(), m_items.get(), m_galMapper.get(), false);
    writer.SetConnection(m_oc.get());
    std::unique_ptr<Contact::List> listed = ListContacts();
    std::map<int32_t, std::string> entryIds;
    for (int pass = 0; pass < 2; ++pass) {
        for (Contact* pContact : *listed) {
            auto it = byId.find(pContact->GetContId());
            if (it == byId.end() || it->second->IsGroup() != (pass == 1))
                continue;
            ASSERT_EQ(writer.Put(*pContact, nullptr, &entryIds[pContact->GetContId()]), S_OK);
        }
    }
    ASSERT_EQ(entryIds.size(), cases.size());

    // Store to server, into a folder of its own.
    OstrelServer::MailFolder folder;
    folder.name = "Round trip";
    folder.view = "contact";
    int32_t folderId = Mailbox().AddFolder(folder);
    for (const auto& [id, sEntryId] : entryIds) {
        const ContactCase& c = *byId[id];
        SCOPED_TRACE(c.sName);
        Platform::ComPtr<IMessage> msg = Open(sEntryId);
        Ostrel::Mapi::M2LContactConverter back(msg.Get(), m_store.Get());
        std::unique_ptr<Contact> contact = back.Convert();
        ASSERT_TRUE(contact);
        LONG lNewId = Create(*contact, back.Photo(), back.PhotoFileName(), folderId);
        ASSERT_GT(lNewId, 0);
        std::optional<OstrelServer::MailItem> item = Mailbox().Item(lNewId);
        ASSERT_TRUE(item);
        EXPECT_EQ(FromServer(item->contact.attrs), ExpectedBack(c));
        EXPECT_EQ(ServerTagNames(*item), TagNames(c));
        bool bDlist =
            std::find_if(c.attrs.begin(), c.attrs.end(), [](auto& a) { return a.first == L"dlist"; }) != c.attrs.end();
        if (!bDlist) {
            EXPECT_EQ(FromServer(item->contact.members, 0), c.members);
        }
        EXPECT_EQ(item->contact.image.has_value(), !c.sPhoto.empty());
        if (item->contact.image) {
            EXPECT_EQ(item->contact.image->content, c.sPhoto);
        }
    }
}

TEST_F(ContactRoundTrip, ChangesOnEitherSideReachTheOther) {
    ContactCase c;
    for (const ContactCase& each : LoadCases())
        if (each.sName == "01-every-field")
            c = each;
    ASSERT_EQ(c.lId, 301);
    Mailbox().AddItem(ServerItem(c));
    Ostrel::Mapi::ContactStoreWriter writer(m_store.Get(), m_contacts.Get(), m_items.get(), m_galMapper.get(), false);
    auto put = [&]() {
        std::string sEntryId;
        std::unique_ptr<Contact::List> listed = ListContacts();
        for (Contact* pContact : *listed) {
            if (pContact->GetContId() == c.lId) {
                EXPECT_EQ(writer.Put(*pContact, nullptr, &sEntryId), S_OK);
            }
        }
        return sEntryId;
    };
    std::string first = put();
    ASSERT_FALSE(first.empty());

    // On the server: a new title, the pager and the home address gone.
    OstrelServer::MailboxContact changed = Mailbox().Item(c.lId)->contact;
    std::erase_if(changed.attrs, [](const auto& a) { return a.first == "pager" || a.first.rfind("home", 0) == 0; });
    for (auto& [name, value] : changed.attrs)
        if (name == "jobTitle")
            value = "Director";
    Mailbox().ChangeContact(c.lId, changed);
    EXPECT_EQ(put(), first);  // the same store contact
    Platform::ComPtr<IMessage> msg = Open(first);
    Ostrel::Mapi::M2LContactConverter back(msg.Get(), m_store.Get());
    std::unique_ptr<Contact> contact = back.Convert();
    EXPECT_STREQ(contact->Attributes().get(L"jobTitle"), L"Director");
    EXPECT_EQ(contact->Attributes().get(L"pager"), nullptr);
    EXPECT_EQ(contact->Attributes().get(L"homeStreet"), nullptr);
    EXPECT_EQ(contact->Attributes().get(L"homePhone"), nullptr);

    // In the store: a new mobile number, sent as the whole set.
    SPropValue mobile{};
    mobile.ulPropTag = PROP_TAG(PT_UNICODE, 0x3A1C);
    mobile.Value.lpszW = const_cast<wchar_t*>(L"+49 170 1234567");
    ASSERT_EQ(msg->SetProps(1, &mobile, nullptr), S_OK);
    ASSERT_EQ(msg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    contact = Ostrel::Mapi::M2LContactConverter(msg.Get(), m_store.Get()).Convert();
    Ostrel::Rpc::ModifyContactRequest request(1, 0, c.lId, contact->Attributes(), contact->GroupMembers(), nullptr, {});
    ASSERT_TRUE(Call(request));
    Attrs server = FromServer(Mailbox().Item(c.lId)->contact.attrs);
    EXPECT_EQ(server, Sorted(contact->Attributes()));
    EXPECT_NE(std::find(server.begin(), server.end(),
                        std::pair<std::wstring, std::wstring>(L"mobilePhone", L"+49 170 1234567")),
              server.end());
}

// A photo the server announces but cannot deliver as announced is left out: the contact's other
// changes are written and the photo already in the store stays.
TEST_F(ContactRoundTrip, PhotosThatCannotBeFetchedLeaveTheStorePhotoAlone) {
    ContactCase c;
    for (const ContactCase& each : LoadCases())
        if (each.sName == "08-photo")
            c = each;
    ASSERT_FALSE(c.sPhoto.empty());
    Mailbox().AddItem(ServerItem(c));
    Ostrel::Mapi::ContactStoreWriter writer(m_store.Get(), m_contacts.Get(), m_items.get(), m_galMapper.get(), false);
    writer.SetConnection(m_oc.get());
    auto put = [&]() {
        std::string sEntryId;
        std::unique_ptr<Contact::List> listed = ListContacts();
        for (Contact* pContact : *listed)
            if (pContact->GetContId() == c.lId) {
                EXPECT_EQ(writer.Put(*pContact, nullptr, &sEntryId), S_OK);
            }
        return sEntryId;
    };
    auto storeContact = [&](const std::string& sEntryId, std::string& sPhoto) {
        Platform::ComPtr<IMessage> msg = Open(sEntryId);
        Ostrel::Mapi::M2LContactConverter back(msg.Get(), m_store.Get());
        std::unique_ptr<Contact> contact = back.Convert();
        sPhoto = back.Photo();
        return contact;
    };
    std::string sEntryId = put();
    std::string sPhoto;
    storeContact(sEntryId, sPhoto);
    ASSERT_EQ(sPhoto, c.sPhoto);

    // Each change on the server comes with an image that cannot be taken: other bytes than
    // announced, a part that is not there, a size beyond the limit.
    std::vector<std::function<void(OstrelServer::ContactImage&)>> spoilers = {
        [](OstrelServer::ContactImage& image) { image.content += "trailing"; },
        [](OstrelServer::ContactImage& image) { image.content.resize(image.content.size() / 2); },
        [](OstrelServer::ContactImage& image) { image.part = 7; },
        [](OstrelServer::ContactImage& image) {
            image.content.assign(Ostrel::Rpc::kMaxContactImageSize + 1, '\xFF');
            image.size = static_cast<int64_t>(image.content.size());
        },
    };
    int n = 0;
    for (auto& spoil : spoilers) {
        SCOPED_TRACE(n);
        OstrelServer::MailboxContact changed = Mailbox().Item(c.lId)->contact;
        ASSERT_TRUE(changed.image);
        spoil(*changed.image);
        std::wstring wsTitle = L"Title " + std::to_wstring(++n);
        bool bTitle = false;
        for (auto& [name, value] : changed.attrs)
            if (name == "jobTitle")
                bTitle = true, value = U(wsTitle);
        if (!bTitle)
            changed.attrs.emplace_back("jobTitle", U(wsTitle));
        Mailbox().ChangeContact(c.lId, changed);
        ASSERT_EQ(put(), sEntryId);
        std::unique_ptr<Contact> contact = storeContact(sEntryId, sPhoto);
        ASSERT_TRUE(contact);
        EXPECT_STREQ(contact->Attributes().get(L"jobTitle"), wsTitle.c_str());
        EXPECT_EQ(sPhoto, c.sPhoto);
    }
}

}  // namespace
}  // namespace ContactConvertTest
