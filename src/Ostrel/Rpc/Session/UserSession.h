// The user session: the signed-on state of one profile against the server. It holds the logon
// parameters, the auth token every request carries, the server's version with the features that
// follow from it, and the account information the server returned. It signs on with single
// sign-on, a password (with two-factor codes and trusted devices) or a client certificate, signs
// on again when the server says the token expired, and exists once per profile in the process.
//
// One process-wide critical section guards the session map and every token operation, so sign-on
// runs once at a time per process and callers wait for it. Connections reach a profile's session
// through the connection layer's session finder, which this class installs.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Ostrel/Rpc/Session/AuthSharedPassword.h"
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/ConnectionSession.h"

struct IMAPISupport;

namespace Ostrel::Rpc {

// What a profile signs on with.
struct LogonParams {
    std::wstring wsAccount;
    std::wstring wsPassword;
    std::wstring wsServer;
    DWORD dwPort = 0;
    int useSSL = 0;
    DWORD dwProxySelection = kProxyModeNone;  // the proxy mode of the connection
    std::wstring wsProxy;
    std::wstring wsVirtualHost;
    DWORD dwAdminPort = 0;  // handheld-server edition
    DWORD dwFlags = 0;      // kLogon...
};

// The session is made while the profile is being configured (only changes what a cancelled
// password change logs).
constexpr DWORD kLogonProfileConfiguration = 0x1;

// GetAuthState values.
constexpr int kAuthStateNone = 0;
constexpr int kAuthStateAuthenticated = 1;
constexpr int kAuthStateNeedsUser = 3;

// What a look-up of another account gives.
struct UserInfo {
    std::wstring wsEmail;
    std::wstring wsOstrelId;
    std::wstring wsMailHost;
};

class UserSession final : public IConnectionSession {
public:
    ~UserSession();
    UserSession(const UserSession&) = delete;
    UserSession& operator=(const UserSession&) = delete;

    // ---- Sessions of the process ----
    // The profile's session; a new one when there is none, or when the account, password,
    // server, port, SSL flag, proxy selection or proxy differ from the existing one's.
    static std::shared_ptr<UserSession> CreateInstance(const wchar_t* pwszProfile, const LogonParams& params);
    // The global profile's session, or a named profile's; null when there is none.
    static std::shared_ptr<UserSession> GetInstance();
    static std::shared_ptr<UserSession> GetInstance(const wchar_t* pwszProfile);
    static void ReleaseSharedSession(const wchar_t* pwszProfile);
    static void ReleaseSharedSession();
    static void ReleaseSharedSessions();
    // The profile of the host process (set by the host; the first session's when unset).
    static void SetGlobalProfileName(const wchar_t* pwszProfile);
    static std::wstring GetGlobalProfileName();

    // ---- Tokens ----
    // The current token, signing on first when there is none. Throws WinHttpException(12029)
    // when sign-on fails or is cancelled.
    std::wstring AuthToken() override;
    // Drops the token and signs on again, at most once in 30 seconds; afterwards throws
    // WinHttpException(12029) when there is no token.
    void InvalidateAuthToken(int expired) override;
    bool GotAuthToken();
    std::wstring SessionId();
    std::wstring LifeTime();
    std::wstring TrustedToken();
    // Whether the last invalidation was for an expired token.
    bool LastInvalidationExpired();
    int GetAuthState();
    // The global profile's session's auth state (kAuthStateNone without one).
    static int GetAuthStatus();
    bool GotServerCertError();
    // Checks the token with NoOp requests, waiting 1, 2, 4 and 8 seconds while the server still
    // calls it expired.
    HRESULT WaitForValidToken();
    // Single sign-on (Negotiate on "/service/spnego") and certificate sign-on ("/certauth").
    // Callers use AuthToken; these are the steps it may take.
    HRESULT SSOAuthorize();
    HRESULT CertAuth();

    // ---- Server version and features ----
    // Whether requests should ask for no server session; fetches the account first when needed.
    bool SetNoSession() override;
    HRESULT GetInfo();
    std::wstring GetVersionText();
    int GetMajorVersion();
    int GetMinorVersion();
    int GetMaintenanceVersion();
    // The global session's server: at least version 4.5.
    static bool IsServerVersionSupported();
    static bool IsOSV8orLater();
    // The handheld server's configuration updates: supported from server 6.x.2 (or 7), enabled
    // unless HKLM\Software\Ostrel "BESConfigUpdateDisabled" is non-zero.
    static bool IsBESConfigUpdateSupported();
    static bool IsBESConfigUpdateEnabled();
    int SetSupportOSV8();
    int SetSupportTagNames();
    int SetSupportTagIds();
    int SetSupportWaitsetTypes();
    int SetSupportOrphanFlag();
    int SetSupportSMIME();
    int SetSupportApptAlarm();
    // -1: no zip formatting; else the deflate level.
    int SetZipLevel();
    int SetZipListSize();

