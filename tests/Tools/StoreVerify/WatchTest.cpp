// `ostrel sync --watch` as a real process: a message that arrives on the server reaches the store
// without another command, also after the connection broke off in a wait, and SIGINT ends the watch
// with status 130.
#include "StoreVerifySupport.h"

#include "ostrel/StoreMailbox.h"

#include "Support/Wait.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fcntl.h>

extern char** environ;

namespace StoreVerifyTest {

namespace {

bool StoreHas(int32_t iId) {
    OstrelCli::StoreMailbox mailbox("default");
    std::string why;
    Platform::ComPtr<IMessage> pMessage;
    return SUCCEEDED(mailbox.Open(false, why)) && SUCCEEDED(mailbox.OpenItem(iId, 0, pMessage.AddressOf()));
}

}  // namespace

using SyncWatch = SignedOnTest;

TEST_F(SyncWatch, ChangesOnTheServerReachTheStoreUntilInterrupted) {
    SignOn(20);

    const std::string err = (home.Path() / "watch.err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const char* argv[] = {OSTREL_CLI, "sync", "--watch", "--quiet", nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, OSTREL_CLI, &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Ends the child when an assertion leaves the test early; never signals anything else.
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            if (pid > 0 && ::kill(pid, SIGKILL) == 0)
                ::waitpid(pid, nullptr, 0);
        }
    } reaper{pid};

    EXPECT_TRUE(TestSupport::WaitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return ReadFile(err).find("watching for changes") != std::string::npos;
        },
        std::chrono::seconds(60)))
        << ReadFile(err);
    auto arrives = [&](const char* pszSubject) {
        OstrelServer::MailItem item;
        item.folderId = OstrelCli::kServerInbox;
        item.mime = std::string("From: a@example.com\r\nSubject: ") + pszSubject + "\r\n\r\nnew\r\n";
        const int32_t id = Mailbox().AddItem(item);
        return TestSupport::WaitUntil(
            [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return StoreHas(id);
            },
            std::chrono::seconds(30));
    };
    EXPECT_TRUE(arrives("while watching")) << "the new message never reached the store\n" << ReadFile(err);

    // A wait breaks off: the watch says so, waits a moment and carries on. The server answers a
    // wait only when something changes, so the wait that meets the fault (the one under way now or
    // the next) breaks off at the first or the second of these arrivals.
    server->Faults().Add(OstrelServer::Fault::For("WaitSetRequest", 1).DropMidBody());
    EXPECT_TRUE(arrives("before the break")) << ReadFile(err);
    EXPECT_TRUE(arrives("during the break")) << ReadFile(err);
    EXPECT_TRUE(TestSupport::WaitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return ReadFile(err).find("lost the server; trying again in 1 s") != std::string::npos;
        },
        std::chrono::seconds(30)))
        << ReadFile(err);
    EXPECT_TRUE(arrives("after the break")) << ReadFile(err);

    ASSERT_EQ(::kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    reaper.pid = 0;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130) << ReadFile(err);
}

}  // namespace StoreVerifyTest
