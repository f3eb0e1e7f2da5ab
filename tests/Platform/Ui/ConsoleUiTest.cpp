// The console dialogs on a pseudo-terminal: what each answer gives, what refuses, what happens
// when the input ends mid-question, and that the terminal's echo always comes back.
#include "Platform/Ui/ConsoleUi.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

using namespace Platform::Ui;

namespace {

// A pseudo-terminal with typed input waiting and the dialogs' output captured.
class Terminal {
public:
    explicit Terminal(const std::string& typed) {
        EXPECT_EQ(openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(write(m_master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        m_out = tmpfile();
    }
    ~Terminal() {
        std::fclose(m_out);
        close(m_master);
        close(m_slave);
    }
    int In() const { return m_slave; }
    // Types more input; with `bRawReturns` the terminal no longer turns CR into LF first, as a
    // terminal sending CR LF line ends does.
    void Type(const std::string& typed, bool bRawReturns = false) {
        termios mode{};
        ASSERT_EQ(tcgetattr(m_slave, &mode), 0);
        if (bRawReturns)
            mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
        ASSERT_EQ(tcsetattr(m_slave, TCSANOW, &mode), 0);
        ASSERT_EQ(write(m_master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    }
    std::FILE* Out() const { return m_out; }
    std::string Shown() const {
        std::rewind(m_out);
        std::string text(1 << 14, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), m_out));
        return text;
    }
    bool Echoing() const {
        termios mode{};
        return tcgetattr(m_slave, &mode) == 0 && (mode.c_lflag & ECHO);
    }
    // What is still unread on the terminal.
    std::string Rest() const {
        const int flags = fcntl(m_slave, F_GETFL);
        fcntl(m_slave, F_SETFL, flags | O_NONBLOCK);
        // A terminal in line mode gives one line per read.
        std::string rest;
        char buffer[256];
        for (ssize_t n; (n = read(m_slave, buffer, sizeof buffer)) > 0;)
            rest.append(buffer, static_cast<size_t>(n));
        fcntl(m_slave, F_SETFL, flags);
        return rest;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::FILE* m_out = nullptr;
};

// Ctrl-D at the start of a line: end of input for a terminal in line mode.
const std::string kEndOfInput = "\x04";

}  // namespace

TEST(ConsoleUi, MessageBoxChoicesAndEndOfInput) {
    Terminal term("\nA\nr\ni\nn\n" + kEndOfInput);
    ConsoleUi ui(term.In(), term.Out());
    // An empty line is no answer; the first letter decides, in either case.
    EXPECT_EQ(ui.MessageBox(nullptr, L"Failed", L"Sync", MB_ABORTRETRYIGNORE), IDABORT);
    EXPECT_EQ(ui.MessageBox(nullptr, L"Failed", L"Sync", MB_RETRYCANCEL), IDRETRY);
    EXPECT_EQ(ui.MessageBox(nullptr, L"Failed", L"Sync", MB_ABORTRETRYIGNORE), IDIGNORE);
    EXPECT_EQ(ui.MessageBox(nullptr, L"Keep?", L"Sync", MB_YESNOCANCEL), IDNO);
    // The input ends: the box's cancel answer, never a yes.
    EXPECT_EQ(ui.MessageBox(nullptr, L"Delete all?", L"Sync", MB_YESNO | MB_ICONERROR), IDNO);
    const std::string shown = term.Shown();
    EXPECT_NE(shown.find("Error: Delete all?"), std::string::npos);
    EXPECT_NE(shown.find("[a]bort/[r]etry/[i]gnore? "), std::string::npos);
}

// A box with only OK asks nothing and takes no line; OK/Cancel reads its own letters.
TEST(ConsoleUi, OkBoxesTakeNoLineAndWarningsSaySo) {
    Terminal term("c\n");
    ConsoleUi ui(term.In(), term.Out());
    EXPECT_EQ(ui.MessageBox(nullptr, L"Disk almost full", L"Sync", MB_OK | MB_ICONWARNING), IDOK);
    EXPECT_EQ(ui.MessageBox(nullptr, L"Go on?", L"Sync", MB_OKCANCEL), IDCANCEL);
    const std::string shown = term.Shown();
    EXPECT_NE(shown.find("Warning: Disk almost full"), std::string::npos) << shown;
    EXPECT_NE(shown.find("[o]k/[c]ancel? "), std::string::npos) << shown;
}

// A terminal that ends lines with CR LF: the CR belongs to no answer, least of all a password.
TEST(ConsoleUi, CarriageReturnsEndingALineAreNoPartOfTheAnswer) {
    Terminal term("");
    term.Type("s3cret\r\nn3w\r\nn3w\r\n", true);
    ConsoleUi ui(term.In(), term.Out());
    const PasswordAnswer password = ui.PromptPassword(nullptr, {.wsCaption = L"Sign in", .wsUsername = L"me"});
    EXPECT_EQ(password.iResult, IDOK);
    EXPECT_EQ(password.wsPassword, L"s3cret");
    const NewPasswordAnswer changed = ui.PromptNewPassword(nullptr, {.wsCaption = L"Change"});
    EXPECT_EQ(changed.iResult, IDOK);
    EXPECT_EQ(changed.wsNewPassword, L"n3w");
}

TEST(ConsoleUi, AnswersTakeOneLineEach) {
    // Whatever follows the line that answered stays for the next reader.
    Terminal term("y\nleft for later\n");
    ConsoleUi ui(term.In(), term.Out());
    EXPECT_EQ(ui.MessageBox(nullptr, L"Go on?", L"Sync", MB_YESNO), IDYES);
    EXPECT_EQ(term.Rest(), "left for later\n");
}

TEST(ConsoleUi, PasswordPromptEditsTheUserAndKeepsEchoOnEndOfInput) {
    Terminal term("\n pw one\n  bob  \npw two\nalice\n" + kEndOfInput);
    ConsoleUi ui(term.In(), term.Out());
    PasswordPrompt prompt{.wsCaption = L"Sign in", .wsUsernameLabel = L"Account:", .wsUsername = L"me"};
    prompt.bUsernameEditable = true;
    // An empty user line keeps the default; the password is taken as typed, spaces included.
    PasswordAnswer answer = ui.PromptPassword(nullptr, prompt);
    EXPECT_EQ(answer.iResult, IDOK);
    EXPECT_EQ(answer.wsUsername, L"me");
    EXPECT_EQ(answer.wsPassword, L" pw one");
    answer = ui.PromptPassword(nullptr, prompt);
    EXPECT_EQ(answer.wsUsername, L"bob");
    EXPECT_EQ(answer.wsPassword, L"pw two");
    // The input ends where the password was due: Cancel, no password, and echo is back on.
    answer = ui.PromptPassword(nullptr, prompt);
    EXPECT_EQ(answer.iResult, IDCANCEL);
    EXPECT_TRUE(answer.wsPassword.empty());
    EXPECT_TRUE(term.Echoing());
    const std::string shown = term.Shown();
    EXPECT_NE(shown.find("Account [me]: "), std::string::npos) << "one colon, not two";
    EXPECT_EQ(shown.find("pw one"), std::string::npos) << "a password is never written out";
}

TEST(ConsoleUi, NewPasswordGivesUpAfterThreeMismatches) {
    // An empty password does not count as matching.
    Terminal term("\n\na\nb\nc\nd\ne\nf\nlate\nlate\n");
    ConsoleUi ui(term.In(), term.Out());
    const NewPasswordAnswer answer = ui.PromptNewPassword(nullptr, {.wsCaption = L"Change"});
    EXPECT_EQ(answer.iResult, IDCANCEL);
    EXPECT_TRUE(answer.wsNewPassword.empty());
    EXPECT_EQ(term.Rest(), "e\nf\nlate\nlate\n") << "three attempts, then no more questions";
    const std::string shown = term.Shown();
    size_t mismatches = 0;
    for (size_t at = shown.find("do not match"); at != std::string::npos; at = shown.find("do not match", at + 1))
        ++mismatches;
    EXPECT_EQ(mismatches, 3u);
    EXPECT_TRUE(term.Echoing());
}

TEST(ConsoleUi, TwoFactorEndingEarlyIsACancel) {
    Terminal term(" 654321 \nyes\n123\n" + kEndOfInput);
    ConsoleUi ui(term.In(), term.Out());
    TwoFactorAnswer answer = ui.PromptTwoFactor(nullptr, {.wsCaption = L"Code"});
    EXPECT_EQ(answer.iResult, IDOK);
    EXPECT_EQ(answer.wsCode, L"654321");
    EXPECT_TRUE(answer.bRemember);
    answer = ui.PromptTwoFactor(nullptr, {.wsCaption = L"Code"});
    EXPECT_EQ(answer.iResult, IDCANCEL);
    EXPECT_FALSE(answer.bRemember);
}

TEST(ConsoleUi, CertificatePeriodNumbersThatOverflowRefuse) {
    CertTrustPrompt prompt;
    prompt.periods = {L"Once", L"Until logout"};
    // 2^64 + 1 would wrap around to a valid choice.
    Terminal term("18446744073709551617\n0\n-1\n2\n");
    ConsoleUi ui(term.In(), term.Out());
    EXPECT_EQ(ui.PromptCertTrust(nullptr, prompt).iResult, IDCANCEL);
    EXPECT_EQ(ui.PromptCertTrust(nullptr, prompt).iResult, IDCANCEL);
    EXPECT_EQ(ui.PromptCertTrust(nullptr, prompt).iResult, IDCANCEL);
    const CertTrustAnswer last = ui.PromptCertTrust(nullptr, prompt);
    EXPECT_EQ(last.iResult, IDOK);
    EXPECT_EQ(last.iPeriod, 1u);
}

TEST(ConsoleUi, ProgressPrintsTenthsClampedAndNothingForAMarquee) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    {
        ConsoleUi ui(-1, out);
        auto progress = ui.CreateProgress(nullptr, L"Sync");
        progress->SetRange(10, 20);
        progress->SetPos(5);    // below the range: 0%, already shown
        progress->SetPos(14);   // 40%
        progress->SetPos(14);   // unchanged: nothing
        progress->SetPos(500);  // above the range: 100%
        progress->SetMarquee(true);
        progress->SetText(L"Folders");
        progress->SetRange(7, 7);  // an empty range shows no percentage
        progress->SetMarquee(false);
        EXPECT_FALSE(progress->IsCancelled());
        // Steps move the position like SetPos does.
        auto steps = ui.CreateProgress(nullptr, L"Steps");
        steps->SetRange(0, 30);
        steps->SetStep(3);
        steps->StepIt();
        steps->StepIt();
        steps->SetStep(21);
        steps->StepIt();
    }
    std::fclose(out);
    const std::string shown(text, size);
    std::free(text);
    EXPECT_EQ(shown,
              "Sync (0%)\n"
              "Sync (40%)\n"
              "Sync (100%)\n"
              "Sync\n"
              "Sync: Folders\n"
              "Sync: Folders\n"
              "Steps (0%)\n"
              "Steps (10%)\n"
              "Steps (20%)\n"
              "Steps (90%)\n");
}

TEST(ConsoleUi, LostOutputNeitherKillsNorBlocksTheAnswer) {
    // The reader of the dialogs' output went away (a closed pipe): the question is still
    // answered from the input rather than the process dying on the write.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    std::FILE* out = fdopen(pipeFds[1], "w");
    ASSERT_NE(out, nullptr);
    Terminal term("y\n");
    {
        ConsoleUi ui(term.In(), out);
        EXPECT_EQ(ui.MessageBox(nullptr, L"Go on?", L"Sync", MB_YESNO), IDYES);
    }
    std::fclose(out);
}
