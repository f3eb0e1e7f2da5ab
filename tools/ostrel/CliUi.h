// The user interface of the command line. Prompts (password, two-factor code, new password,
// questions) go to the terminal when there is one and answer Cancel otherwise, so scripts never
// hang. Notices (message boxes with only an OK button) are logged and kept instead of printed: a
// failing command reports them in its one error line.
#pragma once

#include "Platform/Ui/ConsoleUi.h"

#include <memory>
#include <mutex>
#include <string>

namespace OstrelCli {

class CliUi : public Platform::Ui::IUserInterface {
public:
    CliUi(bool bInteractive, std::FILE* err);

    int MessageBox(HWND hwndOwner, const std::wstring& wsText, const std::wstring& wsCaption, UINT uType) override;
    Platform::Ui::PasswordAnswer PromptPassword(HWND hwndOwner, const Platform::Ui::PasswordPrompt& prompt) override;
    Platform::Ui::TwoFactorAnswer PromptTwoFactor(HWND hwndOwner, const Platform::Ui::TwoFactorPrompt& prompt) override;
    Platform::Ui::NewPasswordAnswer PromptNewPassword(HWND hwndOwner,
                                                      const Platform::Ui::NewPasswordPrompt& prompt) override;
    std::unique_ptr<Platform::Ui::IProgress> CreateProgress(HWND hwndOwner, const std::wstring& wsCaption) override;
    // Without a terminal the certificate is refused and the notice names its fingerprint.
    Platform::Ui::CertTrustAnswer PromptCertTrust(HWND hwndOwner, const Platform::Ui::CertTrustPrompt& prompt) override;

    // The password this run was given. With passwords not stored, the session forgets its copy
    // when its token is invalidated, and the server's refusal of the empty one asks the user;
    // the command answers with the password it was given (a few times at most, so that a
    // password changed meanwhile cannot loop) instead of failing a run that was told it.
    void SetRunPassword(const std::wstring& wsPassword);

    bool IsInteractive() const { return m_bInteractive; }
    // The last notice since the previous call (empty when none), with line breaks turned into spaces.
    std::wstring TakeNotice();

private:
    const bool m_bInteractive;
    Platform::Ui::ConsoleUi m_console;
    Platform::Ui::SilentUi m_silent;
    std::mutex m_mutex;
    std::wstring m_wsNotice;
    std::wstring m_wsRunPassword;
    int m_cRunPasswordAnswers = 0;
};

// The CliUi installed by Main or by a test; null when another interface is current.
std::shared_ptr<CliUi> CurrentCliUi();

}  // namespace OstrelCli
