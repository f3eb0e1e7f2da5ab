// Contacts read from real replies of the simulator's GetContacts, SyncGal and SearchGal.
#include "Ostrel/Model/Contact/ContactTestSupport.h"

#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Platform/Base/Utf.h"
#include "ostrel-server/Contacts.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/Soap.h"

#include <httplib.h>

#include <cctype>

#include <gtest/gtest.h>

using namespace ContactTest;
using Ostrel::Mail::Contact;
using Ostrel::Mail::ContactReader;

namespace {

class ContactServer : public ::testing::Test {
protected:
    void SetUp() override { m_server.Start(); }

    OstrelServer::ContactBook& Book() { return m_server.State<OstrelServer::ContactBook>(); }

    // Posts one request body and returns the reply as it came.
    std::string Post(const std::string& callName, const std::string& bodyXml) {
        httplib::Client client("127.0.0.1", m_server.Port());
        client.set_read_timeout(60, 0);
        auto res = client.Post(("/service/soap/" + callName).c_str(), OstrelServer::SoapEnvelope(bodyXml),
                               "application/soap+xml; charset=utf-8");
        EXPECT_TRUE(res);
        return res ? res->body : std::string();
    }

    OstrelServer::Server m_server;
};

OstrelServer::MailboxContact Person(const std::string& first, const std::string& last) {
    std::string lower = first;
    for (char& ch : lower)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    OstrelServer::MailboxContact c;
    c.modified = 1711111111;
    c.attrs = {{"firstName", first}, {"lastName", last}, {"email", lower + "@x.test"}};
    return c;
}

}  // namespace

TEST_F(ContactServer, AContactFolderReadsTheSameOnBothPaths) {
    Book().AddFolder(30, "Team");
    auto ann = Person("Ann", "Lee");
    ann.folderId = 30;
    ann.flags = "a";
    ann.tagIds = "3,17";
    ann.tagNames = "Work,Home";
    ann.attrs.emplace_back("email", "ann.lee@home.test");
    ann.attrs.emplace_back("fileAs", "4");
    ann.attrs.emplace_back("company", "Acme & Sons");
    ann.image = OstrelServer::ContactImage{2, 5120, "me.png", "image/png; name=me.png", {}};
    int32_t annId = Book().AddContact(ann);

    OstrelServer::MailboxContact group;
    group.folderId = 30;
    group.attrs = {{"type", "group"}, {"nickname", "Everyone"}, {"fileAs", "8:Everyone"}};
    for (int i = 0; i < 150; ++i)
        group.members.emplace_back(i % 3 == 0 ? "C" : i % 3 == 1 ? "G" : "I", "member" + std::to_string(i));
    int32_t groupId = Book().AddContact(group);
    Book().AddFolder(20, "Suppliers");
    auto other = Person("Ben", "Otto");
    other.folderId = 20;
    Book().AddContact(other);

    std::string reply =
        Post("GetContactsRequest", "<GetContactsRequest xmlns=\"urn:ostrelMail\" sync=\"1\" l=\"30\"/>");
    auto dom = ReadDom(reply);
    auto sax = ReadSax(reply);
    ASSERT_EQ(dom->size(), 2u);
    ASSERT_EQ(sax->size(), 2u);
    ExpectSameContact(*dom->front(), *sax->front());
    ExpectSameContact(*dom->back(), *sax->back());

    const Contact& a = *dom->front();
    EXPECT_EQ(a.GetContId(), annId);
    EXPECT_EQ(a.ParentFolderId(), 30);
    EXPECT_TRUE(a.HasAttachments());
    EXPECT_EQ(std::vector<int32_t>(a.TagIds()), (std::vector<int32_t>{3, 17}));
    EXPECT_STREQ(a.Attributes().get(Contact::A_outlookFileAs), L"Lee, Ann\nAcme & Sons");
    EXPECT_STREQ(a.Attributes().get(Contact::A_fullName), L"Ann Lee");
    auto [begin, end] = a.Attributes().equal_range(Contact::A_email);
    ASSERT_EQ(std::distance(begin, end), 2);
    EXPECT_EQ(std::next(begin)->second, L"ann.lee@home.test");
    EXPECT_EQ(a.GetImageAttachmentInfo().GetPartIndex(), 1);
    EXPECT_STREQ(a.GetImageAttachmentInfo().GetContentType(), L"image/png");

    const Contact& g = *dom->back();
    EXPECT_EQ(g.GetContId(), groupId);
    EXPECT_EQ(g.GroupMembers().size(), 150u);
    EXPECT_STREQ(g.Attributes().get(Contact::A_outlookFileAs), L"Everyone");

    // With a member limit the server cuts the list and says so.
    std::string limited = Post("GetContactsRequest",
                               "<GetContactsRequest xmlns=\"urn:ostrelMail\" sync=\"1\" returnHiddenAttrs=\"1\" "
                               "maxMembers=\"100\"><cn id=\"" +
                                   std::to_string(groupId) + "\"/></GetContactsRequest>");
    auto cut = ReadSax(limited);
    ASSERT_EQ(cut->size(), 1u);
    EXPECT_TRUE(cut->front()->TooManyMembers());
    EXPECT_EQ(cut->front()->GroupMembers().size(), 100u);

    // The simulator's own Contacts folder reads alike too.
    std::string own = Post("GetContactsRequest", "<GetContactsRequest xmlns=\"urn:ostrelMail\" l=\"7\"/>");
    auto ownDom = ReadDom(own);
    auto ownSax = ReadSax(own);
    ASSERT_EQ(ownDom->size(), 3u);
    auto it = ownSax->begin();
    for (const Contact* c : *ownDom)
        ExpectSameContact(*c, **it++);
}

