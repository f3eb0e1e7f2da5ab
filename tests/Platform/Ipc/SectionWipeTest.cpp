// A section holding a secret must not keep it in its backing file once the last process has left,
// however it left: closing, exiting, or ended by a signal, and whoever of several left last.
#include "Platform/Ipc/Names.h"
#include "Platform/Ipc/SharedSection.h"
#include "Support/TempHome.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr char kSecret[] = "protected-password-bytes";

std::string FileBytes(const std::wstring& name = L"Secret") {
    std::ifstream in(Platform::NamedObjectPath("shm", name), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A child that opens the section, writes the secret, tells the parent and then leaves as `leave`
// says: 'c' closes and goes on running, 'e' exits without closing, 's' exits with the section
// owned by a static object (closed after the exit wipe), 'w' waits to be killed.
pid_t StartHolder(char leave) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        static Platform::SharedSection owned;
        Platform::SharedSection local;
        Platform::SharedSection& section = leave == 's' ? owned : local;
        if (!section.Open(L"Secret", 256))
            _exit(2);
        if (!section.WipeAtExitAndOnSignals())
            _exit(5);
        std::memcpy(section.Data(), kSecret, sizeof kSecret);
        if (write(ready[1], "r", 1) != 1)
            _exit(3);
        if (leave == 'c') {
            section.Close();
            if (FileBytes().find(kSecret) != std::string::npos)
                _exit(4);
        }
        if (leave == 'w')
            pause();
        std::exit(0);
    }
    close(ready[1]);
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    return pid;
}

int Finish(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
}

}  // namespace

TEST(SectionWipe, TheLastProcessLeavingZeroesTheFileHoweverItLeaves) {
    TestSupport::TempHome home;
    for (char leave : {'c', 'e', 's'}) {
        const int status = Finish(StartHolder(leave));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "left by " << leave << ": status " << status;
        EXPECT_EQ(FileBytes().find(kSecret), std::string::npos) << "left by " << leave;
    }
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        const pid_t pid = StartHolder('w');
        ASSERT_NE(FileBytes().find(kSecret), std::string::npos);
        kill(pid, signal);
        const int status = Finish(pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "the signal still ends the process";
        EXPECT_EQ(FileBytes().find(kSecret), std::string::npos) << "signal " << signal;
    }
}

TEST(SectionWipe, ASecretStaysWhileAnotherProcessStillHoldsIt) {
    TestSupport::TempHome home;
    Platform::SharedSection mine;
    ASSERT_TRUE(mine.Open(L"Secret", 256));
    Finish(StartHolder('e'));
    EXPECT_EQ(std::memcmp(mine.Data(), kSecret, sizeof kSecret), 0);
    // The others have gone: this process detaching while it goes on running is the last one.
    mine.Close();
    EXPECT_EQ(FileBytes().find(kSecret), std::string::npos);
}

// A killed process leaves no trace in the count of users: the survivor still wipes on Close.
TEST(SectionWipe, AKilledUserDoesNotKeepTheSecretAlive) {
    TestSupport::TempHome home;
    Platform::SharedSection mine;
    ASSERT_TRUE(mine.Open(L"Secret", 256));
    const pid_t pid = StartHolder('w');
    kill(pid, SIGKILL);
    Finish(pid);
    ASSERT_NE(FileBytes().find(kSecret), std::string::npos);
    Platform::SharedSection second;
    ASSERT_TRUE(second.Open(L"Secret", 256));
    EXPECT_FALSE(second.Created());
    second.Close();
    EXPECT_NE(FileBytes().find(kSecret), std::string::npos) << "wiped while this process still holds it";
    mine.Close();
    EXPECT_EQ(FileBytes().find(kSecret), std::string::npos);
}

TEST(SectionWipe, AnotherLocalUserCannotReachTheFile) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a second local user (setuid in a forked child)";
    uid_t other = 54321;
    while (getpwuid(other) && other < 54400)
        ++other;
    TestSupport::TempHome home;
    ASSERT_EQ(chmod(home.Path().c_str(), 0755), 0);
    Platform::SharedSection mine;
    ASSERT_TRUE(mine.Open(L"Secret", 256));
    ASSERT_EQ(chmod((home.Path() / "run").c_str(), 0755), 0);
    std::memcpy(mine.Data(), kSecret, sizeof kSecret);
    const auto path = Platform::NamedObjectPath("shm", L"Secret");
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(other) != 0 || setuid(other) != 0)
            _exit(2);
        _exit(open(path.c_str(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1);
    }
    const int status = Finish(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other user could open " << path;
}

// Sections registered from several threads at once must each be wiped with their own memory:
// a slot pairing one section's lock with another's mapping leaves a secret behind.
TEST(SectionWipe, SectionsRegisteredConcurrentlyAreAllWipedAtExit) {
    TestSupport::TempHome home;
    constexpr int kThreads = 8;
    for (int round = 0; round < 40; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            // Static, so they are closed (which wipes too) only after the exit wipe has run.
            static Platform::SharedSection sections[kThreads];
            for (int i = 0; i < kThreads; ++i) {
                if (!sections[i].Open(L"Race" + std::to_wstring(i), 256 * (i + 1)))
                    _exit(2);
            }
            std::atomic<int> waiting{kThreads};
            std::atomic<bool> bFailed{false};
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i) {
                threads.emplace_back([&, i] {
                    waiting.fetch_sub(1);
                    while (waiting.load() > 0) {
                    }
                    if (!sections[i].WipeAtExitAndOnSignals())
                        bFailed = true;
                    std::memcpy(sections[i].Data(), kSecret, sizeof kSecret);
                });
            }
            for (auto& thread : threads)
                thread.join();
            if (bFailed)
                _exit(3);
            std::exit(0);
        }
        const int status = Finish(pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round << ": status " << status;
        for (int i = 0; i < kThreads; ++i)
            ASSERT_EQ(FileBytes(L"Race" + std::to_wstring(i)).find(kSecret), std::string::npos)
                << "round " << round << ", section " << i;
    }
}

// The table the signal handler reads is fixed: once full, registering says so instead of leaving
// a section that will not be wiped, and a closed section gives its place back.
TEST(SectionWipe, RegisteringBeyondTheTableFailsAndClosingFreesASlot) {
    TestSupport::TempHome home;
    std::vector<std::unique_ptr<Platform::SharedSection>> sections;
    bool bRefused = false;
    while (!bRefused && sections.size() < 64) {
        sections.push_back(std::make_unique<Platform::SharedSection>());
        ASSERT_TRUE(sections.back()->Open(L"Full" + std::to_wstring(sections.size()), 64));
        errno = 0;
        bRefused = !sections.back()->WipeAtExitAndOnSignals();
    }
    ASSERT_TRUE(bRefused) << "64 sections registered";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_GE(sections.size(), 2u);
    // Registering one that already holds a slot takes no second one.
    EXPECT_TRUE(sections.front()->WipeAtExitAndOnSignals());
    sections.front()->Close();
    EXPECT_TRUE(sections.back()->WipeAtExitAndOnSignals());
    Platform::SharedSection closed;
    EXPECT_FALSE(closed.WipeAtExitAndOnSignals());
}
