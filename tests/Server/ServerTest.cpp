#include "Support/Wait.h"
#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace OstrelServer;

namespace {

std::string Envelope(const std::string& body, const std::string& header = std::string()) {
    return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>" + header +
           "</soap:Header><soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

const std::string kNoOp = Envelope("<NoOpRequest xmlns=\"urn:ostrelMail\"/>");

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.Start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server.Port());
        client->set_keep_alive(false);
    }
    void TearDown() override { client.reset(); }

    httplib::Result Post(const std::string& path, const std::string& body) {
        return client->Post(path.c_str(), body, "application/soap+xml; charset=utf-8");
    }

    Server server;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(ServerTest, DispatchesByTheFirstBodyElementNotThePath) {
    auto r = Post("/service/soap/SomethingElse", kNoOp);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("<NoOpResponse xmlns=\"urn:ostrelMail\"/>"), std::string::npos);
    EXPECT_EQ(server.Requests().at(0).callName, "NoOpRequest");

    r = Post("/service/soap/", Envelope("<NoSuchRequest xmlns=\"urn:ostrelMail\"/>"));
    EXPECT_EQ(r->status, 500);
    auto doc = SoapDocument::Parse(r->body);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->Text("/soap:Envelope/soap:Body/soap:Fault/soap:Detail/l:Error/l:Code"), "service.UNKNOWN_DOCUMENT");
}

TEST_F(ServerTest, HostileOrBrokenRequestsGetAParseFault) {
    for (const std::string& body : {std::string("not xml at all"), std::string("<a><b></a>"),
                                    "<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>" +
                                        Envelope("<NoOpRequest xmlns=\"urn:ostrelMail\">&e;</NoOpRequest>"),
                                    std::string("<Envelope/>")}) {
        auto r = Post("/service/soap/NoOpRequest", body);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 500) << body;
        EXPECT_NE(r->body.find("service.PARSE_ERROR"), std::string::npos) << body;
        EXPECT_EQ(r->body.find("root:"), std::string::npos);
    }
}

TEST_F(ServerTest, FaultsApplyToTheirMatchAndRunOut) {
    server.Faults().Add(
        Fault::For("NoOpRequest", 2).SoapFault("mail.ALREADY_EXISTS", "exists", "<a n=\"id\" t=\"IID\">12:34</a>"));
    server.Faults().Add(Fault::For("/bulk").Status(503, "busy"));
    for (int i = 0; i < 2; ++i) {
        auto r = Post("/service/soap/NoOpRequest", kNoOp);
        EXPECT_EQ(r->status, 500);
        auto doc = SoapDocument::Parse(r->body);
        EXPECT_EQ(doc->Text("//soap:Fault/soap:Detail/l:Error/l:Code"), "mail.ALREADY_EXISTS");
        EXPECT_EQ(doc->Text("//soap:Fault/soap:Reason/soap:Text"), "exists");
        EXPECT_EQ(doc->Text("//l:a[@t='IID']"), "12:34");
    }
    EXPECT_EQ(Post("/service/soap/NoOpRequest", kNoOp)->status, 200);
    EXPECT_EQ(server.Faults().Pending(), 1u);
    auto r = client->Get("/bulk?bytes=10");
    EXPECT_EQ(r->status, 503);
    EXPECT_EQ(r->body, "busy");
    EXPECT_EQ(server.Faults().Pending(), 0u);
}

TEST_F(ServerTest, FaultHeadersPaddingAndChunking) {
    server.Faults().Add(
        Fault::For().DosFilter().Header("X-Ostrel-Fault-Code", "service.FAILURE").Pad(100000).Chunked());
    auto r = Post("/service/soap/NoOpRequest", kNoOp);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("DoSFilter"), "unavailable");
    EXPECT_EQ(r->get_header_value("X-Ostrel-Fault-Code"), "service.FAILURE");
    EXPECT_FALSE(r->has_header("Content-Length"));
    EXPECT_GT(r->body.size(), 100000u);
    // The padded answer is still a SOAP envelope with the real answer in its body.
    auto doc = SoapDocument::Parse(r->body);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->CallName(), "NoOpResponse");
}

