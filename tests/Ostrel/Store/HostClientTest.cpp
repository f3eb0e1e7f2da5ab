// The client around the library: its offline switch, its session, its modules.
#include <atomic>

#include "Ostrel/Store/HostClient.h"
#include "Platform/Host/Host.h"
#include "StoreTestUtil.h"
#include "Util/Log/Log.h"

namespace StoreTest {
namespace {

using namespace Ostrel::Mapi;

class HostClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        Platform::Host::ResetToDefaults();
        SetOnlineOfflineNotifier([this](int bOnline) { m_notified.push_back(bOnline); });
        Platform::Host::SetOfflineSwitcher([this](bool bWait) {
            m_switches.push_back(bWait);
            Platform::Host::SetOffline(true);
            return S_OK;
        });
    }
    void TearDown() override {
        SetOnlineOfflineNotifier(nullptr);
        Platform::Host::ResetToDefaults();
    }

    std::vector<int> m_notified;
    std::vector<bool> m_switches;
};

TEST_F(HostClientTest, OfflineSwitchGoesThroughTheHostAndIsAnnounced) {
    Ostrel::Util::LogCapture capture;
    Platform::Host::SetApplicationType(Platform::Host::kApplicationOther);
    EXPECT_EQ(SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_TRUE(capture.Contains(L"SwitchOutlookToOfflineMode suppressed for non-Outlook"));
    Platform::Host::SetApplicationType(Platform::Host::kApplicationClient);
    Platform::Host::SetEmbedded(true);
    EXPECT_EQ(SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_TRUE(capture.Contains(L"SwitchOutlookToOfflineMode suppressed because embedding"));
    EXPECT_TRUE(m_switches.empty());
    EXPECT_TRUE(m_notified.empty());

    Platform::Host::SetEmbedded(false);
    EXPECT_EQ(SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_EQ(m_switches, (std::vector<bool>{true}));
    EXPECT_EQ(m_notified, (std::vector<int>{0}));
    EXPECT_TRUE(Platform::Host::IsOffline());

    // Older clients switch on a thread of their own, which finds the client offline already.
    Platform::Host::SetClientVersion(14, 0);
    EXPECT_EQ(SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_TRUE(capture.Contains(L"Outlook is already in offline mode"));
    EXPECT_EQ(m_switches.size(), 1u);
    EXPECT_EQ(m_notified.size(), 2u);
    Platform::Host::SetOffline(false);
    EXPECT_EQ(SwitchOutlookToOfflineMode(1), S_OK);
    EXPECT_EQ(m_switches.size(), 2u);
}

TEST_F(HostClientTest, ModulesWrappingChecksumsAndMessageIds) {
    EXPECT_NE(OurGetModuleHandle(L"libc.so.6"), nullptr);
    EXPECT_EQ(OurGetModuleHandle(L"olmapi32.dll"), nullptr);
    EXPECT_EQ(OurGetModuleHandle(nullptr), nullptr);

    // Without the client's MAPI module objects stay as they are.
    DDLWrapper& wrapper = get_ddlWrapper();
    EXPECT_FALSE(wrapper.IsSupported());
    TestSupport::TempHome home;
    ComPtr<IMsgStore> pStore;
    ASSERT_EQ(Platform::OpenOsdStore(home.Path() / "w.osd", true, L"W", true, pStore.AddressOf()), S_OK);
    IUnknown* pOut = nullptr;
    ASSERT_EQ(wrapper.CreateNewWrappedObject(pStore.Get(), &IID_IMsgStore, &pOut), S_OK);
    EXPECT_EQ(pOut, static_cast<IUnknown*>(pStore.Get()));
    pOut->Release();
    EXPECT_EQ(wrapper.CreateNewWrappedObject(nullptr, &IID_IMsgStore, &pOut), E_INVALIDARG);
    EXPECT_EQ(wrapper.UnwrapObject(pStore.Get(), &pOut), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(wrapper.IsWrappedObject(pStore.Get()), 0);

    EXPECT_EQ(static_cast<ULONG>(CRC32(0, reinterpret_cast<const BYTE*>("123456789"), 9)), 0xCBF43926u);
    const LONG lFirst = CRC32(0, reinterpret_cast<const BYTE*>("1234"), 4);
    EXPECT_EQ(CRC32(lFirst, reinterpret_cast<const BYTE*>("56789"), 5), CRC32(0, (const BYTE*)"123456789", 9));

    wchar_t wszId[64];
    ASSERT_TRUE(InitializeMessageId(wszId, 64));
    EXPECT_EQ(wcslen(wszId), 41u);
    EXPECT_EQ(wszId[0], L'<');
    wchar_t wszOther[64];
    ASSERT_TRUE(InitializeMessageId(wszOther, 64));
    EXPECT_STRNE(wszId, wszOther);
    EXPECT_FALSE(InitializeMessageId(wszId, 41));
    EXPECT_EQ(wszId[0], L'\0');
}

TEST_F(HostClientTest, OneSessionForTheProcess) {
    TestSupport::TempHome home;
    ASSERT_EQ(Platform::MapiCreateProfile(L"Main", true), S_OK);
    ComPtr<IMAPISession> pFirst, pSecond;
    ASSERT_EQ(GetGlobalMAPISession(pFirst), S_OK);
    ASSERT_EQ(GetGlobalMAPISession(pSecond), S_OK);
    EXPECT_EQ(pFirst.Get(), pSecond.Get());
    pFirst.Reset();
    pSecond.Reset();
    ReleaseGlobalMAPISession();
    ASSERT_EQ(GetGlobalMAPISession(pFirst), S_OK);
    pFirst.Reset();
    ReleaseGlobalMAPISession();
}

}  // namespace
}  // namespace StoreTest
