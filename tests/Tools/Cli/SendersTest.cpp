// `ostrel senders` on the local lists, and `ostrel sync` carrying them between two profiles of
// one account through the server.
#include "CliTestSupport.h"

#include "Platform/Host/JunkMail.h"
#include "ostrel-server/Accounts.h"

namespace CliTest {

namespace {

class SendersTest : public SimulatorTest {
protected:
    CommandRun Senders(std::vector<std::string> args) { return Command("senders", args); }
    std::string List(const std::string& profile, bool bBlocked = false) {
        std::vector<std::string> args = {"list", "--profile", profile};
        if (bBlocked)
            args.push_back("--blocked");
        const CommandRun run = Senders(args);
        EXPECT_EQ(run.iExit, 0) << run.sErr;
        return run.sOut;
    }
    CommandRun SyncText(const std::string& profile) {
        return Command("sync", {"--quiet", "--password-env", "CLI_TEST_PASSWORD", "--profile", profile});
    }
};

}  // namespace

TEST_F(SendersTest, ListAddAndRemoveWorkOnTheLocalLists) {
    StartServer(0);
    ASSERT_EQ(Login().iExit, 0);
    EXPECT_EQ(List("default"), "");
    ASSERT_EQ(Senders({"add", "ann@example.com", "Example.org"}).iExit, 0);
    ASSERT_EQ(Senders({"add", "ANN@example.com", "@example.org"}).iExit, 0);  // both are there already
    ASSERT_EQ(Senders({"add", "--blocked", "spam.example"}).iExit, 0);
    EXPECT_EQ(List("default"), "ann@example.com\nExample.org\n");
    EXPECT_EQ(List("default", true), "spam.example\n");
    EXPECT_EQ(Senders({"list", "--json"}).sOut, "[\"ann@example.com\",\"Example.org\"]\n");

    // A removal that finds nothing changes nothing, not even the others named with it.
    const CommandRun missing = Senders({"remove", "example.org", "bob@example.com"});
    EXPECT_EQ(missing.iExit, 1);
    EXPECT_NE(missing.sErr.find("'bob@example.com' is not in the list"), std::string::npos) << missing.sErr;
    EXPECT_EQ(List("default"), "ann@example.com\nExample.org\n");
    ASSERT_EQ(Senders({"remove", "*@EXAMPLE.org"}).iExit, 0);
    EXPECT_EQ(List("default"), "ann@example.com\n");

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"add"}, {"add", "two words"}, {"add", "a@x;b@y"}, {"add", "#x"}, {"list", "a@x"}, {"purge"}})
        EXPECT_EQ(Senders(bad).iExit, 2) << bad.size();
    EXPECT_EQ(Senders({"list", "--profile", "nobody"}).iExit, 1);
}

TEST_F(SendersTest, SyncCarriesChangesBothWaysBetweenTwoProfiles) {
    StartServer(0);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Login({"--profile", "laptop"}).iExit, 0);
    ASSERT_EQ(Senders({"add", "ann@example.com"}).iExit, 0);
    ASSERT_EQ(Senders({"add", "--blocked", "spam.example"}).iExit, 0);
    ASSERT_EQ(Senders({"add", "--profile", "laptop", "bob@example.com"}).iExit, 0);

    const CommandRun first = SyncText("default");
    ASSERT_EQ(first.iExit, 0) << first.sErr;
    EXPECT_NE(first.sOut.find("sender lists: 2 change(s) sent (merged); now 1 safe, 1 blocked"), std::string::npos)
        << first.sOut;
    ASSERT_EQ(SyncText("laptop").iExit, 0);
    EXPECT_EQ(List("laptop"), "ann@example.com\nbob@example.com\n");
    EXPECT_EQ(List("laptop", true), "spam.example\n");
    ASSERT_EQ(SyncText("default").iExit, 0);
    EXPECT_EQ(List("default"), "ann@example.com\nbob@example.com\n");

    // Removed on one side and added on the other, then synchronised in turn.
    ASSERT_EQ(Senders({"remove", "--profile", "laptop", "ann@example.com"}).iExit, 0);
    ASSERT_EQ(Senders({"add", "carl@example.com"}).iExit, 0);
    ASSERT_EQ(SyncText("laptop").iExit, 0);
    ASSERT_EQ(SyncText("default").iExit, 0);
    ASSERT_EQ(SyncText("laptop").iExit, 0);
    EXPECT_EQ(List("default"), "bob@example.com\ncarl@example.com\n");
    EXPECT_EQ(List("laptop"), "bob@example.com\ncarl@example.com\n");
}

TEST_F(SendersTest, SyncJsonCarriesTheListsOutcomeAndTheAccountsLimitKeepsEntriesBack) {
    StartServer(0);
    OstrelServer::AccountBook& accounts = server->State<OstrelServer::AccountBook>();
    std::optional<OstrelServer::Account> account = accounts.Find(OstrelCli::kLocalAccount);
    ASSERT_TRUE(account);
    account->attrs.push_back({"ostrelMailWhitelistMaxNumEntries", "2"});
    accounts.Add(*account);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Senders({"add", "a@example.com", "b@example.com", "c@example.com"}).iExit, 0);
    ASSERT_EQ(Senders({"add", "--blocked", "spam.example"}).iExit, 0);

    const CommandRun run = Sync();
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_TRUE(
        run.sOut.ends_with(",\"senderLists\":{\"changesSent\":3,\"merged\":true,\"clientChanged\":false,"
                           "\"safeSenders\":3,\"blockedSenders\":1,\"safeHeldBack\":1,\"blockedHeldBack\":0}}\n"))
        << run.sOut;
    EXPECT_NE(run.sErr.find("1 safe sender(s) stay in this profile only: the account allows 2"), std::string::npos)
        << run.sErr;
    EXPECT_EQ(List("default"), "a@example.com\nb@example.com\nc@example.com\n");

    TestSupport::WriteFile(Platform::Host::JunkMailListsPath(L"default"), "[safe senders]\n");
    const CommandRun failed = Sync();
    EXPECT_EQ(failed.iExit, 1);
    EXPECT_NE(failed.sOut.find(",\"senderLists\":{\"error\":\""), std::string::npos) << failed.sOut;
    EXPECT_NE(failed.sErr.find("damaged"), std::string::npos) << failed.sErr;
}

TEST_F(SendersTest, ADamagedListsFileStopsTheSyncAndIsKept) {
    StartServer(0);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Senders({"add", "ann@example.com"}).iExit, 0);
    ASSERT_EQ(SyncText("default").iExit, 0);
    const std::filesystem::path path = Platform::Host::JunkMailListsPath(L"default");
    TestSupport::WriteFile(path, "[safe senders]\nann@example.com\n");  // cut short

    const CommandRun sync = SyncText("default");
    EXPECT_EQ(sync.iExit, 1);
    EXPECT_NE(sync.sErr.find("damaged"), std::string::npos) << sync.sErr;
    EXPECT_EQ(ReadFile(path), "[safe senders]\nann@example.com\n");
    EXPECT_EQ(Senders({"add", "bob@example.com"}).iExit, 1);
    EXPECT_EQ(ReadFile(path), "[safe senders]\nann@example.com\n");
}

}  // namespace CliTest
