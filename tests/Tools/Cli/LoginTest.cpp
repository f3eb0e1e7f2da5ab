// `ostrel login` against the simulator: the account it prints, what the profile keeps, and one
// clear line for each way signing on can fail.
#include "CliTestSupport.h"

#include "ostrel/LocalFiles.h"
#include "ostrel/LocalMailbox.h"
#include "ostrel/Profile.h"

#include "Ostrel/Settings/ProfileStore.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"

namespace CliTest {

namespace {

class LoginTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        Ostrel::Util::g_logger.CloseLogFile();  // log into this test's home
    }

    std::filesystem::path ProfileFile() const { return home.Path() / "home" / "profiles" / "default" / "profile.conf"; }

    std::optional<std::wstring> Stored() {
        std::wstring wsPassword;
        if (FAILED(Ostrel::Mapi::GetStoredPasswordFromProfile(L"default", wsPassword)))
            return std::nullopt;
        return wsPassword;
    }
};

TEST_F(LoginTest, PrintsTheAccountAndKeepsTheProfile) {
    StartServer(0);
    const CommandRun run = Login({"--proxy", "none"});
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_EQ(run.sErr, "");
    EXPECT_NE(run.sOut.find("account\tuser@ostrel.test\n"), std::string::npos) << run.sOut;
    EXPECT_NE(run.sOut.find("name\tDemo User\n"), std::string::npos);
    EXPECT_NE(run.sOut.find("id\t6b0e3a4c-51d2-4c8e-9a1f-0e5d2c7b9a01\n"), std::string::npos);
    EXPECT_NE(run.sOut.find("version\t9.0.0_GA_4178\n"), std::string::npos);
    EXPECT_NE(run.sOut.find("password\tnot stored\n"), std::string::npos);
    EXPECT_EQ(ReadFile(ProfileFile()), "server=" + server->BaseUrl() +
                                           "\naccount=user@ostrel.test\nproxy=none\n"
                                           "account-id=6b0e3a4c-51d2-4c8e-9a1f-0e5d2c7b9a01\n");
    EXPECT_FALSE(Stored()) << "StorePassword is off unless the user turns it on";

    // Again with the stored settings, as JSON, keeping the password this time.
    const CommandRun json = Command("login", {"--password-env", "CLI_TEST_PASSWORD", "--store-password", "--json"});
    ASSERT_EQ(json.iExit, 0) << json.sErr;
    EXPECT_EQ(json.sOut.rfind("{\"profile\":\"default\",\"server\":\"" + server->BaseUrl() + "\"", 0), 0u) << json.sOut;
    EXPECT_NE(json.sOut.find("\"password\":\"stored\""), std::string::npos);
    EXPECT_EQ(Stored(), std::wstring(L"secret"));
    // A later login and sync need no password.
    EXPECT_EQ(Command("login", {}).iExit, 0);
    EXPECT_EQ(Command("sync", {}).iExit, 0);

    // The stored password is kept encrypted, not as text.
    const std::filesystem::path profile = Ostrel::Mapi::ProfileFilePath(L"default");
    const std::string values = ReadFile(profile) + ReadFile(profile.string() + "-wal");
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.find("secret"), std::string::npos);

    // Turning StorePassword off makes the next login forget it.
    Ostrel::Util::RegUtil setting(L"StorePassword", KEY_ALL_ACCESS);
    ASSERT_EQ(setting.SetValue(DWORD{0}), ERROR_SUCCESS);
    ASSERT_EQ(Login().iExit, 0);
    EXPECT_FALSE(Stored());
}

TEST_F(LoginTest, WrongPasswordIsOneLineAndSavesNothing) {
    OstrelCli::LocalServerOptions options;
    options.sPassword = "Pw-4711-unique";
    server = OstrelCli::StartLocalServer(options);
    setenv("CLI_TEST_PASSWORD", "Pw-4711-wrong", 1);
    const CommandRun run = Login();
    EXPECT_EQ(run.iExit, 1);
    EXPECT_EQ(run.sErr,
              "ostrel login: the server refused the sign-on of 'user@ostrel.test': wrong account name or password\n");
    EXPECT_EQ(run.sOut, "");
    EXPECT_FALSE(std::filesystem::exists(ProfileFile()));

    // The details are in the log, the passwords are not.
    Ostrel::Util::g_logger.CloseLogFile();
    const std::string log = ReadFile(home.Path() / "home" / "logs" / "ostrel.log");
    EXPECT_NE(log.find("did not accept the password"), std::string::npos);
    EXPECT_EQ(log.find("Pw-4711"), std::string::npos);
}

