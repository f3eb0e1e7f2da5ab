#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Host/Host.h"
#include "Platform/Registry/Registry.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace Ostrel::Mapi;

namespace {

class RegistryConfig : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRegistryConfigCachesForTesting();
        Platform::Host::ResetToDefaults();
    }
    void TearDown() override {
        ResetRegistryConfigCachesForTesting();
        Platform::Host::ResetToDefaults();
    }

    static HKEY Key(HKEY root, const wchar_t* path = L"Software\\Ostrel") {
        HKEY h = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
        return h;
    }
    static void SetRaw(HKEY root, const wchar_t* name, DWORD type, const void* data, size_t cb) {
        HKEY h = Key(root);
        EXPECT_EQ(RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(cb)),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }
    static void SetDword(HKEY root, const wchar_t* name, DWORD value) {
        SetRaw(root, name, REG_DWORD, &value, sizeof value);
    }
    static void SetString(HKEY root, const wchar_t* name, const std::wstring& value) {
        SetRaw(root, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
    }
    static void SetMulti(HKEY root, const wchar_t* name, const std::vector<std::wstring>& strings) {
        std::wstring data;
        for (const auto& s : strings)
            data += s + L'\0';
        data += L'\0';
        SetRaw(root, name, REG_MULTI_SZ, data.data(), data.size() * sizeof(wchar_t));
    }
    static bool HasValue(HKEY root, const wchar_t* name) {
        HKEY h = Key(root);
        const bool bFound = RegQueryValueExW(h, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(h);
        return bFound;
    }
    static DWORD GetDword(HKEY root, const wchar_t* name) {
        HKEY h = Key(root);
        DWORD value = 0xBAD, cb = sizeof value;
        RegQueryValueExW(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &cb);
        RegCloseKey(h);
        return value;
    }

    TestSupport::TempHome m_home;
};

}  // namespace

// Defaults that are more than a constant: those that depend on the settings key being absent, and
// the results that leave the caller's values alone.
TEST_F(RegistryConfig, EmptyRegistryGivesTheDefaults) {
    EXPECT_EQ(SyncOnChangeEnabled(), 1) << "no settings key at all";
    EXPECT_EQ(StorePassword(), 1) << "no settings key at all";
    EXPECT_EQ(GetOstrelMtaMaxMessageBytes(L"user@example.com"), 0u);
    EXPECT_EQ(IsCalHelperSyncAttendeeEditsEnabled(), 0);
    EXPECT_EQ(IsCalendarAutoAddInvitesCheckDisabled(), 0);
    EXPECT_EQ(CanDumpComErrorToFile(), 0);
    std::wstring prefix;
    GetCalendarDeclinedPrefix(prefix);
    EXPECT_EQ(prefix, L"X");
    wchar_t ldap[kLDAPServerNameChars] = L"untouched";
    GetLDAPServerName(ldap, std::size(ldap));
    EXPECT_STREQ(ldap, L"untouched");
    EXPECT_TRUE(IsOSDCorruptErrorCode(static_cast<HRESULT>(0x8004011D)));
}

