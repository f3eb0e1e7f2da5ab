// Calendar arithmetic shared by the TimeUtil sources; not for use outside them.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <cstdint>
#include <string>

namespace Ostrel::Util::TimeDetail {

constexpr int64_t kMsPerDay = 86400000;

// Proleptic Gregorian calendar; days counted from 1970-01-01.
int64_t DaysFromCivil(int64_t iYear, int iMonth, int iDay);
void CivilFromDays(int64_t llDays, int64_t& iYear, int& iMonth, int& iDay);
int64_t FloorDiv(int64_t a, int64_t b);

bool IsValidSystemTime(const SYSTEMTIME& st, int iMinYear, int iMaxYear);
// Milliseconds since 1970-01-01 00:00 of a valid SYSTEMTIME (wDayOfWeek ignored), and back
// (wDayOfWeek filled, 0 = Sunday).
int64_t SystemTimeToUnixMs(const SYSTEMTIME& st);
SYSTEMTIME UnixMsToSystemTime(int64_t llUnixMs);

void AppendNumber(std::wstring& ws, unsigned uValue, int iWidth);
// "YYYYMMDD" or "YYYYMMDDTHHMMSS", with "Z" when bUtc and the time is written.
std::wstring FormatOstrelDate(const SYSTEMTIME& st, bool bWithTime, bool bUtc);

}  // namespace Ostrel::Util::TimeDetail
