// Profiles of the command line: what `ostrel login` records and `ostrel sync` uses.
//
//   OSTREL_HOME/profiles/NAME/profile.conf   settings, "key=value" lines (UTF-8)
//   OSTREL_HOME/profiles/NAME/mail/          the synchronised mailbox (see LocalMailbox.h)
//   OSTREL_HOME/profiles/NAME.prf            the MAPI profile of the same name: the library keeps the
//                                            stored password and trusted-device token in its
//                                            connector section (encrypted with EncryptPassword)
//
// Keys of profile.conf: server (http[s]://host:port), account, proxy (none, system or host:port),
// ca-file, virtual-host, account-id (the server's id of the account the local copy belongs to,
// recorded at sign-on). Lines it does not know are kept when the file is rewritten.
#pragma once

#include "Ostrel/Rpc/Session/UserSession.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace OstrelCli {

struct ServerAddress {
    std::string sHost;
    unsigned uPort = 0;
    bool bTls = false;

    // The normalised form, always with the port: "https://host:443".
    std::string Url() const;
};

// "http://host[:port][/]" or "https://..."; nothing with `why` set for anything else.
std::optional<ServerAddress> ParseServerUrl(const std::string& url, std::string& why);

struct ProfileSettings {
    std::string sName;
    ServerAddress server;
    std::string sAccount;
    std::string sProxy = "none";
    std::string sCaFile;
    std::string sVirtualHost;
    std::string sAccountId;
    std::vector<std::string> otherLines;  // kept as they were
};

// $OSTREL_PROFILE, else "default".
std::string DefaultProfileName();
// Letters, digits, '.', '_', '-' and '@', not starting with '.'; at most 64 characters.
bool IsValidProfileName(const std::string& name);
std::filesystem::path ProfileDir(const std::string& name);
std::filesystem::path ProfileDataDir(const std::string& name);

// The profile, or nothing when it does not exist; `why` is set when it exists but cannot be read.
std::optional<ProfileSettings> LoadProfile(const std::string& name, std::string& why);
bool SaveProfile(const ProfileSettings& profile, std::string& why);

// Checks a proxy setting: "none", "system" or "host:port".
bool IsValidProxySetting(const std::string& proxy);

// The logon parameters of the profile's user session.
Ostrel::Rpc::LogonParams LogonParamsOf(const ProfileSettings& profile, const std::wstring& wsPassword);

// Adds the profile's extra trusted certificates to the HTTP layer (when it names a file).
bool ApplyTrustedRoots(const ProfileSettings& profile, std::string& why);

}  // namespace OstrelCli
