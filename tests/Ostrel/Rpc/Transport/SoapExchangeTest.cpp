#include "ConnectionTestSupport.h"

#include "Util/Log/Log.h"

using namespace ConnTest;

namespace {

using OstrelServer::Fault;

TEST_F(ConnectionTest, StampsTokenSessionMarkerAndUserAgent) {
    auto server = StartServer();
    server->SetSoapHandler("SyncRequest", [](const OstrelServer::SoapCall&) {
        return OstrelServer::SoapReply::Body("<SyncResponse xmlns=\"urn:ostrelMail\"/>");
    });
    session->noSession = true;
    auto c = Connect(*server);

    TestRequest sync(L"SyncRequest");
    EXPECT_EQ(Exchange(*c, sync), L"SyncResponse");
    TestRequest noop(L"NoOpRequest");
    EXPECT_EQ(Exchange(*c, noop), L"NoOpResponse");
    TestRequest auth(L"AuthRequest", L"urn:ostrelAccount");
    server->SetSoapHandler("AuthRequest", [](const OstrelServer::SoapCall&) {
        return OstrelServer::SoapReply::Body("<AuthResponse xmlns=\"urn:ostrelAccount\"/>");
    });
    EXPECT_EQ(Exchange(*c, auth), L"AuthResponse");

    auto requests = server->Requests();
    ASSERT_EQ(requests.size(), 3u);
    // An ordinary call: token in header and cookie, session marker, user agent with the request number.
    EXPECT_EQ(requests[0].path, "/service/soap/SyncRequest");
    EXPECT_EQ(requests[0].Header("Cookie"), "OS_AUTH_TOKEN=token-1");
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/soap+xml; charset=utf-8");
    auto doc = OstrelServer::SoapDocument::Parse(requests[0].body);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->Text("//l:context/l:authToken"), "token-1");
    EXPECT_EQ(doc->Count("//l:context/l:nosession"), 1u);
    std::string version = doc->Text("//l:context/l:userAgent/@version").value_or("");
    EXPECT_NE(version.find(" R" + std::to_string(c->GetRequestNumber() - 2)), std::string::npos) << version;
    EXPECT_EQ(doc->Text("//l:context/l:userAgent/@name"), "Ostrel-OSN");
    EXPECT_EQ(requests[0].Header("User-Agent").rfind("Ostrel-OSN/", 0), 0u);
    // NoOp carries the token but never the session marker.
    doc = OstrelServer::SoapDocument::Parse(requests[1].body);
    EXPECT_EQ(doc->Text("//l:context/l:authToken"), "token-1");
    EXPECT_EQ(doc->Count("//l:context/l:nosession"), 0u);
    // Authentication carries neither token nor cookie.
    doc = OstrelServer::SoapDocument::Parse(requests[2].body);
    EXPECT_EQ(doc->Count("//l:context/l:authToken"), 0u);
    EXPECT_FALSE(requests[2].HasHeader("Cookie"));
    EXPECT_EQ(requests[2].Header("Content-Type"), "application/soap+xml; charset=utf-8");
}

TEST_F(ConnectionTest, RequestNumbersRiseAcrossConnections) {
    auto server = StartServer();
    auto a = Connect(*server);
    auto b = Connect(*server);
    EXPECT_NE(a->GetConnectionNumber(), b->GetConnectionNumber());
    std::vector<long> numbers;
    for (int i = 0; i < 3; ++i) {
        for (Connection* c : {a.get(), b.get()}) {
            TestRequest noop(L"NoOpRequest");
            Exchange(*c, noop);
            numbers.push_back(c->GetRequestNumber());
        }
    }
    for (size_t i = 1; i < numbers.size(); ++i)
        EXPECT_GT(numbers[i], numbers[i - 1]);
    // The numbers went out in the user agents, in the same order.
    auto requests = server->Requests();
    ASSERT_EQ(requests.size(), numbers.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        auto doc = OstrelServer::SoapDocument::Parse(requests[i].body);
        std::string version = doc->Text("//l:context/l:userAgent/@version").value_or("");
        EXPECT_EQ(version.substr(version.rfind(" R") + 2), std::to_string(numbers[i]));
    }
}

TEST_F(ConnectionTest, StatusesAboveFiveHundredAreNginxExceptions) {
    auto server = StartServer();
    auto c = Connect(*server);
    server->Faults().Add(Fault::For("NoOpRequest").Status(502, "<html>bad gateway</html>"));
    TestRequest noop(L"NoOpRequest");
    try {
        Exchange(*c, noop);
        FAIL() << "no exception";
    } catch (const NginxException& e) {
        EXPECT_STREQ(e.ExcepText(), L"502 Bad gateway");
        EXPECT_EQ(e.ExcepNum(0), 502u);
        EXPECT_EQ(e.ExcepNum(1), 12029u);
    }
    EXPECT_EQ(c->GetLastHttpStatusCode(), 502u);
    // 500 is how faults arrive: the document is returned.
    server->Faults().Add(Fault::For("NoOpRequest").SoapFault("mail.NO_SUCH_ITEM"));
    EXPECT_EQ(Exchange(*c, noop), L"Fault");
}

