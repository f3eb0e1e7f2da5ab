// `ostrel` against folders and servers that try to get more out of it than they should.
#include "CliTestSupport.h"

#include "Ostrel/Settings/ProfileStore.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

// A runtime folder the user cannot reach is named with the reason, for a command that would
// otherwise go on to say that no password is stored. Root reaches every folder: the program runs
// as nobody.
TEST(ProgramSecurity, AnUnreachableRuntimeFolderIsNamedWithTheReason) {
    if (geteuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root and setpriv to run the program as a user a folder is closed to";
    TestSupport::TempHome home;
    ASSERT_EQ(chmod(home.Path().c_str(), 0755), 0);
    const auto own = home.Path() / "nobody";
    std::filesystem::create_directory(own);
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(own.c_str(), 0700), 0);
    const auto closed = home.Path() / "closed";
    std::filesystem::create_directory(closed);
    ASSERT_EQ(chmod(closed.c_str(), 0700), 0);
    // A build with line coverage writes its counts at exit: as nobody, into nobody's own folder.
    const TestSupport::ProgramRun run = TestSupport::RunProgram(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/env", "OSTREL_HOME=" + own.string(),
         "XDG_RUNTIME_DIR=" + closed.string(), "GCOV_PREFIX=" + (own / "coverage").string(), OSTREL_CLI, "sync"});
    EXPECT_EQ(run.iExit, 1) << run.sErr;
    EXPECT_EQ(std::count(run.sErr.begin(), run.sErr.end(), '\n'), 1) << run.sErr;
    EXPECT_NE(run.sErr.find((closed / "ostrel").string() + ": Permission denied"), std::string::npos) << run.sErr;
}

// A port another program listens on is refused at once, in one line that says so. The listener
// allows port sharing, as a second simulator with the HTTP library's defaults would: the server
// must not share it (were it to start, `timeout` ends it with 124).
TEST(ProgramSecurity, AServerOnABusyPortIsRefused) {
    TestSupport::TempHome home;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    const int yes = 1;
    ASSERT_EQ(setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cb = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &cb), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const TestSupport::ProgramRun run =
        TestSupport::RunProgram("/usr/bin/timeout", {"20", OSTREL_CLI, "server", "--port", port});
    close(listener);
    EXPECT_EQ(run.iExit, 1) << run.sErr;
    EXPECT_EQ(run.sOut, "");
    EXPECT_EQ(std::count(run.sErr.begin(), run.sErr.end(), '\n'), 1) << run.sErr;
    EXPECT_NE(run.sErr.find("127.0.0.1:" + port + " is in use"), std::string::npos) << run.sErr;
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

namespace CliTest {

// A reply too large for memory goes to a spool file; when the temporary folder cannot take it the
// line names the folder as full. The program runs with files limited to 1.5 MiB and SIGXFSZ
// ignored, so the spool write fails with EFBIG exactly as on a full disk; the sync reply is padded
// to 3 MiB.
TEST_F(SimulatorTest, AFullTemporaryFolderIsNamedAsTheCause) {
    StartServer(1);
    ASSERT_EQ(Login().iExit, 0);
    server->Faults().Add(OstrelServer::Fault::For("SyncRequest", -1).Pad(3 << 20));
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1536 * 1024, 1536 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        dup2(err[1], 2);
        close(err[0]);
        close(err[1]);
        execl(OSTREL_CLI, OSTREL_CLI, "sync", "--quiet", "--password-env", "CLI_TEST_PASSWORD",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    std::string sErr;
    char buffer[4096];
    for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;)
        sErr.append(buffer, static_cast<size_t>(n));
    close(err[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << " " << sErr;
    std::error_code ec;
    EXPECT_NE(sErr.find("temporary folder " + std::filesystem::temp_directory_path(ec).string() + " is full"),
              std::string::npos)
        << sErr;
    EXPECT_EQ(std::count(sErr.begin(), sErr.end(), '\n'), 1) << sErr;
}

}  // namespace CliTest

namespace CliTest {

// A password key others may read is not used; the line names the key, its mode and the remedy
// rather than the profile's file.
TEST_F(SimulatorTest, APasswordKeyOthersMayReadIsNamedWithItsMode) {
    StartServer(1);
    ASSERT_EQ(Login({"--store-password"}).iExit, 0);
    Ostrel::Rpc::UserSession::ReleaseSharedSessions();
    const std::filesystem::path key = home.Path() / "home" / "keys" / "password.key";
    ASSERT_EQ(chmod(key.c_str(), 0644), 0);
    const CommandRun run = Command("sync", {});
    EXPECT_EQ(run.iExit, 1);
    EXPECT_EQ(run.ErrLines(), 1u) << run.sErr;
    EXPECT_NE(run.sErr.find("the password key " + key.string() + " may be used by other users (mode 0644)"),
              std::string::npos)
        << run.sErr;
    EXPECT_NE(run.sErr.find("chmod 600"), std::string::npos) << run.sErr;
}

}  // namespace CliTest
