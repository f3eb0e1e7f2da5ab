#include "ConnectionTestSupport.h"
#include "Support/Files.h"

using namespace ConnTest;

namespace {

const DWORD kUnknownCa = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;

// Sends a NoOp and returns what it threw; a WinHttpException(0) when it went through.
WinHttpException NoOpFailure(Connection& c) {
    try {
        TestRequest noop(L"NoOpRequest");
        IXMLDOMDocument2* pDoc = nullptr;
        c.SendRequestSynchronous(&noop, pDoc, __func__, __LINE__);
        pDoc->Release();
    } catch (const WinHttpException& e) {
        return e;
    }
    return WinHttpException(0, 0);
}

bool SameFingerprint(const Platform::CertFingerprint& fp, const std::vector<unsigned char>& expected) {
    return std::equal(fp.begin(), fp.end(), expected.begin(), expected.end());
}

// A SOAP call that meets a certificate it cannot verify asks the trust decision once: accepted,
// the same call goes through; afterwards only that certificate passes.
TEST_F(ConnectionTest, SelfSignedServerIsAskedAboutOnceAndThenOnlyItsCertificatePasses) {
    auto server = StartServer(true);
    auto c = Connect(*server);
    EXPECT_EQ(TryNoOp(*c), 0u);
    EXPECT_EQ(trust->dialogs, 1);
    EXPECT_EQ(trust->issuesShown, kUnknownCa);
    EXPECT_TRUE(SameFingerprint(trust->fingerprint, server->GetCertificate().Sha1()));
    EXPECT_TRUE(c->IsTrusted());
    EXPECT_EQ(server->Requests().size(), 1u);
    EXPECT_TRUE(c->DoneTrustedConnCertChk());
    EXPECT_EQ(TryNoOp(*c), 0u);
    EXPECT_EQ(trust->dialogs, 1);

    // Another server with another certificate takes the port: the trusted connection refuses it
    // in the handshake, before the request and its token are sent, and is not retried.
    int port = server->Port();
    server.reset();
    auto impostor = StartServer(true, std::nullopt, port);
    WinHttpException e = NoOpFailure(*c);
    EXPECT_EQ(e.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(e.GetCertErr(), kUnknownCa);
    ASSERT_NE(e.GetCertContext(), nullptr);
    EXPECT_TRUE(SameFingerprint(Platform::CertSha1(e.GetCertContext()), impostor->GetCertificate().Sha1()));
    EXPECT_TRUE(impostor->Requests().empty());
    EXPECT_FALSE(c->IsTrustable());
    EXPECT_EQ(trust->dialogs, 1);
}

TEST_F(ConnectionTest, RefusedCertificateThrowsWithItsIssuesOrReturnsQuietly) {
    auto server = StartServer(true);
    auto c = Connect(*server);
    trust->acceptDialog = false;
    WinHttpException refused = NoOpFailure(*c);
    EXPECT_EQ(refused.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(refused.GetCertErr(), kUnknownCa);
    EXPECT_NE(refused.GetCertContext(), nullptr);
    EXPECT_EQ(trust->dialogs, 1);
    EXPECT_TRUE(server->Requests().empty());

    int retry = 1;
    EXPECT_EQ(c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 0), 0);
    EXPECT_EQ(retry, 0);
    try {
        c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 1);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
        EXPECT_EQ(e.GetCertErr(), kUnknownCa);
        EXPECT_NE(e.GetCertContext(), nullptr);
    }
    // Not allowed to ask, or embedded: no dialog, on a SOAP call either.
    int dialogs = trust->dialogs;
    c->SetCertTrustDlgAllowed(0);
    EXPECT_EQ(c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 0), 0);
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    c->SetCertTrustDlgAllowed(1);
    Platform::Host::SetEmbedded(true);
    EXPECT_EQ(c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 0), 0);
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    Platform::Host::SetEmbedded(false);
    EXPECT_EQ(trust->dialogs, dialogs);
}

TEST_F(ConnectionTest, StoredTrustIsUsedAndItsExpiryAsksAgain) {
    auto server = StartServer(true);
    // Trust recorded earlier (another process, say) for this very certificate: no dialog.
    std::vector<unsigned char> sha1 = server->GetCertificate().Sha1();
    trust->trusted = true;
    std::copy(sha1.begin(), sha1.end(), trust->fingerprint.begin());
    auto c = Connect(*server);
    EXPECT_EQ(TryNoOp(*c), 0u);
    EXPECT_EQ(trust->dialogs, 0);
    EXPECT_TRUE(c->IsTrusted());

    // The trust period ends: the connection is denied before it sends and the user is asked
    // again; refused, nothing more reaches the server.
    trust->expiredNow = true;
    trust->acceptDialog = false;
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_FALSE(c->IsTrusted());
    EXPECT_EQ(trust->dialogs, 1);
    EXPECT_EQ(server->Requests().size(), 1u);
}

TEST_F(ConnectionTest, VerifiedCertificateClearsOldTrust) {
    TestSupport::TempHome roots;
    OstrelServer::CertificateOptions caOptions;
    caOptions.commonName = "Connection Test Root";
    caOptions.isCA = true;
    auto ca = OstrelServer::Certificate::Generate(caOptions);
    std::string rootsFile = (roots.Path() / "roots.pem").string();
    TestSupport::WriteFile(rootsFile, ca.CertPem());
    Platform::Http::SetTrustedRootsFile(rootsFile);
    auto server = StartServer(true, OstrelServer::Certificate::Generate({}, &ca));
    auto c = Connect(*server);
    trust->trusted = true;
    EXPECT_EQ(TryNoOp(*c), 0u);
    EXPECT_EQ(trust->clears, 1);
    PCCERT_CONTEXT pCert = c->GetServerCert();
    EXPECT_NE(pCert, nullptr);
    CertFreeCertificateContext(pCert);

    // The same bookkeeping after an asynchronous send.
    trust->trusted = true;
    auto async = Connect(*server, 1);
    TestRequest noop(L"NoOpRequest");
    ISequentialStream* pStream = nullptr;
    async->SendRequestAsynchronous(&noop, std::make_shared<AsyncStopEvent>(), pStream, __func__, __LINE__);
    char buffer[4096];
    ULONG n = 0;
    while (pStream->Read(buffer, sizeof buffer, &n) == S_OK && n > 0) {
    }
    pStream->Release();
    Platform::Http::SetTrustedRootsFile("");
    EXPECT_EQ(trust->clears, 2);
    pCert = async->GetServerCert();
    EXPECT_NE(pCert, nullptr);
    CertFreeCertificateContext(pCert);
}

TEST_F(ConnectionTest, WrongSchemeIsReportedAsAPossibleMismatch) {
    auto plain = StartServer();
    auto c = std::make_unique<Connection>(L"test", L"127.0.0.1", static_cast<DWORD>(plain->Port()), 1, kProxyModeNone,
                                          nullptr, 0);
    // TLS to a plain server: a channel error, reported as "cannot connect".
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_NE(c->GetCertIssuesBitmap() & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, 0u);
}

}  // namespace
