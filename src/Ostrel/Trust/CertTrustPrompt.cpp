#include "Ostrel/Trust/CertTrustPrompt.h"

#include <ctime>

#include "Platform/Http/WinHttp.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

namespace {

struct IssueText {
    DWORD dwFlag;
    const wchar_t* pwszText;
};

constexpr IssueText kIssueTexts[] = {
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, L"Whether the certificate was revoked could not be checked."},
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, L"The certificate is damaged."},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, L"The certificate was revoked by its issuer."},
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, L"The certificate was not issued by a trusted authority."},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, L"The certificate was issued for another server name."},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, L"The certificate has expired or is not yet valid."},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, L"The certificate is not meant for identifying a server."},
    {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, L"The secure channel could not be set up."},
};

std::wstring CertName(PCCERT_CONTEXT pCert, DWORD dwFlags) {
    DWORD cch = CertGetNameStringW(pCert, CERT_NAME_RDN_TYPE, dwFlags, nullptr, nullptr, 0);
    std::wstring name(cch, L'\0');
    CertGetNameStringW(pCert, CERT_NAME_RDN_TYPE, dwFlags, nullptr, name.data(), cch);
    name.resize(cch ? cch - 1 : 0);
    return name;
}

std::wstring UtcText(const FILETIME& ft) {
    ULONGLONG ull = Util::FileTimeToUInt64(ft);
    if (ull < Util::kFileTimeUnixEpoch)
        return L"(before 1970)";
    std::time_t t = static_cast<std::time_t>((ull - Util::kFileTimeUnixEpoch) / Util::kFileTimeTicksPerSecond);
    std::tm tm{};
    wchar_t text[40] = L"?";
    if (gmtime_r(&t, &tm))
        std::wcsftime(text, 40, L"%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

}  // namespace

std::vector<std::wstring> CertIssueTexts(DWORD dwIssues) {
    std::vector<std::wstring> texts;
    for (const IssueText& issue : kIssueTexts)
        if (dwIssues & issue.dwFlag)
            texts.emplace_back(issue.pwszText);
    if (texts.empty())
        texts.emplace_back(L"The certificate could not be verified.");
    return texts;
}

std::wstring ColonHex(const BYTE* pb, size_t cb) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring text;
    for (size_t i = 0; i < cb; ++i) {
        if (i)
            text += L':';
        text += kHex[pb[i] >> 4];
        text += kHex[pb[i] & 0xF];
    }
    return text;
}

Platform::Ui::CertTrustPrompt BuildCertTrustPrompt(PCCERT_CONTEXT pCert, DWORD dwIssues, const std::wstring& wsServer,
                                                   bool bExpired, bool bNewCert) {
    Platform::Ui::CertTrustPrompt prompt;
    prompt.wsCaption = L"The identity of server '" + wsServer + L"' cannot be verified.";
    if (bNewCert)
        prompt.wsMessage = L"The server presents a different certificate from the one you trusted.";
    else if (bExpired)
        prompt.wsMessage = L"The time you chose to trust this server's certificate has run out.";
    prompt.wsServer = wsServer;
    prompt.problems = CertIssueTexts(dwIssues);
    if (!pCert)
        return prompt;
    prompt.wsSubject = CertName(pCert, 0);
    prompt.wsIssuer = CertName(pCert, CERT_NAME_ISSUER_FLAG);
    if (pCert->pCertInfo)
        prompt.wsValidity =
            L"from " + UtcText(pCert->pCertInfo->NotBefore) + L" to " + UtcText(pCert->pCertInfo->NotAfter);
    Platform::CertFingerprint sha1 = Platform::CertSha1(pCert);
    prompt.wsSha1 = ColonHex(sha1.data(), sha1.size());
    BYTE sha256[32] = {};
    DWORD cb = sizeof sha256;
    if (CryptHashCertificate(0, CALG_SHA_256, 0, pCert->pbCertEncoded, pCert->cbCertEncoded, sha256, &cb))
        prompt.wsSha256 = ColonHex(sha256, cb);
    return prompt;
}

}  // namespace Ostrel::Mapi
