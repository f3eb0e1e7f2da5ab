// The server's date strings turned into Windows and Outlook time values.
//
// A server date string is "YYYYMMDD", "YYYYMMDDTHHMM" or "YYYYMMDDTHHMMSS", optionally ending in
// "Z" (the time is UTC; without it the time is wall time in the item's zone, or floating local
// time). Minutes are the finest unit kept: seconds are checked but not read. Anything else,
// including dates that do not exist, is refused. With bIsUnixTime the text is instead a decimal
// number of seconds since 1970 (UTC).
//
// "Local" is the machine's zone (Util::SetLocalTimeZone). All functions return non-zero on
// success; on failure they log why and their output is undefined.
#pragma once

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mail {

class TimeZone;

// The date and time as written (UTC when the text ends in "Z", else wall time).
BOOL DateStringToSYSTEMTIME(const wchar_t* pwszDate, SYSTEMTIME& st, BOOL bIsUnixTime = FALSE);
// As above, with UTC texts (and Unix times) converted to the machine's local time.
BOOL DateStringToLocalSYSTEMTIME(const wchar_t* pwszDate, SYSTEMTIME& st, BOOL bIsUnixTime = FALSE);
BOOL DateStringToLocalFILETIME(const wchar_t* pwszDate, FILETIME& ft, BOOL bIsUnixTime = FALSE);
// -1.0 on failure.
double DateStringToLocalDouble(const wchar_t* pwszDate, BOOL bIsUnixTime = FALSE);

// The machine-local OLE date of a date string; a text without "Z" is wall time in pTz (required).
BOOL ConvertTzDateStringToLocalDouble(const wchar_t* pwszDate, const TimeZone* pTz, double& dLocal);
// The OLE date of a date string as wall time in pTz: a text without "Z" is taken unchanged, a UTC
// text is converted into pTz, or into the machine's zone when pTz is null.
BOOL ConvertDateStringToTzDouble(const wchar_t* pwszDate, const TimeZone* pTz, double& dTzTime);
// The UTC FILETIME of a date string; a text without "Z" is wall time in pTz (null: the machine's).
BOOL ConvertDateStringToUTC(const wchar_t* pwszDate, const TimeZone* pTz, FILETIME* pftDate);
// An OLE date in pTz (null: UTC) to a machine-local OLE date.
BOOL ConvertTzDoubleToLocalDouble(double dTzTime, const TimeZone* pTz, double& dLocal);

// Outlook's object model reports the times of a series kept in another zone in the machine's
// zone: takes the UTC time, reads its machine-local wall time as wall time in ptzi and gives the
// UTC time of that.
BOOL OOMRecurringApptTimeAdjustment(const FILETIME* pftInUtc, FILETIME* pftOutUtc, const TIME_ZONE_INFORMATION* ptzi);

}  // namespace Ostrel::Mail