TEST_F(RegistryConfig, PresentValuesAndTheirRules) {
    SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 8);
    SetDword(HKEY_CURRENT_USER, L"MaxStoreCount", 0);
    SetDword(HKEY_CURRENT_USER, L"MaxOSDCount", 77);
    SetDword(HKEY_CURRENT_USER, L"EnableLDAP", 3);
    SetString(HKEY_CURRENT_USER, L"LDAPServerName", L"ldap.example.com");
    EXPECT_EQ(GetMaxMimeBufferSize(), 8388608u);
    EXPECT_EQ(GetMaxStoreCount(), 30u) << "0 means the default";
    EXPECT_EQ(GetMaxOSDCount(), 77u);
    EXPECT_EQ(IsLDAPEnabled(), 1);
    wchar_t ldap[kLDAPServerNameChars] = L"";
    GetLDAPServerName(ldap, std::size(ldap));
    EXPECT_STREQ(ldap, L"ldap.example.com");

    // With the settings key present, these need their value.
    EXPECT_EQ(SyncOnChangeEnabled(), 0);
    EXPECT_EQ(StorePassword(), 0);
    SetDword(HKEY_CURRENT_USER, L"SyncOnChangeEnabled", 1);
    SetDword(HKEY_CURRENT_USER, L"StorePassword", 2);
    EXPECT_EQ(SyncOnChangeEnabled(), 1);
    EXPECT_EQ(StorePassword(), 1);

    // A value of the wrong type counts as absent.
    SetString(HKEY_CURRENT_USER, L"PrefSyncEnabled", L"1");
    EXPECT_EQ(PrefSyncEnabled(), 0);

    // The MIME limit does not wrap around. 0 stays 0 (no message is fixed up) and is not cached.
    ResetRegistryConfigCachesForTesting();
    SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 5000);
    EXPECT_EQ(GetMaxMimeBufferSize(), 4095u << 20);
    ResetRegistryConfigCachesForTesting();
    SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 0);
    EXPECT_EQ(GetMaxMimeBufferSize(), 0u);
    SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 3);
    EXPECT_EQ(GetMaxMimeBufferSize(), 3u << 20);
    SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 0);
    EXPECT_EQ(GetMaxMimeBufferSize(), 3u << 20) << "cached once non-zero";
}

// Strings longer than their value may hold are both ignored, with a warning, rather than one cut
// and the other dropped; a caller's buffer is never written past its size.
TEST_F(RegistryConfig, OverlongStringsAreIgnoredAlikeAndBuffersKeepTheirSize) {
    SetString(HKEY_CURRENT_USER, L"CalendarDeclinedPrefix", std::wstring(kCalendarDeclinedPrefixChars + 1, L'D'));
    SetString(HKEY_CURRENT_USER, L"LDAPServerName", std::wstring(kLDAPServerNameChars, L'l'));
    Ostrel::Util::LogCapture capture;
    std::wstring prefix;
    GetCalendarDeclinedPrefix(prefix);
    EXPECT_EQ(prefix, L"X");
    EXPECT_TRUE(capture.Contains(L"CalendarDeclinedPrefix is longer than 128 characters and is ignored"));
    wchar_t ldap[kLDAPServerNameChars] = L"untouched";
    GetLDAPServerName(ldap, std::size(ldap));
    EXPECT_STREQ(ldap, L"untouched");
    EXPECT_TRUE(capture.Contains(L"LDAPServerName is longer than 127 characters and is ignored"));

    // At the limits both are kept whole.
    ResetRegistryConfigCachesForTesting();
    const std::wstring wsLongest(kCalendarDeclinedPrefixChars, L'D');
    SetString(HKEY_CURRENT_USER, L"CalendarDeclinedPrefix", wsLongest);
    GetCalendarDeclinedPrefix(prefix);
    EXPECT_EQ(prefix, wsLongest);
    SetString(HKEY_CURRENT_USER, L"LDAPServerName", L"ldap.example.com");
    GetLDAPServerName(ldap, std::size(ldap));
    EXPECT_STREQ(ldap, L"ldap.example.com");

    // A small buffer: exactly enough takes the name, one character less leaves it untouched.
    wchar_t exact[17] = L"";
    GetLDAPServerName(exact, std::size(exact));
    EXPECT_STREQ(exact, L"ldap.example.com");
    std::vector<wchar_t> small(17, L'#');
    GetLDAPServerName(small.data() + 1, 15);
    EXPECT_EQ(std::wstring(small.begin(), small.end()), std::wstring(17, L'#'));
}

