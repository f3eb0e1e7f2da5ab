// Sign-on: single sign-on first, then credentials with the two-factor, password and password
// change prompts; token validation, invalidation and the token itself.
#include "Ostrel/Rpc/Session/UserSession.h"

#include <stdexcept>

#include "Ostrel/Rpc/Session/Auth.h"
#include "Ostrel/Rpc/Session/UserSessionInternal.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Host/Host.h"
#include "Platform/Ui/Ui.h"
#include "Util/Log/Log.h"
#include "Util/Log/LogFormat.h"
#include "Util/Text/Localized.h"
#include "Util/Text/XmlUtil.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Rpc {

namespace {

constexpr ULONGLONG kInvalidationIntervalMs = 30000;
constexpr int kNoOpRetries = 4;
constexpr DWORD kFirstNoOpWaitMs = 1000;

std::wstring L10n(const char* pszKey) {
    return Util::GetLocalizedString(pszKey);
}

// The window prompts and boxes belong to: the one the host gave, else the client's.
HWND UiOwner() {
    HWND hwnd = UserSession::GetUIParam();
    return hwnd ? hwnd : Platform::Host::GetClientWindow();
}

std::wstring ReadText(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    std::wstring text;
    wchar_t* pwszValue = nullptr;
    if (pDocument && Util::XmlUtil::FindNodeValue(pDocument, pwszXPath, &pwszValue) && pwszValue)
        text = pwszValue;
    Util::XmlUtil::Free(pwszValue);
    return text;
}

}  // namespace

std::unique_ptr<Response> UserSession::Send(Connection& connection, Request& request, bool bLogBody) {
    connection.SetShouldLogBody(bLogBody);
    IXMLDOMDocument2* pDocument = nullptr;
    try {
        connection.SendRequestSynchronous(&request, pDocument, __func__, __LINE__);
    } catch (...) {
        connection.SetShouldLogBody(true);
        throw;
    }
    connection.SetShouldLogBody(true);
    Platform::ComPtr<IXMLDOMDocument2> document;
    document.Attach(pDocument);
    return std::unique_ptr<Response>(Response::Manager::NewResponse(document.Get()));
}

// ---- Tokens ----

std::wstring UserSession::AuthToken() {
    Util::AutoCriticalSection lock(SessionLock());
    if (m_wsAuthToken.empty()) {
        HRESULT hr = Authenticate();
        if (FAILED(hr) || m_wsAuthToken.empty()) {
            if (hr == kUserCancel)
                OSTLOG_WARN(L"AuthToken() cancelled");
            else
                OSTLOG_ERROR(L"AuthToken() failed, %08X", static_cast<unsigned>(hr));
            throw WinHttpException(ERROR_WINHTTP_CANNOT_CONNECT, 0);
        }
    }
    return m_wsAuthToken;
}

void UserSession::InvalidateAuthToken(int expired) {
    Util::AutoCriticalSection lock(SessionLock());
    ULONGLONG ullNow = Util::CurrentClock().GetTickCount64();
    if (!m_oullLastInvalidation || ullNow - *m_oullLastInvalidation >= kInvalidationIntervalMs) {
        OSTLOG_INFO(1, L"Invalidating the auth token (%s)", expired ? L"expired" : L"rejected");
        m_oullLastInvalidation = ullNow;
        m_wsAuthToken.clear();
        if (!Mapi::IsBESOSN() && !Mapi::StorePassword()) {
            m_wsPassword.clear();
            m_bPasswordDropped = true;
        }
        m_bLastInvalidationExpired = expired != 0;
        m_bInfoFetched = false;
        HRESULT hr = Authenticate();
        if (FAILED(hr))
            OSTLOG_ERROR(L"Signing on again failed, %08X", static_cast<unsigned>(hr));
    } else {
        OSTLOG_INFO(4, L"The token was renewed %d ms ago; not signing on again",
                    static_cast<int>(ullNow - *m_oullLastInvalidation));
    }
    if (m_wsAuthToken.empty())
        throw WinHttpException(ERROR_WINHTTP_CANNOT_CONNECT, 0);
}

bool UserSession::GotAuthToken() {
    Util::AutoCriticalSection lock(SessionLock());
    return !m_wsAuthToken.empty();
}

std::wstring UserSession::SessionId() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_wsSessionId;
}