TEST_F(ConnectionTest, FaultHeadersBecomeServiceFaults) {
    auto server = StartServer();
    auto c = Connect(*server);
    server->Faults().Add(Fault::For("NoOpRequest")
                             .DosFilter()
                             .Header("X-Ostrel-Fault-Code", "service.FAILURE")
                             .Header("X-Ostrel-Fault-Message", "m"));
    TestRequest noop(L"NoOpRequest");
    try {
        Exchange(*c, noop);
        FAIL() << "no exception";
    } catch (const ServiceFaultException& e) {
        EXPECT_STREQ(e.FaultCode(), L"DoSFilter");
        EXPECT_STREQ(e.ExcepText(), L"unavailable");
        EXPECT_NE(std::string(e.Response()).find("NoOpResponse"), std::string::npos);
    }
}

TEST_F(ConnectionTest, BrokenRepliesAreErrorsWithNothingReturned) {
    auto server = StartServer();
    auto c = Connect(*server);
    TestRequest noop(L"NoOpRequest");
    IXMLDOMDocument2* pDoc = nullptr;

    server->Faults().Add(Fault::For("NoOpRequest").Pad(200000).DropMidBody());
    try {
        c->SendRequestSynchronous(&noop, pDoc, __func__, __LINE__);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    }
    EXPECT_EQ(pDoc, nullptr);

    server->Faults().Add(Fault::For("NoOpRequest").Status(200, "this is not <xml"));
    try {
        c->SendRequestSynchronous(&noop, pDoc, __func__, __LINE__);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
    }
    EXPECT_EQ(pDoc, nullptr);
    // The connection is still usable.
    EXPECT_EQ(Exchange(*c, noop), L"NoOpResponse");
}

TEST_F(ConnectionTest, LargeChunkedReplyGoesThroughTheTemporaryFile) {
    auto server = StartServer();
    auto c = Connect(*server);
    server->Faults().Add(Fault::For("NoOpRequest").Pad(3u << 20).Chunked());
    Ostrel::Util::LogCapture capture;
    TestRequest noop(L"NoOpRequest");
    EXPECT_EQ(Exchange(*c, noop), L"NoOpResponse");
    EXPECT_TRUE(capture.Contains(L"exceeded -> switching to file"));
}

TEST_F(ConnectionTest, OfflineDeniesWithoutTouchingTheNetwork) {
    auto server = StartServer();
    auto c = Connect(*server);
    ConnectionMgr::Get().NotifyOnlineOfflineTransition(0);
    EXPECT_TRUE(ConnectionMgr::Get().IsOffline());
    TestRequest noop(L"NoOpRequest");
    try {
        Exchange(*c, noop);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.ExcepNum(0), 12029u);
        EXPECT_STREQ(e.ExcepText(), L"Unable to connect.");
    }
    EXPECT_TRUE(server->Requests().empty());
    c->SetAllowConnectEvenWhenOLOffline(true);
    EXPECT_EQ(Exchange(*c, noop), L"NoOpResponse");
}

// The manager's flag follows the host's reports, whoever switches: a call made while the host is
// offline never reaches the network, and the host's return online lets calls through again.
TEST_F(ConnectionTest, OfflineFollowsTheHost) {
    auto server = StartServer();
    auto c = Connect(*server);
    TestRequest noop(L"NoOpRequest");
    Platform::Host::SetOffline(true);
    EXPECT_TRUE(ConnectionMgr::Get().IsOffline());
    EXPECT_THROW(Exchange(*c, noop), WinHttpException);
    EXPECT_TRUE(server->Requests().empty());
    Platform::Host::SetOffline(false);
    EXPECT_FALSE(ConnectionMgr::Get().IsOffline());
    EXPECT_EQ(Exchange(*c, noop), L"NoOpResponse");

    // The connection-type mismatch switches the host offline; the manager goes with it.
    EXPECT_EQ(HandleConnectionFailure(nullptr, WinHttpException(ERROR_WINHTTP_SECURE_FAILURE, 1)), S_OK);
    EXPECT_TRUE(Platform::Host::IsOffline());
    EXPECT_TRUE(ConnectionMgr::Get().IsOffline());
    EXPECT_THROW(Exchange(*c, noop), WinHttpException);
    EXPECT_EQ(server->Requests().size(), 1u);
    Platform::Host::ResetToDefaults();
    EXPECT_FALSE(ConnectionMgr::Get().IsOffline());
}

TEST_F(ConnectionTest, BasicChallengeAsksForCredentialsAndRepeats) {
    auto server = StartServer();
    server->RequireBasicAuth("anna", "pw");
    auto c = Connect(*server);
    ui->QueuePasswordAnswer({IDOK, L"anna", L"pw"});
    TestRequest noop(L"NoOpRequest");
    EXPECT_EQ(Exchange(*c, noop), L"NoOpResponse");
    auto requests = server->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].HasHeader("Authorization"));
    EXPECT_TRUE(requests[1].HasHeader("Authorization"));
    auto shown = ui->History();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].wsCaption, L"127.0.0.1:" + std::to_wstring(server->Port()));

    // The stored credentials serve later requests of the process at once.
    auto other = Connect(*server);
    EXPECT_EQ(Exchange(*other, noop), L"NoOpResponse");
    EXPECT_EQ(server->Requests().size(), 3u);

    // Without an answer the 401 page stands: it is no SOAP reply.
    auto elsewhere = StartServer();
    elsewhere->RequireBasicAuth("bob", "x");
    auto third = Connect(*elsewhere);
    EXPECT_EQ(Exchange(*third, noop), L"<none>");
    EXPECT_EQ(third->GetLastHttpStatusCode(), 401u);
    EXPECT_EQ(elsewhere->Requests().size(), 1u);
}

}  // namespace
