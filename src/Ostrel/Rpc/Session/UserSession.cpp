// The sessions of the process: creation and look-up by profile, the session handles connections
// reach them through, the connection queries, and the process-wide user-interface settings.
#include "Ostrel/Rpc/Session/UserSession.h"

#include <condition_variable>
#include <cwctype>

#include "Ostrel/Rpc/Session/UserSessionInternal.h"
#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Rpc {

namespace {

// The sessions and the global profile's name, under SessionLock(). Made on first use, so that
// sessions may be created from anywhere, static initialisers included.
struct Sessions {
    std::map<std::wstring, std::shared_ptr<UserSession>> map;
    std::wstring wsGlobalProfile;
};

Sessions& TheSessions() {
    static Sessions s_sessions;
    return s_sessions;
}

std::atomic<int> g_iUIFlag{0};
std::atomic<HWND> g_hwndUIParam{nullptr};
std::atomic<HWND> g_hwndConfigPropSheets{nullptr};
std::atomic<int> g_iOstrelUIFlag{0};

std::mutex g_supportMutex;
std::map<std::wstring, IMAPISupport*> g_supportObjects;

std::mutex g_prefsUidMutex;
std::condition_variable_any g_prefsUidCv;
std::optional<GUID> g_prefsUid;

std::shared_ptr<UserSession> Find(const std::wstring& wsProfile) {
    Util::AutoCriticalSection lock(SessionLock());
    Sessions& sessions = TheSessions();
    auto it = sessions.map.find(wsProfile.empty() ? sessions.wsGlobalProfile : wsProfile);
    return it == sessions.map.end() ? nullptr : it->second;
}

// What connections hold: a per-profile handle that reaches whatever session the profile has at
// the moment, so a connection never outlives the session it points to, and a session re-created
// with new logon parameters is used at once. Handles live as long as the process.
class SessionHandle final : public IConnectionSession {
public:
    explicit SessionHandle(std::wstring wsProfile) : m_wsProfile(std::move(wsProfile)) {}

    DWORD Port() override {
        auto session = Find(m_wsProfile);
        return session ? session->Port() : 0;
    }
    DWORD AdminPort() override {
        auto session = Find(m_wsProfile);
        return session ? session->AdminPort() : 0;
    }
    std::wstring AuthToken() override { return Required()->AuthToken(); }
    bool SetNoSession() override {
        auto session = Find(m_wsProfile);
        return session && session->SetNoSession();
    }
    void InvalidateAuthToken(int expired) override { Required()->InvalidateAuthToken(expired); }

private:
    std::shared_ptr<UserSession> Required() {
        auto session = Find(m_wsProfile);
        if (!session) {
            OSTLOG_WARN(L"No UserSession found for profile '%s'", m_wsProfile.c_str());
            throw WinHttpException(ERROR_WINHTTP_CANNOT_CONNECT, 0);
        }
        return session;
    }

