// `ostrel sync` against the simulator: full and incremental runs, and interruptions (SIGINT, a
// dropped connection, a damaged archive, a token the server no longer knows) after which the next
// run completes the store exactly.
#include "CliTestSupport.h"
#include "Ostrel/Settings/ProfileStore.h"

#include "ostrel/LocalMailbox.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Util/OstrelReg.h"

#include <signal.h>
#include <spawn.h>

#include <condition_variable>
#include <mutex>
#include <regex>

extern char** environ;

namespace CliTest {

namespace {

using Ostrel::Rpc::ActionRequest;

size_t JsonNumber(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\":([0-9]+)")))
        return static_cast<size_t>(-1);
    return std::stoul(match[1]);
}

bool JsonFlag(const std::string& json, const std::string& key) {
    return json.find("\"" + key + "\":true") != std::string::npos;
}

class SyncTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        // Small archives, so that a few dozen messages take several.
        Ostrel::Util::RegUtil listSize(L"ZipListSize", KEY_ALL_ACCESS);
        ASSERT_EQ(listSize.CreateKey(), ERROR_SUCCESS);
        ASSERT_EQ(listSize.SetValue(DWORD{10}), ERROR_SUCCESS);
    }

    void Act(long id, ActionRequest::OP op, long folderId = 0) {
        Ostrel::Rpc::OstrelConnection connection(L"test", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0,
                                                 Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"default");
        std::unique_ptr<ActionRequest> request =
            op == ActionRequest::OP_MOVE
                ? std::make_unique<ActionRequest>(Ostrel::Mail::MIT_MESSAGE, id, op, folderId, nullptr)
                : std::make_unique<ActionRequest>(Ostrel::Mail::MIT_MESSAGE, id, op);
        Ostrel::Rpc::Response* pResponse = nullptr;
        connection.SendRequestSynchronousOC(request.get(), pResponse, __func__, __LINE__);
        delete pResponse;
    }

    // Runs `before(n)` ahead of the n-th archive download (counted from 1), then serves it.
    void BeforeDownloads(std::function<void(int)> before) {
        auto download = OstrelServer::RegisteredHttpEndpoints().at({"GET", "/service/download"});
        auto count = std::make_shared<std::atomic<int>>(0);
        server->SetHttpHandler("GET", "/service/download", [download, count, before](OstrelServer::HttpCall& call) {
            before(++*count);
            download(call);
        });
    }
};

TEST_F(SyncTest, SecondRunFetchesOnlyWhatChanged) {
    StartServer(45);
    ASSERT_EQ(Login().iExit, 0);
    const CommandRun first = Sync();
    ASSERT_EQ(first.iExit, 0) << first.sErr;
    EXPECT_TRUE(JsonFlag(first.sOut, "full"));
    EXPECT_EQ(JsonNumber(first.sOut, "fetched"), 45u);
    EXPECT_EQ(JsonNumber(first.sOut, "batches"), 5u);
    EXPECT_EQ(JsonNumber(first.sOut, "messages"), 45u);
    ExpectExactCopy();

    // On the server: two new messages, one flagged, one moved, one deleted.
    const std::vector<int32_t> inbox = Mailbox().ItemsIn(2);
    ASSERT_GE(inbox.size(), 3u);
    OstrelServer::GenerateInto(Mailbox(), 2, 99);
    Act(inbox[0], ActionRequest::OP_FLAG);
    Act(inbox[1], ActionRequest::OP_MOVE, 503);
    Act(inbox[2], ActionRequest::OP_DELETE);

    const CommandRun second = Sync();
    ASSERT_EQ(second.iExit, 0) << second.sErr;
    EXPECT_FALSE(JsonFlag(second.sOut, "full"));
    EXPECT_EQ(JsonNumber(second.sOut, "fetched"), 2u);
    EXPECT_EQ(JsonNumber(second.sOut, "updated"), 2u) << second.sOut;
    EXPECT_EQ(JsonNumber(second.sOut, "deleted"), 1u);
    ExpectExactCopy();  // the flag and the move included

    const CommandRun third = Sync();
    ASSERT_EQ(third.iExit, 0) << third.sErr;
    EXPECT_EQ(JsonNumber(third.sOut, "fetched"), 0u);
    EXPECT_EQ(JsonNumber(third.sOut, "updated"), 0u);
    EXPECT_EQ(JsonNumber(third.sOut, "batches"), 0u);

    // Without --json: one summary line, nothing on stderr without a terminal.
    const CommandRun plain = Command("sync", {"--password-env", "CLI_TEST_PASSWORD"});
    ASSERT_EQ(plain.iExit, 0);
    EXPECT_EQ(plain.sOut.rfind("synchronised user@ostrel.test: 0 messages fetched", 0), 0u) << plain.sOut;
    EXPECT_NE(plain.sOut.find(" folders of " + StorePath().string() + "; "), std::string::npos) << plain.sOut;
    EXPECT_EQ(std::count(plain.sOut.begin(), plain.sOut.end(), '\n'), 1);
    EXPECT_EQ(plain.sErr, "");
}