    // ---- The account (from GetInfo) ----
    std::wstring EmailAddress();
    std::wstring DisplayName();
    GUID OstrelId();
    std::wstring GetPrefFromDisplay();
    std::wstring GetFromAddress(size_t i);
    size_t GetFromAddressCount();
    std::wstring GetMailAlias(size_t i);
    size_t GetMailAliasCount();
    std::wstring GetPrefFromAddress();
    bool GetPrefReplyToEnabled();
    std::wstring GetPrefReplyToAddress();
    std::wstring GetPrefReplyToName();
    bool GetAllowAnyFromAddress();
    bool GetFeatureIMEnabled();
    bool GetFeatureIdentitiesEnabled();
    ULONGLONG GetMaxMessageSize();
    bool IsOOOFeatureEnabled();
    bool IsMailForwardingEnabled();
    bool IsMailForwardingInFiltersEnabled();
    // False when the account information is not at hand.
    bool GetCurrentQuotaInfo(ULONGLONG& ullQuota, ULONGLONG& ullUsed);
    bool GetCurrentWhiteBlackListMaxNumEntries(DWORD& dwBlackList, DWORD& dwWhiteList);

    // ---- Other accounts (cached per account) ----
    HRESULT GetUserAccountInfo(const wchar_t* pwszAccount, UserInfo& info, int byName = 1);
    HRESULT GetUserEmail(const wchar_t* pwszAccount, std::wstring& wsEmail);
    HRESULT GetUserOstrelID(const wchar_t* pwszAccount, std::wstring& wsOstrelId);
    void RemoveUserAccountInfoFromCache(const wchar_t* pwszAccount);

    // ---- Connection ----
    // The port requests go to: the certificate sign-on's redirect, else the mailbox port of the
    // handheld server's administrator, else the logon port.
    DWORD Port() override;
    DWORD AdminPort() override;
    DWORD MailPort();
    int IsSecure();
    DWORD ProxySelection();
    std::wstring ProxyServer();
    std::wstring SessionServerName();
    const std::wstring& AccountName() const { return m_logon.wsAccount; }
    const std::wstring& ProfileName() const { return m_wsProfile; }
    // The session's own connection (sign-on and account requests).
    Connection* GetCurrentConnect();
    void CloseRequest();
    void SetAllowConnectEvenWhenOLOffline(bool bAllow);
    // Handheld-server edition: asks the server for the mailbox port again.
    HRESULT ReEvaluateConnectionParams();

    // ---- User interface (process-wide) ----
    // Whether sign-on may prompt the user, and the window prompts belong to.
    static void SetUIFlag(int flag);
    static int GetUIFlag();
    static void SetUIParam(HWND hwnd);
    static HWND GetUIParam();
    static void SetHandleOfConfigPropSheets(HWND hwnd);
    static HWND GetHandleOfConfigPropSheets();
    static void SetOstrelUIFlag(int flag);
    static int GetOstrelUIFlag();
    // The MAPI support object of a profile. Set adds a reference, Get returns one (the caller
    // releases it; null when none), Release drops the kept one.
    static void SetSupportObject(const wchar_t* pwszProfile, IMAPISupport* pSupport);
    static IMAPISupport* GetSupportObject(const wchar_t* pwszProfile);
    static void ReleaseSupportObject(const wchar_t* pwszProfile);
    static void ReleaseSupportObjects();
    // The account preferences' UID; Wait returns false when it is not set within the time.
    static void SetAccountPrefsUID(const GUID& uid);
    static bool GetAccountPrefsUID(GUID& uid);
    static bool WaitForAccountPrefsGUID(DWORD dwTimeoutMs, GUID& uid);

private:
    // What the session's own connection stamps into its requests: the current token, without
    // ever signing on (it is the connection sign-on runs on).
    class OwnConnectionSession : public IConnectionSession {
    public:
        explicit OwnConnectionSession(UserSession& session) : m_session(session) {}
        DWORD Port() override;
        DWORD AdminPort() override;
        std::wstring AuthToken() override;
        // The flag as known, never fetched: the account information is fetched on this very
        // connection (and the sign-on requests never carry the marker).
        bool SetNoSession() override;
        void InvalidateAuthToken(int) override {}

