// Helpers shared by the calendar model tests: dates written as text, and two zones with rules.
#pragma once

#include "Ostrel/Model/Calendar/Appointment.h"
#include "Util/Time/TimeUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace CalendarTest {

inline SYSTEMTIME St(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    return st;
}

inline std::string Str(const SYSTEMTIME& st) {
    char sz[64];
    std::snprintf(sz, sizeof sz, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    return sz;
}

inline double Ole(int y, int mo, int d, int h = 0, int mi = 0) {
    const SYSTEMTIME st = St(y, mo, d, h, mi);
    double dDate = 0;
    EXPECT_TRUE(Ostrel::Util::SystemTimeToVariantTime(&st, &dDate));
    return dDate;
}

inline std::string OleStr(double dDate) {
    SYSTEMTIME st;
    return Ostrel::Util::VariantTimeToSystemTime(dDate, &st) ? Str(st) : "invalid";
}

inline std::string FileTimeStr(const FILETIME& ft) {
    SYSTEMTIME st;
    return Ostrel::Util::FileTimeToSystemTime(&ft, &st) ? Str(st) : "invalid";
}

// Central Europe: daylight time from the last Sunday of March 02:00 to the last Sunday of
// October 03:00, as the server describes it (week -1 = last).
inline void MakeBerlin(Ostrel::Mail::TimeZone& tz) {
    tz.SetId(L"Europe/Berlin");
    tz.SetStandardOffset(60);
    tz.SetDaylightOffset(120);
    tz.SetStandardStart(-1, 0, 10, 3, 0, 0);
    tz.SetDaylightStart(-1, 0, 3, 2, 0, 0);
}

// US Eastern: the second Sunday of March to the first Sunday of November, both at 02:00.
inline void MakeNewYork(Ostrel::Mail::TimeZone& tz) {
    tz.SetId(L"America/New_York");
    tz.SetStandardOffset(-300);
    tz.SetDaylightOffset(-240);
    tz.SetStandardStart(1, 0, 11, 2, 0, 0);
    tz.SetDaylightStart(2, 0, 3, 2, 0, 0);
}

// Tests that depend on the machine's zone set it; afterwards it is UTC again.
class MachineZone : public ::testing::Test {
protected:
    void TearDown() override { Ostrel::Util::SetLocalTimeZone("UTC"); }
};

}  // namespace CalendarTest
