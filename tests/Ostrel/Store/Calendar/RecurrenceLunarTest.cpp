// Monthly and yearly series kept in lunar calendars: their dates, first dates, phases and ends
// against fixed dates of those calendars and against ICU's field arithmetic (adding months to a
// date, which the code under test does not use).
#include "Ostrel/Store/Calendar/RecurrenceCalendar.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "RecurrenceTestUtil.h"
#include "Support/TempHome.h"

#include <gtest/gtest.h>
#include <unicode/calendar.h>

#include <cstdlib>
#include <memory>

using namespace CalendarTest;
using Ostrel::Mapi::COutlookRecurrencePattern;
using Ostrel::Mapi::RecurrenceCalendar;
using Ostrel::Mapi::RecurrenceMonth;
using P = COutlookRecurrencePattern;

namespace {

constexpr ULONG kDay = 1440;

// Dates of an ICU calendar as blob minutes; months are ICU's (0-based, Hebrew Adar I = 5).
class Icu {
public:
    explicit Icu(const char* pszName) {
        UErrorCode status = U_ZERO_ERROR;
        m_pCal.reset(icu::Calendar::createInstance(
            icu::TimeZone::getGMT()->clone(), icu::Locale((std::string("en@calendar=") + pszName).c_str()), status));
        EXPECT_TRUE(U_SUCCESS(status));
    }
    ULONG At(int iYear, int iMonth, int iDay) {
        m_pCal->clear();
        m_pCal->set(UCAL_EXTENDED_YEAR, iYear);
        m_pCal->set(UCAL_MONTH, iMonth);
        m_pCal->set(UCAL_DATE, iDay);
        return Now();
    }
    void Set(ULONG ulMinutes) {
        UErrorCode status = U_ZERO_ERROR;
        m_pCal->setTime((static_cast<double>(ulMinutes) - kEpoch) * 60000.0, status);
    }
    int Get(UCalendarDateFields field) {
        UErrorCode status = U_ZERO_ERROR;
        return m_pCal->get(field, status);
    }
    // The date the given number of months after it (the day pinned to the month's length).
    ULONG AddMonths(ULONG ulMinutes, int cMonths) {
        Set(ulMinutes);
        UErrorCode status = U_ZERO_ERROR;
        m_pCal->add(UCAL_MONTH, cMonths, status);
        return Now();
    }
    // The last day of the month containing the date that falls on the weekday (UCAL_FRIDAY ...).
    ULONG LastWeekdayOfMonth(ULONG ulMinutes, int iWeekday) {
        Set(ulMinutes);
        UErrorCode status = U_ZERO_ERROR;
        m_pCal->set(UCAL_DATE, m_pCal->getActualMaximum(UCAL_DATE, status));
        while (m_pCal->get(UCAL_DAY_OF_WEEK, status) != iWeekday)
            m_pCal->add(UCAL_DATE, -1, status);
        return Now();
    }

private:
    ULONG Now() {
        UErrorCode status = U_ZERO_ERROR;
        return static_cast<ULONG>(m_pCal->getTime(status) / 60000.0 + kEpoch);
    }
    // 1970-01-01 in blob minutes.
    const double kEpoch = Minutes(1970, 1, 1);
    std::unique_ptr<icu::Calendar> m_pCal;
};

P Make(USHORT wFrequency, USHORT wPatternType, USHORT wCalendarType, ULONG ulPeriod, ULONG ulStartDate) {
    P p;
    p.m_wRecurFrequency = wFrequency;
    p.m_wPatternType = wPatternType;
    p.m_wCalendarType = wCalendarType;
    p.m_ulPeriod = ulPeriod;
    p.m_ulStartDate = ulStartDate;
    return p;
}

void Calculate(P& p) {
    setenv("LC_ALL", "en_US.UTF-8", 1);
    ASSERT_EQ(p.CalculateFields(), S_OK);
}

// The series' dates by count, by end date and by walking agree with the expected ones.
void ExpectSeries(P p, const std::vector<ULONG>& vecExpected) {
    p.SetOccurrences(static_cast<ULONG>(vecExpected.size()));
    Calculate(p);
    EXPECT_EQ(p.m_ulStartDate, vecExpected.front());
    EXPECT_EQ(p.m_ulEndDate, vecExpected.back());
    std::vector<ULONG> vecDates;
    p.ExpandOccurrences(0, 0xFFFFFFFF, vecDates);
    EXPECT_EQ(vecDates, vecExpected);

    // Ended by a date a day before the last occurrence: one fewer.
    p.m_ulEndType = P::kEndAfterDate;
    p.m_ulEndDate = vecExpected.back() - kDay;
    Calculate(p);
    EXPECT_EQ(p.m_ulOccurrenceCount, vecExpected.size() - 1);
    EXPECT_EQ(p.m_ulEndDate, vecExpected[vecExpected.size() - 2]);
}

}  // namespace

