// Windows zone names from the registry's time zone database.
#include "Ostrel/Store/Calendar/RegTZMapper.h"

#include "Ostrel/Store/Calendar/WinZonesTZMapper.h"
#include "Ostrel/Store/Calendar/WindowsZoneDatabase.h"
#include "Platform/Mapi/MapiDefs.h"
#include "Platform/Registry/Registry.h"
#include "Util/Log/Log.h"

#include <cstring>

namespace Ostrel::Mapi {

namespace {

// Display names are kept without their "(UTC" or "(GMT" prefix.
std::wstring DisplayKey(const std::wstring& wsName) {
    std::wstring ws = LowerZoneName(wsName);
    if (ws.rfind(L"(utc", 0) == 0 || ws.rfind(L"(gmt", 0) == 0)
        ws.erase(0, 4);
    return ws;
}

bool SameRules(const Mail::TimeZone::_TZI& a, const Mail::TimeZone::_TZI& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A REG_SZ value as text (wchar_t units with a terminator), or empty.
std::wstring QueryString(HKEY hKey, const wchar_t* pwszName) {
    DWORD dwType = 0, cb = 0;
    if (RegQueryValueExW(hKey, pwszName, nullptr, &dwType, nullptr, &cb) != ERROR_SUCCESS || dwType != REG_SZ)
        return {};
    std::wstring ws(cb / sizeof(wchar_t), L'\0');
    if (RegQueryValueExW(hKey, pwszName, nullptr, &dwType, reinterpret_cast<BYTE*>(ws.data()), &cb) != ERROR_SUCCESS)
        return {};
    ws.resize(std::wcslen(ws.c_str()));
    return ws;
}

}  // namespace

RegTZMapper& RegTZMapper::Instance() {
    static RegTZMapper s_mapper;
    return s_mapper;
}

HRESULT RegTZMapper::Load() {
    if (!m_bLoaded) {
        m_hrLoad = LoadFromRegistry();
        m_bLoaded = true;
    }
    return m_hrLoad;
}

HRESULT RegTZMapper::LoadFromRegistry() {
    HKEY hRoot = nullptr;
    LSTATUS ls = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTimeZonesKey, 0, KEY_READ, &hRoot);
    // This system's registry starts without Windows' zone database; it is built on first use.
    if (ls == ERROR_FILE_NOT_FOUND && SUCCEEDED(GenerateWindowsZoneDatabase(WinZonesTZMapper::DefaultPath())))
        ls = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTimeZonesKey, 0, KEY_READ, &hRoot);
    if (ls != ERROR_SUCCESS) {
        OSTLOG_ERROR(L"Error opening key %s : 0x%x", kTimeZonesKey, static_cast<unsigned>(ls));
        return HRESULT_FROM_WIN32(static_cast<uint32_t>(ls));
    }
    for (DWORD i = 0;; ++i) {
        wchar_t wszName[REG_MAX_KEY_NAME + 1];
        DWORD cchName = REG_MAX_KEY_NAME + 1;
        if (RegEnumKeyExW(hRoot, i, wszName, &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY hZone = nullptr;
        if (RegOpenKeyExW(hRoot, wszName, 0, KEY_READ, &hZone) != ERROR_SUCCESS)
            continue;
        Record record{wszName, QueryString(hZone, L"Display"), {}};
        DWORD dwType = 0, cb = sizeof record.tzi;
        const LSTATUS lsTzi =
            RegQueryValueExW(hZone, L"TZI", nullptr, &dwType, reinterpret_cast<BYTE*>(&record.tzi), &cb);
        RegCloseKey(hZone);
        if (lsTzi != ERROR_SUCCESS || dwType != REG_BINARY || cb != sizeof record.tzi)
            continue;
        const size_t iRecord = m_vecRecords.size();
        m_byBias.emplace(record.tzi.Bias, iRecord);
        m_byKeyName.emplace(LowerZoneName(record.wsKeyName), iRecord);
        m_byDisplayName.emplace(DisplayKey(record.wsDisplayName), iRecord);
        m_vecRecords.push_back(std::move(record));
    }
    RegCloseKey(hRoot);
    return S_OK;
}

HRESULT RegTZMapper::ConvertToWinTZ(Mail::TimeZone& tz) {
    std::lock_guard<std::mutex> lock(m_mutex);
    HRESULT hr = Load();
    if (FAILED(hr))
        return hr;
    const std::wstring wsOriginal = tz.GetId() ? tz.GetId() : L"";
    if (m_byDisplayName.count(DisplayKey(wsOriginal)))
        return S_OK;
    std::wstring wsId = LowerZoneName(wsOriginal);
    if (const size_t iSlash = wsId.find(L'/'); iSlash != std::wstring::npos)
        wsId.erase(0, iSlash + 1);
    // Identifiers write blanks as underscores ("new_york"); display names do not.
    for (wchar_t& c : wsId)
        if (c == L'_')
            c = L' ';

    Mail::TimeZone::_TZI tzi;
    tz.PopulateTimeZoneInfo(tzi);
    const Record* pFirst = nullptr;
    const Record* pNamed = nullptr;
    auto [it, end] = m_byBias.equal_range(tzi.Bias);
    for (; it != end && !pNamed; ++it) {
        const Record& record = m_vecRecords[it->second];
        if (!SameRules(record.tzi, tzi))
            continue;
        if (!pFirst)
            pFirst = &record;
        if (!wsId.empty() && LowerZoneName(record.wsDisplayName).find(wsId) != std::wstring::npos)
            pNamed = &record;
    }
    const Record* pWinner = pNamed ? pNamed : pFirst;
    if (!pWinner) {
        OSTLOG_ERROR(L"Failed to convert '%s' to a Windows TZ name", wsOriginal.c_str());
        return MAPI_E_NOT_FOUND;
    }
    tz.SetId(pWinner->wsKeyName.c_str());
    return S_OK;
}

HRESULT RegTZMapper::GuessWinTZIDFromPR_TIMEZONE_STRUCT_LEGACY(const Mail::TimeZone::OlkTimeZone& olk,
                                                               std::wstring& wsKeyName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    HRESULT hr = Load();
    if (FAILED(hr))
        return hr;
    Mail::TimeZone::_TZI tzi;
    std::memset(&tzi, 0, sizeof tzi);
    tzi.Bias = olk.lBias;
    // Without daylight dates the other biases never apply; writers fill them in differently
    // (Windows often with -60), so only the bias decides.
    if (olk.stStandardDate.wMonth != 0 || olk.stDaylightDate.wMonth != 0) {
        tzi.StandardBias = olk.lStandardBias;
        tzi.DaylightBias = olk.lDaylightBias;
        tzi.StandardDate = olk.stStandardDate;
        tzi.DaylightDate = olk.stDaylightDate;
    }
    auto [it, end] = m_byBias.equal_range(tzi.Bias);
    for (; it != end; ++it) {
        const Record& record = m_vecRecords[it->second];
        if (SameRules(record.tzi, tzi)) {
            OSTLOG_INFO(16, L"WinTZID '%s' has matching TZI", record.wsKeyName.c_str());
            wsKeyName = record.wsKeyName;
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT RegTZMapper::LookupByDisplayName(const std::wstring& wsName, Record& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    HRESULT hr = Load();
    if (FAILED(hr))
        return hr;
    auto it = m_byDisplayName.find(DisplayKey(wsName));
    if (it == m_byDisplayName.end())
        return MAPI_E_NOT_FOUND;
    record = m_vecRecords[it->second];
    return S_OK;
}

HRESULT RegTZMapper::LookupByKeyName(const std::wstring& wsName, Record& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    HRESULT hr = Load();
    if (FAILED(hr))
        return hr;
    auto it = m_byKeyName.find(LowerZoneName(wsName));
    if (it == m_byKeyName.end())
        return MAPI_E_NOT_FOUND;
    record = m_vecRecords[it->second];
    return S_OK;
}

}  // namespace Ostrel::Mapi
