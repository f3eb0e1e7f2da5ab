#include "Platform/Ui/Ui.h"

#include <mutex>

namespace Platform::Ui {

namespace {

class SilentProgress : public IProgress {
public:
    void SetText(const std::wstring&) override {}
    void SetRange(ULONG, ULONG) override {}
    void SetPos(ULONG) override {}
    void SetStep(ULONG) override {}
    void StepIt() override {}
    void SetMarquee(bool) override {}
    bool IsCancelled() const override { return false; }
};

std::mutex g_mutex;
std::shared_ptr<IUserInterface>& Installed() {
    static std::shared_ptr<IUserInterface> ui = std::make_shared<SilentUi>();
    return ui;
}

}  // namespace

int CancelAnswer(UINT uType) {
    switch (uType & MB_TYPEMASK) {
        case MB_OK:
            return IDOK;
        case MB_YESNO:
            return IDNO;
        case MB_ABORTRETRYIGNORE:
            return IDABORT;
        default:
            return IDCANCEL;
    }
}

int SilentUi::MessageBox(HWND, const std::wstring&, const std::wstring&, UINT uType) {
    return CancelAnswer(uType);
}

PasswordAnswer SilentUi::PromptPassword(HWND, const PasswordPrompt&) {
    return {};
}

TwoFactorAnswer SilentUi::PromptTwoFactor(HWND, const TwoFactorPrompt&) {
    return {};
}

NewPasswordAnswer SilentUi::PromptNewPassword(HWND, const NewPasswordPrompt&) {
    return {};
}

std::unique_ptr<IProgress> SilentUi::CreateProgress(HWND, const std::wstring&) {
    return std::make_unique<SilentProgress>();
}

std::shared_ptr<IUserInterface> Current() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return Installed();
}

void SetCurrent(std::shared_ptr<IUserInterface> ui) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Installed() = ui ? std::move(ui) : std::make_shared<SilentUi>();
}

}  // namespace Platform::Ui