    std::wstring m_wsProfile;
};

IConnectionSession* HandleFor(const std::wstring& wsProfile) {
    static std::mutex s_mutex;
    static std::map<std::wstring, std::unique_ptr<SessionHandle>> s_handles;
    std::lock_guard<std::mutex> lock(s_mutex);
    auto& handle = s_handles[wsProfile];
    if (!handle)
        handle = std::make_unique<SessionHandle>(wsProfile);
    return handle.get();
}

void InstallConnectionHooks() {
    SetSessionFinder([](const std::wstring& wsProfile) -> IConnectionSession* {
        return Find(wsProfile) ? HandleFor(wsProfile) : nullptr;
    });
    SetCurrentProfileNameSource([] { return UserSession::GetGlobalProfileName(); });
}

const wchar_t* ProxyModeName(DWORD dwMode) {
    switch (dwMode) {
        case kProxyModeNone:
            return L"none";
        case kProxyModeBrowser:
            return L"browser";
        case kProxyModeManual:
            return L"manual";
        default:
            return L"other";
    }
}

// Logs the table of old and new logon parameters; true when any that matter differ.
bool LogParameterChanges(const LogonParams& old, const LogonParams& now) {
    bool bChanged = old.wsAccount != now.wsAccount || old.wsPassword != now.wsPassword ||
                    old.wsServer != now.wsServer || old.dwPort != now.dwPort || old.useSSL != now.useSSL ||
                    old.dwProxySelection != now.dwProxySelection || old.wsProxy != now.wsProxy;
    if (!bChanged)
        return false;
    auto row = [](const wchar_t* pwszName, const std::wstring& a, const std::wstring& b) {
        OSTLOG_INFO(1, L"%-15s %-30s  %-30s", pwszName, a.c_str(), b.c_str());
    };
    auto stars = [](const std::wstring& password) { return password.empty() ? std::wstring() : std::wstring(8, L'*'); };
    OSTLOG_INFO(1, L"UserSession parameters changed");
    OSTLOG_INFO(1, L"Parameter       %-30s  %-30s", L"Current", L"New");
    row(L"Account", old.wsAccount, now.wsAccount);
    row(L"Password", stars(old.wsPassword),
        stars(now.wsPassword) + (old.wsPassword != now.wsPassword ? L" (changed)" : L""));
    row(L"Server", old.wsServer, now.wsServer);
    row(L"Port", std::to_wstring(old.dwPort), std::to_wstring(now.dwPort));
    row(L"UseSSL", std::to_wstring(old.useSSL), std::to_wstring(now.useSSL));
    row(L"ProxySelection", ProxyModeName(old.dwProxySelection), ProxyModeName(now.dwProxySelection));
    row(L"Proxy", old.wsProxy, now.wsProxy);
    return true;
}

}  // namespace

Util::CriticalSection& SessionLock() {
    static Util::CriticalSection s_lock(L"UserSession");
    return s_lock;
}

// ---- Sessions of the process ----

UserSession::UserSession(const std::wstring& wsProfile, const LogonParams& params)
    : m_wsProfile(wsProfile), m_logon(params), m_wsPassword(params.wsPassword) {
    OSTLOG_BLOCK(4, 8192);
    if (m_wsPassword.empty() && Mapi::StorePassword())
        Mapi::GetStoredPasswordFromProfile(m_wsProfile.c_str(), m_wsPassword);
    // A token given for another server or account stays in the profile but is not sent here.
    Mapi::GetTrustedTokenFromProfile(m_wsProfile.c_str(), params.wsServer.c_str(), params.dwPort,
                                     params.wsAccount.c_str(), m_wsTrustedToken);
    if (!Mapi::IsBESOSN())
        m_sharedPassword.Open();

    m_pConnection = std::make_unique<Connection>(L"UserSession", params.wsServer.c_str(), params.dwPort, params.useSSL,
                                                 params.dwProxySelection, params.wsProxy.c_str(), 0);
    // The connection looked at the global session for its port; this session's is the one.
    m_pConnection->SetPort(params.dwPort);
    m_pConnection->SetUserSession(&m_ownSession);
    if (IsAdminMode() && params.dwAdminPort) {
        m_pAdminConnection =
            std::make_unique<AdminConnection>(L"UserSession", params.wsServer.c_str(), params.dwAdminPort, 1,
                                              params.dwProxySelection, params.wsProxy.c_str(), 0);
        m_pAdminConnection->SetPort(params.dwAdminPort);
        m_pAdminConnection->SetUserSession(&m_ownSession);
    }
}

UserSession::~UserSession() = default;

