// HTTP authentication of a connection (the credentials prompt and the stored credentials) and
// the response headers the session's sign-on steps read: the Negotiate challenge, the token
// cookie and the redirect.
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/LogMask.h"

#include <cwctype>
#include <map>

#include "Platform/Base/Text.h"
#include "Platform/Host/Host.h"
#include "Platform/Ui/Ui.h"
#include "Util/Log/Log.h"
#include "Util/Text/Localized.h"

namespace Ostrel::Rpc {

namespace {

struct Credentials {
    std::wstring wsUser;
    std::wstring wsPassword;
};

// Credentials the user typed, for the process: server ones by "server:port", proxy ones by the
// proxy that asked, so that they only ever go where they were asked for.
std::mutex g_credentialsMutex;
std::map<std::wstring, Credentials> g_serverCredentials;
std::map<std::wstring, Credentials> g_proxyCredentials;

std::wstring ServerKey(const std::wstring& wsServer, DWORD dwPort) {
    return Platform::FoldCase(wsServer) + L":" + std::to_wstring(dwPort);
}

// The one proxy of a list ("http=a:3128;https=b:3129", or one for every scheme) that this
// connection's requests go through, as the HTTP layer picks it. Credentials are kept per proxy,
// so that those typed for one never go to another.
std::wstring ProxyKey(const std::wstring& wsList, bool bSecure) {
    const std::wstring wsScheme = bSecure ? L"https=" : L"http=";
    std::wstring wsGeneric, wsSpecific;
    size_t pos = 0;
    while (pos < wsList.size()) {
        size_t end = wsList.find_first_of(L"; \t", pos);
        if (end == std::wstring::npos)
            end = wsList.size();
        const std::wstring wsEntry = wsList.substr(pos, end - pos);
        pos = end + 1;
        if (wsEntry.empty())
            continue;
        if (wsEntry.find(L'=') == std::wstring::npos) {
            if (wsGeneric.empty())
                wsGeneric = wsEntry;
        } else if (wsEntry.compare(0, wsScheme.size(), wsScheme) == 0 && wsSpecific.empty()) {
            wsSpecific = wsEntry.substr(wsScheme.size());
        }
    }
    return Platform::FoldCase(wsSpecific.empty() ? wsGeneric : wsSpecific);
}

}  // namespace

int Connection::DoHttpAuthentication(int target) {
    bool bProxy = target == 1;
    std::wstring wsProxy;
    {
        std::lock_guard<std::mutex> handles(m_handleMutex);
        wsProxy = ProxyKey(m_wsProxyList, IsSecure() != 0);
    }
    std::lock_guard<std::mutex> lock(g_credentialsMutex);
    if (bProxy && wsProxy.empty())
        return 0;  // a 407 without a proxy of ours to answer it
    Platform::Ui::PasswordPrompt prompt;
    prompt.wsCaption = bProxy ? wsProxy : m_wsServer + L":" + std::to_wstring(GetPort());
    prompt.wsMessage = bProxy ? L"The proxy server asks for a user name and password."
                              : L"The server asks for a user name and password.";
    prompt.wsUsernameLabel = Util::GetLocalizedString("PASSWORD_DIALOG_IDC_USERNAME");
    prompt.wsPasswordLabel = Util::GetLocalizedString("PASSWORD_DIALOG_IDC_PASSWORD");
    prompt.wsOkLabel = Util::GetLocalizedString("PASSWORD_DIALOG_IDOK");
    prompt.wsCancelLabel = Util::GetLocalizedString("PASSWORD_DIALOG_IDCANCEL");
    prompt.bUsernameEditable = true;
    auto& store = bProxy ? g_proxyCredentials : g_serverCredentials;
    std::wstring key = bProxy ? wsProxy : ServerKey(m_wsServer, GetPort());
    auto known = store.find(key);
    if (known != store.end())
        prompt.wsUsername = known->second.wsUser;

    Platform::Ui::PasswordAnswer answer =
        Platform::Ui::Current()->PromptPassword(Platform::Host::GetClientWindow(), prompt);
    if (answer.iResult != IDOK) {
        OSTLOG_INFO(4, L"HTTP %s authentication cancelled", bProxy ? L"proxy" : L"server");
        return 0;
    }
    store[key] = Credentials{answer.wsUsername, answer.wsPassword};
    return 1;
}

void Connection::SetCredentials(HINTERNET hRequest) {
    std::lock_guard<std::mutex> lock(g_credentialsMutex);
    auto apply = [&](DWORD dwTarget, const Credentials& c) {
        if (!WinHttpSetCredentials(hRequest, dwTarget, WINHTTP_AUTH_SCHEME_BASIC, c.wsUser.c_str(),
                                   c.wsPassword.c_str(), nullptr)) {
            DWORD dwError = GetLastError();
            OSTLOG_ERROR(L"WinHttpSetCredentials(%s) failed: %d",
                         dwTarget == WINHTTP_AUTH_TARGET_PROXY ? L"proxy" : L"server", static_cast<int>(dwError));
            ThrowWinHttp(dwError);
        }
    };
    if (const std::wstring wsProxy = ProxyKey(m_wsProxyList, IsSecure() != 0); !wsProxy.empty()) {
        auto proxy = g_proxyCredentials.find(wsProxy);
        if (proxy != g_proxyCredentials.end())
            apply(WINHTTP_AUTH_TARGET_PROXY, proxy->second);
    }
    auto server = g_serverCredentials.find(ServerKey(m_wsServer, GetPort()));
    if (server != g_serverCredentials.end())
        apply(WINHTTP_AUTH_TARGET_SERVER, server->second);
}

bool Connection::TestForNegotiateChallenge() {
    std::wstring wsAuth = QueryResponseHeader(WINHTTP_QUERY_WWW_AUTHENTICATE);
    OSTLOG_INFO(4, L"pAuth = %s", wsAuth.c_str());
    return Platform::EqualsNoCase(wsAuth, L"negotiate");
}

bool Connection::GetAuthToken(std::wstring& wsToken) {
    wsToken.clear();
    std::wstring wsCookie = QueryResponseHeader(WINHTTP_QUERY_SET_COOKIE);
    OSTLOG_INFO(4, L"pSetCookie = %s", MaskedForLog(wsCookie).c_str());
    const std::wstring prefix = L"OS_AUTH_TOKEN=";
    if (wsCookie.compare(0, prefix.size(), prefix) != 0)
        return false;
    wsToken =
        wsCookie.substr(prefix.size(), wsCookie.find(L';') == std::wstring::npos ? std::wstring::npos
                                                                                 : wsCookie.find(L';') - prefix.size());
    OSTLOG_INFO(4, L"pAuthToken = %s", std::wstring(wsToken.size(), L'*').c_str());
    return true;
}

bool Connection::GetRedirect(std::wstring& wsLocation) {
    wsLocation = QueryResponseHeader(WINHTTP_QUERY_LOCATION);
    OSTLOG_INFO(4, L"pLocation = %s", wsLocation.c_str());
    return !wsLocation.empty();
}

bool Connection::GetRedirectPort(DWORD& dwPort) {
    dwPort = 0;
    std::wstring wsLocation;
    if (!GetRedirect(wsLocation)) {
        OSTLOG_WARN(L"No redirect.");
        return false;
    }
    size_t at = wsLocation.find(m_wsServer);
    if (m_wsServer.empty() || at == std::wstring::npos) {
        OSTLOG_WARN(L"No server name in the redirect string.");
        return false;
    }
    size_t colon = at + m_wsServer.size();
    if (colon >= wsLocation.size() || wsLocation[colon] != L':') {
        OSTLOG_WARN(L"No port on server name in the redirect string.");
        return false;
    }
    size_t digits = colon + 1;
    unsigned long ulPort = 0;
    size_t i = digits;
    while (i < wsLocation.size() && std::iswdigit(wsLocation[i]) && ulPort <= 65535)
        ulPort = ulPort * 10 + (wsLocation[i++] - L'0');
    if (i == digits || ulPort == 0 || ulPort > 65535) {
        OSTLOG_WARN(L"No valid redirect port.");
        return false;
    }
    dwPort = static_cast<DWORD>(ulPort);
    OSTLOG_INFO(4, L"Redirect port = %d", static_cast<int>(dwPort));
    return true;
}

}  // namespace Ostrel::Rpc
