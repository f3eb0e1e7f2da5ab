// The client around the library: its session, its modules.

#include "Ostrel/Store/HostClient.h"
#include "StoreTestUtil.h"

namespace StoreTest {
namespace {

using namespace Ostrel::Mapi;

class HostClientTest : public ::testing::Test {};

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
