// The password shared by the processes of a profile: a second process started without a
// password signs on with the one the first process used. The child is this test program started
// again with OSTREL_SESSION_CHILD="<port> <profile>"; it does its work when the test program has
// started (in a test environment, after every static object exists) and exits before any test.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "SessionTestSupport.h"
#include "Support/Process.h"
#include "Util/Time/Clock.h"

namespace SessionTest {
namespace {

int RunChild(const std::string& command) {
    std::istringstream in(command);
    int port = 0;
    std::string profile;
    in >> port;
    in.ignore(1);
    std::getline(in, profile);
    Platform::Sspi::SetCurrent(std::make_shared<FakeSecurity>());
    LogonParams params;
    params.wsAccount = kUserW;
    params.wsServer = L"127.0.0.1";
    params.dwPort = static_cast<DWORD>(port);
    auto session = UserSession::CreateInstance(Platform::FromUtf8(profile).c_str(), params);
    int code = 0;
    try {
        std::printf("token=%s\n", Platform::ToUtf8(session->AuthToken()).c_str());
    } catch (const Ostrel::Rpc::RpcException&) {
        code = 3;
    }
    UserSession::ReleaseSharedSessions();
    return code;
}

class ChildMode : public ::testing::Environment {
public:
    void SetUp() override {
        if (const char* psz = std::getenv("OSTREL_SESSION_CHILD")) {
            int code = RunChild(psz);
            std::fflush(stdout);
            _exit(code);
        }
    }
};

::testing::Environment* const g_childMode = ::testing::AddGlobalTestEnvironment(new ChildMode);

// Runs the child to its end; its exit code and what it printed.
std::pair<int, std::string> RunChildProcess(const std::string& command) {
    setenv("OSTREL_SESSION_CHILD", command.c_str(), 1);
    TestSupport::ProgramRun run = TestSupport::RunProgram(std::filesystem::read_symlink("/proc/self/exe"), {});
    unsetenv("OSTREL_SESSION_CHILD");
    return {run.iExit, run.sOut};
}

class SharedPasswordTest : public SessionFixture {};

TEST_F(SharedPasswordTest, SecondProcessOfTheProfileSignsOnWithTheSharedPassword) {
    SetSetting(HKEY_CURRENT_USER, L"StorePassword", 0);
    auto session = Create(Params(), L"Shared Profile");
    ASSERT_FALSE(session->AuthToken().empty());
    std::string port = std::to_string(server->Port());

    auto [code, out] = RunChildProcess(port + " Shared Profile");
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("token=tok-"), std::string::npos) << out;
    auto auths = Sent("AuthRequest");
    ASSERT_EQ(auths.size(), 2u);
    EXPECT_NE(auths[1].body.find(std::string("<password>") + kPassword + "</password>"), std::string::npos)
        << auths[1].body;

    // Another profile's process gets nothing.
    auto [otherCode, otherOut] = RunChildProcess(port + " Another");
    EXPECT_EQ(otherCode, 3) << otherOut;

    // The text of the password is nowhere in the runtime files.
    for (auto& entry : std::filesystem::recursive_directory_iterator(Platform::RuntimeDir())) {
        if (!entry.is_regular_file())
            continue;
        EXPECT_EQ(TestSupport::ReadFile(entry.path()).find(kPassword), std::string::npos) << entry.path();
    }
}

// Without a stored password the session drops its own on an invalidation. The share this process
// wrote holds that same password and must not bring it back: the user is asked. A share another
// process wrote since stands in silently.
TEST_F(SharedPasswordTest, AfterAnInvalidationOnlyAnotherProcessesShareStandsIn) {
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    SetSetting(HKEY_CURRENT_USER, L"StorePassword", 0);
    auto session = Create(Params(), L"Shared Profile");
    session->AuthToken();

    Book().ExpireTokens();
    ui->QueuePasswordAnswer({IDOK, kUserW, kPasswordW});
    session->InvalidateAuthToken(1);
    EXPECT_TRUE(session->GotAuthToken());
    EXPECT_EQ(Shown(Platform::Ui::ScriptedUi::Kind::Password), 1u);
    auto auths = Sent("AuthRequest");
    ASSERT_EQ(auths.size(), 3u);
    EXPECT_EQ(auths[1].body.find(kPassword), std::string::npos) << "the own share is not used";

    auto [code, out] = RunChildProcess(std::to_string(server->Port()) + " Shared Profile");
    ASSERT_EQ(code, 0) << out;
    clock.Advance(31000);
    Book().ExpireTokens();
    session->InvalidateAuthToken(1);
    EXPECT_TRUE(session->GotAuthToken());
    EXPECT_EQ(Shown(Platform::Ui::ScriptedUi::Kind::Password), 1u);
    auths = Sent("AuthRequest");
    ASSERT_EQ(auths.size(), 5u);
    EXPECT_NE(auths[4].body.find(kPassword), std::string::npos);
}

}  // namespace
}  // namespace SessionTest
