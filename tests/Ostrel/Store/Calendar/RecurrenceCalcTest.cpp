// Derived fields of the recurrence pattern: start and end dates, counts, the period's phase and
// the walk over a series' dates, against the values Outlook defines for them.
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "RecurrenceTestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace CalendarTest;
using Ostrel::Mapi::COutlookRecurrencePattern;
using P = COutlookRecurrencePattern;

namespace {

P Make(USHORT wFrequency, USHORT wPatternType, ULONG ulPeriod, ULONG ulStartDate) {
    P p;
    p.m_wRecurFrequency = wFrequency;
    p.m_wPatternType = wPatternType;
    p.m_ulPeriod = ulPeriod;
    p.m_ulStartDate = ulStartDate;
    return p;
}

// Runs the computation with a locale whose week starts on Sunday.
void Calculate(P& p) {
    setenv("LC_ALL", "en_US.UTF-8", 1);
    ASSERT_EQ(p.CalculateFields(), S_OK);
}

struct Series {
    const char* pszName;
    P pattern;
    ULONG ulStart;  // expected start date
    ULONG ulEnd;    // expected end date
    ULONG ulCount;  // expected occurrence count
};

}  // namespace

TEST(RecurrenceCalc, FirstDateTimeOfTheReferenceExamples) {
    P daily = Make(P::kFreqDaily, P::kPatternDay, 4320, 215776800);
    daily.CalculateFirstDateTime();
    EXPECT_EQ(daily.m_ulFirstDateTime, 1440u);

    P monthly = Make(P::kFreqMonthly, P::kPatternMonth, 2, Minutes(2012, 8, 30));
    monthly.CalculateFirstDateTime();
    EXPECT_EQ(monthly.m_ulFirstDateTime, 44640u);

    // Weekly: the minutes of the week's first day modulo the period in minutes.
    P weekly = Make(P::kFreqWeekly, P::kPatternWeek, 1, Minutes(2007, 3, 28));
    weekly.m_ulFirstDayOfWeek = 0;
    weekly.CalculateFirstDateTime();
    EXPECT_EQ(weekly.m_ulFirstDateTime, Minutes(2007, 3, 25) % 10080);
    EXPECT_EQ(weekly.m_ulFirstDateTime, 8640u);
}

TEST(RecurrenceCalc, StartEndAndCountOfSeries) {
    std::vector<Series> series;
    auto Add = [&](const char* pszName, P p, ULONG ulStart, ULONG ulEnd, ULONG ulCount) {
        series.push_back({pszName, p, ulStart, ulEnd, ulCount});
    };
    {
        P p = Make(P::kFreqDaily, P::kPatternDay, 3 * 1440, Minutes(2024, 1, 1));
        p.m_ulEndType = P::kEndAfterDate;
        p.m_ulEndDate = Minutes(2024, 1, 20);
        Add("every third day until a date", p, Minutes(2024, 1, 1), Minutes(2024, 1, 19), 7);
    }
    {
        P p = Make(P::kFreqDaily, P::kPatternWeek, 1, Minutes(2024, 6, 1));  // a Saturday
        p.m_ulWeekDayMask = 0x3E;
        p.SetOccurrences(6);
        Add("every weekday from a Saturday", p, Minutes(2024, 6, 3), Minutes(2024, 6, 10), 6);
    }
    {
        P p = Make(P::kFreqWeekly, P::kPatternWeek, 2, Minutes(2024, 1, 3));  // a Wednesday
        p.m_ulWeekDayMask = 0x14;                                             // Tuesday, Thursday
        p.SetOccurrences(5);
        Add("Tuesday and Thursday every second week", p, Minutes(2024, 1, 4), Minutes(2024, 2, 1), 5);
    }
    {
        P p = Make(P::kFreqMonthly, P::kPatternMonth, 1, Minutes(2024, 1, 31));
        p.SetOccurrences(4);
        Add("day 31 in shorter months", p, Minutes(2024, 1, 31), Minutes(2024, 4, 30), 4);
    }
    {
        P p = Make(P::kFreqMonthly, P::kPatternMonth, 1, Minutes(2024, 2, 10));
        p.m_ulDayOfMonth = 29;
        p.SetOccurrences(2);
        Add("day 29 in a leap February", p, Minutes(2024, 2, 29), Minutes(2024, 3, 29), 2);
    }
    {
        P p = Make(P::kFreqMonthly, P::kPatternMonth, 1, Minutes(2023, 2, 10));
        p.m_ulDayOfMonth = 29;
        p.SetOccurrences(2);
        Add("day 29 in a common February", p, Minutes(2023, 2, 28), Minutes(2023, 3, 29), 2);
    }
    {
        P p = Make(P::kFreqMonthly, P::kPatternMonthNth, 1, Minutes(2024, 6, 1));
        p.m_ulWeekDayMask = 0x3E;
        p.m_ulMonthOccurence = 2;
        p.SetOccurrences(3);
        Add("second weekday of the month", p, Minutes(2024, 6, 4), Minutes(2024, 8, 2), 3);
    }
    {
        P p = Make(P::kFreqMonthly, P::kPatternMonthNth, 2, Minutes(2024, 5, 31));
        p.m_ulWeekDayMask = 0x20;
        p.m_ulMonthOccurence = 5;
        p.SetOccurrences(3);
        // The last Friday of May 2024 is the 31st; then July and September.
        Add("last Friday every second month", p, Minutes(2024, 5, 31), Minutes(2024, 9, 27), 3);
    }
    {
        P p = Make(P::kFreqYearly, P::kPatternMonth, 12, Minutes(2024, 2, 29));
        p.SetOccurrences(3);
        Add("29 February yearly", p, Minutes(2024, 2, 29), Minutes(2026, 2, 28), 3);
    }
    {
        P p = Make(P::kFreqYearly, P::kPatternMonthNth, 12, Minutes(2024, 12, 1));
        p.m_ulWeekDayMask = 0x10;  // Thursday
        p.m_ulMonthOccurence = 4;
        p.m_ulMonthOfYear = 11;
        p.m_ulEndType = P::kEndAfterDate;
        p.m_ulEndDate = Minutes(2027, 12, 31);
        Add("fourth Thursday of November, started after this year's", p, Minutes(2025, 11, 27), Minutes(2027, 11, 25),
            3);
    }
    {
        P p = Make(P::kFreqWeekly, P::kPatternWeek, 1, Minutes(1965, 3, 2));
        p.m_ulWeekDayMask = 0x02;
        p.SetNoEndDate(true);
        Add("weekly without end, before 1970", p, Minutes(1965, 3, 8), Ostrel::Mapi::RecurrenceTime::kNoEndDate, 10);
    }
    for (Series& s : series) {
        SCOPED_TRACE(s.pszName);
        Calculate(s.pattern);
        EXPECT_EQ(s.pattern.m_ulStartDate, s.ulStart);
        EXPECT_EQ(s.pattern.m_ulEndDate, s.ulEnd);
        EXPECT_EQ(s.pattern.m_ulOccurrenceCount, s.ulCount);
        // The walk agrees with the computed fields.
        std::vector<ULONG> vecDates;
        s.pattern.ExpandOccurrences(0, s.ulEnd, vecDates);
        ASSERT_FALSE(vecDates.empty());
        EXPECT_EQ(vecDates.front(), s.ulStart);
        if (s.pattern.m_ulEndType != P::kEndNever) {
            EXPECT_EQ(vecDates.back(), s.ulEnd);
            EXPECT_EQ(vecDates.size(), s.ulCount);
        }
    }
}

