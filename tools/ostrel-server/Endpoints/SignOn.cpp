// Sign-on over plain HTTP: "/service/spnego" (Negotiate single sign-on: challenge, then a
// sign-on token in the OS_AUTH_TOKEN cookie for an accepted token) and "/certauth" (a client
// certificate's sign-on: a session token cookie and a redirect to another port).
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Server.h"

namespace OstrelServer {

namespace {

void Deny(HttpCall& call) {
    call.res.status = 401;
    call.res.set_header("WWW-Authenticate", "Negotiate");
    call.res.set_content("<html><head><title>401 Unauthorized</title></head></html>", "text/html");
}

void Spnego(HttpCall& call) {
    AccountBook& book = call.server.State<AccountBook>();
    const std::string prefix = "Negotiate ";
    std::string authorization = call.req.get_header_value("Authorization");
    if (authorization.rfind(prefix, 0) != 0)
        return Deny(call);
    std::optional<std::string> account = book.AccountForNegotiateToken(authorization.substr(prefix.size()));
    if (!account)
        return Deny(call);
    call.res.status = 200;
    call.res.set_header("Set-Cookie", "OS_AUTH_TOKEN=" + book.IssueSsoToken(*account) + "; Path=/");
    call.res.set_content("<html><body>signed on</body></html>", "text/html");
}

// The host the client asked for, without its port. It goes into the redirect: anything but a
// plain host name or address (a path, credentials, another scheme's syntax) is not repeated.
std::string RequestHost(const httplib::Request& req) {
    std::string host = req.get_header_value("Host");
    const size_t bracket = host.find(']');
    const size_t colon = host.find(':', bracket == std::string::npos ? 0 : bracket);
    if (colon != std::string::npos) {
        if (host.find_first_not_of("0123456789", colon + 1) != std::string::npos)
            return "127.0.0.1";
        host.resize(colon);
    }
    const bool bIpv6 = host.size() > 2 && host.front() == '[' && host.back() == ']' &&
                       host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
    const bool bName =
        !host.empty() &&
        host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") == std::string::npos;
    return bIpv6 || bName ? host : "127.0.0.1";
}

void CertAuth(HttpCall& call) {
    AccountBook& book = call.server.State<AccountBook>();
    std::optional<std::pair<std::string, int>> target = book.CertAuth();
    if (!target) {
        call.res.status = 403;
        call.res.set_content("<html><head><title>403 Forbidden</title></head></html>", "text/html");
        return;
    }
    call.res.status = 302;
    call.res.set_header("Set-Cookie", "OS_AUTH_TOKEN=" + book.IssueToken(target->first) + "; Path=/");
    call.res.set_header("Location", std::string(call.server.IsTls() ? "https" : "http") + "://" +
                                        RequestHost(call.req) + ":" + std::to_string(target->second) + "/");
    call.res.set_content("", "text/html");
}

HttpEndpoint s_spnego("GET", "/service/spnego", Spnego);
HttpEndpoint s_certAuth("GET", "/certauth", CertAuth);

}  // namespace

}  // namespace OstrelServer
