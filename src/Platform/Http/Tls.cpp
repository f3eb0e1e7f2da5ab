// Certificate checks of the HTTPS handshake: every problem of the server's chain and name is
// collected into WinHTTP's secure-failure flags, the security flags decide which are tolerated,
// and an optional pinned SHA-1 refuses any other certificate before a byte of the request is sent.
#include "Platform/Http/Internal.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>

namespace Platform::Http::Detail {

namespace {

thread_local DWORD* t_pIssues = nullptr;

DWORD IssueForError(int error) {
    switch (error) {
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;
        case X509_V_ERR_CERT_REVOKED:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
        case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED;
        case X509_V_ERR_INVALID_PURPOSE:
        case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
        default:
            return WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
    }
}

// Collects every error of the chain and lets verification go on, so that all flags are known.
int CollectError(int ok, X509_STORE_CTX* ctx) {
    if (!ok && t_pIssues)
        *t_pIssues |= IssueForError(X509_STORE_CTX_get_error(ctx));
    return 1;
}

bool HostMatches(X509* cert, const std::string& host) {
    unsigned char addr[16];
    if (inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1)
        return X509_check_ip_asc(cert, host.c_str(), 0) == 1;
    return X509_check_host(cert, host.c_str(), host.size(), 0, nullptr) == 1;
}

PCCERT_CONTEXT ToContext(X509* cert) {
    int len = i2d_X509(cert, nullptr);
    if (len <= 0)
        return nullptr;
    std::vector<BYTE> der(static_cast<size_t>(len));
    BYTE* p = der.data();
    i2d_X509(cert, &p);
    return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
}

void StoreCertificate(Request& r, PCCERT_CONTEXT cert) {
    std::lock_guard<std::mutex> lock(r.infoMutex);
    if (r.serverCert)
        CertFreeCertificateContext(r.serverCert);
    r.serverCert = cert;
}

int VerifyServer(X509_STORE_CTX* ctx, void* user) {
    Request& r = *static_cast<Request*>(user);
    X509* leaf = X509_STORE_CTX_get0_cert(ctx);
    PCCERT_CONTEXT cert = leaf ? ToContext(leaf) : nullptr;
    Platform::CertFingerprint fp = Platform::CertSha1(cert);
    StoreCertificate(r, cert);

    DWORD issues = 0;
    X509_STORE_CTX_set_verify_cb(ctx, CollectError);
    t_pIssues = &issues;
    int ok = X509_verify_cert(ctx);
    t_pIssues = nullptr;
    if (ok <= 0 && issues == 0)
        issues |= WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
    if (!leaf || !HostMatches(leaf, r.tlsHost))
        issues |= WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;

    bool pinOk = !r.activePin || (cert && std::equal(fp.begin(), fp.end(), r.activePin->begin()));
    {
        std::lock_guard<std::mutex> lock(r.infoMutex);
        r.tlsIssues = issues;
        r.pinMismatch = !pinOk;
    }
    if (!pinOk || (issues & ~r.ignoredIssues)) {
        if (X509_STORE_CTX_get_error(ctx) == X509_V_OK)
            X509_STORE_CTX_set_error(ctx, X509_V_ERR_CERT_REJECTED);
        return 0;
    }
    X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
}

int RequestIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The server asked for a client certificate; none is offered, and a failing handshake is then
// reported as "client certificate needed".
int NoClientCertificate(SSL* ssl, X509**, EVP_PKEY**) {
    auto* r = static_cast<Request*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), RequestIndex()));
    if (r) {
        std::lock_guard<std::mutex> lock(r->infoMutex);
        r->clientCertRequested = true;
    }
    return 0;
}

struct RootsSetting {
    std::mutex mutex;
    std::string path;
    RootsSetting() {
        if (const char* env = std::getenv("OSTREL_CA_BUNDLE"))
            path = env;
    }
};

RootsSetting& Roots() {
    static RootsSetting* roots = new RootsSetting();
    return *roots;
}

}  // namespace

CURLcode SslContextFunction(CURL*, void* sslCtx, void* user) {
    SSL_CTX* ctx = static_cast<SSL_CTX*>(sslCtx);
    // Peer verification stays on so that a refusal in VerifyServer ends the handshake.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, VerifyServer, user);
    SSL_CTX_set_ex_data(ctx, RequestIndex(), user);
    SSL_CTX_set_client_cert_cb(ctx, NoClientCertificate);
    return CURLE_OK;
}

void CaptureConnectionCertificate(Request& r) {
    {
        std::lock_guard<std::mutex> lock(r.infoMutex);
        if (r.serverCert)
            return;
    }
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(r.easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info ||
        info->backend != CURLSSLBACKEND_OPENSSL || !info->internals)
        return;
    X509* peer = SSL_get1_peer_certificate(static_cast<SSL*>(info->internals));
    if (!peer)
        return;
    StoreCertificate(r, ToContext(peer));
    X509_free(peer);
}

std::string TrustedRootsFile() {
    RootsSetting& roots = Roots();
    std::lock_guard<std::mutex> lock(roots.mutex);
    return roots.path;
}

}  // namespace Platform::Http::Detail

namespace Platform::Http {

void SetTrustedRootsFile(const std::string& path) {
    Detail::RootsSetting& roots = Detail::Roots();
    std::lock_guard<std::mutex> lock(roots.mutex);
    roots.path = path;
}

}  // namespace Platform::Http