TEST_F(ContactServer, GalEntriesLookedUpByIdCarryTheirDistinguishedName) {
    Book().SetGalSize(50);
    OstrelServer::GalEntry entry = OstrelServer::ContactBook::MakeGalEntry(7);
    int32_t annId = Book().AddContact(Person("Ann", "Lee"));
    std::string body =
        "<GetContactsRequest xmlns=\"urn:ostrelMail\" sync=\"1\" returnHiddenAttrs=\"1\" "
        "maxMembers=\"100\"><a n=\"email\"/><cn id=\"" +
        std::to_string(annId) + "\"/><cn id=\"" + entry.id + "\"/></GetContactsRequest>";
    std::string reply = Post("GetContactsRequest", body);
    auto sax = ReadSax(reply, true, 1);
    ASSERT_EQ(sax->size(), 2u);
    const Contact& gal = *sax->back();
    std::wstring dn = Platform::FromUtf8(entry.ref);
    EXPECT_EQ(gal.GalRef(), dn);
    EXPECT_EQ(gal.GetUniqueId(), dn);
    // Only the asked-for attribute came (besides the reference and the derived file-as).
    EXPECT_STREQ(sax->front()->Attributes().get(Contact::A_email), L"ann@x.test");
    EXPECT_EQ(sax->front()->Attributes().get(Contact::A_firstName), nullptr);

    // An unknown id: the reply is a fault, and the reader says which.
    std::string fault = Post("GetContactsRequest",
                             "<GetContactsRequest xmlns=\"urn:ostrelMail\"><cn id=\"99999\"/>"
                             "</GetContactsRequest>");
    ContactReader reader(true, 0, [](std::unique_ptr<Contact>) { return S_OK; });
    EXPECT_EQ(reader.Read(fault), E_FAIL);
    EXPECT_EQ(reader.GetFaultCode(), L"mail.NO_SUCH_CONTACT");
}

