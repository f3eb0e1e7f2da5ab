#include "Platform/Host/Host.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

namespace Host = Platform::Host;

namespace {

struct HostReset {
    HostReset() { Host::ResetToDefaults(); }
    ~HostReset() {
        unsetenv("OSTREL_TEST_OPTIONS");
        Host::ResetToDefaults();
    }
};

}  // namespace

// A reset brings back every default, so that one test's host facts never leak into the next.
TEST(Host, ResetForgetsEverythingTheHostSet) {
    HostReset reset;
    int window = 0;
    Host::SetClientVersion(15, 1);
    Host::SetOffline(true);
    Host::SetEmbedded(true);
    Host::SetApplicationType(Host::kApplicationOther);
    Host::SetHandheldServerAgent(true);
    Host::SetClientWindow(&window);
    Host::SetCloseRequestHandler([](HWND) {});
    Host::SetOfflineSwitcher([](bool) { return E_FAIL; });
    Host::ResetToDefaults();
    EXPECT_EQ(Host::GetClientVersion().iMajor, 16);
    EXPECT_EQ(Host::GetClientVersion().iMinor, 0);
    EXPECT_FALSE(Host::IsOffline());
    EXPECT_FALSE(Host::IsEmbedded());
    EXPECT_EQ(Host::GetApplicationType(), Host::kApplicationClient);
    EXPECT_FALSE(Host::IsHandheldServerAgent());
    EXPECT_EQ(Host::GetClientWindow(), nullptr);
    EXPECT_FALSE(Host::RequestClose(nullptr));
    EXPECT_EQ(Host::SwitchToOffline(false), S_OK);
}

TEST(Host, OfflineSwitchAndCloseRequests) {
    HostReset reset;
    // Without a switcher, going offline is just recorded.
    EXPECT_EQ(Host::SwitchToOffline(true), S_OK);
    EXPECT_TRUE(Host::IsOffline());
    Host::SetOffline(false);
    bool bWaited = false;
    Host::SetOfflineSwitcher([&](bool bWait) {
        bWaited = bWait;
        Host::SetOffline(true);  // a switcher may use the host facts itself
        return S_FALSE;
    });
    EXPECT_EQ(Host::SwitchToOffline(true), S_FALSE);
    EXPECT_TRUE(bWaited);
    EXPECT_TRUE(Host::IsOffline());

    int window = 0;
    EXPECT_FALSE(Host::RequestClose(nullptr));
    HWND closed = nullptr;
    Host::SetClientWindow(&window);
    Host::SetCloseRequestHandler([&](HWND hwnd) { closed = hwnd; });
    EXPECT_TRUE(Host::RequestClose(nullptr));
    EXPECT_EQ(closed, &window);
}

// The library keeps its own online flag in step with the host's through an observer: every
// report reaches it, including the default switch and a reset, and a removed one hears nothing.
TEST(Host, OnlineObserversHearEveryReport) {
    HostReset reset;
    std::vector<bool> heard;
    int handle = Host::AddOnlineObserver([&](bool bOnline) { heard.push_back(bOnline); });
    Host::SetOffline(true);
    Host::SetOffline(true);
    Host::SetOffline(false);
    EXPECT_EQ(Host::SwitchToOffline(false), S_OK);
    Host::ResetToDefaults();
    EXPECT_EQ(heard, (std::vector<bool>{false, false, true, false, true}));

    // An observer may read the host facts it is told about (no lock is held).
    int reader = Host::AddOnlineObserver([](bool bOnline) { EXPECT_EQ(Host::IsOffline(), !bOnline); });
    Host::RemoveOnlineObserver(handle);
    Host::SetOffline(true);
    EXPECT_EQ(heard.size(), 5u);
    Host::RemoveOnlineObserver(reader);
}

TEST(Host, TestModeTerminationOnlyWhenAsked) {
    HostReset reset;
    EXPECT_FALSE(Host::IsTesting(L"TermAfterIDMPut"));
    Host::TestModeTerminate(L"TermAfterIDMPut", 1);  // inert: still running

    Host::SetTestOption(L"TermAfterIDMRemove", true);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Host::TestModeTerminate(L"TermAfterIDMRemove", 7);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}
