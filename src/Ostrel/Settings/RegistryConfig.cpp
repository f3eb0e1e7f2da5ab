#include "Ostrel/Settings/RegistryConfig.h"

#include "Ostrel/Settings/RegistryConfigRead.h"
#include "Platform/Host/Host.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace Ostrel::Mapi {

namespace {

// First reads of the cached settings.
Util::CriticalSection g_csSettings(L"RegistryConfig");
// The attachment-size and MTA-size functions.
Util::CriticalSection g_csSizes(L"RegistryConfigSizes");
// GetLocalRulesSettings.
Util::CriticalSection g_csLocalRules(L"LocalRulesSettings");

// Tri-states start at -1 (not read yet); numeric caches at 0.
std::atomic<LONG> g_lBES{-1};
std::atomic<LONG> g_lSingleUserBES{-1};
std::atomic<LONG> g_lCalHelperSyncAttendeeEdits{-1};
std::atomic<LONG> g_lCalendarAutoAddInvitesCheckDisabled{-1};
std::atomic<LONG> g_lAutoArchiveDisabled{-1};
std::atomic<LONG> g_lDumpComErrorToFile{-1};
std::atomic<LONG> g_lGalAliasSearch{-1};
std::atomic<DWORD> g_dwMaxMimeBufferSize{0};
std::atomic<DWORD> g_dwAliasRefreshIntervalSecs{0};
std::atomic<DWORD> g_dwMaxStoreCount{0};
std::atomic<DWORD> g_dwMaxOSDCount{0};
std::atomic<bool> g_bDeclinedPrefixRead{false};
std::wstring g_wsDeclinedPrefix;
std::atomic<bool> g_bCorruptCodesRead{false};
std::vector<HRESULT> g_corruptCodes;
bool g_bLocalRulesRead = false;
RULES_FIRE_ON g_localRules;

// Reads a tri-state once: `read` runs under the settings lock on the first call only.
template <typename Read>
int CachedFlag(std::atomic<LONG>& cache, Read read) {
    LONG value = cache.load();
    if (value >= 0)
        return value;
    Util::AutoCriticalSection lock(g_csSettings);
    value = cache.load();
    if (value < 0) {
        value = read() ? 1 : 0;
        cache.store(value);
    }
    return value;
}

template <typename Read>
DWORD CachedNumber(std::atomic<DWORD>& cache, Read read) {
    DWORD value = cache.load();
    if (value != 0)
        return value;
    Util::AutoCriticalSection lock(g_csSettings);
    value = cache.load();
    if (value == 0) {
        value = read();
        cache.store(value);
    }
    return value;
}

DWORD CountFor(const wchar_t* pwszName, DWORD dwDefault, DWORD dwDefaultBES) {
    return ConfigRead::Count(pwszName, IsBESOSN() ? dwDefaultBES : dwDefault).value;
}

}  // namespace

DWORD GetPrevOLMaxAttSizeKB() {
    Util::AutoCriticalSection lock(g_csSizes);
    return ConfigRead::PrevOLMaxAttSizeKB().value;
}

void SetPrevOLMaxAttSizeKB(DWORD dwKB) {
    Util::AutoCriticalSection lock(g_csSizes);
    Util::RegUtil reg(L"PrevOLMaxAttSize", KEY_ALL_ACCESS);
    if (reg.CreateKey() == ERROR_SUCCESS)
        reg.SetValue(dwKB);
}

DWORD GetOLMaxAttSizeKB() {
    Util::AutoCriticalSection lock(g_csSizes);
    return ConfigRead::OLMaxAttSizeKB().value;
}

