#include "Platform/Base/Utf.h"
#include "Util/Time/Clock.h"
#include "Util/Time/TimeUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

using namespace Ostrel::Util;

namespace {

SYSTEMTIME St(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    st.wMilliseconds = static_cast<WORD>(ms);
    return st;
}

std::string Str(const SYSTEMTIME& st) {
    char sz[64];
    std::snprintf(sz, sizeof sz, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return sz;
}

std::string OleToStr(double d) {
    SYSTEMTIME st;
    return VariantTimeToSystemTime(d, &st) ? Str(st) : "invalid";
}

double Ole(const SYSTEMTIME& st) {
    double d = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &d)) << Str(st);
    return d;
}

SYSTEMTIME Rule(int month, int dow, int week, int hour, int year = 0, int day = 0) {
    SYSTEMTIME st = St(year, month, year ? day : week, hour);
    st.wDayOfWeek = static_cast<WORD>(dow);
    return st;
}

// Central Europe: last Sunday of March 02:00 to last Sunday of October 03:00.
TIME_ZONE_INFORMATION Europe() {
    TIME_ZONE_INFORMATION tzi{};
    tzi.Bias = -60;
    tzi.DaylightBias = -60;
    tzi.DaylightDate = Rule(3, 0, 5, 2);
    tzi.StandardDate = Rule(10, 0, 5, 3);
    return tzi;
}

// Eastern Australia: first Sunday of October 02:00 to first Sunday of April 03:00.
TIME_ZONE_INFORMATION Sydney() {
    TIME_ZONE_INFORMATION tzi{};
    tzi.Bias = -600;
    tzi.DaylightBias = -60;
    tzi.DaylightDate = Rule(10, 0, 1, 2);
    tzi.StandardDate = Rule(4, 0, 1, 3);
    return tzi;
}

std::string ToLocal(const TIME_ZONE_INFORMATION* ptzi, const SYSTEMTIME& utc) {
    SYSTEMTIME st;
    return SystemTimeToTzSpecificLocalTime(ptzi, &utc, &st) ? Str(st) : "failed";
}

std::string ToUtc(const TIME_ZONE_INFORMATION* ptzi, const SYSTEMTIME& local) {
    SYSTEMTIME st;
    return OsTzSpecificLocalTimeToSystemTime(ptzi, &local, &st) ? Str(st) : "failed";
}

ULONGLONG Ticks(const SYSTEMTIME& st) {
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return FileTimeToUInt64(ft);
}

SYSTEMTIME FromTicks(ULONGLONG ull) {
    FILETIME ft = UInt64ToFileTime(ull);
    SYSTEMTIME st{};
    EXPECT_TRUE(FileTimeToSystemTime(&ft, &st));
    return st;
}

constexpr ULONGLONG kHour = 3600ULL * kFileTimeTicksPerSecond;

class ScopedEnv {
public:
    ScopedEnv(const char* pszName, const char* pszValue) : m_sName(pszName) {
        if (const char* p = std::getenv(pszName))
            m_old = p;
        if (pszValue)
            setenv(pszName, pszValue, 1);
        else
            unsetenv(pszName);
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_sName.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_sName.c_str());
    }

private:
    std::string m_sName;
    std::optional<std::string> m_old;
};

// Tests that depend on the machine's zone set it; afterwards it is UTC again.
class MachineZone : public ::testing::Test {
protected:
    void TearDown() override { SetLocalTimeZone("UTC"); }
};

}  // namespace

