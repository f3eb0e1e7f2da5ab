// AuthRequest (password, two-factor code, trusted device, single sign-on token; and the
// administrator's form in the admin namespace) and ChangePasswordRequest, over the AccountBook.
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/Soap.h"

namespace OstrelServer {

namespace {

constexpr const char* kAccountNs = "urn:ostrelAccount";
constexpr const char* kAdminNs = "urn:ostrelAdmin";

SoapReply SignedOn(AccountBook& book, const std::string& ns, const std::string& account,
                   const std::string& trustedToken = std::string()) {
    std::string token = book.IssueToken(account);
    std::string xml = "<AuthResponse xmlns=\"" + std::string(ns) + "\"><authToken>" + XmlEscape(token) +
                      "</authToken><lifetime>" + std::to_string(book.TokenLifetime().count()) +
                      "</lifetime><sessionId>" + XmlEscape("s-" + token) + "</sessionId>";
    if (!trustedToken.empty())
        xml += "<trustedToken>" + XmlEscape(trustedToken) + "</trustedToken>";
    xml += "</AuthResponse>";
    return SoapReply::Body(xml);
}

SoapReply Fault(const std::string& code) {
    return SoapReply::Fault(code, "sign-on refused: " + code);
}

SoapReply AdminAuth(const SoapCall& call, AccountBook& book) {
    std::string name = BodyChild(call, "name").value_or(std::string());
    std::optional<Account> account = book.Find(name);
    if (!account || !account->admin || !book.CheckPassword(name, BodyChild(call, "password").value_or("")).empty())
        return Fault("account.AUTH_FAILED");
    return SignedOn(book, kAdminNs, account->name);
}

SoapReply Auth(const SoapCall& call) {
    AccountBook& book = call.server.State<AccountBook>();
    if (call.doc.CallNamespace() == kAdminNs)
        return AdminAuth(call, book);

    if (std::optional<std::string> sso = BodyChild(call, "authToken")) {
        std::optional<std::string> account = book.TakeSsoToken(*sso);
        return account ? SignedOn(book, kAccountNs, *account) : Fault("account.AUTH_FAILED");
    }

    std::string name = BodyChild(call, "account").value_or(std::string());
    std::string refusal = book.CheckPassword(name, BodyChild(call, "password").value_or(std::string()));
    if (!refusal.empty())
        return Fault(refusal);
    Account account = *book.Find(name);
    if (account.mustChangePassword)
        return Fault("account.CHANGE_PASSWORD");
    if (account.twoFactorSetupRequired)
        return Fault("account.TWO_FACTOR_SETUP_REQUIRED");
    std::string trusted;
    if (account.twoFactor) {
        std::string deviceId = BodyChild(call, "deviceId").value_or(std::string());
        std::optional<std::string> trustedToken = BodyChild(call, "trustedToken");
        std::optional<std::string> code = BodyChild(call, "twoFactorCode");
        if (trustedToken && book.IsTrustedDevice(name, *trustedToken, deviceId)) {
            // a device trusted earlier
        } else if (code) {
            if (!book.UseCode(name, *code))
                return Fault("account.TWO_FACTOR_AUTH_FAILED");
            bool trustThis = call.doc.Text("/soap:Envelope/soap:Body/*[1]/@deviceTrusted").value_or("") == "1";
            if (trustThis && !deviceId.empty())
                trusted = book.TrustDevice(name, deviceId);
        } else {
            return SoapReply::Body("<AuthResponse xmlns=\"" + std::string(kAccountNs) +
                                   "\"><twoFactorAuthRequired>TRUE</twoFactorAuthRequired></AuthResponse>");
        }
    }
    return SignedOn(book, kAccountNs, account.name, trusted);
}

SoapReply ChangePassword(const SoapCall& call) {
    AccountBook& book = call.server.State<AccountBook>();
    std::string refusal = book.ChangePassword(BodyChild(call, "account").value_or(std::string()),
                                              BodyChild(call, "oldPassword").value_or(std::string()),
                                              BodyChild(call, "password").value_or(std::string()));
    if (!refusal.empty())
        return SoapReply::Fault(refusal, "password not changed: " + refusal);
    return SoapReply::Body("<ChangePasswordResponse xmlns=\"urn:ostrelAccount\"/>");
}

SoapEndpoint s_auth("AuthRequest", Auth);
SoapEndpoint s_changePassword("ChangePasswordRequest", ChangePassword);

}  // namespace

}  // namespace OstrelServer