TEST_F(SyncTest, InterruptedRunIsFinishedByTheNext) {
    StartServer(55);
    ASSERT_EQ(Login().iExit, 0);
    // The interrupt arrives while the third archive is on its way.
    BeforeDownloads([](int n) {
        if (n == 3)
            OstrelCli::RequestInterrupt();
    });
    const CommandRun interrupted = Sync();
    EXPECT_EQ(interrupted.iExit, 130);
    EXPECT_EQ(interrupted.ErrLines(), 1u) << interrupted.sErr;
    EXPECT_EQ(LocalMessages().size(), 20u) << "two archives written; the interrupt stops the wait for the third";
    EXPECT_TRUE(std::filesystem::exists(MailDir() / "pending"));
    EXPECT_FALSE(std::filesystem::exists(MailDir() / "state")) << "the token waits for the whole mailbox";

    OstrelServer::GenerateInto(Mailbox(), 3, 7);
    const CommandRun resumed = Sync();
    ASSERT_EQ(resumed.iExit, 0) << resumed.sErr;
    EXPECT_TRUE(JsonFlag(resumed.sOut, "resumed"));
    EXPECT_EQ(JsonNumber(resumed.sOut, "fetched"), 38u) << "35 left over and 3 new, none twice";
    ExpectExactCopy();
}

TEST_F(SyncTest, DroppedConnectionsLoseAndDuplicateNothing) {
    StartServer(35);
    ASSERT_EQ(Login().iExit, 0);

    ASSERT_EQ(Sync().iExit, 0);
    OstrelServer::GenerateInto(Mailbox(), 30, 3);

    // The synchronisation answer breaks off: nothing is recorded.
    server->Faults().Add(OstrelServer::Fault::For("SyncRequest", 1).DropMidBody());
    const CommandRun droppedSync = Sync();
    EXPECT_EQ(droppedSync.iExit, 1);
    EXPECT_EQ(droppedSync.ErrLines(), 1u) << droppedSync.sErr;
    EXPECT_FALSE(std::filesystem::exists(MailDir() / "pending"));

    // An archive breaks off in the middle: the run stops with its pending record kept.
    OstrelCli::BreakDownloads(*server, 1, 20000);
    const CommandRun dropped = Sync();
    EXPECT_EQ(dropped.iExit, 1);
    EXPECT_EQ(dropped.ErrLines(), 1u) << dropped.sErr;
    EXPECT_EQ(dropped.sErr.rfind("ostrel sync: ", 0), 0u) << dropped.sErr;
    EXPECT_TRUE(std::filesystem::exists(MailDir() / "pending"));
    EXPECT_EQ(LocalMessages().size(), 35u);

    const CommandRun recovered = Sync();
    ASSERT_EQ(recovered.iExit, 0) << recovered.sErr;
    EXPECT_TRUE(JsonFlag(recovered.sOut, "resumed"));
    EXPECT_EQ(JsonNumber(recovered.sOut, "fetched"), 30u);
    ExpectExactCopy();
}

TEST_F(SyncTest, DamagedArchiveCommitsNothing) {
    StartServer(12);
    ASSERT_EQ(Login().iExit, 0);
    server->SetHttpHandler("GET", "/service/download", [](OstrelServer::HttpCall& call) {
        call.res.set_content(std::string("PK\x03\x04garbage that is no archive", 30), "application/zip");
    });
    const CommandRun damaged = Sync();
    EXPECT_EQ(damaged.iExit, 1);
    EXPECT_EQ(damaged.ErrLines(), 1u) << damaged.sErr;
    EXPECT_NE(damaged.sErr.find("damaged message archive"), std::string::npos) << damaged.sErr;
    EXPECT_FALSE(std::filesystem::exists(MailDir() / "state"));

    BeforeDownloads([](int) {});
    ASSERT_EQ(Sync().iExit, 0);
    ExpectExactCopy();
}

TEST_F(SyncTest, ForgottenTokenLeadsToAFullListingThatPrunes) {
    StartServer(20);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Sync().iExit, 0);
    const int32_t gone = Mailbox().ItemsIn(2).front();
    Act(gone, ActionRequest::OP_DELETE);
    Mailbox().ForgetChanges();

    const CommandRun run = Sync();
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_TRUE(JsonFlag(run.sOut, "full"));
    EXPECT_EQ(JsonNumber(run.sOut, "fetched"), 0u) << "messages held are not fetched again";
    EXPECT_EQ(JsonNumber(run.sOut, "deleted"), 1u);
    EXPECT_FALSE(LocalMessages().count(gone));
    ExpectExactCopy();
}

