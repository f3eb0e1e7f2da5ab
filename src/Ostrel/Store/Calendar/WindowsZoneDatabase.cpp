// Building the Windows time zone database from ICU and CLDR.
#include "Ostrel/Store/Calendar/WindowsZoneDatabase.h"

#include "Ostrel/Store/Calendar/WinZonesTZMapper.h"
#include "Platform/Base/Utf.h"
#include "Platform/Registry/Registry.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "Util/Time/TimeUtil.h"

#include <unicode/basictz.h>
#include <unicode/dtrule.h>
#include <unicode/timezone.h>
#include <unicode/tzrule.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace Ostrel::Mapi {

namespace {

constexpr int32_t kMillisPerMinute = 60000;
constexpr int32_t kMillisPerDay = 86400000;

// A yearly ICU rule as a Windows transition date: the week-th weekday of the month at a wall
// time. iShiftMillis turns the rule's time into the wall time Windows expects.
SYSTEMTIME TransitionDate(const icu::DateTimeRule& rule, int32_t iShiftMillis) {
    SYSTEMTIME st{};
    st.wMonth = static_cast<WORD>(rule.getRuleMonth() + 1);
    const int iDayOfMonth = rule.getRuleDayOfMonth();
    const int cDays = Util::DaysInMonth(2001, st.wMonth);  // a common year: February has 28
    switch (rule.getDateRuleType()) {
        case icu::DateTimeRule::DOW: {
            const int iWeek = rule.getRuleWeekInMonth();
            st.wDayOfWeek = static_cast<WORD>(rule.getRuleDayOfWeek() - 1);
            st.wDay = static_cast<WORD>(iWeek < 0 || iWeek > 4 ? 5 : iWeek);
            break;
        }
        case icu::DateTimeRule::DOW_GEQ_DOM:
            st.wDayOfWeek = static_cast<WORD>(rule.getRuleDayOfWeek() - 1);
            st.wDay = static_cast<WORD>(iDayOfMonth > cDays - 7 ? 5 : (iDayOfMonth - 1) / 7 + 1);
            break;
        case icu::DateTimeRule::DOW_LEQ_DOM:  // the week of the first of the seven days it may fall on
            st.wDayOfWeek = static_cast<WORD>(rule.getRuleDayOfWeek() - 1);
            st.wDay = static_cast<WORD>(iDayOfMonth >= cDays ? 5 : std::max(1, iDayOfMonth / 7));
            break;
        default:  // a fixed day: the week it falls in, on a Sunday (Windows has no fixed-day rule)
            st.wDayOfWeek = 0;
            st.wDay = static_cast<WORD>((iDayOfMonth - 1) / 7 + 1);
            break;
    }
    int32_t iMillis = rule.getRuleMillisInDay() + iShiftMillis;
    // Windows cannot move the day; keep the transition within it, to the minute.
    iMillis = std::clamp(iMillis, 0, kMillisPerDay - kMillisPerMinute);
    st.wHour = static_cast<WORD>(iMillis / 3600000);
    st.wMinute = static_cast<WORD>(iMillis / kMillisPerMinute % 60);
    return st;
}

// "+01:00" style offset of minutes east of UTC.
std::wstring Offset(int32_t iMinutes) {
    wchar_t wsz[16];
    std::swprintf(wsz, 16, L"%lc%02d:%02d", iMinutes < 0 ? L'-' : L'+', std::abs(iMinutes) / 60,
                  std::abs(iMinutes) % 60);
    return wsz;
}

// The city of an IANA identifier as people write it: "America/New_York" -> "New York".
std::wstring City(const std::wstring& wsId) {
    std::wstring ws = wsId.substr(wsId.rfind(L'/') == std::wstring::npos ? 0 : wsId.rfind(L'/') + 1);
    for (wchar_t& c : ws)
        if (c == L'_')
            c = L' ';
    return ws;
}

LSTATUS SetString(HKEY hKey, const wchar_t* pwszName, const std::wstring& ws) {
    return RegSetValueExW(hKey, pwszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(ws.c_str()),
                          static_cast<DWORD>((ws.size() + 1) * sizeof(wchar_t)));
}

struct WindowsZone {
    std::wstring wsMainId;
    std::vector<std::wstring> vecCities;
};

}  // namespace

