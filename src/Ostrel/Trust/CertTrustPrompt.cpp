#include "Ostrel/Trust/CertTrustPrompt.h"

#include <ctime>
#include <iterator>

#include "Platform/Http/WinHttp.h"
#include "Util/Text/Localized.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

namespace {

struct IssueText {
    DWORD dwFlag;
    const char* pszKey;
};

constexpr IssueText kIssueTexts[] = {
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, "DLG_CERT_TRUST_LBSTRING_REVOKE_CHECK_FAILED"},
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "DLG_CERT_TRUST_LBSTRING_CORRUPT"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "DLG_CERT_TRUST_LBSTRING_REVOKED"},
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "DLG_CERT_TRUST_LBSTRING_UNKNOWN_CA"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "DLG_CERT_TRUST_LBSTRING_INVALID_CN"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "DLG_CERT_TRUST_LBSTRING_INVALID_DATE"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, "DLG_CERT_TRUST_LBSTRING_WRONG_USAGE"},
    {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, "DLG_CERT_TRUST_LBSTRING_SECURITY_CHANNEL_ERROR"},
};

// The running operation by the connection's purpose, 0 to 5.
constexpr const char* kOperationKeys[] = {
    "DLG_CERT_TRUST_LBL_LIST",         "DLG_CERT_TRUST_LBL_LIST_SUBMIT",  "DLG_CERT_TRUST_LBL_LIST_SYNC",
    "DLG_CERT_TRUST_LBL_LIST_GALSYNC", "DLG_CERT_TRUST_LBL_LIST_WAITSET", "DLG_CERT_TRUST_LBL_LIST_AUTOUPGRADE",
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
            texts.push_back(Util::GetLocalizedString(issue.pszKey));
    if (texts.empty())
        texts.push_back(Util::GetLocalizedString("DLG_CERT_TRUST_LBSTRING_CORRUPT"));
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
                                                   int iOperation, bool bTrustable, bool bExpired, bool bNewCert) {
    Platform::Ui::CertTrustPrompt prompt;
    prompt.wsCaption = Util::GetLocalizedString("DLG_CERT_TRUST_TITLE");
    const bool bKnown = iOperation >= 0 && iOperation < static_cast<int>(std::size(kOperationKeys));
    prompt.wsMessage = Util::GetLocalizedString(kOperationKeys[bKnown ? iOperation : 0]);
    if (bNewCert)
        prompt.wsMessage += L" " + Util::GetLocalizedString("DLG_CERT_TRUST_LBL_LIST_ADDITIONAL_NEW_CERT");
    else if (bExpired)
        prompt.wsMessage += L" " + Util::GetLocalizedString("DLG_CERT_TRUST_LBL_LIST_ADDITIONAL_TIME_EXPIRED");
    prompt.wsMessage += L"\n" + Util::GetLocalizedString(bTrustable ? "DLG_CERT_TRUST_LBL_WARNING"
                                                                    : "DLG_CERT_TRUST_LBL_WARNING_CANT_TRUST");
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
