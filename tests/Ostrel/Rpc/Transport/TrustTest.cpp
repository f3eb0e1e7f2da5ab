#include "ConnectionTestSupport.h"

using namespace ConnTest;

namespace {

const DWORD kUnknownCa = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;

// Sends a NoOp and returns the WinHTTP error it failed with (0 on success).
DWORD TryNoOp(Connection& c) {
    TestRequest noop(L"NoOpRequest");
    IXMLDOMDocument2* pDoc = nullptr;
    try {
        c.SendRequestSynchronous(&noop, pDoc, __func__, __LINE__);
    } catch (const WinHttpException& e) {
        return e.ExcepNum(0);
    }
    pDoc->Release();
    return 0;
}

TEST_F(ConnectionTest, SelfSignedServerFailsUntilTrustedAndThenOnlyItsCertificatePasses) {
    auto server = StartServer(true);
    auto c = Connect(*server);
    ASSERT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(c->GetCertIssuesBitmap(), kUnknownCa);
    Platform::CertFingerprint fp = c->GetServerCertFingerprint();
    std::vector<unsigned char> expected = server->GetCertificate().Sha1();
    EXPECT_TRUE(std::equal(fp.begin(), fp.end(), expected.begin()));
    EXPECT_TRUE(server->Requests().empty());

    // The user accepts: the connection becomes trusted and the call goes through.
    int retry = 0;
    EXPECT_EQ(c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 1), 1);
    EXPECT_EQ(retry, 1);
    EXPECT_EQ(trust->dialogs, 1);
    EXPECT_EQ(trust->issuesShown, kUnknownCa);
    EXPECT_TRUE(c->IsTrusted());
    EXPECT_EQ(TryNoOp(*c), 0u);
    EXPECT_EQ(server->Requests().size(), 1u);
    EXPECT_TRUE(c->DoneTrustedConnCertChk());

    // Another server with another certificate takes the port: the trusted connection refuses it
    // in the handshake, before the request and its token are sent.
    int port = server->Port();
    server.reset();
    auto impostor = StartServer(true, std::nullopt, port);
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_TRUE(impostor->Requests().empty());
    // Failing although trusted is never retried.
    try {
        c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 1);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.GetCertErr(), kUnknownCa);
        ASSERT_NE(e.GetCertContext(), nullptr);
        Platform::CertFingerprint seen = Platform::CertSha1(e.GetCertContext());
        std::vector<unsigned char> impostorFp = impostor->GetCertificate().Sha1();
        EXPECT_TRUE(std::equal(seen.begin(), seen.end(), impostorFp.begin()));
    }
    EXPECT_EQ(retry, 0);
    EXPECT_FALSE(c->IsTrustable());
    EXPECT_EQ(trust->dialogs, 1);
}

TEST_F(ConnectionTest, RefusedCertificateThrowsWithItsIssuesOrReturnsQuietly) {
    auto server = StartServer(true);
    auto c = Connect(*server);
    trust->acceptDialog = false;
    ASSERT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
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
    // Not allowed to ask, or embedded: no dialog.
    int dialogs = trust->dialogs;
    c->SetCertTrustDlgAllowed(0);
    EXPECT_EQ(c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 0), 0);
    c->SetCertTrustDlgAllowed(1);
    Platform::Host::SetEmbedded(true);
    EXPECT_EQ(c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 0), 0);
    Platform::Host::SetEmbedded(false);
    EXPECT_EQ(trust->dialogs, dialogs);
}

TEST_F(ConnectionTest, StoredTrustIsUsedAndItsExpiryDeniesTheConnection) {
    auto server = StartServer(true);
    auto c = Connect(*server);
    ASSERT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    // Trust recorded earlier (another process, say) for this very certificate.
    trust->trusted = true;
    trust->fingerprint = c->GetServerCertFingerprint();
    int retry = 0;
    EXPECT_EQ(c->HandleCertError(ERROR_WINHTTP_SECURE_FAILURE, retry, 1), 1);
    EXPECT_EQ(trust->dialogs, 0);
    EXPECT_EQ(TryNoOp(*c), 0u);

    trust->expiredNow = true;
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_FALSE(c->IsTrusted());
    EXPECT_EQ(server->Requests().size(), 1u);
}

TEST_F(ConnectionTest, VerifiedCertificateClearsOldTrust) {
    TestSupport::TempHome roots;
    OstrelServer::CertificateOptions caOptions;
    caOptions.commonName = "Connection Test Root";
    caOptions.isCA = true;
    auto ca = OstrelServer::Certificate::Generate(caOptions);
    std::string rootsFile = (roots.Path() / "roots.pem").string();
    {
        std::FILE* f = std::fopen(rootsFile.c_str(), "w");
        std::string pem = ca.CertPem();
        std::fwrite(pem.data(), 1, pem.size(), f);
        std::fclose(f);
    }
    Platform::Http::SetTrustedRootsFile(rootsFile);
    auto server = StartServer(true, OstrelServer::Certificate::Generate({}, &ca));
    auto c = Connect(*server);
    trust->trusted = true;
    EXPECT_EQ(TryNoOp(*c), 0u);
    EXPECT_EQ(trust->clears, 1);
    PCCERT_CONTEXT pCert = c->GetServerCert();
    EXPECT_NE(pCert, nullptr);
    CertFreeCertificateContext(pCert);
    Platform::Http::SetTrustedRootsFile("");
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