TEST_F(SyncTest, ASummaryThatCannotBeWrittenIsAFailure) {
    StartServer(3);
    ASSERT_EQ(Login().iExit, 0);
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_TRUE(full);
    const CommandRun run = Command("sync", {"--password-env", "CLI_TEST_PASSWORD"}, full);
    std::fclose(full);
    EXPECT_EQ(run.iExit, 1);
    EXPECT_EQ(run.sErr, "ostrel sync: cannot write to standard output: No space left on device\n");
    ExpectExactCopy();  // the mailbox itself was synchronised
}

TEST_F(SyncTest, OneSyncAtATimeAndClearFailures) {
    StartServer(3);
    const CommandRun noProfile = Sync();
    EXPECT_EQ(noProfile.iExit, 1);
    EXPECT_EQ(noProfile.sErr, "ostrel sync: no profile 'default': run 'ostrel login' first\n");

    ASSERT_EQ(Login().iExit, 0);
    {
        OstrelCli::LocalMailbox other(MailDir());
        ASSERT_TRUE(other.Lock());
        const CommandRun busy = Sync();
        EXPECT_EQ(busy.iExit, 1);
        EXPECT_EQ(busy.sErr, "ostrel sync: another 'ostrel sync' of profile 'default' is running\n");
    }
    const CommandRun wrong = Command("sync", {"--password-env", "CLI_TEST_WRONG"});
    EXPECT_EQ(wrong.iExit, 1);
    EXPECT_EQ(wrong.ErrLines(), 1u) << wrong.sErr;
    EXPECT_NE(wrong.sErr.find("refused the sign-on"), std::string::npos) << wrong.sErr;

    server->Stop();
    const CommandRun down = Sync();
    EXPECT_EQ(down.iExit, 1);
    EXPECT_EQ(down.sErr, "ostrel sync: cannot connect to the server at " + server->BaseUrl() + "\n");
}

// The real program, stopped with SIGINT while an archive is on its way.
// A stored password that cannot be read is told as such, not as no password at all.
TEST_F(SyncTest, AStoredPasswordThatCannotBeReadIsNamed) {
    StartServer(1);
    ASSERT_EQ(Login({"--store-password"}).iExit, 0);
    const std::filesystem::path values = Ostrel::Mapi::ProfileFilePath(L"default");
    ASSERT_TRUE(std::filesystem::is_regular_file(values));
    std::filesystem::rename(values, home.Path() / "values-away");
    std::filesystem::create_directory(values);
    const CommandRun run = Command("sync", {});
    EXPECT_EQ(run.iExit, 1);
    EXPECT_EQ(run.ErrLines(), 1u);
    EXPECT_NE(run.sErr.find("the stored password of profile 'default' cannot be read from " + values.string()),
              std::string::npos)
        << run.sErr;
}

TEST_F(SyncTest, SigintStopsTheProgramSafely) {
    StartServer(40);
    ASSERT_EQ(Login().iExit, 0);

    std::mutex mutex;
    std::condition_variable cv;
    bool bArrived = false, bReleased = false;
    BeforeDownloads([&](int n) {
        if (n != 2)
            return;
        std::unique_lock<std::mutex> lock(mutex);
        bArrived = true;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(60), [&] { return bReleased; });
    });

    const std::string out = (home.Path() / "sync.out").string(), err = (home.Path() / "sync.err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const char* argv[] = {OSTREL_CLI, "sync", "--password-env", "CLI_TEST_PASSWORD", nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, OSTREL_CLI, &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return bArrived; }));
    }
    // The server holds the archive back: the first Ctrl-C says what happens and stops the wait for
    // it within seconds, not after the receive time-out.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    {
        std::lock_guard<std::mutex> lock(mutex);
        bReleased = true;
    }
    cv.notify_all();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(ReadFile(err),
              "ostrel sync: stopping; Ctrl-C again to stop now\n"
              "ostrel sync: interrupted; the next 'ostrel sync' finishes what is left\n");
    EXPECT_EQ(LocalMessages().size(), 10u);  // the first archive; the held one is fetched next time

    const CommandRun resumed = Sync();
    ASSERT_EQ(resumed.iExit, 0) << resumed.sErr;
    EXPECT_EQ(JsonNumber(resumed.sOut, "fetched"), 30u);
    ExpectExactCopy();
}

}  // namespace

}  // namespace CliTest
