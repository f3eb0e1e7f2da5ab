// The in-memory form of a server calendar item (an appointment or a task) between the server and
// the Outlook store: the appointment with its default invitation and its exceptions, the
// invitation with its components and time zones, the component with every calendar property, the
// attendee, the recurrence rule and the alarm.
//
// Ownership: Appointment, Inv, Comp and Attendee are made by their factories (null when memory
// runs out) and released with destroy. A container owns what is added to it: an Appointment its
// invitations, an Inv its components and time zones, a Comp its organizer, attendees and
// recurrence-id texts. A Comp's start and end zones point into its Inv's zone list, so a Comp must
// not outlive that Inv. Text fields are owned copies; getters hand out the stored pointer (or null).
//
// Dates held as double are OLE Automation dates (days since 1899-12-30). No locking: an object is
// used by one thread at a time.
#pragma once

#include "Ostrel/Model/Calendar/AppointmentDates.h"
#include "Ostrel/Model/Calendar/AppointmentEnums.h"
#include "Ostrel/Model/Calendar/AppointmentText.h"
#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"
#include "Ostrel/Model/ItemTypes.h"
#include "Platform/Base/WinTypes.h"

#include <string>
#include <utility>
#include <vector>

struct IMessage;
struct IStream;

namespace Ostrel::Mail {

// A recurrence rule. The three parameters mean, by type:
//   daily, weekly: interval, day-of-week mask (weekly with interval 0 and mask 62: every weekday)
//   monthly: interval, day of month          month-nth: interval, instance (1-4, 5 = last), mask
//   yearly: day of month, month (1-12)       year-nth: instance, mask, month
// Without the end-by-date flag the end value is the number of occurrences (0: no end); with it,
// the last date as an OLE date, and ftEndDate holds the same date as a FILETIME.
struct _Recurrence {
    RecurrenceType type = RecurrenceType::Daily;
    LONG lParam1 = 0;
    LONG lParam2 = 0;
    LONG lParam3 = 0;
    LONG lEndByDate = 0;
    double dEndValue = 0;
    FILETIME ftEndDate{};

    // The parameters by name for the rule's type; 0 when the type has no such parameter.
    LONG GetInterval() const;
    LONG GetDayOfWeekMask() const;
    LONG GetDayOfMonth() const;
    LONG GetInstance() const;
    LONG GetMonth() const;
    // A weekly rule with interval 0 and the Monday-to-Friday mask.
    bool IsEveryWeekday() const;
};

// The reminder of a component: minutes before the start (appointments) or an absolute trigger
// given as a server date string (tasks).
class _Alarm {
public:
    static constexpr size_t kMaxTriggerChars = 23;

    LONG GetEnabled() const { return m_lEnabled; }
    LONG GetMinutes() const { return m_lMinutes; }
    const wchar_t* GetAbsoluteTrigger() const { return m_wszAbsoluteTrigger; }
    const wchar_t* GetDescription() const { return m_description.Get(); }
    const wchar_t* GetXPropName() const { return m_xPropName.Get(); }
    const wchar_t* GetXPropValue() const { return m_xPropValue.Get(); }

private:
    friend class Comp;
    // A trigger longer than the inline buffer is refused (the trigger stays empty).
    void SetAbsoluteTrigger(const wchar_t* pwszTrigger);

    LONG m_lEnabled = 0;
    LONG m_lMinutes = 0;
    wchar_t m_wszAbsoluteTrigger[kMaxTriggerChars + 1] = {};
    OwnedText m_description;
    OwnedText m_xPropName;
    OwnedText m_xPropValue;
};

// One attendee or the organizer.
class Attendee {
public:
    using Role = AttendeeRole;
    using PartStat = AttendeePartStat;
    using UserType = AttendeeUserType;

    static Attendee* createAttendee();
    static void destroy(Attendee* pAttendee);
    // A new attendee with all fields of this one; null when memory runs out.
    Attendee* Clone() const;

