// The logon parameters read from a provider's profile section and its service's section.
#include <gtest/gtest.h>

#include <vector>

#include "Ostrel/Settings/ProfileParams.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/Profiles.h"
#include "Platform/Registry/Registry.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "Util/Password.h"

namespace {

using namespace Ostrel::Mapi;
using Platform::ComPtr;

class ProfileParamsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistryConfigCachesForTesting();
        ASSERT_EQ(Platform::MapiCreateProfile(L"Work", false), S_OK);
        ASSERT_EQ(Platform::MapiAddService(L"Work", L"OSTREL", L"Ostrel", &m_service), S_OK);
        ASSERT_EQ(MAPILogonEx(0, (LPTSTR)L"Work", nullptr, MAPI_UNICODE, m_session.AddressOf()), S_OK);
        // A provider of the service: its own section only names the service.
        m_provider = m_service;
        m_provider.ab[0] ^= 0xFF;
        SetValue(m_provider, Binary(PR_SERVICE_UID, m_service.ab, sizeof m_service.ab));
        ASSERT_EQ(Platform::MapiCreateSupport(m_session.Get(), m_provider, m_support.AddressOf()), S_OK);
    }
    void TearDown() override { ResetRegistryConfigCachesForTesting(); }

    static SPropValue Text(ULONG ulTag, const wchar_t* pwsz) {
        SPropValue value{ulTag, 0, {}};
        value.Value.lpszW = const_cast<wchar_t*>(pwsz);
        return value;
    }
    static SPropValue Long(ULONG ulTag, LONG l) {
        SPropValue value{ulTag, 0, {}};
        value.Value.l = l;
        return value;
    }
    static SPropValue Binary(ULONG ulTag, const BYTE* pb, size_t cb) {
        SPropValue value{ulTag, 0, {}};
        value.Value.bin.cb = static_cast<ULONG>(cb);
        value.Value.bin.lpb = const_cast<BYTE*>(pb);
        return value;
    }
    void SetValue(const MAPIUID& uid, SPropValue value) {
        ComPtr<IProfSect> pSection;
        MAPIUID copy = uid;
        ASSERT_EQ(m_session->OpenProfileSection(&copy, nullptr, MAPI_MODIFY, pSection.AddressOf()), S_OK);
        ASSERT_EQ(HrSetOneProp(pSection.Get(), &value), S_OK);
    }
    // Everything required, in the service's section.
    void WriteRequired() {
        static const BYTE abUid[16] = {1, 2, 3};
        SetValue(m_service, Text(0x6640001F, L"mail.example.test"));
        SetValue(m_service, Long(0x66430003, 443));
        SetValue(m_service, Text(0x6641001F, L"ann@example.test"));
        SetValue(m_service, Text(0x6645001F, L"x"));
        SetValue(m_service, Text(0x6646001F, L"y"));
        SetValue(m_service, Binary(0x66470102, abUid, sizeof abUid));
    }
    static void SetStorePassword(DWORD dwValue) {
        HKEY hKey = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(hKey, L"StorePassword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue);
        RegCloseKey(hKey);
        ResetRegistryConfigCachesForTesting();
    }

    TestSupport::TempHome m_home;
    MAPIUID m_service{}, m_provider{};
    ComPtr<IMAPISession> m_session;
    ComPtr<IMAPISupport> m_support;
};

