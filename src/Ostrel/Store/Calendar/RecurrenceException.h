// One modified occurrence of a recurring series: the ExceptionInfo and ExtendedException entries
// of the recurrence blob, and the hidden attachment that holds the occurrence as a message.
#pragma once

#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"
#include "Platform/Base/WinTypes.h"
#include "Platform/Mapi/MapiInterfaces.h"

#include <string>
#include <vector>

namespace Ostrel::Mapi {

class COutlookRecurrenceException {
public:
    // Override flags: which values the occurrence changes.
    static constexpr USHORT ARO_SUBJECT = 0x0001;
    static constexpr USHORT ARO_MEETINGTYPE = 0x0002;
    static constexpr USHORT ARO_REMINDERDELTA = 0x0004;
    static constexpr USHORT ARO_REMINDER = 0x0008;
    static constexpr USHORT ARO_LOCATION = 0x0010;
    static constexpr USHORT ARO_BUSYSTATUS = 0x0020;
    static constexpr USHORT ARO_ATTACHMENT = 0x0040;
    static constexpr USHORT ARO_SUBTYPE = 0x0080;
    static constexpr USHORT ARO_APPTCOLOR = 0x0100;
    static constexpr USHORT ARO_EXCEPTIONAL_BODY = 0x0200;
    // Flags above this are not defined.
    static constexpr USHORT kOverrideFlagsLimit = 0x0400;

    // The zone converts the FILETIME forms (UTC) to the local minutes kept here; it is not owned
    // and may be null (times are then taken as they are).
    explicit COutlookRecurrenceException(const Mail::TimeZone* pTimeZone = nullptr) : m_pTimeZone(pTimeZone) {}

    // The zone the UTC forms go through (the owning pattern's).
    void SetTimeZone(const Mail::TimeZone* pTimeZone) { m_pTimeZone = pTimeZone; }

    // Local minutes since 1601.
    ULONG GetStartDateTime() const { return m_ulStartDateTime; }
    void SetStartDateTime(ULONG ulMinutes) { m_ulStartDateTime = ulMinutes; }
    ULONG GetEndDateTime() const { return m_ulEndDateTime; }
    void SetEndDateTime(ULONG ulMinutes) { m_ulEndDateTime = ulMinutes; }
    ULONG GetOriginalDateTime() const { return m_ulOriginalStartDate; }
    void SetOriginalDateTime(ULONG ulMinutes) { m_ulOriginalStartDate = ulMinutes; }
    // UTC forms through the zone; false when the time cannot be converted (nothing changes then).
    bool GetStartDateTime(FILETIME& ftUtc) const;
    bool SetStartDateTime(const FILETIME& ftUtc);
    bool GetEndDateTime(FILETIME& ftUtc) const;
    bool SetEndDateTime(const FILETIME& ftUtc);
    bool GetOriginalDateTime(FILETIME& ftUtc) const;
    bool SetOriginalDateTime(const FILETIME& ftUtc);

    USHORT GetOverrideFlags() const { return m_wOverrideFlags; }
    void SetOverrideFlags(USHORT wFlags) { m_wOverrideFlags = wFlags; }

    // Each setter also marks the value as overridden.
    const std::wstring& GetSubject() const { return m_wsSubject; }
    void SetSubject(const std::wstring& ws) { Override(ARO_SUBJECT), m_wsSubject = ws; }
    const std::wstring& GetLocation() const { return m_wsLocation; }
    void SetLocation(const std::wstring& ws) { Override(ARO_LOCATION), m_wsLocation = ws; }
    ULONG GetMeetingType() const { return m_ulMeetingType; }
    void SetMeetingType(ULONG ul) { Override(ARO_MEETINGTYPE), m_ulMeetingType = ul; }
    ULONG GetReminderDelta() const { return m_ulReminderDelta; }
    void SetReminderDelta(ULONG ul) { Override(ARO_REMINDERDELTA), m_ulReminderDelta = ul; }
    ULONG GetReminder() const { return m_ulReminder; }
    void SetReminder(ULONG ul) { Override(ARO_REMINDER), m_ulReminder = ul; }
    ULONG GetBusyStatus() const { return m_ulBusyStatus; }
    void SetBusyStatus(ULONG ul) { Override(ARO_BUSYSTATUS), m_ulBusyStatus = ul; }
    ULONG GetAttachmentsPresent() const { return m_ulAttachment; }
    void SetAttachmentsPresent(ULONG ul) { Override(ARO_ATTACHMENT), m_ulAttachment = ul; }
    ULONG GetAllDay() const { return m_ulAllDay; }
    void SetAllDay(ULONG ul) { Override(ARO_SUBTYPE), m_ulAllDay = ul; }
    ULONG GetApptColor() const { return m_ulApptColor; }
    void SetApptColor(ULONG ul) { Override(ARO_APPTCOLOR), m_ulApptColor = ul; }

    // A deleted occurrence is kept only as a deleted date of the series.
    bool GetDeleted() const { return m_bDeleted; }
    void SetDeleted(bool b) { m_bDeleted = b; }
    // The occurrence has a body of its own (kept in its flags).
    bool GetBody() const { return (m_wOverrideFlags & ARO_EXCEPTIONAL_BODY) != 0; }
    void SetBody(bool b);

    // The change highlight of the extended entry (written by 0x3009 writers) and any bytes that
    // follow its value.
    ULONG GetChangeHighlight() const { return m_ulChangeHighlight; }
    void SetChangeHighlight(ULONG ul) { m_ulChangeHighlight = ul; }
    const std::vector<BYTE>& GetChangeHighlightReserved() const { return m_vecChangeHighlightReserved; }
    void SetChangeHighlightReserved(std::vector<BYTE> vec) { m_vecChangeHighlightReserved = std::move(vec); }

    // Opens the hidden attachment that holds this occurrence in the series item (the one whose
    // message replaces the original start), or creates it with its embedded message. Both
    // outputs carry a reference.
    HRESULT OpenAppointment(IMessage* pItem, IMessage** ppEmbedded, IAttach** ppAttach) const;

private:
    void Override(USHORT wFlag) { m_wOverrideFlags |= wFlag; }

    const Mail::TimeZone* m_pTimeZone;
    ULONG m_ulOriginalStartDate = 0;
    ULONG m_ulStartDateTime = 0;
    ULONG m_ulEndDateTime = 0;
    USHORT m_wOverrideFlags = 0;
    std::wstring m_wsSubject;
    std::wstring m_wsLocation;
    ULONG m_ulMeetingType = 0;
    ULONG m_ulReminderDelta = 0;
    ULONG m_ulReminder = 0;
    ULONG m_ulBusyStatus = 0;
    ULONG m_ulAttachment = 0;
    ULONG m_ulAllDay = 0;
    ULONG m_ulApptColor = 0;
    bool m_bDeleted = false;
    ULONG m_ulChangeHighlight = 0;
    std::vector<BYTE> m_vecChangeHighlightReserved;
};

}  // namespace Ostrel::Mapi