std::wstring UserSession::LifeTime() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_wsLifeTime;
}

std::wstring UserSession::TrustedToken() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_wsTrustedToken;
}

bool UserSession::LastInvalidationExpired() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_bLastInvalidationExpired;
}

int UserSession::GetAuthState() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_iAuthState;
}

int UserSession::GetAuthStatus() {
    auto session = GetInstance();
    return session ? session->GetAuthState() : kAuthStateNone;
}

bool UserSession::GotServerCertError() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_bGotServerCertError;
}

HRESULT UserSession::WaitForValidToken() {
    Util::AutoCriticalSection lock(SessionLock());
    DWORD dwWait = kFirstNoOpWaitMs;
    for (int retry = 0;; ++retry) {
        std::unique_ptr<Response> response;
        try {
            NoOpRequest noOp;
            response = Send(*SignOnConnection(), noOp);
        } catch (const RpcException& e) {
            OSTLOG_ERROR(L"Err on NoOp request.");
            OSTLOG_ERROR(L"NoOpRequest: %s", e.ExcepText());
            return E_FAIL;
        } catch (const std::exception& e) {
            OSTLOG_ERROR(L"Err on NoOp request.");
            OSTLOG_ERROR(L"NoOpRequest: %hs", e.what());
            return E_FAIL;
        }
        if (!dynamic_cast<SoapFaultResponse*>(response.get()))
            return S_OK;
        if (!dynamic_cast<ServiceException_AUTH_EXPIRED*>(response.get()) || retry == kNoOpRetries) {
            OSTLOG_ERROR(L"Err on NoOp request.");
            return E_FAIL;
        }
        // A token the server has only just issued may not have reached every server yet.
        Util::CurrentClock().Sleep(dwWait);
        dwWait *= 2;
        OSTLOG_INFO(1, L"Auth expired - retrying (%d).", retry + 1);
    }
}

// ---- Sign-on ----

HRESULT UserSession::Authenticate() {
    Util::AutoCriticalSection lock(SessionLock());
    OSTLOG_INFO(1, L"Auth '%s', %s:%d, %s...", m_logon.wsAccount.c_str(), m_logon.wsServer.c_str(),
                static_cast<int>(m_logon.dwPort), m_logon.useSSL ? L"SECURE" : L"INSECURE");
    RemoveRedirect();
    m_wsAuthToken.clear();

    HRESULT hr = E_FAIL;
    if (!IsAdminMode() && m_pConnection) {
        OSTLOG_INFO(1, L"Attempting SSO authorization.");
        if (SUCCEEDED(SSOAuthorize())) {
            m_pConnection->SetSSO(1);
            hr = Auth();
            if (SUCCEEDED(hr))
                OSTLOG_INFO(1, L"SSO authorization succeeded.");
        }
        if (FAILED(hr))
            m_pConnection->SetSSO(0);
    }
    if (FAILED(hr))
        hr = Auth();
    if (FAILED(hr))
        return hr;

    hr = WaitForValidToken();
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"New token is invalid.");
        m_wsAuthToken.clear();
        return hr;
    }
    m_iAuthState = kAuthStateAuthenticated;
    m_bGotServerCertError = false;
    m_bPasswordDropped = false;
    SharePassword();
    GetInfo();
    OSTLOG_INFO(1, L"...Auth succeeded %s", m_logon.wsAccount.c_str());
    return S_OK;
}

std::unique_ptr<Request> UserSession::BuildAuthRequest() {
    if (IsAdminMode())
        return std::make_unique<AdminAuthRequest>(m_logon.wsAccount.c_str(), m_wsPassword.c_str(),
                                                  m_logon.wsVirtualHost.c_str());
    if (m_pConnection->IsSSO())
        return std::make_unique<SSOAuthRequest>(m_wsSSOToken.c_str());
    if (m_wsPassword.empty() && m_sharedPassword.Read(m_wsProfile, m_wsPassword, m_bPasswordDropped))
        OSTLOG_INFO(4, L"Using the password another process of this profile signed on with");
    return std::make_unique<AuthRequest>(m_logon.wsAccount.c_str(), m_wsPassword.c_str(), m_logon.wsVirtualHost.c_str(),
                                         m_wsTwoFactorCode.c_str(), m_iTrustDevice, m_wsTrustedToken.c_str());
}