TEST_F(RegistryConfig, CachedSettingsAreReadOnce) {
    SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 8);
    SetDword(HKEY_CURRENT_USER, L"DisableAutoArchive", 0);
    SetString(HKEY_CURRENT_USER, L"CalendarDeclinedPrefix", L"Declined:");
    SetDword(HKEY_CURRENT_USER, L"EnableLDAP", 0);
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(GetMaxMimeBufferSize(), 8u << 20);
    EXPECT_EQ(IsAutoArchiveDisabled(), 0);
    EXPECT_EQ(IsBESOSN(), 0);
    std::wstring prefix;
    GetCalendarDeclinedPrefix(prefix);
    EXPECT_EQ(IsLDAPEnabled(), 0);

    SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 2);
    SetDword(HKEY_CURRENT_USER, L"DisableAutoArchive", 1);
    SetString(HKEY_CURRENT_USER, L"CalendarDeclinedPrefix", L"Other");
    SetDword(HKEY_LOCAL_MACHINE, L"isBES", 1);
    SetDword(HKEY_CURRENT_USER, L"EnableLDAP", 1);
    EXPECT_EQ(GetMaxMimeBufferSize(), 8u << 20);
    EXPECT_EQ(IsAutoArchiveDisabled(), 0);
    EXPECT_EQ(IsBESOSN(), 0);
    GetCalendarDeclinedPrefix(prefix);
    EXPECT_EQ(prefix, L"Declined:");
    EXPECT_EQ(IsLDAPEnabled(), 1) << "not cached";
    EXPECT_EQ(capture.Count(L"this is NOT a BES instance of OSN"), 1u);

    ResetRegistryConfigCachesForTesting();
    EXPECT_EQ(GetMaxMimeBufferSize(), 2u << 20);
    EXPECT_EQ(IsBESOSN(), 1);
    EXPECT_EQ(capture.Count(L"this is a BES instance of OSN"), 1u);
}

TEST_F(RegistryConfig, GalSyncModeMigratesTheLegacyValue) {
    SetDword(HKEY_CURRENT_USER, L"GalSyncMode", 7);
    EXPECT_EQ(GetGALSyncMode(), 2u);
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, L"GalSyncMode"), 7u) << "a clamp is not written back";

    HKEY h = Key(HKEY_CURRENT_USER);
    RegDeleteValueW(h, L"GalSyncMode");
    RegCloseKey(h);
    SetDword(HKEY_CURRENT_USER, L"DisableGalSync", 1);
    EXPECT_EQ(GetGALSyncMode(), 2u);
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, L"GalSyncMode"), 2u);
    EXPECT_FALSE(HasValue(HKEY_CURRENT_USER, L"DisableGalSync"));

    SetDword(HKEY_CURRENT_USER, L"GalSyncMode", 1);
    SetDword(HKEY_CURRENT_USER, L"DisableGalSync", 1);
    EXPECT_EQ(GetGALSyncMode(), 1u);
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, L"GalSyncMode"), 1u);
    EXPECT_FALSE(HasValue(HKEY_CURRENT_USER, L"DisableGalSync"));

    SetDword(HKEY_CURRENT_USER, L"GalSyncMode", 2);
    SetDword(HKEY_CURRENT_USER, L"DisableGalSync", 0);
    EXPECT_EQ(GetGALSyncMode(), 0u);
    EXPECT_EQ(GetDword(HKEY_CURRENT_USER, L"GalSyncMode"), 0u);

    // The report shows the outcome without migrating.
    SetDword(HKEY_CURRENT_USER, L"DisableGalSync", 1);
    const auto settings = DescribeSettings();
    const auto galSync = std::find_if(settings.begin(), settings.end(),
                                      [](const auto& setting) { return setting.wsGetter == L"GetGALSyncMode"; });
    ASSERT_NE(galSync, settings.end()) << "the report lacks GetGALSyncMode";
    EXPECT_EQ(galSync->wsValue, L"2");
    EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, L"DisableGalSync"));
}

