// The simulator against hostile input: values it echoes must stay text and come back as they were
// sent, replies must parse whatever came in, and a second server must not share a port in use.
#include "Support/Files.h"
#include "Support/TempHome.h"
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Certificate.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/Soap.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <memory>
#include <stdexcept>

using namespace OstrelServer;

namespace {

std::string Envelope(const std::string& body) {
    return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header/><soap:Body>" + body +
           "</soap:Body></soap:Envelope>";
}

TEST(ServerHardening, ABusyPortIsRefused) {
    Server first;
    first.Start();
    ServerOptions options;
    options.port = first.Port();
    Server second(options);
    EXPECT_THROW(second.Start(), std::runtime_error);
}

TEST(ServerHardening, AFolderViewIsOneOfTheKnownViewsAndNeverMarkup) {
    Server server;
    server.Start();
    httplib::Client client("127.0.0.1", server.Port());
    auto post = [&](const std::string& body) {
        return client.Post("/service/soap/", Envelope(body), "application/soap+xml; charset=utf-8");
    };
    const std::string hostile = "message&quot; injected=&quot;1&quot;&gt;&lt;folder id=&quot;666";
    auto created = post("<CreateFolderRequest xmlns=\"urn:ostrelMail\"><folder name=\"Evil\" l=\"1\" view=\"" +
                        hostile + "\"/></CreateFolderRequest>");
    ASSERT_TRUE(created);
    EXPECT_EQ(created->status, 500);
    EXPECT_NE(created->body.find("INVALID_REQUEST"), std::string::npos) << created->body;

    created = post(
        "<CreateFolderRequest xmlns=\"urn:ostrelMail\"><folder name=\"Fine\" l=\"1\" view=\"task\"/>"
        "</CreateFolderRequest>");
    ASSERT_TRUE(created);
    ASSERT_EQ(created->status, 200) << created->body;
    const size_t idAt = created->body.find("id=\"") + 4;
    const std::string id = created->body.substr(idAt, created->body.find('"', idAt) - idAt);
    auto renamed = post("<FolderActionRequest xmlns=\"urn:ostrelMail\"><action op=\"update\" id=\"" + id +
                        "\" view=\"" + hostile + "\"/></FolderActionRequest>");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->status, 500);

    auto sync = post("<SyncRequest xmlns=\"urn:ostrelMail\"/>");
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->body.find("injected"), std::string::npos) << sync->body;
    EXPECT_NE(sync->body.find("view=\"task\""), std::string::npos);
}

// Quotes, markup, the end of a CDATA section and the white space a parser would normalise, as
// sent in an attribute or in text (kSent) and as the server must give it back (kValue).
const std::string kSent = "q&quot;'&lt;&amp;]]&gt;&#9;a&#10;b&#13;&#13;&#10;c";
const std::string kValue = "q\"'<&]]>\ta\nb\r\r\nc";

class EchoTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.Start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server.Port());
    }

    // The reply to `body`, parsed strictly (no recovery), with its HTTP status.
    std::unique_ptr<SoapDocument> Call(const std::string& body, int status = 200) {
        auto r = client->Post("/service/soap/", Envelope(body), "application/soap+xml; charset=utf-8");
        EXPECT_TRUE(r);
        if (!r)
            return nullptr;
        EXPECT_EQ(r->status, status) << r->body;
        std::string error;
        auto doc = SoapDocument::Parse(r->body, &error);
        EXPECT_TRUE(doc) << error << "\n" << r->body;
        return doc;
    }
    std::string Text(const std::unique_ptr<SoapDocument>& doc, const std::string& xpath) {
        return doc ? doc->Text(xpath).value_or("<none>") : "<no reply>";
    }

    Server server;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(EchoTest, EchoedValuesComeBackAsTheyWereSent) {
    auto doc = Call("<CreateFolderRequest xmlns=\"urn:ostrelMail\"><folder name=\"" + kSent +
                    "\" l=\"1\" view=\"message\"><acl><grant gt=\"guest\" d=\"" + kSent + "\" pw=\"" + kSent +
                    "\" perm=\"r\"/></acl></folder></CreateFolderRequest>");
    EXPECT_EQ(Text(doc, "//mail:folder/@name"), kValue);
    doc = Call("<CreateTagRequest xmlns=\"urn:ostrelMail\"><tag name=\"" + kSent + "\"/></CreateTagRequest>");
    EXPECT_EQ(Text(doc, "//mail:tag/@name"), kValue);
    const std::string tagId = Text(doc, "//mail:tag/@id");
    doc = Call("<SyncRequest xmlns=\"urn:ostrelMail\"/>");
    EXPECT_EQ(Text(doc, "//mail:folder[@l='1'][mail:acl]/@name"), kValue);
    EXPECT_EQ(Text(doc, "//mail:grant/@d"), kValue);
    EXPECT_EQ(Text(doc, "//mail:tag[@id='" + tagId + "']/@name"), kValue);

    Call("<SetMailboxMetadataRequest xmlns=\"urn:ostrelMail\"><meta section=\"" + kSent + "\"><a n=\"" + kSent + "\">" +
         kSent + "</a></meta></SetMailboxMetadataRequest>");
    doc = Call("<GetMailboxMetadataRequest xmlns=\"urn:ostrelMail\"><meta section=\"" + kSent +
               "\"/></GetMailboxMetadataRequest>");
    EXPECT_EQ(Text(doc, "//mail:meta/@section"), kValue);
    EXPECT_EQ(Text(doc, "//mail:meta/mail:a/@n"), kValue);
    EXPECT_EQ(Text(doc, "//mail:meta/mail:a"), kValue);

    Call("<ModifyPrefsRequest xmlns=\"urn:ostrelAccount\"><pref name=\"" + kSent + "\">" + kSent +
         "</pref></ModifyPrefsRequest>");
    doc = Call("<GetPrefsRequest xmlns=\"urn:ostrelAccount\"/>");
    EXPECT_EQ(Text(doc, "//account:pref/@name"), kValue);
    EXPECT_EQ(Text(doc, "//account:pref"), kValue);
    doc = Call("<ModifyWhiteBlackListRequest xmlns=\"urn:ostrelAccount\"><whiteList><addr>" + kSent +
               "</addr></whiteList></ModifyWhiteBlackListRequest>");
    EXPECT_EQ(Text(doc, "//account:whiteList/account:addr"), kValue);
    Call("<CreateSignatureRequest xmlns=\"urn:ostrelAccount\"><signature name=\"" + kSent + "\"><content type=\"" +
         kSent + "\">" + kSent + "</content></signature></CreateSignatureRequest>");
    doc = Call("<GetSignaturesRequest xmlns=\"urn:ostrelAccount\"/>");
    EXPECT_EQ(Text(doc, "//account:signature/@name"), kValue);
    EXPECT_EQ(Text(doc, "//account:content/@type"), kValue);
    EXPECT_EQ(Text(doc, "//account:content"), kValue);
    doc = Call("<CreateIdentityRequest xmlns=\"urn:ostrelAccount\"><identity name=\"" + kSent + "\"><a name=\"" +
               kSent + "\">" + kSent + "</a></identity></CreateIdentityRequest>");
    EXPECT_EQ(Text(doc, "//account:identity/@name"), kValue);
    EXPECT_EQ(Text(doc, "//account:identity/account:a"), kValue);

    // Refusals repeat what they refuse.
    doc = Call("<WaitSetRequest xmlns=\"urn:ostrelMail\" waitSet=\"" + kSent + "\"/>", 500);
    EXPECT_NE(Text(doc, "//soap:Text").find(kValue), std::string::npos);
    doc = Call(
        "<FolderActionRequest xmlns=\"urn:ostrelMail\"><action id=\"1\" op=\"" + kSent + "\"/></FolderActionRequest>",
        500);
    EXPECT_NE(Text(doc, "//soap:Text").find(kValue), std::string::npos);
}

