#include "Platform/Ui/ConsoleUi.h"
#include "Platform/Ui/ScriptedUi.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

using namespace Platform::Ui;

TEST(Ui, DefaultShowsNothingAndCancels) {
    auto ui = Current();
    EXPECT_EQ(ui->MessageBox(nullptr, L"text", L"caption", MB_OKCANCEL | MB_ICONEXCLAMATION), IDCANCEL);
    EXPECT_EQ(ui->MessageBox(nullptr, L"text", L"caption", MB_YESNO), IDNO);
    EXPECT_EQ(ui->MessageBox(nullptr, L"text", L"caption", MB_OK), IDOK);
    EXPECT_EQ(ui->PromptPassword(nullptr, {}).iResult, IDCANCEL);
    EXPECT_EQ(ui->PromptTwoFactor(nullptr, {}).iResult, IDCANCEL);
    EXPECT_EQ(ui->PromptNewPassword(nullptr, {}).iResult, IDCANCEL);
    EXPECT_FALSE(ui->CreateProgress(nullptr, L"Working")->IsCancelled());

    auto scripted = std::make_shared<ScriptedUi>();
    SetCurrent(scripted);
    EXPECT_EQ(Current(), scripted);
    SetCurrent(nullptr);
    EXPECT_NE(Current(), scripted);
}

TEST(Ui, ScriptedAnswersAndRecords) {
    ScriptedUi ui;
    ui.QueueMessageBoxAnswer(IDYES);
    ui.QueuePasswordAnswer({IDOK, L"user", L"secret"});
    ui.QueueTwoFactorAnswer({IDOK, L"123456", true});
    EXPECT_EQ(ui.MessageBox(nullptr, L"Overwrite?", L"Question", MB_YESNO), IDYES);
    EXPECT_EQ(ui.MessageBox(nullptr, L"Again?", L"Question", MB_YESNOCANCEL), IDCANCEL) << "queue empty";
    const PasswordAnswer password =
        ui.PromptPassword(nullptr, {.wsCaption = L"Sign in", .wsMessage = L"Wrong password"});
    EXPECT_EQ(password.wsPassword, L"secret");
    const TwoFactorAnswer code = ui.PromptTwoFactor(nullptr, {.wsCaption = L"Code"});
    EXPECT_TRUE(code.bRemember);
    EXPECT_EQ(ui.PromptNewPassword(nullptr, {.wsCaption = L"Change"}).iResult, IDCANCEL);

    ui.CancelProgressAfter(2);
    {
        auto progress = ui.CreateProgress(nullptr, L"Rebuilding");
        progress->SetText(L"Reconstructing GAL mapping data.");
        progress->SetRange(0, 500);
        progress->SetStep(100);
        progress->StepIt();
        EXPECT_FALSE(progress->IsCancelled());
        progress->StepIt();
        EXPECT_TRUE(progress->IsCancelled());
    }
    const auto history = ui.History();
    ASSERT_EQ(history.size(), 6u);
    EXPECT_EQ(history[0].wsText, L"Overwrite?");
    EXPECT_EQ(history[0].uType, MB_YESNO);
    EXPECT_EQ(history[1].iResult, IDCANCEL);
    EXPECT_EQ(history[2].kind, ScriptedUi::Kind::Password);
    EXPECT_EQ(history[2].wsText, L"Wrong password");
    const auto progresses = ui.Progresses();
    ASSERT_EQ(progresses.size(), 1u);
    EXPECT_EQ(progresses[0].ulPos, 200u);
    EXPECT_EQ(progresses[0].ulHigh, 500u);
    EXPECT_TRUE(progresses[0].bClosed);
    EXPECT_EQ(progresses[0].texts.front(), L"Reconstructing GAL mapping data.");
}

TEST(Ui, ConsoleWithoutTerminalNeverAsks) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "y\n", 2), 2);  // would be an answer, but a pipe is not asked
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    {
        ConsoleUi ui(fds[0], out);
        EXPECT_EQ(ui.MessageBox(nullptr, L"Switch offline?", L"Ostrel", MB_YESNO | MB_ICONQUESTION), IDNO);
        EXPECT_EQ(ui.MessageBox(nullptr, L"Done", L"Ostrel", MB_OK), IDOK);
        EXPECT_EQ(ui.PromptPassword(nullptr, {.wsCaption = L"Sign in"}).iResult, IDCANCEL);
        EXPECT_EQ(ui.PromptTwoFactor(nullptr, {.wsCaption = L"Code"}).iResult, IDCANCEL);
        auto progress = ui.CreateProgress(nullptr, L"Loading");
        progress->SetRange(0, 10);
        for (int i = 0; i < 10; ++i)
            progress->SetPos(static_cast<ULONG>(i + 1));
    }
    fclose(out);
    const std::string shown(text, size);
    free(text);
    EXPECT_NE(shown.find("Switch offline?"), std::string::npos);
    EXPECT_NE(shown.find("Loading (100%)"), std::string::npos);
    close(fds[0]);
    close(fds[1]);
}

