// Certificate contexts and hashes with the CryptoAPI vocabulary the connection and the trust
// manager use. A context is reference counted: CertDuplicateCertificateContext adds a reference
// and returns the same pointer, CertFreeCertificateContext drops one.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <array>
#include <string>

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

// CertGetNameStringW types and flags.
#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define CERT_NAME_DNS_TYPE 6
#define CERT_NAME_ISSUER_FLAG 0x1

#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_ORGANIZATION_NAME "2.5.4.10"

typedef unsigned int ALG_ID;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
#define CALG_SHA1 0x00008004
#define CALG_SHA_256 0x0000800c
#define CALG_MD5 0x00008003

struct CRYPT_INTEGER_BLOB {
    DWORD cbData;
    BYTE* pbData;
};

// The parts of CERT_INFO the system reads; the names are rendered text rather than encoded blobs.
struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;
    FILETIME NotBefore;
    FILETIME NotAfter;
};
typedef CERT_INFO* PCERT_INFO;

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    void* hCertStore;
};
typedef CERT_CONTEXT* PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

// Parses a DER certificate; null when the bytes are not one whole certificate.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded, DWORD cbCertEncoded);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

// Windows semantics: returns the number of characters including the terminator; with a null
// buffer or cchName 0 only the needed size; an absent name gives the empty string (1).
// For CERT_NAME_ATTR_TYPE, pvTypePara is the attribute OID as narrow text (szOID_*).
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString);

// Hashes encoded bytes (CALG_SHA1, CALG_SHA_256, CALG_MD5). With a null pbComputedHash only the
// size is returned; a buffer that is too small fails with ERROR_MORE_DATA.
BOOL CryptHashCertificate(HCRYPTPROV_LEGACY hCryptProv, ALG_ID Algid, DWORD dwFlags, const BYTE* pbEncoded,
                          DWORD cbEncoded, BYTE* pbComputedHash, DWORD* pcbComputedHash);

namespace Platform {

typedef std::array<BYTE, 20> CertFingerprint;

// SHA-1 over the certificate's DER encoding; all zero for a null context.
CertFingerprint CertSha1(PCCERT_CONTEXT pCert);

// Upper-case hexadecimal of a fingerprint, 40 characters, no separators.
std::wstring FingerprintToHex(const CertFingerprint& fp);

// A readable multi-line description (subject, issuer, validity, SHA-1) for dialogs and logs.
std::wstring DescribeCertificate(PCCERT_CONTEXT pCert);

}  // namespace Platform
