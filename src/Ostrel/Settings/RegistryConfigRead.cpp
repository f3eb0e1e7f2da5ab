#include "Ostrel/Settings/RegistryConfigRead.h"

#include "Platform/Base/Text.h"
#include "Platform/Host/Host.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <stdexcept>

namespace Ostrel::Mapi::ConfigRead {

using Util::RegUtil;

namespace {

constexpr const wchar_t* kMachineKey = L"Software\\Ostrel";
constexpr DWORD kMachineQueryAccess = KEY_QUERY_VALUE;

// A DWORD of the settings key: the key's and the value's status.
struct DwordRead {
    LSTATUS keyStatus = ERROR_FILE_NOT_FOUND;
    LSTATUS valueStatus = ERROR_FILE_NOT_FOUND;
    DWORD dwValue = 0;
    bool Present() const { return valueStatus == ERROR_SUCCESS; }
};

DwordRead ReadSettingDword(const wchar_t* pwszName) {
    DwordRead read;
    RegUtil reg(pwszName, KEY_READ);
    read.keyStatus = reg.OpenKey();
    if (read.keyStatus == ERROR_SUCCESS)
        read.valueStatus = reg.QueryValue(read.dwValue);
    return read;
}

// A DWORD of HKLM\Software\Ostrel: the key is opened, the value read, the key closed again.
DwordRead ReadMachineDword(const wchar_t* pwszName, REGSAM sam = kMachineQueryAccess, DWORD* pdwType = nullptr) {
    Util::InstallRegistryDiagnostics();
    DwordRead read;
    HKEY hKey = nullptr;
    read.keyStatus = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, sam, &hKey);
    if (read.keyStatus == ERROR_SUCCESS) {
        read.valueStatus = Util::ReadRegDword(hKey, pwszName, read.dwValue, pdwType);
        RegCloseKey(hKey);
    }
    return read;
}

}  // namespace

Reading<int> IsBES() {
    const DwordRead read = ReadMachineDword(L"isBES");
    if (read.keyStatus != ERROR_SUCCESS) {
        OSTLOG_INFO(1, L"could not query registry key, this is NOT a BES instance of OSN");
        return {0, false};
    }
    if (!read.Present()) {
        OSTLOG_INFO(1, L"could not query registry value, this is NOT a BES instance of OSN");
        return {0, false};
    }
    if (read.dwValue > 0) {
        OSTLOG_INFO(1, L"this is a BES instance of OSN");
        return {1, true};
    }
    OSTLOG_INFO(1, L"this is NOT a BES instance of OSN");
    return {0, true};
}

Reading<int> IsSingleUserBES(bool bBES) {
    if (!bBES || !Platform::Host::IsHandheldServerAgent())
        return {0, false};
    const DwordRead read = ReadMachineDword(L"isSingleUserBES");
    return read.Present() ? Reading<int>{read.dwValue > 0, true} : Reading<int>{0, false};
}

Reading<DWORD> PrevOLMaxAttSizeKB() {
    const DwordRead read = ReadSettingDword(L"PrevOLMaxAttSize");
    return read.Present() ? Reading<DWORD>{read.dwValue, true} : Reading<DWORD>{kNoAttachmentSize, false};
}

std::wstring OutlookPreferencesKey() {
    const Platform::Host::Version version = Platform::Host::GetClientVersion();
    wchar_t path[96];
    std::swprintf(path, 96, L"Software\\Microsoft\\Office\\%d.%d\\Outlook\\Preferences", version.iMajor,
                  version.iMinor);
    return path;
}

Reading<DWORD> OLMaxAttSizeKB() {
    Util::InstallRegistryDiagnostics();
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, OutlookPreferencesKey().c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return {kNoAttachmentSize, false};
    DWORD dw = 0;
    const LSTATUS status = Util::ReadRegDword(hKey, L"MaximumAttachmentSize", dw);
    RegCloseKey(hKey);
    return status == ERROR_SUCCESS ? Reading<DWORD>{dw, true} : Reading<DWORD>{kNoAttachmentSize, false};
}

Reading<DWORD> MtaMaxMessageBytes(const wchar_t* pwszAccount) {
    if (!pwszAccount)
        return {0, false};
    RegUtil reg(L"MtaMaxMessageSize", KEY_READ, Util::kRegUtilSubkey);
    if (reg.OpenKey() != ERROR_SUCCESS)
        return {0, false};
    reg.SetName(pwszAccount);
    DWORD dw = 0;
    return reg.QueryValue(dw) == ERROR_SUCCESS ? Reading<DWORD>{dw, true} : Reading<DWORD>{0, false};
}