    void SetDisplayName(const wchar_t* pwsz) { m_displayName.Set(pwsz); }
    const wchar_t* GetDisplayName() const { return m_displayName.Get(); }
    void SetEmail(const wchar_t* pwsz) { m_email.Set(pwsz); }
    const wchar_t* GetEmail() const { return m_email.Get(); }
    void SetRsvp(const wchar_t* pwsz) { m_rsvp.Set(pwsz); }
    const wchar_t* GetRsvp() const { return m_rsvp.Get(); }
    void SetSentBy(const wchar_t* pwsz) { m_sentBy.Set(pwsz); }
    const wchar_t* GetSentBy() const { return m_sentBy.Get(); }

    void SetRole(Role role) { m_role = role; }
    void SetRole(const wchar_t* pwsz) { m_role = Role::FromString(pwsz); }
    Role GetRole() const { return m_role; }
    void SetPartStatus(PartStat partStat) { m_partStat = partStat; }
    void SetPartStatus(const wchar_t* pwsz) { m_partStat = PartStat::FromString(pwsz); }
    PartStat GetPartStatus() const { return m_partStat; }
    void SetUserType(UserType userType) { m_userType = userType; }
    void SetUserType(const wchar_t* pwsz) { m_userType = UserType::FromString(pwsz); }
    UserType GetUserType() const { return m_userType; }

protected:
    Attendee() = default;
    Attendee(const Attendee&) = default;
    Attendee& operator=(const Attendee&) = delete;
    virtual ~Attendee();

private:
    OwnedText m_displayName;
    OwnedText m_email;
    OwnedText m_rsvp;
    OwnedText m_sentBy;
    Role m_role = Role::REQ;
    PartStat m_partStat = PartStat::NE;
    UserType m_userType = UserType::UNK;
};

// One calendar component (VEVENT or VTODO).
class Comp {
public:
    using Status = CompStatus;
    using BusyStatus = CompBusyStatus;
    using MeetingStatus = CompMeetingStatus;
    using ResponseStatus = CompResponseStatus;
    using TaskStatus = CompTaskStatus;
    using Importance = CompImportance;

    // Dates at or beyond this value mean "none".
    static constexpr double kUninitializedDate = 949997.0;
    static bool DateIsInitialized(double dDate) { return dDate < kUninitializedDate; }

    static Comp* createComp();
    static void destroy(Comp* pComp);

    void SetIsTask(BOOL b) { m_bIsTask = b; }
    BOOL GetIsTask() const { return m_bIsTask; }
    // The mailbox user organizes this meeting.
    void SetIsOrganizer(BOOL b) { m_bIsOrganizer = b; }
    BOOL GetIsOrganizer() const { return m_bIsOrganizer; }
    void SetIsAllDay(BOOL b) { m_bIsAllDay = b; }
    BOOL GetIsAllDay() const { return m_bIsAllDay; }
    // The time counts as busy in free/busy.
    void SetOpaque(BOOL b) { m_bOpaque = b; }
    BOOL GetOpaque() const { return m_bOpaque; }
    void SetNeedRSVP(BOOL b) { m_bNeedRSVP = b; }
    BOOL GetNeedRSVP() const { return m_bNeedRSVP; }
    void SetIsException(BOOL b) { m_bIsException = b; }
    BOOL GetIsException() const { return m_bIsException; }
    // The server holds no MIME blob for the item.
    void SetIsNoBlob(BOOL b) { m_bIsNoBlob = b; }
    BOOL GetIsNoBlob() const { return m_bIsNoBlob; }

    void SetLocation(const wchar_t* pwsz) { m_location.Set(pwsz); }
    const wchar_t* GetLocation() const { return m_location.Get(); }
    void SetSubject(const wchar_t* pwsz) { m_subject.Set(pwsz); }
    const wchar_t* GetSubject() const { return m_subject.Get(); }
    void SetDesc(const wchar_t* pwsz) { m_desc.Set(pwsz); }
    const wchar_t* GetDesc() const { return m_desc.Get(); }
    void SetDescHtml(const wchar_t* pwsz) { m_descHtml.Set(pwsz); }
    const wchar_t* GetDescHtml() const { return m_descHtml.Get(); }