bool WindowsTziForZone(const std::wstring& wsIanaId, Mail::TimeZone::_TZI& tzi) {
    std::memset(&tzi, 0, sizeof tzi);
    std::unique_ptr<icu::TimeZone> pZone(
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(Platform::ToUtf8(wsIanaId))));
    auto* pBasic = dynamic_cast<icu::BasicTimeZone*>(pZone.get());
    if (!pBasic || *pZone == icu::TimeZone::getUnknown())
        return false;
    const FILETIME ftNow = Util::CurrentClock().GetSystemTimeAsFileTime();
    const UDate now = static_cast<UDate>(Util::FileTimeToUnixTime64(ftNow)) * 1000.0;
    UErrorCode err = U_ZERO_ERROR;
    icu::InitialTimeZoneRule* pInitial = nullptr;
    icu::AnnualTimeZoneRule* pStandard = nullptr;
    icu::AnnualTimeZoneRule* pDaylight = nullptr;
    pBasic->getSimpleRulesNear(now, pInitial, pStandard, pDaylight, err);
    std::unique_ptr<icu::InitialTimeZoneRule> initial(pInitial);
    std::unique_ptr<icu::AnnualTimeZoneRule> standard(pStandard), daylight(pDaylight);
    if (U_FAILURE(err) || !initial)
        return false;
    if (!standard || !daylight) {
        tzi.Bias = -(initial->getRawOffset() + initial->getDSTSavings()) / kMillisPerMinute;
        return true;
    }
    const int32_t iRaw = standard->getRawOffset();
    const int32_t iSavings = daylight->getDSTSavings();
    tzi.Bias = -iRaw / kMillisPerMinute;
    tzi.DaylightBias = -iSavings / kMillisPerMinute;
    // Daylight time starts at a standard wall time; standard time starts at a daylight one.
    auto Shift = [&](const icu::DateTimeRule& rule, bool bIntoDaylight) {
        switch (rule.getTimeRuleType()) {
            case icu::DateTimeRule::UTC_TIME:
                return iRaw + (bIntoDaylight ? 0 : iSavings);
            case icu::DateTimeRule::STANDARD_TIME:
                return bIntoDaylight ? 0 : iSavings;
            default:
                return 0;
        }
    };
    const icu::DateTimeRule* pIntoDaylight = daylight->getRule();
    const icu::DateTimeRule* pIntoStandard = standard->getRule();
    tzi.DaylightDate = TransitionDate(*pIntoDaylight, Shift(*pIntoDaylight, true));
    tzi.StandardDate = TransitionDate(*pIntoStandard, Shift(*pIntoStandard, false));
    return true;
}

HRESULT GenerateWindowsZoneDatabase(const std::filesystem::path& windowsZonesXml) {
    std::vector<WinZonesTZMapper::MapZone> vecMapZones;
    HRESULT hr = WinZonesTZMapper::ReadMapZones(windowsZonesXml, vecMapZones);
    if (FAILED(hr))
        return hr;
    std::map<std::wstring, WindowsZone> zones;
    for (const auto& mapZone : vecMapZones) {
        WindowsZone& zone = zones[mapZone.wsOther];
        if (mapZone.wsTerritory == L"001")
            zone.wsMainId = mapZone.wsType;
        size_t iPos = 0;
        while (iPos < mapZone.wsType.size()) {
            size_t iEnd = mapZone.wsType.find(L' ', iPos);
            if (iEnd == std::wstring::npos)
                iEnd = mapZone.wsType.size();
            const std::wstring wsCity = City(mapZone.wsType.substr(iPos, iEnd - iPos));
            if (!wsCity.empty() &&
                std::find(zone.vecCities.begin(), zone.vecCities.end(), wsCity) == zone.vecCities.end())
                zone.vecCities.push_back(wsCity);
            iPos = iEnd + 1;
        }
    }

    // Hundreds of values: store the hive once, not once per value.
    Platform::RegWriteBatch batch(HKEY_LOCAL_MACHINE);
    HKEY hRoot = nullptr;
    LSTATUS ls = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTimeZonesKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &hRoot, nullptr);
    if (ls != ERROR_SUCCESS) {
        OSTLOG_ERROR(L"Error creating key %s : 0x%x", kTimeZonesKey, static_cast<unsigned>(ls));
        return HRESULT_FROM_WIN32(static_cast<uint32_t>(ls));
    }
    size_t cWritten = 0;
    for (const auto& [wsName, zone] : zones) {
        Mail::TimeZone::_TZI tzi;
        if (zone.wsMainId.empty() || !WindowsTziForZone(zone.wsMainId, tzi))
            continue;
        std::wstring wsDisplay = L"(UTC" + (tzi.Bias ? Offset(-tzi.Bias) : std::wstring(L"+00:00")) + L")";
        for (size_t i = 0; i < zone.vecCities.size(); ++i)
            wsDisplay += (i ? L", " : L" ") + zone.vecCities[i];
        HKEY hZone = nullptr;
        ls = RegCreateKeyExW(hRoot, wsName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                             &hZone, nullptr);
        if (ls == ERROR_SUCCESS) {
            ls = RegSetValueExW(hZone, L"TZI", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&tzi), sizeof tzi);
            if (ls == ERROR_SUCCESS)
                ls = SetString(hZone, L"Display", wsDisplay);
            RegCloseKey(hZone);
        }
        if (ls != ERROR_SUCCESS) {
            OSTLOG_ERROR(L"Error writing time zone %s : 0x%x", wsName.c_str(), static_cast<unsigned>(ls));
            RegCloseKey(hRoot);
            return HRESULT_FROM_WIN32(static_cast<uint32_t>(ls));
        }
        ++cWritten;
    }
    RegCloseKey(hRoot);
    ls = batch.Commit();
    if (ls != ERROR_SUCCESS) {
        OSTLOG_ERROR(L"Error writing key %s : 0x%x", kTimeZonesKey, static_cast<unsigned>(ls));
        return HRESULT_FROM_WIN32(static_cast<uint32_t>(ls));
    }
    OSTLOG_INFO(4, L"Windows time zone database: %d zones written", static_cast<int>(cWritten));
    return S_OK;
}

}  // namespace Ostrel::Mapi