TEST_F(ProfileParamsTest, ValuesComeFromTheServiceWithDefaultsAndThePasswordUnprotected) {
    WriteRequired();
    std::vector<BYTE> blob;
    ASSERT_EQ(Ostrel::Util::EncryptPassword(L"pässword", blob), S_OK);
    SetValue(m_service, Binary(0x66420102, blob.data(), blob.size()));
    SetValue(m_provider, Text(0x6641001F, L"provider-wins@example.test"));
    SetStorePassword(1);

    Ostrel::Util::LogCapture capture;
    ProfileParams params;
    ASSERT_EQ(GetProfileParams(m_support.Get(), params), S_OK);
    ASSERT_EQ(params.m_cValues, kProfileParamCount);
    for (ULONG i = 0; i < kProfileParamCount; ++i)
        EXPECT_EQ(PROP_ID(params.m_pValues[i].ulPropTag), PROP_ID(kProfileParamTags[i])) << i;
    EXPECT_STREQ(params.Find(0x6640001F)->Value.lpszW, L"mail.example.test");
    EXPECT_STREQ(params.Find(0x6641001F)->Value.lpszW, L"provider-wins@example.test");
    EXPECT_EQ(params.Find(0x66430003)->Value.l, 443);
    EXPECT_EQ(params.Find(0x66470102)->Value.bin.cb, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(params.Find(PR_SERVICE_UID)->Value.bin.lpb), 16),
              std::string(reinterpret_cast<const char*>(m_service.ab), 16));
    EXPECT_EQ(params.m_wsPassword, L"pässword");
    EXPECT_FALSE(params.m_bFlag6644);  // missing reads as false
    EXPECT_TRUE(params.Find(0x6648000B)->Value.b);
    EXPECT_FALSE(params.Find(0x6682000B)->Value.b);
    EXPECT_EQ(params.Find(0x66880003)->Value.l, 0);
    EXPECT_EQ(params.Find(0x66890003)->Value.l, 0);
    EXPECT_EQ(params.Find(0x6656001F), nullptr);  // optional and missing
    EXPECT_FALSE(capture.Contains(L"pässword"));

    // A password that cannot be unprotected is left empty, not failed.
    const BYTE abJunk[] = {1, 2, 3, 4};
    SetValue(m_service, Binary(0x66420102, abJunk, sizeof abJunk));
    ASSERT_EQ(GetProfileParams(m_support.Get(), params), S_OK);
    EXPECT_TRUE(params.m_wsPassword.empty());
    EXPECT_TRUE(capture.Contains(L"CryptUnprotectData failed. Error 0x"));
}

TEST_F(ProfileParamsTest, AMissingRequiredValueFailsWithItsErrorCode) {
    SetStorePassword(0);
    ProfileParams params;
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(GetProfileParams(m_support.Get(), params), MAPI_E_NOT_FOUND);
    EXPECT_TRUE(capture.Contains(L"Required property 0 (tag: 0x6640001f) does not exist in user profile"));

    // Without stored passwords the password is optional; with them it is required.
    WriteRequired();
    ASSERT_EQ(GetProfileParams(m_support.Get(), params), S_OK);
    EXPECT_TRUE(params.m_wsPassword.empty());
    SetStorePassword(1);
    EXPECT_EQ(GetProfileParams(m_support.Get(), params), MAPI_E_NOT_FOUND);
    EXPECT_TRUE(
        capture.Contains(L"Required property 3 (tag: 0x66420102) does not exist in user profile, and password "
                         L"should be stored"));
}

// With a connector user id the persona values are the profile's own, from its global section.
TEST_F(ProfileParamsTest, AUserIdTakesThePersonaFromTheGlobalSection) {
    SetStorePassword(0);
    WriteRequired();
    SetValue(m_service, Text(0x6670001F, L"service persona"));
    SetValue(m_service, Text(0x6671001F, L"kept"));
    SetValue(pbGlobalProfileSectionGuid, Text(0x6670001F, L"profile persona"));
    ProfileParams params;
    ASSERT_EQ(GetProfileParams(m_support.Get(), params), S_OK);
    EXPECT_STREQ(params.Find(0x6670001F)->Value.lpszW, L"service persona");

    SetValue(m_provider, Text(PR_OSTREL_USER_ID, L"user-7"));
    ASSERT_EQ(GetProfileParams(m_support.Get(), params), S_OK);
    EXPECT_STREQ(params.Find(0x6670001F)->Value.lpszW, L"profile persona");
    EXPECT_STREQ(params.Find(0x6671001F)->Value.lpszW, L"kept");  // not in the global section
}

}  // namespace
