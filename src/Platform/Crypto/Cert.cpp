#include "Platform/Crypto/Cert.h"

#include "Platform/Base/HResult.h"
#include "Platform/Base/Utf.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The public CERT_CONTEXT must come first so that a PCCERT_CONTEXT converts back to the holder.
struct CertHolder {
    CERT_CONTEXT ctx{};
    CERT_INFO info{};
    std::vector<BYTE> der;
    std::vector<BYTE> serial;
    X509* x509 = nullptr;
    std::atomic<int> refs{1};

    ~CertHolder() { X509_free(x509); }
};
static_assert(offsetof(CertHolder, ctx) == 0);

CertHolder* Holder(PCCERT_CONTEXT p) {
    return reinterpret_cast<CertHolder*>(const_cast<CERT_CONTEXT*>(p));
}

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDelta = 116444736000000000LL;

FILETIME Asn1TimeToFileTime(const ASN1_TIME* t) {
    FILETIME ft{};
    struct tm tmv {};
    if (!t || ASN1_TIME_to_tm(t, &tmv) != 1)
        return ft;
    int64_t secs = timegm(&tmv);
    int64_t v = secs * 10000000LL + kEpochDelta;
    if (v < 0)
        v = 0;
    ft.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFF);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
    return ft;
}

std::wstring NameEntry(const X509_NAME* name, int nid) {
    int idx = X509_NAME_get_index_by_NID(name, nid, -1);
    if (idx < 0)
        return {};
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, idx);
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
    if (len < 0)
        return {};
    std::wstring out = Platform::FromUtf8(std::string_view(reinterpret_cast<char*>(utf8), len));
    OPENSSL_free(utf8);
    return out;
}

std::wstring OneLine(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::wstring out = Platform::FromUtf8(std::string_view(data, len > 0 ? len : 0));
    BIO_free(bio);
    return out;
}

// First dNSName of the subject alternative names, else empty.
std::wstring FirstDnsName(X509* x509) {
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x509, NID_subject_alt_name, nullptr, nullptr));
    if (!names)
        return {};
    std::wstring out;
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && out.empty(); ++i) {
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
        if (gn->type == GEN_DNS) {
            const ASN1_IA5STRING* s = gn->d.dNSName;
            out = Platform::FromUtf8(
                std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), ASN1_STRING_length(s)));
        }
    }
    GENERAL_NAMES_free(names);
    return out;
}

std::wstring NameOf(X509* x509, DWORD type, DWORD flags, const void* typePara) {
    const X509_NAME* name = (flags & CERT_NAME_ISSUER_FLAG) ? X509_get_issuer_name(x509) : X509_get_subject_name(x509);
    switch (type) {
        case CERT_NAME_ATTR_TYPE: {
            if (!typePara)
                return {};
            int nid = OBJ_txt2nid(static_cast<const char*>(typePara));
            return nid == NID_undef ? std::wstring() : NameEntry(name, nid);
        }
        case CERT_NAME_RDN_TYPE:
            return OneLine(name);
        case CERT_NAME_DNS_TYPE: {
            std::wstring dns = (flags & CERT_NAME_ISSUER_FLAG) ? std::wstring() : FirstDnsName(x509);
            return dns.empty() ? NameEntry(name, NID_commonName) : dns;
        }
        case CERT_NAME_EMAIL_TYPE:
            return NameEntry(name, NID_pkcs9_emailAddress);
        case CERT_NAME_SIMPLE_DISPLAY_TYPE:
        case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
            // Windows falls back from the common name to the organisational names, then the e-mail.
            for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
                std::wstring v = NameEntry(name, nid);
                if (!v.empty())
                    return v;
            }
            return {};
        }
        default:
            return {};
    }
}

}  // namespace

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded, DWORD cbCertEncoded) {
    if (!pbCertEncoded || cbCertEncoded == 0)
        return nullptr;
    const unsigned char* p = pbCertEncoded;
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(cbCertEncoded));
    if (!x509)
        return nullptr;
    if (p != pbCertEncoded + cbCertEncoded) {  // trailing bytes: not one whole certificate
        X509_free(x509);
        return nullptr;
    }
    auto h = std::make_unique<CertHolder>();
    h->x509 = x509;
    h->der.assign(pbCertEncoded, pbCertEncoded + cbCertEncoded);
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x509);
    // CryptoAPI keeps the serial number little-endian.
    h->serial.assign(ASN1_STRING_get0_data(serial), ASN1_STRING_get0_data(serial) + ASN1_STRING_length(serial));
    std::reverse(h->serial.begin(), h->serial.end());
    h->info.dwVersion = static_cast<DWORD>(X509_get_version(x509));
    h->info.SerialNumber.cbData = static_cast<DWORD>(h->serial.size());
    h->info.SerialNumber.pbData = h->serial.data();
    h->info.NotBefore = Asn1TimeToFileTime(X509_get0_notBefore(x509));
    h->info.NotAfter = Asn1TimeToFileTime(X509_get0_notAfter(x509));
    h->ctx.dwCertEncodingType = dwCertEncodingType ? dwCertEncodingType : X509_ASN_ENCODING;
    h->ctx.pbCertEncoded = h->der.data();
    h->ctx.cbCertEncoded = cbCertEncoded;
    h->ctx.pCertInfo = &h->info;
    return &h.release()->ctx;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext)
        Holder(pCertContext)->refs.fetch_add(1, std::memory_order_relaxed);
    return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext && Holder(pCertContext)->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete Holder(pCertContext);
    return TRUE;
}

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                         LPWSTR pszNameString, DWORD cchNameString) {
    std::wstring name = pCertContext ? NameOf(Holder(pCertContext)->x509, dwType, dwFlags, pvTypePara) : std::wstring();
    DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (!pszNameString || cchNameString == 0)
        return needed;
    // Windows truncates to the buffer and still terminates it.
    DWORD n = std::min<DWORD>(needed - 1, cchNameString - 1);
    std::wmemcpy(pszNameString, name.data(), n);
    pszNameString[n] = L'\0';
    return n + 1;
}

