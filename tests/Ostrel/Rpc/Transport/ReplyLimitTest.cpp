// A reply larger than the limit, announced or not: reading stops as soon as the total passes the
// limit, not when the server stops sending or an idle time-out fires.
#include "ConnectionTestSupport.h"

using namespace ConnTest;

namespace {

using OstrelServer::Fault;

constexpr ULONGLONG kLimit = 2u << 20;

TEST_F(ConnectionTest, AReplyPastTheLimitIsCutOffAtTheLimit) {
    auto server = StartServer();
    auto c = Connect(*server);
    c->SetMaxResponseBytes(kLimit);
    ULONGLONG ullMostRead = 0;
    c->SetProgressCallback([&](ULONGLONG ullDone, ULONGLONG) { ullMostRead = std::max(ullMostRead, ullDone); });
    TestRequest noop(L"NoOpRequest");

    // Without a length the reply could go on for ever; with one, it is refused before reading.
    for (bool bChunked : {true, false}) {
        Fault fault = Fault::For("NoOpRequest").Pad(8 * kLimit);
        if (bChunked)
            fault.Chunked();
        server->Faults().Add(fault);
        ullMostRead = 0;
        IXMLDOMDocument2* pDoc = nullptr;
        try {
            c->SendRequestSynchronous(&noop, pDoc, __func__, __LINE__);
            ADD_FAILURE() << "no exception, chunked " << bChunked;
        } catch (const WinHttpException& e) {
            EXPECT_EQ(e.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW));
        }
        EXPECT_EQ(pDoc, nullptr);
        EXPECT_LE(ullMostRead, kLimit) << "chunked " << bChunked;
    }
    // A reply within the limit still goes through on the same connection.
    server->Faults().Add(Fault::For("NoOpRequest").Pad(kLimit / 2).Chunked());
    EXPECT_EQ(Exchange(*c, noop), L"NoOpResponse");
}

}  // namespace