    // Storing a date sets the duration, while it is still unset and the end lies after the start,
    // to the whole days between them in minutes (a span under one day gives 0).
    void SetStartDate(double dDate);
    double GetStartDate() const { return m_dStartDate; }
    void SetEndDate(double dDate);
    double GetEndDate() const { return m_dEndDate; }
    // The server's own date strings.
    void SetStartDateString(const wchar_t* pwsz) { m_startDateString.Set(pwsz); }
    const wchar_t* GetStartDateString() const { return m_startDateString.Get(); }
    void SetEndDateString(const wchar_t* pwsz) { m_endDateString.Set(pwsz); }
    const wchar_t* GetEndDateString() const { return m_endDateString.Get(); }
    // Zones of the owning invitation (not owned here).
    void SetStartDateTimeZone(TimeZone* pTz) { m_pStartTimeZone = pTz; }
    TimeZone* GetStartDateTimeZone() const { return m_pStartTimeZone; }
    void SetEndDateTimeZone(TimeZone* pTz) { m_pEndTimeZone = pTz; }
    TimeZone* GetEndDateTimeZone() const { return m_pEndTimeZone; }
    // Minutes; -1 when unset.
    void SetDuration(LONG lMinutes) { m_lDuration = lMinutes; }
    LONG GetDuration() const { return m_lDuration; }

    void SetTaskStatus(TaskStatus status) { m_taskStatus = status; }
    void SetTaskStatus(const wchar_t* pwsz) { m_taskStatus = TaskStatus::FromString(pwsz); }
    TaskStatus GetTaskStatus() const { return m_taskStatus; }
    void SetPercentComplete(LONG l) { m_lPercentComplete = l; }
    LONG GetPercentComplete() const { return m_lPercentComplete; }
    void SetImportance(Importance importance) { m_importance = importance; }
    void SetImportance(const wchar_t* pwsz) { m_importance = Importance::FromString(pwsz); }
    Importance GetImportance() const { return m_importance; }
    void SetCompletedDate(double dDate) { m_dCompletedDate = dDate; }
    double GetCompletedDate() const { return m_dCompletedDate; }
    // Minutes.
    void SetTotalWork(LONG l) { m_lTotalWork = l; }
    LONG GetTotalWork() const { return m_lTotalWork; }
    void SetActualWork(LONG l) { m_lActualWork = l; }
    LONG GetActualWork() const { return m_lActualWork; }
    void SetCompanies(const wchar_t* pwsz) { m_companies.Set(pwsz); }
    const wchar_t* GetCompanies() const { return m_companies.Get(); }
    void SetMileage(const wchar_t* pwsz) { m_mileage.Set(pwsz); }
    const wchar_t* GetMileage() const { return m_mileage.Get(); }
    void SetBillingInfo(const wchar_t* pwsz) { m_billingInfo.Set(pwsz); }
    const wchar_t* GetBillingInfo() const { return m_billingInfo.Get(); }

