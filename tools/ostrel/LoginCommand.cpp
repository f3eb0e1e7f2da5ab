// `ostrel login`: creates or updates a profile, signs on through the library's UserSession and
// prints the account the server reports. The profile is saved only after a successful sign-on;
// the password is kept only when the StorePassword setting allows it (encrypted by the library);
// --store-password turns that setting on.
// The local mailbox copy belongs to the account the server identified at sign-on (the account id
// kept in the profile). Signing the profile on as another account removes that copy, but only
// with --force or the user's yes on a terminal, and never under a running 'ostrel sync'.
#include "Args.h"
#include "Errors.h"
#include "LocalMailbox.h"
#include "Output.h"
#include "Profile.h"
#include "SignOn.h"

#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Ui/Ui.h"
#include "Util/OstrelReg.h"
#include "Util/Text/Guid.h"

#include <algorithm>
#include <cctype>
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

// Account names are mail addresses, which the server compares without regard to case.
bool SameAccountName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// Whether the local copy of the profile's old account may go: --force, or a yes on the terminal.
bool MayRemoveCopy(const ProfileSettings& old, const ProfileSettings& profile, bool bForce) {
    if (bForce)
        return true;
    const std::wstring wsText =
        Platform::FromUtf8("The local copy in " + ProfileDataDir(profile.sName).string() + " holds the mailbox of " +
                           old.sAccount + " on " + old.server.Url() + ", not of the account now signed on (" +
                           profile.sAccount + " on " + profile.server.Url() + "). Remove it?");
    return Platform::Ui::Current()->MessageBox(nullptr, wsText, L"ostrel login", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

}  // namespace

int RunLogin(const std::vector<std::string>& args, Context& context) {
    std::vector<OptionSpec> options = {{"--profile", true},  {"--server", true},  {"--account", true},
                                       {"--proxy", true},    {"--ca-file", true}, {"--virtual-host", true},
                                       {"--store-password"}, {"--json"},          {"--force"}};
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
    // Whether the profile names another account than before, as far as the names tell; the
    // account id the server gives at sign-on decides.
    const bool bOtherNames = existing && (existing->server.Url() != profile.server.Url() ||
                                          !SameAccountName(existing->sAccount, profile.sAccount));

    // A trusted-device token was given by the old server to the old account: it must not be sent
    // to another server or for another account.
    if (bOtherNames && FAILED(Ostrel::Mapi::SetTrustedTokenInProfile(Platform::FromUtf8(name).c_str(), nullptr)))
        return Failure("login", "cannot clear the trusted-device token of profile '" + name + "'", context);

    std::optional<std::wstring> wsPassword;
    if (!ReadPasswordOption(parsed, wsPassword, why))
        return Failure("login", why, context);
    const std::optional<std::wstring> wsStoredBefore = StoredPassword(name);
    if (!wsPassword && existing && !bOtherNames)
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

    // Signed on, but without the account's information (GetInfo failed, was empty or too large)
    // nothing can be told or saved about the account: that is no successful login.
    if (Ostrel::Util::Guid(session->OstrelId()).IsNull() || session->EmailAddress().empty())
        return Failure("login",
                       "signed on to " + profile.server.Url() +
                           ", but the server did not give the account's information; nothing was saved",
                       context);
    profile.sAccountId = Platform::ToUtf8(Ostrel::Util::Guid(session->OstrelId()).ToIdString());
    const bool bOtherAccount =
        existing && (existing->sAccountId.empty() ? bOtherNames : existing->sAccountId != profile.sAccountId);
    if (bOtherAccount) {
        const std::filesystem::path dir = ProfileDataDir(name);
        std::error_code ec;
        if (std::filesystem::exists(dir, ec) && !MayRemoveCopy(*existing, profile, parsed.Has("--force")))
            return Failure("login",
                           "the local copy in " + dir.string() + " holds the mailbox of " + existing->sAccount +
                               " on " + existing->server.Url() + "; give --force to remove it",
                           context);
        switch (LocalMailbox::Discard(dir, why)) {
            case LocalMailbox::DiscardResult::Busy:
                return Failure("login",
                               "'ostrel sync' of profile '" + name +
                                   "' is running; sign on as another account when it has finished",
                               context);
            case LocalMailbox::DiscardResult::Failed:
                return Failure("login", "cannot remove the old mailbox copy: " + why, context);
            case LocalMailbox::DiscardResult::Removed:
                std::fprintf(context.err, "ostrel login: the local copy of %s's mailbox was removed\n",
                             existing->sAccount.c_str());
                break;
            case LocalMailbox::DiscardResult::Absent:
                break;
        }
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
    return kExitOk;
}

}  // namespace OstrelCli
