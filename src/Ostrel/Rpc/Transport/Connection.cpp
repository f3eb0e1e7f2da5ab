// Connection set-up and state: construction and the registry settings, the WinHTTP session with
// its proxy and time-outs, the per-request configuration, and the certificate trust decision.
#include "Ostrel/Rpc/Transport/Connection.h"

#include <algorithm>
#include <climits>
#include <cwchar>

#include "Ostrel/Rpc/Soap/RequestUserAgent.h"
#include "Ostrel/Rpc/Transport/ConnectionTrust.h"
#include "Platform/Base/Utf.h"
#include "Platform/Host/Host.h"
#include "Util/Log/Log.h"
#include "Util/Log/LogFormat.h"
#include "Util/OstrelReg.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Rpc {

namespace {

std::atomic<long> g_requestCounter{0};
std::atomic<DWORD> g_connectionCounter{0};

const wchar_t* Safe(const wchar_t* p) {
    return p ? p : L"";
}

// Seconds to milliseconds, within what WinHttpSetTimeouts takes.
DWORD SecondsToMs(DWORD dwSeconds) {
    ULONGLONG ms = static_cast<ULONGLONG>(dwSeconds) * 1000;
    return static_cast<DWORD>(std::min<ULONGLONG>(ms, INT_MAX));
}

int AsTimeout(DWORD ms) {
    return static_cast<int>(std::min<DWORD>(ms, INT_MAX));
}

// The secure-failure flags with the texts logged for them.
struct IssueText {
    DWORD dwFlag;
    const wchar_t* pwszText;
};
const IssueText kIssueTexts[] = {
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, L"Failed to verify whether certificate has been revoked"},
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT,
     L"SSL certificate is invalid. Please check that the root CA certificate that signed this certificate is "
     L"installed in the Trusted Root Certificate Authorities node of Windows Certificate Store"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, L"SSL certificate has been revoked"},
    {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, L"Unknown CA"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, L"SSL certificate common name (host name field) is incorrect"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, L"SSL certificate is not yet valid or has expired"},
    {WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, L"WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE"},
    {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, L"Internal error loading the SSL libraries"},
};

}  // namespace

long NextRequestNumber() {
    return ++g_requestCounter;
}

// ---------------------------------------------------------------------------------------------
// Construction

Connection::Connection(const wchar_t* pwszOwner, const wchar_t* pwszServer, DWORD dwPort, int useSSL, DWORD dwProxyMode,
                       const wchar_t* pwszManualProxy, int async)
    : m_wsOwner(Safe(pwszOwner)),
      m_wsServer(Safe(pwszServer)),
      m_iUseSSL(useSSL),
      m_dwProxyMode(dwProxyMode),
      m_iAsync(async) {
    InitConn(dwPort, pwszManualProxy);
}

void Connection::InitConn(DWORD dwPort, const wchar_t* pwszManualProxy) {
    OSTLOG_BLOCK(4, 8192);
    m_iCertTrustDlgAllowed = 1;
    OSTLOG_INFO(16, L"Setting CertTrustDlgAllowed allowed: %d", 1);
    m_iTrustable = 1;
    m_dwConnectTimeout = m_dwSendTimeout = m_dwReceiveTimeout = kDefaultTimeoutMs;
    m_dwConnectionNumber = ++g_connectionCounter;
    m_wsDescription =
        Util::FormatW(L"#%-3d %ls %p owner:'%ls'", static_cast<int>(m_dwConnectionNumber),
                      m_iAsync ? L"ASYNCHRONOUS" : L"SYNCHRONOUS ", static_cast<void*>(this), m_wsOwner.c_str());
    ConnectionMgr::Get().RegisterConnection(this);

    IConnectionSession* pSession = FindSession(L"");
    DWORD dwSessionPort = pSession ? pSession->Port() : 0;
    m_dwPort = dwSessionPort ? dwSessionPort : dwPort;
    OSTLOG_INFO(4, L"%s:%d useSSL(%d)", m_wsServer.c_str(), static_cast<int>(m_dwPort.load()), m_iUseSSL);
    m_wsManualProxy = Safe(pwszManualProxy);

    ReadRegistrySettings();
    m_wsSoapPath = L"/service/soap";
}