    void SetResponseStatus(ResponseStatus status) { m_responseStatus = status; }
    void SetResponseStatus(const wchar_t* pwsz) { m_responseStatus = ResponseStatus::FromString(pwsz); }
    ResponseStatus GetResponseStatus() const { return m_responseStatus; }
    void SetIntendedBusyStatus(BusyStatus status) { m_intendedBusyStatus = status; }
    void SetIntendedBusyStatus(const wchar_t* pwsz) { m_intendedBusyStatus = BusyStatus::FromString(pwsz); }
    BusyStatus GetIntendedBusyStatus() const { return m_intendedBusyStatus; }
    void SetBusyStatus(BusyStatus status) { m_busyStatus = status; }
    void SetBusyStatus(const wchar_t* pwsz) { m_busyStatus = BusyStatus::FromString(pwsz); }
    BusyStatus GetBusyStatus() const { return m_busyStatus; }
    void SetMeetingStatus(MeetingStatus status) { m_meetingStatus = status; }
    void SetMeetingStatus(const wchar_t* pwsz) { m_meetingStatus = MeetingStatus::FromString(pwsz); }
    MeetingStatus GetMeetingStatus() const { return m_meetingStatus; }
    void SetStatus(Status status) { m_status = status; }
    void SetStatus(const wchar_t* pwsz) { m_status = Status::FromString(pwsz); }
    Status GetStatus() const { return m_status; }
    void SetMyPartStatus(Attendee::PartStat partStat) { m_myPartStat = partStat; }
    void SetMyPartStatus(const wchar_t* pwsz) { m_myPartStat = Attendee::PartStat::FromString(pwsz); }
    Attendee::PartStat GetMyPartStat() const { return m_myPartStat; }

    // Storing a rule makes the component recurring; clearing keeps the rule.
    void SetRecurrence(const _Recurrence& recurrence);
    void ClearRecurrence() { m_bIsRecurring = FALSE; }
    BOOL GetIsRecurring() const { return m_bIsRecurring; }
    const _Recurrence& GetRecurrence() const { return m_recurrence; }

    // The absolute-trigger form (tasks) and the minutes form (appointments); each clears the other.
    void SetAlarm(BOOL bEnabled, const wchar_t* pwszAbsoluteTrigger, const wchar_t* pwszDescription,
                  const wchar_t* pwszXPropName, const wchar_t* pwszXPropValue);
    void SetAlarm(BOOL bEnabled, LONG lMinutes, const wchar_t* pwszDescription, const wchar_t* pwszXPropName,
                  const wchar_t* pwszXPropValue);
    void SetAlarmXPropName(const wchar_t* pwsz) { m_alarm.m_xPropName.Set(pwsz); }
    void SetAlarmXPropValue(const wchar_t* pwsz) { m_alarm.m_xPropValue.Set(pwsz); }
    const _Alarm& GetAlarm() const { return m_alarm; }

    // The start an exception instance had in the series.
    void SetOrigDate(double dDate) { m_dOrigDate = dDate; }
    double GetOrigDate() const { return m_dOrigDate; }

    // Update time in Unix seconds, or as a FILETIME (whole seconds, truncated toward zero).
    void SetUpdateUnixTime(int64_t llSeconds) { m_llUpdateTime = llSeconds; }
    int64_t GetUpdateTimeUnix() const { return m_llUpdateTime; }
    void SetUpdateTimeFileTime(FILETIME ft);
    FILETIME GetUpdateTimeFileTime() const;

    // Takes ownership; a previous organizer is destroyed.
    void addOrganizerPart(Attendee* pOrganizer);
    Attendee* GetOrganizer() const { return m_pOrganizer; }
    bool HasOrganizer() const { return m_pOrganizer != nullptr; }
    // Takes ownership; null is ignored.
    void addAttendeePart(Attendee* pAttendee);
    int GetNumAttendees() const { return static_cast<int>(m_vecAttendees.size()); }
    // Null for an index out of range.
    Attendee* GetAttendeeAt(int i) const;

    // Server date strings of instances removed from the series by a cancel or an exclude node.
    void addCancelNodeRecurId(const wchar_t* pwszRecurId);
    void addExcludeNodeRecurId(const wchar_t* pwszRecurId);
    int GetNumCancelNodeRecurIds() const { return static_cast<int>(m_vecCancelNodeRecurIds.size()); }
    const wchar_t* GetCancelNodeRecurIdAt(int i) const;
    int GetNumExcludeNodeRecurIds() const { return static_cast<int>(m_vecExcludeNodeRecurIds.size()); }
    const wchar_t* GetExcludeNodeRecurIdAt(int i) const;