TEST_F(ServerTest, DroppedAndDelayedAnswers) {
    server.Faults().Add(Fault::For("NoOpRequest").Pad(100000).DropMidBody());
    auto r = Post("/service/soap/NoOpRequest", kNoOp);
    EXPECT_FALSE(r);  // the connection closed before the announced length

    server.Faults().Add(Fault::For("NoOpRequest").Delay(50));
    auto start = std::chrono::steady_clock::now();
    r = Post("/service/soap/NoOpRequest", kNoOp);
    EXPECT_EQ(r->status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(ServerTest, StoppingCutsDelaysShort) {
    server.Faults().Add(Fault::For("NoOpRequest").Delay(60000));
    std::thread caller([&] { Post("/service/soap/NoOpRequest", kNoOp); });
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return !server.Requests().empty(); }))
        << "the delayed call never reached the server";
    auto start = std::chrono::steady_clock::now();
    server.Stop();
    caller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(ServerTest, ChallengesAndTheProxyRole) {
    server.RequireBasicAuth("u", "p");
    auto r = Post("/service/soap/NoOpRequest", kNoOp);
    EXPECT_EQ(r->status, 401);
    EXPECT_EQ(r->get_header_value("WWW-Authenticate"), "Basic realm=\"Ostrel\"");
    client->set_basic_auth("u", "p");
    EXPECT_EQ(Post("/service/soap/NoOpRequest", kNoOp)->status, 200);
    server.RequireBasicAuth("", "");

    server.RequireProxyAuth("pu", "pp");
    // Requests that do not come through the proxy role are not challenged for it.
    EXPECT_EQ(Post("/service/soap/NoOpRequest", kNoOp)->status, 200);
    httplib::Client remote("mail.example.test", 80);
    remote.set_proxy("127.0.0.1", server.Port());
    r = remote.Get("/bulk?bytes=5");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 407);
    remote.set_proxy_basic_auth("pu", "pp");
    r = remote.Get("/bulk?bytes=5");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body.size(), 5u);
    EXPECT_TRUE(server.Requests().back().viaProxy);
    EXPECT_EQ(server.Requests().back().path, "/bulk");
}

TEST_F(ServerTest, InstanceHandlersAndStateBelongToTheirServer) {
    struct Counter {
        std::mutex mutex;
        int calls = 0;
    };
    server.SetSoapHandler("NoOpRequest", [](const SoapCall& call) {
        auto& counter = call.server.State<Counter>();
        std::lock_guard<std::mutex> lock(counter.mutex);
        ++counter.calls;
        return SoapReply::Body("<NoOpResponse xmlns=\"urn:ostrelMail\" n=\"" + std::to_string(counter.calls) + "\"/>");
    });
    Post("/service/soap/NoOpRequest", kNoOp);
    auto r = Post("/service/soap/NoOpRequest", kNoOp);
    EXPECT_NE(r->body.find("n=\"2\""), std::string::npos);
    EXPECT_EQ(server.State<Counter>().calls, 2);

    // Another server keeps the registered endpoint and its own state.
    Server other;
    other.Start();
    httplib::Client otherClient("127.0.0.1", other.Port());
    r = otherClient.Post("/service/soap/", kNoOp, "application/soap+xml");
    EXPECT_EQ(r->body.find("n=\""), std::string::npos);
    EXPECT_EQ(other.State<Counter>().calls, 0);
}

TEST(ServerTls, ServesWithAGeneratedOrAGivenCertificate) {
    Server generated(ServerOptions{.tls = true, .certificate = std::nullopt, .port = 0});
    generated.Start();
    EXPECT_EQ(generated.BaseUrl().rfind("https://127.0.0.1:", 0), 0u);
    EXPECT_EQ(generated.GetCertificate().Sha1().size(), 20u);
    httplib::SSLClient client("127.0.0.1", generated.Port());
    client.enable_server_certificate_verification(false);
    auto r = client.Get("/bulk?bytes=3");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "ost");

    CertificateOptions options;
    options.commonName = "given.example.test";
    Certificate given = Certificate::Generate(options);
    Server server(ServerOptions{.tls = true, .certificate = given, .port = 0});
    server.Start();
    EXPECT_EQ(server.GetCertificate().Sha1(), given.Sha1());
}

TEST(ServerCertificate, PemFilesRoundTripAndMismatchedKeysAreRefused) {
    char dir[] = "/tmp/ostrel-cert-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string certPath = std::string(dir) + "/c.pem", keyPath = std::string(dir) + "/k.pem";
    Certificate a = Certificate::Generate({});
    a.WritePem(certPath, keyPath);
    Certificate loaded = Certificate::Load(certPath, keyPath);
    EXPECT_EQ(loaded.Sha1(), a.Sha1());
    Certificate b = Certificate::Generate({});
    b.WritePem(std::string(dir) + "/c2.pem", std::string(dir) + "/k2.pem");
    EXPECT_THROW(Certificate::Load(certPath, std::string(dir) + "/k2.pem"), std::runtime_error);
    EXPECT_THROW(Certificate::Load(std::string(dir) + "/missing.pem", keyPath), std::runtime_error);
    std::filesystem::remove_all(dir);
}

}  // namespace
