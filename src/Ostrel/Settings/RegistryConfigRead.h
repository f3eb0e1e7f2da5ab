// Uncached reads of the registry settings, shared by the cached getters and by the settings
// report. Each returns the effective value and whether it came from the registry. Internal.
#pragma once

#include "Ostrel/Settings/RegistryConfig.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Ostrel::Mapi::ConfigRead {

template <typename T>
struct Reading {
    T value{};
    bool bFromRegistry = false;
};

// Defaults.
constexpr DWORD kDefaultMimeBufferMB = 1;
constexpr DWORD kMaxMimeBufferMB = 4095;  // larger values would not fit the byte count
constexpr DWORD kAliasRefreshSecs = 3600, kAliasRefreshSecsBES = 7200;
constexpr DWORD kMaxStoreCount = 30, kMaxStoreCountBES = 1000;
constexpr DWORD kMaxOSDCount = 30, kMaxOSDCountBES = 250;
constexpr DWORD kMaxGalSyncMode = 2;

Reading<int> IsBES();
Reading<int> IsSingleUserBES(bool bBES);
Reading<DWORD> PrevOLMaxAttSizeKB();
Reading<DWORD> OLMaxAttSizeKB();
std::wstring OutlookPreferencesKey();
Reading<DWORD> MtaMaxMessageBytes(const wchar_t* pwszAccount);
Reading<DWORD> MaxMimeBufferSize();
// A DWORD of the settings key read as a flag (> 0); iDefault when absent.
Reading<int> SettingFlag(const wchar_t* pwszName, int iDefault);
// A DWORD of HKLM\Software\Ostrel (query access) read as a flag (> 0); false when absent.
Reading<int> MachineFlag(const wchar_t* pwszName);
// The LDAP server name when present and shorter than kLDAPServerNameChars.
std::optional<std::wstring> LDAPServerName();
// With bMigrate, a legacy DisableGalSync is moved over to GalSyncMode and deleted.
Reading<DWORD> GALSyncMode(bool bMigrate);
Reading<int> SyncOnChange();
// A DWORD count of the settings key; 0 or absent give dwDefault.
Reading<DWORD> Count(const wchar_t* pwszName, DWORD dwDefault);
Reading<int> LocalRules(bool bBES);
Reading<int> StorePassword(bool bBES);
Reading<RULES_FIRE_ON> LocalRulesControl();
Reading<int> GalAliasSearch();
Reading<std::wstring> CalendarDeclinedPrefix();
Reading<std::vector<HRESULT>> OSDCorruptErrorCodes();
// "0x" followed by hexadecimal digits whose value (leading zeros aside) fits 32 bits, or a
// decimal number in 32 bits; blanks around are allowed.
std::optional<HRESULT> ParseErrorCode(std::wstring_view text);

}  // namespace Ostrel::Mapi::ConfigRead