    // Outlook's sensitivity: 0 normal, 1 personal, 2 private, 3 confidential.
    void SetItemSensitivity(LONG l) { m_lItemSensitivity = l; }
    LONG GetItemSensitivity() const { return m_lItemSensitivity; }
    void SetIsNeverSent(BOOL b) { m_bIsNeverSent = b; }
    BOOL GetIsNeverSent() const { return m_bIsNeverSent; }
    void SetIsDraft(BOOL b) { m_bIsDraft = b; }
    BOOL GetIsDraft() const { return m_bIsDraft; }
    void SetIsOrphan(BOOL b) { m_bIsOrphan = b; }
    BOOL GetIsOrphan() const { return m_bIsOrphan; }

protected:
    Comp() = default;
    ~Comp();
    Comp(const Comp&) = delete;
    Comp& operator=(const Comp&) = delete;

private:
    friend class Inv;
    // The copy an invitation clone carries: everything but the organizer and the draft flag, with
    // new attendees and zone references mapped through the clone's zones. Null when memory runs out.
    Comp* CloneForInv(const std::vector<TimeZone*>& vecFrom, const std::vector<TimeZone*>& vecTo) const;
    void UpdateDurationFromDates();

    BOOL m_bIsTask = FALSE;
    BOOL m_bIsOrganizer = FALSE;
    BOOL m_bIsAllDay = FALSE;
    BOOL m_bOpaque = TRUE;
    BOOL m_bNeedRSVP = FALSE;
    BOOL m_bIsException = FALSE;
    BOOL m_bIsNoBlob = FALSE;
    OwnedText m_location;
    OwnedText m_subject;
    OwnedText m_desc;
    OwnedText m_descHtml;
    double m_dStartDate = 0;
    double m_dEndDate = 0;
    OwnedText m_startDateString;
    OwnedText m_endDateString;
    TimeZone* m_pStartTimeZone = nullptr;
    TimeZone* m_pEndTimeZone = nullptr;
    LONG m_lDuration = -1;
    TaskStatus m_taskStatus = TaskStatus::INPR;
    LONG m_lPercentComplete = 0;
    Importance m_importance = Importance::NORMAL;
    double m_dCompletedDate = 0;
    LONG m_lTotalWork = 0;
    LONG m_lActualWork = 0;
    OwnedText m_companies;
    OwnedText m_mileage;
    OwnedText m_billingInfo;
    ResponseStatus m_responseStatus = ResponseStatus::CONF;
    BusyStatus m_intendedBusyStatus = BusyStatus::B;
    BusyStatus m_busyStatus = BusyStatus::B;
    MeetingStatus m_meetingStatus = MeetingStatus::NON_MTG;
    Status m_status = Status::CONF;
    Attendee::PartStat m_myPartStat = Attendee::PartStat::NE;
    BOOL m_bIsRecurring = FALSE;
    _Recurrence m_recurrence;
    _Alarm m_alarm;
    double m_dOrigDate = 0;
    int64_t m_llUpdateTime = 0;
    Attendee* m_pOrganizer = nullptr;
    std::vector<Attendee*> m_vecAttendees;
    std::vector<OwnedText> m_vecCancelNodeRecurIds;
    std::vector<OwnedText> m_vecExcludeNodeRecurIds;
    LONG m_lItemSensitivity = 0;
    BOOL m_bIsNeverSent = FALSE;
    BOOL m_bIsDraft = FALSE;
    BOOL m_bIsOrphan = FALSE;
};

// A file the server keeps with an invitation, fetched by its part id from the item's content.
struct InvAttachment {
    std::wstring wsPart;
    std::wstring wsName;
    std::wstring wsContentType;
    bool bHasSize = false;  // the server gave the size (a 32-bit count of bytes)
    ULONG ulSize = 0;
};

// One invitation: one version of the item or of one of its instances.
class Inv {
public:
    static Inv* createInv();
    static void destroy(Inv* pInv);

