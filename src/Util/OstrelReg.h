// Registry helpers of the utility library.
//
// RegUtil reads and writes the connector's settings under HKEY_CURRENT_USER\Software\Ostrel.
// The per-user hive is used because the settings belong to the user's connector (the device id
// of the sign-on lives there too); machine-wide switches are read from HKEY_LOCAL_MACHINE by
// their callers directly.
#pragma once

#include "Platform/Registry/Registry.h"

#include <string>
#include <vector>

#ifndef ERROR_UNSUPPORTED_TYPE
#define ERROR_UNSUPPORTED_TYPE 1630L
#endif

namespace Ostrel::Util {

constexpr const wchar_t* kSettingsKeyPath = L"Software\\Ostrel";
constexpr DWORD kRegUtilSubkey = 1;

// Routes hive parse errors from the registry into the log (once per process; RegUtil does it).
void InstallRegistryDiagnostics();

class RegUtil {
public:
    // dwFlag 0: `pwszName` is a value of the settings key. dwFlag kRegUtilSubkey: `pwszName` is a
    // subkey of the settings key, and the value is named later with SetName (default: the key's
    // default value). `samDesired` is the access the key is opened with (KEY_READ, KEY_ALL_ACCESS...).
    explicit RegUtil(const wchar_t* pwszName, REGSAM samDesired = KEY_READ, DWORD dwFlag = 0);
    ~RegUtil();
    RegUtil(const RegUtil&) = delete;
    RegUtil& operator=(const RegUtil&) = delete;

    // Opens the key (the settings key, or its subkey); ERROR_SUCCESS or the registry's error.
    LSTATUS OpenKey();
    // Opens the key, creating it (and the settings key) when missing.
    LSTATUS CreateKey();
    bool IsOpen() const { return m_hKey != nullptr; }
    HKEY GetKey() const { return m_hKey; }

    void SetName(const wchar_t* pwszValueName);
    const std::wstring& GetName() const { return m_wsValueName; }
    // The type SetValue(data, size) writes (REG_DWORD until set).
    void SetType(DWORD dwType) { m_dwType = dwType; }
    // The type of the value last read or written.
    DWORD GetType() const { return m_dwType; }

    // Writes the value (opening the key first when needed; the key must exist).
    LSTATUS SetValue(const void* pData, DWORD cbData);
    LSTATUS SetValue(DWORD dwValue);
    LSTATUS SetValue(const std::wstring& wsValue);

    // Reads the value with RegQueryValueExW's buffer rules; the type is kept for GetType().
    LSTATUS QueryValue(void* pData, DWORD* pcbData);
    // A REG_DWORD; any other type is ERROR_UNSUPPORTED_TYPE and leaves dwValue untouched.
    LSTATUS QueryValue(DWORD& dwValue);
    // A REG_SZ or REG_EXPAND_SZ (without its terminator).
    LSTATUS QueryValue(std::wstring& wsValue);
    // A REG_MULTI_SZ, one entry per string.
    LSTATUS QueryValue(std::vector<std::wstring>& values);

    LSTATUS DeleteValue();

private:
    LSTATUS EnsureOpen();

    std::wstring m_wsKeyPath;
    std::wstring m_wsValueName;
    REGSAM m_samDesired;
    DWORD m_dwType = REG_DWORD;
    HKEY m_hKey = nullptr;
};

// Typed reads of any key: ERROR_SUCCESS with the value, or the registry's error; a value of
// another type is ERROR_UNSUPPORTED_TYPE (and *pdwActualType tells which it was).
LSTATUS ReadRegDword(HKEY hKey, const wchar_t* pwszValueName, DWORD& dwValue, DWORD* pdwActualType = nullptr);
LSTATUS ReadRegString(HKEY hKey, const wchar_t* pwszValueName, std::wstring& wsValue, DWORD* pdwActualType = nullptr);
LSTATUS ReadRegMultiString(HKEY hKey, const wchar_t* pwszValueName, std::vector<std::wstring>& values,
                           DWORD* pdwActualType = nullptr);

}  // namespace Ostrel::Util