TEST(RecurrenceLunar, MonthsOfFixedDates) {
    // Rosh Hashanah 5785 (1 Tishrei) and 1 Ramadan 1446 of the tabular Hijri calendar.
    const auto pHebrew = RecurrenceCalendar::Create(RecurrenceCalendar::kCalHebrew, P::kPatternMonth);
    ASSERT_TRUE(pHebrew);
    const RecurrenceMonth tishrei = pHebrew->MonthOf(static_cast<LONG>(Minutes(2024, 10, 12) / kDay));
    EXPECT_EQ(tishrei.lFirst * kDay, Minutes(2024, 10, 3));
    EXPECT_EQ(tishrei.iYear, 5785);
    EXPECT_EQ(tishrei.iMonth, 1);
    EXPECT_EQ(tishrei.cDays, 30);
    // Passover (15 Nisan) 5784 was 2024-04-23; 5784 is a leap year, so Nisan is month 8.
    const RecurrenceMonth nisan = pHebrew->MonthOf(static_cast<LONG>(Minutes(2024, 4, 23) / kDay));
    EXPECT_EQ((nisan.lFirst + 14) * kDay, Minutes(2024, 4, 23));
    EXPECT_EQ(nisan.iMonth, 8);
    // Adar I in a common year is Adar; in a leap year it is its own month before Adar.
    EXPECT_EQ(pHebrew->Month(5785, 6).iMonth, 7);
    EXPECT_EQ(pHebrew->After(pHebrew->Month(5784, 6), 1).iMonth, 7);

    const auto pHijri = RecurrenceCalendar::Create(RecurrenceCalendar::kCalGregorian, P::kPatternHjMonth);
    ASSERT_TRUE(pHijri);
    const RecurrenceMonth ramadan = pHijri->MonthOf(static_cast<LONG>(Minutes(2025, 3, 20) / kDay));
    EXPECT_EQ(ramadan.lFirst * kDay, Minutes(2025, 3, 1));
    EXPECT_EQ(ramadan.iYear, 1446);
    EXPECT_EQ(ramadan.iMonth, 9);

    // Counting months agrees with stepping through them, over leap years and leap months
    // (250 months: more than a 19-year Hebrew cycle).
    for (USHORT wType : {RecurrenceCalendar::kCalHebrew, RecurrenceCalendar::kCalHijri,
                         RecurrenceCalendar::kCalChineseLunar, RecurrenceCalendar::kCalGregorian}) {
        SCOPED_TRACE(wType);
        const auto pCal = RecurrenceCalendar::Create(wType, P::kPatternMonth);
        ASSERT_TRUE(pCal);
        const RecurrenceMonth first = pCal->FirstMonth();
        EXPECT_GE(first.lFirst, 0);
        EXPECT_LT(pCal->MonthOf(first.lFirst - 1).iYear, first.iYear);
        RecurrenceMonth month = first;
        for (LONG i = 0; i < 250; ++i, month = pCal->MonthOf(month.lFirst + month.cDays))
            ASSERT_EQ(pCal->MonthsBetween(first, month), i);
        EXPECT_EQ(pCal->After(first, 249).lFirst, pCal->MonthOf(month.lFirst - 1).lFirst);
    }
}