TEST(TimeUtil, UnixTimeAndFileTime) {
    FILETIME ft;
    ASSERT_TRUE(UnixTimeToFileTime(0, &ft));
    EXPECT_EQ(FileTimeToUInt64(ft), kFileTimeUnixEpoch);
    ASSERT_TRUE(UnixTimeToFileTime(1700000000, &ft));
    EXPECT_EQ(FileTimeToUnixTime64(ft), 1700000000);
    EXPECT_EQ(Str(FromTicks(FileTimeToUInt64(ft))), "2023-11-14 22:13:20.000");

    // Before 1970 the seconds round down.
    EXPECT_EQ(FileTimeToUnixTime64(UInt64ToFileTime(kFileTimeUnixEpoch - 1)), -1);
    ASSERT_TRUE(UnixTimeToFileTime(-11644473600LL, &ft));
    EXPECT_EQ(FileTimeToUInt64(ft), 0u);
    EXPECT_FALSE(UnixTimeToFileTime(-11644473601LL, &ft));
    EXPECT_EQ(FileTimeToUInt64(ft), 0u);
    EXPECT_FALSE(UnixTimeToFileTime(INT64_MAX, &ft));
}

TEST(TimeUtil, FileTimeAndSystemTime) {
    SYSTEMTIME st = FromTicks(0);
    EXPECT_EQ(Str(st), "1601-01-01 00:00:00.000");
    EXPECT_EQ(st.wDayOfWeek, 1);  // a Monday
    st = FromTicks(Ticks(St(2024, 2, 29, 23, 59, 59, 999)) + 9999);
    EXPECT_EQ(Str(st), "2024-02-29 23:59:59.999");
    EXPECT_EQ(st.wDayOfWeek, 4);

    FILETIME ft = UInt64ToFileTime(0x8000000000000000ULL);
    EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
    ft = UInt64ToFileTime(0x7FFFFFFFFFFFFFFFULL);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 30828);

    for (const SYSTEMTIME& bad : {St(2023, 2, 29), St(2024, 13, 1), St(2024, 4, 31), St(1600, 12, 31),
                                  St(2024, 1, 1, 24), St(2024, 1, 1, 0, 60), St(2024, 1, 0)})
        EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft)) << Str(bad);
}

TEST(TimeUtil, OleDatesIncludingNegativeOnes) {
    EXPECT_EQ(OleToStr(0.0), "1899-12-30 00:00:00.000");
    EXPECT_EQ(OleToStr(2.0), "1900-01-01 00:00:00.000");
    EXPECT_EQ(OleToStr(45366.75), "2024-03-15 18:00:00.000");
    // Before day 0 the fraction still counts forward from the (negative) day.
    EXPECT_EQ(OleToStr(-1.25), "1899-12-29 06:00:00.000");
    EXPECT_EQ(OleToStr(-1.75), "1899-12-29 18:00:00.000");
    EXPECT_EQ(OleToStr(-0.5), "1899-12-30 12:00:00.000");
    EXPECT_EQ(Ole(St(1899, 12, 29, 18)), -1.75);
    EXPECT_EQ(Ole(St(1899, 12, 28, 6)), -2.25);
    EXPECT_EQ(Ole(St(1900, 1, 1, 12)), 2.5);

    // Rounded to the millisecond, carrying into the next day.
    EXPECT_EQ(OleToStr(1.0 - 1e-10), "1899-12-31 00:00:00.000");
    EXPECT_EQ(OleToStr(Ole(St(2024, 2, 29, 23, 59, 59, 999))), "2024-02-29 23:59:59.999");
    EXPECT_EQ(OleToStr(Ole(St(1850, 6, 1, 7, 8, 9, 10))), "1850-06-01 07:08:09.010");

    // Windows' range: years 100 to 9999.
    EXPECT_EQ(OleToStr(-657434.0), "0100-01-01 00:00:00.000");
    EXPECT_EQ(OleToStr(-657435.0), "invalid");
    EXPECT_EQ(OleToStr(2958465.5), "9999-12-31 12:00:00.000");
    EXPECT_EQ(OleToStr(2958466.0), "invalid");
    EXPECT_EQ(OleToStr(NAN), "invalid");
    EXPECT_EQ(OleToStr(INFINITY), "invalid");
    double d = 0;
    SYSTEMTIME early = St(99, 12, 31);
    EXPECT_FALSE(SystemTimeToVariantTime(&early, &d));
}