HRESULT UserSession::Auth() {
    Connection& connection = *SignOnConnection();
    for (;;) {
        std::unique_ptr<Response> response;
        try {
            std::unique_ptr<Request> request = BuildAuthRequest();
            // Sign-on bodies carry secrets (password, codes, device tokens) both ways.
            response = Send(connection, *request, false);
        } catch (const WinHttpException& e) {
            if (e.ExcepNum(0) == ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED)
                return CertAuth();
            OSTLOG_ERROR(L"Failed to authenticate");
            OSTLOG_ERROR(L"%s (%u)", e.ExcepText(), e.ExcepNum(0));
            if (e.ExcepNum(0) == ERROR_WINHTTP_SECURE_FAILURE)
                m_bGotServerCertError = true;
            return kNetworkError;
        } catch (const RpcException& e) {
            OSTLOG_ERROR(L"Failed to authenticate");
            OSTLOG_ERROR(L"%s: %s", e.ExcepType(), e.ExcepText());
            return kNetworkError;
        } catch (const std::exception& e) {
            OSTLOG_ERROR(L"Auth failure. Error description: '%hs'.", e.what());
            return FailWithMessage(Platform::FromUtf8(e.what()));
        }

        auto* pAuth = dynamic_cast<AuthResponse*>(response.get());
        auto* pFault = dynamic_cast<SoapFaultResponse*>(response.get());
        if (connection.IsSSO()) {
            if (pAuth && *pAuth->AuthToken())
                return ParseAuthResponse(*response);
            OSTLOG_WARN(L"SSO Auth failed for supplied token.");
            return E_FAIL;
        }
        if (pAuth && !pAuth->TwoFactorAuthRequired())
            return ParseAuthResponse(*response);

        HRESULT hr;
        if (pAuth || dynamic_cast<AccountServiceException_TWO_FACTOR_AUTH_FAILED*>(pFault)) {
            if (pAuth)
                OSTLOG_INFO(1, L"AuthRequest needs valid Two-Factor code.");
            if (!m_wsTrustedToken.empty()) {
                // The server no longer trusts this device: the token would keep the code from
                // ever being sent.
                OSTLOG_WARN(L"The trusted-device token was not accepted; it is dropped");
                m_wsTrustedToken.clear();
                Mapi::SetTrustedTokenInProfile(m_wsProfile.c_str(), L"");
            }
            hr = PromptTwoFactor();
        } else if (dynamic_cast<AccountServiceException_TWO_FACTOR_SETUP_REQUIRED*>(pFault)) {
            OSTLOG_ERROR(L"Two-factor authentication must be set up for '%s'", m_logon.wsAccount.c_str());
            if (!Platform::Host::IsEmbedded())
                Platform::Ui::Current()->MessageBox(UiOwner(), L10n("TWOFACTOR_SETUP_REQUIRED"),
                                                    L10n("TWOFACTOR_DIALOG_CAPTION"), MB_OK | MB_ICONERROR);
            m_iAuthState = kAuthStateNeedsUser;
            return kLogonFailed;
        } else if (dynamic_cast<AccountServiceException_AUTH_FAILED*>(pFault)) {
            hr = PromptPassword(*pFault);
        } else if (dynamic_cast<AccountServiceException_CHANGE_PASSWORD*>(pFault)) {
            hr = PromptNewPassword();
        } else if (dynamic_cast<AccountServiceException_MAINTENANCE_MODE*>(pFault)) {
            // The account or the server is unavailable for now; like a transport failure, it
            // passes without the user's help.
            OSTLOG_ERROR(L"Failed to authenticate");
            OSTLOG_ERROR(L"%s (%s)", pFault->ErrorCode(), pFault->ExcepText());
            return kNetworkError;
        } else {
            OSTLOG_ERROR(L"Unexpected answer to the sign-on of '%s': %s", m_logon.wsAccount.c_str(),
                         pFault ? pFault->ErrorCode() : L"no fault and no token");
            if (!Platform::Host::IsEmbedded())
                Platform::Ui::Current()->MessageBox(
                    UiOwner(), Util::FormatW(L10n("MBOX_INVALIDTAG").c_str(), m_logon.wsAccount.c_str()),
                    L10n("MBOX_CAPTION_ERR"), MB_OK | MB_ICONERROR);
            m_iAuthState = kAuthStateNeedsUser;
            return E_FAIL;
        }
        if (hr != S_OK)
            return hr;
    }
}

