// Server certificates for the simulator: generated at start (self-signed, or signed by a test CA)
// or loaded from PEM files.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace OstrelServer {

struct CertificateOptions {
    std::string commonName = "localhost";
    std::vector<std::string> dnsNames{"localhost"};
    std::vector<std::string> ipAddresses{"127.0.0.1"};
    // Validity relative to now, in seconds; a negative end makes an expired certificate.
    long validFromSeconds = -3600;
    long validToSeconds = 365L * 24 * 3600;
    bool isCA = false;
};

class Certificate {
public:
    Certificate();
    ~Certificate();
    Certificate(const Certificate&);
    Certificate& operator=(const Certificate&);
    Certificate(Certificate&&) noexcept;
    Certificate& operator=(Certificate&&) noexcept;

    // A new EC P-256 key and certificate; signed by `issuer` when given, else self-signed.
    // Throws std::runtime_error when OpenSSL fails.
    static Certificate Generate(const CertificateOptions& options, const Certificate* issuer = nullptr);
    // Throws std::runtime_error when a file cannot be read or does not hold what is expected.
    static Certificate Load(const std::string& certPemPath, const std::string& keyPemPath);

    bool IsValid() const { return m_pCert != nullptr; }
    X509* Cert() const { return m_pCert; }
    EVP_PKEY* Key() const { return m_pKey; }

    std::string CertPem() const;
    std::string KeyPem() const;
    std::vector<unsigned char> CertDer() const;
    std::vector<unsigned char> Sha1() const;
    // Writes the PEM texts; the key file gets mode 0600. Throws on failure.
    void WritePem(const std::string& certPemPath, const std::string& keyPemPath) const;

private:
    X509* m_pCert = nullptr;
    EVP_PKEY* m_pKey = nullptr;
};

// Writes a PEM text to `path` with `mode`: never through a symbolic link, only into a regular file
// of this user. Throws std::runtime_error on failure.
void WritePemFile(const std::string& path, const std::string& text, mode_t mode);

}  // namespace OstrelServer
