// The recurrence pattern's rule accessors and its exceptions.
#include "Ostrel/Store/Calendar/RecurrencePattern.h"

#include "Ostrel/Store/Calendar/RecurrenceTime.h"

#include <algorithm>

namespace Ostrel::Mapi {

using namespace RecurrenceTime;

COutlookRecurrencePattern::COutlookRecurrencePattern(Appt* pAppt) : m_pAppt(pAppt) {}

COutlookRecurrencePattern::COutlookRecurrencePattern(const COutlookRecurrencePattern& other) : m_pAppt(other.m_pAppt) {
    *this = other;
}

COutlookRecurrencePattern& COutlookRecurrencePattern::operator=(const COutlookRecurrencePattern& other) {
    if (this == &other)
        return *this;
    m_wRecurFrequency = other.m_wRecurFrequency;
    m_wPatternType = other.m_wPatternType;
    m_wCalendarType = other.m_wCalendarType;
    m_ulFirstDateTime = other.m_ulFirstDateTime;
    m_ulPeriod = other.m_ulPeriod;
    m_ulSlidingFlag = other.m_ulSlidingFlag;
    m_ulWeekDayMask = other.m_ulWeekDayMask;
    m_ulMonthOccurence = other.m_ulMonthOccurence;
    m_ulDayOfMonth = other.m_ulDayOfMonth;
    m_ulMonthOfYear = other.m_ulMonthOfYear;
    m_ulEndType = other.m_ulEndType;
    m_ulOccurrenceCount = other.m_ulOccurrenceCount;
    m_ulFirstDayOfWeek = other.m_ulFirstDayOfWeek;
    m_ulStartDate = other.m_ulStartDate;
    m_ulEndDate = other.m_ulEndDate;
    m_ulWriterVersion2 = other.m_ulWriterVersion2;
    m_ulStartTime = other.m_ulStartTime;
    m_ulEndTime = other.m_ulEndTime;
    m_timeZone.Initialize(other.m_timeZone);
    m_bLoaded = other.m_bLoaded;
    m_bIsTask = other.m_bIsTask;
    m_vecDeletedInstanceDates = other.m_vecDeletedInstanceDates;
    m_vecModifiedInstanceDates = other.m_vecModifiedInstanceDates;
    // The copies convert their times through this pattern's zone.
    m_ModifiedExceptionsDetails.clear();
    for (const auto& pException : other.m_ModifiedExceptionsDetails) {
        auto pCopy = std::make_unique<COutlookRecurrenceException>(*pException);
        pCopy->SetTimeZone(&m_timeZone);
        m_ModifiedExceptionsDetails.push_back(std::move(pCopy));
    }
    return *this;
}

COutlookRecurrencePattern::~COutlookRecurrencePattern() = default;

void COutlookRecurrencePattern::TakeFieldsOf(COutlookRecurrencePattern& read) {
    auto exceptions = std::move(read.m_ModifiedExceptionsDetails);
    read.m_ModifiedExceptionsDetails.clear();
    *this = read;  // copies the rule; the exceptions move
    m_ModifiedExceptionsDetails = std::move(exceptions);
    for (const auto& pException : m_ModifiedExceptionsDetails)
        pException->SetTimeZone(&m_timeZone);
}

bool COutlookRecurrencePattern::UsesWeekDayMask() const {
    return m_wPatternType == kPatternWeek || UsesMonthOccurence();
}

bool COutlookRecurrencePattern::UsesMonthOccurence() const {
    return m_wPatternType == kPatternMonthNth || m_wPatternType == kPatternHjMonthNth;
}

bool COutlookRecurrencePattern::UsesDayOfMonth() const {
    return m_wPatternType == kPatternMonth || m_wPatternType == kPatternMonthEnd || m_wPatternType == kPatternHjMonth ||
           m_wPatternType == kPatternHjMonthEnd;
}

// ---- The rule ------------------------------------------------------------------------------

int COutlookRecurrencePattern::GetRecurrenceType() const {
    switch (m_wRecurFrequency) {
        case kFreqDaily:
            return m_wPatternType == kPatternWeek ? olRecursWeekly : olRecursDaily;
        case kFreqWeekly:
            return olRecursWeekly;
        case kFreqMonthly:
            return UsesMonthOccurence() ? olRecursMonthNth : olRecursMonthly;
        default:
            return UsesMonthOccurence() ? olRecursYearNth : olRecursYearly;
    }
}

void COutlookRecurrencePattern::SetRecurrenceType(int iType) {
    const ULONG ulInterval = std::max<ULONG>(1, GetInterval());
    switch (iType) {
        case olRecursDaily:
            m_wRecurFrequency = kFreqDaily;
            m_wPatternType = kPatternDay;
            break;
        case olRecursWeekly:
            m_wRecurFrequency = kFreqWeekly;
            m_wPatternType = kPatternWeek;
            break;
        case olRecursMonthly:
            m_wRecurFrequency = kFreqMonthly;
            m_wPatternType = kPatternMonth;
            break;
        case olRecursMonthNth:
            m_wRecurFrequency = kFreqMonthly;
            m_wPatternType = kPatternMonthNth;
            break;
        case olRecursYearly:
            m_wRecurFrequency = kFreqYearly;
            m_wPatternType = kPatternMonth;
            break;
        case olRecursYearNth:
            m_wRecurFrequency = kFreqYearly;
            m_wPatternType = kPatternMonthNth;
            break;
        default:
            return;
    }
    SetInterval(ulInterval);
}

ULONG COutlookRecurrencePattern::GetInterval() const {
    switch (m_wRecurFrequency) {
        case kFreqDaily:
            return m_wPatternType == kPatternWeek ? 1 : m_ulPeriod / kMinutesPerDay;
        case kFreqYearly:
            return m_ulPeriod / 12;
        default:
            return m_ulPeriod;
    }
}

void COutlookRecurrencePattern::SetInterval(ULONG ulInterval) {
    switch (m_wRecurFrequency) {
        case kFreqDaily:
            m_ulPeriod = m_wPatternType == kPatternWeek ? 1 : ulInterval * kMinutesPerDay;
            break;
        case kFreqYearly:
            m_ulPeriod = ulInterval * 12;
            break;
        default:
            m_ulPeriod = ulInterval;
            break;
    }
}

void COutlookRecurrencePattern::SetNoEndDate(bool bNoEnd) {
    if (bNoEnd) {
        m_ulEndType = kEndNever;
        m_ulEndDate = kNoEndDate;
        m_ulOccurrenceCount = 10;
    } else if (GetNoEndDate()) {
        m_ulEndType = kEndAfterCount;
    }
}

void COutlookRecurrencePattern::SetOccurrences(ULONG ulCount) {
    m_ulEndType = kEndAfterCount;
    m_ulOccurrenceCount = ulCount;
}

bool COutlookRecurrencePattern::GetStartDateTime(FILETIME& ftUtc) const {
    return LocalMinutesToUtc(&m_timeZone, m_ulStartDate + m_ulStartTime, ftUtc);
}

bool COutlookRecurrencePattern::SetStartDateTime(const FILETIME& ftUtc) {
    ULONG ulLocal = 0;
    if (!UtcToLocalMinutes(&m_timeZone, ftUtc, ulLocal))
        return false;
    const ULONG ulDuration = m_ulEndTime >= m_ulStartTime ? m_ulEndTime - m_ulStartTime : 0;
    m_ulStartDate = Midnight(ulLocal);
    m_ulStartTime = ulLocal - m_ulStartDate;
    m_ulEndTime = m_ulStartTime + ulDuration;
    return true;
}

bool COutlookRecurrencePattern::SetEndDateTime(const FILETIME& ftUtc) {
    ULONG ulLocal = 0;
    if (!UtcToLocalMinutes(&m_timeZone, ftUtc, ulLocal) || ulLocal < m_ulStartDate + m_ulStartTime)
        return false;
    m_ulEndTime = ulLocal - m_ulStartDate;
    return true;
}

bool COutlookRecurrencePattern::GetEndDate(FILETIME& ftUtc) const {
    return LocalMinutesToUtc(&m_timeZone, m_ulEndDate, ftUtc);
}

bool COutlookRecurrencePattern::SetEndDate(const FILETIME& ftUtc) {
    ULONG ulLocal = 0;
    if (!UtcToLocalMinutes(&m_timeZone, ftUtc, ulLocal))
        return false;
    m_ulEndType = kEndAfterDate;
    m_ulEndDate = Midnight(ulLocal);
    return true;
}

ULONG COutlookRecurrencePattern::GetPRRecurrenceType() const {
    switch (m_wRecurFrequency) {
        case kFreqDaily:
            return 1;
        case kFreqWeekly:
            return 2;
        case kFreqMonthly:
            return 3;
        default:
            return 4;
    }
}

void COutlookRecurrencePattern::ClearRecurrencePattern() {
    COutlookRecurrencePattern empty(m_pAppt);
    empty.m_bIsTask = m_bIsTask;
    empty.m_timeZone.Initialize(m_timeZone);
    *this = empty;
}

// ---- Exceptions ----------------------------------------------------------------------------

COutlookRecurrenceException* COutlookRecurrencePattern::GetException(size_t i) const {
    return i < m_ModifiedExceptionsDetails.size() ? m_ModifiedExceptionsDetails[i].get() : nullptr;
}

ULONG COutlookRecurrencePattern::GetExceptionOriginalDate(size_t i) const {
    return i < m_ModifiedExceptionsDetails.size() ? m_ModifiedExceptionsDetails[i]->GetOriginalDateTime() : 0;
}

void COutlookRecurrencePattern::AddException(std::unique_ptr<COutlookRecurrenceException> pException) {
    if (!pException)
        return;
    pException->SetTimeZone(&m_timeZone);
    m_ModifiedExceptionsDetails.push_back(std::move(pException));
    MakeSureExceptionsSorted();
}

void COutlookRecurrencePattern::MakeSureExceptionsSorted() {
    std::stable_sort(m_ModifiedExceptionsDetails.begin(), m_ModifiedExceptionsDetails.end(),
                     [](const auto& a, const auto& b) { return a->GetOriginalDateTime() < b->GetOriginalDateTime(); });
}

void COutlookRecurrencePattern::FixDeletedOccurrences() {
    for (const auto& pException : m_ModifiedExceptionsDetails)
        m_vecDeletedInstanceDates.push_back(Midnight(pException->GetOriginalDateTime()));
    std::erase_if(m_ModifiedExceptionsDetails, [](const auto& p) { return p->GetDeleted(); });
    std::sort(m_vecDeletedInstanceDates.begin(), m_vecDeletedInstanceDates.end());
    m_vecDeletedInstanceDates.erase(std::unique(m_vecDeletedInstanceDates.begin(), m_vecDeletedInstanceDates.end()),
                                    m_vecDeletedInstanceDates.end());
    m_vecModifiedInstanceDates.clear();
    for (const auto& pException : m_ModifiedExceptionsDetails)
        m_vecModifiedInstanceDates.push_back(Midnight(pException->GetStartDateTime()));
    std::sort(m_vecModifiedInstanceDates.begin(), m_vecModifiedInstanceDates.end());
}

COutlookRecurrenceException* COutlookRecurrencePattern::GetOccurrence(const FILETIME& ftWhen, int* piCreated) {
    if (piCreated)
        *piCreated = 0;
    ULONG ulLocal = 0;
    if (!UtcToLocalMinutes(&m_timeZone, ftWhen, ulLocal))
        return nullptr;
    const ULONG ulDate = Midnight(ulLocal);
    for (const auto& pException : m_ModifiedExceptionsDetails)
        if (Midnight(pException->GetOriginalDateTime()) == ulDate)
            return pException.get();
    bool bOccurs = false;
    ForEachOccurrence([&](ULONG ulOccurrence) {
        bOccurs = ulOccurrence == ulDate;
        return ulOccurrence < ulDate;
    });
    // The walk above does not know where the series ends: a date past its last one is no occurrence.
    if (!bOccurs || (m_ulEndDate && ulDate > m_ulEndDate))
        return nullptr;
    auto pException = std::make_unique<COutlookRecurrenceException>(&m_timeZone);
    pException->SetOriginalDateTime(ulDate + m_ulStartTime);
    pException->SetStartDateTime(ulDate + m_ulStartTime);
    pException->SetEndDateTime(ulDate + m_ulEndTime);
    COutlookRecurrenceException* pResult = pException.get();
    AddException(std::move(pException));
    if (piCreated)
        *piCreated = 1;
    return pResult;
}

}  // namespace Ostrel::Mapi