HRESULT UserSession::FailWithMessage(const std::wstring& wsText) {
    if (!Mapi::IsBESOSN() && !Platform::Host::IsEmbedded()) {
        HWND hwnd = UiOwner();
        Platform::Ui::Current()->MessageBox(hwnd, wsText, L10n("MBOX_CAPTION_ERR"), MB_OK | MB_ICONERROR);
        Platform::Host::RequestClose(hwnd);
    }
    m_iAuthState = kAuthStateNeedsUser;
    return E_FAIL;
}

HRESULT UserSession::ParseAuthResponse(Response& response) {
    IXMLDOMDocument2* pDocument = response.GetDocument();
    m_bInfoFetched = false;
    std::wstring wsToken;
    if (IsAdminMode()) {
        wsToken = ReadText(pDocument, L"//admin:authToken");
        m_wsLifeTime = ReadText(pDocument, L"//admin:lifetime");
        m_wsSessionId = ReadText(pDocument, L"//admin:sessionId");
    } else {
        auto* pAuth = dynamic_cast<AuthResponse*>(&response);
        if (pAuth) {
            wsToken = pAuth->AuthToken();
            m_wsLifeTime = pAuth->LifeTime();
            m_wsSessionId = pAuth->SessionId();
        }
        std::wstring wsTrusted = ReadText(pDocument, L"//account:trustedToken");
        if (!wsTrusted.empty()) {
            m_wsTrustedToken = wsTrusted;
            Mapi::SetTrustedTokenInProfile(m_wsProfile.c_str(), wsTrusted.c_str(), m_logon.wsServer.c_str(),
                                           m_logon.dwPort, m_logon.wsAccount.c_str());
        }
    }
    if (wsToken.empty()) {
        OSTLOG_ERROR(L"The sign-on answer carries no token");
        m_iAuthState = kAuthStateNeedsUser;
        return E_FAIL;
    }
    m_wsAuthToken = wsToken;
    // A two-factor code is good for one sign-on.
    m_wsTwoFactorCode.clear();
    m_iTrustDevice = 0;
    if (IsAdminMode())
        LookUpMailPort();
    Mapi::FixFBUrl(static_cast<int>(Port()), m_logon.useSSL, m_logon.wsServer.c_str(), m_wsAuthToken.c_str());
    return S_OK;
}

void UserSession::LookUpMailPort() {
    Connection& connection = *SignOnConnection();
    try {
        GetServerRequest request(m_logon.wsServer.c_str());
        std::unique_ptr<Response> response = Send(connection, request);
        std::wstring wsPort = ReadText(response->GetDocument(), m_logon.useSSL ? L"//admin:a[@n=\"ostrelMailSSLPort\"]"
                                                                               : L"//admin:a[@n=\"ostrelMailPort\"]");
        wchar_t* pEnd = nullptr;
        unsigned long ulPort = wsPort.empty() ? 0 : std::wcstoul(wsPort.c_str(), &pEnd, 10);
        if (dynamic_cast<SoapFaultResponse*>(response.get()) || ulPort == 0 || ulPort > 65535 || *pEnd) {
            OSTLOG_ERROR(L"Failed to retreive Mail port for user");
            return;
        }
        m_dwMailPort = static_cast<DWORD>(ulPort);
        m_pConnection->Disconnect();
        m_pConnection->SetPort(m_dwMailPort);
        OSTLOG_INFO(4, L"Mail port %d", static_cast<int>(m_dwMailPort));
    } catch (const RpcException& e) {
        OSTLOG_ERROR(L"Failed to retreive Mail port for user");
        OSTLOG_ERROR(L"GetServerRequest: %s", e.ExcepText());
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Failed to retreive Mail port for user");
        OSTLOG_ERROR(L"GetServerRequest: %hs", e.what());
    }
}

void UserSession::SharePassword() {
    if (Mapi::IsBESOSN()) {
        OSTLOG_INFO(16, L"BES - don't share");
        return;
    }
    if (m_pConnection->IsSSO()) {
        OSTLOG_INFO(16, L"SSO - don't share");
        return;
    }
    if (!m_wsPassword.empty())
        m_sharedPassword.Write(m_wsProfile, m_wsPassword);
}

