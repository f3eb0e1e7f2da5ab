// Switching the client offline on the library's initiative: only the client itself is switched,
// older clients by a thread of their own, and the connection manager hears of it whatever the
// client answered.
#include "Ostrel/Rpc/Soap/OfflineMode.h"

#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCFaultPolicy.h"
#include "Platform/Host/Host.h"
#include "Platform/Ui/Ui.h"
#include "Util/Log/Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

class OfflineModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        Platform::Host::ResetToDefaults();
        m_iObserver = Platform::Host::AddOnlineObserver([this](bool bOnline) { m_reports.push_back(bOnline); });
        Platform::Host::SetOfflineSwitcher([this](bool bWait) {
            ++m_cSwitches;
            m_bWaited = bWait;
            m_switchThread = std::this_thread::get_id();
            if (SUCCEEDED(m_hrSwitch))
                Platform::Host::SetOffline(true);
            return m_hrSwitch;
        });
        m_reports.clear();
    }
    void TearDown() override {
        Platform::Host::RemoveOnlineObserver(m_iObserver);
        Platform::Host::ResetToDefaults();
    }

    int m_iObserver = 0;
    std::vector<bool> m_reports;
    std::atomic<int> m_cSwitches{0};
    bool m_bWaited = false;
    HRESULT m_hrSwitch = S_OK;
    std::thread::id m_switchThread;
};

TEST_F(OfflineModeTest, OnlyTheClientItselfIsSwitched) {
    Ostrel::Util::LogCapture log;
    Platform::Host::SetApplicationType(Platform::Host::kApplicationOther);
    EXPECT_EQ(Ostrel::Mapi::SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_TRUE(log.Contains(L"SwitchOutlookToOfflineMode suppressed for non-Outlook"));
    Platform::Host::SetApplicationType(Platform::Host::kApplicationClient);
    Platform::Host::SetEmbedded(true);
    EXPECT_EQ(Ostrel::Mapi::SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_TRUE(log.Contains(L"SwitchOutlookToOfflineMode suppressed because embedding"));
    // A connection failure in another process of the connector leaves the client alone too.
    Platform::Host::SetEmbedded(false);
    Platform::Host::SetApplicationType(Platform::Host::kApplicationOther);
    Platform::Ui::SetCurrent(std::make_shared<Platform::Ui::SilentUi>());
    EXPECT_EQ(Ostrel::Rpc::HandleConnectionFailure(nullptr, Ostrel::Rpc::WinHttpException(12175, 1)), S_OK);
    Platform::Ui::SetCurrent(nullptr);
    EXPECT_EQ(m_cSwitches, 0);
    EXPECT_FALSE(Platform::Host::IsOffline());
    EXPECT_TRUE(m_reports.empty());
}

TEST_F(OfflineModeTest, RecentClientsAreAskedDirectlyAndTheManagerHearsOfItEvenOnARefusal) {
    EXPECT_EQ(Ostrel::Mapi::SwitchOutlookToOfflineMode(0), S_OK);
    EXPECT_EQ(m_cSwitches, 1);
    EXPECT_EQ(m_switchThread, std::this_thread::get_id());
    EXPECT_EQ(m_reports, std::vector<bool>{false});

    Platform::Host::SetOffline(false);
    m_reports.clear();
    m_hrSwitch = E_FAIL;
    EXPECT_EQ(Ostrel::Mapi::SwitchOutlookToOfflineMode(0), S_OK);  // never a failure for the caller
    EXPECT_EQ(m_cSwitches, 2);
    EXPECT_EQ(m_reports, std::vector<bool>{false});
}

TEST_F(OfflineModeTest, OlderClientsAreSwitchedByAThreadUnlessAlreadyOffline) {
    Platform::Host::SetClientVersion(14, 0);
    EXPECT_EQ(Ostrel::Mapi::SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_EQ(m_cSwitches, 1);
    EXPECT_NE(m_switchThread, std::this_thread::get_id());
    EXPECT_TRUE(m_bWaited);
    EXPECT_TRUE(Platform::Host::IsOffline());

    Ostrel::Util::LogCapture log;
    EXPECT_EQ(Ostrel::Mapi::SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_EQ(m_cSwitches, 1);
    EXPECT_TRUE(log.Contains(L"Outlook is already in offline mode"));
}

}  // namespace
