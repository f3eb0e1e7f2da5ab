#include "CalendarTestUtil.h"

#include "Ostrel/Model/Calendar/AppointmentDates.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <gtest/gtest.h>

using namespace CalendarTest;
using namespace Ostrel::Mail;
using Ostrel::Util::LogCapture;
using Ostrel::Util::SetLocalTimeZone;

namespace {

std::string Parse(const wchar_t* pwsz, BOOL bUnix = FALSE) {
    SYSTEMTIME st{};
    return DateStringToSYSTEMTIME(pwsz, st, bUnix) ? Str(st) : "failed";
}

std::string ParseLocal(const wchar_t* pwsz, BOOL bUnix = FALSE) {
    SYSTEMTIME st{};
    return DateStringToLocalSYSTEMTIME(pwsz, st, bUnix) ? Str(st) : "failed";
}

std::string ToUtc(const wchar_t* pwsz, const TimeZone* pTz) {
    FILETIME ft{};
    return ConvertDateStringToUTC(pwsz, pTz, &ft) ? FileTimeStr(ft) : "failed";
}

std::string ToTz(const wchar_t* pwsz, const TimeZone* pTz) {
    double d = 0;
    return ConvertDateStringToTzDouble(pwsz, pTz, d) ? OleStr(d) : "failed";
}

std::string TzToLocal(const wchar_t* pwsz, const TimeZone* pTz) {
    double d = 0;
    return ConvertTzDateStringToLocalDouble(pwsz, pTz, d) ? OleStr(d) : "failed";
}

}  // namespace

TEST(CalendarDates, ServerDateStringForms) {
    EXPECT_EQ(Parse(L"20240315"), "2024-03-15 00:00:00");
    EXPECT_EQ(Parse(L"20240315Z"), "2024-03-15 00:00:00");
    EXPECT_EQ(Parse(L"20240315T0930"), "2024-03-15 09:30:00");
    EXPECT_EQ(Parse(L"20240315T0930Z"), "2024-03-15 09:30:00");
    // Minutes are the finest unit kept: seconds are checked but dropped.
    EXPECT_EQ(Parse(L"20240315T093000Z"), "2024-03-15 09:30:00");
    EXPECT_EQ(Parse(L"20240315T093059"), "2024-03-15 09:30:00");
    // A leap second is a valid time of the server's data.
    EXPECT_EQ(Parse(L"20161231T235960Z"), "2016-12-31 23:59:00");
    EXPECT_EQ(Parse(L"20240229T235900"), "2024-02-29 23:59:00");
    EXPECT_EQ(Parse(L"16010101"), "1601-01-01 00:00:00");
}

TEST(CalendarDates, MalformedStringsAreRefusedWithALogLine) {
    const wchar_t* const apwszBad[] = {
        L"",
        L"2024",
        L"2024031",
        L"2024-03-15",
        L"20240315T",
        L"20240315T9",
        L"20240315T093",
        L"20240315T09300",
        L"20240315T0930001",
        L"20240315Z0930",
        L"20241315",
        L"20240001",
        L"20240230",
        L"20230229",
        L"20240315T2400",
        L"20240315T0960",
        L"20240315T093061",
        L"20240315 ",
        L"20240315ZZ",
        L" 20240315",
        L"15991231",
        L"2024T315",
        L"+2024031",
        L"20240315t0930",
        L"\xFF12\xFF10\xFF12\xFF14\xFF10\xFF13\xFF11\xFF15",
    };
    for (const wchar_t* pwsz : apwszBad) {
        LogCapture capture;
        SYSTEMTIME st{};
        EXPECT_FALSE(DateStringToSYSTEMTIME(pwsz, st)) << Platform::ToUtf8(pwsz);
        EXPECT_TRUE(capture.Contains(L"DateStringToSYSTEMTIME() - malformed date string")) << Platform::ToUtf8(pwsz);
    }
    LogCapture capture;
    SYSTEMTIME st{};
    EXPECT_FALSE(DateStringToSYSTEMTIME(nullptr, st));
    EXPECT_TRUE(capture.Contains(L"invalid parameters"));
}

