// Minute-based dates of the recurrence blob and their conversion through a time zone.
#include "Ostrel/Store/Calendar/RecurrenceTime.h"

#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi::RecurrenceTime {

namespace {

constexpr ULONGLONG kTicksPerMinute = 600000000ULL;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
LONG DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

const LONG kDays1601 = DaysFromCivil(1601, 1, 1);

bool ToTzi(const Mail::TimeZone* pTimeZone, TIME_ZONE_INFORMATION& tzi) {
    if (!pTimeZone)
        return false;
    pTimeZone->PopulateTimeZoneInfo(tzi);
    return true;
}

}  // namespace

LONG DaysFromDate(const Date& date) {
    return DaysFromCivil(date.iYear, date.iMonth, date.iDay) - kDays1601;
}

Date DateFromDays(LONG lDays) {
    LONG z = lDays + kDays1601 + 719468;
    const LONG era = (z >= 0 ? z : z - 146096) / 146097;
    const LONG doe = z - era * 146097;
    const LONG yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const LONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const LONG mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2));
    return Date{y, m, d};
}

int DaysInMonth(int iYear, int iMonth) {
    return Util::DaysInMonth(iYear, iMonth);
}

bool LocalMinutesToUtc(const Mail::TimeZone* pTimeZone, ULONG ulMinutes, FILETIME& ftUtc) {
    const FILETIME ftLocal = Util::UInt64ToFileTime(ulMinutes * kTicksPerMinute);
    TIME_ZONE_INFORMATION tzi;
    if (!ToTzi(pTimeZone, tzi)) {
        ftUtc = ftLocal;
        return true;
    }
    SYSTEMTIME stLocal, stUtc;
    return Util::FileTimeToSystemTime(&ftLocal, &stLocal) &&
           Util::OsTzSpecificLocalTimeToSystemTime(&tzi, &stLocal, &stUtc) &&
           Util::SystemTimeToFileTime(&stUtc, &ftUtc);
}

bool UtcToLocalMinutes(const Mail::TimeZone* pTimeZone, const FILETIME& ftUtc, ULONG& ulMinutes) {
    FILETIME ftLocal = ftUtc;
    TIME_ZONE_INFORMATION tzi;
    if (ToTzi(pTimeZone, tzi)) {
        SYSTEMTIME stUtc, stLocal;
        if (!Util::FileTimeToSystemTime(&ftUtc, &stUtc) ||
            !Util::SystemTimeToTzSpecificLocalTime(&tzi, &stUtc, &stLocal) ||
            !Util::SystemTimeToFileTime(&stLocal, &ftLocal))
            return false;
    }
    const ULONGLONG ullMinutes = Util::FileTimeToUInt64(ftLocal) / kTicksPerMinute;
    if (ullMinutes > 0xFFFFFFFFULL)
        return false;
    ulMinutes = static_cast<ULONG>(ullMinutes);
    return true;
}

}  // namespace Ostrel::Mapi::RecurrenceTime
