// Asynchronous downloads: the reply limit holds as it does for synchronous ones, and the facade's
// download carries the session's token and signs on again when the server rejects it.
#include "ConnectionTestSupport.h"

#include "Ostrel/Rpc/Transport/Download.h"
#include "Platform/Base/Utf.h"

using namespace ConnTest;

namespace {

constexpr ULONGLONG kLimit = 2u << 20;
constexpr HRESULT kNetworkError = static_cast<HRESULT>(0x80040115);

TEST_F(ConnectionTest, AsynchronousReplyPastTheLimitIsCutOffAtTheLimit) {
    auto server = StartServer();
    auto c = Connect(*server, 1);
    c->SetMaxResponseBytes(kLimit);
    // Without a length the reply is stopped once it passes the limit; with one, before reading.
    for (const wchar_t* url : {L"/bulk?bytes=67108864&chunked=1", L"/bulk?bytes=67108864"}) {
        SCOPED_TRACE(Platform::ToUtf8(url));
        ULONGLONG ullMostRead = 0;
        ISequentialStream* pStream = nullptr;
        c->DoGetAsynchronous(
            url, nullptr, std::make_shared<AsyncStopEvent>(), pStream,
            [&](ULONGLONG ullDone, ULONGLONG) { ullMostRead = std::max(ullMostRead, ullDone); }, __func__, __LINE__);
        ComPtr<ISequentialStream> stream;
        stream.Attach(pStream);
        std::string data;
        EXPECT_EQ(Drain(stream.Get(), data), kNetworkError);
        EXPECT_LE(data.size(), kLimit);
        EXPECT_LE(ullMostRead, kLimit);
        EXPECT_EQ(c->GetLastWinHttpErrAsync(), static_cast<DWORD>(ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW));
    }
    // A reply within the limit still arrives whole on the same connection.
    ISequentialStream* pStream = nullptr;
    c->DoGetAsynchronous(L"/bulk?bytes=1000000&chunked=1", nullptr, std::make_shared<AsyncStopEvent>(), pStream,
                         nullptr, __func__, __LINE__);
    std::string data;
    EXPECT_EQ(Drain(pStream, data), S_FALSE);
    pStream->Release();
    EXPECT_EQ(data.size(), 1000000u);
}

TEST_F(ConnectionTest, FacadeAsynchronousDownloadSignsOnAgainWhenTheTokenIsRejected) {
    auto server = StartServer();
    session->port = static_cast<DWORD>(server->Port());
    // Only the token the session gets after its second invalidation is good.
    server->SetHttpHandler("GET", "/home/~/Briefcase/", [](OstrelServer::HttpCall& call) {
        if (call.req.get_header_value("Cookie") != "OS_AUTH_TOKEN=token-3") {
            call.res.status = 401;
            return;
        }
        call.res.set_content("photo bytes", "image/png");
    });
    OstrelConnection oc(L"async", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0, kProxyModeNone, nullptr, 1,
                        L"profile");
    ISequentialStream* pStream = nullptr;
    DoGetAsyncOC(oc, L"/home/~/Briefcase/a.png", nullptr, std::make_shared<AsyncStopEvent>(), pStream, nullptr,
                 __func__, __LINE__);
    std::string data;
    EXPECT_EQ(Drain(pStream, data), S_FALSE);
    pStream->Release();
    EXPECT_EQ(data, "photo bytes");
    EXPECT_EQ(session->invalidations, (std::vector<int>{1, 1}));

    // A token that is never accepted: four new ones, then the failure reaches the reader.
    session->invalidations.clear();
    session->token = L"token-0";
    server->SetHttpHandler("GET", "/home/~/Briefcase/", [](OstrelServer::HttpCall& call) { call.res.status = 401; });
    DoGetAsyncOC(oc, L"/home/~/Briefcase/a.png", nullptr, std::make_shared<AsyncStopEvent>(), pStream, nullptr,
                 __func__, __LINE__);
    data.clear();
    EXPECT_EQ(Drain(pStream, data), kNetworkError);
    pStream->Release();
    EXPECT_EQ(session->invalidations.size(), 4u);
    EXPECT_TRUE(data.empty());
}

}  // namespace
