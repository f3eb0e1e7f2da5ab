// Locale-dependent time services: first day of the week, date pictures, display formats.
#include "Util/Time/TimeUtil.h"

#include "Platform/Base/Utf.h"
#include "Util/Time/TimeUtilInternal.h"

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace Ostrel::Util {

using namespace TimeDetail;

namespace {

const wchar_t* const kDayNames[] = {L"Sunday",   L"Monday", L"Tuesday", L"Wednesday",
                                    L"Thursday", L"Friday", L"Saturday"};
const wchar_t* const kMonthNames[] = {L"January", L"February", L"March",     L"April",   L"May",      L"June",
                                      L"July",    L"August",   L"September", L"October", L"November", L"December"};

const char* EnvValue(const char* pszName) {
    const char* psz = std::getenv(pszName);
    return psz && *psz ? psz : nullptr;
}

// The POSIX locale name that governs time formats.
std::string UserLocaleName() {
    const char* psz = EnvValue("LC_ALL");
    if (!psz)
        psz = EnvValue("LC_TIME");
    if (!psz)
        psz = EnvValue("LANG");
    if (!psz || !std::strcmp(psz, "C") || !std::strcmp(psz, "POSIX") || !std::strncmp(psz, "C.", 2))
        return "en_US";
    return psz;
}

icu::Locale UserLocale() {
    return icu::Locale::createCanonical(UserLocaleName().c_str());
}

// Number of times the character at i repeats, advancing i past the run.
int RunLength(std::wstring_view ws, size_t& i) {
    const wchar_t c = ws[i];
    int n = 0;
    while (i < ws.size() && ws[i] == c)
        ++i, ++n;
    return n;
}

// Copies a quoted literal starting after the opening quote; '' stands for one quote.
void ReadQuoted(std::wstring_view wsPicture, size_t& i, std::wstring& wsOut) {
    while (i < wsPicture.size()) {
        if (wsPicture[i] == L'\'') {
            if (i + 1 < wsPicture.size() && wsPicture[i + 1] == L'\'') {
                wsOut += L'\'';
                i += 2;
                continue;
            }
            ++i;
            return;
        }
        wsOut += wsPicture[i++];
    }
}

bool IsPictureLetter(wchar_t c) {
    return std::wcschr(L"dMyhHmst", c) != nullptr && c != 0;
}

// Reads between iMin and iMax digits.
bool ReadDigits(std::wstring_view ws, size_t& i, int iMin, int iMax, int& iValue) {
    iValue = 0;
    int n = 0;
    while (n < iMax && i < ws.size() && ws[i] >= L'0' && ws[i] <= L'9') {
        iValue = iValue * 10 + (ws[i++] - L'0');
        ++n;
    }
    return n >= iMin;
}

bool MatchNoCase(std::wstring_view ws, size_t i, std::wstring_view wsWord) {
    if (ws.size() - i < wsWord.size())
        return false;
    for (size_t k = 0; k < wsWord.size(); ++k) {
        wchar_t a = ws[i + k], b = wsWord[k];
        if (a >= L'a' && a <= L'z')
            a = static_cast<wchar_t>(a - 32);
        if (b >= L'a' && b <= L'z')
            b = static_cast<wchar_t>(b - 32);
        if (a != b)
            return false;
    }
    return true;
}

}  // namespace

int GetFirstDayOfWeek() {
    static std::mutex s_mutex;
    static std::string s_sLocale;
    static int s_iFirstDay = -1;

    const std::string sLocale = UserLocaleName();
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_iFirstDay >= 0 && sLocale == s_sLocale)
        return s_iFirstDay;
    UErrorCode err = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(
        icu::Calendar::createInstance(icu::Locale::createCanonical(sLocale.c_str()), err));
    int iIcuDay = UCAL_SUNDAY;
    if (calendar && U_SUCCESS(err)) {
        iIcuDay = calendar->getFirstDayOfWeek(err);
        if (U_FAILURE(err))
            iIcuDay = UCAL_SUNDAY;
    }
    // ICU counts 1 = Sunday ... 7 = Saturday; Windows 0 = Monday ... 6 = Sunday.
    s_iFirstDay = (iIcuDay + 5) % 7;
    s_sLocale = sLocale;
    return s_iFirstDay;
}