TEST(RecurrenceLunar, MonthlySeriesRunOnTheCalendarsMonths) {
    {
        SCOPED_TRACE("Hebrew, day 30 every month, through the leap year 5784 (Adar I and II)");
        Icu icu("hebrew");
        const ULONG ulStart = icu.At(5784, 0, 30);  // 30 Tishrei 5784
        std::vector<ULONG> vec;
        for (int i = 0; i < 14; ++i)
            vec.push_back(icu.AddMonths(ulStart, i));
        P p = Make(P::kFreqMonthly, P::kPatternMonth, RecurrenceCalendar::kCalHebrew, 1, ulStart - 20 * kDay);
        p.m_ulDayOfMonth = 30;
        ExpectSeries(p, vec);
        // Tevet (29 days) gets its last day; Adar I and Adar II both occur.
        EXPECT_EQ(vec[3], icu.At(5784, 3, 29));
        EXPECT_EQ(vec[5], icu.At(5784, 5, 30));
        EXPECT_EQ(vec[6], icu.At(5784, 6, 29));
    }
    {
        SCOPED_TRACE("Hebrew, last Friday every second month");
        Icu icu("hebrew");
        const ULONG ulMonth = icu.At(5784, 0, 1);
        std::vector<ULONG> vec;
        for (int i = 0; i < 8; ++i)
            vec.push_back(icu.LastWeekdayOfMonth(icu.AddMonths(ulMonth, 2 * i), UCAL_FRIDAY));
        P p = Make(P::kFreqMonthly, P::kPatternMonthNth, RecurrenceCalendar::kCalHebrew, 2, ulMonth);
        p.m_ulWeekDayMask = 0x20;
        p.m_ulMonthOccurence = 5;
        ExpectSeries(p, vec);
    }
    {
        SCOPED_TRACE("Hijri, day 30 every month from 1 Ramadan 1446");
        Icu icu("islamic-civil");
        ASSERT_EQ(icu.At(1446, 8, 1), Minutes(2025, 3, 1));
        const ULONG ulStart = icu.At(1446, 8, 30);
        std::vector<ULONG> vec;
        for (int i = 0; i < 6; ++i)
            vec.push_back(icu.AddMonths(ulStart, i));
        P p = Make(P::kFreqMonthly, P::kPatternMonth, RecurrenceCalendar::kCalHijri, 1, Minutes(2025, 3, 1));
        p.m_ulDayOfMonth = 30;
        ExpectSeries(p, vec);
        EXPECT_EQ(vec[1], icu.At(1446, 9, 29));  // Shawwal has 29 days
    }
    {
        SCOPED_TRACE("Hijri pattern type, second Friday every third month");
        Icu icu("islamic-civil");
        const ULONG ulMonth = icu.At(1446, 8, 1);
        std::vector<ULONG> vec;
        for (int i = 0; i < 5; ++i) {
            // The first Friday on or after the 1st, one week on.
            ULONG ul = icu.AddMonths(ulMonth, 3 * i);
            while (icu.Set(ul), icu.Get(UCAL_DAY_OF_WEEK) != UCAL_FRIDAY)
                ul += kDay;
            vec.push_back(ul + 7 * kDay);
        }
        P p = Make(P::kFreqMonthly, P::kPatternHjMonthNth, RecurrenceCalendar::kCalGregorian, 3, ulMonth);
        p.m_ulWeekDayMask = 0x20;
        p.m_ulMonthOccurence = 2;
        ExpectSeries(p, vec);
    }
    {
        SCOPED_TRACE("Chinese lunar, day 1 every month through the leap sixth month of 2025");
        Icu icu("chinese");
        const ULONG ulStart = Minutes(2025, 1, 29);  // new year 4662
        std::vector<ULONG> vec;
        for (int i = 0; i < 9; ++i)
            vec.push_back(icu.AddMonths(ulStart, i));
        EXPECT_EQ(vec[6], Minutes(2025, 7, 25));  // the leap month
        P p = Make(P::kFreqMonthly, P::kPatternMonth, RecurrenceCalendar::kCalChineseLunar, 1, ulStart);
        p.m_ulDayOfMonth = 1;
        ExpectSeries(p, vec);
    }
    {
        SCOPED_TRACE("Japanese era calendar: Gregorian months");
        P p = Make(P::kFreqMonthly, P::kPatternMonth, 3, 1, Minutes(2024, 1, 31));
        ExpectSeries(p, {Minutes(2024, 1, 31), Minutes(2024, 2, 29), Minutes(2024, 3, 31)});
    }
}

