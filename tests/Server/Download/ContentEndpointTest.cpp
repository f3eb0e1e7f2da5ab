// The simulator's single-item downloads (documents, messages and their parts, Briefcase names)
// and the document save that fills the Briefcase, as a client reaches them over HTTP.
#include <gtest/gtest.h>

#include <httplib.h>

#include "ostrel-server/Accounts.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/MimeParts.h"
#include "ostrel-server/Server.h"

using namespace OstrelServer;

namespace {

// A message with a text body, a base64 attachment, and an attached message that holds a
// quoted-printable part: the part numbers are 1, 2, 3, 3.1 and 3.2.
const std::string kMessage =
    "Subject: parts\r\n"
    "Content-Type: multipart/mixed;\r\n boundary=\"outer\"\r\n\r\n"
    "preamble\r\n"
    "--outer\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
    "--outer\r\nContent-Type: image/png; name=\"x.png\"\r\n"
    "Content-Disposition: attachment; filename=\"a \\\"b\\\".png\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nAAEC\r\n/w==\r\n"
    "--outer\r\nContent-Type: message/rfc822\r\n\r\n"
    "Subject: inner\r\nContent-Type: multipart/alternative; boundary=in\r\n\r\n"
    "--in\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nGr=C3=BC=\r\n=C3=9Fe\r\n"
    "--in\r\nContent-Type: text/html\r\n\r\n<p>x</p>\r\n--in--\r\n"
    "--outer--\r\n";

class ContentEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.Start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server.Port());
        Mailbox& mailbox = DefaultMailbox(server);
        MailItem message;
        message.mime = kMessage;
        messageId = mailbox.AddItem(message);
        MailItem doc;
        doc.kind = ItemKind::Document;
        doc.folderId = FolderId::Briefcase;
        doc.name = "me \xC3\xA4.PNG";
        doc.content = std::string("\x89PNG\0\r\n", 7);
        docId = mailbox.AddItem(doc);
    }

    httplib::Result Get(const std::string& target, const std::string& token = std::string()) {
        httplib::Headers headers;
        if (!token.empty())
            headers.emplace("Cookie", "a=b; OS_AUTH_TOKEN=" + token);
        return client->Get(target.c_str(), headers);
    }

    std::string Content(int32_t id, const std::string& part = std::string()) {
        auto r = Get("/service/content/get?id=" + std::to_string(id) + (part.empty() ? "" : "&part=" + part));
        EXPECT_TRUE(r);
        return r && r->status == 200 ? r->body : "<" + std::to_string(r ? r->status : 0) + ">";
    }

    // A SOAP save of upload `aid` as `name`; the reply's body text.
    std::string Save(const std::string& name, const std::string& aid) {
        std::string envelope =
            "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>"
            "<SaveDocumentRequest xmlns=\"urn:ostrelMail\"><doc l=\"16\" name=\"" +
            name + "\" ct=\"image/png\"><upload id=\"" + aid +
            "\"/></doc></SaveDocumentRequest></soap:Body></soap:Envelope>";
        auto r = client->Post("/service/soap/SaveDocumentRequest", envelope, "application/soap+xml");
        EXPECT_TRUE(r);
        return r ? r->body : std::string();
    }

    Server server;
    std::unique_ptr<httplib::Client> client;
    int32_t messageId = 0;
    int32_t docId = 0;
};

}  // namespace