TEST(TimeUtil, RoundToNearestDay) {
    EXPECT_EQ(RoundToNearestDay(45366.4), 45366.0);
    EXPECT_EQ(RoundToNearestDay(45366.5), 45367.0);
    EXPECT_EQ(RoundToNearestDay(-1.25), -1.0);  // 1899-12-29 06:00
    EXPECT_EQ(RoundToNearestDay(-1.75), 0.0);   // 1899-12-29 18:00
    EXPECT_EQ(RoundToNearestDay(-2.5), -1.0);   // 1899-12-28 12:00
    EXPECT_TRUE(std::isnan(RoundToNearestDay(NAN)));
}

TEST(TimeUtil, ServerDateStrings) {
    const double d = Ole(St(2024, 3, 15, 9, 30, 5));
    EXPECT_EQ(VariantTimeToOstrelDateStr(d, true, false), L"20240315T093005Z");
    EXPECT_EQ(VariantTimeToOstrelDateStr(d, true, true), L"20240315T093005");
    EXPECT_EQ(VariantTimeToOstrelDateStr(d, false, false), L"20240315");
    EXPECT_EQ(VariantTimeToOstrelDateStr(Ole(St(999, 1, 2)), false, true), L"09990102");
    EXPECT_EQ(VariantTimeToOstrelDateStr(949998.0 * 10, true, false), L"");
}

TEST(TimeZoneRules, EuropeanTransitions) {
    const TIME_ZONE_INFORMATION tzi = Europe();
    EXPECT_EQ(ToLocal(&tzi, St(2024, 1, 15, 12)), "2024-01-15 13:00:00.000");
    EXPECT_EQ(ToLocal(&tzi, St(2024, 7, 1, 12)), "2024-07-01 14:00:00.000");
    // Spring: 02:00 standard time becomes 03:00.
    EXPECT_EQ(ToLocal(&tzi, St(2024, 3, 31, 0, 59, 59)), "2024-03-31 01:59:59.000");
    EXPECT_EQ(ToLocal(&tzi, St(2024, 3, 31, 1)), "2024-03-31 03:00:00.000");
    // Autumn: 03:00 daylight time becomes 02:00 again.
    EXPECT_EQ(ToLocal(&tzi, St(2024, 10, 27, 0, 59)), "2024-10-27 02:59:00.000");
    EXPECT_EQ(ToLocal(&tzi, St(2024, 10, 27, 1)), "2024-10-27 02:00:00.000");
    // New Year stays in standard time although the daylight wall clock is in the next year.
    EXPECT_EQ(ToLocal(&tzi, St(2023, 12, 31, 23, 30)), "2024-01-01 00:30:00.000");

    EXPECT_EQ(ToUtc(&tzi, St(2024, 1, 15, 13)), "2024-01-15 12:00:00.000");
    EXPECT_EQ(ToUtc(&tzi, St(2024, 7, 1, 14)), "2024-07-01 12:00:00.000");
    EXPECT_EQ(ToUtc(&tzi, St(2024, 10, 27, 2, 30)), "2024-10-27 00:30:00.000");  // repeated hour: daylight
    EXPECT_EQ(ToUtc(&tzi, St(2024, 3, 31, 2, 30)), "2024-03-31 00:30:00.000");   // skipped hour: daylight bias
    // "Last Sunday" in a year where it is the fourth one.
    EXPECT_EQ(ToLocal(&tzi, St(2021, 3, 28, 1)), "2021-03-28 03:00:00.000");
}

TEST(TimeZoneRules, SouthernHemisphereSpansNewYear) {
    const TIME_ZONE_INFORMATION tzi = Sydney();
    EXPECT_EQ(ToLocal(&tzi, St(2024, 1, 15, 1)), "2024-01-15 12:00:00.000");
    EXPECT_EQ(ToLocal(&tzi, St(2024, 7, 1, 2)), "2024-07-01 12:00:00.000");
    EXPECT_EQ(ToLocal(&tzi, St(2023, 12, 31, 13, 30)), "2024-01-01 00:30:00.000");
    EXPECT_EQ(ToLocal(&tzi, St(2024, 4, 6, 15, 59)), "2024-04-07 02:59:00.000");
    EXPECT_EQ(ToLocal(&tzi, St(2024, 4, 6, 16)), "2024-04-07 02:00:00.000");
    EXPECT_EQ(ToLocal(&tzi, St(2024, 10, 5, 16)), "2024-10-06 03:00:00.000");
    EXPECT_EQ(ToUtc(&tzi, St(2024, 12, 25, 9)), "2024-12-24 22:00:00.000");
    EXPECT_EQ(ToUtc(&tzi, St(2024, 6, 25, 9)), "2024-06-24 23:00:00.000");
}

