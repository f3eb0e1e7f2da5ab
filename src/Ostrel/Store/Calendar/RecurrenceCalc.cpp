// The derived fields of a recurrence pattern: its first date, the phase of its period, its end
// date or occurrence count, and the walk over its dates. Dates here are Gregorian.
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

ULONG COutlookRecurrencePattern::CalculateMonthNthOccurence(int iYear, int iMonth) const {
    const ULONG ulMask = m_ulWeekDayMask & 0x7F;
    const int cDays = DaysInMonth(iYear, iMonth);
    if (!ulMask || cDays == 0)
        return 0;
    const LONG lFirst = DaysFromDate(Date{iYear, iMonth, 1});
    if (m_ulMonthOccurence >= 5) {
        for (LONG d = lFirst + cDays - 1; d >= lFirst; --d)
            if (InMask(ulMask, d))
                return static_cast<ULONG>(d) * kMinutesPerDay;
        return 0;
    }
    // The nth day of the month that is in the mask: the second Tuesday, the third weekday.
    ULONG ulSeen = 0;
    for (LONG d = lFirst; d < lFirst + cDays; ++d)
        if (InMask(ulMask, d) && ++ulSeen == std::max<ULONG>(1, m_ulMonthOccurence))
            return static_cast<ULONG>(d) * kMinutesPerDay;
    return 0;
}

ULONG COutlookRecurrencePattern::NthOccurrenceOnOrAfter(ULONG ulDate, int iMonthOfYear) const {
    Date date = DateFromMinutes(ulDate);
    LONG lMonth = MonthIndex(Date{date.iYear, iMonthOfYear ? iMonthOfYear : date.iMonth, 1});
    const LONG lStep = iMonthOfYear ? 12 : 1;
    for (int i = 0; i < 4; ++i, lMonth += lStep) {
        const Date first = FirstOfMonth(lMonth);
        const ULONG ul = CalculateMonthNthOccurence(first.iYear, first.iMonth);
        if (ul && ul >= ulDate)
            return ul;
    }
    return ulDate;
}

void COutlookRecurrencePattern::CheckInput() {
    const Date start = DateFromMinutes(m_ulStartDate);
    if (UsesWeekDayMask() && m_ulWeekDayMask == 0)
        m_ulWeekDayMask = 1u << WeekdayOfMinutes(m_ulStartDate);
    if (m_wPatternType == kPatternMonth && m_ulDayOfMonth == 0)
        m_ulDayOfMonth = static_cast<ULONG>(start.iDay);
    if (m_wRecurFrequency == kFreqYearly && m_ulMonthOfYear == 0)
        m_ulMonthOfYear = static_cast<ULONG>(start.iMonth);
}

void COutlookRecurrencePattern::CalculateStartDate() {
    m_ulStartDate = Midnight(m_ulStartDate);
    const Date start = DateFromMinutes(m_ulStartDate);
    const bool bNth = UsesMonthOccurence();
    const bool bMonthEnd = m_wPatternType == kPatternMonthEnd || m_wPatternType == kPatternHjMonthEnd;
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
            if (bNth) {
                m_ulStartDate = NthOccurrenceOnOrAfter(m_ulStartDate, 0);
            } else if (bMonthEnd) {
                m_ulStartDate =
                    MinutesFromDate(Date{start.iYear, start.iMonth, DaysInMonth(start.iYear, start.iMonth)});
            } else if (m_ulDayOfMonth) {
                // Past the day this month: the next month. The day is cut to the month's length
                // (February of a leap year has 29).
                const LONG lMonth = MonthIndex(start) + (static_cast<ULONG>(start.iDay) > m_ulDayOfMonth ? 1 : 0);
                const Date first = FirstOfMonth(lMonth);
                const int iDay =
                    std::min<int>(static_cast<int>(m_ulDayOfMonth), DaysInMonth(first.iYear, first.iMonth));
                m_ulStartDate = MinutesFromDate(Date{first.iYear, first.iMonth, iDay});
            }
            break;
        case kFreqYearly: {
            const int iMonth =
                m_ulMonthOfYear >= 1 && m_ulMonthOfYear <= 12 ? static_cast<int>(m_ulMonthOfYear) : start.iMonth;
            if (bNth) {
                m_ulStartDate = NthOccurrenceOnOrAfter(m_ulStartDate, iMonth);
                break;
            }
            for (int iYear = start.iYear; iYear <= start.iYear + 1; ++iYear) {
                const int cDays = DaysInMonth(iYear, iMonth);
                const int iDay =
                    bMonthEnd ? cDays : std::min<int>(static_cast<int>(std::max<ULONG>(1, m_ulDayOfMonth)), cDays);
                const ULONG ul = MinutesFromDate(Date{iYear, iMonth, iDay});
                if (ul >= m_ulStartDate) {
                    m_ulStartDate = ul;
                    break;
                }
            }
            break;
        }
        default:
            break;
    }
}

void COutlookRecurrencePattern::CalculateFirstDateTime() {
    const Date start = DateFromMinutes(m_ulStartDate);
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
            const ULONG ulMonths = static_cast<ULONG>(MonthIndex(start)) % std::max<ULONG>(1, m_ulPeriod);
            m_ulFirstDateTime = MinutesFromDate(FirstOfMonth(static_cast<LONG>(ulMonths)));
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

    // Month-based: one candidate day in every period-th month.
    const Date start = DateFromDays(lStart);
    const bool bYearly = m_wRecurFrequency == kFreqYearly;
    const LONG lStep = bYearly ? std::max<LONG>(12, static_cast<LONG>(m_ulPeriod / 12 * 12))
                               : std::max<LONG>(1, static_cast<LONG>(m_ulPeriod));
    const int iMonthOfYear =
        m_ulMonthOfYear >= 1 && m_ulMonthOfYear <= 12 ? static_cast<int>(m_ulMonthOfYear) : start.iMonth;
    const LONG lFirstMonth = MonthIndex(Date{start.iYear, bYearly ? iMonthOfYear : start.iMonth, 1});
    for (LONG m = lFirstMonth;; m += lStep) {
        const Date first = FirstOfMonth(m);
        if (DaysFromDate(first) > kLastDay)
            return;
        const int cDays = DaysInMonth(first.iYear, first.iMonth);
        LONG d = -1;
        if (UsesMonthOccurence()) {
            const ULONG ul = CalculateMonthNthOccurence(first.iYear, first.iMonth);
            d = ul ? static_cast<LONG>(ul / kMinutesPerDay) : -1;
        } else if (m_wPatternType == kPatternMonthEnd || m_wPatternType == kPatternHjMonthEnd) {
            d = DaysFromDate(Date{first.iYear, first.iMonth, cDays});
        } else if (m_ulDayOfMonth) {
            d = DaysFromDate(Date{first.iYear, first.iMonth, std::min<int>(static_cast<int>(m_ulDayOfMonth), cDays)});
        }
        if (d < lStart)
            continue;
        if (d > kLastDay || !Visit(d))
            return;
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