void Connection::ReadRegistrySettings() {
    m_dwMaxWriteSize = kDefaultMaxWriteSize;
    struct Setting {
        const wchar_t* pwszName;
        DWORD& dwValue;
        DWORD dwDefault;
    };
    Setting settings[] = {
        {L"MaxWriteSize", m_dwMaxWriteSize, kDefaultMaxWriteSize},
        {L"ConnectTimeout", m_dwConnectTimeout, kDefaultTimeoutMs},
        {L"SendTimeout", m_dwSendTimeout, kDefaultTimeoutMs},
        {L"ReceiveTimeout", m_dwReceiveTimeout, kDefaultTimeoutMs},
    };

    Util::RegUtil reg(L"Connection", KEY_ALL_ACCESS, Util::kRegUtilSubkey);
    bool bCreated = false;
    LSTATUS status = reg.OpenKey();
    if (status != ERROR_SUCCESS) {
        status = reg.CreateKey();
        bCreated = true;
    }
    if (status != ERROR_SUCCESS) {
        OSTLOG_ERROR(L"failed on initial registry access");
    } else {
        for (Setting& s : settings) {
            reg.SetName(s.pwszName);
            DWORD dwValue = 0;
            LSTATUS st = bCreated ? static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND) : reg.QueryValue(dwValue);
            if (st == ERROR_SUCCESS) {
                s.dwValue = dwValue;
            } else if (st == ERROR_FILE_NOT_FOUND) {
                if (reg.SetValue(s.dwValue) != ERROR_SUCCESS)
                    OSTLOG_ERROR(L"failed on registry access");
            } else {
                OSTLOG_ERROR(L"failed on registry access");
            }
        }
    }
    // A chunk size of 0 would never move an upload forward.
    if (m_dwMaxWriteSize == 0)
        m_dwMaxWriteSize = kDefaultMaxWriteSize;
    m_dwConnectTimeout = std::max(m_dwConnectTimeout, kMinConnectTimeoutMs);
    OSTLOG_INFO(4, L"Current HTTP Connection Configuration: ");
    OSTLOG_INFO(4, L"    MaxWriteSize:   %u", m_dwMaxWriteSize);
    OSTLOG_INFO(4, L"    ConnectTimeout: %u", m_dwConnectTimeout);
    OSTLOG_INFO(4, L"    SendTimeout:    %u", m_dwSendTimeout);
    OSTLOG_INFO(4, L"    ReceiveTimeout: %u", m_dwReceiveTimeout);
}

Connection::~Connection() {
    ConnectionMgr::Get().UnregisterConnection(this);
    Disconnect();
    std::lock_guard<std::mutex> lock(m_certMutex);
    if (m_pServerCert)
        CertFreeCertificateContext(m_pServerCert);
}

Connection* Connection::CloneConnection() {
    return new Connection(m_wsOwner.c_str(), m_wsServer.c_str(), m_dwPort, m_iUseSSL, m_dwProxyMode,
                          m_wsManualProxy.c_str(), m_iAsync);
}

AdminConnection::AdminConnection(const wchar_t* pwszOwner, const wchar_t* pwszServer, DWORD dwPort, int useSSL,
                                 DWORD dwProxyMode, const wchar_t* pwszManualProxy, int async)
    : Connection(pwszOwner, pwszServer, dwPort, useSSL, dwProxyMode, pwszManualProxy, async) {
    SetSoapPath(L"/service/admin/soap/");
}