TEST(CalendarDates, UnixTimeStrings) {
    EXPECT_EQ(Parse(L"1710495000", TRUE), "2024-03-15 09:30:00");
    EXPECT_EQ(Parse(L"0", TRUE), "1970-01-01 00:00:00");
    EXPECT_EQ(Parse(L"-1", TRUE), "1969-12-31 23:59:59");
    EXPECT_EQ(Parse(L"", TRUE), "failed");
    EXPECT_EQ(Parse(L"-", TRUE), "failed");
    EXPECT_EQ(Parse(L"12a", TRUE), "failed");
    EXPECT_EQ(Parse(L"20240315T0930Z", TRUE), "failed");
    EXPECT_EQ(Parse(L"99999999999999999999", TRUE), "failed");  // beyond 64 bits
    EXPECT_EQ(Parse(L"-99999999999", TRUE), "failed");          // before 1601
}

TEST_F(MachineZone, LocalFormsConvertOnlyUtcTexts) {
    ASSERT_TRUE(SetLocalTimeZone("Europe/Berlin"));
    EXPECT_EQ(ParseLocal(L"20240315T093000Z"), "2024-03-15 10:30:00");
    EXPECT_EQ(ParseLocal(L"20240715T093000Z"), "2024-07-15 11:30:00");
    EXPECT_EQ(ParseLocal(L"20240715T093000"), "2024-07-15 09:30:00");  // floating: as written
    // A Unix time is UTC by definition and is converted as well.
    EXPECT_EQ(ParseLocal(L"1710495000", TRUE), "2024-03-15 10:30:00");
    // Midnight UTC is the previous evening nowhere here, but the day changes going west.
    ASSERT_TRUE(SetLocalTimeZone("America/New_York"));
    EXPECT_EQ(ParseLocal(L"20240101Z"), "2023-12-31 19:00:00");

    FILETIME ft{};
    ASSERT_TRUE(DateStringToLocalFILETIME(L"20240715T1200Z", ft));
    EXPECT_EQ(FileTimeStr(ft), "2024-07-15 08:00:00");
    EXPECT_EQ(OleStr(DateStringToLocalDouble(L"20240715T1200Z")), "2024-07-15 08:00:00");

    LogCapture capture;
    EXPECT_EQ(DateStringToLocalDouble(L"2024-07-15"), -1.0);
    EXPECT_FALSE(DateStringToLocalFILETIME(nullptr, ft));
    EXPECT_TRUE(
        capture.Contains(L"DateStringToLocalSYSTEMTIME() - could not convert the date string to a system time"));
    EXPECT_TRUE(capture.Contains(L"DateStringToLocalSYSTEMTIME() - invalid parameters"));
}

TEST_F(MachineZone, ZoneWallTimeToUtc) {
    ASSERT_TRUE(SetLocalTimeZone("Asia/Tokyo"));
    TimeZone berlin;
    MakeBerlin(berlin);
    EXPECT_EQ(ToUtc(L"20240315T093000", &berlin), "2024-03-15 08:30:00");
    EXPECT_EQ(ToUtc(L"20240715T093000", &berlin), "2024-07-15 07:30:00");
    EXPECT_EQ(ToUtc(L"20240715T093000Z", &berlin), "2024-07-15 09:30:00");
    // An all-day date is midnight in the zone, which is the previous day in UTC.
    EXPECT_EQ(ToUtc(L"20240315", &berlin), "2024-03-14 23:00:00");
    // Without a zone the wall time is the machine's.
    EXPECT_EQ(ToUtc(L"20240315T093000", nullptr), "2024-03-15 00:30:00");
    // Across the spring change: 01:59 is standard time, 03:00 daylight time.
    EXPECT_EQ(ToUtc(L"20240331T0159", &berlin), "2024-03-31 00:59:00");
    EXPECT_EQ(ToUtc(L"20240331T0300", &berlin), "2024-03-31 01:00:00");

    LogCapture capture;
    FILETIME ft{};
    EXPECT_FALSE(ConvertDateStringToUTC(L"20240315", &berlin, nullptr));
    EXPECT_FALSE(ConvertDateStringToUTC(nullptr, &berlin, &ft));
    EXPECT_FALSE(ConvertDateStringToUTC(L"20240315T", &berlin, &ft));
    EXPECT_TRUE(capture.Contains(L"ConvertDateStringToUTC() - invalid lpftDate parameter"));
    EXPECT_TRUE(capture.Contains(L"ConvertDateStringToUTC() - invalid date string or timezone object"));
    EXPECT_TRUE(capture.Contains(L"ConvertDateStringToUTC() - could not convert the date string to a system time"));
}