TEST_F(EchoTest, GrantsTakeOnlyKnownGranteeTypes) {
    for (const std::string& gt : {std::string("usr&quot; injected=&quot;1"), std::string("nobody")}) {
        auto doc = Call("<CreateFolderRequest xmlns=\"urn:ostrelMail\"><folder name=\"F\" l=\"1\"><acl><grant gt=\"" +
                            gt + "\" perm=\"r\"/></acl></folder></CreateFolderRequest>",
                        500);
        EXPECT_EQ(Text(doc, "//l:Code"), "service.INVALID_REQUEST");
    }
    auto doc = Call("<SyncRequest xmlns=\"urn:ostrelMail\"/>");
    EXPECT_EQ(doc ? doc->Count("//mail:folder[@name='F']") : 1u, 0u);
}

// Text no XML document can hold (control characters, broken UTF-8) still gets a reply that parses.
TEST_F(EchoTest, ARequestXmlCannotHoldGetsAFaultThatParses) {
    for (const std::string& bad : {std::string("\x01\x1b]]>"), std::string("\xff\xfe<"), std::string("\xef\xbf\xbf")}) {
        auto doc =
            Call("<CreateTagRequest xmlns=\"urn:ostrelMail\"><tag name=\"" + bad + "\"/></CreateTagRequest>", 500);
        EXPECT_EQ(Text(doc, "//l:Code"), "service.PARSE_ERROR");
    }
    // Every byte of a sequence that is not a character XML allows is replaced.
    const std::string R = "\xEF\xBF\xBD";
    std::string twelve;
    for (int i = 0; i < 12; ++i)
        twelve += R;
    EXPECT_EQ(XmlEscape("a\x01\x7f\xc0\x80\xed\xa0\x80\xef\xbf\xbe\xf4\x90\x80\x80z"), "a" + R + "\x7f" + twelve + "z");
}

// The redirect after a certificate sign-on names the host asked for, and nothing else.
TEST_F(EchoTest, TheSignOnRedirectRepeatsOnlyAPlainHostName) {
    server.State<AccountBook>().EnableCertAuth("user@ostrel.test", 7443);
    for (const auto& [host, expected] :
         std::vector<std::pair<std::string, std::string>>{{"mail.example.test:8080", "http://mail.example.test:7443/"},
                                                          {"[::1]:80", "http://[::1]:7443/"},
                                                          {"evil.test/steal?x=", "http://127.0.0.1:7443/"},
                                                          {"user:pw@evil.test", "http://127.0.0.1:7443/"}}) {
        auto r = client->Get("/certauth", {{"Host", host}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 302);
        EXPECT_EQ(r->get_header_value("Location"), expected) << host;
    }
}

// Certificate files may be named in a shared folder: a link planted there is not written through,
// and a key file that existed with a looser mode is private before the key goes in.
TEST(ServerHardening, CertificateFilesAreNeverWrittenThroughALink) {
    TestSupport::TempHome home;
    const auto victim = home.Path() / "victim";
    std::ofstream(victim) << "precious";
    const auto link = home.Path() / "key.pem";
    std::filesystem::create_symlink(victim, link);
    const Certificate certificate = Certificate::Generate(CertificateOptions());
    EXPECT_THROW(certificate.WritePem((home.Path() / "cert.pem").string(), link.string()), std::runtime_error);
    EXPECT_EQ(TestSupport::ReadFile(victim), "precious");

    const auto key = home.Path() / "existing-key.pem";
    std::ofstream(key) << "old";
    ASSERT_EQ(chmod(key.c_str(), 0644), 0);
    certificate.WritePem((home.Path() / "cert.pem").string(), key.string());
    struct stat st {};
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(TestSupport::ReadFile(key), certificate.KeyPem());
}

}  // namespace
