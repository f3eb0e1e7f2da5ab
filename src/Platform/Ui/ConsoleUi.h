// Dialogs on a terminal, for the command line. Questions are read from the input descriptor
// (passwords without echo); when that is not a terminal nothing is asked: prompts answer Cancel
// and message boxes CancelAnswer, so scripts never hang on a question.
#pragma once

#include "Platform/Ui/Ui.h"

#include <cstdio>
#include <mutex>
#include <optional>

namespace Platform::Ui {

class ConsoleUi : public IUserInterface {
public:
    // Reads answers from `inFd` and writes dialogs to `out` (stderr by default, keeping stdout
    // for a command's results).
    explicit ConsoleUi(int inFd = 0, std::FILE* out = stderr);

    int MessageBox(HWND hwndOwner, const std::wstring& wsText, const std::wstring& wsCaption, UINT uType) override;
    PasswordAnswer PromptPassword(HWND hwndOwner, const PasswordPrompt& prompt) override;
    TwoFactorAnswer PromptTwoFactor(HWND hwndOwner, const TwoFactorPrompt& prompt) override;
    NewPasswordAnswer PromptNewPassword(HWND hwndOwner, const NewPasswordPrompt& prompt) override;
    std::unique_ptr<IProgress> CreateProgress(HWND hwndOwner, const std::wstring& wsCaption) override;
    CertTrustAnswer PromptCertTrust(HWND hwndOwner, const CertTrustPrompt& prompt) override;

private:
    bool Interactive() const;
    void Write(const std::wstring& text);
    // One line of input (without the newline); nothing at end of input.
    std::optional<std::wstring> ReadLine(const std::wstring& wsPrompt, bool bEcho);

    const int m_inFd;
    std::FILE* const m_out;
    std::mutex m_mutex;  // one dialog at a time
};

}  // namespace Platform::Ui
