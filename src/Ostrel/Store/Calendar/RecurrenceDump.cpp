// Text form of a recurrence pattern.
#include "Ostrel/Store/Calendar/RecurrenceDump.h"

#include "Ostrel/Store/Calendar/RecurrenceCalendar.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Platform/Base/Utf.h"

#include <cstdio>
#include <memory>

namespace Ostrel::Mapi {

namespace {

std::string Hex(ULONG ul) {
    char sz[16];
    std::snprintf(sz, sizeof sz, "0x%X", static_cast<unsigned>(ul));
    return sz;
}

// The date and time; with a non-Gregorian calendar also the date in that calendar (year-month-day,
// L marking a leap month).
std::string FormatTime(ULONG ulMinutes, const RecurrenceCalendar* pCalendar) {
    const RecurrenceTime::Date date = RecurrenceTime::DateFromMinutes(ulMinutes);
    const ULONG ulTime = ulMinutes % RecurrenceTime::kMinutesPerDay;
    char sz[80];
    int cch =
        std::snprintf(sz, sizeof sz, "%u (%04d-%02d-%02d %02u:%02u", static_cast<unsigned>(ulMinutes), date.iYear,
                      date.iMonth, date.iDay, static_cast<unsigned>(ulTime / 60), static_cast<unsigned>(ulTime % 60));
    if (pCalendar) {
        const LONG lDay = static_cast<LONG>(ulMinutes / RecurrenceTime::kMinutesPerDay);
        const RecurrenceMonth month = pCalendar->MonthOf(lDay);
        cch += std::snprintf(sz + cch, sizeof sz - static_cast<size_t>(cch), "; %d-%02d%s-%02d", month.iYear,
                             month.iMonth, month.bLeap ? "L" : "", static_cast<int>(lDay - month.lFirst + 1));
    }
    std::snprintf(sz + cch, sizeof sz - static_cast<size_t>(cch), ")");
    return sz;
}

void Line(std::string& s, const std::string& sIndent, const char* pszName, const std::string& sValue) {
    s += sIndent + pszName + ": " + sValue + "\n";
}

}  // namespace

std::string DumpRecurrencePattern(const COutlookRecurrencePattern& p) {
    std::unique_ptr<RecurrenceCalendar> pCalendar;
    if (!RecurrenceCalendar::IsGregorian(p.m_wCalendarType, p.m_wPatternType))
        pCalendar = RecurrenceCalendar::Create(p.m_wCalendarType, p.m_wPatternType);
    auto Time = [&](ULONG ulMinutes) { return FormatTime(ulMinutes, pCalendar.get()); };
    std::string s;
    const std::string none;
    Line(s, none, "m_wRecurFrequency", Hex(p.m_wRecurFrequency));
    Line(s, none, "m_wPatternType", Hex(p.m_wPatternType));
    Line(s, none, "m_wCalendarType", std::to_string(p.m_wCalendarType));
    Line(s, none, "m_ulFirstDateTime", Time(p.m_ulFirstDateTime));
    Line(s, none, "m_ulPeriod", std::to_string(p.m_ulPeriod));
    Line(s, none, "m_ulSlidingFlag", std::to_string(p.m_ulSlidingFlag));
    if (p.UsesWeekDayMask())
        Line(s, none, "m_ulWeekDayMask", Hex(p.m_ulWeekDayMask));
    if (p.UsesMonthOccurence())
        Line(s, none, "m_ulMonthOccurence", std::to_string(p.m_ulMonthOccurence));
    if (p.UsesDayOfMonth())
        Line(s, none, "m_ulDayOfMonth", std::to_string(p.m_ulDayOfMonth));
    if (p.m_wRecurFrequency == COutlookRecurrencePattern::kFreqYearly)
        Line(s, none, "m_ulMonthOfYear", std::to_string(p.m_ulMonthOfYear));
    Line(s, none, "m_ulEndType", Hex(p.m_ulEndType));
    Line(s, none, "m_ulOccurrenceCount", std::to_string(p.m_ulOccurrenceCount));
    Line(s, none, "m_ulFirstDayOfWeek", std::to_string(p.m_ulFirstDayOfWeek));
    for (ULONG ul : p.GetDeletedInstanceDates())
        Line(s, none, "DeletedInstanceDate", Time(ul));
    for (ULONG ul : p.GetModifiedInstanceDates())
        Line(s, none, "ModifiedInstanceDate", Time(ul));
    Line(s, none, "m_ulStartDate", Time(p.m_ulStartDate));
    Line(s, none, "m_ulEndDate", Time(p.m_ulEndDate));
    if (p.GetIsTask())
        return s;
    Line(s, none, "m_ulWriterVersion2", Hex(p.m_ulWriterVersion2));
    Line(s, none, "m_ulStartTime", std::to_string(p.m_ulStartTime));
    Line(s, none, "m_ulEndTime", std::to_string(p.m_ulEndTime));
    const std::string indent = "  ";
    for (size_t i = 0; i < p.GetExceptionCount(); ++i) {
        const COutlookRecurrenceException& e = *p.GetException(i);
        using E = COutlookRecurrenceException;
        const USHORT w = e.GetOverrideFlags();
        s += "Exception " + std::to_string(i) + "\n";
        Line(s, indent, "StartDateTime", Time(e.GetStartDateTime()));
        Line(s, indent, "EndDateTime", Time(e.GetEndDateTime()));
        Line(s, indent, "OriginalStartDate", Time(e.GetOriginalDateTime()));
        Line(s, indent, "OverrideFlags", Hex(w));
        if (w & E::ARO_SUBJECT)
            Line(s, indent, "Subject", "\"" + Platform::ToUtf8(e.GetSubject()) + "\"");
        if (w & E::ARO_MEETINGTYPE)
            Line(s, indent, "MeetingType", Hex(e.GetMeetingType()));
        if (w & E::ARO_REMINDERDELTA)
            Line(s, indent, "ReminderDelta", std::to_string(e.GetReminderDelta()));
        if (w & E::ARO_REMINDER)
            Line(s, indent, "ReminderSet", std::to_string(e.GetReminder()));
        if (w & E::ARO_LOCATION)
            Line(s, indent, "Location", "\"" + Platform::ToUtf8(e.GetLocation()) + "\"");
        if (w & E::ARO_BUSYSTATUS)
            Line(s, indent, "BusyStatus", std::to_string(e.GetBusyStatus()));
        if (w & E::ARO_ATTACHMENT)
            Line(s, indent, "Attachment", std::to_string(e.GetAttachmentsPresent()));
        if (w & E::ARO_SUBTYPE)
            Line(s, indent, "SubType", std::to_string(e.GetAllDay()));
        if (w & E::ARO_APPTCOLOR)
            Line(s, indent, "AppointmentColor", std::to_string(e.GetApptColor()));
        if (p.m_ulWriterVersion2 >= COutlookRecurrencePattern::kWriterVersionHighlight) {
            Line(s, indent, "ChangeHighlight", Hex(e.GetChangeHighlight()));
            if (!e.GetChangeHighlightReserved().empty())
                Line(s, indent, "ChangeHighlightReserved",
                     std::to_string(e.GetChangeHighlightReserved().size()) + " bytes");
        }
    }
    return s;
}

}  // namespace Ostrel::Mapi
