// Time zone conversions: rules given as TIME_ZONE_INFORMATION, and the machine's zone through ICU.
#include "Util/Time/TimeUtil.h"

#include "Util/Time/Clock.h"
#include "Util/Time/TimeUtilInternal.h"

#include <unicode/basictz.h>
#include <unicode/timezone.h>
#include <unicode/tztrans.h>

#include <cstring>
#include <memory>
#include <optional>

namespace Ostrel::Util {

using namespace TimeDetail;

namespace {

constexpr int64_t kMsPerMinute = 60000;

bool IsValidRule(const SYSTEMTIME& rule) {
    if (rule.wMonth < 1 || rule.wMonth > 12 || rule.wHour > 23 || rule.wMinute > 59 || rule.wSecond > 59 ||
        rule.wMilliseconds > 999)
        return false;
    if (rule.wYear == 0)
        return rule.wDay >= 1 && rule.wDay <= 5 && rule.wDayOfWeek <= 6;
    return IsValidSystemTime(rule, 1601, 30827);
}

// The wall time (ms since 1970) at which a rule fires in a year; an absolute rule ignores the year.
int64_t RuleWallTime(const SYSTEMTIME& rule, int64_t iYear) {
    SYSTEMTIME st = rule;
    if (rule.wYear == 0) {
        st.wYear = static_cast<WORD>(iYear);
        const int64_t llFirst = DaysFromCivil(iYear, rule.wMonth, 1);
        const int iFirstDow = static_cast<int>(((llFirst + 4) % 7 + 7) % 7);
        int iDay = 1 + (rule.wDayOfWeek - iFirstDow + 7) % 7 + (rule.wDay - 1) * 7;
        while (iDay > DaysInMonth(static_cast<int>(iYear), rule.wMonth))
            iDay -= 7;  // week 5 means the last one
        st.wDay = static_cast<WORD>(iDay);
    }
    return SystemTimeToUnixMs(st);
}

int64_t YearOf(int64_t llMs) {
    int64_t iYear = 0;
    int iMonth = 0, iDay = 0;
    CivilFromDays(FloorDiv(llMs, kMsPerDay), iYear, iMonth, iDay);
    return iYear;
}

bool HasDaylightRules(const TIME_ZONE_INFORMATION& tzi) {
    return tzi.DaylightDate.wMonth != 0;
}

// Whether daylight time is in force, given the moment as standard wall time and as daylight wall
// time (the same value when the caller has a wall time, two values when it has UTC).
std::optional<bool> IsDaylight(const TIME_ZONE_INFORMATION& tzi, int64_t llStdWall, int64_t llDstWall) {
    if (!IsValidRule(tzi.DaylightDate) || !IsValidRule(tzi.StandardDate))
        return std::nullopt;
    const int64_t iYear = YearOf(llStdWall);
    const int64_t llDaylightStart = RuleWallTime(tzi.DaylightDate, iYear);
    const int64_t llStandardStart = RuleWallTime(tzi.StandardDate, iYear);
    const bool bAfterDaylightStart = llStdWall >= llDaylightStart;

    // Near New Year the daylight wall time can lie in the next year while the yearly rule for the
    // end of daylight time was placed in this one: then that end is in the past, not the future.
    const int64_t iDstYear = YearOf(llDstWall);
    bool bBeforeStandardStart;
    if (tzi.StandardDate.wYear == 0 && iDstYear != iYear)
        bBeforeStandardStart = iDstYear < iYear;
    else
        bBeforeStandardStart = llDstWall < RuleWallTime(tzi.StandardDate, iDstYear);

    if (llDaylightStart < llStandardStart)  // daylight time within one calendar year
        return bAfterDaylightStart && bBeforeStandardStart;
    return bAfterDaylightStart || bBeforeStandardStart;  // southern hemisphere: it spans New Year
}

// FILETIME range in milliseconds since 1970 (years 1601-30827).
bool InFileTimeRange(int64_t llMs) {
    SYSTEMTIME st = UnixMsToSystemTime(llMs);
    return llMs >= -11644473600000LL && st.wYear <= 30827;
}

UDate ToUDate(int64_t llUnixMs) {
    return static_cast<UDate>(llUnixMs);
}

std::unique_ptr<icu::TimeZone> MachineZone() {
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault());
}

// Offset of the machine's zone (ms to add to UTC) at a UTC moment.
std::optional<int64_t> MachineOffsetAtUtc(int64_t llUtcMs) {
    auto zone = MachineZone();
    if (!zone)
        return std::nullopt;
    int32_t iRaw = 0, iDst = 0;
    UErrorCode err = U_ZERO_ERROR;
    zone->getOffset(ToUDate(llUtcMs), false, iRaw, iDst, err);
    if (U_FAILURE(err))
        return std::nullopt;
    return static_cast<int64_t>(iRaw) + iDst;
}

// Offset of the machine's zone at a wall time; repeated and skipped wall times are read as
// daylight time, matching the rule-based conversion.
std::optional<int64_t> MachineOffsetAtWall(int64_t llWallMs) {
    auto zone = MachineZone();
    if (!zone)
        return std::nullopt;
    int32_t iRaw = 0, iDst = 0;
    UErrorCode err = U_ZERO_ERROR;
    if (auto* pBasic = dynamic_cast<icu::BasicTimeZone*>(zone.get()))
        pBasic->getOffsetFromLocal(ToUDate(llWallMs), UCAL_TZ_LOCAL_DAYLIGHT_LATTER, UCAL_TZ_LOCAL_DAYLIGHT_FORMER,
                                   iRaw, iDst, err);
    else
        zone->getOffset(ToUDate(llWallMs), true, iRaw, iDst, err);
    if (U_FAILURE(err))
        return std::nullopt;
    return static_cast<int64_t>(iRaw) + iDst;
}

BOOL StoreIfInRange(int64_t llMs, SYSTEMTIME* pst) {
    if (!InFileTimeRange(llMs))
        return FALSE;
    *pst = UnixMsToSystemTime(llMs);
    return TRUE;
}

std::optional<int64_t> UtcToMachineLocal(int64_t llUtcMs) {
    auto offset = MachineOffsetAtUtc(llUtcMs);
    return offset ? std::optional<int64_t>(llUtcMs + *offset) : std::nullopt;
}

std::optional<int64_t> MachineLocalToUtc(int64_t llWallMs) {
    auto offset = MachineOffsetAtWall(llWallMs);
    return offset ? std::optional<int64_t>(llWallMs - *offset) : std::nullopt;
}

void CopyName(uint16_t (&dest)[32], const icu::UnicodeString& name) {
    std::memset(dest, 0, sizeof dest);
    const int32_t cch = std::min<int32_t>(name.length(), 31);
    for (int32_t i = 0; i < cch; ++i)
        dest[i] = name.charAt(i);
}

// A transition as a yearly rule: the wall time before it, with the week of the month (5 when it is
// the last such weekday of the month, which keeps "last Sunday" rules right in other years).
SYSTEMTIME TransitionRule(int64_t llWallMs) {
    SYSTEMTIME st = UnixMsToSystemTime(llWallMs);
    const int iWeek = st.wDay + 7 > DaysInMonth(st.wYear, st.wMonth) ? 5 : (st.wDay - 1) / 7 + 1;
    st.wYear = 0;
    st.wDay = static_cast<WORD>(iWeek);
    return st;
}

}  // namespace

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* ptzi, const SYSTEMTIME* pstUtc,
                                     SYSTEMTIME* pstLocal) {
    if (!pstUtc || !pstLocal || !IsValidSystemTime(*pstUtc, 1601, 30827))
        return FALSE;
    const int64_t llUtc = SystemTimeToUnixMs(*pstUtc);
    if (!ptzi) {
        auto local = UtcToMachineLocal(llUtc);
        return local ? StoreIfInRange(*local, pstLocal) : FALSE;
    }
    int64_t llBias = ptzi->Bias;
    if (HasDaylightRules(*ptzi)) {
        const int64_t llStdWall = llUtc - (ptzi->Bias + ptzi->StandardBias) * kMsPerMinute;
        const int64_t llDstWall = llUtc - (ptzi->Bias + ptzi->DaylightBias) * kMsPerMinute;
        auto bDaylight = IsDaylight(*ptzi, llStdWall, llDstWall);
        if (!bDaylight)
            return FALSE;
        llBias += *bDaylight ? ptzi->DaylightBias : ptzi->StandardBias;
    }
    return StoreIfInRange(llUtc - llBias * kMsPerMinute, pstLocal);
}