    // Numbers from text are read as leading decimal digits (0 when there are none).
    void SetId(LONG lId) { m_lId = lId; }
    void SetId(const wchar_t* pwszId);
    LONG GetId() const { return m_lId; }
    // The iCalendar SEQUENCE.
    void SetSeqId(LONG lSeqId) { m_lSeqId = lSeqId; }
    void SetSeqId(const wchar_t* pwszSeqId);
    LONG GetSeqId() const { return m_lSeqId; }
    // The server date string of the instance this invitation replaces (exceptions only).
    void SetRecurId(const wchar_t* pwsz) { m_recurId.Set(pwsz); }
    const wchar_t* GetRecurId() const { return m_recurId.Get(); }
    // The item's MIME message as text.
    void SetMimeBuffer(const char* psz) { m_mimeBuffer.Set(psz); }
    const char* GetMimeBuffer() const { return m_mimeBuffer.Get(); }
    void SetBody(const wchar_t* pwsz) { m_body.Set(pwsz); }
    const wchar_t* GetBody() const { return m_body.Get(); }
    void SetHTML(const wchar_t* pwsz) { m_html.Set(pwsz); }
    const wchar_t* GetHTML() const { return m_html.Get(); }
    // A reply rather than a request.
    void SetReply(BOOL b) { m_bReply = b; }
    BOOL IsReply() const { return m_bReply; }

    // Counted references: setting adds one to the new object and releases the previous one.
    void SetMapiMsg(IMessage* pMessage);
    IMessage* GetMapiMsg() const { return m_pMapiMsg; }
    void SetMimeStream(IStream* pStream);
    IStream* GetMimeStream() const { return m_pMimeStream; }

    // The files the server lists for this invitation, in the order listed.
    void AddAttachmentPart(InvAttachment attachment) { m_vecAttachments.push_back(std::move(attachment)); }
    const std::vector<InvAttachment>& AttachmentParts() const { return m_vecAttachments; }

    // Takes ownership; null is ignored. Callers use component 0.
    void addCompPart(Comp* pComp);
    int NumComps() const { return static_cast<int>(m_vecComps.size()); }
    // Null for an index out of range.
    Comp* CompAt(int i) const;

    // A new zeroed zone with a copy of the id, appended and returned; null when memory runs out.
    TimeZone* AddTimeZone(const wchar_t* pwszId);
    int NumTimeZones() const { return static_cast<int>(m_vecTimeZones.size()); }
    TimeZone* TimeZoneAt(int i) const;
    // The first zone whose id equals pwszId exactly, or null.
    TimeZone* TimeZoneById(const wchar_t* pwszId) const;

    // A new invitation with this one's ids, texts, attachment parts, MIME and message references,
    // full copies of its zones and a copy of its first component whose zone references designate
    // the copied zones (no organizer, not a draft, not a reply). Null when memory runs out.
    Inv* Clone() const;

protected:
    Inv() = default;
    ~Inv();
    Inv(const Inv&) = delete;
    Inv& operator=(const Inv&) = delete;

private:
    LONG m_lId = 0;
    LONG m_lSeqId = 0;
    OwnedText m_recurId;
    OwnedTextA m_mimeBuffer;
    OwnedText m_body;
    OwnedText m_html;
    BOOL m_bReply = FALSE;
    IMessage* m_pMapiMsg = nullptr;
    IStream* m_pMimeStream = nullptr;
    std::vector<Comp*> m_vecComps;
    std::vector<TimeZone*> m_vecTimeZones;
    std::vector<InvAttachment> m_vecAttachments;
};

// One calendar item as the server stores it.
class Appointment {
public:
    static Appointment* createAppointment();
    static void destroy(Appointment* pAppointment);