TEST_F(ContentEndpointTest, ItemsAndPartsByIdDecodedWithTheirTypes) {
    EXPECT_EQ(Content(messageId), kMessage);
    EXPECT_EQ(Content(messageId, "1"), "hello");
    EXPECT_EQ(Content(messageId, "2"), std::string("\x00\x01\x02\xff", 4));
    EXPECT_EQ(Content(messageId, "3.1"),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(Content(messageId, "3.2"), "<p>x</p>");
    EXPECT_EQ(Content(docId), std::string("\x89PNG\0\r\n", 7));
    MailItem contact;
    contact.kind = ItemKind::Contact;
    contact.folderId = FolderId::Contacts;
    contact.contact.image = ContactImage{3, 4, "me.gif", "image/gif; name=me.gif", "GIF8"};
    int32_t contactId = DefaultMailbox(server).AddItem(contact);
    EXPECT_EQ(Content(contactId, "3"), "GIF8");
    EXPECT_EQ(Content(contactId, "2"), "<404>");
    EXPECT_EQ(Content(contactId), "<404>");

    auto r = Get("/service/content/get?id=" + std::to_string(messageId) + "&part=2");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/png");
    // The quoted name cannot end the header; the exact name travels percent-encoded (the client
    // library decodes header values, hence the quotes in what it shows of the second one).
    EXPECT_EQ(r->get_header_value("Content-Disposition"),
              "attachment; filename=\"a _b_.png\"; filename*=UTF-8''a \"b\".png");
    r = Get("/service/content/get?id=" + std::to_string(docId));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/png");

    // Unknown items and parts are 404; a malformed id or part number is 400 or 404, never a crash.
    EXPECT_EQ(Content(99999), "<404>");
    for (const char* part : {"4", "1.1", "3.3", "0", "2.", ".2", "-1", "x", "3.1.1.1.1"})
        EXPECT_EQ(Content(messageId, part), "<404>") << part;
    for (const char* id : {"", "abc", "12x", "-5", "99999999999"}) {
        r = Get(std::string("/service/content/get?id=") + id);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << id;
    }
}

TEST_F(ContentEndpointTest, BriefcaseByNameAndTokensOnceAccountsExist) {
    auto r = Get("/home/~/Briefcase/me%20%C3%A4.PNG");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, std::string("\x89PNG\0\r\n", 7));
    r = Get("/home/~/Briefcase/..%2Fme%20%C3%A4.PNG");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);

    AccountBook& book = server.State<AccountBook>();
    book.Add(Account{"ann@ostrel.test", "pw"});
    std::string token = book.IssueToken("ann@ostrel.test");
    for (const char* target : {"/home/~/Briefcase/x.png", "/service/content/get?id=300"}) {
        r = Get(target);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 401) << target;
        r = Get(target, "forged");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 401) << target;
        // The account's own (empty) mailbox: not the default one's items.
        r = Get(target, token);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 404) << target;
    }
}

TEST_F(ContentEndpointTest, SavedDocumentsAreRefusedByNameAndKeepTheirUpload) {
    UploadStore& uploads = server.State<UploadStore>();
    std::string aid = uploads.Put("new bytes", "image/png", "x.png");
    // Same name in another case: the fault names the document and the upload stays.
    std::string reply = Save("ME \xC3\xA4.PNG", aid);
    EXPECT_NE(reply.find("mail.ALREADY_EXISTS"), std::string::npos) << reply;
    EXPECT_NE(reply.find("t=\"IID\">" + std::string(Mailboxes::kDefaultAccountId) + ":" + std::to_string(docId) + "<"),
              std::string::npos)
        << reply;

    // A name with markup is stored as it is and echoed escaped.
    reply = Save("a&amp;&lt;b&gt;.png", aid);
    EXPECT_NE(reply.find("name=\"a&amp;&lt;b&gt;.png\""), std::string::npos) << reply;
    auto r = Get("/home/~/Briefcase/a%26%3Cb%3E.png");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "new bytes");
    // The upload was used.
    EXPECT_NE(Save("other.png", aid).find("mail.NO_SUCH_UPLOAD"), std::string::npos);
    EXPECT_NE(Save("", uploads.Put("x")).find("service.INVALID_REQUEST"), std::string::npos);
}

TEST(MimeParts, MalformedMessagesGiveNothingOrWhatIsThere) {
    // Unterminated multipart, boundary never seen, single part, deep nesting.
    EXPECT_FALSE(FindMimePart("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nopen", "1"));
    EXPECT_FALSE(FindMimePart("Content-Type: multipart/mixed; boundary=b\r\n\r\nno parts", "1"));
    auto part = FindMimePart("Subject: x\n\nbody\n", "1");
    ASSERT_TRUE(part);
    EXPECT_EQ(part->content, "body\n");
    EXPECT_EQ(part->contentType, "text/plain");
    std::string nested = "x";
    std::string path = "1";
    for (int i = 0; i < 40; ++i) {
        nested = "Content-Type: message/rfc822\r\n\r\n" + nested;
        path += ".1";
    }
    EXPECT_FALSE(FindMimePart(nested, path));
}