TEST(Ui, ConsoleAsksOnATerminal) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string input =
        "maybe\ny\n"
        "s3cret\n"
        "123456\nY\n"
        "one\ntwo\nnew\nnew\n";
    ASSERT_EQ(write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    FILE* out = tmpfile();
    {
        ConsoleUi ui(slave, out);
        EXPECT_EQ(ui.MessageBox(nullptr, L"Trust it?", L"Certificate", MB_YESNOCANCEL), IDYES);
        const PasswordAnswer password = ui.PromptPassword(nullptr, {.wsCaption = L"Sign in", .wsUsername = L"me"});
        EXPECT_EQ(password.iResult, IDOK);
        EXPECT_EQ(password.wsUsername, L"me");
        EXPECT_EQ(password.wsPassword, L"s3cret");
        const TwoFactorAnswer code = ui.PromptTwoFactor(nullptr, {.wsCaption = L"Two-factor"});
        EXPECT_EQ(code.iResult, IDOK);
        EXPECT_EQ(code.wsCode, L"123456");
        EXPECT_TRUE(code.bRemember);
        NewPasswordPrompt prompt;
        prompt.wsMismatchText = L"They differ.";
        const NewPasswordAnswer changed = ui.PromptNewPassword(nullptr, prompt);
        EXPECT_EQ(changed.iResult, IDOK);
        EXPECT_EQ(changed.wsNewPassword, L"new");
    }
    termios mode{};
    ASSERT_EQ(tcgetattr(slave, &mode), 0);
    EXPECT_TRUE(mode.c_lflag & ECHO) << "echo is back on";
    rewind(out);
    std::string shown(4096, '\0');
    shown.resize(fread(shown.data(), 1, shown.size(), out));
    fclose(out);
    EXPECT_NE(shown.find("They differ."), std::string::npos);
    close(master);
    close(slave);
}

// The certificate question shows everything found and takes a period's number; anything else,
// or no terminal, refuses.
TEST(Ui, ConsoleAsksAboutACertificate) {
    CertTrustPrompt prompt;
    prompt.wsCaption = L"Cannot verify mail.example";
    prompt.wsServer = L"mail.example";
    prompt.wsSubject = L"CN=mail.example";
    prompt.wsIssuer = L"CN=Somebody";
    prompt.wsValidity = L"from 2024-01-01 to 2025-01-01";
    prompt.problems = {L"Unknown issuer.", L"Expired."};
    prompt.wsSha1 = L"AA:BB";
    prompt.wsSha256 = L"CC:DD";
    prompt.periods = {L"Once", L"Until logout", L"5 minutes"};

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "3\n", 2), 2);
    {
        ConsoleUi ui(fds[0], stderr);
        EXPECT_EQ(ui.PromptCertTrust(nullptr, prompt).iResult, IDCANCEL);
    }
    close(fds[0]);
    close(fds[1]);

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string input = "4\n3\nno\n01\n";
    ASSERT_EQ(write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    FILE* out = tmpfile();
    {
        ConsoleUi ui(slave, out);
        EXPECT_EQ(ui.PromptCertTrust(nullptr, prompt).iResult, IDCANCEL);
        const CertTrustAnswer chosen = ui.PromptCertTrust(nullptr, prompt);
        EXPECT_EQ(chosen.iResult, IDOK);
        EXPECT_EQ(chosen.iPeriod, 2u);
        EXPECT_EQ(ui.PromptCertTrust(nullptr, prompt).iResult, IDCANCEL);
        const CertTrustAnswer once = ui.PromptCertTrust(nullptr, prompt);
        EXPECT_EQ(once.iResult, IDOK);
        EXPECT_EQ(once.iPeriod, 0u);
    }
    rewind(out);
    std::string shown(8192, '\0');
    shown.resize(fread(shown.data(), 1, shown.size(), out));
    fclose(out);
    for (const char* part : {"CN=mail.example", "CN=Somebody", "2025-01-01", "Unknown issuer.", "Expired.", "AA:BB",
                             "CC:DD", "3) 5 minutes"})
        EXPECT_NE(shown.find(part), std::string::npos) << part;
    close(master);
    close(slave);
}
