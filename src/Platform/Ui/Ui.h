// What the library may show the user: message boxes, sign-on prompts and progress windows.
// The host decides how (or whether) they appear by installing an implementation:
//   SilentUi   the default: shows nothing and answers Cancel,
//   ConsoleUi  the command line's terminal dialogs,
//   ScriptedUi tests: queued answers and a record of everything shown.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <memory>
#include <string>
#include <vector>

// Message box styles and results, with their Windows values.
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define MB_TYPEMASK 0x0000000Fu
#define MB_ICONERROR 0x00000010u
#define MB_ICONHAND MB_ICONERROR
#define MB_ICONSTOP MB_ICONERROR
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION 0x00000040u
#define MB_ICONASTERISK MB_ICONINFORMATION
#define MB_ICONMASK 0x000000F0u

#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

namespace Platform::Ui {

// The answer of a box closed without a choice: Cancel where there is one, else the box's
// only or "negative" button (OK for MB_OK, No for MB_YESNO, Abort for MB_ABORTRETRYIGNORE).
int CancelAnswer(UINT uType);

// Texts of the password prompt (labels come from the caller's localised strings).
struct PasswordPrompt {
    std::wstring wsCaption{};
    std::wstring wsMessage{};  // why the password is asked, e.g. the last sign-on failed
    std::wstring wsUsernameLabel{};
    std::wstring wsPasswordLabel{};
    std::wstring wsOkLabel{};
    std::wstring wsCancelLabel{};
    std::wstring wsUsername{};  // shown, and the answer's default
    bool bUsernameEditable = false;
};
struct PasswordAnswer {
    int iResult = IDCANCEL;
    std::wstring wsUsername{};
    std::wstring wsPassword{};
};

struct TwoFactorPrompt {
    std::wstring wsCaption{};
    std::wstring wsMessage{};
    std::wstring wsCodeLabel{};
    std::wstring wsRememberLabel{};  // the trust-this-device choice
    std::wstring wsOkLabel{};
    std::wstring wsCancelLabel{};
};
struct TwoFactorAnswer {
    int iResult = IDCANCEL;
    std::wstring wsCode{};
    bool bRemember = false;
};

// A new password typed twice; the prompt itself insists that both entries match.
struct NewPasswordPrompt {
    std::wstring wsCaption{};
    std::wstring wsMessage{};
    std::wstring wsNewLabel{};
    std::wstring wsConfirmLabel{};
    std::wstring wsMismatchText{};
    std::wstring wsOkLabel{};
    std::wstring wsCancelLabel{};
};
struct NewPasswordAnswer {
    int iResult = IDCANCEL;
    std::wstring wsNewPassword{};
};

// A server certificate that failed verification, described as ssh describes an unknown host key.
struct CertTrustPrompt {
    std::wstring wsCaption{};
    std::wstring wsMessage{};  // what was running and why the question comes up
    std::wstring wsServer{};
    std::wstring wsSubject{};
    std::wstring wsIssuer{};
    std::wstring wsValidity{};
    std::vector<std::wstring> problems{};  // one line per problem found
    std::wstring wsSha1{};                 // fingerprints in colon-separated hexadecimal
    std::wstring wsSha256{};
    std::vector<std::wstring> periods{};  // the trust periods offered, in order
};
// IDOK with the index of the chosen period, or IDCANCEL: the certificate is refused.
struct CertTrustAnswer {
    int iResult = IDCANCEL;
    size_t iPeriod = 0;
};

// A progress window; it goes away when the object is destroyed.
class IProgress {
public:
    virtual ~IProgress() = default;
    virtual void SetText(const std::wstring& wsText) = 0;
    virtual void SetRange(ULONG ulLow, ULONG ulHigh) = 0;
    virtual void SetPos(ULONG ulPos) = 0;
    virtual void SetStep(ULONG ulStep) = 0;
    virtual void StepIt() = 0;
    // Marquee: busy without a known end.
    virtual void SetMarquee(bool bMarquee) = 0;
    // True once the user asked to cancel.
    virtual bool IsCancelled() const = 0;
};

class IUserInterface {
public:
    virtual ~IUserInterface() = default;
    // Returns IDOK, IDCANCEL, IDYES, ... as MessageBox does; `uType` holds MB_* button and icon flags.
    virtual int MessageBox(HWND hwndOwner, const std::wstring& wsText, const std::wstring& wsCaption, UINT uType) = 0;
    virtual PasswordAnswer PromptPassword(HWND hwndOwner, const PasswordPrompt& prompt) = 0;
    virtual TwoFactorAnswer PromptTwoFactor(HWND hwndOwner, const TwoFactorPrompt& prompt) = 0;
    virtual NewPasswordAnswer PromptNewPassword(HWND hwndOwner, const NewPasswordPrompt& prompt) = 0;
    virtual std::unique_ptr<IProgress> CreateProgress(HWND hwndOwner, const std::wstring& wsCaption) = 0;
    // Asks whether to trust a certificate; an interface that cannot ask refuses.
    virtual CertTrustAnswer PromptCertTrust(HWND, const CertTrustPrompt&) { return CertTrustAnswer{}; }
};

// Shows nothing: boxes get CancelAnswer, prompts Cancel; progress is never cancelled.
class SilentUi : public IUserInterface {
public:
    int MessageBox(HWND, const std::wstring&, const std::wstring&, UINT uType) override;
    PasswordAnswer PromptPassword(HWND, const PasswordPrompt&) override;
    TwoFactorAnswer PromptTwoFactor(HWND, const TwoFactorPrompt&) override;
    NewPasswordAnswer PromptNewPassword(HWND, const NewPasswordPrompt&) override;
    std::unique_ptr<IProgress> CreateProgress(HWND, const std::wstring&) override;
};

// The process-wide implementation in use (SilentUi until the host sets one).
std::shared_ptr<IUserInterface> Current();
// Installs `ui`; null restores the silent default.
void SetCurrent(std::shared_ptr<IUserInterface> ui);

}  // namespace Platform::Ui
