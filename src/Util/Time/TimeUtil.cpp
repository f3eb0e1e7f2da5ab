#include "Util/Time/TimeUtil.h"

#include "Util/Time/TimeUtilInternal.h"

#include <cmath>
#include <limits>

namespace Ostrel::Util {

namespace TimeDetail {

int64_t DaysFromCivil(int64_t iYear, int iMonth, int iDay) {
    iYear -= iMonth <= 2;
    const int64_t era = (iYear >= 0 ? iYear : iYear - 399) / 400;
    const int64_t yoe = iYear - era * 400;
    const int64_t doy = (153 * (iMonth + (iMonth > 2 ? -3 : 9)) + 2) / 5 + iDay - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t llDays, int64_t& iYear, int& iMonth, int& iDay) {
    llDays += 719468;
    const int64_t era = (llDays >= 0 ? llDays : llDays - 146096) / 146097;
    const int64_t doe = llDays - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    iDay = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    iMonth = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    iYear = yoe + era * 400 + (iMonth <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

bool IsValidSystemTime(const SYSTEMTIME& st, int iMinYear, int iMaxYear) {
    return st.wYear >= iMinYear && st.wYear <= iMaxYear && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 &&
           st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 &&
           st.wMilliseconds < 1000;
}

int64_t SystemTimeToUnixMs(const SYSTEMTIME& st) {
    const int64_t llDays = DaysFromCivil(st.wYear, st.wMonth, st.wDay);
    return llDays * kMsPerDay + st.wHour * 3600000LL + st.wMinute * 60000LL + st.wSecond * 1000LL + st.wMilliseconds;
}

SYSTEMTIME UnixMsToSystemTime(int64_t llUnixMs) {
    const int64_t llDays = FloorDiv(llUnixMs, kMsPerDay);
    int64_t llMs = llUnixMs - llDays * kMsPerDay;
    int64_t iYear = 0;
    int iMonth = 0, iDay = 0;
    CivilFromDays(llDays, iYear, iMonth, iDay);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(iYear);
    st.wMonth = static_cast<WORD>(iMonth);
    st.wDay = static_cast<WORD>(iDay);
    st.wDayOfWeek = static_cast<WORD>(((llDays + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
    st.wHour = static_cast<WORD>(llMs / 3600000);
    llMs %= 3600000;
    st.wMinute = static_cast<WORD>(llMs / 60000);
    llMs %= 60000;
    st.wSecond = static_cast<WORD>(llMs / 1000);
    st.wMilliseconds = static_cast<WORD>(llMs % 1000);
    return st;
}

void AppendNumber(std::wstring& ws, unsigned uValue, int iWidth) {
    wchar_t digits[16];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + uValue % 10);
        uValue /= 10;
    } while (uValue);
    for (int i = n; i < iWidth; ++i)
        ws += L'0';
    while (n)
        ws += digits[--n];
}

std::wstring FormatOstrelDate(const SYSTEMTIME& st, bool bWithTime, bool bUtc) {
    std::wstring ws;
    AppendNumber(ws, st.wYear, 4);
    AppendNumber(ws, st.wMonth, 2);
    AppendNumber(ws, st.wDay, 2);
    if (bWithTime) {
        ws += L'T';
        AppendNumber(ws, st.wHour, 2);
        AppendNumber(ws, st.wMinute, 2);
        AppendNumber(ws, st.wSecond, 2);
        if (bUtc)
            ws += L'Z';
    }
    return ws;
}

}  // namespace TimeDetail

using namespace TimeDetail;

namespace {

// 1601-01-01 and 1899-12-30 (day 0 of OLE dates), in milliseconds since 1970.
constexpr int64_t kFileTimeEpochMs = -11644473600000LL;
constexpr int64_t kOleEpochMs = -25569LL * kMsPerDay;
constexpr int64_t kTicksPerMs = 10000;

// OLE dates from year 100 to 9999, as Windows accepts them.
constexpr double kMinOleDate = -657434.0;
constexpr double kMaxOleDate = 2958466.0;  // exclusive: 10000-01-01

// Milliseconds since 1899-12-30 00:00 on a straight time line, rounded to the millisecond.
int64_t OleDateToLinearMs(double dDate) {
    const double dDays = std::trunc(dDate);
    const double dFraction = std::fabs(dDate - dDays);
    return static_cast<int64_t>(dDays) * kMsPerDay + std::llround(dFraction * kMsPerDay);
}

double LinearMsToOleDate(int64_t llMs) {
    const int64_t llDays = FloorDiv(llMs, kMsPerDay);
    const double dFraction = static_cast<double>(llMs - llDays * kMsPerDay) / kMsPerDay;
    return llDays >= 0 ? llDays + dFraction : llDays - dFraction;
}

}  // namespace

bool IsLeapYear(int iYear) {
    return (iYear % 4 == 0 && iYear % 100 != 0) || iYear % 400 == 0;
}

int DaysInMonth(int iYear, int iMonth) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (iMonth < 1 || iMonth > 12)
        return 0;
    return iMonth == 2 && IsLeapYear(iYear) ? 29 : kDays[iMonth - 1];
}

BOOL UnixTimeToFileTime(int64_t llUnixSeconds, FILETIME* pft) {
    if (!pft)
        return FALSE;
    *pft = FILETIME{};
    constexpr int64_t kEpochSeconds = static_cast<int64_t>(kFileTimeUnixEpoch / kFileTimeTicksPerSecond);
    constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max() / kFileTimeTicksPerSecond - kEpochSeconds;
    if (llUnixSeconds < -kEpochSeconds || llUnixSeconds > kMaxSeconds)
        return FALSE;
    *pft = UInt64ToFileTime(static_cast<ULONGLONG>(llUnixSeconds + kEpochSeconds) * kFileTimeTicksPerSecond);
    return TRUE;
}

int64_t FileTimeToUnixTime64(const FILETIME& ft) {
    return static_cast<int64_t>(FileTimeToUInt64(ft) / kFileTimeTicksPerSecond) -
           static_cast<int64_t>(kFileTimeUnixEpoch / kFileTimeTicksPerSecond);
}

BOOL FileTimeToSystemTime(const FILETIME* pft, SYSTEMTIME* pst) {
    if (!pft || !pst)
        return FALSE;
    const ULONGLONG ullTicks = FileTimeToUInt64(*pft);
    if (ullTicks > static_cast<ULONGLONG>(std::numeric_limits<int64_t>::max()))
        return FALSE;
    *pst = UnixMsToSystemTime(static_cast<int64_t>(ullTicks / kTicksPerMs) + kFileTimeEpochMs);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* pst, FILETIME* pft) {
    if (!pst || !pft || !IsValidSystemTime(*pst, 1601, 30827))
        return FALSE;
    *pft = UInt64ToFileTime(static_cast<ULONGLONG>(SystemTimeToUnixMs(*pst) - kFileTimeEpochMs) * kTicksPerMs);
    return TRUE;
}

BOOL SystemTimeToVariantTime(const SYSTEMTIME* pst, double* pdDate) {
    if (!pst || !pdDate || !IsValidSystemTime(*pst, 100, 9999))
        return FALSE;
    *pdDate = LinearMsToOleDate(SystemTimeToUnixMs(*pst) - kOleEpochMs);
    return TRUE;
}

BOOL VariantTimeToSystemTime(double dDate, SYSTEMTIME* pst) {
    if (!pst || !std::isfinite(dDate) || dDate <= kMinOleDate - 1.0 || dDate >= kMaxOleDate)
        return FALSE;
    const SYSTEMTIME st = UnixMsToSystemTime(OleDateToLinearMs(dDate) + kOleEpochMs);
    if (st.wYear < 100 || st.wYear > 9999)
        return FALSE;
    *pst = st;
    return TRUE;
}

double RoundToNearestDay(double dDate) {
    // Far beyond any date (and not finite): nothing sensible to round.
    if (!std::isfinite(dDate) || std::fabs(dDate) > 1e8)
        return dDate;
    const int64_t llMs = OleDateToLinearMs(dDate);
    return LinearMsToOleDate(FloorDiv(llMs + kMsPerDay / 2, kMsPerDay) * kMsPerDay);
}

std::wstring VariantTimeToOstrelDateStr(double dDate, bool bWithTime, bool bLocalTime) {
    SYSTEMTIME st;
    if (!VariantTimeToSystemTime(dDate, &st))
        return std::wstring();
    // A date alone carries no zone marker, so a UTC value is written as the machine's local date:
    // an all-day start held in UTC would otherwise land on the neighbouring day in most zones.
    if (!bWithTime && !bLocalTime) {
        SYSTEMTIME stLocal;
        if (!SystemTimeToTzSpecificLocalTime(nullptr, &st, &stLocal))
            return std::wstring();
        st = stLocal;
    }
    return FormatOstrelDate(st, bWithTime, !bLocalTime);
}

}  // namespace Ostrel::Util