BOOL CryptHashCertificate(HCRYPTPROV_LEGACY, ALG_ID Algid, DWORD, const BYTE* pbEncoded, DWORD cbEncoded,
                          BYTE* pbComputedHash, DWORD* pcbComputedHash) {
    const EVP_MD* md = Algid == CALG_SHA1      ? EVP_sha1()
                       : Algid == CALG_SHA_256 ? EVP_sha256()
                       : Algid == CALG_MD5     ? EVP_md5()
                                               : nullptr;
    if (!md || !pcbComputedHash || (!pbEncoded && cbEncoded))
        return FALSE;
    DWORD size = static_cast<DWORD>(EVP_MD_get_size(md));
    if (!pbComputedHash) {
        *pcbComputedHash = size;
        return TRUE;
    }
    if (*pcbComputedHash < size) {
        *pcbComputedHash = size;
        return FALSE;
    }
    unsigned int len = 0;
    if (EVP_Digest(pbEncoded, cbEncoded, pbComputedHash, &len, md, nullptr) != 1)
        return FALSE;
    *pcbComputedHash = len;
    return TRUE;
}

namespace Platform {

CertFingerprint CertSha1(PCCERT_CONTEXT pCert) {
    CertFingerprint fp{};
    if (pCert) {
        DWORD cb = static_cast<DWORD>(fp.size());
        CryptHashCertificate(0, CALG_SHA1, 0, pCert->pbCertEncoded, pCert->cbCertEncoded, fp.data(), &cb);
    }
    return fp;
}

std::wstring FingerprintToHex(const CertFingerprint& fp) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring out;
    out.reserve(fp.size() * 2);
    for (BYTE b : fp) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

std::wstring DescribeCertificate(PCCERT_CONTEXT pCert) {
    if (!pCert)
        return {};
    X509* x509 = Holder(pCert)->x509;
    auto timeText = [](const ASN1_TIME* t) {
        BIO* bio = BIO_new(BIO_s_mem());
        if (!bio)
            return std::wstring();
        ASN1_TIME_print(bio, t);
        char* data = nullptr;
        long len = BIO_get_mem_data(bio, &data);
        std::wstring out = Platform::FromUtf8(std::string_view(data, len > 0 ? len : 0));
        BIO_free(bio);
        return out;
    };
    std::wstring out;
    out += L"Subject: " + OneLine(X509_get_subject_name(x509)) + L"\n";
    out += L"Issuer: " + OneLine(X509_get_issuer_name(x509)) + L"\n";
    out += L"Valid from: " + timeText(X509_get0_notBefore(x509)) + L"\n";
    out += L"Valid to: " + timeText(X509_get0_notAfter(x509)) + L"\n";
    out += L"SHA-1: " + FingerprintToHex(CertSha1(pCert)) + L"\n";
    return out;
}

}  // namespace Platform
