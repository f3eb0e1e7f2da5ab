// `ostrel sync` when the server refuses a message download with 401: one sign-on and one more
// download, never a loop.
#include "CliTestSupport.h"

#include "Util/OstrelReg.h"
#include "ostrel-server/Faults.h"

#include <string>
#include <vector>

namespace CliTest {

namespace {

// "auth" and "download" for the sign-ons and message downloads the server saw, in order.
std::vector<std::string> AuthAndDownloads(const OstrelServer::Server& server) {
    std::vector<std::string> seen;
    for (const auto& request : server.Requests()) {
        if (request.callName == "AuthRequest")
            seen.push_back("auth");
        else if (request.path.rfind("/service/download", 0) == 0)
            seen.push_back("download");
    }
    return seen;
}

// What follows the first download.
std::vector<std::string> AfterFirstDownload(const std::vector<std::string>& seen) {
    auto first = std::find(seen.begin(), seen.end(), "download");
    return first == seen.end() ? std::vector<std::string>() : std::vector<std::string>(first + 1, seen.end());
}

class DownloadSignOnTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        // Signing on again uses the password given to the run only when passwords are kept.
        Ostrel::Util::RegUtil storePassword(L"StorePassword", KEY_ALL_ACCESS);
        ASSERT_EQ(storePassword.CreateKey(), ERROR_SUCCESS);
        ASSERT_EQ(storePassword.SetValue(DWORD{1}), ERROR_SUCCESS);
    }
};

TEST_F(DownloadSignOnTest, A401SignsOnOnceAndDownloadsAgain) {
    StartServer(5);
    ASSERT_EQ(Login().iExit, 0);
    server->ClearRequests();
    server->Faults().Add(OstrelServer::Fault::UnauthorizedDownload());
    const CommandRun run = Sync();
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_EQ(AfterFirstDownload(AuthAndDownloads(*server)), (std::vector<std::string>{"auth", "download"}));
    ExpectExactCopy();
}

TEST_F(DownloadSignOnTest, A401AfterSigningOnAgainEndsTheRun) {
    StartServer(5);
    ASSERT_EQ(Login().iExit, 0);
    server->ClearRequests();
    server->Faults().Add(OstrelServer::Fault::UnauthorizedDownload(2));
    const CommandRun run = Sync();
    EXPECT_EQ(run.iExit, 1) << run.sOut;
    EXPECT_EQ(run.ErrLines(), 1u) << run.sErr;
    EXPECT_EQ(AfterFirstDownload(AuthAndDownloads(*server)), (std::vector<std::string>{"auth", "download"}));
    EXPECT_EQ(server->Faults().Pending(), 0u);

    // Nothing was lost: the next run completes the copy.
    const CommandRun next = Sync();
    ASSERT_EQ(next.iExit, 0) << next.sErr;
    ExpectExactCopy();
}

class DownloadWithoutStoredPasswordTest : public SimulatorTest {};

// Without stored passwords the session forgets its copy on the 401; the server refuses the empty
// one, and the password given to the run signs on again.
TEST_F(DownloadWithoutStoredPasswordTest, A401SignsOnWithThePasswordGivenToTheRun) {
    StartServer(5);
    ASSERT_EQ(Login().iExit, 0);
    server->ClearRequests();
    server->Faults().Add(OstrelServer::Fault::UnauthorizedDownload());
    const CommandRun run = Sync();
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_EQ(AfterFirstDownload(AuthAndDownloads(*server)), (std::vector<std::string>{"auth", "auth", "download"}));
    ExpectExactCopy();
}

}  // namespace

}  // namespace CliTest