    // The id as text; its numeric form (leading decimal digits) becomes the id as well.
    void SetId(const wchar_t* pwszId);
    // Sets only the numeric id.
    void SetId(LONG lId) { m_lId = lId; }
    const wchar_t* GetIdString() const { return m_idString.Get(); }
    LONG GetId() const { return m_lId; }
    // The iCalendar UID.
    void SetUid(const wchar_t* pwsz) { m_uid.Set(pwsz); }
    const wchar_t* GetUid() const { return m_uid.Get(); }
    void SetParentFolder(LONG lFolderId) { m_lParentFolder = lFolderId; }
    void SetParentFolder(const wchar_t* pwszFolderId);
    LONG GetParentFolder() const { return m_lParentFolder; }
    // An orphan exception whose series is not held here.
    void SetIsOrphan(BOOL b) { m_bIsOrphan = b; }
    BOOL GetIsOrphan() const { return m_bIsOrphan; }

    // The series or single occurrence. Null is ignored. The previous default invitation is
    // destroyed, except for an orphan or an isolated recurrence, whose default invitation is
    // owned elsewhere and only forgotten (and not destroyed with the appointment either).
    void SetDefaultInv(Inv* pInv);
    bool HasDefaultInv() const { return m_pDefaultInv != nullptr; }
    Inv* GetDefaultInv() const { return m_pDefaultInv; }

    // 0 stores the current time; otherwise Unix seconds.
    void SetModified(int iUnixSeconds);
    FILETIME GetModified() const { return m_ftModified; }
    void SetNextAlarm(FILETIME ft) { m_ftNextAlarm = ft; }
    // 0 stores zero; otherwise Unix seconds.
    void SetNextAlarm(int iUnixSeconds);
    FILETIME GetNextAlarm() const { return m_ftNextAlarm; }

    // One instance of a series whose other instances are not held here.
    void SetIsolatedRecurrence(BOOL b) { m_bIsolatedRecurrence = b; }
    BOOL GetIsolatedRecurrence() const { return m_bIsolatedRecurrence; }

    // Modified and cancelled instances; ownership is taken, null is ignored.
    void addException(Inv* pInv);
    int NumExceptions() const { return static_cast<int>(m_vecExceptions.size()); }
    Inv* ExceptionAt(int i) const;
    void addCancelException(Inv* pInv);
    int NumCancelExceptions() const { return static_cast<int>(m_vecCancelExceptions.size()); }
    Inv* CancelExceptionAt(int i) const;

    void addTagId(LONG lTagId) { m_vecTagIds.push_back(lTagId); }
    TagIdList& TagIds() { return m_vecTagIds; }
    const TagIdList& TagIds() const { return m_vecTagIds; }
    void addTagName(const wchar_t* pwszTagName) { m_vecTagNames.emplace_back(pwszTagName ? pwszTagName : L""); }
    TagNameList& TagNames() { return m_vecTagNames; }
    const TagNameList& TagNames() const { return m_vecTagNames; }

    // Dates are sent in the server's own form rather than converted into a zone.
    void SetTargetZoneTime(BOOL b) { m_bTargetZoneTime = b; }
    BOOL GetTargetZoneTime() const { return m_bTargetZoneTime; }

    // A default invitation exists and its first component is a task.
    bool IsTask() const;

protected:
    Appointment();
    ~Appointment();
    Appointment(const Appointment&) = delete;
    Appointment& operator=(const Appointment&) = delete;

private:
    bool OwnsDefaultInv() const { return !m_bIsOrphan && !m_bIsolatedRecurrence; }

    OwnedText m_idString;
    LONG m_lId = 0;
    OwnedText m_uid;
    LONG m_lParentFolder = 0;
    BOOL m_bIsOrphan = FALSE;
    Inv* m_pDefaultInv = nullptr;
    FILETIME m_ftModified{};
    FILETIME m_ftNextAlarm{};
    BOOL m_bIsolatedRecurrence = FALSE;
    std::vector<Inv*> m_vecExceptions;
    std::vector<Inv*> m_vecCancelExceptions;
    TagIdList m_vecTagIds;
    TagNameList m_vecTagNames;
    BOOL m_bTargetZoneTime = FALSE;
};

}  // namespace Ostrel::Mail