    private:
        UserSession& m_session;
    };

    struct AccountInfo {
        GUID ostrelId{};
        std::wstring wsName;
        std::wstring wsDisplayName;
        std::wstring wsFromDisplay;
        std::vector<std::wstring> aliases;
        std::vector<std::wstring> fromAddresses;
        std::wstring wsPrefFromAddress;
        bool bReplyToEnabled = false;
        std::wstring wsReplyToAddress;
        std::wstring wsReplyToDisplay;
        bool bAllowAnyFrom = false;
        bool bIdentities = false;
        bool bIM = false;
        ULONGLONG ullQuota = 0;
        ULONGLONG ullUsed = 0;
        DWORD dwBlackListMax = 0;
        DWORD dwWhiteListMax = 0;
        ULONGLONG ullMaxMessageSize = 0;
        bool bOutOfOffice = true;
        bool bForwarding = false;
        bool bForwardingInFilters = false;
    };

    struct Features {
        bool bNoSession = false;
        bool bApptAlarm = false;
        bool bSMIME = false;
        bool bOrphans = false;
        bool bWaitsetTypes = false;
        bool bTagIds = true;
        bool bTagNames = false;
        bool bOSV8 = false;
        int iZipLevel = -1;
        int iZipListSize = 100;
    };

    UserSession(const std::wstring& wsProfile, const LogonParams& params);

    // Sign-on (SessionDataAuth.cpp); all run under the session lock.
    HRESULT Authenticate();
    HRESULT Auth();
    std::unique_ptr<Request> BuildAuthRequest();
    HRESULT ParseAuthResponse(Response& response);
    HRESULT PromptTwoFactor();
    HRESULT PromptPassword(const SoapFaultResponse& fault);
    HRESULT PromptNewPassword();
    HRESULT ChangePassword(const std::wstring& wsNewPassword);
    HRESULT FailWithMessage(const std::wstring& wsText);
    void SharePassword();
    void RemoveRedirect();
    void LookUpMailPort();
    bool IsAdminMode() const;
    Connection* SignOnConnection();
    // One exchange on a connection of the session, built into a typed response.
    std::unique_ptr<Response> Send(Connection& connection, Request& request, bool bLogBody = true);

    // Single sign-on (SessionDataSso.cpp).
    bool GetSPNEGOToken(const std::wstring& wsRealm, std::vector<BYTE>& token);
    DWORD GetStatus(const wchar_t* pwszUrl, const wchar_t* pwszHeaders);

    // Account information (SessionDataAccount.cpp).
    void Update(IXMLDOMDocument2* pDocument);
    void ComputeFeatures();
    HRESULT EnsureInfo();
    HRESULT LookUpAccount(const wchar_t* pwszAccount, int byName, UserInfo& info);

    const std::wstring m_wsProfile;
    const LogonParams m_logon;  // as the session was created
    OwnConnectionSession m_ownSession{*this};
    std::unique_ptr<Connection> m_pConnection;
    std::unique_ptr<AdminConnection> m_pAdminConnection;
    SharedPassword m_sharedPassword;

    // Under the session lock.
    std::wstring m_wsPassword;
    // The password was dropped on an invalidation: the share this process wrote holds the same
    // one and must not sign on again in its place.
    bool m_bPasswordDropped = false;
    std::wstring m_wsAuthToken;
    std::wstring m_wsLifeTime;
    std::wstring m_wsSessionId;
    std::wstring m_wsTrustedToken;
    std::wstring m_wsSSOToken;
    std::wstring m_wsTwoFactorCode;
    int m_iTrustDevice = 0;
    std::optional<ULONGLONG> m_oullLastInvalidation;
    bool m_bLastInvalidationExpired = false;
    int m_iAuthState = kAuthStateNone;
    bool m_bGotServerCertError = false;
    DWORD m_dwRedirectPort = 0;
    DWORD m_dwMailPort = 0;

    std::wstring m_wsVersion;
    int m_iMajor = 0;
    int m_iMinor = 0;
    int m_iMaintenance = 0;
    Features m_features;
    AccountInfo m_account;
    bool m_bInfoFetched = false;

    std::mutex m_lookupMutex;
    std::map<std::wstring, UserInfo> m_lookups;
};

}  // namespace Ostrel::Rpc
