// The calendars of recurrence patterns: Gregorian months by arithmetic, the others through
// ICU's calendars, which know each calendar's months, leap months and leap years.
#include "Ostrel/Store/Calendar/RecurrenceCalendar.h"

#include "Ostrel/Store/Calendar/RecurrenceLog.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"

#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <cmath>

namespace Ostrel::Mapi {

using namespace RecurrenceTime;

namespace {

class GregorianMonths final : public RecurrenceCalendar {
public:
    RecurrenceMonth MonthOf(LONG lDay) const override {
        const Date date = DateFromDays(lDay);
        return Make(date.iYear, date.iMonth);
    }
    RecurrenceMonth Month(int iYear, int iMonth) const override { return Make(iYear, iMonth); }
    RecurrenceMonth After(const RecurrenceMonth& month, LONG lMonths) const override {
        const Date first = FirstOfMonth(MonthIndex(Date{month.iYear, month.iMonth, 1}) + lMonths);
        return Make(first.iYear, first.iMonth);
    }
    LONG MonthsBetween(const RecurrenceMonth& from, const RecurrenceMonth& to) const override {
        return MonthIndex(Date{to.iYear, to.iMonth, 1}) - MonthIndex(Date{from.iYear, from.iMonth, 1});
    }
    RecurrenceMonth FirstMonth() const override { return Make(1601, 1); }
    int MaxMonth() const override { return 12; }

private:
    static RecurrenceMonth Make(int iYear, int iMonth) {
        return RecurrenceMonth{DaysFromDate(Date{iYear, iMonth, 1}), DaysInMonth(iYear, iMonth), iYear, iMonth, false};
    }
};

constexpr double kMsPerDay = 86400000.0;

class IcuMonths final : public RecurrenceCalendar {
public:
    IcuMonths(std::unique_ptr<icu::Calendar> pCalendar, bool bLeapMonths, int iMaxMonth)
        : m_pCalendar(std::move(pCalendar)), m_bLeapMonths(bLeapMonths), m_iMaxMonth(iMaxMonth) {}

    RecurrenceMonth MonthOf(LONG lDay) const override {
        UErrorCode status = U_ZERO_ERROR;
        m_pCalendar->setTime((static_cast<double>(lDay) - s_lDays1970) * kMsPerDay, status);
        RecurrenceMonth month;
        const int iDay = m_pCalendar->get(UCAL_DATE, status);
        month.lFirst = lDay - (iDay - 1);
        month.cDays = m_pCalendar->getActualMaximum(UCAL_DATE, status);
        month.iYear = m_pCalendar->get(UCAL_EXTENDED_YEAR, status);
        month.iMonth = m_pCalendar->get(UCAL_MONTH, status) + 1;
        month.bLeap = m_bLeapMonths && m_pCalendar->get(UCAL_IS_LEAP_MONTH, status) != 0;
        return Checked(status, month);
    }

    RecurrenceMonth Month(int iYear, int iMonth) const override {
        UErrorCode status = U_ZERO_ERROR;
        m_pCalendar->clear();
        m_pCalendar->set(UCAL_EXTENDED_YEAR, iYear);
        m_pCalendar->set(UCAL_MONTH, iMonth - 1);
        if (m_bLeapMonths)
            m_pCalendar->set(UCAL_IS_LEAP_MONTH, 0);
        m_pCalendar->set(UCAL_DATE, 1);
        const double dDays = std::floor(m_pCalendar->getTime(status) / kMsPerDay);
        if (U_FAILURE(status))
            return Checked(status, RecurrenceMonth{});
        // The calendar resolves a month the year lacks (Adar I of a common year) to the one
        // that stands for it; read back what it chose.
        return MonthOf(static_cast<LONG>(dDays) + s_lDays1970);
    }

    LONG MonthsBetween(const RecurrenceMonth& from, const RecurrenceMonth& to) const override {
        UErrorCode status = U_ZERO_ERROR;
        m_pCalendar->setTime((static_cast<double>(from.lFirst) - s_lDays1970) * kMsPerDay, status);
        const int32_t lMonths = m_pCalendar->fieldDifference((static_cast<double>(to.lFirst) - s_lDays1970) * kMsPerDay,
                                                             UCAL_MONTH, status);
        if (U_FAILURE(status)) {
            m_bFailed = true;
            return 0;
        }
        return lMonths;
    }