// Daylight time across the turn of the year, and a zone that never changes.
TEST_F(MachineZone, SouthernAndNoDaylightZonesToUtcAndBack) {
    ASSERT_TRUE(SetLocalTimeZone("America/New_York"));
    TimeZone sydney;
    sydney.SetId(L"Australia/Sydney");
    sydney.SetStandardOffset(600);
    sydney.SetDaylightOffset(660);
    sydney.SetStandardStart(1, 0, 4, 3, 0, 0);
    sydney.SetDaylightStart(1, 0, 10, 2, 0, 0);
    EXPECT_EQ(ToUtc(L"20240115T120000", &sydney), "2024-01-15 01:00:00");
    EXPECT_EQ(ToUtc(L"20240715T120000", &sydney), "2024-07-15 02:00:00");
    EXPECT_EQ(ToUtc(L"20241215T120000", &sydney), "2024-12-15 01:00:00");
    EXPECT_EQ(ToTz(L"20240115T010000Z", &sydney), "2024-01-15 12:00:00");
    EXPECT_EQ(ToTz(L"20240715T020000Z", &sydney), "2024-07-15 12:00:00");

    TimeZone kolkata;
    kolkata.SetId(L"Asia/Kolkata");
    kolkata.SetStandardOffset(330);
    kolkata.SetDaylightOffset(330);
    EXPECT_EQ(ToUtc(L"20240115T120000", &kolkata), "2024-01-15 06:30:00");
    EXPECT_EQ(ToUtc(L"20240715T120000", &kolkata), "2024-07-15 06:30:00");
    EXPECT_EQ(ToTz(L"20240715T063000Z", &kolkata), "2024-07-15 12:00:00");
}

TEST_F(MachineZone, UtcToZoneWallTime) {
    ASSERT_TRUE(SetLocalTimeZone("America/New_York"));
    TimeZone berlin;
    MakeBerlin(berlin);
    EXPECT_EQ(ToTz(L"20240315T093000", &berlin), "2024-03-15 09:30:00");  // wall time stays
    EXPECT_EQ(ToTz(L"20240315T093000", nullptr), "2024-03-15 09:30:00");
    EXPECT_EQ(ToTz(L"20240315T093000Z", &berlin), "2024-03-15 10:30:00");
    EXPECT_EQ(ToTz(L"20240315T093000Z", nullptr), "2024-03-15 05:30:00");  // machine: EDT
    EXPECT_EQ(ToTz(L"20231231T2330Z", &berlin), "2024-01-01 00:30:00");
    // The hour repeated when daylight time ends: both UTC times give the same wall time.
    EXPECT_EQ(ToTz(L"20241027T0030Z", &berlin), "2024-10-27 02:30:00");
    EXPECT_EQ(ToTz(L"20241027T0130Z", &berlin), "2024-10-27 02:30:00");

    LogCapture capture;
    double d = 0;
    EXPECT_FALSE(ConvertDateStringToTzDouble(nullptr, &berlin, d));
    EXPECT_FALSE(ConvertDateStringToTzDouble(L"2024031", &berlin, d));
    EXPECT_TRUE(capture.Contains(L"ConvertDateStringToTzDouble() - invalid date string or timezone object"));
    EXPECT_TRUE(
        capture.Contains(L"ConvertDateStringToTzDouble() - could not convert the date string to a system time"));
}

TEST_F(MachineZone, ZoneWallTimeToMachineLocal) {
    ASSERT_TRUE(SetLocalTimeZone("America/New_York"));
    TimeZone berlin;
    MakeBerlin(berlin);
    // Berlin is still on standard time, New York already on daylight time.
    EXPECT_EQ(TzToLocal(L"20240315T093000", &berlin), "2024-03-15 04:30:00");
    EXPECT_EQ(TzToLocal(L"20240101T003000", &berlin), "2023-12-31 18:30:00");
    EXPECT_EQ(TzToLocal(L"20240101T003000Z", nullptr), "2023-12-31 19:30:00");

    LogCapture capture;
    double d = 0;
    EXPECT_FALSE(ConvertTzDateStringToLocalDouble(L"20240315T093000", nullptr, d));
    EXPECT_FALSE(ConvertTzDateStringToLocalDouble(nullptr, &berlin, d));
    EXPECT_FALSE(ConvertTzDateStringToLocalDouble(L"X", &berlin, d));
    EXPECT_TRUE(capture.Contains(L"ConvertTzDateStringToLocalDouble() - missing the required timezone object"));
    EXPECT_TRUE(capture.Contains(L"ConvertTzDateStringToLocalDouble() - invalid date string or timezone object"));
    EXPECT_TRUE(
        capture.Contains(L"ConvertTzDateStringToLocalDouble() - could not convert the date string to a system time"));
}

