// Host facts under use from callbacks: handlers that replace themselves while running, observers
// that unregister while being told, and the test-option list as the environment spells it.
#include "Platform/Host/Host.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace Host = Platform::Host;

namespace {

struct HostReset {
    ~HostReset() {
        unsetenv("OSTREL_TEST_OPTIONS");
        Host::ResetToDefaults();
    }
};

}  // namespace

TEST(HostState, HandlersMayReplaceThemselvesWhileRunning) {
    HostReset reset;
    // The switcher owns state that dies when it is replaced; it must stay alive for this call.
    auto owned = std::make_shared<int>(41);
    Host::SetOfflineSwitcher([owned](bool) {
        Host::SetOfflineSwitcher(nullptr);
        ++*owned;
        Host::SetOffline(true);
        return S_OK;
    });
    owned.reset();
    EXPECT_EQ(Host::SwitchToOffline(false), S_OK);
    EXPECT_TRUE(Host::IsOffline());

    int calls = 0;
    auto counter = std::make_shared<int>(0);
    Host::SetCloseRequestHandler([counter, &calls](HWND) {
        Host::SetCloseRequestHandler(nullptr);
        ++*counter;
        ++calls;
    });
    counter.reset();
    EXPECT_TRUE(Host::RequestClose(nullptr));
    EXPECT_FALSE(Host::RequestClose(nullptr)) << "the handler removed itself";
    EXPECT_EQ(calls, 1);
}

TEST(HostState, ObserversMayUnregisterWhileBeingTold) {
    HostReset reset;
    std::vector<int> heard;
    int second = 0;
    const int first = Host::AddOnlineObserver([&](bool) {
        heard.push_back(1);
        Host::RemoveOnlineObserver(second);  // already told of this report or not: no crash
    });
    second = Host::AddOnlineObserver([&](bool) { heard.push_back(2); });
    int self = 0;
    self = Host::AddOnlineObserver([&](bool) {
        heard.push_back(3);
        Host::RemoveOnlineObserver(self);
    });
    Host::SetOffline(true);
    EXPECT_EQ(heard, (std::vector<int>{1, 2, 3})) << "a report goes to everyone registered when it was made";
    heard.clear();
    Host::SetOffline(false);
    EXPECT_EQ(heard, (std::vector<int>{1}));
    Host::RemoveOnlineObserver(first);
}

TEST(HostState, TestOptionListsAndProgrammaticChanges) {
    HostReset reset;
    setenv("OSTREL_TEST_OPTIONS", "\tAlpha,,Beta ,\tGamma, Omega", 1);
    Host::ResetToDefaults();
    // Turning one option off before anything was asked must not bring it back from the environment.
    Host::SetTestOption(L"Beta", false);
    EXPECT_TRUE(Host::IsTesting(L"Alpha"));
    EXPECT_FALSE(Host::IsTesting(L"Beta"));
    EXPECT_TRUE(Host::IsTesting(L"Gamma"));
    EXPECT_TRUE(Host::IsTesting(L"Omega"));
    EXPECT_FALSE(Host::IsTesting(L""));
    EXPECT_FALSE(Host::IsTesting(L"alpha")) << "names are exact";
    EXPECT_FALSE(Host::IsTesting(L"Alph"));

    // A reset forgets programmatic changes and reads the environment again.
    Host::SetTestOption(L"Delta", true);
    unsetenv("OSTREL_TEST_OPTIONS");
    Host::ResetToDefaults();
    EXPECT_FALSE(Host::IsTesting(L"Delta"));
    EXPECT_FALSE(Host::IsTesting(L"Alpha"));
}