BOOL OsTzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* ptzi, const SYSTEMTIME* pstLocal,
                                       SYSTEMTIME* pstUtc) {
    if (!pstLocal || !pstUtc || !IsValidSystemTime(*pstLocal, 1601, 30827))
        return FALSE;
    const int64_t llWall = SystemTimeToUnixMs(*pstLocal);
    if (!ptzi) {
        auto utc = MachineLocalToUtc(llWall);
        return utc ? StoreIfInRange(*utc, pstUtc) : FALSE;
    }
    int64_t llBias = ptzi->Bias;
    if (HasDaylightRules(*ptzi)) {
        auto bDaylight = IsDaylight(*ptzi, llWall, llWall);
        if (!bDaylight)
            return FALSE;
        llBias += *bDaylight ? ptzi->DaylightBias : ptzi->StandardBias;
    }
    return StoreIfInRange(llWall + llBias * kMsPerMinute, pstUtc);
}

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* ptzi) {
    if (!ptzi)
        return TIME_ZONE_ID_INVALID;
    *ptzi = TIME_ZONE_INFORMATION{};
    auto zone = MachineZone();
    if (!zone)
        return TIME_ZONE_ID_INVALID;

    const int64_t llNowMs = FileTimeToUnixTime64(CurrentClock().GetSystemTimeAsFileTime()) * 1000;
    int32_t iRaw = 0, iDst = 0;
    UErrorCode err = U_ZERO_ERROR;
    zone->getOffset(ToUDate(llNowMs), false, iRaw, iDst, err);
    if (U_FAILURE(err))
        return TIME_ZONE_ID_INVALID;
    ptzi->Bias = -static_cast<LONG>(iRaw / kMsPerMinute);

    icu::UnicodeString id, windowsId;
    zone->getID(id);
    err = U_ZERO_ERROR;
    icu::TimeZone::getWindowsID(id, windowsId, err);
    if (U_FAILURE(err) || windowsId.isEmpty())
        windowsId = id;
    CopyName(ptzi->StandardName, windowsId);
    icu::UnicodeString daylightName = windowsId;
    daylightName.findAndReplace(u"Standard", u"Daylight");
    CopyName(ptzi->DaylightName, daylightName);

    // This year's transitions into and out of daylight time become the yearly rules.
    auto* pBasic = dynamic_cast<icu::BasicTimeZone*>(zone.get());
    if (!pBasic)
        return TIME_ZONE_ID_UNKNOWN;
    const int64_t iYear = YearOf(llNowMs);
    const int64_t llYearStart = DaysFromCivil(iYear, 1, 1) * kMsPerDay;
    const int64_t llYearEnd = DaysFromCivil(iYear + 1, 1, 1) * kMsPerDay;
    bool bHaveStart = false, bHaveEnd = false;
    icu::TimeZoneTransition transition;
    UDate when = ToUDate(llYearStart - kMsPerDay);
    while (pBasic->getNextTransition(when, false, transition) &&
           transition.getTime() < ToUDate(llYearEnd + kMsPerDay)) {
        when = transition.getTime();
        const icu::TimeZoneRule* pFrom = transition.getFrom();
        const icu::TimeZoneRule* pTo = transition.getTo();
        if (!pFrom || !pTo)
            continue;
        const int64_t llWallBefore = static_cast<int64_t>(when) + pFrom->getRawOffset() + pFrom->getDSTSavings();
        if (YearOf(llWallBefore) != iYear)
            continue;
        if (pFrom->getDSTSavings() == 0 && pTo->getDSTSavings() != 0 && !bHaveStart) {
            ptzi->DaylightDate = TransitionRule(llWallBefore);
            ptzi->DaylightBias = -static_cast<LONG>(pTo->getDSTSavings() / kMsPerMinute);
            bHaveStart = true;
        } else if (pFrom->getDSTSavings() != 0 && pTo->getDSTSavings() == 0 && !bHaveEnd) {
            ptzi->StandardDate = TransitionRule(llWallBefore);
            bHaveEnd = true;
        }
    }
    if (!bHaveStart || !bHaveEnd) {
        ptzi->DaylightDate = SYSTEMTIME{};
        ptzi->StandardDate = SYSTEMTIME{};
        ptzi->DaylightBias = 0;
        return TIME_ZONE_ID_UNKNOWN;
    }
    return iDst != 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

BOOL FileTimeToLocalFileTime(const FILETIME* pftUtc, FILETIME* pftLocal) {
    SYSTEMTIME stUtc, stLocal;
    if (!pftLocal || !FileTimeToSystemTime(pftUtc, &stUtc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &stUtc, &stLocal))
        return FALSE;
    // Keep the sub-millisecond ticks that SYSTEMTIME cannot hold.
    FILETIME ft;
    if (!SystemTimeToFileTime(&stLocal, &ft))
        return FALSE;
    *pftLocal = UInt64ToFileTime(FileTimeToUInt64(ft) + FileTimeToUInt64(*pftUtc) % 10000);
    return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* pftLocal, FILETIME* pftUtc) {
    SYSTEMTIME stLocal, stUtc;
    if (!pftUtc || !FileTimeToSystemTime(pftLocal, &stLocal) ||
        !OsTzSpecificLocalTimeToSystemTime(nullptr, &stLocal, &stUtc))
        return FALSE;
    FILETIME ft;
    if (!SystemTimeToFileTime(&stUtc, &ft))
        return FALSE;
    *pftUtc = UInt64ToFileTime(FileTimeToUInt64(ft) + FileTimeToUInt64(*pftLocal) % 10000);
    return TRUE;
}

bool SetLocalTimeZone(std::string_view sZoneId) {
    const icu::UnicodeString id = icu::UnicodeString::fromUTF8(icu::StringPiece(sZoneId.data(), sZoneId.size()));
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(id));
    icu::UnicodeString found;
    if (!zone || zone->getID(found) == icu::UnicodeString(u"Etc/Unknown")) {
        icu::UnicodeString ianaId;
        UErrorCode err = U_ZERO_ERROR;
        icu::TimeZone::getIDForWindowsID(id, nullptr, ianaId, err);
        if (U_FAILURE(err) || ianaId.isEmpty())
            return false;
        zone.reset(icu::TimeZone::createTimeZone(ianaId));
        if (!zone)
            return false;
    }
    icu::TimeZone::adoptDefault(zone.release());
    return true;
}

std::wstring VariantTimeToTzSpecificTimeStr(double dDate, bool bWithTime, const TIME_ZONE_INFORMATION* ptzi) {
    SYSTEMTIME stLocal, stUtc;
    if (!VariantTimeToSystemTime(dDate, &stLocal) || !OsTzSpecificLocalTimeToSystemTime(nullptr, &stLocal, &stUtc))
        return std::wstring();
    if (!ptzi)
        return FormatOstrelDate(stUtc, bWithTime, true);
    SYSTEMTIME stZone;
    if (!SystemTimeToTzSpecificLocalTime(ptzi, &stUtc, &stZone))
        return std::wstring();
    return FormatOstrelDate(stZone, bWithTime, false);
}

}  // namespace Ostrel::Util