TEST_F(ContactServer, SyncGalOfAConfiguredSizeWithTokens) {
    Book().SetGalSize(3000);
    std::string reply = Post("SyncGalRequest", "<SyncGalRequest xmlns=\"urn:ostrelAccount\"/>");
    std::vector<std::unique_ptr<Contact>> contacts;
    ContactReader reader(false, 0, [&contacts](std::unique_ptr<Contact> p) {
        contacts.push_back(std::move(p));
        return S_OK;
    });
    ASSERT_EQ(reader.Read(reply), S_OK);
    ASSERT_EQ(contacts.size(), 3000u);
    std::wstring token = reader.ResponseAttributes().at(L"token");

    auto dom = ReadDom(reply, false);
    ASSERT_EQ(dom->size(), 3000u);
    size_t i = 0;
    for (const Contact* c : *dom)
        ExpectSameContact(*c, *contacts[i++]);

    OstrelServer::GalEntry first = OstrelServer::ContactBook::MakeGalEntry(0);
    const Contact& c0 = *contacts[0];
    std::wstring id = Platform::FromUtf8(first.id);
    EXPECT_EQ(c0.GetContId(),
              (id[0] >= L'a' ? Contact::HashId(id) : std::stoi(id.substr(0, id.find_first_not_of(L"0123456789")))));
    EXPECT_EQ(c0.GalRef(), Platform::FromUtf8(first.ref));
    auto [begin, end] = c0.Attributes().equal_range(Contact::A_objectClass);
    ASSERT_EQ(std::distance(begin, end), 2);
    EXPECT_EQ(begin->second, L"inetOrgPerson");
    EXPECT_EQ(std::next(begin)->second, L"ostrelAccount");
    EXPECT_STREQ(contacts[24]->Attributes().get(Contact::A_resType), L"Location");

    // Nothing changed since the token; then one entry changes.
    std::string same = Post("SyncGalRequest",
                            "<SyncGalRequest xmlns=\"urn:ostrelAccount\" token=\"" + Platform::ToUtf8(token) + "\"/>");
    ASSERT_EQ(reader.Read(same), S_OK);
    EXPECT_EQ(reader.GetCount(), 0u);
    Book().TouchGalEntry(5);
    contacts.clear();
    std::string changed = Post("SyncGalRequest", "<SyncGalRequest xmlns=\"urn:ostrelAccount\" token=\"" +
                                                     Platform::ToUtf8(token) + "\" idOnly=\"true\"/>");
    ASSERT_EQ(reader.Read(changed), S_OK);
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0]->Attributes().size(), 1u);  // ids only: the derived file-as alone
    EXPECT_NE(reader.ResponseAttributes().at(L"token"), token);

    std::string bad = Post("SyncGalRequest", "<SyncGalRequest xmlns=\"urn:ostrelAccount\" token=\"x\"/>");
    EXPECT_EQ(reader.Read(bad), E_FAIL);
    EXPECT_EQ(reader.GetFaultCode(), L"service.INVALID_REQUEST");
}

TEST_F(ContactServer, SearchGalFindsByNameWithALimit) {
    Book().SetGalSize(500);
    std::string reply = Post("SearchGalRequest",
                             "<SearchGalRequest xmlns=\"urn:ostrelAccount\"><name>olga</name>"
                             "</SearchGalRequest>");
    std::unique_ptr<Contact::List> found;
    ASSERT_EQ(ContactReader::ReadList(reply, false, 0, found), S_OK);
    ASSERT_FALSE(found->empty());
    for (const Contact* c : *found)
        EXPECT_STREQ(c->Attributes().get(Contact::A_firstName), L"Olga");

    std::string limited = Post("SearchGalRequest",
                               "<SearchGalRequest xmlns=\"urn:ostrelAccount\" limit=\"3\">"
                               "<name>room</name></SearchGalRequest>");
    ContactReader reader(false, 0, [](std::unique_ptr<Contact>) { return S_OK; });
    ASSERT_EQ(reader.Read(limited), S_OK);
    EXPECT_EQ(reader.GetCount(), 3u);
    EXPECT_EQ(reader.ResponseAttributes().at(L"more"), L"1");
}

TEST_F(ContactServer, AContactChangedOnTheServerIsListedChangedAndNewer) {
    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(m_server);
    OstrelServer::MailItem item;
    item.kind = OstrelServer::ItemKind::Contact;
    item.folderId = OstrelServer::FolderId::Contacts;
    item.contact = Person("Eve", "Old");
    int32_t id = mailbox.AddItem(item);
    uint64_t before = mailbox.Item(id)->rev;

    OstrelServer::MailboxContact changed = Person("Eve", "New & <Improved>");
    mailbox.ChangeContact(id, changed);
    EXPECT_GT(mailbox.Item(id)->rev, before);
    std::string reply = Post("GetContactsRequest", "<GetContactsRequest xmlns=\"urn:ostrelMail\" sync=\"1\"><cn id=\"" +
                                                       std::to_string(id) + "\"/></GetContactsRequest>");
    EXPECT_NE(reply.find("New &amp; &lt;Improved&gt;"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("Old"), std::string::npos);
    EXPECT_THROW(mailbox.ChangeContact(999999, changed), OstrelServer::MailboxError);
}