TEST_F(LoginTest, UnreachableServerAndServerFaults) {
    StartServer(0);
    const std::string url = server->BaseUrl();
    server->Faults().Add(OstrelServer::Fault::For("AuthRequest", -1).Status(503, "maintenance"));
    const CommandRun fault = Login();
    EXPECT_EQ(fault.iExit, 1);
    EXPECT_EQ(fault.sErr,
              "ostrel login: the server at " + url + " could not sign 'user@ostrel.test' on (HTTP status 503)\n");

    server->Stop();
    const CommandRun down = Login();
    EXPECT_EQ(down.iExit, 1);
    EXPECT_EQ(down.sErr, "ostrel login: cannot connect to the server at " + url + "\n");
    // The program itself says no more than that on stderr.
    const CommandRun program =
        RunProgram("login --server " + url + " --account a@b --password-env CLI_TEST_PASSWORD --verbose");
    EXPECT_EQ(program.iExit, 1);
    EXPECT_EQ(program.ErrLines(), 2u) << "the log file's name (--verbose), then the failure:\n" << program.sErr;
    EXPECT_NE(program.sErr.find("ostrel login: cannot connect to the server at " + url + "\n"), std::string::npos);
}

TEST_F(LoginTest, UntrustedCertificateUntilItsCaIsGiven) {
    StartServer(0, true);
    ASSERT_EQ(server->BaseUrl().rfind("https://", 0), 0u);
    const CommandRun untrusted = Login();
    EXPECT_EQ(untrusted.iExit, 1);
    EXPECT_EQ(untrusted.sErr, "ostrel login: the certificate of " + server->BaseUrl() +
                                  " is not trusted (give the CA that issued it with 'ostrel login --ca-file FILE')\n");

    const std::filesystem::path ca = home.Path() / "simulator.pem";
    std::string why;
    ASSERT_TRUE(OstrelCli::WriteFileAtomically(ca, server->GetCertificate().CertPem(), false, why)) << why;
    Ostrel::Rpc::UserSession::ReleaseSharedSessions();
    const CommandRun trusted = Login({"--ca-file", ca.string()});
    ASSERT_EQ(trusted.iExit, 0) << trusted.sErr;
    EXPECT_NE(ReadFile(ProfileFile()).find("ca-file=" + ca.string() + "\n"), std::string::npos);
    EXPECT_EQ(Command("sync", {"--password-env", "CLI_TEST_PASSWORD"}).iExit, 0);
}

// A CA file that cannot be used is named as the cause, not reported as an untrusted server.
TEST_F(LoginTest, ACaFileThatCannotBeReadIsNamed) {
    StartServer(0, true);
    const std::filesystem::path dir = home.Path() / "certs";
    std::filesystem::create_directory(dir);
    const CommandRun folder = Login({"--ca-file", dir.string()});
    EXPECT_EQ(folder.iExit, 1);
    EXPECT_EQ(folder.ErrLines(), 1u);
    EXPECT_NE(folder.sErr.find("cannot read " + dir.string()), std::string::npos) << folder.sErr;
    const CommandRun missing = Login({"--ca-file", (dir / "none.pem").string()});
    EXPECT_EQ(missing.iExit, 1);
    EXPECT_NE(missing.sErr.find("the CA file " + (dir / "none.pem").string() + " does not exist"), std::string::npos)
        << missing.sErr;
    EXPECT_FALSE(std::filesystem::exists(ProfileFile()));
}

