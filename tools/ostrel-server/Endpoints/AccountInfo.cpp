// GetInfoRequest (the signed-on account with the server version), GetAccountInfoRequest (another
// account by name or id) and the administrator's GetServerRequest (mailbox ports).
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/Soap.h"

namespace OstrelServer {

namespace {

std::string Element(const std::string& name, const std::string& value) {
    return "<" + name + ">" + XmlEscape(value) + "</" + name + ">";
}

std::string Named(const std::string& element, const std::string& attribute, const std::string& name,
                  const std::string& value) {
    return "<" + element + " " + attribute + "=\"" + XmlEscape(name) + "\">" + XmlEscape(value) + "</" + element + ">";
}

SoapReply GetInfo(const SoapCall& call) {
    std::optional<SoapReply> fault;
    std::string signedOn = RequireToken(call, fault);
    if (fault)
        return *fault;
    AccountBook& book = call.server.State<AccountBook>();
    std::optional<Account> account = book.Find(signedOn);
    std::string xml = "<GetInfoResponse xmlns=\"urn:ostrelAccount\">" + Element("version", book.Version());
    if (account) {
        xml += Element("id", account->id) + Element("name", account->name) +
               Element("lifetime", std::to_string(book.TokenLifetime().count())) +
               Element("used", std::to_string(account->used)) + "<prefs>";
        for (const auto& [name, value] : account->prefs)
            xml += Named("pref", "name", name, value);
        xml += "</prefs><attrs>" + Named("attr", "name", "ostrelId", account->id) +
               Named("attr", "name", "displayName", account->displayName);
        for (const auto& [name, value] : account->attrs)
            xml += Named("attr", "name", name, value);
        xml += "</attrs>";
    }
    xml += "</GetInfoResponse>";
    return SoapReply::Body(xml);
}

SoapReply GetAccountInfo(const SoapCall& call) {
    std::optional<SoapReply> fault;
    RequireToken(call, fault);
    if (fault)
        return *fault;
    AccountBook& book = call.server.State<AccountBook>();
    std::string key = BodyChild(call, "account").value_or(std::string());
    std::optional<Account> account =
        BodyChildAttribute(call, "account", "by").value_or("name") == "id" ? book.FindById(key) : book.Find(key);
    if (!account)
        return SoapReply::Fault("account.NO_SUCH_ACCOUNT", "no such account: " + key);
    return SoapReply::Body("<GetAccountInfoResponse xmlns=\"urn:ostrelAccount\">" + Element("name", account->name) +
                           Named("attr", "name", "ostrelId", account->id) +
                           Named("attr", "name", "ostrelMailHost", account->mailHost) + "</GetAccountInfoResponse>");
}

SoapReply GetServer(const SoapCall& call) {
    std::optional<SoapReply> fault;
    std::string signedOn = RequireToken(call, fault);
    if (fault)
        return *fault;
    AccountBook& book = call.server.State<AccountBook>();
    std::optional<Account> account = book.Find(signedOn);
    if (!book.Empty() && (!account || !account->admin))
        return SoapReply::Fault("service.PERM_DENIED", "administrators only");
    auto [port, sslPort] = book.MailPorts();
    std::string server = BodyChild(call, "server").value_or(std::string());
    return SoapReply::Body("<GetServerResponse xmlns=\"urn:ostrelAdmin\"><server name=\"" + XmlEscape(server) + "\">" +
                           Named("a", "n", "ostrelMailPort", std::to_string(port)) +
                           Named("a", "n", "ostrelMailSSLPort", std::to_string(sslPort)) +
                           "</server></GetServerResponse>");
}

SoapEndpoint s_getInfo("GetInfoRequest", GetInfo);
SoapEndpoint s_getAccountInfo("GetAccountInfoRequest", GetAccountInfo);
SoapEndpoint s_getServer("GetServerRequest", GetServer);

}  // namespace

}  // namespace OstrelServer