TEST(TimeZoneRules, EveryHourOfAYearRoundTrips) {
    for (const TIME_ZONE_INFORMATION& tzi : {Europe(), Sydney()}) {
        for (ULONGLONG t = Ticks(St(2024, 1, 1)); t < Ticks(St(2025, 1, 1)); t += kHour / 2) {
            SYSTEMTIME local, utc;
            const SYSTEMTIME st = FromTicks(t);
            ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&tzi, &st, &local));
            ASSERT_TRUE(OsTzSpecificLocalTimeToSystemTime(&tzi, &local, &utc));
            // Only the second pass through the repeated hour comes back one hour early.
            if (Ticks(utc) != t) {
                EXPECT_EQ(Ticks(utc), t - kHour) << Str(st);
            }
        }
    }
}

TEST(TimeZoneRules, RuleLessAbsoluteAndInvalidZones) {
    TIME_ZONE_INFORMATION india{};
    india.Bias = -330;
    EXPECT_EQ(ToLocal(&india, St(2024, 7, 1, 12)), "2024-07-01 17:30:00.000");
    EXPECT_EQ(ToUtc(&india, St(2024, 7, 1, 17, 30)), "2024-07-01 12:00:00.000");

    // Absolute dates apply once: daylight time in the summer of 2024 only.
    TIME_ZONE_INFORMATION once = Europe();
    once.DaylightDate = Rule(3, 0, 0, 2, 2024, 10);
    once.StandardDate = Rule(11, 0, 0, 2, 2024, 3);
    EXPECT_EQ(ToLocal(&once, St(2024, 6, 1, 12)), "2024-06-01 14:00:00.000");
    EXPECT_EQ(ToLocal(&once, St(2024, 3, 10, 0, 59)), "2024-03-10 01:59:00.000");
    EXPECT_EQ(ToLocal(&once, St(2024, 3, 10, 1)), "2024-03-10 03:00:00.000");
    EXPECT_EQ(ToLocal(&once, St(2025, 6, 1, 12)), "2025-06-01 13:00:00.000");

    TIME_ZONE_INFORMATION bad = Europe();
    bad.StandardDate.wDay = 0;
    EXPECT_EQ(ToLocal(&bad, St(2024, 6, 1)), "failed");
    bad = Europe();
    bad.DaylightDate.wDayOfWeek = 7;
    EXPECT_EQ(ToUtc(&bad, St(2024, 6, 1)), "failed");
    bad = Europe();
    bad.StandardDate.wMonth = 0;
    EXPECT_EQ(ToUtc(&bad, St(2024, 6, 1)), "failed");
    EXPECT_EQ(ToLocal(&india, St(2024, 2, 30)), "failed");
}

TEST_F(MachineZone, GetTimeZoneInformationDescribesTheZone) {
    ManualClock clock;  // 2024-01-01
    ScopedClock scoped(clock);
    TIME_ZONE_INFORMATION tzi;

    ASSERT_TRUE(SetLocalTimeZone("Europe/Berlin"));
    EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_STANDARD));
    EXPECT_EQ(tzi.Bias, -60);
    EXPECT_EQ(tzi.DaylightBias, -60);
    EXPECT_EQ(Str(tzi.DaylightDate), "0000-03-05 02:00:00.000");
    EXPECT_EQ(tzi.DaylightDate.wDayOfWeek, 0);
    EXPECT_EQ(Str(tzi.StandardDate), "0000-10-05 03:00:00.000");
    const std::u16string name(reinterpret_cast<const char16_t*>(tzi.StandardName));
    EXPECT_EQ(name, u"W. Europe Standard Time");

    ASSERT_TRUE(SetLocalTimeZone("AUS Eastern Standard Time"));  // Windows names work too
    EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT));
    EXPECT_EQ(tzi.Bias, -600);
    EXPECT_EQ(Str(tzi.DaylightDate), "0000-10-01 02:00:00.000");
    EXPECT_EQ(Str(tzi.StandardDate), "0000-04-01 03:00:00.000");

    ASSERT_TRUE(SetLocalTimeZone("Asia/Kolkata"));
    EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN));
    EXPECT_EQ(tzi.Bias, -330);
    EXPECT_EQ(tzi.DaylightDate.wMonth, 0);

    EXPECT_FALSE(SetLocalTimeZone("Nowhere/Special"));
}