TEST(RecurrenceLunar, HebrewYearlySeriesAcrossLeapYears) {
    Icu icu("hebrew");
    {
        SCOPED_TRACE("14 Nisan, the day before Passover");
        P p = Make(P::kFreqYearly, P::kPatternMonth, RecurrenceCalendar::kCalHebrew, 12, Minutes(2024, 4, 22));
        ExpectSeries(p, {Minutes(2024, 4, 22), Minutes(2025, 4, 12), Minutes(2026, 4, 1), icu.At(5787, 7, 14)});
    }
    {
        SCOPED_TRACE("Purim, 14 Adar: in a leap year in Adar II");
        P p = Make(P::kFreqYearly, P::kPatternMonth, RecurrenceCalendar::kCalHebrew, 12, Minutes(2025, 3, 14));
        ExpectSeries(p, {Minutes(2025, 3, 14), Minutes(2026, 3, 3), Minutes(2027, 3, 23)});
        EXPECT_EQ(icu.At(5787, 6, 14), Minutes(2027, 3, 23));
    }
    {
        SCOPED_TRACE("14 Adar I: Adar in common years, Adar I again in the next leap year");
        P p = Make(P::kFreqYearly, P::kPatternMonth, RecurrenceCalendar::kCalHebrew, 12, Minutes(2024, 2, 23));
        ExpectSeries(p, {icu.At(5784, 5, 14), Minutes(2025, 3, 14), Minutes(2026, 3, 3), icu.At(5787, 5, 14)});
        EXPECT_EQ(icu.At(5784, 5, 14), Minutes(2024, 2, 23));
    }
    {
        SCOPED_TRACE("last Saturday of Tishrei every second year");
        std::vector<ULONG> vec;
        for (int iYear : {5785, 5787, 5789})
            vec.push_back(icu.LastWeekdayOfMonth(icu.At(iYear, 0, 1), UCAL_SATURDAY));
        P p = Make(P::kFreqYearly, P::kPatternMonthNth, RecurrenceCalendar::kCalHebrew, 24, Minutes(2024, 10, 3));
        p.m_ulWeekDayMask = 0x40;
        p.m_ulMonthOccurence = 5;
        ExpectSeries(p, vec);
    }
}

TEST(RecurrenceLunar, FirstDateTimeCountsTheCalendarsMonthsAndYears) {
    {
        // Hijri years have twelve months: from 1 Muharram 1010, the first year after 1601-01-01,
        // to Ramadan 1446 are 436 * 12 + 8 months, 4 more than a multiple of 7.
        Icu icu("islamic-civil");
        P p = Make(P::kFreqMonthly, P::kPatternMonth, RecurrenceCalendar::kCalHijri, 7, Minutes(2025, 3, 1));
        p.SetOccurrences(2);
        Calculate(p);
        EXPECT_EQ(p.m_ulFirstDateTime, icu.At(1010, 4, 1));
        EXPECT_GE(icu.At(1010, 0, 1), Minutes(1601, 1, 1));
        EXPECT_LT(icu.At(1010, 0, 1), Minutes(1601, 12, 31));
    }
    {
        // Hebrew months: count them one by one from 1 Tishrei 5362 with ICU.
        Icu icu("hebrew");
        const ULONG ulFirst = icu.At(5362, 0, 1);
        ASSERT_GE(ulFirst, Minutes(1601, 1, 1));
        const ULONG ulStart = icu.At(5784, 6, 1);  // Adar II 5784
        int cMonths = 0;
        while (icu.AddMonths(ulFirst, cMonths) < ulStart)
            ++cMonths;
        ASSERT_EQ(icu.AddMonths(ulFirst, cMonths), ulStart);
        for (ULONG ulPeriod : {5u, 7u, 11u}) {
            P p = Make(P::kFreqMonthly, P::kPatternMonth, RecurrenceCalendar::kCalHebrew, ulPeriod, ulStart);
            p.SetOccurrences(2);
            Calculate(p);
            EXPECT_EQ(p.m_ulFirstDateTime, icu.AddMonths(ulFirst, cMonths % static_cast<int>(ulPeriod))) << ulPeriod;
        }
    }
    {
        // Yearly: the month at the same place of the first year (every second year: of the year
        // of the same parity). Nisan is the eighth month of a leap year, the seventh of a common
        // one; the thirteenth month of a leap year has no place in a common year and takes its
        // last. Read back, the month of the year comes from the start.
        Icu icu("hebrew");
        struct Case {
            ULONG ulStart;
            ULONG ulPeriod;
            ULONG ulFirstDateTime;
            ULONG ulMonthOfYear;
        };
        const Case cases[] = {
            {Minutes(2011, 4, 7), 12, Minutes(1602, 4, 22), 8},   // 3 Nisan 5771: the stored example value
            {Minutes(2024, 4, 22), 24, icu.At(5362, 8, 1), 8},    // 14 Nisan 5784, leap: Iyar 5362
            {Minutes(2025, 4, 12), 24, icu.At(5363, 7, 1), 8},    // 14 Nisan 5785, common: Nisan 5363
            {icu.At(5784, 12, 10), 12, icu.At(5362, 12, 1), 13},  // Elul of a leap year: Elul 5362
            {Minutes(2025, 3, 14), 12, icu.At(5362, 6, 1), 7},    // Adar of a common year
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.ulStart);
            P p = Make(P::kFreqYearly, P::kPatternMonth, RecurrenceCalendar::kCalHebrew, c.ulPeriod, c.ulStart);
            p.SetOccurrences(3);
            Calculate(p);
            EXPECT_EQ(p.m_ulFirstDateTime, c.ulFirstDateTime);
            P read;
            ASSERT_EQ(ReadBlob(WriteBlob(p), read), S_OK);
            EXPECT_EQ(read.GetMonthOfYear(), c.ulMonthOfYear);
        }
    }
}