TEST_F(RegistryConfig, HandheldServerOverrides) {
    SetDword(HKEY_LOCAL_MACHINE, L"isBES", 1);
    SetDword(HKEY_LOCAL_MACHINE, L"isSingleUserBES", 1);
    SetDword(HKEY_CURRENT_USER, L"EnableLocalRules", 1);
    SetDword(HKEY_CURRENT_USER, L"StorePassword", 0);
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(IsBESOSN(), 1);
    EXPECT_TRUE(capture.Contains(L"this is a BES instance of OSN"));
    EXPECT_EQ(LocalRulesEnabled(), 0);
    EXPECT_EQ(StorePassword(), 1);
    EXPECT_EQ(GetAliasRefreshIntervalSecs(), 7200u);
    EXPECT_EQ(GetMaxStoreCount(), 1000u);
    EXPECT_EQ(GetMaxOSDCount(), 250u);
    EXPECT_EQ(IsSingleUserBESOSN(), 0) << "not the handheld server's agent";

    ResetRegistryConfigCachesForTesting();
    Platform::Host::SetHandheldServerAgent(true);
    EXPECT_EQ(IsSingleUserBESOSN(), 1);
    SetDword(HKEY_CURRENT_USER, L"AliasRefreshIntervalSecs", 60);
    ResetRegistryConfigCachesForTesting();
    EXPECT_EQ(GetAliasRefreshIntervalSecs(), 60u) << "a set value wins over the edition's default";
}

TEST_F(RegistryConfig, HandheldServerModeLogsWhyItIsOff) {
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(IsBESOSN(), 0);
    EXPECT_TRUE(capture.Contains(L"could not query registry key, this is NOT a BES instance of OSN"));
    ResetRegistryConfigCachesForTesting();
    SetDword(HKEY_LOCAL_MACHINE, L"other", 0);
    EXPECT_EQ(IsBESOSN(), 0);
    EXPECT_TRUE(capture.Contains(L"could not query registry value, this is NOT a BES instance of OSN"));
}

TEST_F(RegistryConfig, CorruptStoreErrorCodesAreParsed) {
    SetMulti(HKEY_LOCAL_MACHINE, L"OSDCorruptErrorCodes",
             {L"0x80040116", L"2147746072", L"-2147221223", L" 0X8004011d ", L"garbage", L"0x", L"12abc",
              L"0x1234567890", L"0x80040116"});
    EXPECT_EQ(GetOSDCorruptErrorCodes(),
              (std::vector<HRESULT>{static_cast<HRESULT>(0x80040116), static_cast<HRESULT>(0x80040118),
                                    static_cast<HRESULT>(0x80040119), static_cast<HRESULT>(0x8004011D)}));
    EXPECT_TRUE(IsOSDCorruptErrorCode(static_cast<HRESULT>(0x80040118)));
    EXPECT_FALSE(IsOSDCorruptErrorCode(static_cast<HRESULT>(0x80040600))) << "the defaults are replaced";

    // Leading zeros, as a "0x%x" scan reads them; a value past 32 bits is still no code.
    ResetRegistryConfigCachesForTesting();
    SetMulti(HKEY_LOCAL_MACHINE, L"OSDCorruptErrorCodes", {L"0x000080040600", L"0x0000000000000001", L"0x100000000"});
    EXPECT_EQ(GetOSDCorruptErrorCodes(), (std::vector<HRESULT>{static_cast<HRESULT>(0x80040600), 1}));
}

