#include "Certificate.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace OstrelServer {

namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string("certificate: ") + what);
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string out(data, len > 0 ? static_cast<size_t>(len) : 0);
    BIO_free(bio);
    return out;
}

}  // namespace

void WritePemFile(const std::string& path, const std::string& text, mode_t mode) {
    // Never through a link (the file may be named in a shared folder such as /tmp), and the mode is
    // set before the first byte, so a private key is never readable in a file that existed already.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        Fail(("cannot write " + path + ": " + std::strerror(errno)).c_str());
    struct stat st {};
    bool bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && ::fchmod(fd, mode) == 0 &&
               ::ftruncate(fd, 0) == 0;
    for (size_t done = 0; bOk && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        bOk = n > 0;
        done += bOk ? static_cast<size_t>(n) : 0;
    }
    bOk = ::close(fd) == 0 && bOk;
    if (!bOk)
        Fail(("cannot write " + path + " (not a regular file of this user, or the write failed)").c_str());
}

namespace {}  // namespace

Certificate::Certificate() = default;

Certificate::~Certificate() {
    X509_free(m_pCert);
    EVP_PKEY_free(m_pKey);
}

Certificate::Certificate(const Certificate& other) {
    *this = other;
}

Certificate& Certificate::operator=(const Certificate& other) {
    if (this != &other) {
        if (other.m_pCert)
            X509_up_ref(other.m_pCert);
        if (other.m_pKey)
            EVP_PKEY_up_ref(other.m_pKey);
        X509_free(m_pCert);
        EVP_PKEY_free(m_pKey);
        m_pCert = other.m_pCert;
        m_pKey = other.m_pKey;
    }
    return *this;
}

Certificate::Certificate(Certificate&& other) noexcept {
    *this = std::move(other);
}

Certificate& Certificate::operator=(Certificate&& other) noexcept {
    if (this != &other) {
        X509_free(m_pCert);
        EVP_PKEY_free(m_pKey);
        m_pCert = other.m_pCert;
        m_pKey = other.m_pKey;
        other.m_pCert = nullptr;
        other.m_pKey = nullptr;
    }
    return *this;
}

Certificate Certificate::Generate(const CertificateOptions& options, const Certificate* issuer) {
    Certificate out;
    out.m_pKey = EVP_EC_gen("P-256");
    if (!out.m_pKey)
        Fail("key generation failed");
    out.m_pCert = X509_new();
    if (!out.m_pCert)
        Fail("out of memory");
    X509* cert = out.m_pCert;
    X509_set_version(cert, 2);

    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        Fail("no random serial");
    serial[0] &= 0x7F;  // keep the serial positive
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    if (!bn || !BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert))) {
        BN_free(bn);
        Fail("serial");
    }
    BN_free(bn);

    X509_gmtime_adj(X509_getm_notBefore(cert), options.validFromSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert), options.validToSeconds);
    X509_set_pubkey(cert, out.m_pKey);

    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Ostrel Simulator"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(options.commonName.c_str()), -1, -1, 0);
    X509* issuerCert = issuer ? issuer->m_pCert : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));

    std::string san;
    for (const auto& dns : options.dnsNames)
        san += (san.empty() ? "" : ",") + ("DNS:" + dns);
    for (const auto& ip : options.ipAddresses)
        san += (san.empty() ? "" : ",") + ("IP:" + ip);
    bool ok = true;
    if (options.isCA) {
        ok = AddExtension(cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE") &&
             AddExtension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = AddExtension(cert, issuerCert, NID_basic_constraints, "CA:FALSE") &&
             AddExtension(cert, issuerCert, NID_ext_key_usage, "serverAuth") &&
             (san.empty() || AddExtension(cert, issuerCert, NID_subject_alt_name, san));
    }
    ok = ok && AddExtension(cert, issuerCert, NID_subject_key_identifier, "hash");
    if (issuer)
        ok = ok && AddExtension(cert, issuerCert, NID_authority_key_identifier, "keyid:always");
    if (!ok)
        Fail("extension");
    if (X509_sign(cert, issuer ? issuer->m_pKey : out.m_pKey, EVP_sha256()) <= 0)
        Fail("signing failed");
    return out;
}

Certificate Certificate::Load(const std::string& certPemPath, const std::string& keyPemPath) {
    Certificate out;
    FILE* f = std::fopen(certPemPath.c_str(), "rb");
    if (!f)
        Fail("cannot open certificate file");
    out.m_pCert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    f = std::fopen(keyPemPath.c_str(), "rb");
    if (!f)
        Fail("cannot open key file");
    out.m_pKey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!out.m_pCert || !out.m_pKey)
        Fail("PEM file does not hold a certificate and key");
    if (X509_check_private_key(out.m_pCert, out.m_pKey) != 1)
        Fail("key does not match the certificate");
    return out;
}

std::string Certificate::CertPem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio || !m_pCert || PEM_write_bio_X509(bio, m_pCert) != 1) {
        BIO_free(bio);
        return {};
    }
    return BioText(bio);
}

std::string Certificate::KeyPem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio || !m_pKey || PEM_write_bio_PrivateKey(bio, m_pKey, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        BIO_free(bio);
        return {};
    }
    return BioText(bio);
}

std::vector<unsigned char> Certificate::CertDer() const {
    std::vector<unsigned char> out;
    int len = m_pCert ? i2d_X509(m_pCert, nullptr) : 0;
    if (len <= 0)
        return out;
    out.resize(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d_X509(m_pCert, &p);
    return out;
}

std::vector<unsigned char> Certificate::Sha1() const {
    std::vector<unsigned char> out(20);
    unsigned int len = 0;
    if (!m_pCert || X509_digest(m_pCert, EVP_sha1(), out.data(), &len) != 1)
        return {};
    out.resize(len);
    return out;
}

void Certificate::WritePem(const std::string& certPemPath, const std::string& keyPemPath) const {
    WritePemFile(certPemPath, CertPem(), 0644);
    WritePemFile(keyPemPath, KeyPem(), 0600);
}

}  // namespace OstrelServer