// The lunar vectors hold what the computation derives: from a start before the first
// occurrence and without first date time or end date, the same bytes come out.
TEST(RecurrenceLunar, VectorsHoldTheirDerivedFields) {
    for (const char* pszName : {"06-hebrew.hex", "08-hijri-monthly.hex"}) {
        SCOPED_TRACE(pszName);
        const HexVector vec = ReadHexVector(TestSupport::DataDir() / "recurrence" / pszName, "");
        P read;
        ASSERT_EQ(ReadBlob(vec.bytes, read), S_OK);
        P p(read);
        p.m_ulStartDate -= 10 * kDay;
        p.m_ulFirstDateTime = 0;
        p.m_ulEndDate = 0;
        Calculate(p);
        EXPECT_EQ(p.m_ulStartDate, read.m_ulStartDate);
        EXPECT_EQ(p.m_ulFirstDateTime, read.m_ulFirstDateTime);
        EXPECT_EQ(p.m_ulEndDate, read.m_ulEndDate);
        EXPECT_EQ(WriteBlob(p), vec.bytes);
        std::vector<ULONG> vecDates;
        p.ExpandOccurrences(0, 0xFFFFFFFF, vecDates);
        EXPECT_EQ(vecDates.size(), p.m_ulOccurrenceCount - p.GetDeletedInstanceDates().size());
    }
}

// Every calendar type over the whole range of dates: blobs read (the yearly month comes from
// the calendar), fields compute, and the walk ends within the last date a series may have.
TEST(RecurrenceLunar, EveryCalendarTypeAtTheEdgesOfTheRange) {
    const ULONG ulLast = Ostrel::Mapi::RecurrenceTime::kNoEndDate;
    for (USHORT wType = 0; wType <= 0x17; ++wType) {
        // Odd starts (a minute past midnight) take the last-Friday rule.
        for (ULONG ulStart :
             {kDay, kDay + 1, Minutes(1601, 12, 31), Minutes(2025, 1, 1, 0, 1), ulLast - ulLast % kDay}) {
            for (USHORT wFrequency : {P::kFreqMonthly, P::kFreqYearly}) {
                SCOPED_TRACE(std::to_string(wType) + " " + std::to_string(ulStart));
                P p = Make(wFrequency, P::kPatternMonthEnd, wType, wFrequency == P::kFreqYearly ? 24 : 5, ulStart);
                p.m_ulDayOfMonth = 31;  // stored with the month-end type, not used by it
                if (ulStart % 2) {
                    p.m_wPatternType = P::kPatternMonthNth;
                    p.m_ulWeekDayMask = 0x20;
                    p.m_ulMonthOccurence = 5;
                }
                p.SetOccurrences(3);
                Calculate(p);
                EXPECT_GE(p.m_ulEndDate, p.m_ulStartDate);
                EXPECT_LE(p.m_ulFirstDateTime, std::max(p.m_ulStartDate, Minutes(1603, 1, 1)));
                std::vector<ULONG> vecDates;
                p.ExpandOccurrences(0, 0xFFFFFFFF, vecDates);
                EXPECT_LE(vecDates.size(), 3u);
                for (ULONG ul : vecDates)
                    EXPECT_LE(ul, ulLast);
                if (wType < 17 || wType == 20) {
                    P read;
                    ASSERT_EQ(ReadBlob(WriteBlob(p), read), S_OK);
                    if (wFrequency == P::kFreqYearly && ulStart < ulLast - kDay) {
                        EXPECT_EQ(read.GetMonthOfYear(), p.GetMonthOfYear());
                    }
                }
            }
        }
    }
}