    RecurrenceMonth FirstMonth() const override {
        const RecurrenceMonth first = Month(MonthOf(0).iYear, 1);
        return first.lFirst >= 0 ? first : Month(first.iYear + 1, 1);
    }

    int MaxMonth() const override { return m_iMaxMonth; }
    bool Failed() const override { return m_bFailed; }

private:
    // A failed conversion (none is expected between 1601 and 4500) gives a month past the last
    // date a series may have, so that walks over months end, and marks the calendar failed.
    RecurrenceMonth Checked(UErrorCode status, const RecurrenceMonth& month) const {
        if (U_SUCCESS(status) && month.cDays > 0)
            return month;
        m_bFailed = true;
        return RecurrenceMonth{static_cast<LONG>(kNoEndDate / kMinutesPerDay) + 1, 1, 0, 1, false};
    }

    // Days from 1601-01-01 to 1970-01-01, ICU's epoch.
    static constexpr LONG s_lDays1970 = 134774;
    std::unique_ptr<icu::Calendar> m_pCalendar;
    bool m_bLeapMonths;
    int m_iMaxMonth;
    mutable bool m_bFailed = false;
};

// The ICU calendar keyword of a non-Gregorian calendar; null for Gregorian months.
const char* IcuCalendarName(USHORT wCalendarType, USHORT wPatternType) {
    if (wPatternType >= 0x0A && wPatternType <= 0x0C)
        return "islamic-civil";
    switch (wCalendarType) {
        case RecurrenceCalendar::kCalHijri:
            // The tabular Hijri calendar, the one computed rather than observed.
            return "islamic-civil";
        case RecurrenceCalendar::kCalUmAlQura:
            return "islamic-umalqura";
        case RecurrenceCalendar::kCalHebrew:
            return "hebrew";
        case RecurrenceCalendar::kCalLunarJapanese:
        case RecurrenceCalendar::kCalChineseLunar:
        case RecurrenceCalendar::kCalLunarEtoChinese:
        case RecurrenceCalendar::kCalLunarRokuyou:
            return "chinese";
        case RecurrenceCalendar::kCalLunarEtoKorean:
        case RecurrenceCalendar::kCalLunarKorean:
            return "dangi";
        case RecurrenceCalendar::kCalSaka:
            return "indian";
        default:
            return nullptr;
    }
}

}  // namespace

RecurrenceMonth RecurrenceCalendar::After(const RecurrenceMonth& month, LONG lMonths) const {
    RecurrenceMonth next = month;
    for (LONG i = 0; i < lMonths; ++i)
        next = MonthOf(next.lFirst + next.cDays);
    return next;
}

bool RecurrenceCalendar::IsGregorian(USHORT wCalendarType, USHORT wPatternType) {
    return IcuCalendarName(wCalendarType, wPatternType) == nullptr;
}

std::unique_ptr<RecurrenceCalendar> RecurrenceCalendar::Create(USHORT wCalendarType, USHORT wPatternType) {
    const char* pszName = IcuCalendarName(wCalendarType, wPatternType);
    if (!pszName)
        return std::make_unique<GregorianMonths>();
    const std::string sLocale = std::string("en@calendar=") + pszName;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> pCalendar(
        icu::Calendar::createInstance(icu::TimeZone::getGMT()->clone(), icu::Locale(sLocale.c_str()), status));
    if (U_FAILURE(status) || !pCalendar || std::string(pCalendar->getType()) != pszName) {
        RECURRENCE_LOG_ERROR(L"Cannot set up calendar type %u for the recurrence pattern",
                             static_cast<unsigned>(wCalendarType));
        return nullptr;
    }
    const bool bHebrew = std::string(pszName) == "hebrew";
    const bool bLeapMonths = std::string(pszName) == "chinese" || std::string(pszName) == "dangi";
    return std::make_unique<IcuMonths>(std::move(pCalendar), bLeapMonths, bHebrew ? 13 : 12);
}

}  // namespace Ostrel::Mapi