// Two getters throw on a value of the wrong type. The throw must not be remembered as a value nor
// leave the settings lock held: every later call, on any thread, throws the same way.
TEST_F(RegistryConfig, WrongTypesThrowOnEveryCallFromAnyThread) {
    SetString(HKEY_LOCAL_MACHINE, L"OSDCorruptErrorCodes", L"0x80040116");
    SetString(HKEY_LOCAL_MACHINE, L"GalSyncDisableAliases", L"1");
    EXPECT_THROW(GetOSDCorruptErrorCodes(), std::runtime_error);
    EXPECT_THROW(IsOSDCorruptErrorCode(S_OK), std::runtime_error);
    EXPECT_THROW(IsGalAliasSearchEnabled(), std::runtime_error);
    int thrown = 0;
    std::thread other([&] {
        for (int i = 0; i < 2; ++i) {
            try {
                IsOSDCorruptErrorCode(static_cast<HRESULT>(0x80040116));
            } catch (const std::runtime_error&) {
                ++thrown;
            }
            try {
                IsGalAliasSearchEnabled();
            } catch (const std::runtime_error&) {
                ++thrown;
            }
        }
    });
    other.join();
    EXPECT_EQ(thrown, 4);
    // Other settings behind the same lock still answer.
    EXPECT_EQ(GetMaxStoreCount(), 30u);
}

TEST_F(RegistryConfig, GalAliasSearchReadsTheMachineSwitch) {
    {
        Ostrel::Util::LogCapture capture;
        EXPECT_EQ(IsGalAliasSearchEnabled(), 1);
        EXPECT_TRUE(capture.Contains(L"Failed to read HKLM\\Software\\Ostrel  err=2"));
        EXPECT_TRUE(capture.Contains(L"IsGalAliasSearchEnabled returns 1"));
    }
    ResetRegistryConfigCachesForTesting();
    SetDword(HKEY_LOCAL_MACHINE, L"isBES", 0);
    {
        Ostrel::Util::LogCapture capture;
        EXPECT_EQ(IsGalAliasSearchEnabled(), 1);
        EXPECT_TRUE(capture.Contains(L"Failed to read GalSyncDisableAliases  err=2"));
    }
    ResetRegistryConfigCachesForTesting();
    SetDword(HKEY_LOCAL_MACHINE, L"GalSyncDisableAliases", 1);
    {
        Ostrel::Util::LogCapture capture;
        EXPECT_EQ(IsGalAliasSearchEnabled(), 0);
        EXPECT_TRUE(capture.Contains(L"GalSyncDisableAliases=1"));
        EXPECT_TRUE(capture.Contains(L"IsGalAliasSearchEnabled returns 0"));
        SetDword(HKEY_LOCAL_MACHINE, L"GalSyncDisableAliases", 0);
        EXPECT_EQ(IsGalAliasSearchEnabled(), 0) << "read on the first call only";
        EXPECT_EQ(capture.Count(L"IsGalAliasSearchEnabled returns"), 1u);
    }
}

TEST_F(RegistryConfig, LocalRulesSettingsAreReadAgainOnRequest) {
    SetDword(HKEY_CURRENT_USER, L"LocalRulesControl", 3);
    Ostrel::Util::LogCapture capture;
    RULES_FIRE_ON rules = GetLocalRulesSettings(0);
    EXPECT_TRUE(rules.bDelegateItems);
    EXPECT_TRUE(rules.bReadItems);
    EXPECT_TRUE(capture.Contains(L"LocalRulesControl: 3"));
    EXPECT_TRUE(capture.Contains(L"LocalRulesControl: bDelegateItems:1 bReadItems:1"));

    SetDword(HKEY_CURRENT_USER, L"LocalRulesControl", 2);
    rules = GetLocalRulesSettings(0);
    EXPECT_TRUE(rules.bDelegateItems) << "cached until asked to read again";
    rules = GetLocalRulesSettings(1);
    EXPECT_FALSE(rules.bDelegateItems);
    EXPECT_TRUE(rules.bReadItems);

    HKEY h = Key(HKEY_CURRENT_USER);
    RegDeleteValueW(h, L"LocalRulesControl");
    RegCloseKey(h);
    rules = GetLocalRulesSettings(1);
    EXPECT_FALSE(rules.bDelegateItems);
    EXPECT_FALSE(rules.bReadItems) << "reset before reading again";
}