TEST_F(MachineZone, TzDoubleToLocalDouble) {
    ASSERT_TRUE(SetLocalTimeZone("UTC"));
    TimeZone berlin;
    MakeBerlin(berlin);
    double d = 0;
    ASSERT_TRUE(ConvertTzDoubleToLocalDouble(Ole(2024, 7, 15, 9, 30), &berlin, d));
    EXPECT_EQ(OleStr(d), "2024-07-15 07:30:00");
    ASSERT_TRUE(SetLocalTimeZone("Asia/Kolkata"));
    ASSERT_TRUE(ConvertTzDoubleToLocalDouble(Ole(2024, 7, 15, 9, 30), nullptr, d));  // input is UTC
    EXPECT_EQ(OleStr(d), "2024-07-15 15:00:00");

    LogCapture capture;
    EXPECT_FALSE(ConvertTzDoubleToLocalDouble(-700000.0, &berlin, d));
    EXPECT_TRUE(capture.Contains(L"ConvertTzDoubleToLocalDouble() - could not convert the date to a system time"));
}

// UTC to zone wall time and back gives the same instant on every hour of the days the clocks
// change, except the repeated autumn hour, whose wall time is read as daylight time.
TEST_F(MachineZone, RoundTripsAcrossDaylightChanges) {
    ASSERT_TRUE(SetLocalTimeZone("UTC"));
    TimeZone berlin;
    MakeBerlin(berlin);
    for (int iDay : {30, 31}) {
        for (int iHour = 0; iHour < 24; ++iHour) {
            wchar_t wsz[32];
            std::swprintf(wsz, 32, L"202403%02dT%02d15Z", iDay, iHour);
            double dWall = 0, dBack = 0;
            ASSERT_TRUE(ConvertDateStringToTzDouble(wsz, &berlin, dWall));
            ASSERT_TRUE(ConvertTzDoubleToLocalDouble(dWall, &berlin, dBack));
            EXPECT_EQ(OleStr(dBack), OleStr(Ole(2024, 3, iDay, iHour, 15))) << Platform::ToUtf8(wsz);
        }
    }
    for (int iHour = 0; iHour < 24; ++iHour) {
        wchar_t wsz[32];
        std::swprintf(wsz, 32, L"20241027T%02d15Z", iHour);
        double dWall = 0, dBack = 0;
        ASSERT_TRUE(ConvertDateStringToTzDouble(wsz, &berlin, dWall));
        ASSERT_TRUE(ConvertTzDoubleToLocalDouble(dWall, &berlin, dBack));
        const int iExpectedHour = iHour == 1 ? 0 : iHour;
        EXPECT_EQ(OleStr(dBack), OleStr(Ole(2024, 10, 27, iExpectedHour, 15))) << iHour;
    }
}

TEST_F(MachineZone, ObjectModelTimesOfAnotherZone) {
    ASSERT_TRUE(SetLocalTimeZone("America/New_York"));
    TimeZone berlin;
    MakeBerlin(berlin);
    TIME_ZONE_INFORMATION tzi;
    berlin.PopulateTimeZoneInfo(tzi);
    // 09:30 in New York is reported; the series means 09:30 in Berlin.
    const SYSTEMTIME stIn = St(2024, 3, 15, 13, 30);
    FILETIME ftIn, ftOut;
    ASSERT_TRUE(Ostrel::Util::SystemTimeToFileTime(&stIn, &ftIn));
    ASSERT_TRUE(OOMRecurringApptTimeAdjustment(&ftIn, &ftOut, &tzi));
    EXPECT_EQ(FileTimeStr(ftOut), "2024-03-15 08:30:00");

    LogCapture capture;
    const FILETIME ftBad{0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_FALSE(OOMRecurringApptTimeAdjustment(&ftBad, &ftOut, &tzi));
    EXPECT_FALSE(OOMRecurringApptTimeAdjustment(nullptr, &ftOut, &tzi));
    EXPECT_TRUE(capture.Contains(L"could not convert utc time to system time"));
    EXPECT_TRUE(capture.Contains(L"OOMRecurringApptTimeAdjustment() - invalid parameters"));
}
