// Signing a profile on: the password from --password-file / --password-env, the stored one, or a
// prompt on the terminal; the profile's trusted certificates; then the library's UserSession,
// which authenticates (prompting for two-factor codes or a new password only on a terminal).
#pragma once

#include "Args.h"
#include "Profile.h"

#include "Ostrel/Rpc/Session/UserSession.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace OstrelCli {

// The password options of login and sync.
extern const std::vector<OptionSpec> kPasswordOptions;

// The password given by the options; nothing when none was given. False with `why` set when the
// named file or variable cannot be read.
bool ReadPasswordOption(const ParsedArgs& parsed, std::optional<std::wstring>& wsPassword, std::string& why);

// The stored password of the profile, if the library keeps one.
std::optional<std::wstring> StoredPassword(const std::string& profileName);
// Why a stored password cannot be had, when one may be stored but cannot be read (its folder or
// file, the key that encrypts it); empty when none is stored or it reads well.
std::string StoredPasswordProblem(const std::string& profileName);

// Asks on the terminal; nothing when there is no terminal or the user cancels.
std::optional<std::wstring> PromptForPassword(const ProfileSettings& profile, Context& context);

// The profile's session, authenticated. Throws what the library throws when sign-on fails
// (describe it with DescribeServerFailure); `session` is set before that.
void SignOnProfile(const ProfileSettings& profile, const std::wstring& wsPassword, Context& context,
                   std::shared_ptr<Ostrel::Rpc::UserSession>& session);

}  // namespace OstrelCli