std::shared_ptr<UserSession> UserSession::CreateInstance(const wchar_t* pwszProfile, const LogonParams& params) {
    InstallConnectionHooks();
    Util::AutoCriticalSection lock(SessionLock());
    Sessions& sessions = TheSessions();
    std::wstring wsProfile = pwszProfile ? pwszProfile : L"";
    if (sessions.wsGlobalProfile.empty())
        sessions.wsGlobalProfile = wsProfile;
    auto it = sessions.map.find(wsProfile);
    if (it != sessions.map.end()) {
        if (!LogParameterChanges(it->second->m_logon, params))
            return it->second;
        OSTLOG_INFO(1, L"New UserSession created due to new logon parameters");
        sessions.map.erase(it);
    }
    std::shared_ptr<UserSession> session(new UserSession(wsProfile, params));
    sessions.map[wsProfile] = session;
    return session;
}

std::shared_ptr<UserSession> UserSession::GetInstance() {
    return GetInstance(nullptr);
}

std::shared_ptr<UserSession> UserSession::GetInstance(const wchar_t* pwszProfile) {
    std::wstring wsProfile = pwszProfile ? pwszProfile : L"";
    auto session = Find(wsProfile);
    if (!session)
        OSTLOG_INFO(4, L"No UserSession found for profile '%s'",
                    wsProfile.empty() ? GetGlobalProfileName().c_str() : wsProfile.c_str());
    return session;
}

void UserSession::ReleaseSharedSession(const wchar_t* pwszProfile) {
    std::shared_ptr<UserSession> released;  // destroyed outside the lock
    Util::AutoCriticalSection lock(SessionLock());
    Sessions& sessions = TheSessions();
    std::wstring wsProfile = pwszProfile && *pwszProfile ? pwszProfile : sessions.wsGlobalProfile;
    auto it = sessions.map.find(wsProfile);
    if (it != sessions.map.end()) {
        released = std::move(it->second);
        sessions.map.erase(it);
    }
    lock.Leave();
}

void UserSession::ReleaseSharedSession() {
    ReleaseSharedSession(nullptr);
}

void UserSession::ReleaseSharedSessions() {
    std::map<std::wstring, std::shared_ptr<UserSession>> released;
    Util::AutoCriticalSection lock(SessionLock());
    released.swap(TheSessions().map);
    lock.Leave();
}

void UserSession::SetGlobalProfileName(const wchar_t* pwszProfile) {
    InstallConnectionHooks();
    Util::AutoCriticalSection lock(SessionLock());
    TheSessions().wsGlobalProfile = pwszProfile ? pwszProfile : L"";
}

std::wstring UserSession::GetGlobalProfileName() {
    Util::AutoCriticalSection lock(SessionLock());
    return TheSessions().wsGlobalProfile;
}

// ---- Connection ----

DWORD UserSession::OwnConnectionSession::Port() {
    return m_session.Port();
}
DWORD UserSession::OwnConnectionSession::AdminPort() {
    return m_session.AdminPort();
}

std::wstring UserSession::OwnConnectionSession::AuthToken() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_session.m_wsAuthToken;
}

bool UserSession::OwnConnectionSession::SetNoSession() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_session.m_features.bNoSession;
}

DWORD UserSession::Port() {
    Util::AutoCriticalSection lock(SessionLock());
    if (m_dwRedirectPort)
        return m_dwRedirectPort;
    if (m_dwMailPort)
        return m_dwMailPort;
    return m_logon.dwPort;
}

DWORD UserSession::AdminPort() {
    return m_logon.dwAdminPort;
}

DWORD UserSession::MailPort() {
    Util::AutoCriticalSection lock(SessionLock());
    return m_dwMailPort;
}

int UserSession::IsSecure() {
    return m_logon.useSSL;
}
DWORD UserSession::ProxySelection() {
    return m_logon.dwProxySelection;
}
std::wstring UserSession::ProxyServer() {
    return m_logon.wsProxy;
}
std::wstring UserSession::SessionServerName() {
    return m_logon.wsServer;
}
Connection* UserSession::GetCurrentConnect() {
    return m_pConnection.get();
}

void UserSession::CloseRequest() {
    Util::AutoCriticalSection lock(SessionLock());
    m_pConnection->Disconnect();
}

