// Time conversions of the utility library: FILETIME, SYSTEMTIME, Unix time and OLE Automation dates,
// time zone rules in the TIME_ZONE_INFORMATION form, the server's date strings, and the locale's
// first day of the week and date formats.
//
// Functions named after Win32 ones keep their Win32 semantics (BOOL results, validation, rule
// handling), because the callers are written against them.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace Ostrel::Util {

// ---- FILETIME, SYSTEMTIME, Unix time -------------------------------------------------------

constexpr ULONGLONG kFileTimeTicksPerSecond = 10000000ULL;
// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ULL;

inline ULONGLONG FileTimeToUInt64(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME UInt64ToFileTime(ULONGLONG ull) {
    return FILETIME{static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)};
}

bool IsLeapYear(int iYear);
// 0 for a month outside 1-12.
int DaysInMonth(int iYear, int iMonth);

// Seconds since 1970-01-01 UTC to FILETIME. Times before 1601 or beyond the FILETIME range give
// FALSE and a zero FILETIME.
BOOL UnixTimeToFileTime(int64_t llUnixSeconds, FILETIME* pft);
// FILETIME to whole seconds since 1970 (rounded down, so times before 1970 are negative).
int64_t FileTimeToUnixTime64(const FILETIME& ft);

// Win32 semantics: FileTimeToSystemTime fails for values with the top bit set; SystemTimeToFileTime
// ignores wDayOfWeek and fails for fields out of range (years 1601-30827).
BOOL FileTimeToSystemTime(const FILETIME* pft, SYSTEMTIME* pst);
BOOL SystemTimeToFileTime(const SYSTEMTIME* pst, FILETIME* pft);

// ---- OLE Automation dates ------------------------------------------------------------------
// Days since 1899-12-30; the fraction is the time of day. Before that day the integer part counts
// backwards while the fraction still counts forwards: -1.25 is 1899-12-29 06:00.

// Years 100-9999 with all fields in range, else FALSE. Milliseconds are kept.
BOOL SystemTimeToVariantTime(const SYSTEMTIME* pst, double* pdDate);
// Rounded to the nearest millisecond; dates outside 0100-01-01 .. 9999-12-31 give FALSE.
BOOL VariantTimeToSystemTime(double dDate, SYSTEMTIME* pst);

// The midnight nearest to the date (noon rounds up), with the negative-date rule above.
// Values that are not finite come back unchanged.
double RoundToNearestDay(double dDate);

// ---- Time zones ----------------------------------------------------------------------------
// A TIME_ZONE_INFORMATION gives Bias (UTC = local + Bias minutes), StandardBias and DaylightBias
// added in each period, and two transition rules: DaylightDate (when daylight time starts, in
// standard wall time) and StandardDate (when it ends, in daylight wall time). A rule with wYear 0
// is the wDay-th (1-4, 5 = last) wDayOfWeek (0 = Sunday) of wMonth every year; a rule with a year
// is that single date. DaylightDate.wMonth 0 means no daylight time (only Bias applies). Rules
// whose daylight period wraps the year end (southern hemisphere) are supported.
//
// A null zone means the machine's zone (see SetLocalTimeZone) with its full history of rules.

// UTC to wall time in the zone.
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* ptzi, const SYSTEMTIME* pstUtc, SYSTEMTIME* pstLocal);
// Wall time in the zone to UTC. A wall time that occurs twice (the hour repeated when daylight time
// ends) is read as daylight time; one that does not exist (skipped when it starts) is also read
// with the daylight bias, as Windows does.
BOOL OsTzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* ptzi, const SYSTEMTIME* pstLocal,
                                       SYSTEMTIME* pstUtc);

// The machine's zone as Windows reports it: bias, this year's rules in the yearly form, names (the
// Windows zone name where one exists). Returns TIME_ZONE_ID_UNKNOWN for a zone without daylight
// time this year, else TIME_ZONE_ID_STANDARD or TIME_ZONE_ID_DAYLIGHT for the current time.
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* ptzi);

// UTC to the machine's local time and back, with the offset in force at that time.
BOOL FileTimeToLocalFileTime(const FILETIME* pftUtc, FILETIME* pftLocal);
BOOL LocalFileTimeToFileTime(const FILETIME* pftLocal, FILETIME* pftUtc);

// Sets the machine's zone for this process (an IANA name such as "Europe/Berlin" or a Windows
// name such as "W. Europe Standard Time"); false for an unknown name. Until it is called the zone
// is the system's (TZ, else /etc/localtime). Call it before other threads convert times: ICU does
// not guard a change of its default zone against concurrent readers.
bool SetLocalTimeZone(std::string_view sZoneId);

// ---- Server date strings -------------------------------------------------------------------

// "YYYYMMDD", or with the time "YYYYMMDDTHHMMSS" followed by "Z" unless bLocalTime is set (the
// date is then wall time, sent without a zone marker). The value is formatted as given, except a
// UTC value written as a date alone, which becomes the machine's local date. An invalid date gives
// the empty string.
std::wstring VariantTimeToOstrelDateStr(double dDate, bool bWithTime, bool bLocalTime);

// dDate is the machine's local time. With a zone, it is converted into that zone and written as
// wall time ("YYYYMMDD" or "YYYYMMDDTHHMMSS", no "Z"); without one it is converted to UTC and
// written as "YYYYMMDDTHHMMSSZ" (or the UTC date "YYYYMMDD"). Failure gives the empty string.
std::wstring VariantTimeToTzSpecificTimeStr(double dDate, bool bWithTime, const TIME_ZONE_INFORMATION* ptzi);

// ---- Locale --------------------------------------------------------------------------------
// The user's locale is that of LC_ALL, else LC_TIME, else LANG (as for the C library's time
// formats); unset or "C"/"POSIX" means US English.

// The first day of the week in the user's locale, numbered as Windows' LOCALE_IFIRSTDAYOFWEEK:
// 0 = Monday ... 6 = Sunday. Code that counts weekdays from Sunday (SYSTEMTIME.wDayOfWeek, the
// recurrence blob) converts with (value + 1) % 7.
int GetFirstDayOfWeek();

// Invariant-locale formatting with Windows date/time pictures: d dd ddd dddd, M MM MMM MMMM,
// y yy yyyy, h hh H HH, m mm, s ss, t tt, and 'quoted literals' ('' is a quote); other characters
// are copied. English day and month names. Example: L"ddd, d MMM yyyy HH:mm:ss".
std::wstring FormatSystemTime(const SYSTEMTIME& st, std::wstring_view wsPicture);
// The invariant locale's short date and time pictures.
inline constexpr const wchar_t* kInvariantShortDate = L"MM/dd/yyyy";
inline constexpr const wchar_t* kInvariantTime = L"HH:mm:ss";

// Reads a date/time written with a numeric picture (d dd M MM yy yyyy h hh H HH m mm s ss t tt and
// literals), the reverse of FormatSystemTime. Fields the picture lacks are 0 (the date 1601-01-01).
// False when the text does not match or gives an invalid date.
bool ParseSystemTime(std::wstring_view wsText, std::wstring_view wsPicture, SYSTEMTIME& st);

// The date and time in the user's locale (its short date and short time forms), for display.
std::wstring FormatSystemTimeForUser(const SYSTEMTIME& st);

}  // namespace Ostrel::Util
