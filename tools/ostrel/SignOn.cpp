#include "SignOn.h"

#include "Errors.h"
#include "LocalFiles.h"

#include "Ostrel/Settings/ProfileStore.h"
#include "Platform/Base/Utf.h"
#include "Platform/Ui/Ui.h"
#include "Util/Text/Localized.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace OstrelCli {

namespace {

constexpr size_t kMaxPasswordFile = 65536;

// The console adds its own colon after a label.
std::wstring Label(const char* pszKey) {
    std::wstring wsLabel = Ostrel::Util::GetLocalizedString(pszKey);
    while (!wsLabel.empty() && (wsLabel.back() == L':' || wsLabel.back() == L' '))
        wsLabel.pop_back();
    return wsLabel;
}

std::wstring FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return Platform::FromUtf8(line);
}

}  // namespace

const std::vector<OptionSpec> kPasswordOptions = {{"--password-file", true}, {"--password-env", true}};

bool ReadPasswordOption(const ParsedArgs& parsed, std::optional<std::wstring>& wsPassword, std::string& why) {
    wsPassword.reset();
    if (auto file = parsed.Value("--password-file")) {
        std::string text;
        if (*file == "-") {
            std::getline(std::cin, text);
        } else {
            std::optional<std::string> content = ReadSmallFile(*file, kMaxPasswordFile, why);
            if (!content) {
                if (why.empty())
                    why = "no password file " + *file;
                return false;
            }
            text = *content;
        }
        wsPassword = FirstLine(text);
    } else if (auto name = parsed.Value("--password-env")) {
        const char* value = std::getenv(name->c_str());
        if (!value) {
            why = "the environment variable " + *name + " is not set";
            return false;
        }
        wsPassword = FirstLine(value);
    }
    if (wsPassword && wsPassword->empty()) {
        why = "the password given is empty";
        return false;
    }
    return true;
}

std::optional<std::wstring> StoredPassword(const std::string& profileName) {
    std::wstring wsPassword;
    if (FAILED(Ostrel::Mapi::GetStoredPasswordFromProfile(Platform::FromUtf8(profileName).c_str(), wsPassword)) ||
        wsPassword.empty())
        return std::nullopt;
    return wsPassword;
}

std::string StoredPasswordProblem(const std::string& profileName) {
    std::wstring wsPassword;
    const HRESULT hr = Ostrel::Mapi::GetStoredPasswordFromProfile(Platform::FromUtf8(profileName).c_str(), wsPassword);
    if (SUCCEEDED(hr) || hr == Ostrel::Mapi::kProfileValueNotFound)
        return std::string();
    if (const std::string key = PasswordKeyProblem(); !key.empty())
        return "the stored password of profile '" + profileName + "' cannot be read: " + key;
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
    return "the stored password of profile '" + profileName + "' cannot be read from " +
           Ostrel::Mapi::ProfileFilePath(Platform::FromUtf8(profileName).c_str()).string() + " (error " + code +
           "; the log says why): give --password-file or --password-env";
}

std::optional<std::wstring> PromptForPassword(const ProfileSettings& profile, Context& context) {
    if (!context.bInteractive)
        return std::nullopt;
    Platform::Ui::PasswordPrompt prompt;
    prompt.wsCaption =
        Ostrel::Util::GetLocalizedString("PASSWORD_DIALOG_CAPTION") + L" " + Platform::FromUtf8(profile.server.Url());
    prompt.wsUsernameLabel = Label("PASSWORD_DIALOG_IDC_USERNAME");
    prompt.wsPasswordLabel = Label("PASSWORD_DIALOG_IDC_PASSWORD");
    prompt.wsOkLabel = Ostrel::Util::GetLocalizedString("PASSWORD_DIALOG_IDOK");
    prompt.wsCancelLabel = Ostrel::Util::GetLocalizedString("PASSWORD_DIALOG_IDCANCEL");
    prompt.wsUsername = Platform::FromUtf8(profile.sAccount);
    Platform::Ui::PasswordAnswer answer = Platform::Ui::Current()->PromptPassword(nullptr, prompt);
    if (answer.iResult != IDOK || answer.wsPassword.empty())
        return std::nullopt;
    return answer.wsPassword;
}

void SignOnProfile(const ProfileSettings& profile, const std::wstring& wsPassword, Context& context,
                   std::shared_ptr<Ostrel::Rpc::UserSession>& session) {
    using Ostrel::Rpc::UserSession;
    const std::wstring wsProfile = Platform::FromUtf8(profile.sName);
    UserSession::SetUIFlag(context.bInteractive ? 1 : 0);
    UserSession::SetGlobalProfileName(wsProfile.c_str());
    session = UserSession::CreateInstance(wsProfile.c_str(), LogonParamsOf(profile, wsPassword));
    // A failure is told by what this attempt leaves on the session's connection.
    if (Ostrel::Rpc::Connection* pConnection = session->GetCurrentConnect()) {
        pConnection->SetLastHttpStatusCode(0);
        pConnection->SetLastWinHttpErr(0);
    }
    session->AuthToken();
}

}  // namespace OstrelCli
