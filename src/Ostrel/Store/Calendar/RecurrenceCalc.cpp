// The derived fields of a recurrence pattern: its first date, the phase of its period, its end
// date or occurrence count, and the walk over its dates. Monthly and yearly series count the
// months and years of the pattern's calendar.
#include "Ostrel/Store/Calendar/RecurrenceCalendar.h"
#include "Ostrel/Store/Calendar/RecurrenceLog.h"
#include "Ostrel/Store/Calendar/RecurrencePattern.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Platform/Mapi/MapiDefs.h"
#include "Util/Time/TimeUtil.h"

#include <algorithm>
#include <bit>

namespace Ostrel::Mapi {

using namespace RecurrenceTime;

namespace {

constexpr LONG kLastDay = static_cast<LONG>(kNoEndDate / kMinutesPerDay);

bool InMask(ULONG ulMask, LONG lDays) {
    return (ulMask >> WeekdayOfDays(lDays)) & 1;
}

}  // namespace

ULONG COutlookRecurrencePattern::CalculateWeeklyOccurrencesByMask() const {
    return static_cast<ULONG>(std::popcount(m_ulWeekDayMask & 0x7F));
}

LONG COutlookRecurrencePattern::NthDayInMonth(const RecurrenceMonth& month) const {
    const ULONG ulMask = m_ulWeekDayMask & 0x7F;
    if (!ulMask || month.cDays <= 0)
        return -1;
    const LONG lFirst = month.lFirst;
    const LONG lEnd = lFirst + month.cDays;
    if (m_ulMonthOccurence >= 5) {
        for (LONG d = lEnd - 1; d >= lFirst; --d)
            if (InMask(ulMask, d))
                return d;
        return -1;
    }
    // The nth day of the month that is in the mask: the second Tuesday, the third weekday.
    ULONG ulSeen = 0;
    for (LONG d = lFirst; d < lEnd; ++d)
        if (InMask(ulMask, d) && ++ulSeen == std::max<ULONG>(1, m_ulMonthOccurence))
            return d;
    return -1;
}

ULONG COutlookRecurrencePattern::CalculateMonthNthOccurence(int iYear, int iMonth) const {
    const int cDays = DaysInMonth(iYear, iMonth);
    if (cDays == 0)
        return 0;
    const LONG d = NthDayInMonth(RecurrenceMonth{DaysFromDate(Date{iYear, iMonth, 1}), cDays, iYear, iMonth, false});
    return d < 0 ? 0 : static_cast<ULONG>(d) * kMinutesPerDay;
}

LONG COutlookRecurrencePattern::DayInMonth(const RecurrenceMonth& month) const {
    if (UsesMonthOccurence())
        return NthDayInMonth(month);
    if (m_wPatternType == kPatternMonthEnd || m_wPatternType == kPatternHjMonthEnd)
        return month.lFirst + month.cDays - 1;
    // The day is cut to the month's length (day 30 in a 29-day month, 31 in February).
    if (m_ulDayOfMonth)
        return month.lFirst + std::min<LONG>(static_cast<LONG>(m_ulDayOfMonth), month.cDays) - 1;
    return -1;
}

int COutlookRecurrencePattern::MonthOfYearIn(const RecurrenceCalendar& calendar, const RecurrenceMonth& start) const {
    return m_ulMonthOfYear >= 1 && m_ulMonthOfYear <= static_cast<ULONG>(calendar.MaxMonth())
               ? static_cast<int>(m_ulMonthOfYear)
               : start.iMonth;
}

LONG COutlookRecurrencePattern::FirstPatternDayFrom(const RecurrenceCalendar& calendar, LONG lDay) const {
    const RecurrenceMonth start = calendar.MonthOf(lDay);
    const bool bYearly = m_wRecurFrequency == kFreqYearly;
    const int iMonthOfYear = MonthOfYearIn(calendar, start);
    // The start's month (yearly: its year's month of the year) and the following ones; a
    // nth-weekday rule may find no day in a month (a fifth Monday), hence more than two.
    for (int i = 0; i < 4; ++i) {
        const RecurrenceMonth month =
            bYearly ? calendar.Month(start.iYear + i, iMonthOfYear) : calendar.After(start, i);
        const LONG d = DayInMonth(month);
        if (d >= lDay)
            return d;
    }
    return lDay;
}

void COutlookRecurrencePattern::CheckInput() {
    if (UsesWeekDayMask() && m_ulWeekDayMask == 0)
        m_ulWeekDayMask = 1u << WeekdayOfMinutes(m_ulStartDate);
    const auto pCalendar = RecurrenceCalendar::Create(m_wCalendarType, m_wPatternType);
    if (!pCalendar)
        return;
    const LONG lStart = static_cast<LONG>(m_ulStartDate / kMinutesPerDay);
    const RecurrenceMonth start = pCalendar->MonthOf(lStart);
    if ((m_wPatternType == kPatternMonth || m_wPatternType == kPatternHjMonth) && m_ulDayOfMonth == 0)
        m_ulDayOfMonth = static_cast<ULONG>(lStart - start.lFirst + 1);
    if (m_wRecurFrequency == kFreqYearly && m_ulMonthOfYear == 0)
        m_ulMonthOfYear = static_cast<ULONG>(start.iMonth);
}

void COutlookRecurrencePattern::CalculateStartDate() {
    m_ulStartDate = Midnight(m_ulStartDate);
    switch (m_wRecurFrequency) {
        case kFreqDaily:
            if (m_wPatternType != kPatternWeek)
                break;
            [[fallthrough]];
        case kFreqWeekly:
            // Forward to the first day in the mask.
            for (int i = 0; i < 7 && (m_ulWeekDayMask & 0x7F); ++i, m_ulStartDate += kMinutesPerDay)
                if (InMask(m_ulWeekDayMask, static_cast<LONG>(m_ulStartDate / kMinutesPerDay)))
                    break;
            break;
        case kFreqMonthly:
        case kFreqYearly:
            if (const auto pCalendar = RecurrenceCalendar::Create(m_wCalendarType, m_wPatternType))
                m_ulStartDate = static_cast<ULONG>(FirstPatternDayFrom(
                                    *pCalendar, static_cast<LONG>(m_ulStartDate / kMinutesPerDay))) *
                                kMinutesPerDay;
            break;
        default:
            break;
    }
}

void COutlookRecurrencePattern::CalculateFirstDateTime() {
    switch (m_wRecurFrequency) {
        case kFreqDaily:
            m_ulFirstDateTime = m_wPatternType == kPatternWeek || m_ulPeriod == 0 ? 0 : m_ulStartDate % m_ulPeriod;
            break;
        case kFreqWeekly: {
            const ULONG ulBack = (static_cast<ULONG>(WeekdayOfMinutes(m_ulStartDate)) + 7 - m_ulFirstDayOfWeek % 7) % 7;
            const ULONG ulWeekStart = m_ulStartDate - ulBack * kMinutesPerDay;
            m_ulFirstDateTime = ulWeekStart % (std::max<ULONG>(1, m_ulPeriod) * kMinutesPerWeek);
            break;
        }
        default: {
            // The period's phase: the month, counted from the calendar's first month, whose
            // distance in months to any occurrence's month is a multiple of the period.
            const auto pCalendar = RecurrenceCalendar::Create(m_wCalendarType, m_wPatternType);
            if (!pCalendar)
                break;
            const RecurrenceMonth first = pCalendar->FirstMonth();
            const RecurrenceMonth start = pCalendar->MonthOf(static_cast<LONG>(m_ulStartDate / kMinutesPerDay));
            RecurrenceMonth phase;
            if (m_wRecurFrequency == kFreqYearly) {
                // Years, not twelve months: a Hebrew leap year has thirteen. The phase is the
                // month at the same place in its year as the series' month in the start's
                // year (Nisan of a leap year is the eighth month: Iyar of a common year), as
                // stored patterns have it; the series' month itself comes from its start.
                const int iYears = static_cast<int>(std::max<ULONG>(1, m_ulPeriod / 12));
                // A start in the calendar's year that began before 1601 belongs to the phase
                // of the next one.
                const int iYear = first.iYear + ((start.iYear - first.iYear) % iYears + iYears) % iYears;
                const LONG lPlace = pCalendar->MonthsBetween(pCalendar->Month(start.iYear, 1), start);
                phase = pCalendar->After(pCalendar->Month(iYear, 1), lPlace);
                // The thirteenth month of a leap year in a common year: its last month.
                while (phase.iYear > iYear)
                    phase = pCalendar->MonthOf(phase.lFirst - 1);
            } else {
                const LONG lPeriod = static_cast<LONG>(std::max<ULONG>(1, m_ulPeriod));
                const LONG lMonths = pCalendar->MonthsBetween(first, start);
                phase = pCalendar->After(first, (lMonths % lPeriod + lPeriod) % lPeriod);
            }
            m_ulFirstDateTime = static_cast<ULONG>(phase.lFirst) * kMinutesPerDay;
            break;
        }
    }
}

void COutlookRecurrencePattern::ForEachOccurrence(const std::function<bool(ULONG)>& visit) const {
    const LONG lStart = static_cast<LONG>(m_ulStartDate / kMinutesPerDay);
    auto Visit = [&](LONG d) { return visit(static_cast<ULONG>(d) * kMinutesPerDay); };
    const ULONG ulMask = m_ulWeekDayMask & 0x7F;

    if (m_wRecurFrequency == kFreqDaily && m_wPatternType != kPatternWeek) {
        const LONG lStep = std::max<LONG>(1, static_cast<LONG>(m_ulPeriod / kMinutesPerDay));
        for (LONG d = lStart; d <= kLastDay; d += lStep)
            if (!Visit(d))
                return;
        return;
    }
    if (m_wRecurFrequency == kFreqDaily || m_wRecurFrequency == kFreqWeekly) {
        if (!ulMask)
            return;
        const LONG lWeeks = m_wRecurFrequency == kFreqDaily ? 1 : std::max<LONG>(1, static_cast<LONG>(m_ulPeriod));
        const LONG lWeekStart = lStart - (WeekdayOfDays(lStart) + 7 - static_cast<LONG>(m_ulFirstDayOfWeek % 7)) % 7;
        for (LONG w = lWeekStart; w <= kLastDay; w += 7 * lWeeks)
            for (LONG d = std::max(w, lStart); d < w + 7 && d <= kLastDay; ++d)
                if (InMask(ulMask, d) && !Visit(d))
                    return;
        return;
    }

    // Month-based: one candidate day in every period-th month of the pattern's calendar; yearly,
    // the month of the year in every nth year.
    const auto pCalendar = RecurrenceCalendar::Create(m_wCalendarType, m_wPatternType);
    if (!pCalendar)
        return;
    const RecurrenceMonth start = pCalendar->MonthOf(lStart);
    const bool bYearly = m_wRecurFrequency == kFreqYearly;
    const int iYears = static_cast<int>(std::max<ULONG>(1, m_ulPeriod / 12));
    const LONG lMonths = std::max<LONG>(1, static_cast<LONG>(m_ulPeriod));
    const int iMonthOfYear = MonthOfYearIn(*pCalendar, start);
    RecurrenceMonth month = bYearly ? pCalendar->Month(start.iYear, iMonthOfYear) : start;
    for (int i = 1;; ++i) {
        if (month.lFirst > kLastDay)
            return;
        const LONG d = DayInMonth(month);
        if (d >= lStart && (d > kLastDay || !Visit(d)))
            return;
        month = bYearly ? pCalendar->Month(start.iYear + i * iYears, iMonthOfYear) : pCalendar->After(month, lMonths);
    }
}

void COutlookRecurrencePattern::CalculateEndDate() {
    const ULONG ulCount = m_ulOccurrenceCount;
    if (ulCount == 0)
        return;
    ULONG ulSeen = 0;
    ForEachOccurrence([&](ULONG ulDate) {
        m_ulEndDate = ulDate;
        return ++ulSeen < ulCount;
    });
}

ULONG COutlookRecurrencePattern::CalculateOccurrenceCount(ULONG ulEndDate, ULONG& ulLastDate) const {
    ULONG ulCount = 0;
    ulLastDate = m_ulStartDate;
    ForEachOccurrence([&](ULONG ulDate) {
        if (ulDate > ulEndDate)
            return false;
        ++ulCount;
        ulLastDate = ulDate;
        return true;
    });
    return ulCount;
}

void COutlookRecurrencePattern::ExpandOccurrences(ULONG ulFrom, ULONG ulTo, std::vector<ULONG>& vecDates) const {
    vecDates.clear();
    const ULONG ulLast = m_ulEndType == kEndAfterDate ? std::min(ulTo, m_ulEndDate) : ulTo;
    const bool bByCount = m_ulEndType == kEndAfterCount;
    ULONG ulSeen = 0;
    ForEachOccurrence([&](ULONG ulDate) {
        if (ulDate > ulLast || (bByCount && ulSeen == m_ulOccurrenceCount))
            return false;
        ++ulSeen;
        if (ulDate >= ulFrom &&
            !std::binary_search(m_vecDeletedInstanceDates.begin(), m_vecDeletedInstanceDates.end(), ulDate))
            vecDates.push_back(ulDate);
        return true;
    });
}

HRESULT COutlookRecurrencePattern::CalculateFields() {
    const bool bKnownFrequency = m_wRecurFrequency >= kFreqDaily && m_wRecurFrequency <= kFreqYearly;
    if (!bKnownFrequency || m_ulStartDate == 0 || m_ulStartDate > kNoEndDate) {
        RECURRENCE_LOG_ERROR(L"Cannot calculate necessary fields for recurrence pattern: frequency %x, start %u",
                             static_cast<unsigned>(m_wRecurFrequency), static_cast<unsigned>(m_ulStartDate));
        return MAPI_E_INVALID_PARAMETER;
    }
    if (!RecurrenceCalendar::Create(m_wCalendarType, m_wPatternType))
        return MAPI_E_CALL_FAILED;
    // The blob counts weekdays from Sunday, the user's setting from Monday.
    m_ulFirstDayOfWeek = static_cast<ULONG>((Util::GetFirstDayOfWeek() + 1) % 7);
    CheckInput();
    CalculateStartDate();
    CalculateFirstDateTime();
    if (m_ulEndType == kEndAfterCount) {
        CalculateEndDate();
    } else if (m_ulEndType == kEndAfterDate) {
        ULONG ulLastDate = 0;
        m_ulOccurrenceCount = CalculateOccurrenceCount(m_ulEndDate, ulLastDate);
        if (m_ulOccurrenceCount)
            m_ulEndDate = ulLastDate;
    } else {
        m_ulEndDate = kNoEndDate;
    }
    if (m_ulEndDate < m_ulStartDate)
        m_ulEndDate = m_ulStartDate;
    FixDeletedOccurrences();
    return S_OK;
}

}  // namespace Ostrel::Mapi