Reading<DWORD> MaxMimeBufferSize() {
    const DwordRead read = ReadSettingDword(L"MaxMimeBufferSizeMB");
    if (!read.Present())
        return {kDefaultMimeBufferMB << 20, false};
    // Shifting more than 4095 MiB would wrap the byte count around.
    return {std::min(read.dwValue, kMaxMimeBufferMB) << 20, true};
}

Reading<int> SettingFlag(const wchar_t* pwszName, int iDefault) {
    const DwordRead read = ReadSettingDword(pwszName);
    return read.Present() ? Reading<int>{read.dwValue > 0, true} : Reading<int>{iDefault, false};
}

Reading<int> MachineFlag(const wchar_t* pwszName) {
    const DwordRead read = ReadMachineDword(pwszName);
    return read.Present() ? Reading<int>{read.dwValue > 0, true} : Reading<int>{0, false};
}

std::optional<std::wstring> LDAPServerName() {
    RegUtil reg(L"LDAPServerName", KEY_READ);
    if (reg.OpenKey() != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring name;
    if (reg.QueryValue(name) != ERROR_SUCCESS)
        return std::nullopt;
    if (name.size() >= kLDAPServerNameChars) {
        OSTLOG_WARN(L"LDAPServerName is longer than %u characters and is ignored", kLDAPServerNameChars - 1);
        return std::nullopt;
    }
    return name;
}

Reading<DWORD> GALSyncMode(bool bMigrate) {
    RegUtil reg(L"GalSyncMode", bMigrate ? KEY_ALL_ACCESS : KEY_READ);
    if (reg.OpenKey() != ERROR_SUCCESS)
        return {0, false};
    Reading<DWORD> mode;
    DWORD dw = 0;
    if (reg.QueryValue(dw) == ERROR_SUCCESS)
        mode = {std::min(dw, kMaxGalSyncMode), true};

    RegUtil legacy(L"DisableGalSync", bMigrate ? KEY_ALL_ACCESS : KEY_READ);
    DWORD dwDisable = 0;
    const LSTATUS legacyStatus = legacy.QueryValue(dwDisable);
    if (legacyStatus == ERROR_FILE_NOT_FOUND || legacyStatus == ERROR_KEY_DELETED)
        return mode;
    if (legacyStatus == ERROR_SUCCESS && mode.value != 1) {
        mode = {dwDisable > 0 ? kMaxGalSyncMode : 0, true};
        if (bMigrate)
            reg.SetValue(mode.value);
    }
    // A legacy value of another type carries no meaning; it is removed all the same.
    if (bMigrate)
        legacy.DeleteValue();
    return mode;
}

Reading<int> SyncOnChange() {
    const DwordRead read = ReadSettingDword(L"SyncOnChangeEnabled");
    if (read.keyStatus != ERROR_SUCCESS)
        return {1, false};
    return read.Present() ? Reading<int>{read.dwValue > 0, true} : Reading<int>{0, false};
}

Reading<DWORD> Count(const wchar_t* pwszName, DWORD dwDefault) {
    const DwordRead read = ReadSettingDword(pwszName);
    if (!read.Present() || read.dwValue == 0)
        return {dwDefault, false};
    return {read.dwValue, true};
}

Reading<int> LocalRules(bool bBES) {
    if (bBES)
        return {0, false};
    return SettingFlag(L"EnableLocalRules", 0);
}

Reading<int> StorePassword(bool bBES) {
    if (bBES)
        return {1, false};
    const DwordRead read = ReadSettingDword(L"StorePassword");
    if (read.keyStatus != ERROR_SUCCESS)
        return {1, false};
    return read.Present() ? Reading<int>{read.dwValue != 0, true} : Reading<int>{0, false};
}

Reading<RULES_FIRE_ON> LocalRulesControl() {
    Reading<RULES_FIRE_ON> rules;
    const DwordRead read = ReadSettingDword(L"LocalRulesControl");
    if (read.Present()) {
        OSTLOG_INFO(4, L"LocalRulesControl: %d", read.dwValue);
        rules.value.bDelegateItems = (read.dwValue & 0x1) ? TRUE : FALSE;
        rules.value.bReadItems = (read.dwValue & 0x2) ? TRUE : FALSE;
        rules.bFromRegistry = true;
    }
    OSTLOG_INFO(4, L"LocalRulesControl: bDelegateItems:%d bReadItems:%d", rules.value.bDelegateItems,
                rules.value.bReadItems);
    return rules;
}

Reading<int> GalAliasSearch() {
    Reading<int> result{1, false};
    DWORD dwType = REG_NONE;
    const DwordRead read = ReadMachineDword(L"GalSyncDisableAliases", KEY_READ, &dwType);
    if (read.keyStatus != ERROR_SUCCESS) {
        OSTLOG_INFO(4, L"Failed to read HKLM\\Software\\Ostrel  err=%d", read.keyStatus);
    } else if (read.valueStatus == ERROR_UNSUPPORTED_TYPE) {
        throw std::runtime_error("HKLM\\Software\\Ostrel\\GalSyncDisableAliases is not a REG_DWORD (type " +
                                 std::to_string(dwType) + ")");
    } else if (!read.Present()) {
        OSTLOG_INFO(4, L"Failed to read GalSyncDisableAliases  err=%d", read.valueStatus);
    } else {
        OSTLOG_INFO(4, L"GalSyncDisableAliases=%d", read.dwValue);
        result = {read.dwValue == 0, true};
    }
    OSTLOG_INFO(4, L"IsGalAliasSearchEnabled returns %d", result.value);
    return result;
}

Reading<std::wstring> CalendarDeclinedPrefix() {
    RegUtil reg(L"CalendarDeclinedPrefix", KEY_READ);
    std::wstring prefix;
    if (reg.QueryValue(prefix) != ERROR_SUCCESS || prefix.empty())
        return {L"X", false};
    if (prefix.size() > kCalendarDeclinedPrefixChars) {
        OSTLOG_WARN(L"CalendarDeclinedPrefix is longer than %u characters and is ignored",
                    static_cast<unsigned>(kCalendarDeclinedPrefixChars));
        return {L"X", false};
    }
    return {prefix, true};
}

std::optional<HRESULT> ParseErrorCode(std::wstring_view text) {
    const std::wstring trimmed(Platform::Trim(text));
    if (trimmed.empty())
        return std::nullopt;
    if (trimmed.size() > 2 && trimmed[0] == L'0' && (trimmed[1] == L'x' || trimmed[1] == L'X')) {
        // Leading zeros are read past, as a "0x%x" scan does; what remains must fit 32 bits.
        const size_t firstDigit = std::min(trimmed.find_first_not_of(L'0', 2), trimmed.size() - 1);
        if (trimmed.size() - firstDigit > 8)
            return std::nullopt;
        uint32_t value = 0;
        for (size_t i = firstDigit; i < trimmed.size(); ++i) {
            const wchar_t c = trimmed[i];
            int digit;
            if (c >= L'0' && c <= L'9')
                digit = c - L'0';
            else if (c >= L'a' && c <= L'f')
                digit = c - L'a' + 10;
            else if (c >= L'A' && c <= L'F')
                digit = c - L'A' + 10;
            else
                return std::nullopt;
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        return static_cast<HRESULT>(value);
    }
    size_t pos = 0;
    const bool bNegative = trimmed[0] == L'-';
    if (trimmed[0] == L'-' || trimmed[0] == L'+')
        pos = 1;
    if (pos == trimmed.size() || trimmed.size() - pos > 10)
        return std::nullopt;
    int64_t value = 0;
    for (; pos < trimmed.size(); ++pos) {
        if (trimmed[pos] < L'0' || trimmed[pos] > L'9')
            return std::nullopt;
        value = value * 10 + (trimmed[pos] - L'0');
    }
    if (bNegative)
        value = -value;
    if (value < INT32_MIN || value > static_cast<int64_t>(UINT32_MAX))
        return std::nullopt;
    return static_cast<HRESULT>(static_cast<uint32_t>(value));
}

Reading<std::vector<HRESULT>> OSDCorruptErrorCodes() {
    static const std::vector<HRESULT> kDefaults = {static_cast<HRESULT>(0x80040116), static_cast<HRESULT>(0x80040119),
                                                   static_cast<HRESULT>(0x8004011B), static_cast<HRESULT>(0x80040600),
                                                   static_cast<HRESULT>(0x8004011D)};
    Util::InstallRegistryDiagnostics();
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return {kDefaults, false};
    std::vector<std::wstring> strings;
    DWORD dwType = REG_NONE;
    const LSTATUS status = Util::ReadRegMultiString(hKey, L"OSDCorruptErrorCodes", strings, &dwType);
    RegCloseKey(hKey);
    if (status == ERROR_UNSUPPORTED_TYPE)
        throw std::runtime_error("HKLM\\Software\\Ostrel\\OSDCorruptErrorCodes is not a REG_MULTI_SZ (type " +
                                 std::to_string(dwType) + ")");
    if (status != ERROR_SUCCESS)
        return {kDefaults, false};
    Reading<std::vector<HRESULT>> codes{{}, true};
    for (const auto& text : strings) {
        const auto code = ParseErrorCode(text);
        if (!code) {
            OSTLOG_WARN(L"OSDCorruptErrorCodes: skipping '%s', which is not an error code", text.c_str());
            continue;
        }
        if (std::find(codes.value.begin(), codes.value.end(), *code) == codes.value.end())
            codes.value.push_back(*code);
    }
    return codes;
}

}  // namespace Ostrel::Mapi::ConfigRead
