#include "Accounts.h"

#include "Endpoint.h"
#include "Server.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace OstrelServer {

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A stable GUID-like id made from the name.
std::string IdFromName(const std::string& name) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name)
        hash = (hash ^ c) * 1099511628211ull;
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-4%03x-8%03x-%012llx", static_cast<unsigned>(hash >> 32),
                  static_cast<unsigned>((hash >> 16) & 0xFFFF), static_cast<unsigned>(hash & 0xFFF),
                  static_cast<unsigned>((hash >> 44) & 0xFFF),
                  static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFull));
    return text;
}

std::string CookieToken(const std::string& cookies) {
    const std::string name = "OS_AUTH_TOKEN=";
    size_t at = cookies.find(name);
    if (at == std::string::npos)
        return std::string();
    size_t start = at + name.size();
    size_t end = cookies.find(';', start);
    return cookies.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

void AccountBook::Add(Account account) {
    if (account.id.empty())
        account.id = IdFromName(Lower(account.name));
    if (account.displayName.empty())
        account.displayName = account.name.substr(0, account.name.find('@'));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accounts[Lower(account.name)] = std::move(account);
}

std::optional<Account> AccountBook::Find(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_accounts.find(Lower(name));
    if (it == m_accounts.end())
        return std::nullopt;
    return it->second;
}

std::optional<Account> AccountBook::FindById(const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [key, account] : m_accounts)
        if (Lower(account.id) == Lower(id))
            return account;
    return std::nullopt;
}

bool AccountBook::Empty() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accounts.empty();
}

void AccountBook::SetVersion(std::string version) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = std::move(version);
}

std::string AccountBook::Version() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_version;
}

void AccountBook::SetTokenLifetime(std::chrono::milliseconds lifetime) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lifetime = lifetime;
}

std::chrono::milliseconds AccountBook::TokenLifetime() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lifetime;
}

void AccountBook::SetMailPorts(int port, int sslPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mailPorts = {port, sslPort};
}

std::pair<int, int> AccountBook::MailPorts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mailPorts;
}

std::string AccountBook::IssueToken(const std::string& account) {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t serial = m_nextToken++;
    std::string token = "tok-" + std::to_string(serial) + "-" + IdFromName(account + std::to_string(serial));
    m_tokens[token] = Token{Lower(account), std::chrono::steady_clock::now() + m_lifetime, m_generation};
    return token;
}

AccountBook::TokenState AccountBook::CheckToken(const std::string& token, std::string* pAccount) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_tokens.find(token);
    if (it == m_tokens.end())
        return TokenState::Unknown;
    if (pAccount)
        *pAccount = it->second.account;
    if (it->second.generation != m_generation || std::chrono::steady_clock::now() >= it->second.expires)
        return TokenState::Expired;
    return TokenState::Valid;
}

void AccountBook::ExpireTokens() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_generation;
}

size_t AccountBook::TokensIssued() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tokens.size();
}

std::string AccountBook::CheckPassword(const std::string& name, const std::string& password) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_accounts.find(Lower(name));
    if (it == m_accounts.end() || it->second.password != password)
        return "account.AUTH_FAILED";
    return std::string();
}

bool AccountBook::UseCode(const std::string& name, const std::string& code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_accounts.find(Lower(name));
    if (it == m_accounts.end())
        return false;
    auto& codes = it->second.codes;
    auto found = std::find(codes.begin(), codes.end(), code);
    if (code.empty() || found == codes.end())
        return false;
    codes.erase(found);
    return true;
}

std::string AccountBook::ChangePassword(const std::string& name, const std::string& oldPassword,
                                        const std::string& newPassword) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_accounts.find(Lower(name));
    if (it == m_accounts.end() || it->second.password != oldPassword)
        return "account.AUTH_FAILED";
    if (newPassword.empty())
        return "account.INVALID_PASSWORD";
    if (newPassword == oldPassword)
        return "account.PASSWORD_RECENTLY_USED";
    it->second.password = newPassword;
    it->second.mustChangePassword = false;
    return std::string();
}

std::string AccountBook::TrustDevice(const std::string& name, const std::string& deviceId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string token = "trusted-" + std::to_string(m_nextToken++) + "-" + IdFromName(deviceId + name);
    m_trusted[token] = {Lower(name), deviceId};
    return token;
}

bool AccountBook::IsTrustedDevice(const std::string& name, const std::string& token,
                                  const std::string& deviceId) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_trusted.find(token);
    return it != m_trusted.end() && it->second.first == Lower(name) && it->second.second == deviceId;
}

void AccountBook::ForgetTrustedDevices() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_trusted.clear();
}

void AccountBook::AcceptNegotiateToken(const std::string& base64, const std::string& account) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_negotiate[base64] = account;
}

std::optional<std::string> AccountBook::AccountForNegotiateToken(const std::string& base64) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_negotiate.find(base64);
    if (it == m_negotiate.end())
        return std::nullopt;
    return it->second;
}

std::string AccountBook::IssueSsoToken(const std::string& account) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string token = "sso-" + std::to_string(m_nextToken++) + "-" + IdFromName(account);
    m_ssoTokens[token] = account;
    return token;
}

std::optional<std::string> AccountBook::TakeSsoToken(const std::string& token) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_ssoTokens.find(token);
    if (it == m_ssoTokens.end())
        return std::nullopt;
    std::string account = it->second;
    m_ssoTokens.erase(it);
    return account;
}

void AccountBook::EnableCertAuth(const std::string& account, int port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_certAuth = std::make_pair(account, port);
}

std::optional<std::pair<std::string, int>> AccountBook::CertAuth() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_certAuth;
}

std::string RequireToken(const SoapCall& call, std::optional<SoapReply>& fault) {
    fault.reset();
    AccountBook& book = call.server.State<AccountBook>();
    if (book.Empty())
        return std::string();
    std::string token = call.doc.Text("/soap:Envelope/soap:Header/l:context/l:authToken").value_or(std::string());
    if (token.empty())
        token = CookieToken(call.http.get_header_value("Cookie"));
    std::string account;
    switch (book.CheckToken(token, &account)) {
        case AccountBook::TokenState::Valid:
            return account;
        case AccountBook::TokenState::Expired:
            fault = SoapReply::Fault("service.AUTH_EXPIRED", "auth credentials have expired");
            return std::string();
        case AccountBook::TokenState::Unknown:
            break;
    }
    fault = SoapReply::Fault("service.AUTH_REQUIRED", "no valid authtoken present");
    return std::string();
}

std::optional<std::string> BodyChild(const SoapCall& call, const std::string& localName) {
    return call.doc.Text("/soap:Envelope/soap:Body/*[1]/*[local-name()='" + localName + "']");
}

std::optional<std::string> BodyChildAttribute(const SoapCall& call, const std::string& localName,
                                              const std::string& attribute) {
    return call.doc.Text("/soap:Envelope/soap:Body/*[1]/*[local-name()='" + localName + "']/@" + attribute);
}

}  // namespace OstrelServer
