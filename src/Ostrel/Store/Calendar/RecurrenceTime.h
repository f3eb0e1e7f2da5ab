// Dates and times as the recurrence blob keeps them: minutes since 1601-01-01 00:00 in the
// series' local time, a date being the minutes of its midnight.
#pragma once

#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"
#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mapi::RecurrenceTime {

constexpr ULONG kMinutesPerDay = 1440;
constexpr ULONG kMinutesPerWeek = 10080;
// 4500-12-31 23:59, the end date of a series without end.
constexpr ULONG kNoEndDate = 0x5AE980DF;
// FILETIME of 4500-12-31 23:59, the clip end of a series without end.
constexpr ULONGLONG kNoEndClipFileTime = 0x0CB345578019FA00ULL;

struct Date {
    int iYear;
    int iMonth;  // 1-12
    int iDay;    // 1-31
};

// Days since 1601-01-01 of a Gregorian date (valid dates only) and back.
LONG DaysFromDate(const Date& date);
Date DateFromDays(LONG lDays);
inline ULONG MinutesFromDate(const Date& date) {
    return static_cast<ULONG>(DaysFromDate(date)) * kMinutesPerDay;
}
inline Date DateFromMinutes(ULONG ulMinutes) {
    return DateFromDays(static_cast<LONG>(ulMinutes / kMinutesPerDay));
}
inline ULONG Midnight(ULONG ulMinutes) {
    return ulMinutes - ulMinutes % kMinutesPerDay;
}
// 0 = Sunday ... 6 = Saturday (1601-01-01 was a Monday). Days before it (the start of a lunar
// month that began in 1600) count too.
inline int WeekdayOfDays(LONG lDays) {
    return static_cast<int>(((lDays + 1) % 7 + 7) % 7);
}
inline int WeekdayOfMinutes(ULONG ulMinutes) {
    return WeekdayOfDays(static_cast<LONG>(ulMinutes / kMinutesPerDay));
}
int DaysInMonth(int iYear, int iMonth);
// Months since January 1601 and back (the first day of that month).
inline LONG MonthIndex(const Date& date) {
    return (date.iYear - 1601) * 12 + date.iMonth - 1;
}
inline Date FirstOfMonth(LONG lMonthIndex) {
    return Date{1601 + lMonthIndex / 12, 1 + lMonthIndex % 12, 1};
}

// Local minutes in the zone to a UTC FILETIME and back (the zone's current rule, as Outlook
// applies it to a series). A null zone keeps the time as it is. False for times outside
// the FILETIME range.
bool LocalMinutesToUtc(const Mail::TimeZone* pTimeZone, ULONG ulMinutes, FILETIME& ftUtc);
bool UtcToLocalMinutes(const Mail::TimeZone* pTimeZone, const FILETIME& ftUtc, ULONG& ulMinutes);

}  // namespace Ostrel::Mapi::RecurrenceTime
