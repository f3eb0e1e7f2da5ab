// Server date strings to SYSTEMTIME, FILETIME and OLE dates, in UTC, machine-local or zone time.
#include "Ostrel/Model/Calendar/AppointmentDates.h"

#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

#include <cstdint>
#include <cwchar>
#include <limits>

namespace Ostrel::Mail {

namespace {

bool IsDigit(wchar_t wc) {
    return wc >= L'0' && wc <= L'9';
}

// Reads cch digits at pwsz; false when any of them is not a digit (the terminator included).
bool ReadDigits(const wchar_t* pwsz, int cch, int& iValue) {
    iValue = 0;
    for (int i = 0; i < cch; ++i) {
        if (!IsDigit(pwsz[i]))
            return false;
        iValue = iValue * 10 + (pwsz[i] - L'0');
    }
    return true;
}

// "YYYYMMDD[THHMM[SS]][Z]" with every field in range. Seconds are validated but not kept.
bool ParseDateText(const wchar_t* pwsz, SYSTEMTIME& st, bool& bUtc) {
    int iYear, iMonth, iDay, iHour = 0, iMinute = 0, iSecond = 0;
    if (!ReadDigits(pwsz, 4, iYear) || !ReadDigits(pwsz + 4, 2, iMonth) || !ReadDigits(pwsz + 6, 2, iDay))
        return false;
    const wchar_t* pwszRest = pwsz + 8;
    if (*pwszRest == L'T') {
        if (!ReadDigits(pwszRest + 1, 2, iHour) || !ReadDigits(pwszRest + 3, 2, iMinute))
            return false;
        pwszRest += 5;
        if (IsDigit(*pwszRest)) {
            if (!ReadDigits(pwszRest, 2, iSecond))
                return false;
            pwszRest += 2;
        }
    }
    bUtc = *pwszRest == L'Z';
    if (bUtc)
        ++pwszRest;
    if (*pwszRest != L'\0')
        return false;
    // A leap second (60) is legal in the server's calendar data; it is dropped with the seconds.
    if (iYear < 1601 || iMonth < 1 || iMonth > 12 || iDay < 1 || iDay > Util::DaysInMonth(iYear, iMonth) ||
        iHour > 23 || iMinute > 59 || iSecond > 60)
        return false;
    st = SYSTEMTIME{};
    st.wYear = static_cast<WORD>(iYear);
    st.wMonth = static_cast<WORD>(iMonth);
    st.wDay = static_cast<WORD>(iDay);
    st.wHour = static_cast<WORD>(iHour);
    st.wMinute = static_cast<WORD>(iMinute);
    return true;
}

// A decimal number of seconds since 1970, with an optional sign and nothing else.
bool ParseUnixSeconds(const wchar_t* pwsz, int64_t& llSeconds) {
    const bool bNegative = *pwsz == L'-';
    if (*pwsz == L'-' || *pwsz == L'+')
        ++pwsz;
    if (!IsDigit(*pwsz))
        return false;
    uint64_t ullValue = 0;
    for (; IsDigit(*pwsz); ++pwsz) {
        ullValue = ullValue * 10 + static_cast<uint64_t>(*pwsz - L'0');
        if (ullValue > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return false;
    }
    if (*pwsz != L'\0')
        return false;
    llSeconds = bNegative ? -static_cast<int64_t>(ullValue) : static_cast<int64_t>(ullValue);
    return true;
}

// The date string as written; bUtc tells whether it is UTC (always so for a Unix time).
BOOL ReadDateString(const wchar_t* pwszDate, SYSTEMTIME& st, bool& bUtc, BOOL bIsUnixTime) {
    if (!pwszDate) {
        OSTLOG_ERROR(L"invalid parameters");
        return FALSE;
    }
    if (!bIsUnixTime) {
        if (!ParseDateText(pwszDate, st, bUtc)) {
            OSTLOG_ERROR(L"DateStringToSYSTEMTIME() - malformed date string '%s'", pwszDate);
            return FALSE;
        }
        return TRUE;
    }
    int64_t llSeconds = 0;
    FILETIME ft;
    if (!ParseUnixSeconds(pwszDate, llSeconds) || !Util::UnixTimeToFileTime(llSeconds, &ft) ||
        !Util::FileTimeToSystemTime(&ft, &st)) {
        OSTLOG_ERROR(L"DateStringToSYSTEMTIME() - invalid Unix time '%s'", pwszDate);
        return FALSE;
    }
    bUtc = true;
    return TRUE;
}

}  // namespace

BOOL DateStringToSYSTEMTIME(const wchar_t* pwszDate, SYSTEMTIME& st, BOOL bIsUnixTime) {
    bool bUtc = false;
    return ReadDateString(pwszDate, st, bUtc, bIsUnixTime);
}

BOOL DateStringToLocalSYSTEMTIME(const wchar_t* pwszDate, SYSTEMTIME& st, BOOL bIsUnixTime) {
    if (!pwszDate) {
        OSTLOG_ERROR(L"DateStringToLocalSYSTEMTIME() - invalid parameters");
        return FALSE;
    }
    SYSTEMTIME stRead;
    bool bUtc = false;
    if (!ReadDateString(pwszDate, stRead, bUtc, bIsUnixTime)) {
        OSTLOG_ERROR(L"DateStringToLocalSYSTEMTIME() - could not convert the date string to a system time");
        return FALSE;
    }
    if (!bUtc) {
        st = stRead;
        return TRUE;
    }
    if (!Util::SystemTimeToTzSpecificLocalTime(nullptr, &stRead, &st)) {
        OSTLOG_ERROR(L"DateStringToLocalSYSTEMTIME() - could not convert system time from UTC to local time");
        return FALSE;
    }
    return TRUE;
}

BOOL DateStringToLocalFILETIME(const wchar_t* pwszDate, FILETIME& ft, BOOL bIsUnixTime) {
    SYSTEMTIME st;
    if (!DateStringToLocalSYSTEMTIME(pwszDate, st, bIsUnixTime))
        return FALSE;
    if (!Util::SystemTimeToFileTime(&st, &ft)) {
        OSTLOG_ERROR(L"DateStringToLocalFILETIME() - SystemTimeToFileTime() failed");
        return FALSE;
    }
    return TRUE;
}

double DateStringToLocalDouble(const wchar_t* pwszDate, BOOL bIsUnixTime) {
    SYSTEMTIME st;
    double dDate = 0;
    if (!DateStringToLocalSYSTEMTIME(pwszDate, st, bIsUnixTime))
        return -1.0;
    if (!Util::SystemTimeToVariantTime(&st, &dDate)) {
        OSTLOG_ERROR(L"DateStringToLocalDouble() - SystemTimeToVariantTime() failed");
        return -1.0;
    }
    return dDate;
}

BOOL ConvertTzDateStringToLocalDouble(const wchar_t* pwszDate, const TimeZone* pTz, double& dLocal) {
    if (!pwszDate) {
        OSTLOG_ERROR(L"ConvertTzDateStringToLocalDouble() - invalid date string or timezone object");
        return FALSE;
    }
    SYSTEMTIME st;
    bool bUtc = false;
    if (!ReadDateString(pwszDate, st, bUtc, FALSE)) {
        OSTLOG_ERROR(L"ConvertTzDateStringToLocalDouble() - could not convert the date string to a system time");
        return FALSE;
    }
    SYSTEMTIME stUtc = st;
    if (!bUtc) {
        if (!pTz) {
            OSTLOG_ERROR(L"ConvertTzDateStringToLocalDouble() - missing the required timezone object");
            return FALSE;
        }
        TIME_ZONE_INFORMATION tzi;
        if (!pTz->PopulateTimeZoneInfo(tzi) || !Util::OsTzSpecificLocalTimeToSystemTime(&tzi, &st, &stUtc)) {
            OSTLOG_ERROR(L"ConvertTzDateStringToLocalDouble() - could not convert system time from a timezone to UTC");
            return FALSE;
        }
    }
    SYSTEMTIME stLocal;
    if (!Util::SystemTimeToTzSpecificLocalTime(nullptr, &stUtc, &stLocal)) {
        OSTLOG_ERROR(L"ConvertTzDateStringToLocalDouble() - could not convert system time from UTC to a timezone");
        return FALSE;
    }
    if (!Util::SystemTimeToVariantTime(&stLocal, &dLocal)) {
        OSTLOG_ERROR(L"ConvertTzDateStringToLocalDouble() - could not convert system time to a double");
        return FALSE;
    }
    return TRUE;
}

BOOL ConvertDateStringToTzDouble(const wchar_t* pwszDate, const TimeZone* pTz, double& dTzTime) {
    if (!pwszDate) {
        OSTLOG_ERROR(L"ConvertDateStringToTzDouble() - invalid date string or timezone object");
        return FALSE;
    }
    SYSTEMTIME st;
    bool bUtc = false;
    if (!ReadDateString(pwszDate, st, bUtc, FALSE)) {
        OSTLOG_ERROR(L"ConvertDateStringToTzDouble() - could not convert the date string to a system time");
        return FALSE;
    }
    SYSTEMTIME stZone = st;
    if (bUtc && pTz) {
        TIME_ZONE_INFORMATION tzi;
        if (!pTz->PopulateTimeZoneInfo(tzi) || !Util::SystemTimeToTzSpecificLocalTime(&tzi, &st, &stZone)) {
            OSTLOG_ERROR(L"ConvertDateStringToTzDouble() - could not convert system time from UTC to a timezone");
            return FALSE;
        }
    } else if (bUtc) {
        FILETIME ftUtc, ftLocal;
        if (!Util::SystemTimeToFileTime(&st, &ftUtc)) {
            OSTLOG_ERROR(L"ConvertDateStringToTzDouble() - SystemTimeToFileTime() failed");
            return FALSE;
        }
        if (!Util::FileTimeToLocalFileTime(&ftUtc, &ftLocal)) {
            OSTLOG_ERROR(L"ConvertDateStringToTzDouble() - FileTimeToLocalFileTime() failed");
            return FALSE;
        }
        if (!Util::FileTimeToSystemTime(&ftLocal, &stZone)) {
            OSTLOG_ERROR(L"ConvertDateStringToTzDouble() - FileTimeToSystemTime() failed");
            return FALSE;
        }
    }
    if (!Util::SystemTimeToVariantTime(&stZone, &dTzTime)) {
        OSTLOG_ERROR(L"ConvertDateStringToTzDouble() - could not convert system time to a double");
        return FALSE;
    }
    return TRUE;
}

BOOL ConvertDateStringToUTC(const wchar_t* pwszDate, const TimeZone* pTz, FILETIME* pftDate) {
    if (!pwszDate) {
        OSTLOG_ERROR(L"ConvertDateStringToUTC() - invalid date string or timezone object");
        return FALSE;
    }
    if (!pftDate) {
        OSTLOG_ERROR(L"ConvertDateStringToUTC() - invalid lpftDate parameter");
        return FALSE;
    }
    SYSTEMTIME st;
    bool bUtc = false;
    if (!ReadDateString(pwszDate, st, bUtc, FALSE)) {
        OSTLOG_ERROR(L"ConvertDateStringToUTC() - could not convert the date string to a system time");
        return FALSE;
    }
    SYSTEMTIME stUtc = st;
    if (!bUtc) {
        TIME_ZONE_INFORMATION tzi;
        const TIME_ZONE_INFORMATION* ptzi = nullptr;
        if (pTz) {
            pTz->PopulateTimeZoneInfo(tzi);
            ptzi = &tzi;
        }
        if (!Util::OsTzSpecificLocalTimeToSystemTime(ptzi, &st, &stUtc)) {
            OSTLOG_ERROR(L"ConvertDateStringToUTC() - could not convert system time from a timezone to UTC");
            return FALSE;
        }
    }
    if (!Util::SystemTimeToFileTime(&stUtc, pftDate)) {
        OSTLOG_ERROR(L"ConvertDateStringToUTC() - SystemTimeToFileTime() failed");
        return FALSE;
    }
    return TRUE;
}

BOOL ConvertTzDoubleToLocalDouble(double dTzTime, const TimeZone* pTz, double& dLocal) {
    SYSTEMTIME st;
    if (!Util::VariantTimeToSystemTime(dTzTime, &st)) {
        OSTLOG_ERROR(L"ConvertTzDoubleToLocalDouble() - could not convert the date to a system time");
        return FALSE;
    }
    SYSTEMTIME stUtc = st;
    if (pTz) {
        TIME_ZONE_INFORMATION tzi;
        if (!pTz->PopulateTimeZoneInfo(tzi) || !Util::OsTzSpecificLocalTimeToSystemTime(&tzi, &st, &stUtc)) {
            OSTLOG_ERROR(L"ConvertTzDoubleToLocalDouble() - could not convert system time from a timezone to UTC");
            return FALSE;
        }
    }
    SYSTEMTIME stLocal;
    if (!Util::SystemTimeToTzSpecificLocalTime(nullptr, &stUtc, &stLocal)) {
        OSTLOG_ERROR(L"ConvertTzDoubleToLocalDouble() - could not convert system time from UTC to local time");
        return FALSE;
    }
    if (!Util::SystemTimeToVariantTime(&stLocal, &dLocal)) {
        OSTLOG_ERROR(L"ConvertTzDoubleToLocalDouble() - could not convert system time to a double");
        return FALSE;
    }
    return TRUE;
}

BOOL OOMRecurringApptTimeAdjustment(const FILETIME* pftInUtc, FILETIME* pftOutUtc, const TIME_ZONE_INFORMATION* ptzi) {
    if (!pftInUtc || !pftOutUtc) {
        OSTLOG_ERROR(L"OOMRecurringApptTimeAdjustment() - invalid parameters");
        return FALSE;
    }
    SYSTEMTIME stUtc, stWall, stFinal;
    if (!Util::FileTimeToSystemTime(pftInUtc, &stUtc) ||
        !Util::SystemTimeToTzSpecificLocalTime(nullptr, &stUtc, &stWall)) {
        OSTLOG_ERROR(L"could not convert utc time to system time");
        return FALSE;
    }
    if (!Util::OsTzSpecificLocalTimeToSystemTime(ptzi, &stWall, &stFinal)) {
        OSTLOG_ERROR(L"could not convert tz time to utc time");
        return FALSE;
    }
    if (!Util::SystemTimeToFileTime(&stFinal, pftOutUtc)) {
        OSTLOG_ERROR(L"could not convert final utc system time to file time");
        return FALSE;
    }
    return TRUE;
}

}  // namespace Ostrel::Mail
