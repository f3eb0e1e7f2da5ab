// Accounts of the simulator and their sign-on: passwords, two-factor codes, trusted devices,
// single sign-on tokens, certificate sign-on, tokens with a lifetime that can also be expired on
// demand, and what GetInfoRequest reports (server version, attributes, preferences).
//
// Endpoints: Endpoints/Auth.cpp (AuthRequest in the account and admin namespaces,
// ChangePasswordRequest), Endpoints/AccountInfo.cpp (GetInfoRequest, GetAccountInfoRequest,
// GetServerRequest), Endpoints/NoOp.cpp and Endpoints/SignOn.cpp ("/service/spnego",
// "/certauth").
//
// Tokens are only checked once an account exists: a server without accounts answers every
// request as before, so areas that do not sign on need not set one up. Texts are UTF-8.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace OstrelServer {

struct SoapCall;
struct SoapReply;

struct Account {
    std::string name{};  // sign-on name and address
    std::string password{};
    std::string id{};  // "ostrelId"; made from the name when empty
    std::string displayName{};
    std::string mailHost = "mail.example.test";
    bool admin = false;  // may sign on in the admin namespace
    // Two-factor sign-on: a code from `codes` (each good once) or a trusted device's token.
    bool twoFactor = false;
    std::vector<std::string> codes{};
    bool twoFactorSetupRequired = false;
    bool mustChangePassword = false;
    // Reported by GetInfoRequest besides ostrelId and displayName; names may repeat.
    std::vector<std::pair<std::string, std::string>> attrs{};
    std::vector<std::pair<std::string, std::string>> prefs{};
    int64_t used = 0;
};

class AccountBook {
public:
    enum class TokenState { Valid, Expired, Unknown };

    // Adds an account or replaces the one with the same name (names compare without case).
    void Add(Account account);
    std::optional<Account> Find(const std::string& name) const;
    std::optional<Account> FindById(const std::string& id) const;
    bool Empty() const;

    void SetVersion(std::string version);
    std::string Version() const;
    void SetTokenLifetime(std::chrono::milliseconds lifetime);
    std::chrono::milliseconds TokenLifetime() const;
    // The mailbox ports GetServerRequest reports.
    void SetMailPorts(int port, int sslPort);
    std::pair<int, int> MailPorts() const;

    // Session tokens.
    std::string IssueToken(const std::string& account);
    TokenState CheckToken(const std::string& token, std::string* pAccount = nullptr) const;
    // Every token issued so far reads as expired from now on.
    void ExpireTokens();
    size_t TokensIssued() const;

    // Sign-on checks; an empty result is success, else the fault code to answer.
    std::string CheckPassword(const std::string& name, const std::string& password) const;
    bool UseCode(const std::string& name, const std::string& code);
    std::string ChangePassword(const std::string& name, const std::string& oldPassword, const std::string& newPassword);

    // Trusted devices: a token bound to the account and the device id.
    std::string TrustDevice(const std::string& name, const std::string& deviceId);
    bool IsTrustedDevice(const std::string& name, const std::string& token, const std::string& deviceId) const;
    void ForgetTrustedDevices();

    // Single sign-on: a Negotiate token (base64, as sent) that stands for an account. The
    // "/service/spnego" answer carries a one-time sign-on token that AuthRequest exchanges.
    void AcceptNegotiateToken(const std::string& base64, const std::string& account);
    std::optional<std::string> AccountForNegotiateToken(const std::string& base64) const;
    std::string IssueSsoToken(const std::string& account);
    std::optional<std::string> TakeSsoToken(const std::string& token);

    // Certificate sign-on: "/certauth" signs `account` on and redirects to `port`.
    void EnableCertAuth(const std::string& account, int port);
    std::optional<std::pair<std::string, int>> CertAuth() const;

private:
    struct Token {
        std::string account;
        std::chrono::steady_clock::time_point expires;
        uint64_t generation = 0;
    };

    mutable std::mutex m_mutex;
    std::map<std::string, Account> m_accounts;  // by lower-case name
    std::string m_version = "9.0.0_GA_4178";
    std::chrono::milliseconds m_lifetime{std::chrono::hours(12)};
    std::pair<int, int> m_mailPorts{8080, 8443};
    std::map<std::string, Token> m_tokens;
    uint64_t m_generation = 1;  // tokens of an older generation are expired
    uint64_t m_nextToken = 1;
    std::map<std::string, std::pair<std::string, std::string>> m_trusted;  // token -> account, device
    std::map<std::string, std::string> m_negotiate;                        // base64 -> account
    std::map<std::string, std::string> m_ssoTokens;                        // token -> account
    std::optional<std::pair<std::string, int>> m_certAuth;
};

// The session token of a SOAP call (header context or OS_AUTH_TOKEN cookie) checked against the
// book: the caller's account, or the fault to answer. Without accounts nothing is checked and
// the account is empty.
std::string RequireToken(const SoapCall& call, std::optional<SoapReply>& fault);

// The text of a child of the call's body element, by local name.
std::optional<std::string> BodyChild(const SoapCall& call, const std::string& localName);
std::optional<std::string> BodyChildAttribute(const SoapCall& call, const std::string& localName,
                                              const std::string& attribute);

}  // namespace OstrelServer
