#include "Profile.h"

#include "LocalFiles.h"

#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "Platform/Http/WinHttp.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace OstrelCli {

namespace {

constexpr size_t kMaxProfileFile = 65536;
constexpr size_t kMaxCaFile = 16 << 20;

std::optional<unsigned> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned port = static_cast<unsigned>(std::stoul(text));
    if (port == 0 || port > 65535)
        return std::nullopt;
    return port;
}

}  // namespace

std::string ServerAddress::Url() const {
    const bool bIpv6 = sHost.find(':') != std::string::npos;
    return std::string(bTls ? "https://" : "http://") + (bIpv6 ? "[" + sHost + "]" : sHost) + ":" +
           std::to_string(uPort);
}

std::optional<ServerAddress> ParseServerUrl(const std::string& url, std::string& why) {
    ServerAddress address;
    std::string rest;
    if (url.rfind("https://", 0) == 0) {
        address.bTls = true;
        rest = url.substr(8);
    } else if (url.rfind("http://", 0) == 0) {
        rest = url.substr(7);
    } else {
        why = "the server URL must start with http:// or https://";
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find_first_of("/?#@ \t") != std::string::npos) {
        why = "the server URL names only the host and port, e.g. https://mail.example.com:443";
        return std::nullopt;
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            why = "unbalanced brackets in the server URL";
            return std::nullopt;
        }
        address.sHost = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                why = "unexpected text after the host in the server URL";
                return std::nullopt;
            }
            port = rest.substr(close + 2);
        }
    } else {
        const size_t colon = rest.find(':');
        address.sHost = rest.substr(0, colon);
        if (colon != std::string::npos)
            port = rest.substr(colon + 1);
    }
    if (address.sHost.empty()) {
        why = "the server URL has no host";
        return std::nullopt;
    }
    if (port.empty()) {
        address.uPort = address.bTls ? 443 : 80;
    } else if (auto parsed = ParsePort(port)) {
        address.uPort = *parsed;
    } else {
        why = "the port of the server URL must be 1 to 65535";
        return std::nullopt;
    }
    return address;
}

std::string DefaultProfileName() {
    const char* name = std::getenv("OSTREL_PROFILE");
    return name && *name ? name : "default";
}

bool IsValidProfileName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-' && c != '@')
            return false;
    }
    return true;
}

std::filesystem::path ProfileDir(const std::string& name) {
    return Platform::OstrelHome() / "profiles" / name;
}

std::filesystem::path ProfileDataDir(const std::string& name) {
    return ProfileDir(name) / "mail";
}

std::optional<ProfileSettings> LoadProfile(const std::string& name, std::string& why) {
    const std::filesystem::path path = ProfileDir(name) / "profile.conf";
    std::optional<std::string> text = ReadSmallFile(path, kMaxProfileFile, why);
    if (!text)
        return std::nullopt;
    ProfileSettings profile;
    profile.sName = name;
    bool bServer = false;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
        if (key == "server") {
            auto address = ParseServerUrl(value, why);
            if (!address) {
                why = path.string() + ": " + why;
                return std::nullopt;
            }
            profile.server = *address;
            bServer = true;
        } else if (key == "account") {
            profile.sAccount = value;
        } else if (key == "proxy") {
            profile.sProxy = value;
        } else if (key == "ca-file") {
            profile.sCaFile = value;
        } else if (key == "virtual-host") {
            profile.sVirtualHost = value;
        } else if (key == "account-id") {
            profile.sAccountId = value;
        } else {
            profile.otherLines.push_back(line);
        }
    }
    if (!bServer || profile.sAccount.empty() || !IsValidProxySetting(profile.sProxy)) {
        why = path.string() + " lacks the server or the account, or has a bad proxy setting; run 'ostrel login' again";
        return std::nullopt;
    }
    return profile;
}

bool SaveProfile(const ProfileSettings& profile, std::string& why) {
    const std::filesystem::path dir = ProfileDir(profile.sName);
    if (!Platform::EnsurePrivateDirectory(dir)) {
        why = "cannot create " + dir.string();
        return false;
    }
    std::string text =
        "server=" + profile.server.Url() + "\naccount=" + profile.sAccount + "\nproxy=" + profile.sProxy + "\n";
    if (!profile.sCaFile.empty())
        text += "ca-file=" + profile.sCaFile + "\n";
    if (!profile.sVirtualHost.empty())
        text += "virtual-host=" + profile.sVirtualHost + "\n";
    if (!profile.sAccountId.empty())
        text += "account-id=" + profile.sAccountId + "\n";
    for (const auto& line : profile.otherLines)
        text += line + "\n";
    return WriteFileAtomically(dir / "profile.conf", text, true, why);
}

bool IsValidProxySetting(const std::string& proxy) {
    if (proxy == "none" || proxy == "system")
        return true;
    const size_t colon = proxy.rfind(':');
    return colon != std::string::npos && colon > 0 && ParsePort(proxy.substr(colon + 1)).has_value() &&
           proxy.find_first_of("/ \t") == std::string::npos;
}

Ostrel::Rpc::LogonParams LogonParamsOf(const ProfileSettings& profile, const std::wstring& wsPassword) {
    Ostrel::Rpc::LogonParams params;
    params.wsAccount = Platform::FromUtf8(profile.sAccount);
    params.wsPassword = wsPassword;
    params.wsServer = Platform::FromUtf8(profile.server.sHost);
    params.dwPort = profile.server.uPort;
    params.useSSL = profile.server.bTls ? 1 : 0;
    if (profile.sProxy == "system") {
        params.dwProxySelection = Ostrel::Rpc::kProxyModeBrowser;
    } else if (profile.sProxy != "none") {
        params.dwProxySelection = Ostrel::Rpc::kProxyModeManual;
        params.wsProxy = Platform::FromUtf8(profile.sProxy);
    }
    params.wsVirtualHost = Platform::FromUtf8(profile.sVirtualHost);
    return params;
}

bool ApplyTrustedRoots(const ProfileSettings& profile, std::string& why) {
    if (profile.sCaFile.empty())
        return true;  // OSTREL_CA_BUNDLE, when set, still applies
    // Read here, so that a file that cannot be used is named as such, not as an untrusted server.
    std::string problem;
    if (!ReadSmallFile(profile.sCaFile, kMaxCaFile, problem)) {
        why = problem.empty() ? "the CA file " + profile.sCaFile + " does not exist" : problem;
        return false;
    }
    Platform::Http::SetTrustedRootsFile(profile.sCaFile);
    return true;
}

}  // namespace OstrelCli