TEST_F(MachineZone, DerivedRulesAgreeWithTheZoneDatabase) {
    ManualClock clock;
    ScopedClock scoped(clock);
    for (const char* pszZone : {"Europe/Berlin", "Australia/Sydney", "America/New_York", "America/Santiago"}) {
        ASSERT_TRUE(SetLocalTimeZone(pszZone));
        TIME_ZONE_INFORMATION tzi;
        GetTimeZoneInformation(&tzi);
        for (ULONGLONG t = Ticks(St(2024, 1, 1)); t < Ticks(St(2025, 1, 1)); t += kHour / 2) {
            const SYSTEMTIME st = FromTicks(t);
            ASSERT_EQ(ToLocal(&tzi, st), ToLocal(nullptr, st)) << pszZone;
            ASSERT_EQ(ToUtc(&tzi, st), ToUtc(nullptr, st)) << pszZone << " " << Str(st);
        }
    }
}

TEST_F(MachineZone, LocalFileTimesAndZoneDateStrings) {
    ASSERT_TRUE(SetLocalTimeZone("Europe/Berlin"));
    FILETIME utc = UInt64ToFileTime(Ticks(St(2024, 7, 1, 10)) + 5), local, back;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(FileTimeToUInt64(local), FileTimeToUInt64(utc) + 2 * kHour);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(FileTimeToUInt64(back), FileTimeToUInt64(utc));

    const double dLocal = Ole(St(2024, 7, 1, 12));  // noon in Berlin
    EXPECT_EQ(VariantTimeToTzSpecificTimeStr(dLocal, true, nullptr), L"20240701T100000Z");
    const TIME_ZONE_INFORMATION sydney = Sydney();
    EXPECT_EQ(VariantTimeToTzSpecificTimeStr(dLocal, true, &sydney), L"20240701T200000");
    EXPECT_EQ(VariantTimeToTzSpecificTimeStr(Ole(St(2024, 7, 1, 20)), false, &sydney), L"20240702");
    EXPECT_EQ(VariantTimeToTzSpecificTimeStr(NAN, true, nullptr), L"");
}

TEST_F(MachineZone, UtcDatesAloneAreWrittenAsLocalDates) {
    // An all-day start is local midnight; held in UTC it lies on the previous day east of UTC and
    // in the morning west of it. Either way the date sent is the local one.
    const struct {
        const char* pszZone;
        double dUtc;
    } cases[] = {
        {"Australia/Sydney", Ole(St(2024, 3, 14, 13))},    // 2024-03-15 00:00 +11:00
        {"America/New_York", Ole(St(2024, 3, 15, 4))},     // 2024-03-15 00:00 -04:00
        {"Pacific/Honolulu", Ole(St(2024, 3, 15, 10))},    // 2024-03-15 00:00 -10:00
        {"Pacific/Kiritimati", Ole(St(2024, 3, 14, 10))},  // 2024-03-15 00:00 +14:00
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetLocalTimeZone(c.pszZone));
        EXPECT_EQ(VariantTimeToOstrelDateStr(c.dUtc, false, false), L"20240315") << c.pszZone;
        // Wall-time values and values with a time are written as given.
        EXPECT_EQ(VariantTimeToOstrelDateStr(Ole(St(2024, 3, 15)), false, true), L"20240315") << c.pszZone;
        EXPECT_EQ(VariantTimeToOstrelDateStr(Ole(St(2024, 3, 15, 1)), true, false), L"20240315T010000Z") << c.pszZone;
    }
}

