// One modified occurrence of a recurring series.
#include "Ostrel/Store/Calendar/RecurrenceException.h"

#include "Ostrel/Store/Calendar/RecurrenceTime.h"

namespace Ostrel::Mapi {

namespace {

bool ToUtc(const Mail::TimeZone* pTimeZone, ULONG ulMinutes, FILETIME& ftUtc) {
    return RecurrenceTime::LocalMinutesToUtc(pTimeZone, ulMinutes, ftUtc);
}

bool FromUtc(const Mail::TimeZone* pTimeZone, const FILETIME& ftUtc, ULONG& ulMinutes) {
    ULONG ul = 0;
    if (!RecurrenceTime::UtcToLocalMinutes(pTimeZone, ftUtc, ul))
        return false;
    ulMinutes = ul;
    return true;
}

}  // namespace

bool COutlookRecurrenceException::GetStartDateTime(FILETIME& ftUtc) const {
    return ToUtc(m_pTimeZone, m_ulStartDateTime, ftUtc);
}
bool COutlookRecurrenceException::SetStartDateTime(const FILETIME& ftUtc) {
    return FromUtc(m_pTimeZone, ftUtc, m_ulStartDateTime);
}
bool COutlookRecurrenceException::GetEndDateTime(FILETIME& ftUtc) const {
    return ToUtc(m_pTimeZone, m_ulEndDateTime, ftUtc);
}
bool COutlookRecurrenceException::SetEndDateTime(const FILETIME& ftUtc) {
    return FromUtc(m_pTimeZone, ftUtc, m_ulEndDateTime);
}
bool COutlookRecurrenceException::GetOriginalDateTime(FILETIME& ftUtc) const {
    return ToUtc(m_pTimeZone, m_ulOriginalStartDate, ftUtc);
}
bool COutlookRecurrenceException::SetOriginalDateTime(const FILETIME& ftUtc) {
    return FromUtc(m_pTimeZone, ftUtc, m_ulOriginalStartDate);
}

void COutlookRecurrenceException::SetBody(bool b) {
    if (b)
        m_wOverrideFlags |= ARO_EXCEPTIONAL_BODY;
    else
        m_wOverrideFlags &= static_cast<USHORT>(~ARO_EXCEPTIONAL_BODY);
}

}  // namespace Ostrel::Mapi
