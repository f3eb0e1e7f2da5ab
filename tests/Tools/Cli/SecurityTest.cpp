// `ostrel` against folders and servers that try to get more out of it than they should.
#include "CliTestSupport.h"

#include "Ostrel/Settings/ProfileStore.h"

#include <sys/stat.h>

namespace CliTest {

TEST(ProgramSecurity, AnUnsafeRuntimeFolderStopsEveryCommandInOneLine) {
    TestSupport::TempHome home;
    const auto run = home.Path() / "run" / "ostrel";
    std::filesystem::create_directories(run);
    ASSERT_EQ(chmod(run.c_str(), 0777), 0);
    const CommandRun result = RunProgram("config");
    EXPECT_EQ(result.iExit, 1);
    EXPECT_EQ(result.ErrLines(), 1u) << result.sErr;
    EXPECT_NE(result.sErr.find(run.string()), std::string::npos) << result.sErr;
    EXPECT_EQ(result.sOut, "");
}

}  // namespace CliTest

namespace CliTest {

// Sign-on works, but the account's information does not come: no login is reported or saved.
TEST_F(SimulatorTest, LoginWithoutTheAccountInformationFails) {
    StartServer(0);
    const std::filesystem::path profile = home.Path() / "home" / "profiles" / "default" / "profile.conf";
    const std::vector<OstrelServer::Fault> faults = {OstrelServer::Fault::For("GetInfoRequest", -1).Status(200, ""),
                                                     OstrelServer::Fault::For("GetInfoRequest", -1).Status(404, "no")};
    for (size_t i = 0; i < faults.size(); ++i) {
        server->Faults().Clear();
        server->Faults().Add(faults[i]);
        const CommandRun run = Login();
        EXPECT_EQ(run.iExit, 1) << i << ": " << run.sOut;
        EXPECT_EQ(run.sOut, "") << i;
        EXPECT_EQ(run.ErrLines(), 1u) << run.sErr;
        EXPECT_NE(run.sErr.find("account's information"), std::string::npos) << run.sErr;
        EXPECT_FALSE(std::filesystem::exists(profile)) << i;
        Ostrel::Rpc::UserSession::ReleaseSharedSessions();
    }
}

}  // namespace CliTest

namespace CliTest {

// The token the old server gave for trusting this device stays away from a new server.
TEST_F(SimulatorTest, ATrustedDeviceTokenDoesNotFollowTheProfileToAnotherServer) {
    StartServer(0);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Ostrel::Mapi::SetTrustedTokenInProfile(L"default", L"trusted-by-the-old-server"), S_OK);
    Ostrel::Rpc::UserSession::ReleaseSharedSessions();

    OstrelCli::LocalServerOptions options;
    auto other = OstrelCli::StartLocalServer(options);
    const CommandRun run = Command("login", {"--server", other->BaseUrl(), "--account", OstrelCli::kLocalAccount,
                                             "--password-env", "CLI_TEST_PASSWORD", "--force"});
    EXPECT_EQ(run.iExit, 0) << run.sErr;
    for (const auto& request : other->Requests())
        EXPECT_EQ(request.body.find("trusted-by-the-old-server"), std::string::npos) << request.body;
    std::wstring wsToken;
    Ostrel::Mapi::GetTrustedTokenFromProfile(L"default", wsToken);
    EXPECT_NE(wsToken, L"trusted-by-the-old-server");
    Ostrel::Rpc::UserSession::ReleaseSharedSessions();
    other->Stop();
}

}  // namespace CliTest