TEST(Locale, FirstDayOfWeekFollowsTheUsersLocale) {
    ScopedEnv all("LC_ALL", nullptr), time("LC_TIME", nullptr), lang("LANG", "en_US.UTF-8");
    EXPECT_EQ(GetFirstDayOfWeek(), 6);  // Sunday
    {
        ScopedEnv de("LC_TIME", "de_DE.UTF-8");
        EXPECT_EQ(GetFirstDayOfWeek(), 0);  // Monday
        ScopedEnv eg("LC_ALL", "ar_EG.UTF-8");
        EXPECT_EQ(GetFirstDayOfWeek(), 5);  // Saturday
    }
    ScopedEnv c("LANG", "C.UTF-8");
    EXPECT_EQ(GetFirstDayOfWeek(), 6);
}

TEST(Locale, InvariantPicturesFormatAndParse) {
    const SYSTEMTIME st = FromTicks(Ticks(St(2026, 12, 3, 9, 5, 7)));
    EXPECT_EQ(FormatSystemTime(st, L"ddd, d MMM yyyy HH:mm:ss -0000"), L"Thu, 3 Dec 2026 09:05:07 -0000");
    EXPECT_EQ(FormatSystemTime(st, L"dddd dd MMMM yy h:m:s t"), L"Thursday 03 December 26 9:5:7 A");
    EXPECT_EQ(FormatSystemTime(St(2024, 1, 1, 0, 0), L"hh:mm tt"), L"12:00 AM");
    EXPECT_EQ(FormatSystemTime(St(2024, 1, 1, 13, 0), L"h 'o''clock' tt"), L"1 o'clock PM");

    const std::wstring wsPicture = std::wstring(kInvariantTime) + L" " + kInvariantShortDate;
    const std::wstring wsText = FormatSystemTime(st, wsPicture);
    EXPECT_EQ(wsText, L"09:05:07 12/03/2026");
    SYSTEMTIME parsed;
    ASSERT_TRUE(ParseSystemTime(wsText, wsPicture, parsed));
    EXPECT_EQ(Str(parsed), "2026-12-03 09:05:07.000");
    EXPECT_EQ(parsed.wDayOfWeek, 4);
    ASSERT_TRUE(ParseSystemTime(L"1:05 pm", L"h:mm tt", parsed));
    EXPECT_EQ(parsed.wHour, 13);
    ASSERT_TRUE(ParseSystemTime(L"3/7/29", L"M/d/yy", parsed));
    EXPECT_EQ(parsed.wYear, 2029);

    for (const wchar_t* bad : {L"25:00:00 12/03/2026", L"09:05:07 02/30/2026", L"09:05:07 12/03/2026 ",
                               L"09:05 12/03/2026", L"", L"0x:05:07 12/03/2026"})
        EXPECT_FALSE(ParseSystemTime(bad, wsPicture, parsed)) << bad;
    EXPECT_FALSE(ParseSystemTime(L"13:00 PM", L"h:mm tt", parsed));
}

TEST(Locale, UserFormatUsesTheLocalesShortForms) {
    const SYSTEMTIME st = St(2026, 12, 3, 9, 5);
    {
        ScopedEnv all("LC_ALL", "de_DE.UTF-8");
        const std::wstring ws = FormatSystemTimeForUser(st);
        EXPECT_NE(ws.find(L"03.12.26"), std::wstring::npos) << Platform::ToUtf8(ws);
        EXPECT_NE(ws.find(L"09:05"), std::wstring::npos);
    }
    ScopedEnv all("LC_ALL", "en_US.UTF-8");
    EXPECT_NE(FormatSystemTimeForUser(st).find(L"12/3/26"), std::wstring::npos);
    EXPECT_EQ(FormatSystemTimeForUser(St(2026, 2, 30)), L"");
}