// ---- Prompts ----

HRESULT UserSession::PromptTwoFactor() {
    if (!GetUIFlag()) {
        OSTLOG_ERROR(L"A two-factor code is needed, but no dialog may be shown");
        m_iAuthState = kAuthStateNeedsUser;
        return kLogonFailed;
    }
    Platform::Ui::TwoFactorPrompt prompt;
    prompt.wsCaption = L10n("TWOFACTOR_DIALOG_CAPTION");
    prompt.wsCodeLabel = L10n("TWOFACTOR_DIALOG_IDC_CODE");
    prompt.wsRememberLabel = L10n("TWOFACTOR_DIALOG_IDC_REMEMBER");
    prompt.wsOkLabel = L10n("TWOFACTOR_DIALOG_IDOK");
    prompt.wsCancelLabel = L10n("TWOFACTOR_DIALOG_IDCANCEL");
    Platform::Ui::TwoFactorAnswer answer = Platform::Ui::Current()->PromptTwoFactor(UiOwner(), prompt);
    if (answer.iResult == IDOK) {
        OSTLOG_INFO(1, L"User was prompted for 2FA code - IDOK returned - retrying Auth.");
        m_wsTwoFactorCode = answer.wsCode;
        m_iTrustDevice = answer.bRemember ? 1 : 0;
        return S_OK;
    }
    if (answer.iResult == IDCANCEL) {
        if (!Platform::Host::IsOffline()) {
            OSTLOG_INFO(1, L"User was prompted for 2FA code - IDCANCEL returned - switching Outlook offline.");
            Platform::Ui::Current()->MessageBox(UiOwner(), L10n("TWOFACTOR_SWITCHING_OFFLINE"),
                                                L10n("TWOFACTOR_DIALOG_CAPTION"), MB_OK | MB_ICONINFORMATION);
            // Offline for this library at once, however long the host takes to get there, so that
            // no request signs on again meanwhile; the host's next online report lifts it. A switch
            // the host refused leaves both online.
            if (SUCCEEDED(Platform::Host::SwitchToOffline(false)))
                ConnectionMgr::Get().NotifyOnlineOfflineTransition(0);
        } else {
            OSTLOG_INFO(1, L"User was prompted for 2FA code - IDCANCEL returned - keeping Outlook offline.");
        }
        m_iAuthState = kAuthStateNeedsUser;
        return kUserCancel;
    }
    OSTLOG_ERROR(L"Attempt to prompt for two factor code failed - %d returned", answer.iResult);
    m_iAuthState = kAuthStateNeedsUser;
    return E_FAIL;
}

HRESULT UserSession::PromptPassword(const SoapFaultResponse& fault) {
    if (!GetUIFlag()) {
        OSTLOG_ERROR(L"The server did not accept the password of '%s', and no dialog may be shown",
                     m_logon.wsAccount.c_str());
        m_iAuthState = kAuthStateNeedsUser;
        return kLogonFailed;
    }
    Platform::Ui::PasswordPrompt prompt;
    prompt.wsCaption = L10n("PASSWORD_DIALOG_CAPTION");
    prompt.wsMessage = L10n("PASSWORD_DIALOG_IDC_UNABLE") + L"\n" + L10n("PASSWORD_DIALOG_IDC_CONFIRM2");
    prompt.wsUsernameLabel = L10n("PASSWORD_DIALOG_IDC_USERNAME");
    prompt.wsPasswordLabel = L10n("PASSWORD_DIALOG_IDC_PASSWORD");
    prompt.wsOkLabel = L10n("PASSWORD_DIALOG_IDOK");
    prompt.wsCancelLabel = L10n("PASSWORD_DIALOG_IDCANCEL");
    prompt.wsUsername = m_logon.wsAccount;
    prompt.bUsernameEditable = false;
    Platform::Ui::PasswordAnswer answer = Platform::Ui::Current()->PromptPassword(UiOwner(), prompt);
    if (answer.iResult == IDOK) {
        OSTLOG_INFO(1, L"User was prompted for password - IDOK returned - retrying Auth.");
        m_wsPassword = answer.wsPassword;
        if (Mapi::StorePassword())
            Mapi::SetStoredPasswordInProfile(m_wsProfile.c_str(), m_wsPassword.c_str());
        return S_OK;
    }
    m_iAuthState = kAuthStateNeedsUser;
    if (answer.iResult == IDCANCEL) {
        OSTLOG_INFO(1, L"User was prompted for password - IDCANCEL returned - Exiting outlook.");
        return kUserCancel;
    }
    OSTLOG_ERROR(L"Attempt to prompt for password failed - %d returned (error code: %s, error text: %s)",
                 answer.iResult, fault.ErrorCode(), fault.ExcepText());
    return E_FAIL;
}