void SetOLMaxAttSizeKB(DWORD dwKB) {
    Util::AutoCriticalSection lock(g_csSizes);
    Util::InstallRegistryDiagnostics();
    HKEY hKey = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, ConfigRead::OutlookPreferencesKey().c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(hKey, L"MaximumAttachmentSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwKB), sizeof dwKB);
    RegCloseKey(hKey);
}

DWORD GetOstrelMtaMaxMessageBytes(const wchar_t* pwszAccount) {
    Util::AutoCriticalSection lock(g_csSizes);
    return ConfigRead::MtaMaxMessageBytes(pwszAccount).value;
}

void SetOstrelMtaMaxMessageBytes(const wchar_t* pwszAccount, DWORD dwBytes) {
    if (!pwszAccount)
        return;
    Util::AutoCriticalSection lock(g_csSizes);
    Util::RegUtil reg(L"MtaMaxMessageSize", KEY_ALL_ACCESS, Util::kRegUtilSubkey);
    if (reg.CreateKey() != ERROR_SUCCESS)
        return;
    reg.SetName(pwszAccount);
    reg.SetType(REG_DWORD);
    reg.SetValue(&dwBytes, sizeof dwBytes);
}

DWORD GetMaxMimeBufferSize() {
    return CachedNumber(g_dwMaxMimeBufferSize, [] { return ConfigRead::MaxMimeBufferSize().value; });
}

int IsCalHelperSyncAttendeeEditsEnabled() {
    return CachedFlag(g_lCalHelperSyncAttendeeEdits,
                      [] { return ConfigRead::SettingFlag(L"CalHelperSyncAttendeeEdits", 0).value; });
}

int IsCalendarAutoAddInvitesCheckDisabled() {
    return CachedFlag(g_lCalendarAutoAddInvitesCheckDisabled,
                      [] { return ConfigRead::SettingFlag(L"CalendarDisableAutoAddInvitesCheck", 0).value; });
}

int IsAutoArchiveDisabled() {
    return CachedFlag(g_lAutoArchiveDisabled, [] { return ConfigRead::SettingFlag(L"DisableAutoArchive", 1).value; });
}

int CanDumpComErrorToFile() {
    return CachedFlag(g_lDumpComErrorToFile, [] { return ConfigRead::MachineFlag(L"comErrorToFile").value; });
}

int IsForceWaitSetUserUpdate() {
    return ConfigRead::MachineFlag(L"isForceWaitSetUserUpdate").value;
}

int IsSyncDisabled() {
    return ConfigRead::MachineFlag(L"syncDisabled").value;
}

void GetLDAPServerName(wchar_t* pwszBuffer, size_t cchBuffer) {
    if (!pwszBuffer)
        return;
    auto name = ConfigRead::LDAPServerName();
    if (!name)
        return;
    if (name->size() >= cchBuffer) {
        OSTLOG_WARN(L"LDAPServerName (%u characters) does not fit a buffer of %u", static_cast<unsigned>(name->size()),
                    static_cast<unsigned>(cchBuffer));
        return;
    }
    std::wmemcpy(pwszBuffer, name->c_str(), name->size() + 1);
}

int IsLDAPEnabled() {
    return ConfigRead::SettingFlag(L"EnableLDAP", 0).value;
}

DWORD GetGALSyncMode() {
    return ConfigRead::GALSyncMode(true).value;
}

int SyncOnChangeEnabled() {
    return ConfigRead::SyncOnChange().value;
}

int PrefSyncEnabled() {
    return ConfigRead::SettingFlag(L"PrefSyncEnabled", 0).value;
}

int TagSyncEnabled() {
    return ConfigRead::SettingFlag(L"TagSyncEnabled", 0).value;
}

int SigSyncEnabled() {
    return ConfigRead::SettingFlag(L"SigSyncEnabled", 0).value;
}

int TurnOffInboxFailures() {
    return ConfigRead::SettingFlag(L"turnOffInboxFailures", 0).value;
}

DWORD GetAliasRefreshIntervalSecs() {
    return CachedNumber(g_dwAliasRefreshIntervalSecs, [] {
        return CountFor(L"AliasRefreshIntervalSecs", ConfigRead::kAliasRefreshSecs, ConfigRead::kAliasRefreshSecsBES);
    });
}

DWORD GetMaxStoreCount() {
    return CachedNumber(g_dwMaxStoreCount, [] {
        return CountFor(L"MaxStoreCount", ConfigRead::kMaxStoreCount, ConfigRead::kMaxStoreCountBES);
    });
}

DWORD GetMaxOSDCount() {
    return CachedNumber(g_dwMaxOSDCount,
                        [] { return CountFor(L"MaxOSDCount", ConfigRead::kMaxOSDCount, ConfigRead::kMaxOSDCountBES); });
}

int LocalRulesEnabled() {
    return ConfigRead::LocalRules(IsBESOSN() != 0).value;
}

int StorePassword() {
    return ConfigRead::StorePassword(IsBESOSN() != 0).value;
}

RULES_FIRE_ON GetLocalRulesSettings(int reread) {
    Util::AutoCriticalSection lock(g_csLocalRules);
    if (reread || !g_bLocalRulesRead) {
        g_localRules = RULES_FIRE_ON{};
        g_localRules = ConfigRead::LocalRulesControl().value;
        g_bLocalRulesRead = true;
    }
    return g_localRules;
}

int IsGalAliasSearchEnabled() {
    return CachedFlag(g_lGalAliasSearch, [] { return ConfigRead::GalAliasSearch().value; });
}

void GetCalendarDeclinedPrefix(std::wstring& wsPrefix) {
    if (!g_bDeclinedPrefixRead.load()) {
        Util::AutoCriticalSection lock(g_csSettings);
        if (!g_bDeclinedPrefixRead.load()) {
            g_wsDeclinedPrefix = ConfigRead::CalendarDeclinedPrefix().value;
            g_bDeclinedPrefixRead.store(true);
        }
    }
    wsPrefix = g_wsDeclinedPrefix;
}

int IsBESOSN() {
    return CachedFlag(g_lBES, [] { return ConfigRead::IsBES().value; });
}

int IsSingleUserBESOSN() {
    return CachedFlag(g_lSingleUserBES, [] { return ConfigRead::IsSingleUserBES(IsBESOSN() != 0).value; });
}

namespace {

const std::vector<HRESULT>& CorruptCodes() {
    if (!g_bCorruptCodesRead.load()) {
        Util::AutoCriticalSection lock(g_csSettings);
        if (!g_bCorruptCodesRead.load()) {
            g_corruptCodes = ConfigRead::OSDCorruptErrorCodes().value;
            g_bCorruptCodesRead.store(true);
        }
    }
    return g_corruptCodes;
}

}  // namespace

std::vector<HRESULT> GetOSDCorruptErrorCodes() {
    return CorruptCodes();
}

BOOL IsOSDCorruptErrorCode(HRESULT hr) {
    const std::vector<HRESULT>& codes = CorruptCodes();
    return std::find(codes.begin(), codes.end(), hr) != codes.end() ? TRUE : FALSE;
}

void ResetRegistryConfigCachesForTesting() {
    Util::AutoCriticalSection settings(g_csSettings);
    Util::AutoCriticalSection localRules(g_csLocalRules);
    for (auto* cache :
         {&g_lBES, &g_lSingleUserBES, &g_lCalHelperSyncAttendeeEdits, &g_lCalendarAutoAddInvitesCheckDisabled,
          &g_lAutoArchiveDisabled, &g_lDumpComErrorToFile, &g_lGalAliasSearch})
        cache->store(-1);
    for (auto* cache : {&g_dwMaxMimeBufferSize, &g_dwAliasRefreshIntervalSecs, &g_dwMaxStoreCount, &g_dwMaxOSDCount})
        cache->store(0);
    g_bDeclinedPrefixRead.store(false);
    g_wsDeclinedPrefix.clear();
    g_bCorruptCodesRead.store(false);
    g_corruptCodes.clear();
    g_bLocalRulesRead = false;
    g_localRules = RULES_FIRE_ON{};
}

}  // namespace Ostrel::Mapi
