#include "Platform/Ui/ConsoleUi.h"

#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"

#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cwctype>
#include <string>
#include <vector>

namespace Platform::Ui {

namespace {

// Localised labels may already end in a colon; the console adds its own.
std::wstring BareLabel(const std::wstring& wsLabel, const wchar_t* pwszFallback) {
    std::wstring wsText = wsLabel.empty() ? std::wstring(pwszFallback) : wsLabel;
    while (!wsText.empty() && (wsText.back() == L':' || wsText.back() == L' '))
        wsText.pop_back();
    return wsText;
}

std::wstring Label(const std::wstring& wsLabel, const wchar_t* pwszFallback) {
    return BareLabel(wsLabel, pwszFallback) + L": ";
}

constexpr int kNewPasswordAttempts = 3;

// Writes and flushes with SIGPIPE held back on this thread: output nobody reads any more (the
// pipe's reader went away) must not end the process in the middle of a question.
void WriteQuietly(std::FILE* out, const std::string& text) {
    sigset_t pipeSignal, saved, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigpending(&pending);
    const bool bWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &saved);
    std::fputs(text.c_str(), out);
    std::fflush(out);
    if (!bWasPending) {
        // The signal our write raised is directed at this thread; take it before unblocking.
        const timespec zero{};
        while (sigtimedwait(&pipeSignal, nullptr, &zero) == -1 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

struct Choice {
    wchar_t key;
    const wchar_t* label;
    int iResult;
};

std::vector<Choice> ChoicesFor(UINT uType) {
    switch (uType & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return {{L'o', L"[o]k", IDOK}, {L'c', L"[c]ancel", IDCANCEL}};
        case MB_ABORTRETRYIGNORE:
            return {{L'a', L"[a]bort", IDABORT}, {L'r', L"[r]etry", IDRETRY}, {L'i', L"[i]gnore", IDIGNORE}};
        case MB_YESNOCANCEL:
            return {{L'y', L"[y]es", IDYES}, {L'n', L"[n]o", IDNO}, {L'c', L"[c]ancel", IDCANCEL}};
        case MB_YESNO:
            return {{L'y', L"[y]es", IDYES}, {L'n', L"[n]o", IDNO}};
        case MB_RETRYCANCEL:
            return {{L'r', L"[r]etry", IDRETRY}, {L'c', L"[c]ancel", IDCANCEL}};
        default:
            return {};
    }
}

const wchar_t* IconWord(UINT uType) {
    switch (uType & MB_ICONMASK) {
        case MB_ICONERROR:
            return L"Error: ";
        case MB_ICONEXCLAMATION:
            return L"Warning: ";
        default:
            return L"";
    }
}

// Turns terminal echo off for its lifetime.
class NoEcho {
public:
    explicit NoEcho(int fd) : m_fd(fd) {
        if (::tcgetattr(fd, &m_saved) != 0)
            return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        m_bActive = ::tcsetattr(fd, TCSANOW, &quiet) == 0;
    }
    ~NoEcho() {
        if (m_bActive)
            ::tcsetattr(m_fd, TCSANOW, &m_saved);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    int m_fd;
    termios m_saved{};
    bool m_bActive = false;
};

class ConsoleProgress : public IProgress {
public:
    ConsoleProgress(std::FILE* out, std::wstring caption) : m_out(out), m_wsCaption(std::move(caption)) { Show(); }

    void SetText(const std::wstring& wsText) override {
        m_wsText = wsText;
        m_iShownPercent = -1;
        Show();
    }
    void SetRange(ULONG ulLow, ULONG ulHigh) override {
        m_ulLow = ulLow;
        m_ulHigh = ulHigh;
        Show();
    }
    void SetPos(ULONG ulPos) override {
        m_ulPos = ulPos;
        Show();
    }
    void SetStep(ULONG ulStep) override { m_ulStep = ulStep; }
    void StepIt() override {
        m_ulPos += m_ulStep;
        Show();
    }
    void SetMarquee(bool bMarquee) override {
        m_bMarquee = bMarquee;
        m_iShownPercent = -1;
        Show();
    }
    bool IsCancelled() const override { return false; }  // Ctrl-C ends the whole command

private:
    // Prints a line when the text changes or the position crosses another tenth of the range.
    void Show() {
        int percent = -2;  // marquee
        if (!m_bMarquee && m_ulHigh > m_ulLow) {
            const ULONG pos = m_ulPos < m_ulLow ? m_ulLow : (m_ulPos > m_ulHigh ? m_ulHigh : m_ulPos);
            percent = static_cast<int>(100.0 * (pos - m_ulLow) / (m_ulHigh - m_ulLow)) / 10 * 10;
        }
        if (percent == m_iShownPercent)
            return;
        m_iShownPercent = percent;
        std::wstring line = m_wsCaption;
        if (!m_wsText.empty())
            line += L": " + m_wsText;
        if (percent >= 0)
            line += L" (" + std::to_wstring(percent) + L"%)";
        WriteQuietly(m_out, ToUtf8(line) + "\n");
    }

    std::FILE* m_out;
    std::wstring m_wsCaption;
    std::wstring m_wsText;
    ULONG m_ulLow = 0, m_ulHigh = 100, m_ulPos = 0, m_ulStep = 10;
    bool m_bMarquee = false;
    int m_iShownPercent = -1;
};

}  // namespace

ConsoleUi::ConsoleUi(int inFd, std::FILE* out) : m_inFd(inFd), m_out(out) {}

bool ConsoleUi::Interactive() const {
    return ::isatty(m_inFd) == 1;
}

void ConsoleUi::Write(const std::wstring& text) {
    WriteQuietly(m_out, ToUtf8(text));
}

std::optional<std::wstring> ConsoleUi::ReadLine(const std::wstring& wsPrompt, bool bEcho) {
    Write(wsPrompt);
    std::optional<NoEcho> noEcho;
    if (!bEcho)
        noEcho.emplace(m_inFd);
    // Byte by byte, so nothing beyond the line is taken from the descriptor.
    std::string line;
    for (;;) {
        char c;
        const ssize_t n = ::read(m_inFd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!bEcho)
                Write(L"\n");
            return std::nullopt;
        }
        if (c == '\n')
            break;
        line += c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (!bEcho)
        Write(L"\n");  // the user's Enter was not echoed
    return FromUtf8(line);
}

int ConsoleUi::MessageBox(HWND, const std::wstring& wsText, const std::wstring& wsCaption, UINT uType) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Write(L"\n" + wsCaption + L"\n" + IconWord(uType) + wsText + L"\n");
    const auto choices = ChoicesFor(uType);
    if (choices.empty())
        return IDOK;
    if (!Interactive())
        return CancelAnswer(uType);
    std::wstring question;
    for (const auto& choice : choices)
        question += (question.empty() ? L"" : L"/") + std::wstring(choice.label);
    for (;;) {
        auto line = ReadLine(question + L"? ", true);
        if (!line)
            return CancelAnswer(uType);
        const std::wstring answer(Platform::Trim(*line));
        for (const auto& choice : choices) {
            if (!answer.empty() && Platform::FoldCase(answer[0]) == Platform::FoldCase(choice.key))
                return choice.iResult;
        }
    }
}

PasswordAnswer ConsoleUi::PromptPassword(HWND, const PasswordPrompt& prompt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    PasswordAnswer answer;
    answer.wsUsername = prompt.wsUsername;
    if (!Interactive())
        return answer;
    Write(L"\n" + prompt.wsCaption + L"\n" + (prompt.wsMessage.empty() ? L"" : prompt.wsMessage + L"\n"));
    if (prompt.bUsernameEditable) {
        auto user =
            ReadLine(BareLabel(prompt.wsUsernameLabel, L"User name") + L" [" + prompt.wsUsername + L"]: ", true);
        if (!user)
            return answer;
        if (!Platform::Trim(*user).empty())
            answer.wsUsername = Platform::Trim(*user);
    } else {
        Write(Label(prompt.wsUsernameLabel, L"User name") + prompt.wsUsername + L"\n");
    }
    auto password = ReadLine(Label(prompt.wsPasswordLabel, L"Password"), false);
    if (!password)
        return answer;
    answer.wsPassword = *password;
    answer.iResult = IDOK;
    return answer;
}

TwoFactorAnswer ConsoleUi::PromptTwoFactor(HWND, const TwoFactorPrompt& prompt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    TwoFactorAnswer answer;
    if (!Interactive())
        return answer;
    Write(L"\n" + prompt.wsCaption + L"\n" + (prompt.wsMessage.empty() ? L"" : prompt.wsMessage + L"\n"));
    auto code = ReadLine(Label(prompt.wsCodeLabel, L"Code"), true);
    if (!code)
        return answer;
    auto remember =
        ReadLine((prompt.wsRememberLabel.empty() ? L"Trust this device" : prompt.wsRememberLabel) + L" [y/N]: ", true);
    if (!remember)
        return answer;
    const std::wstring choice(Platform::Trim(*remember));
    answer.wsCode = Platform::Trim(*code);
    answer.bRemember = !choice.empty() && Platform::FoldCase(choice[0]) == L'y';
    answer.iResult = IDOK;
    return answer;
}

CertTrustAnswer ConsoleUi::PromptCertTrust(HWND, const CertTrustPrompt& prompt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CertTrustAnswer answer;
    if (!Interactive())
        return answer;
    std::wstring text = L"\n" + prompt.wsCaption + L"\n";
    if (!prompt.wsMessage.empty())
        text += prompt.wsMessage + L"\n";
    text += L"  Server:   " + prompt.wsServer + L"\n  Subject:  " + prompt.wsSubject + L"\n  Issuer:   " +
            prompt.wsIssuer + L"\n  Validity: " + prompt.wsValidity + L"\n  Problems:\n";
    for (const std::wstring& problem : prompt.problems)
        text += L"    - " + problem + L"\n";
    text += L"  SHA-1 fingerprint:   " + prompt.wsSha1 + L"\n  SHA-256 fingerprint: " + prompt.wsSha256 + L"\n";
    for (size_t i = 0; i < prompt.periods.size(); ++i)
        text += L"  " + std::to_wstring(i + 1) + L") " + prompt.periods[i] + L"\n";
    Write(text);
    const std::wstring question = L"Trust this certificate? Choose 1-" + std::to_wstring(prompt.periods.size()) +
                                  L", or anything else to refuse: ";
    auto line = ReadLine(question, true);
    if (!line)
        return answer;
    const std::wstring choice(Platform::Trim(*line));
    size_t n = 0;
    for (wchar_t c : choice) {
        if (c < L'0' || c > L'9' || n > prompt.periods.size()) {
            n = 0;
            break;
        }
        n = n * 10 + static_cast<size_t>(c - L'0');
    }
    if (n >= 1 && n <= prompt.periods.size()) {
        answer.iResult = IDOK;
        answer.iPeriod = n - 1;
    }
    return answer;
}

NewPasswordAnswer ConsoleUi::PromptNewPassword(HWND, const NewPasswordPrompt& prompt) {
    std::lock_guard<std::mutex> lock(m_mutex);
    NewPasswordAnswer answer;
    if (!Interactive())
        return answer;
    Write(L"\n" + prompt.wsCaption + L"\n" + (prompt.wsMessage.empty() ? L"" : prompt.wsMessage + L"\n"));
    for (int attempt = 0; attempt < kNewPasswordAttempts; ++attempt) {
        auto first = ReadLine(Label(prompt.wsNewLabel, L"New password"), false);
        if (!first)
            return answer;
        auto second = ReadLine(Label(prompt.wsConfirmLabel, L"Confirm"), false);
        if (!second)
            return answer;
        if (*first == *second && !first->empty()) {
            answer.wsNewPassword = *first;
            answer.iResult = IDOK;
            return answer;
        }
        Write((prompt.wsMismatchText.empty() ? L"The passwords do not match." : prompt.wsMismatchText) + L"\n");
    }
    return answer;
}

std::unique_ptr<IProgress> ConsoleUi::CreateProgress(HWND, const std::wstring& wsCaption) {
    return std::make_unique<ConsoleProgress>(m_out, wsCaption);
}

}  // namespace Platform::Ui
