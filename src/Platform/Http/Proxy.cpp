// Proxy selection: WinHTTP proxy lists and bypass lists, and the user's settings, which on Linux
// are the http_proxy, https_proxy and no_proxy environment variables.
#include "Platform/Http/Internal.h"

#include "Platform/Base/Utf.h"

#include <fnmatch.h>

#include <cstdlib>

namespace Platform::Http::Detail {

namespace {

std::vector<std::string> SplitList(const std::string& text, const char* separators) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(separators, pos);
        if (end == std::string::npos)
            end = text.size();
        if (end > pos)
            out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

const char* EnvAny(const char* lower, const char* upper) {
    const char* v = std::getenv(lower);
    if (!v || !*v)
        v = upper ? std::getenv(upper) : nullptr;
    return v && *v ? v : nullptr;
}

// "http://user:pw@host:port/" -> "host:port".
std::string HostPortOf(const std::string& url) {
    std::string s = url;
    size_t scheme = s.find("://");
    if (scheme != std::string::npos)
        s = s.substr(scheme + 3);
    size_t slash = s.find('/');
    if (slash != std::string::npos)
        s = s.substr(0, slash);
    size_t at = s.rfind('@');
    if (at != std::string::npos)
        s = s.substr(at + 1);
    return s;
}

}  // namespace

std::string ProxyForRequest(const ProxySetting& setting, const std::string& host, bool secure) {
    if (setting.accessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || ProxyBypassed(setting.bypass, host))
        return std::string();  // an empty proxy also keeps curl from reading the environment itself
    std::string generic, specific;
    for (const std::string& entry : SplitList(Platform::ToUtf8(setting.proxy), "; \t")) {
        size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            if (generic.empty())
                generic = entry;
        } else if (entry.compare(0, eq, secure ? "https" : "http") == 0 && specific.empty()) {
            specific = entry.substr(eq + 1);
        }
    }
    std::string chosen = specific.empty() ? generic : specific;
    if (chosen.empty())
        return std::string();
    chosen = HostPortOf(chosen);
    if (chosen.find(':') == std::string::npos || chosen.back() == ']')
        chosen += ":80";
    return "http://" + chosen;
}

bool ProxyBypassed(const std::wstring& bypass, const std::string& host) {
    for (const std::string& pattern : SplitList(Platform::ToUtf8(bypass), ";, \t")) {
        if (pattern == "<local>") {
            if (host.find('.') == std::string::npos && host.find(':') == std::string::npos)
                return true;
        } else if (fnmatch(pattern.c_str(), host.c_str(), FNM_CASEFOLD) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace Platform::Http::Detail

BOOL WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* pProxyConfig) {
    using namespace Platform::Http::Detail;
    if (!pProxyConfig) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pProxyConfig = WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{};
    const char* http = EnvAny("http_proxy", nullptr);  // HTTP_PROXY is not trusted (CGI header injection)
    const char* https = EnvAny("https_proxy", "HTTPS_PROXY");
    std::string h = http ? HostPortOf(http) : std::string();
    std::string s = https ? HostPortOf(https) : std::string();
    std::string list;
    if (!h.empty() && h == s)
        list = h;
    else {
        if (!h.empty())
            list = "http=" + h;
        if (!s.empty())
            list += (list.empty() ? "" : ";") + ("https=" + s);
    }
    pProxyConfig->lpszProxy = Platform::FromUtf8(list);

    std::string bypass;
    if (const char* noProxy = EnvAny("no_proxy", "NO_PROXY")) {
        for (std::string entry : SplitList(noProxy, ", \t")) {
            // no_proxy names a domain and everything below it.
            std::vector<std::string> patterns;
            if (entry == "*")
                patterns = {"*"};
            else if (entry[0] == '.')
                patterns = {"*" + entry};
            else
                patterns = {entry, "*." + entry};
            for (const auto& p : patterns)
                bypass += (bypass.empty() ? "" : ";") + p;
        }
    }
    pProxyConfig->lpszProxyBypass = Platform::FromUtf8(bypass);
    return TRUE;
}