Connection* AdminConnection::CloneConnection() {
    return new AdminConnection(GetOwner().c_str(), GetServer().c_str(), GetPort(), IsSecure(), GetProxyMode(),
                               GetManualProxy().c_str(), IsAsynchronous() ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// Simple state

DWORD Connection::GetPort() const {
    return m_dwPort;
}

void Connection::SetPort(DWORD dwPort) {
    m_dwPort = dwPort;
}

void Connection::SetCurrentUser(const wchar_t* pwszUser) {
    std::lock_guard<std::mutex> lock(m_callerMutex);
    m_wsCurrentUser = Safe(pwszUser);
}

std::wstring Connection::GetCurrentUser() const {
    std::lock_guard<std::mutex> lock(m_callerMutex);
    return m_wsCurrentUser;
}

void Connection::SetCertTrustDlgAllowed(int allowed) {
    OSTLOG_INFO(16, L"Setting CertTrustDlgAllowed allowed: %d", allowed);
    m_iCertTrustDlgAllowed = allowed;
}

void Connection::SetTrusted(int trusted) {
    if (!trusted && m_iTrusted) {
        std::lock_guard<std::mutex> lock(m_handleMutex);
        if (m_hSession) {
            OSTLOG_WARN(L"Cannot handle transition from trusted to untrusted without tearing down connection");
            return;
        }
    }
    m_iTrusted = trusted ? 1 : 0;
}

PCCERT_CONTEXT Connection::GetServerCert() const {
    std::lock_guard<std::mutex> lock(m_certMutex);
    return CertDuplicateCertificateContext(m_pServerCert);
}

Platform::CertFingerprint Connection::GetServerCertFingerprint() const {
    std::lock_guard<std::mutex> lock(m_certMutex);
    return m_fingerprint;
}

DWORD Connection::GetCertIssuesBitmap() const {
    std::lock_guard<std::mutex> lock(m_certMutex);
    return m_dwCertIssues;
}

void Connection::SetCertIssuesBitmap(DWORD dwBits) {
    std::lock_guard<std::mutex> lock(m_certMutex);
    m_dwCertIssues = dwBits;
}

DWORD Connection::GetLastHttpStatusCode() const {
    std::lock_guard<std::mutex> lock(m_statusMutex);
    return m_dwLastHttpStatus;
}

void Connection::SetLastHttpStatusCode(DWORD dwStatus) {
    std::lock_guard<std::mutex> lock(m_statusMutex);
    m_dwLastHttpStatus = dwStatus;
}

DWORD Connection::GetLastWinHttpErr() const {
    std::lock_guard<std::mutex> lock(m_statusMutex);
    return m_dwLastWinHttpErr;
}

void Connection::SetLastWinHttpErr(DWORD dwError) {
    std::lock_guard<std::mutex> lock(m_statusMutex);
    m_dwLastWinHttpErr = dwError;
}

DWORD Connection::GetLastWinHttpErrAsync() const {
    std::lock_guard<std::mutex> lock(m_asyncMutex);
    return m_dwLastWinHttpErrAsync;
}

void Connection::SetLastWinHttpErrAsync(DWORD dwError) {
    std::lock_guard<std::mutex> lock(m_asyncMutex);
    m_dwLastWinHttpErrAsync = dwError;
}

bool Connection::GetAllowConnectEvenWhenOLOffline() const {
    std::lock_guard<std::mutex> lock(m_offlineMutex);
    return m_bAllowConnectWhenOffline;
}

void Connection::SetAllowConnectEvenWhenOLOffline(bool bAllow) {
    std::lock_guard<std::mutex> lock(m_offlineMutex);
    m_bAllowConnectWhenOffline = bAllow;
}

void Connection::RecordCaller(const char* pszFunction, int iLine, const wchar_t* pwszDetails) {
    std::string sFunction = pszFunction ? pszFunction : "";
    size_t colon = sFunction.rfind(':');
    if (colon != std::string::npos)
        sFunction.erase(0, colon + 1);
    std::lock_guard<std::mutex> lock(m_callerMutex);
    m_sFunction = sFunction;
    m_iLine = iLine;
    if (pwszDetails)
        m_wsRequestDetails = pwszDetails;
}

std::string Connection::GetFn() const {
    std::lock_guard<std::mutex> lock(m_callerMutex);
    return m_sFunction;
}

int Connection::GetLine() const {
    std::lock_guard<std::mutex> lock(m_callerMutex);
    return m_iLine;
}

std::wstring Connection::GetRequestDetails() const {
    std::lock_guard<std::mutex> lock(m_callerMutex);
    return m_wsRequestDetails;
}

std::shared_ptr<Util::ProgressTask> Connection::CreateProgressTask(const wchar_t* pwszName) {
    std::lock_guard<std::mutex> lock(m_progressMutex);
    m_pProgressTask = Util::ProgressTask::Create(Safe(pwszName));
    return m_pProgressTask;
}

std::shared_ptr<Util::ProgressTask> Connection::GetProgressTask() const {
    std::lock_guard<std::mutex> lock(m_progressMutex);
    return m_pSurrogateProgressTask ? m_pSurrogateProgressTask : m_pProgressTask;
}

void Connection::ReleaseProgressTask() {
    std::lock_guard<std::mutex> lock(m_progressMutex);
    m_pProgressTask.reset();
}

void Connection::SetSurrogateProgressTask(std::shared_ptr<Util::ProgressTask> pTask) {
    std::lock_guard<std::mutex> lock(m_progressMutex);
    m_pSurrogateProgressTask = std::move(pTask);
}

void Connection::SetProgressCallback(ProgressCallback callback) {
    std::lock_guard<std::mutex> lock(m_progressMutex);
    m_progressCallback = std::move(callback);
}

bool Connection::CheckForErrorAndReAuthIfReqd(Response* pResponse, bool throwAll, IUserSessionAuth* pSession) {
    return Ostrel::Rpc::CheckForErrorAndReAuthIfReqd(pResponse, throwAll, pSession);
}

int Connection::IsSSLError(DWORD dwError) {
    return Ostrel::Rpc::IsSSLError(dwError, g_requestCounter.load());
}

// ---------------------------------------------------------------------------------------------
// Time-outs

void Connection::SetConnTimeouts(DWORD dwConnectSeconds, DWORD dwSendSeconds, DWORD dwReceiveSeconds) {
    if (dwConnectSeconds != 0xFFFFFFFF)
        m_dwConnectTimeout = SecondsToMs(dwConnectSeconds);
    if (dwSendSeconds != 0xFFFFFFFF)
        m_dwSendTimeout = SecondsToMs(dwSendSeconds);
    if (dwReceiveSeconds != 0xFFFFFFFF)
        m_dwReceiveTimeout = SecondsToMs(dwReceiveSeconds);
    std::lock_guard<std::mutex> lock(m_handleMutex);
    if (m_hSession)
        ApplyTimeouts(m_hSession);
    if (m_hRequest) {
        OSTLOG_INFO(16, L"Writing through: connect %u send %u receive %u", m_dwConnectTimeout, m_dwSendTimeout,
                    m_dwReceiveTimeout);
        ApplyTimeouts(m_hRequest);
    }
}

void Connection::GetConnTimeouts(DWORD& dwConnectMs, DWORD& dwSendMs, DWORD& dwReceiveMs) const {
    dwConnectMs = m_dwConnectTimeout;
    dwSendMs = m_dwSendTimeout;
    dwReceiveMs = m_dwReceiveTimeout;
}

void Connection::ApplyTimeouts(HINTERNET h) const {
    if (!WinHttpSetTimeouts(h, 0, AsTimeout(m_dwConnectTimeout), AsTimeout(m_dwSendTimeout),
                            AsTimeout(m_dwReceiveTimeout)))
        OSTLOG_ERROR(L"WinHttpSetTimeouts failed: %d", static_cast<int>(GetLastError()));
}

// ---------------------------------------------------------------------------------------------
// Session, proxy and request handles (called with m_handleMutex held)

void Connection::StartWinHttpSess() {
    m_iTrusted = 0;
    m_iCatchCertErrors = m_iUseSSL;
    m_iDoneCertCheck = 0;
    std::wstring wsAgent = std::wstring(UserAgentProduct()) + L"/" + UserAgentVersion(m_lRequestNumber);
    m_hSession = WinHttpOpen(wsAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, m_iAsync ? WINHTTP_FLAG_ASYNC : 0);
    if (!m_hSession)
        ThrowWinHttp(GetLastError());
    InitProxySettings();
    ApplyTimeouts(m_hSession);
}

void Connection::InitProxySettings() {
    m_wsProxyList.clear();
    m_wsProxyBypass.clear();
    m_dwProxyAccess = WINHTTP_ACCESS_TYPE_NO_PROXY;
    if (m_dwProxyMode & kProxyModeManual) {
        OSTLOG_INFO(4, L"MANUAL Proxy");
        if (!m_wsManualProxy.empty()) {
            m_dwProxyAccess = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            m_wsProxyList = m_wsManualProxy;
        }
    } else if (m_dwProxyMode & kProxyModeBrowser) {
        OSTLOG_INFO(4, L"IE-SPECIFIED Proxy");
        // On this platform the user's settings never name an auto-configuration script, so
        // there is no per-URL resolution.
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
        if (WinHttpGetIEProxyConfigForCurrentUser(&config) && !config.lpszProxy.empty()) {
            m_dwProxyAccess = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            m_wsProxyList = config.lpszProxy;
            m_wsProxyBypass = config.lpszProxyBypass;
        }
    } else {
        OSTLOG_INFO(4, L"NO Proxy");
    }
    WINHTTP_PROXY_INFO info{m_dwProxyAccess, m_wsProxyList.empty() ? nullptr : m_wsProxyList.data(),
                            m_wsProxyBypass.empty() ? nullptr : m_wsProxyBypass.data()};
    OSTLOG_INFO(4, L"Resolved Proxy Settings (session proxy options):");
    OSTLOG_INFO(4, L"    dwAccessType:    %u", info.dwAccessType);
    OSTLOG_INFO(4, L"    lpszProxy:       %s", m_wsProxyList.c_str());
    OSTLOG_INFO(4, L"    lpszProxyBypass: %s", m_wsProxyBypass.c_str());
    if (!WinHttpSetOption(m_hSession, WINHTTP_OPTION_PROXY, &info, sizeof info))
        OSTLOG_ERROR(L"failed to set proxy option, error code: %d", static_cast<int>(GetLastError()));
}

void Connection::ConfigureConnection(const wchar_t* pwszCallName, const wchar_t* pwszUrl, bool bIsGet) {
    std::lock_guard<std::mutex> lock(m_handleMutex);
    if (m_hRequest) {
        WinHttpSetStatusCallback(m_hRequest, nullptr, 0, 0);
        WinHttpCloseHandle(m_hRequest);
        m_hRequest = nullptr;
    }
    if (m_bDropSession.exchange(false)) {
        if (m_hConnect)
            WinHttpCloseHandle(m_hConnect);
        if (m_hSession)
            WinHttpCloseHandle(m_hSession);
        m_hConnect = nullptr;
        m_hSession = nullptr;
    }
    if (!m_hSession)
        StartWinHttpSess();
    if (!m_hConnect) {
        m_hConnect = WinHttpConnect(m_hSession, m_wsServer.c_str(), static_cast<INTERNET_PORT>(m_dwPort.load()), 0);
        if (!m_hConnect)
            ThrowWinHttp(GetLastError());
    }
    ClearCertificateState();

    std::wstring wsVerb, wsObject, wsDetails;
    if (!pwszUrl) {
        wsVerb = L"POST";
        if (pwszCallName && *pwszCallName) {
            wsObject = m_wsSoapPath + L"/" + pwszCallName;
            wsDetails = pwszCallName;
        } else {
            wsObject = m_wsSoapPath;
            wsDetails = L"unknown";
            OSTLOG_INFO(4, L"POST to %s --NO CALL NAME URI--", wsObject.c_str());
        }
    } else {
        wsVerb = bIsGet ? L"GET" : L"POST";
        wsObject = pwszUrl;
        wsDetails = wsVerb + L" " + wsObject;
        OSTLOG_INFO(4, L"%s %s", bIsGet ? L"GET from" : L"POST to", pwszUrl);
    }
    {
        std::lock_guard<std::mutex> callerLock(m_callerMutex);
        m_wsRequestDetails = wsDetails;
    }
    DWORD dwFlags = WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                    (m_iUseSSL ? WINHTTP_FLAG_SECURE : 0);
    m_hRequest = WinHttpOpenRequest(m_hConnect, wsVerb.c_str(), wsObject.c_str(), L"HTTP/1.1", WINHTTP_NO_REFERER,
                                    WINHTTP_DEFAULT_ACCEPT_TYPES, dwFlags);
    if (!m_hRequest)
        ThrowWinHttp(GetLastError());
    ApplyTimeouts(m_hRequest);

    // The authentication cookie is added by hand.
    DWORD dwDisable = WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(m_hRequest, WINHTTP_OPTION_DISABLE_FEATURE, &dwDisable, sizeof dwDisable);
    if (m_iNeedsCertAuth)
        SetCertAuthOptions(m_hRequest);
    if (m_iUseSSL)
        SetSecurityOptions(m_hRequest);

    DWORD dwNotify = WINHTTP_CALLBACK_FLAG_SECURE_FAILURE;
    WinHttpSetStatusCallback(m_hRequest, StatusCallback, dwNotify, 0);
    SetCredentials(m_hRequest);
}

HINTERNET Connection::GetRequestHandle() const {
    std::lock_guard<std::mutex> lock(m_handleMutex);
    return m_hRequest;
}

void Connection::SetCertAuthOptions(HINTERNET hRequest) {
    // No client certificate store exists here: the handshake goes on without one, and a server
    // that insists fails it with "client certificate needed".
    if (!WinHttpSetOption(hRequest, WINHTTP_OPTION_CLIENT_CERT_CONTEXT, WINHTTP_NO_CLIENT_CERT_CONTEXT, 0))
        ThrowWinHttp(ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED);
}

void Connection::SetSecurityOptions(HINTERNET hRequest) {
    if (!m_iTrusted) {
        m_iCatchCertErrors = 1;
        return;
    }
    OSTLOG_INFO(4, L"Connection is TRUSTED -> suppress WinHttp checks");
    DWORD dwFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    if (!WinHttpSetOption(hRequest, WINHTTP_OPTION_SECURITY_FLAGS, &dwFlags, sizeof dwFlags))
        OSTLOG_ERROR(L"Failed to suppress WinHttp checks %d", static_cast<int>(GetLastError()));
    // Only the certificate that was accepted may pass: any other ends the handshake before the
    // request (and its token) is sent.
    std::optional<Platform::CertFingerprint> pin;
    {
        std::lock_guard<std::mutex> lock(m_certMutex);
        pin = m_pinnedFingerprint;
    }
    if (!pin) {
        PCCERT_CONTEXT pTrusted = CurrentCertTrustManager()->GetTrustedCert();
        if (pTrusted) {
            pin = Platform::CertSha1(pTrusted);
            CertFreeCertificateContext(pTrusted);
        }
    }
    if (pin)
        WinHttpSetOption(hRequest, WINHTTP_OPTION_OSTREL_PINNED_CERT_SHA1, pin->data(),
                         static_cast<DWORD>(pin->size()));
    m_iCatchCertErrors = 0;
}

void Connection::Disconnect() {
    AbortAsyncExchanges();
    std::lock_guard<std::mutex> lock(m_handleMutex);
    if (m_hRequest) {
        WinHttpSetStatusCallback(m_hRequest, nullptr, 0, 0);
        WinHttpCloseHandle(m_hRequest);
        m_hRequest = nullptr;
    }
    if (m_hConnect) {
        WinHttpCloseHandle(m_hConnect);
        m_hConnect = nullptr;
    }
    if (m_hSession) {
        WinHttpCloseHandle(m_hSession);
        m_hSession = nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Certificates

void Connection::ClearCertificateState() {
    std::lock_guard<std::mutex> lock(m_certMutex);
    if (m_pServerCert)
        CertFreeCertificateContext(m_pServerCert);
    m_pServerCert = nullptr;
    m_fingerprint = {};
    m_dwCertIssues = 0;
}

void Connection::SaveServerCertificate(HINTERNET hRequest) {
    PCCERT_CONTEXT pCert = nullptr;
    DWORD cb = sizeof pCert;
    if (!hRequest || !WinHttpQueryOption(hRequest, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &pCert, &cb))
        return;
    std::lock_guard<std::mutex> lock(m_certMutex);
    if (m_pServerCert)
        CertFreeCertificateContext(m_pServerCert);
    m_pServerCert = pCert;
    m_fingerprint = Platform::CertSha1(pCert);
}

void Connection::StatusCallback(HINTERNET h, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context && info && length >= sizeof(DWORD))
        reinterpret_cast<Connection*>(context)->OnSecureFailure(*static_cast<DWORD*>(info), h);
}

void Connection::OnSecureFailure(DWORD dwFlags, HINTERNET hRequest) {
    PCCERT_CONTEXT pCert = nullptr;
    DWORD cb = sizeof pCert;
    if (WinHttpQueryOption(hRequest, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &pCert, &cb)) {
        std::lock_guard<std::mutex> lock(m_certMutex);
        if (m_pServerCert)
            CertFreeCertificateContext(m_pServerCert);
        m_pServerCert = pCert;
        m_fingerprint = Platform::CertSha1(pCert);
    }
    for (const IssueText& issue : kIssueTexts) {
        if (!(dwFlags & issue.dwFlag))
            continue;
        OSTLOG_WARN(L"%s", issue.pwszText);
        if (issue.dwFlag == WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT)
            m_iTrustable = 0;
        std::lock_guard<std::mutex> lock(m_certMutex);
        m_dwCertIssues |= issue.dwFlag;
    }
}

bool Connection::IsTrustPeriodExpired() {
    if (!m_iUseSSL || m_iCatchCertErrors)
        return false;
    auto manager = CurrentCertTrustManager();
    bool bExpired = false;
    return manager->TrustTimeExists() && !manager->IsWithinTrustPeriod(bExpired);
}

DWORD Connection::ChkGotExpectedCert(HINTERNET hRequest) {
    m_iDoneCertCheck = 1;
    SaveServerCertificate(hRequest);
    auto manager = CurrentCertTrustManager();
    if (!manager->IsFingerprintTrusted(GetServerCertFingerprint())) {
        OSTLOG_WARN(L"*** New certificate encountered ***");
        return ERROR_WINHTTP_SECURE_FAILURE;
    }
    bool bExpired = false;
    if (!manager->IsWithinTrustPeriod(bExpired)) {
        OSTLOG_WARN(L"Certificate no longer within trust period");
        return ERROR_WINHTTP_SECURE_FAILURE;
    }
    return 0;
}

int Connection::HandleCertError(DWORD dwError, int& retry, int throwOnDeny) {
    OSTLOG_BLOCK(4, 8192, m_wsDescription.c_str());
    retry = 0;
    auto manager = CurrentCertTrustManager();
    bool bWasTrusted = m_iTrusted != 0;
    if (bWasTrusted) {
        OSTLOG_WARN(L"Connection is already in trusted mode, but is still failing to connect");
        m_iTrustable = 0;
    }
    Platform::CertFingerprint fingerprint = GetServerCertFingerprint();
    PCCERT_CONTEXT pCert = GetServerCert();
    bool bAccepted = false;
    bool bExpired = false;
    // A connection that fails although trusted is never retried: the same failure would follow.
    if (!bWasTrusted && pCert && manager->IsWithinTrustPeriod(bExpired) && manager->IsFingerprintTrusted(fingerprint)) {
        OSTLOG_INFO(4, L"Cert already been trusted -> no need to show CertTrustDlg");
        bAccepted = true;
    } else if (!bWasTrusted && m_iTrustable && m_iCertTrustDlgAllowed) {
        if (Platform::Host::IsEmbedded()) {
            OSTLOG_INFO(4, L"CertTrustDlg suppressed because embedding");
        } else if (manager->ShowCertTrustDlg(this)) {
            OSTLOG_INFO(4, L"User wants to connect despite invalid cert");
            bAccepted = pCert != nullptr;
        } else {
            OSTLOG_INFO(4, L"Connection denied -> no retry");
        }
    } else if (!m_iCertTrustDlgAllowed) {
        OSTLOG_INFO(4, L"Cert failure detected, but trust dlg not allowed");
    }

    if (bAccepted) {
        OSTLOG_INFO(4, L"Placing connection in trusted mode + retrying");
        {
            std::lock_guard<std::mutex> lock(m_certMutex);
            m_pinnedFingerprint = fingerprint;
        }
        m_iTrusted = 1;
        retry = 1;
        CertFreeCertificateContext(pCert);
        return 1;
    }
    if (!throwOnDeny) {
        CertFreeCertificateContext(pCert);
        return 0;
    }
    Disconnect();
    WinHttpException e(dwError, IsSSLError(dwError));
    e.SetServerCertData(GetCertIssuesBitmap(), pCert);
    CertFreeCertificateContext(pCert);
    throw e;
}

void Connection::ThrowWinHttp(DWORD dwError) {
    SetLastWinHttpErr(dwError);
    throw WinHttpException(dwError, IsSSLError(dwError));
}

// ---------------------------------------------------------------------------------------------
// Connection manager

ConnectionMgr& ConnectionMgr::Get() {
    static ConnectionMgr* manager = [] {
        auto* pManager = new ConnectionMgr();  // used until the process ends
        // The flag follows the host from its current state on: every online or offline report of
        // the host reaches it, whoever made the switch.
        pManager->m_bOnline = !Platform::Host::IsOffline();
        Platform::Host::AddOnlineObserver(
            [pManager](bool bOnline) { pManager->NotifyOnlineOfflineTransition(bOnline); });
        return pManager;
    }();
    return *manager;
}

void ConnectionMgr::RegisterConnection(Connection* pConnection) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    OSTLOG_INFO(16, L"Registering connection: '%s'", pConnection->GetDescription().c_str());
    m_connections.push_back(pConnection);
}

void ConnectionMgr::UnregisterConnection(Connection* pConnection) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    OSTLOG_INFO(16, L"Unregistering connection: '%s'", pConnection->GetDescription().c_str());
    m_connections.remove(pConnection);
}

size_t ConnectionMgr::GetCount() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_connections.size();
}

