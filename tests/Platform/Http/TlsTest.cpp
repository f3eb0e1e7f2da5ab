#include "HttpTestSupport.h"

#include "Support/TempHome.h"
#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

#include <fstream>

using HttpTest::Exchange;
using HttpTest::Options;
using OstrelServer::Certificate;
using OstrelServer::CertificateOptions;

namespace {

const DWORD kUnknownCa = WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;
const DWORD kBadName = WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
const DWORD kBadDate = WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;
const DWORD kTrustedFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                            SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

Options Get() {
    Options o;
    o.verb = L"GET";
    o.path = L"/bulk?bytes=100";
    o.secure = true;
    return o;
}

std::unique_ptr<OstrelServer::Server> TlsServer(std::optional<Certificate> cert = std::nullopt) {
    OstrelServer::ServerOptions options;
    options.tls = true;
    options.certificate = std::move(cert);
    auto server = std::make_unique<OstrelServer::Server>(options);
    server->Start();
    return server;
}

TEST(Tls, SelfSignedCertificateFailsWithItsIssuesAndIsCaptured) {
    auto server = TlsServer();
    auto r = Exchange(server->Port(), Get());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.stage, 1);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(r.secureFlags, kUnknownCa);
    EXPECT_EQ(r.certSha1, server->GetCertificate().Sha1());
    // The handshake failed, so nothing reached the server.
    EXPECT_TRUE(server->Requests().empty());
}

TEST(Tls, EveryIssueOfACertificateIsReported) {
    CertificateOptions bad;
    bad.commonName = "mail.example.test";
    bad.dnsNames = {"mail.example.test"};
    bad.ipAddresses.clear();
    bad.validFromSeconds = -7200;
    bad.validToSeconds = -3600;
    auto server = TlsServer(Certificate::Generate(bad));
    auto r = Exchange(server->Port(), Get());
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(r.secureFlags, kUnknownCa | kBadName | kBadDate);

    // Ignoring some issues is not ignoring all of them.
    Options o = Get();
    o.securityFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    r = Exchange(server->Port(), o);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    o.securityFlags = kTrustedFlags;
    r = Exchange(server->Port(), o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body.size(), 100u);
}

TEST(Tls, PinnedCertificateIsAcceptedAndAnyOtherRefusedBeforeSending) {
    auto server = TlsServer();
    Options o = Get();
    o.securityFlags = kTrustedFlags;
    o.pin = server->GetCertificate().Sha1();
    auto r = Exchange(server->Port(), o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.certSha1, o.pin);

    auto impostor = TlsServer();
    r = Exchange(impostor->Port(), o);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(r.certSha1, impostor->GetCertificate().Sha1());
    EXPECT_TRUE(impostor->Requests().empty());
}

TEST(Tls, CertificateFromATrustedRootVerifies) {
    TestSupport::TempHome home;
    CertificateOptions caOptions;
    caOptions.commonName = "Ostrel Test Root";
    caOptions.isCA = true;
    Certificate ca = Certificate::Generate(caOptions);
    std::string rootsFile = (home.Path() / "roots.pem").string();
    std::ofstream(rootsFile) << ca.CertPem();
    Platform::Http::SetTrustedRootsFile(rootsFile);

    CertificateOptions leafOptions;
    leafOptions.dnsNames = {"localhost"};
    leafOptions.ipAddresses.clear();
    auto server = TlsServer(Certificate::Generate(leafOptions, &ca));
    Options o = Get();
    o.host = L"localhost";
    auto r = Exchange(server->Port(), o);
    EXPECT_TRUE(r.ok) << r.error;
    // By address the same certificate has the wrong name, and only that.
    o.host = L"127.0.0.1";
    r = Exchange(server->Port(), o);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(r.secureFlags, kBadName);
    Platform::Http::SetTrustedRootsFile("");
}

TEST(Tls, WrongProtocolOnEitherSide) {
    OstrelServer::Server plain;
    plain.Start();
    auto r = Exchange(plain.Port(), Get());
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(r.secureFlags, static_cast<DWORD>(WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR));

    auto tls = TlsServer();
    Options o = Get();
    o.secure = false;
    r = Exchange(tls->Port(), o);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE || r.error == ERROR_WINHTTP_CONNECTION_ERROR)
        << r.error;
}

}  // namespace
