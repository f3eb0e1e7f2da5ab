// The settings report behind `ostrel config`.
#include "Ostrel/Settings/RegistryConfig.h"

#include "Ostrel/Settings/RegistryConfigRead.h"
#include "Platform/Base/Utf.h"
#include "Platform/Registry/Registry.h"
#include "Util/OstrelReg.h"

#include <cstdio>
#include <stdexcept>

namespace Ostrel::Mapi {

namespace {

const std::wstring kUser = L"HKCU\\Software\\Ostrel\\";
const std::wstring kMachine = L"HKLM\\Software\\Ostrel\\";

std::wstring Bool(int value) {
    return value ? L"true" : L"false";
}

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08X", value);
    return text;
}

template <typename T, typename Show>
void Add(std::vector<SettingReport>& out, const wchar_t* pwszGetter, const std::wstring& wsLocation,
         const ConfigRead::Reading<T>& reading, Show show) {
    out.push_back(SettingReport{pwszGetter, wsLocation, show(reading.value), reading.bFromRegistry});
}

void AddFlag(std::vector<SettingReport>& out, const wchar_t* pwszGetter, const std::wstring& wsLocation,
             const ConfigRead::Reading<int>& reading) {
    Add(out, pwszGetter, wsLocation, reading, Bool);
}

void AddNumber(std::vector<SettingReport>& out, const wchar_t* pwszGetter, const std::wstring& wsLocation,
               const ConfigRead::Reading<DWORD>& reading) {
    Add(out, pwszGetter, wsLocation, reading, [](DWORD v) { return std::to_wstring(v); });
}

// Failing reads (a value of the wrong type) show their error instead of a value.
template <typename F>
void Guarded(std::vector<SettingReport>& out, const wchar_t* pwszGetter, const std::wstring& wsLocation, F add) {
    try {
        add();
    } catch (const std::exception& e) {
        out.push_back(SettingReport{pwszGetter, wsLocation, L"error: " + Platform::FromUtf8(e.what()), true});
    }
}

// The accounts that have a saved MTA size.
std::vector<std::wstring> MtaAccounts() {
    std::vector<std::wstring> accounts;
    Util::RegUtil reg(L"MtaMaxMessageSize", KEY_READ, Util::kRegUtilSubkey);
    if (reg.OpenKey() != ERROR_SUCCESS)
        return accounts;
    wchar_t name[REG_MAX_VALUE_NAME + 1];
    for (DWORD i = 0;; ++i) {
        DWORD cch = REG_MAX_VALUE_NAME + 1;
        if (RegEnumValueW(reg.GetKey(), i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        accounts.emplace_back(name, cch);
    }
    return accounts;
}

}  // namespace

std::vector<SettingReport> DescribeSettings() {
    std::vector<SettingReport> out;
    const ConfigRead::Reading<int> bes = ConfigRead::IsBES();
    const bool bBES = bes.value != 0;

    AddFlag(out, L"IsBESOSN", kMachine + L"isBES", bes);
    AddFlag(out, L"IsSingleUserBESOSN", kMachine + L"isSingleUserBES", ConfigRead::IsSingleUserBES(bBES));
    AddNumber(out, L"GetPrevOLMaxAttSizeKB", kUser + L"PrevOLMaxAttSize", ConfigRead::PrevOLMaxAttSizeKB());
    AddNumber(out, L"GetOLMaxAttSizeKB", L"HKCU\\" + ConfigRead::OutlookPreferencesKey() + L"\\MaximumAttachmentSize",
              ConfigRead::OLMaxAttSizeKB());
    const auto accounts = MtaAccounts();
    for (const auto& account : accounts)
        AddNumber(out, (L"GetOstrelMtaMaxMessageBytes(" + account + L")").c_str(),
                  kUser + L"MtaMaxMessageSize\\" + account, ConfigRead::MtaMaxMessageBytes(account.c_str()));
    if (accounts.empty())
        AddNumber(out, L"GetOstrelMtaMaxMessageBytes(*)", kUser + L"MtaMaxMessageSize", {0, false});
    AddNumber(out, L"GetMaxMimeBufferSize", kUser + L"MaxMimeBufferSizeMB", ConfigRead::MaxMimeBufferSize());
    AddFlag(out, L"IsCalHelperSyncAttendeeEditsEnabled", kUser + L"CalHelperSyncAttendeeEdits",
            ConfigRead::SettingFlag(L"CalHelperSyncAttendeeEdits", 0));
    AddFlag(out, L"IsCalendarAutoAddInvitesCheckDisabled", kUser + L"CalendarDisableAutoAddInvitesCheck",
            ConfigRead::SettingFlag(L"CalendarDisableAutoAddInvitesCheck", 0));
    AddFlag(out, L"IsAutoArchiveDisabled", kUser + L"DisableAutoArchive",
            ConfigRead::SettingFlag(L"DisableAutoArchive", 1));
    AddFlag(out, L"CanDumpComErrorToFile", kMachine + L"comErrorToFile", ConfigRead::MachineFlag(L"comErrorToFile"));
    AddFlag(out, L"IsForceWaitSetUserUpdate", kMachine + L"isForceWaitSetUserUpdate",
            ConfigRead::MachineFlag(L"isForceWaitSetUserUpdate"));
    AddFlag(out, L"IsSyncDisabled", kMachine + L"syncDisabled", ConfigRead::MachineFlag(L"syncDisabled"));
    const auto ldap = ConfigRead::LDAPServerName();
    out.push_back(SettingReport{L"GetLDAPServerName", kUser + L"LDAPServerName", ldap.value_or(L""), ldap.has_value()});
    AddFlag(out, L"IsLDAPEnabled", kUser + L"EnableLDAP", ConfigRead::SettingFlag(L"EnableLDAP", 0));
    AddNumber(out, L"GetGALSyncMode", kUser + L"GalSyncMode", ConfigRead::GALSyncMode(false));
    AddFlag(out, L"SyncOnChangeEnabled", kUser + L"SyncOnChangeEnabled", ConfigRead::SyncOnChange());
    AddFlag(out, L"PrefSyncEnabled", kUser + L"PrefSyncEnabled", ConfigRead::SettingFlag(L"PrefSyncEnabled", 0));
    AddFlag(out, L"TagSyncEnabled", kUser + L"TagSyncEnabled", ConfigRead::SettingFlag(L"TagSyncEnabled", 0));
    AddFlag(out, L"SigSyncEnabled", kUser + L"SigSyncEnabled", ConfigRead::SettingFlag(L"SigSyncEnabled", 0));
    AddFlag(out, L"TurnOffInboxFailures", kUser + L"turnOffInboxFailures",
            ConfigRead::SettingFlag(L"turnOffInboxFailures", 0));
    AddNumber(out, L"GetAliasRefreshIntervalSecs", kUser + L"AliasRefreshIntervalSecs",
              ConfigRead::Count(L"AliasRefreshIntervalSecs",
                                bBES ? ConfigRead::kAliasRefreshSecsBES : ConfigRead::kAliasRefreshSecs));
    AddNumber(out, L"GetMaxStoreCount", kUser + L"MaxStoreCount",
              ConfigRead::Count(L"MaxStoreCount", bBES ? ConfigRead::kMaxStoreCountBES : ConfigRead::kMaxStoreCount));
    AddNumber(out, L"GetMaxOSDCount", kUser + L"MaxOSDCount",
              ConfigRead::Count(L"MaxOSDCount", bBES ? ConfigRead::kMaxOSDCountBES : ConfigRead::kMaxOSDCount));
    AddFlag(out, L"LocalRulesEnabled", kUser + L"EnableLocalRules", ConfigRead::LocalRules(bBES));
    AddFlag(out, L"StorePassword", kUser + L"StorePassword", ConfigRead::StorePassword(bBES));
    Add(out, L"GetLocalRulesSettings", kUser + L"LocalRulesControl", ConfigRead::LocalRulesControl(),
        [](const RULES_FIRE_ON& r) {
            return L"delegate items " + Bool(r.bDelegateItems) + L", read items " + Bool(r.bReadItems);
        });
    Guarded(out, L"IsGalAliasSearchEnabled", kMachine + L"GalSyncDisableAliases", [&] {
        AddFlag(out, L"IsGalAliasSearchEnabled", kMachine + L"GalSyncDisableAliases", ConfigRead::GalAliasSearch());
    });
    Add(out, L"GetCalendarDeclinedPrefix", kUser + L"CalendarDeclinedPrefix", ConfigRead::CalendarDeclinedPrefix(),
        [](const std::wstring& s) { return s; });
    Guarded(out, L"GetOSDCorruptErrorCodes", kMachine + L"OSDCorruptErrorCodes", [&] {
        Add(out, L"GetOSDCorruptErrorCodes", kMachine + L"OSDCorruptErrorCodes", ConfigRead::OSDCorruptErrorCodes(),
            [](const std::vector<HRESULT>& codes) {
                std::wstring text;
                for (HRESULT hr : codes)
                    text += (text.empty() ? L"" : L",") + Hex(static_cast<DWORD>(hr));
                return text;
            });
    });
    return out;
}

}  // namespace Ostrel::Mapi
