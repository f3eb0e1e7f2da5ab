#include "Util/OstrelReg.h"

#include "Util/Log/Log.h"

#include <cstring>
#include <mutex>

namespace Ostrel::Util {

void InstallRegistryDiagnostics() {
    static std::once_flag once;
    std::call_once(once, [] {
        Platform::Registry::SetParseErrorHandler([](const Platform::Registry::ParseError& error) {
            OSTLOG_ERROR(
                L"Registry file '%hs' is damaged at line %u (%hs). Using what could be read; the file "
                L"is left as it is and will not be written.",
                error.path.c_str(), error.uLine, error.sMessage.c_str());
        });
    });
}

namespace {

// Reads the raw bytes of a value, growing the buffer as RegQueryValueExW asks.
LSTATUS ReadRaw(HKEY hKey, const wchar_t* pwszValueName, DWORD& dwType, std::vector<BYTE>& data) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD cb = static_cast<DWORD>(data.size());
        const LSTATUS status =
            RegQueryValueExW(hKey, pwszValueName, nullptr, &dwType, data.empty() ? nullptr : data.data(), &cb);
        if (status == ERROR_SUCCESS && !data.empty()) {
            data.resize(cb);
            return status;
        }
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            return status;
        if (status == ERROR_SUCCESS && cb == 0) {
            data.clear();
            return status;
        }
        data.resize(cb);  // the value may change between the calls: ask again with the new size
    }
    return ERROR_MORE_DATA;
}

std::wstring WideFromBytes(const std::vector<BYTE>& data) {
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty())
        std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
    return text;
}

}  // namespace

LSTATUS ReadRegDword(HKEY hKey, const wchar_t* pwszValueName, DWORD& dwValue, DWORD* pdwActualType) {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    const LSTATUS status = ReadRaw(hKey, pwszValueName, type, data);
    if (pdwActualType)
        *pdwActualType = type;
    if (status != ERROR_SUCCESS)
        return status;
    if (type != REG_DWORD || data.size() != sizeof(DWORD))
        return ERROR_UNSUPPORTED_TYPE;
    std::memcpy(&dwValue, data.data(), sizeof dwValue);
    return ERROR_SUCCESS;
}

LSTATUS ReadRegString(HKEY hKey, const wchar_t* pwszValueName, std::wstring& wsValue, DWORD* pdwActualType) {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    const LSTATUS status = ReadRaw(hKey, pwszValueName, type, data);
    if (pdwActualType)
        *pdwActualType = type;
    if (status != ERROR_SUCCESS)
        return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_UNSUPPORTED_TYPE;
    std::wstring text = WideFromBytes(data);
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
        text.resize(end);
    wsValue = std::move(text);
    return ERROR_SUCCESS;
}

LSTATUS ReadRegMultiString(HKEY hKey, const wchar_t* pwszValueName, std::vector<std::wstring>& values,
                           DWORD* pdwActualType) {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    const LSTATUS status = ReadRaw(hKey, pwszValueName, type, data);
    if (pdwActualType)
        *pdwActualType = type;
    if (status != ERROR_SUCCESS)
        return status;
    if (type != REG_MULTI_SZ)
        return ERROR_UNSUPPORTED_TYPE;
    // Strings separated by NULs and ended by an empty one; a missing final terminator is tolerated.
    const std::wstring text = WideFromBytes(data);
    std::vector<std::wstring> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos)
            end = text.size();
        if (end == start)
            break;
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    values = std::move(result);
    return ERROR_SUCCESS;
}

RegUtil::RegUtil(const wchar_t* pwszName, REGSAM samDesired, DWORD dwFlag)
    : m_wsKeyPath(kSettingsKeyPath), m_samDesired(samDesired) {
    InstallRegistryDiagnostics();
    const std::wstring name = pwszName ? pwszName : L"";
    if (dwFlag & kRegUtilSubkey)
        m_wsKeyPath += L"\\" + name;
    else
        m_wsValueName = name;
}

RegUtil::~RegUtil() {
    if (m_hKey)
        RegCloseKey(m_hKey);
}

LSTATUS RegUtil::OpenKey() {
    if (m_hKey)
        return ERROR_SUCCESS;
    return RegOpenKeyExW(HKEY_CURRENT_USER, m_wsKeyPath.c_str(), 0, m_samDesired, &m_hKey);
}

LSTATUS RegUtil::CreateKey() {
    if (m_hKey)
        return ERROR_SUCCESS;
    return RegCreateKeyExW(HKEY_CURRENT_USER, m_wsKeyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, m_samDesired,
                           nullptr, &m_hKey, nullptr);
}

LSTATUS RegUtil::EnsureOpen() {
    return m_hKey ? ERROR_SUCCESS : OpenKey();
}

void RegUtil::SetName(const wchar_t* pwszValueName) {
    m_wsValueName = pwszValueName ? pwszValueName : L"";
}

LSTATUS RegUtil::SetValue(const void* pData, DWORD cbData) {
    const LSTATUS status = EnsureOpen();
    if (status != ERROR_SUCCESS)
        return status;
    return RegSetValueExW(m_hKey, m_wsValueName.c_str(), 0, m_dwType, static_cast<const BYTE*>(pData), cbData);
}

LSTATUS RegUtil::SetValue(DWORD dwValue) {
    m_dwType = REG_DWORD;
    return SetValue(&dwValue, sizeof dwValue);
}

LSTATUS RegUtil::SetValue(const std::wstring& wsValue) {
    m_dwType = REG_SZ;
    return SetValue(wsValue.c_str(), static_cast<DWORD>((wsValue.size() + 1) * sizeof(wchar_t)));
}

LSTATUS RegUtil::QueryValue(void* pData, DWORD* pcbData) {
    const LSTATUS status = EnsureOpen();
    if (status != ERROR_SUCCESS)
        return status;
    return RegQueryValueExW(m_hKey, m_wsValueName.c_str(), nullptr, &m_dwType, static_cast<BYTE*>(pData), pcbData);
}

LSTATUS RegUtil::QueryValue(DWORD& dwValue) {
    const LSTATUS status = EnsureOpen();
    return status != ERROR_SUCCESS ? status : ReadRegDword(m_hKey, m_wsValueName.c_str(), dwValue, &m_dwType);
}

LSTATUS RegUtil::QueryValue(std::wstring& wsValue) {
    const LSTATUS status = EnsureOpen();
    return status != ERROR_SUCCESS ? status : ReadRegString(m_hKey, m_wsValueName.c_str(), wsValue, &m_dwType);
}

LSTATUS RegUtil::QueryValue(std::vector<std::wstring>& values) {
    const LSTATUS status = EnsureOpen();
    return status != ERROR_SUCCESS ? status : ReadRegMultiString(m_hKey, m_wsValueName.c_str(), values, &m_dwType);
}

LSTATUS RegUtil::DeleteValue() {
    const LSTATUS status = EnsureOpen();
    return status != ERROR_SUCCESS ? status : RegDeleteValueW(m_hKey, m_wsValueName.c_str());
}

}  // namespace Ostrel::Util
