#include "Platform/Ui/ScriptedUi.h"

namespace Platform::Ui {

// Writes through to the owner's record, so a test sees the window's state even after it closed.
class ScriptedUi::Progress : public IProgress {
public:
    Progress(ScriptedUi& owner, size_t index, bool bCancel, ULONG ulCancelAfter)
        : m_owner(owner), m_index(index), m_bCancel(bCancel), m_ulCancelAfter(ulCancelAfter) {}
    ~Progress() override {
        Update([](ProgressRecord& r) { r.bClosed = true; });
    }

    void SetText(const std::wstring& wsText) override {
        Update([&](ProgressRecord& r) { r.texts.push_back(wsText); });
    }
    void SetRange(ULONG ulLow, ULONG ulHigh) override {
        Update([&](ProgressRecord& r) {
            r.ulLow = ulLow;
            r.ulHigh = ulHigh;
        });
    }
    void SetPos(ULONG ulPos) override {
        Update([&](ProgressRecord& r) { r.ulPos = ulPos; });
    }
    void SetStep(ULONG ulStep) override {
        Update([&](ProgressRecord& r) { r.ulStep = ulStep; });
    }
    void StepIt() override {
        Update([](ProgressRecord& r) {
            ++r.ulSteps;
            r.ulPos += r.ulStep;
        });
    }
    void SetMarquee(bool bMarquee) override {
        Update([&](ProgressRecord& r) { r.bMarquee = bMarquee; });
    }
    bool IsCancelled() const override {
        if (!m_bCancel)
            return false;
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        return m_owner.m_progresses[m_index].ulSteps >= m_ulCancelAfter;
    }

private:
    template <typename F>
    void Update(F change) {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        change(m_owner.m_progresses[m_index]);
    }

    ScriptedUi& m_owner;
    const size_t m_index;
    const bool m_bCancel;
    const ULONG m_ulCancelAfter;
};

void ScriptedUi::QueueMessageBoxAnswer(int iResult) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messageBoxAnswers.push_back(iResult);
}

void ScriptedUi::QueuePasswordAnswer(PasswordAnswer answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_passwordAnswers.push_back(std::move(answer));
}

void ScriptedUi::QueueTwoFactorAnswer(TwoFactorAnswer answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_twoFactorAnswers.push_back(std::move(answer));
}

void ScriptedUi::QueueNewPasswordAnswer(NewPasswordAnswer answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_newPasswordAnswers.push_back(std::move(answer));
}

void ScriptedUi::QueueCertTrustAnswer(CertTrustAnswer answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_certTrustAnswers.push_back(answer);
}

void ScriptedUi::CancelProgressAfter(ULONG ulSteps) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bCancelProgress = true;
    m_ulCancelAfter = ulSteps;
}

std::vector<ScriptedUi::Shown> ScriptedUi::History() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_history;
}

std::vector<ScriptedUi::ProgressRecord> ScriptedUi::Progresses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_progresses;
}

namespace {

template <typename T>
T Next(std::deque<T>& queue, T fallback) {
    if (queue.empty())
        return fallback;
    T answer = std::move(queue.front());
    queue.pop_front();
    return answer;
}

}  // namespace

int ScriptedUi::MessageBox(HWND hwndOwner, const std::wstring& wsText, const std::wstring& wsCaption, UINT uType) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int iResult = Next(m_messageBoxAnswers, CancelAnswer(uType));
    m_history.push_back(Shown{Kind::MessageBox, hwndOwner, wsCaption, wsText, uType, iResult});
    return iResult;
}

PasswordAnswer ScriptedUi::PromptPassword(HWND hwndOwner, const PasswordPrompt& prompt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PasswordAnswer answer = Next(m_passwordAnswers, PasswordAnswer{});
    m_history.push_back(Shown{Kind::Password, hwndOwner, prompt.wsCaption, prompt.wsMessage, 0, answer.iResult});
    return answer;
}

TwoFactorAnswer ScriptedUi::PromptTwoFactor(HWND hwndOwner, const TwoFactorPrompt& prompt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    TwoFactorAnswer answer = Next(m_twoFactorAnswers, TwoFactorAnswer{});
    m_history.push_back(Shown{Kind::TwoFactor, hwndOwner, prompt.wsCaption, prompt.wsMessage, 0, answer.iResult});
    return answer;
}

NewPasswordAnswer ScriptedUi::PromptNewPassword(HWND hwndOwner, const NewPasswordPrompt& prompt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    NewPasswordAnswer answer = Next(m_newPasswordAnswers, NewPasswordAnswer{});
    m_history.push_back(Shown{Kind::NewPassword, hwndOwner, prompt.wsCaption, prompt.wsMessage, 0, answer.iResult});
    return answer;
}

CertTrustAnswer ScriptedUi::PromptCertTrust(HWND hwndOwner, const CertTrustPrompt& prompt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CertTrustAnswer answer = Next(m_certTrustAnswers, CertTrustAnswer{});
    m_history.push_back(Shown{Kind::CertTrust, hwndOwner, prompt.wsCaption, prompt.wsMessage, 0, answer.iResult});
    m_certTrustPrompts.push_back(prompt);
    return answer;
}

std::vector<CertTrustPrompt> ScriptedUi::CertTrustPrompts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_certTrustPrompts;
}

std::unique_ptr<IProgress> ScriptedUi::CreateProgress(HWND hwndOwner, const std::wstring& wsCaption) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_progresses.push_back(ProgressRecord{});
    m_progresses.back().wsCaption = wsCaption;
    m_history.push_back(Shown{Kind::Progress, hwndOwner, wsCaption, L"", 0, 0});
    return std::make_unique<Progress>(*this, m_progresses.size() - 1, m_bCancelProgress, m_ulCancelAfter);
}

}  // namespace Platform::Ui
