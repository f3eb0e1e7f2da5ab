#include "ConnectionTestSupport.h"
#include "Support/Files.h"

#include <thread>

using namespace ConnTest;

namespace {

using OstrelServer::Fault;

constexpr size_t kLine = 64;  // the simulator's bulk lines end in LF every 64 bytes

TEST_F(ConnectionTest, ReplyWithoutLengthAboveOneMegabyteComesAsAStream) {
    auto server = StartServer();
    auto c = Connect(*server);
    const size_t bytes = 3u << 20;
    std::wstring url = L"/bulk?bytes=" + std::to_wstring(bytes) + L"&chunked=1";
    std::string body;
    IStream* pStream = nullptr;
    bool bIsStream = false;
    c->DoGetSynchronous(url.c_str(), nullptr, body, pStream, bIsStream, true, __func__, __LINE__);
    ASSERT_TRUE(bIsStream);
    ASSERT_NE(pStream, nullptr);
    EXPECT_TRUE(body.empty());
    std::string content = TestSupport::ReadStream(pStream);
    pStream->Release();
    // Every LF became CR LF, across read boundaries too.
    ASSERT_EQ(content.size(), bytes + bytes / kLine);
    for (size_t i = 0; i < content.size(); i += kLine + 1)
        ASSERT_EQ(content.compare(i + kLine - 1, 2, "\r\n"), 0) << i;

    // Up to 1 MiB stays in memory, unconverted when asked so.
    c->DoGetSynchronous(L"/bulk?bytes=1048576", nullptr, body, pStream, bIsStream, false, __func__, __LINE__);
    EXPECT_FALSE(bIsStream);
    EXPECT_EQ(pStream, nullptr);
    EXPECT_EQ(body.size(), 1048576u);
}

TEST_F(ConnectionTest, DroppedDownloadLeavesNothingBehind) {
    auto server = StartServer();
    auto c = Connect(*server);
    std::string body = "stale";
    IStream* pStream = nullptr;
    bool bIsStream = true;
    EXPECT_THROW(c->DoGetSynchronous(L"/bulk?bytes=3000000&drop=1", nullptr, body, pStream, bIsStream, false, __func__,
                                     __LINE__),
                 WinHttpException);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(pStream, nullptr);
    EXPECT_FALSE(bIsStream);
}

TEST_F(ConnectionTest, RedirectCarriesTokenAndPortForTheSession) {
    auto server = StartServer();
    server->SetHttpHandler("GET", "/certauth", [](OstrelServer::HttpCall& call) {
        call.res.set_header("Set-Cookie", "OS_AUTH_TOKEN=tok-9; Path=/; Secure");
        call.res.set_redirect("https://127.0.0.1:7071/home", 302);
    });
    server->SetHttpHandler("GET", "/service/spnego", [](OstrelServer::HttpCall& call) {
        call.res.status = 401;
        call.res.set_header("WWW-Authenticate", "Negotiate");
    });
    auto c = Connect(*server);
    std::string body;
    IStream* pStream = nullptr;
    bool bIsStream = false;
    try {
        c->DoGetSynchronous(L"/certauth", nullptr, body, pStream, bIsStream, false, __func__, __LINE__);
        FAIL() << "no exception";
    } catch (const FileDownloadFaultException& e) {
        EXPECT_EQ(e.StatusCode(), 302u);
    }
    std::wstring token;
    ASSERT_TRUE(c->GetAuthToken(token));
    EXPECT_EQ(token, L"tok-9");
    DWORD port = 0;
    ASSERT_TRUE(c->GetRedirectPort(port));
    EXPECT_EQ(port, 7071u);
    EXPECT_FALSE(c->TestForNegotiateChallenge());

    EXPECT_THROW(c->DoGetSynchronous(L"/service/spnego", nullptr, body, pStream, bIsStream, false, __func__, __LINE__),
                 FileDownloadFaultException);
    EXPECT_TRUE(c->TestForNegotiateChallenge());
    EXPECT_FALSE(c->GetRedirectPort(port));
}

TEST_F(ConnectionTest, AsynchronousCallStreamsTheReply) {
    auto server = StartServer();
    server->Faults().Add(Fault::For("NoOpRequest").Pad(100000).Chunked());
    auto c = Connect(*server, 1);
    TestRequest noop(L"NoOpRequest");
    ISequentialStream* pStream = nullptr;
    c->SendRequestAsynchronous(&noop, std::make_shared<AsyncStopEvent>(), pStream, __func__, __LINE__);
    ASSERT_NE(pStream, nullptr);
    std::string reply;
    EXPECT_EQ(Drain(pStream, reply), S_FALSE);
    pStream->Release();
    EXPECT_NE(reply.find("<NoOpResponse xmlns=\"urn:ostrelMail\"/>"), std::string::npos);
    EXPECT_NE(reply.find("x\r\nx"), std::string::npos);
    EXPECT_EQ(reply.find("x\nx"), std::string::npos);
    EXPECT_EQ(server->Requests().at(0).Header("Cookie"), "OS_AUTH_TOKEN=token-1");

    // A synchronous connection refuses.
    auto sync = Connect(*server);
    EXPECT_THROW(sync->SendRequestAsynchronous(&noop, nullptr, pStream, __func__, __LINE__), WinHttpException);
}

TEST_F(ConnectionTest, AsynchronousDownloadReportsProgressFailuresAndStops) {
    auto server = StartServer();
    auto c = Connect(*server, 1);
    ULONGLONG lastDone = 0, lastTotal = 0;
    ISequentialStream* pStream = nullptr;
    c->DoGetAsynchronous(
        L"/bulk?bytes=6000000", nullptr, std::make_shared<AsyncStopEvent>(), pStream,
        [&](ULONGLONG done, ULONGLONG total) {
            lastDone = done;
            lastTotal = total;
        },
        __func__, __LINE__);
    std::string data;
    EXPECT_EQ(Drain(pStream, data), S_FALSE);
    pStream->Release();
    EXPECT_EQ(data.size(), 6000000u);
    EXPECT_EQ(lastDone, 6000000u);
    EXPECT_EQ(lastTotal, 6000000u);

    c->DoGetAsynchronous(L"/bulk?bytes=3000000&drop=1", nullptr, std::make_shared<AsyncStopEvent>(), pStream, nullptr,
                         __func__, __LINE__);
    data.clear();
    EXPECT_EQ(Drain(pStream, data), static_cast<HRESULT>(0x80040115));
    pStream->Release();
    EXPECT_LT(data.size(), 3000000u);

    // Stopping a reader that waits for a server that does not answer.
    server->Faults().Add(Fault::For("/bulk").Delay(20000));
    auto stop = std::make_shared<AsyncStopEvent>();
    c->DoGetAsynchronous(L"/bulk?bytes=10", nullptr, stop, pStream, nullptr, __func__, __LINE__);
    std::thread stopper([stop] { stop->Set(); });
    data.clear();
    EXPECT_EQ(Drain(pStream, data), static_cast<HRESULT>(0x8F0C0001));
    stopper.join();
    pStream->Release();
}

TEST_F(ConnectionTest, ClosingTheConnectionEndsItsAsynchronousStreams) {
    auto server = StartServer();
    server->Faults().Add(Fault::For("/bulk").Delay(20000));
    auto c = Connect(*server, 1);
    ISequentialStream* pStream = nullptr;
    c->DoGetAsynchronous(L"/bulk?bytes=10", nullptr, std::make_shared<AsyncStopEvent>(), pStream, nullptr, __func__,
                         __LINE__);
    c.reset();
    std::string data;
    EXPECT_EQ(Drain(pStream, data), static_cast<HRESULT>(0x80040115));
    pStream->Release();
}

}  // namespace