std::wstring FormatSystemTime(const SYSTEMTIME& st, std::wstring_view wsPicture) {
    std::wstring ws;
    const unsigned uDow = st.wDayOfWeek % 7;
    const unsigned uMonth = (st.wMonth >= 1 && st.wMonth <= 12) ? st.wMonth : 1;
    for (size_t i = 0; i < wsPicture.size();) {
        const wchar_t c = wsPicture[i];
        if (c == L'\'') {
            ReadQuoted(wsPicture, ++i, ws);
            continue;
        }
        if (!IsPictureLetter(c)) {
            ws += c;
            ++i;
            continue;
        }
        const int n = RunLength(wsPicture, i);
        const unsigned uHour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        switch (c) {
            case L'd':
                if (n >= 4)
                    ws += kDayNames[uDow];
                else if (n == 3)
                    ws.append(kDayNames[uDow], 3);
                else
                    AppendNumber(ws, st.wDay, n);
                break;
            case L'M':
                if (n >= 4)
                    ws += kMonthNames[uMonth - 1];
                else if (n == 3)
                    ws.append(kMonthNames[uMonth - 1], 3);
                else
                    AppendNumber(ws, st.wMonth, n);
                break;
            case L'y':
                if (n >= 3)
                    AppendNumber(ws, st.wYear, 4);
                else
                    AppendNumber(ws, st.wYear % 100, n);
                break;
            case L'h':
                AppendNumber(ws, uHour12, n > 1 ? 2 : 1);
                break;
            case L'H':
                AppendNumber(ws, st.wHour, n > 1 ? 2 : 1);
                break;
            case L'm':
                AppendNumber(ws, st.wMinute, n > 1 ? 2 : 1);
                break;
            case L's':
                AppendNumber(ws, st.wSecond, n > 1 ? 2 : 1);
                break;
            case L't':
                ws += st.wHour < 12 ? L'A' : L'P';
                if (n > 1)
                    ws += L'M';
                break;
        }
    }
    return ws;
}

bool ParseSystemTime(std::wstring_view wsText, std::wstring_view wsPicture, SYSTEMTIME& st) {
    int iYear = 1601, iMonth = 1, iDay = 1, iHour = 0, iMinute = 0, iSecond = 0;
    int iHour12 = -1;
    int iPm = -1;
    size_t t = 0;
    for (size_t i = 0; i < wsPicture.size();) {
        const wchar_t c = wsPicture[i];
        if (c == L'\'') {
            std::wstring wsLiteral;
            ReadQuoted(wsPicture, ++i, wsLiteral);
            if (wsText.substr(t, wsLiteral.size()) != wsLiteral)
                return false;
            t += wsLiteral.size();
            continue;
        }
        if (!IsPictureLetter(c)) {
            if (t >= wsText.size() || wsText[t] != c)
                return false;
            ++t, ++i;
            continue;
        }
        const int n = RunLength(wsPicture, i);
        const int iMin = n > 1 ? 2 : 1;
        bool bOk = true;
        switch (c) {
            case L'd':
                bOk = n <= 2 && ReadDigits(wsText, t, iMin, 2, iDay);
                break;
            case L'M':
                bOk = n <= 2 && ReadDigits(wsText, t, iMin, 2, iMonth);
                break;
            case L'y':
                if (n >= 3) {
                    bOk = ReadDigits(wsText, t, 4, 4, iYear);
                } else {
                    bOk = ReadDigits(wsText, t, iMin, 2, iYear);
                    iYear += iYear < 30 ? 2000 : 1900;  // Windows' two-digit year window 1930-2029
                }
                break;
            case L'h':
                bOk = ReadDigits(wsText, t, iMin, 2, iHour12);
                break;
            case L'H':
                bOk = ReadDigits(wsText, t, iMin, 2, iHour);
                break;
            case L'm':
                bOk = ReadDigits(wsText, t, iMin, 2, iMinute);
                break;
            case L's':
                bOk = ReadDigits(wsText, t, iMin, 2, iSecond);
                break;
            case L't':
                if (MatchNoCase(wsText, t, n > 1 ? L"AM" : L"A"))
                    iPm = 0;
                else if (MatchNoCase(wsText, t, n > 1 ? L"PM" : L"P"))
                    iPm = 1;
                else
                    bOk = false;
                t += n > 1 ? 2 : 1;
                break;
        }
        if (!bOk)
            return false;
    }
    if (t != wsText.size())
        return false;
    if (iHour12 >= 0) {
        if (iHour12 < 1 || iHour12 > 12)
            return false;
        iHour = iHour12 % 12 + (iPm == 1 ? 12 : 0);
    }
    SYSTEMTIME parsed{};
    parsed.wYear = static_cast<WORD>(iYear);
    parsed.wMonth = static_cast<WORD>(iMonth);
    parsed.wDay = static_cast<WORD>(iDay);
    parsed.wHour = static_cast<WORD>(iHour);
    parsed.wMinute = static_cast<WORD>(iMinute);
    parsed.wSecond = static_cast<WORD>(iSecond);
    if (!IsValidSystemTime(parsed, 1601, 30827))
        return false;
    st = UnixMsToSystemTime(SystemTimeToUnixMs(parsed));
    return true;
}

std::wstring FormatSystemTimeForUser(const SYSTEMTIME& st) {
    if (!IsValidSystemTime(st, 1601, 30827))
        return std::wstring();
    std::unique_ptr<icu::DateFormat> format(
        icu::DateFormat::createDateTimeInstance(icu::DateFormat::kShort, icu::DateFormat::kShort, UserLocale()));
    if (!format)
        return FormatSystemTime(st, std::wstring(kInvariantShortDate) + L" " + kInvariantTime);
    // The SYSTEMTIME already is the wall time to show: format it as UTC so nothing shifts it.
    format->adoptTimeZone(icu::TimeZone::getGMT()->clone());
    icu::UnicodeString text;
    format->format(static_cast<UDate>(SystemTimeToUnixMs(st)), text);
    return Platform::FromUtf16(std::u16string_view(text.getBuffer(), static_cast<size_t>(text.length())));
}

}  // namespace Ostrel::Util