TEST_F(LoginTest, UsageErrorsAndAnotherAccount) {
    StartServer(4);
    EXPECT_EQ(Command("login", {"--password-env", "CLI_TEST_PASSWORD"}).iExit, 2) << "a new profile needs a server";
    EXPECT_EQ(Command("login", {"--server", "ftp://x", "--account", "a"}).iExit, 2);
    EXPECT_EQ(Command("login", {"--server", server->BaseUrl() + "/path", "--account", "a"}).iExit, 2);
    EXPECT_EQ(Command("login", {"--profile", "../x", "--server", server->BaseUrl(), "--account", "a"}).iExit, 2);
    EXPECT_EQ(Login({"--proxy", "nowhere"}).iExit, 2);
    const CommandRun noPassword = Command("login", {"--server", server->BaseUrl(), "--account", "a@b"});
    EXPECT_EQ(noPassword.iExit, 2);
    EXPECT_NE(noPassword.sErr.find("no password"), std::string::npos);
    const CommandRun noFile = Login({"--password-file", (home.Path() / "missing").string()});
    EXPECT_EQ(noFile.iExit, 1);
    EXPECT_EQ(noFile.ErrLines(), 1u);
}

// The copy belongs to the account the server identifies, however its name or the server's is
// spelled; another account's sign-on removes it only when told to, and never under a sync.
TEST_F(LoginTest, TheLocalCopyGoesOnlyForAnotherAccountAndNeverUnderASync) {
    StartServer(4);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Sync().iExit, 0);
    ASSERT_EQ(LocalMessages().size(), 4u);

    std::string url = server->BaseUrl();
    url.replace(url.find("127.0.0.1"), 9, "localhost");
    for (const std::vector<std::string>& names :
         {std::vector<std::string>{"--account", "USER@Ostrel.Test"}, {"--server", url}}) {
        std::vector<std::string> args = names;
        args.insert(args.end(), {"--password-env", "CLI_TEST_PASSWORD"});
        const CommandRun same = Command("login", args);
        ASSERT_EQ(same.iExit, 0) << same.sErr;
        EXPECT_EQ(same.sErr, "");
        EXPECT_EQ(LocalMessages().size(), 4u) << names[1];
    }
    EXPECT_NE(ReadFile(ProfileFile()).find("\naccount-id="), std::string::npos);

    server->State<OstrelServer::AccountBook>().Add({"other@ostrel.test", "pw2"});
    setenv("CLI_TEST_PASSWORD", "pw2", 1);
    const std::vector<std::string> other = {"--account", "other@ostrel.test", "--password-env", "CLI_TEST_PASSWORD"};
    const std::string before = ReadFile(ProfileFile());
    const CommandRun refused = Command("login", other);
    EXPECT_EQ(refused.iExit, 1);
    EXPECT_EQ(refused.ErrLines(), 1u);
    EXPECT_NE(refused.sErr.find("holds the mailbox of USER@Ostrel.Test on " + url + "; give --force"),
              std::string::npos)
        << refused.sErr;
    EXPECT_EQ(LocalMessages().size(), 4u);
    EXPECT_EQ(ReadFile(ProfileFile()), before);

    std::vector<std::string> forced = other;
    forced.push_back("--force");
    {
        OstrelCli::LocalMailbox running(MailDir());
        ASSERT_TRUE(running.Lock());
        const CommandRun busy = Command("login", forced);
        EXPECT_EQ(busy.iExit, 1);
        EXPECT_NE(busy.sErr.find("'ostrel sync' of profile 'default' is running"), std::string::npos) << busy.sErr;
        EXPECT_EQ(LocalMessages().size(), 4u);
    }
    const CommandRun removed = Command("login", forced);
    ASSERT_EQ(removed.iExit, 0) << removed.sErr;
    EXPECT_EQ(removed.sErr, "ostrel login: the local copy of USER@Ostrel.Test's mailbox was removed\n");
    EXPECT_FALSE(std::filesystem::exists(MailDir()));
    for (const auto& entry : std::filesystem::directory_iterator(MailDir().parent_path()))
        EXPECT_EQ(entry.path().filename().string().rfind(".mail", 0), std::string::npos) << entry.path();
}

}  // namespace

}  // namespace CliTest