void UserSession::SetAllowConnectEvenWhenOLOffline(bool bAllow) {
    m_pConnection->SetAllowConnectEvenWhenOLOffline(bAllow);
    if (m_pAdminConnection)
        m_pAdminConnection->SetAllowConnectEvenWhenOLOffline(bAllow);
}

HRESULT UserSession::ReEvaluateConnectionParams() {
    if (!Mapi::IsBESOSN()) {
        OSTLOG_WARN(L"This cannot be called for a non bes install\n");
        return E_FAIL;
    }
    Util::AutoCriticalSection lock(SessionLock());
    if (IsAdminMode() && !m_wsAuthToken.empty())
        LookUpMailPort();
    return S_OK;
}

bool UserSession::IsAdminMode() const {
    return Mapi::IsBESOSN() && !Mapi::IsSingleUserBESOSN();
}

Connection* UserSession::SignOnConnection() {
    return IsAdminMode() && m_pAdminConnection ? m_pAdminConnection.get() : m_pConnection.get();
}

// ---- User interface ----

void UserSession::SetUIFlag(int flag) {
    g_iUIFlag = flag;
}
int UserSession::GetUIFlag() {
    return g_iUIFlag;
}
void UserSession::SetUIParam(HWND hwnd) {
    g_hwndUIParam = hwnd;
}
HWND UserSession::GetUIParam() {
    return g_hwndUIParam;
}
void UserSession::SetHandleOfConfigPropSheets(HWND hwnd) {
    g_hwndConfigPropSheets = hwnd;
}
HWND UserSession::GetHandleOfConfigPropSheets() {
    return g_hwndConfigPropSheets;
}
void UserSession::SetOstrelUIFlag(int flag) {
    g_iOstrelUIFlag = flag;
}
int UserSession::GetOstrelUIFlag() {
    return g_iOstrelUIFlag;
}

void UserSession::SetSupportObject(const wchar_t* pwszProfile, IMAPISupport* pSupport) {
    if (pSupport)
        pSupport->AddRef();
    IMAPISupport* pOld = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_supportMutex);
        IMAPISupport*& slot = g_supportObjects[pwszProfile ? pwszProfile : L""];
        pOld = slot;
        slot = pSupport;
    }
    if (pOld)
        pOld->Release();
}

IMAPISupport* UserSession::GetSupportObject(const wchar_t* pwszProfile) {
    std::lock_guard<std::mutex> lock(g_supportMutex);
    auto it = g_supportObjects.find(pwszProfile ? pwszProfile : L"");
    if (it == g_supportObjects.end() || !it->second)
        return nullptr;
    it->second->AddRef();
    return it->second;
}

void UserSession::ReleaseSupportObject(const wchar_t* pwszProfile) {
    SetSupportObject(pwszProfile, nullptr);
}

void UserSession::ReleaseSupportObjects() {
    std::map<std::wstring, IMAPISupport*> released;
    {
        std::lock_guard<std::mutex> lock(g_supportMutex);
        released.swap(g_supportObjects);
    }
    for (auto& [name, pSupport] : released)
        if (pSupport)
            pSupport->Release();
}

void UserSession::SetAccountPrefsUID(const GUID& uid) {
    {
        std::lock_guard<std::mutex> lock(g_prefsUidMutex);
        g_prefsUid = uid;
    }
    g_prefsUidCv.notify_all();
}

bool UserSession::GetAccountPrefsUID(GUID& uid) {
    std::lock_guard<std::mutex> lock(g_prefsUidMutex);
    if (!g_prefsUid)
        return false;
    uid = *g_prefsUid;
    return true;
}

bool UserSession::WaitForAccountPrefsGUID(DWORD dwTimeoutMs, GUID& uid) {
    std::unique_lock<std::mutex> lock(g_prefsUidMutex);
    if (!Util::CurrentClock().WaitFor(g_prefsUidCv, lock, dwTimeoutMs, [] { return g_prefsUid.has_value(); }))
        return false;
    uid = *g_prefsUid;
    return true;
}

}  // namespace Ostrel::Rpc
