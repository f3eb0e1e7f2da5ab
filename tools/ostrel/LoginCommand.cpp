// `ostrel login`: creates or updates a profile, signs on through the library's UserSession and
// prints the account the server reports. The profile is saved only after a successful sign-on;
// the password is kept only when the StorePassword setting allows it (encrypted by the library);
// --store-password turns that setting on.
// Pointing a profile at another server or account drops the old account's local mailbox copy.
#include "Args.h"
#include "Errors.h"
#include "Output.h"
#include "Profile.h"
#include "SignOn.h"

#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Util/OstrelReg.h"
#include "Util/Text/Guid.h"

#include <filesystem>

namespace OstrelCli {

namespace {

struct AccountReport {
    std::vector<std::pair<std::string, std::string>> fields;
    std::vector<std::string> aliases;
};

AccountReport DescribeAccount(const ProfileSettings& profile, Ostrel::Rpc::UserSession& session, bool bStored) {
    AccountReport report;
    auto add = [&](const char* key, const std::string& value) { report.fields.emplace_back(key, value); };
    add("profile", profile.sName);
    add("server", profile.server.Url());
    add("account", Platform::ToUtf8(session.EmailAddress()));
    add("name", Platform::ToUtf8(session.DisplayName()));
    add("id", Platform::ToUtf8(Ostrel::Util::Guid(session.OstrelId()).ToIdString()));
    add("version", Platform::ToUtf8(session.GetVersionText()));
    ULONGLONG ullQuota = 0, ullUsed = 0;
    if (session.GetCurrentQuotaInfo(ullQuota, ullUsed)) {
        add("used", std::to_string(ullUsed));
        add("quota", std::to_string(ullQuota));  // 0: no limit
    }
    add("password", bStored ? "stored" : "not stored");
    for (size_t i = 0; i < session.GetMailAliasCount(); ++i)
        report.aliases.push_back(Platform::ToUtf8(session.GetMailAlias(i)));
    return report;
}

void PrintAccount(const AccountReport& report, bool bJson, Context& context) {
    if (bJson) {
        std::fprintf(context.out, "{");
        for (const auto& [key, value] : report.fields)
            std::fprintf(context.out, "%s:%s,", JsonString(key).c_str(), JsonString(value).c_str());
        std::fprintf(context.out, "\"aliases\":[");
        for (size_t i = 0; i < report.aliases.size(); ++i)
            std::fprintf(context.out, "%s%s", i ? "," : "", JsonString(report.aliases[i]).c_str());
        std::fprintf(context.out, "]}\n");
        return;
    }
    for (const auto& [key, value] : report.fields)
        std::fprintf(context.out, "%s\t%s\n", key.c_str(), TsvField(value).c_str());
    for (const auto& alias : report.aliases)
        std::fprintf(context.out, "alias\t%s\n", TsvField(alias).c_str());
}

}  // namespace

int RunLogin(const std::vector<std::string>& args, Context& context) {
    std::vector<OptionSpec> options = {{"--profile", true},  {"--server", true},  {"--account", true},
                                       {"--proxy", true},    {"--ca-file", true}, {"--virtual-host", true},
                                       {"--store-password"}, {"--json"}};
    options.insert(options.end(), kPasswordOptions.begin(), kPasswordOptions.end());
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("login", args, options, 0, 0, context, parsed, exitCode))
        return exitCode;

    const std::string name = parsed.Value("--profile").value_or(DefaultProfileName());
    if (!IsValidProfileName(name))
        return UsageError("login", "'" + name + "' cannot be a profile name", context);
    std::string why;
    std::optional<ProfileSettings> existing = LoadProfile(name, why);
    if (!existing && !why.empty() && !parsed.Has("--server"))
        return Failure("login", why, context);

    ProfileSettings profile = existing.value_or(ProfileSettings());
    profile.sName = name;
    if (auto url = parsed.Value("--server")) {
        auto address = ParseServerUrl(*url, why);
        if (!address)
            return UsageError("login", why, context);
        profile.server = *address;
    } else if (!existing) {
        return UsageError("login", "a new profile needs --server URL", context);
    }
    if (auto account = parsed.Value("--account"))
        profile.sAccount = *account;
    if (profile.sAccount.empty())
        return UsageError("login", "a new profile needs --account NAME", context);
    if (auto proxy = parsed.Value("--proxy")) {
        if (!IsValidProxySetting(*proxy))
            return UsageError("login", "--proxy takes none, system or host:port", context);
        profile.sProxy = *proxy;
    }
    if (auto caFile = parsed.Value("--ca-file"))
        profile.sCaFile = caFile->empty() ? std::string() : std::filesystem::absolute(*caFile).string();
    if (auto host = parsed.Value("--virtual-host"))
        profile.sVirtualHost = *host;
    const bool bNewIdentity =
        existing && (existing->server.Url() != profile.server.Url() || existing->sAccount != profile.sAccount);

    std::optional<std::wstring> wsPassword;
    if (!ReadPasswordOption(parsed, wsPassword, why))
        return Failure("login", why, context);
    const std::optional<std::wstring> wsStoredBefore = StoredPassword(name);
    if (!wsPassword && existing && !bNewIdentity)
        wsPassword = wsStoredBefore;
    if (!wsPassword)
        wsPassword = PromptForPassword(profile, context);
    if (!wsPassword)
        return UsageError("login", "no password: give --password-file FILE or --password-env VAR, or run on a terminal",
                          context);
    if (!ApplyTrustedRoots(profile, why))
        return Failure("login", why, context);

    std::shared_ptr<Ostrel::Rpc::UserSession> session;
    try {
        SignOnProfile(profile, *wsPassword, context, session);
    } catch (...) {
        return Failure(
            "login",
            DescribeServerFailure(std::current_exception(), {profile.server.Url(), profile.sAccount}, session.get()),
            context);
    }

    if (bNewIdentity) {
        std::error_code ec;
        std::filesystem::remove_all(ProfileDataDir(name), ec);
        if (ec)
            return Failure("login", "cannot remove the old mailbox copy: " + ec.message(), context);
        std::fprintf(context.err, "ostrel login: the local copy of %s's mailbox was removed\n",
                     existing->sAccount.c_str());
    }
    if (!SaveProfile(profile, why))
        return Failure("login", why, context);
    const std::wstring wsProfile = Platform::FromUtf8(name);
    if (parsed.Has("--store-password")) {
        // The user's consent, recorded where the connector's setting lives.
        Ostrel::Util::RegUtil setting(L"StorePassword", KEY_ALL_ACCESS);
        if (setting.CreateKey() != ERROR_SUCCESS || setting.SetValue(DWORD{1}) != ERROR_SUCCESS)
            return Failure("login", "cannot record the StorePassword setting in the registry", context);
    }
    bool bStored = false;
    if (Ostrel::Mapi::StorePassword()) {
        // A password the session prompted for has been stored by the session itself.
        if (StoredPassword(name) == wsStoredBefore)
            Ostrel::Mapi::SetStoredPasswordInProfile(wsProfile.c_str(), wsPassword->c_str());
        bStored = StoredPassword(name).has_value();
    } else {
        Ostrel::Mapi::SetStoredPasswordInProfile(wsProfile.c_str(), nullptr);
    }
    PrintAccount(DescribeAccount(profile, *session, bStored), parsed.Has("--json"), context);
    return std::fflush(context.out) == 0 ? kExitOk : kExitFailure;
}

}  // namespace OstrelCli
