#include "CliUi.h"

#include "Util/Log/Log.h"

#include <utility>

namespace OstrelCli {

CliUi::CliUi(bool bInteractive, std::FILE* err) : m_bInteractive(bInteractive), m_console(0, err) {}

int CliUi::MessageBox(HWND hwndOwner, const std::wstring& wsText, const std::wstring& wsCaption, UINT uType) {
    if ((uType & MB_TYPEMASK) == MB_OK) {
        OSTLOG_WARN(L"Notice '%s': %s", wsCaption.c_str(), wsText.c_str());
        std::wstring wsLine;
        for (wchar_t c : wsText)
            wsLine += (c == L'\n' || c == L'\r') ? L' ' : c;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wsNotice = wsLine;
        return IDOK;
    }
    if (!m_bInteractive)
        return Platform::Ui::CancelAnswer(uType);
    return m_console.MessageBox(hwndOwner, wsText, wsCaption, uType);
}

namespace {

constexpr int kMaxRunPasswordAnswers = 3;

}  // namespace

void CliUi::SetRunPassword(const std::wstring& wsPassword) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wsRunPassword = wsPassword;
    m_cRunPasswordAnswers = 0;
}

Platform::Ui::PasswordAnswer CliUi::PromptPassword(HWND hwndOwner, const Platform::Ui::PasswordPrompt& prompt) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_wsRunPassword.empty() && m_cRunPasswordAnswers < kMaxRunPasswordAnswers) {
            ++m_cRunPasswordAnswers;
            OSTLOG_INFO(1, L"Signing on again with the password given to this run");
            return {IDOK, prompt.wsUsername, m_wsRunPassword};
        }
    }
    if (!m_bInteractive)
        return m_silent.PromptPassword(hwndOwner, prompt);
    return m_console.PromptPassword(hwndOwner, prompt);
}

Platform::Ui::TwoFactorAnswer CliUi::PromptTwoFactor(HWND hwndOwner, const Platform::Ui::TwoFactorPrompt& prompt) {
    if (!m_bInteractive)
        return m_silent.PromptTwoFactor(hwndOwner, prompt);
    return m_console.PromptTwoFactor(hwndOwner, prompt);
}

Platform::Ui::NewPasswordAnswer CliUi::PromptNewPassword(HWND hwndOwner,
                                                         const Platform::Ui::NewPasswordPrompt& prompt) {
    if (!m_bInteractive)
        return m_silent.PromptNewPassword(hwndOwner, prompt);
    return m_console.PromptNewPassword(hwndOwner, prompt);
}

std::unique_ptr<Platform::Ui::IProgress> CliUi::CreateProgress(HWND hwndOwner, const std::wstring& wsCaption) {
    // The commands draw their own progress; the library's windows would garble it.
    return m_silent.CreateProgress(hwndOwner, wsCaption);
}

Platform::Ui::CertTrustAnswer CliUi::PromptCertTrust(HWND hwndOwner, const Platform::Ui::CertTrustPrompt& prompt) {
    if (m_bInteractive)
        return m_console.PromptCertTrust(hwndOwner, prompt);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wsNotice = L"the certificate of " + prompt.wsServer + L" (SHA-256 " + prompt.wsSha256 +
                 L") is not trusted: accept it in 'ostrel login' on a terminal, or give its CA with --ca-file FILE";
    return Platform::Ui::CertTrustAnswer{};
}

std::wstring CliUi::TakeNotice() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_wsNotice, std::wstring());
}

std::shared_ptr<CliUi> CurrentCliUi() {
    return std::dynamic_pointer_cast<CliUi>(Platform::Ui::Current());
}

}  // namespace OstrelCli
