#include "Platform/Crypto/Cert.h"

#include "ostrel-server/Certificate.h"

#include <gtest/gtest.h>

namespace {

PCCERT_CONTEXT Context(const OstrelServer::Certificate& c) {
    auto der = c.CertDer();
    return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
}

std::wstring Name(PCCERT_CONTEXT cert, DWORD type, DWORD flags = 0, const char* oid = nullptr) {
    DWORD n = CertGetNameStringW(cert, type, flags, const_cast<char*>(oid), nullptr, 0);
    std::wstring out(n, L'\0');
    CertGetNameStringW(cert, type, flags, const_cast<char*>(oid), out.data(), n);
    out.resize(n - 1);
    return out;
}

TEST(Cert, ContextsCarryNamesDatesAndFingerprint) {
    OstrelServer::CertificateOptions caOptions;
    caOptions.commonName = "Ostrel Test Root";
    caOptions.isCA = true;
    auto ca = OstrelServer::Certificate::Generate(caOptions);
    OstrelServer::CertificateOptions options;
    options.commonName = "mail.example.test";
    options.dnsNames = {"alt.example.test"};
    auto leaf = OstrelServer::Certificate::Generate(options, &ca);

    PCCERT_CONTEXT cert = Context(leaf);
    ASSERT_TRUE(cert);
    EXPECT_EQ(Name(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE), L"mail.example.test");
    EXPECT_EQ(Name(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG), L"Ostrel Test Root");
    EXPECT_EQ(Name(cert, CERT_NAME_DNS_TYPE), L"alt.example.test");
    EXPECT_EQ(Name(cert, CERT_NAME_ATTR_TYPE, 0, szOID_ORGANIZATION_NAME), L"Ostrel Simulator");
    EXPECT_EQ(Name(cert, CERT_NAME_EMAIL_TYPE), L"");

    Platform::CertFingerprint fp = Platform::CertSha1(cert);
    EXPECT_EQ(std::vector<unsigned char>(fp.begin(), fp.end()), leaf.Sha1());
    EXPECT_EQ(Platform::FingerprintToHex(fp).size(), 40u);
    uint64_t notBefore =
        (uint64_t(cert->pCertInfo->NotBefore.dwHighDateTime) << 32) | cert->pCertInfo->NotBefore.dwLowDateTime;
    uint64_t notAfter =
        (uint64_t(cert->pCertInfo->NotAfter.dwHighDateTime) << 32) | cert->pCertInfo->NotAfter.dwLowDateTime;
    EXPECT_GT(notAfter, notBefore);
    EXPECT_GT(notBefore, 130000000000000000ull);  // after 2012
    EXPECT_NE(Platform::DescribeCertificate(cert).find(L"Issuer: "), std::wstring::npos);

    // A short buffer is filled as far as it goes and terminated.
    wchar_t small[5];
    EXPECT_EQ(CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, small, 5), 5u);
    EXPECT_EQ(std::wstring(small), L"mail");

    // Duplicates share the context; it lives until the last free.
    PCCERT_CONTEXT dup = CertDuplicateCertificateContext(cert);
    EXPECT_EQ(dup, cert);
    CertFreeCertificateContext(cert);
    EXPECT_EQ(Name(dup, CERT_NAME_SIMPLE_DISPLAY_TYPE), L"mail.example.test");
    CertFreeCertificateContext(dup);
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST(Cert, MalformedEncodingsAreRefused) {
    auto der = OstrelServer::Certificate::Generate({}).CertDer();
    EXPECT_FALSE(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size() - 1)));
    der.push_back(0);
    EXPECT_FALSE(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    const BYTE junk[] = {0x30, 0x82, 0xFF, 0xFF, 0x01};
    EXPECT_FALSE(CertCreateCertificateContext(X509_ASN_ENCODING, junk, sizeof junk));
    EXPECT_FALSE(CertCreateCertificateContext(X509_ASN_ENCODING, nullptr, 0));
}

TEST(Cert, HashSizesAndBufferRules) {
    const BYTE data[] = "abc";
    DWORD size = 0;
    ASSERT_TRUE(CryptHashCertificate(0, CALG_SHA1, 0, data, 3, nullptr, &size));
    EXPECT_EQ(size, 20u);
    BYTE hash[32];
    size = 10;
    EXPECT_FALSE(CryptHashCertificate(0, CALG_SHA1, 0, data, 3, hash, &size));
    size = sizeof hash;
    ASSERT_TRUE(CryptHashCertificate(0, CALG_SHA1, 0, data, 3, hash, &size));
    EXPECT_EQ(size, 20u);
    EXPECT_EQ(hash[0], 0xA9);  // SHA-1("abc") = a9993e36...
    EXPECT_EQ(hash[19], 0x9D);
    EXPECT_FALSE(CryptHashCertificate(0, 0x1234, 0, data, 3, hash, &size));
}

}  // namespace
