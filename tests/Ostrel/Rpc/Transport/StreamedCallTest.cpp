// SOAP calls whose answer is handed over as a stream: a large body arrives whole without being
// parsed, and faults take the same path as those of calls answered with a document.
#include "ConnectionTestSupport.h"

#include "Ostrel/Rpc/Transport/StreamResponse.h"
#include "ostrel-server/Soap.h"

using namespace ConnTest;

namespace {

using OstrelServer::Fault;

class StreamedCallTest : public ConnectionTest {
protected:
    std::unique_ptr<OstrelConnection> Open(const OstrelServer::Server& server) {
        return std::make_unique<OstrelConnection>(L"streamed", L"127.0.0.1", static_cast<DWORD>(server.Port()), 0,
                                                  kProxyModeNone, nullptr, 0, L"profile");
    }

    static std::string ReadAll(IStream* pStream) {
        std::string text;
        char buffer[65536];
        for (ULONG cb = 0; SUCCEEDED(pStream->Read(buffer, sizeof buffer, &cb)) && cb > 0;)
            text.append(buffer, cb);
        return text;
    }
};

TEST_F(StreamedCallTest, LargeBodyArrivesWholeAndUnparsed) {
    auto server = StartServer();
    // Beyond what is held in memory, and not even well formed after its first element: the
    // caller's reader judges the rest.
    const std::string body =
        OstrelServer::SoapEnvelope("<NoOpResponse xmlns=\"urn:ostrelMail\"/>") + std::string(3 << 20, 'x');
    server->Faults().Add(Fault::For("NoOpRequest").Status(200, body));
    auto oc = Open(*server);
    TestRequest noop(L"NoOpRequest");
    ComPtr<IStream> stream = SendRequestForStreamOC(*oc, &noop, __func__, __LINE__);
    ASSERT_TRUE(stream);
    EXPECT_EQ(ReadAll(stream.Get()), body);
}

TEST_F(StreamedCallTest, FaultsGoThroughThePolicy) {
    auto server = StartServer();
    server->Faults().Add(Fault::For("NoOpRequest").SoapFault("service.AUTH_EXPIRED"));
    auto oc = Open(*server);
    TestRequest noop(L"NoOpRequest");
    ComPtr<IStream> stream = SendRequestForStreamOC(*oc, &noop, __func__, __LINE__);
    ASSERT_TRUE(stream);
    EXPECT_NE(ReadAll(stream.Get()).find("NoOpResponse"), std::string::npos);
    ASSERT_EQ(session->invalidations.size(), 1u);
    EXPECT_EQ(server->Requests().size(), 2u) << "signed on again and sent once more";

    server->Faults().Add(Fault::For("NoOpRequest", 2).SoapFault("account.AUTH_FAILED"));
    EXPECT_THROW(SendRequestForStreamOC(*oc, &noop, __func__, __LINE__), SoapFaultResponse)
        << "a second rejection in a row";
    server->Faults().Add(Fault::For("NoOpRequest").SoapFault("mail.MUST_RESYNC"));
    EXPECT_THROW(SendRequestForStreamOC(*oc, &noop, __func__, __LINE__), MailServiceException_MUST_RESYNC);
}

}  // namespace