TEST_F(RegistryConfig, AttachmentAndMessageSizes) {
    Platform::Host::SetClientVersion(15, 0);
    SetOLMaxAttSizeKB(5000);
    EXPECT_EQ(GetOLMaxAttSizeKB(), 5000u);
    HKEY h = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Office\\15.0\\Outlook\\Preferences", 0, KEY_READ, &h),
        ERROR_SUCCESS);
    RegCloseKey(h);
    Platform::Host::SetClientVersion(16, 0);
    EXPECT_EQ(GetOLMaxAttSizeKB(), kNoAttachmentSize) << "another client version has its own value";

    SetPrevOLMaxAttSizeKB(20480);
    EXPECT_EQ(GetPrevOLMaxAttSizeKB(), 20480u);

    SetOstrelMtaMaxMessageBytes(L"user@example.com", 10485760);
    SetOstrelMtaMaxMessageBytes(L"other@example.com", 1);
    EXPECT_EQ(GetOstrelMtaMaxMessageBytes(L"USER@example.com"), 10485760u);
    EXPECT_EQ(GetOstrelMtaMaxMessageBytes(L"other@example.com"), 1u);
    EXPECT_EQ(GetOstrelMtaMaxMessageBytes(L"nobody@example.com"), 0u);
    EXPECT_EQ(GetOstrelMtaMaxMessageBytes(nullptr), 0u);
}

TEST_F(RegistryConfig, ReportTellsRegistryFromDefault) {
    SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 8);
    SetOstrelMtaMaxMessageBytes(L"user@example.com", 42);
    SetString(HKEY_LOCAL_MACHINE, L"OSDCorruptErrorCodes", L"wrong type");
    std::map<std::wstring, SettingReport> byGetter;
    for (const auto& setting : DescribeSettings())
        byGetter[setting.wsGetter] = setting;
    EXPECT_EQ(byGetter[L"GetMaxMimeBufferSize"].wsValue, L"8388608");
    EXPECT_TRUE(byGetter[L"GetMaxMimeBufferSize"].bFromRegistry);
    EXPECT_EQ(byGetter[L"GetMaxStoreCount"].wsValue, L"30");
    EXPECT_FALSE(byGetter[L"GetMaxStoreCount"].bFromRegistry);
    EXPECT_EQ(byGetter[L"GetOstrelMtaMaxMessageBytes(user@example.com)"].wsValue, L"42");
    EXPECT_EQ(byGetter[L"IsAutoArchiveDisabled"].wsValue, L"true");
    EXPECT_EQ(byGetter[L"GetCalendarDeclinedPrefix"].wsValue, L"X");
    EXPECT_EQ(byGetter[L"GetOSDCorruptErrorCodes"].wsValue.rfind(L"error: ", 0), 0u);
    EXPECT_EQ(byGetter[L"GetMaxMimeBufferSize"].wsLocation, L"HKCU\\Software\\Ostrel\\MaxMimeBufferSizeMB");
    EXPECT_EQ(GetMaxMimeBufferSize(), 8u << 20);
}

TEST_F(RegistryConfig, ADamagedHiveFallsBackToDefaultsAndStaysAsItIs) {
    const auto path = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    std::filesystem::create_directories(path.parent_path());
    const std::string broken = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Ostrel]\n\"MaxOSDCount\"=dword:\n";
    std::ofstream(path) << broken;
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(GetMaxOSDCount(), 30u);
    SetPrevOLMaxAttSizeKB(1);  // silently not written
    EXPECT_EQ(GetPrevOLMaxAttSizeKB(), kNoAttachmentSize);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), broken);
    bool bReported = false;
    for (const auto& record : capture.Records()) {
        if (record.bError && record.wsMessage.find(Platform::FromUtf8(path.string())) != std::wstring::npos &&
            record.wsMessage.find(L"line 4") != std::wstring::npos)
            bReported = true;
    }
    EXPECT_TRUE(bReported);
}
