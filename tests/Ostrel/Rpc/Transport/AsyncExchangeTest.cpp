// The asynchronous SOAP exchange takes the steps of a synchronous one: the reply is read through
// the stream adapters every response goes through, its headers are logged, the gates stop it
// while it waits for its reply, and sign-on secrets stay out of its log.
#include "ConnectionTestSupport.h"
#include "Util/Log/Log.h"

using namespace ConnTest;

namespace {

using OstrelServer::Fault;

TEST_F(ConnectionTest, AsynchronousReplyComesThroughTheResponseAdapters) {
    auto server = StartServer();
    server->Faults().Add(Fault::For("NoOpRequest").Pad(100000).Chunked());
    auto c = Connect(*server, 1);
    TestRequest noop(L"NoOpRequest");
    Ostrel::Util::LogCapture capture;
    ISequentialStream* pStream = nullptr;
    c->SendRequestAsynchronous(&noop, std::make_shared<AsyncStopEvent>(), pStream, __func__, __LINE__);
    ComPtr<ISequentialStream> stream;
    stream.Attach(pStream);
    std::string reply;
    EXPECT_EQ(Drain(stream.Get(), reply), S_FALSE);
    EXPECT_NE(reply.find("x\r\nx"), std::string::npos);
    EXPECT_EQ(reply.find("x\nx"), std::string::npos);
    EXPECT_TRUE(capture.Contains(L"HTTP/1.1 200")) << "the reply's headers are logged";

    // The reply is an IStream whose first megabyte can be read again.
    ComPtr<IStream> seekable;
    ASSERT_EQ(stream->QueryInterface(IID_IStream, reinterpret_cast<void**>(seekable.AddressOf())), S_OK);
    LARGE_INTEGER start{};
    ASSERT_EQ(seekable->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
    std::string again;
    Drain(seekable.Get(), again);
    EXPECT_EQ(again, reply);
}

TEST_F(ConnectionTest, AsynchronousCallPassesTheSameGatesAndHidesSecrets) {
    auto server = StartServer();
    server->Faults().Add(Fault::For("NoOpRequest").Delay(400));
    auto c = Connect(*server, 1);
    TestRequest noop(L"NoOpRequest");
    ISequentialStream* pStream = nullptr;
    c->SendRequestAsynchronous(&noop, std::make_shared<AsyncStopEvent>(), pStream, __func__, __LINE__);
    Platform::Host::SetOffline(true);
    std::string reply;
    EXPECT_EQ(Drain(pStream, reply), static_cast<HRESULT>(0x80040115));
    pStream->Release();
    Platform::Host::SetOffline(false);
    EXPECT_EQ(reply.find("NoOpResponse"), std::string::npos);
    EXPECT_EQ(c->GetLastWinHttpErrAsync(), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));

    Ostrel::Util::g_logger.SetLogDetail(Ostrel::Util::kLogDetailHTTP);
    Ostrel::Util::LogCapture capture;
    TestRequest auth(L"AuthRequest", L"urn:ostrelAccount");
    auth.AddChild(L"password", L"async-secret");
    c->SendRequestAsynchronous(&auth, std::make_shared<AsyncStopEvent>(), pStream, __func__, __LINE__);
    Drain(pStream, reply);
    pStream->Release();
    Ostrel::Util::g_logger.SetLogDetail(0);
    EXPECT_TRUE(capture.Contains(L"<password>************</password>"));
    EXPECT_FALSE(capture.Contains(L"async-secret"));
}

}  // namespace
