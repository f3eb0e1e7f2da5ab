#include "ConnectionTestSupport.h"

using namespace ConnTest;

namespace {

using OstrelServer::Fault;

// A document save whose name gets a counter on each fix-up, as the real request does.
class RenamingRequest : public TestRequest, public IDocumentNameFixUp {
public:
    RenamingRequest() : TestRequest(L"SaveDocumentRequest") {}
    bool FixUpDocumentName() override {
        ++fixUps;
        return true;
    }
    int fixUps = 0;
};

class FacadeTest : public ConnectionTest {
protected:
    std::unique_ptr<OstrelConnection> Open(const OstrelServer::Server& server) {
        return std::make_unique<OstrelConnection>(L"facade", L"127.0.0.1", static_cast<DWORD>(server.Port()), 0,
                                                  kProxyModeNone, nullptr, 0, L"profile");
    }
    static std::unique_ptr<Response> Call(OstrelConnection& oc, Request& request) {
        Response* p = nullptr;
        oc.SendRequestSynchronousOC(&request, p, __func__, __LINE__);
        return std::unique_ptr<Response>(p);
    }
};

TEST_F(FacadeTest, AnExistingDocumentIsRenamedUpToFifteenTimes) {
    auto server = StartServer();
    server->Faults().Add(Fault::For("SaveDocumentRequest", 3).SoapFault("mail.ALREADY_EXISTS"));
    server->SetSoapHandler("SaveDocumentRequest", [](const OstrelServer::SoapCall&) {
        return OstrelServer::SoapReply::Body("<SaveDocumentResponse xmlns=\"urn:ostrelMail\"/>");
    });
    auto oc = Open(*server);
    RenamingRequest save;
    auto response = Call(*oc, save);
    EXPECT_NE(response, nullptr);
    EXPECT_EQ(server->Requests().size(), 4u);
    EXPECT_EQ(save.fixUps, 3);

    // A name that is never free: the sixteenth fault stands.
    server->Faults().Add(Fault::For("SaveDocumentRequest", -1).SoapFault("mail.ALREADY_EXISTS"));
    RenamingRequest never;
    EXPECT_THROW(Call(*oc, never), MailServiceException_ALREADY_EXISTS);
    EXPECT_EQ(server->Requests().size(), 20u);
    EXPECT_EQ(never.fixUps, 16);

    // Other calls are not renamed: the fault goes straight to the caller.
    server->Faults().Add(Fault::For("NoOpRequest").SoapFault("mail.ALREADY_EXISTS"));
    TestRequest noop(L"NoOpRequest");
    EXPECT_THROW(Call(*oc, noop), MailServiceException_ALREADY_EXISTS);
}

TEST_F(FacadeTest, ExpiredTokenIsRenewedAndTheCallSentOnce) {
    auto server = StartServer();
    server->Faults().Add(Fault::For("NoOpRequest").SoapFault("service.AUTH_EXPIRED"));
    auto oc = Open(*server);
    EXPECT_EQ(oc->GetProfileName(), L"profile");
    TestRequest noop(L"NoOpRequest");
    auto response = Call(*oc, noop);
    ASSERT_NE(response, nullptr);
    ASSERT_EQ(session->invalidations.size(), 1u);
    EXPECT_EQ(session->invalidations[0], 1);
    auto requests = server->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("Cookie"), "OS_AUTH_TOKEN=token-1");
    EXPECT_EQ(requests[1].Header("Cookie"), "OS_AUTH_TOKEN=token-2");

    // A second rejection in a row is thrown.
    server->Faults().Add(Fault::For("NoOpRequest", 2).SoapFault("account.AUTH_FAILED"));
    EXPECT_THROW(Call(*oc, noop), SoapFaultResponse);
    EXPECT_EQ(session->invalidations.size(), 2u);
    EXPECT_EQ(session->invalidations[1], 0);
}

TEST_F(FacadeTest, TransportFailuresPassThrough) {
    auto server = StartServer();
    auto oc = Open(*server);
    server->Faults().Add(Fault::For("NoOpRequest").Status(503));
    TestRequest noop(L"NoOpRequest");
    EXPECT_THROW(Call(*oc, noop), NginxException);
    server->Faults().Add(Fault::For("NoOpRequest").Status(200, "<html><head><title>Error</title></head></html>"));
    try {
        Call(*oc, noop);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
    }
}

}  // namespace
