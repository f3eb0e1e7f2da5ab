// A user interface for tests: answers come from queues filled in advance (an empty queue answers
// as SilentUi does), and everything shown is recorded for the test to inspect. Thread-safe.
// Progress windows it creates write into it, so it must outlive them.
#pragma once

#include "Platform/Ui/Ui.h"

#include <deque>
#include <mutex>
#include <vector>

namespace Platform::Ui {

class ScriptedUi : public IUserInterface {
public:
    enum class Kind { MessageBox, Password, TwoFactor, NewPassword, Progress, CertTrust };

    // One dialog as it was shown.
    struct Shown {
        Kind kind = Kind::MessageBox;
        HWND hwndOwner = nullptr;
        std::wstring wsCaption;
        std::wstring wsText;  // message box text or prompt message
        UINT uType = 0;       // message box style
        int iResult = 0;      // what was answered
    };

    // The life of one progress window.
    struct ProgressRecord {
        std::wstring wsCaption;
        std::vector<std::wstring> texts;
        ULONG ulLow = 0;
        ULONG ulHigh = 100;
        ULONG ulPos = 0;
        ULONG ulStep = 10;
        ULONG ulSteps = 0;  // StepIt calls
        bool bMarquee = false;
        bool bClosed = false;
    };

    void QueueMessageBoxAnswer(int iResult);
    void QueuePasswordAnswer(PasswordAnswer answer);
    void QueueTwoFactorAnswer(TwoFactorAnswer answer);
    void QueueNewPasswordAnswer(NewPasswordAnswer answer);
    void QueueCertTrustAnswer(CertTrustAnswer answer);
    // Progress windows created from now on report IsCancelled once they have stepped `ulSteps`
    // times (0: at once).
    void CancelProgressAfter(ULONG ulSteps);

    std::vector<Shown> History() const;
    std::vector<ProgressRecord> Progresses() const;
    // Every certificate question as it was asked.
    std::vector<CertTrustPrompt> CertTrustPrompts() const;

    int MessageBox(HWND hwndOwner, const std::wstring& wsText, const std::wstring& wsCaption, UINT uType) override;
    PasswordAnswer PromptPassword(HWND hwndOwner, const PasswordPrompt& prompt) override;
    TwoFactorAnswer PromptTwoFactor(HWND hwndOwner, const TwoFactorPrompt& prompt) override;
    NewPasswordAnswer PromptNewPassword(HWND hwndOwner, const NewPasswordPrompt& prompt) override;
    std::unique_ptr<IProgress> CreateProgress(HWND hwndOwner, const std::wstring& wsCaption) override;
    CertTrustAnswer PromptCertTrust(HWND hwndOwner, const CertTrustPrompt& prompt) override;

private:
    class Progress;
    void Record(Shown shown);

    mutable std::mutex m_mutex;
    std::deque<int> m_messageBoxAnswers;
    std::deque<PasswordAnswer> m_passwordAnswers;
    std::deque<TwoFactorAnswer> m_twoFactorAnswers;
    std::deque<NewPasswordAnswer> m_newPasswordAnswers;
    std::deque<CertTrustAnswer> m_certTrustAnswers;
    std::vector<CertTrustPrompt> m_certTrustPrompts;
    bool m_bCancelProgress = false;
    ULONG m_ulCancelAfter = 0;
    std::vector<Shown> m_history;
    std::vector<ProgressRecord> m_progresses;
};

}  // namespace Platform::Ui