bool ConnectionMgr::IsOffline() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return !m_bOnline;
}

void ConnectionMgr::NotifyOnlineOfflineTransition(int nowOnline) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    bool bOnline = nowOnline != 0;
    if (bOnline != m_bOnline) {
        OSTLOG_INFO(4, L"bNowOnline: %d", nowOnline ? 1 : 0);
        m_bOnline = bOnline;
    }
}

void ConnectionMgr::RedirectAll(DWORD dwPort) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (Connection* pConnection : m_connections) {
        if (pConnection->GetPort() != dwPort) {
            pConnection->Disconnect();
            pConnection->SetPort(dwPort);
        }
    }
}

void ConnectionMgr::DisconnectAll() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (Connection* pConnection : m_connections)
        pConnection->Disconnect();
}

namespace {

std::wstring ByteText(ULONGLONG ullBytes) {
    wchar_t buffer[64];
    if (ullBytes < 1024)
        std::swprintf(buffer, 64, L"%llu bytes", ullBytes);
    else if (ullBytes < 1024ull * 1024)
        std::swprintf(buffer, 64, L"%.1f KB", ullBytes / 1024.0);
    else if (ullBytes < 1024ull * 1024 * 1024)
        std::swprintf(buffer, 64, L"%.1f MB", ullBytes / (1024.0 * 1024));
    else
        std::swprintf(buffer, 64, L"%.2f GB", ullBytes / (1024.0 * 1024 * 1024));
    return buffer;
}

}  // namespace

void ConnectionMgr::NotifyBytesSent(ULONGLONG ullBytes) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_ullSent += ullBytes;
}

void ConnectionMgr::NotifyBytesReceived(ULONGLONG ullBytes) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_ullReceived += ullBytes;
    OSTLOG_INFO(16, L"OSNSTATS: Received %s. Total received this session: %s", ByteText(ullBytes).c_str(),
                ByteText(m_ullReceived).c_str());
}

ULONGLONG ConnectionMgr::GetBytesSent() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_ullSent;
}

ULONGLONG ConnectionMgr::GetBytesReceived() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_ullReceived;
}

void ConnectionMgr::LogConnections() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    OSTLOG_INFO(4, L"Active Connections");
    for (const Connection* pConnection : m_connections)
        OSTLOG_INFO(4, L"Connection %-3d '%s'", static_cast<int>(pConnection->GetConnectionNumber()),
                    pConnection->GetDescription().c_str());
}

void ConnectionMgr::LogConnectionStats() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    OSTLOG_INFO(4, L"OSNSTATS: Total bytes this session: Sent:%s Rcvd:%s", ByteText(m_ullSent).c_str(),
                ByteText(m_ullReceived).c_str());
}

}  // namespace Ostrel::Rpc