TEST(RecurrenceCalc, FirstDayOfWeekComesFromTheUserAndCountsFromSunday) {
    P p = Make(P::kFreqWeekly, P::kPatternWeek, 1, Minutes(2024, 5, 8));  // a Wednesday
    p.m_ulWeekDayMask = 0x08;
    p.SetOccurrences(2);
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    ASSERT_EQ(p.CalculateFields(), S_OK);
    EXPECT_EQ(p.m_ulFirstDayOfWeek, 1u);  // Monday
    EXPECT_EQ(p.m_ulFirstDateTime, Minutes(2024, 5, 6) % 10080);
    setenv("LC_ALL", "en_US.UTF-8", 1);
    ASSERT_EQ(p.CalculateFields(), S_OK);
    EXPECT_EQ(p.m_ulFirstDayOfWeek, 0u);  // Sunday
    EXPECT_EQ(p.m_ulFirstDateTime, Minutes(2024, 5, 5) % 10080);
    unsetenv("LC_ALL");
}

TEST(RecurrenceCalc, ExceptionsAndDeletedDates) {
    P p = Make(P::kFreqDaily, P::kPatternDay, 1440, Minutes(2024, 1, 1));
    p.m_ulStartTime = 540;
    p.m_ulEndTime = 600;
    p.SetOccurrences(10);
    Calculate(p);

    // A time that is an occurrence gets a new exception, then the same one again.
    FILETIME ft;
    ASSERT_TRUE(Ostrel::Mapi::RecurrenceTime::LocalMinutesToUtc(nullptr, Minutes(2024, 1, 3, 9), ft));
    int iCreated = 0;
    auto* pException = p.GetOccurrence(ft, &iCreated);
    ASSERT_NE(pException, nullptr);
    EXPECT_EQ(iCreated, 1);
    EXPECT_EQ(pException->GetOriginalDateTime(), Minutes(2024, 1, 3, 9));
    EXPECT_EQ(p.GetOccurrence(ft, &iCreated), pException);
    EXPECT_EQ(iCreated, 0);
    // After the series' dates there is none.
    ASSERT_TRUE(Ostrel::Mapi::RecurrenceTime::LocalMinutesToUtc(nullptr, Minutes(2023, 12, 31, 9), ft));
    EXPECT_EQ(p.GetOccurrence(ft, &iCreated), nullptr);

    // A second exception marked deleted only leaves its date deleted.
    ASSERT_TRUE(Ostrel::Mapi::RecurrenceTime::LocalMinutesToUtc(nullptr, Minutes(2024, 1, 5, 9), ft));
    p.GetOccurrence(ft, &iCreated)->SetDeleted(true);
    pException->SetStartDateTime(Minutes(2024, 1, 3, 13));
    p.FixDeletedOccurrences();
    EXPECT_EQ(p.GetExceptionCount(), 1u);
    EXPECT_EQ(p.GetDeletedInstanceDates(), std::vector<ULONG>({Minutes(2024, 1, 3), Minutes(2024, 1, 5)}));
    std::vector<ULONG> vecDates;
    p.ExpandOccurrences(Minutes(2024, 1, 2), Minutes(2024, 1, 6), vecDates);
    EXPECT_EQ(vecDates, std::vector<ULONG>({Minutes(2024, 1, 2), Minutes(2024, 1, 4), Minutes(2024, 1, 6)}));
}
