// Sign-on without a password: single sign-on with a Negotiate (SPNEGO) token, and the client
// certificate's sign-on that redirects every connection to another port.
#include "Ostrel/Rpc/Session/UserSession.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cwctype>

#include "Ostrel/Rpc/Session/UserSessionInternal.h"
#include "Ostrel/Settings/ProfileStore.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Sspi/Sspi.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

using namespace Platform::Sspi;

constexpr const wchar_t* kSpnegoPath = L"/service/spnego";
constexpr const wchar_t* kCertAuthPath = L"/certauth";

using Platform::EqualsNoCase;

std::wstring Base64(const std::vector<BYTE>& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return Platform::FromUtf8(out);
}

}  // namespace

DWORD UserSession::GetStatus(const wchar_t* pwszUrl, const wchar_t* pwszHeaders) {
    std::string body;
    Platform::ComPtr<IStream> stream;
    bool bIsStream = false;
    try {
        m_pConnection->DoGetSynchronous(pwszUrl, pwszHeaders, body, *stream.AddressOf(), bIsStream, false, __func__,
                                        __LINE__);
        return m_pConnection->GetLastHttpStatusCode();
    } catch (const FileDownloadFaultException& e) {
        return e.StatusCode();
    } catch (const RpcException& e) {
        OSTLOG_ERROR(L"GET %s failed: %s", pwszUrl, e.ExcepText());
        return 0;
    }
}

HRESULT UserSession::SSOAuthorize() {
    Util::AutoCriticalSection lock(SessionLock());
    std::shared_ptr<ISecurityProvider> provider = Current();
    std::wstring wsUser, wsRealm;
    if (!provider->GetDomainUser(wsUser, wsRealm)) {
        OSTLOG_INFO(4, L"Not on a domain.");
        return E_FAIL;
    }
    if (!EqualsNoCase(wsUser, m_logon.wsAccount)) {
        OSTLOG_INFO(4, L"Name in profile (%s) doesn't match Windows user (%s).", m_logon.wsAccount.c_str(),
                    wsUser.c_str());
        return E_FAIL;
    }
    m_pConnection->SetCurrentUser(wsUser.c_str());

    DWORD dwStatus = GetStatus(kSpnegoPath, nullptr);
    if (dwStatus == 401)
        OSTLOG_INFO(4, L"Request resulted in expected HTTP_STATUS_DENIED.");
    if (dwStatus != 0 && m_pConnection->TestForNegotiateChallenge()) {
        std::vector<BYTE> token;
        if (!GetSPNEGOToken(wsRealm, token)) {
            OSTLOG_WARN(L"Couldn't obtain SPNEGO token.");
            return E_FAIL;
        }
        std::wstring wsHeader = L"Authorization: Negotiate " + Base64(token);
        dwStatus = GetStatus(kSpnegoPath, wsHeader.c_str());
    } else {
        OSTLOG_INFO(4, L"No Negotiate challenge. Will look for usable token in response.");
    }
    std::wstring wsToken;
    if (dwStatus == 0 || !m_pConnection->GetAuthToken(wsToken) || wsToken.empty()) {
        OSTLOG_WARN(L"Couldn't obtain Ostrel SSO auth token.");
        return E_FAIL;
    }
    OSTLOG_INFO(4, L"Got Ostrel SSO auth token.");
    m_wsSSOToken = wsToken;
    return S_OK;
}

bool UserSession::GetSPNEGOToken(const std::wstring& wsRealm, std::vector<BYTE>& token) {
    token.clear();
    std::shared_ptr<ISecurityProvider> provider = Current();
    std::vector<std::wstring> packages;
    if (provider->EnumerateSecurityPackages(packages) != SEC_E_OK) {
        OSTLOG_ERROR(L"Enumerate failed.");
        OSTLOG_ERROR(L"%s", provider->LastErrorText().c_str());
        return false;
    }
    if (std::find(packages.begin(), packages.end(), kNegotiatePackage) == packages.end()) {
        OSTLOG_ERROR(L"Negotiate not present.");
        return false;
    }
    CredHandle credential;
    if (provider->AcquireCredentialsHandle(kNegotiatePackage, &credential) != SEC_E_OK) {
        OSTLOG_ERROR(L"Failed to get Negotiate handle.");
        OSTLOG_ERROR(L"%s", provider->LastErrorText().c_str());
        return false;
    }
    std::wstring wsSpn = L"HTTP/" + m_logon.wsServer + L"@" + wsRealm;
    OSTLOG_INFO(4, L"SPN: %s", wsSpn.c_str());
    CtxtHandle context;
    SECURITY_STATUS status = provider->InitializeSecurityContext(credential, wsSpn, &context, token);
    if ((status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) || token.empty()) {
        OSTLOG_ERROR(L"Failed to get SPNEGO token. Error=%d", static_cast<int>(status));
        OSTLOG_ERROR(L"%s", provider->LastErrorText().c_str());
        token.clear();
    }
    if (context.ullId && (status = provider->DeleteSecurityContext(&context)) != SEC_E_OK)
        OSTLOG_ERROR(L"DeleteSecurityContext failed. Error=%d", static_cast<int>(status));
    if ((status = provider->FreeCredentialsHandle(&credential)) != SEC_E_OK)
        OSTLOG_ERROR(L"FreeCredentialsHandle failed. Error=%d", static_cast<int>(status));
    return !token.empty();
}

HRESULT UserSession::CertAuth() {
    Util::AutoCriticalSection lock(SessionLock());
    m_pConnection->SetNeedsCertAuth(1);
    DWORD dwStatus = GetStatus(kCertAuthPath, nullptr);
    std::wstring wsToken;
    DWORD dwPort = 0;
    if (dwStatus < 300 || dwStatus >= 400) {
        OSTLOG_ERROR(L"CertAuth didn't return expected redirect.");
    } else if (!m_pConnection->GetAuthToken(wsToken) || wsToken.empty()) {
        OSTLOG_ERROR(L"Couldn't obtain certauth token.");
    } else if (m_pConnection->GetRedirectPort(dwPort)) {
        m_wsAuthToken = wsToken;
        m_dwRedirectPort = dwPort;
        OSTLOG_INFO(1, L"Successfully read redirect port (%d) and token.", static_cast<int>(dwPort));
        ConnectionMgr::Get().RedirectAll(dwPort);
        Mapi::FixFBUrl(static_cast<int>(dwPort), m_logon.useSSL, m_logon.wsServer.c_str(), m_wsAuthToken.c_str());
        return S_OK;
    }
    m_pConnection->Disconnect();
    return E_FAIL;
}

void UserSession::RemoveRedirect() {
    if (!m_dwRedirectPort)
        return;
    m_pConnection->Disconnect();
    m_pConnection->SetPort(m_logon.dwPort);
    OSTLOG_INFO(1, L"Redirect (port %d) removed prior to reauth.", static_cast<int>(m_dwRedirectPort));
    m_dwRedirectPort = 0;
}

}  // namespace Ostrel::Rpc