HRESULT UserSession::PromptNewPassword() {
    if (!GetUIFlag()) {
        OSTLOG_ERROR(L"The server asks for a new password of '%s', and no dialog may be shown",
                     m_logon.wsAccount.c_str());
        m_iAuthState = kAuthStateNeedsUser;
        return kLogonFailed;
    }
    Platform::Ui::NewPasswordPrompt prompt;
    prompt.wsCaption = L10n("CHANGE_PASSWORD_CAPTION");
    prompt.wsNewLabel = L10n("CHANGE_PASSWORD_IDC_NEWPASSWORD_L");
    prompt.wsConfirmLabel = L10n("CHANGE_PASSWORD_IDC_CONFIRM_L");
    prompt.wsMismatchText = L10n("CHANGE_PASSWORD_IDC_INVALID");
    prompt.wsOkLabel = L10n("CHANGE_PASSWORD_IDOK");
    prompt.wsCancelLabel = L10n("PASSWORD_DIALOG_IDCANCEL");
    Platform::Ui::NewPasswordAnswer answer = Platform::Ui::Current()->PromptNewPassword(UiOwner(), prompt);
    if (answer.iResult == IDOK) {
        OSTLOG_INFO(1, L"User was prompted for new password - IDOK returned - sending ChangePasswordRequest.");
        return ChangePassword(answer.wsNewPassword);
    }
    m_iAuthState = kAuthStateNeedsUser;
    if (answer.iResult == IDCANCEL) {
        if (m_logon.dwFlags & kLogonProfileConfiguration)
            OSTLOG_INFO(1, L"User was prompted for new password during profile configuration. IDCANCEL returned.");
        else
            OSTLOG_INFO(1, L"User was prompted for new password during signon. IDCANCEL returned.");
        return kUserCancel;
    }
    OSTLOG_ERROR(L"Attempt to prompt for a new password failed - %d returned", answer.iResult);
    return E_FAIL;
}

HRESULT UserSession::ChangePassword(const std::wstring& wsNewPassword) {
    std::unique_ptr<Response> response;
    try {
        ChangePasswordRequest request(m_logon.wsAccount.c_str(), m_wsPassword.c_str(), wsNewPassword.c_str());
        response = Send(*m_pConnection, request, false);
    } catch (const RpcException& e) {
        // The change did not reach the server (or its answer did not come back): the user asked
        // for it, so the user is told.
        std::wstring wsText = Util::FormatW(L"Ostrel Password error: %s", e.ExcepText());
        OSTLOG_ERROR(L"%s", wsText.c_str());
        Platform::Ui::Current()->MessageBox(UiOwner(), wsText, L10n("CHANGE_PASSWORD_CAPTION"), MB_OK | MB_ICONERROR);
        return kNetworkError;
    }
    if (auto* pFault = dynamic_cast<SoapFaultResponse*>(response.get())) {
        // Shown, then signed on again: the server still demands a change, so the user gets
        // another chance (or cancels).
        std::wstring wsText = Util::FormatW(L"Ostrel Password error: %s", pFault->ExcepText());
        OSTLOG_ERROR(L"%s (%s)", wsText.c_str(), pFault->ErrorCode());
        Platform::Ui::Current()->MessageBox(UiOwner(), wsText, L10n("CHANGE_PASSWORD_CAPTION"), MB_OK | MB_ICONERROR);
        return S_OK;
    }
    OSTLOG_INFO(1, L"Password of '%s' changed", m_logon.wsAccount.c_str());
    m_wsPassword = wsNewPassword;
    if (Mapi::StorePassword())
        Mapi::SetStoredPasswordInProfile(m_wsProfile.c_str(), m_wsPassword.c_str());
    return S_OK;
}

}  // namespace Ostrel::Rpc
