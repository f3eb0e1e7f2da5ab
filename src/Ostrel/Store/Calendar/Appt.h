// The store-side wrappers of appointments, meeting items and tasks: one accessor per property
// (most of them named properties of the published sets), with the few that keep dependent
// properties, the recurrence pattern or an exception's attachment in step.
//
// Getters take a pointer to the result and leave it unchanged on failure (MAPI_E_NOT_FOUND when
// the property is absent); setters write one property unless said otherwise. Nothing is saved
// before Save().
#pragma once

#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"
#include "Ostrel/Store/Calendar/RecurrencePattern.h"
#include "Ostrel/Store/EntryId.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Ostrel::Mapi {

// iCalendar UIDs to the entry ids of the items that carry them.
using UidMapper = std::multimap<std::string, CEntryID>;

class Appt {
public:
    // When the wrapped object is one occurrence of a series: its hidden attachment in the series
    // item and its entry in the series' pattern (owned by the series' wrapper).
    struct ExceptionContext {
        IAttach* pAttach = nullptr;
        COutlookRecurrenceException* pException = nullptr;
    };

    // FILETIME of 4500-12-31 23:59, the clip end of a series without end.
    static constexpr ULONGLONG kNoEndClipTime = 0x0CB345578019FA00ULL;

    Appt(IMAPIProp* pProp, IMsgStore* pStore);
    Appt(const SBinary* pEntryId, IMsgStore* pStore);
    Appt(IMAPIProp* pProp, IMsgStore* pStore, const ExceptionContext& exception);
    Appt(const Appt& other);
    Appt& operator=(const Appt& other);
    virtual ~Appt();

    IMAPIProp* Prop() const { return m_pProp.Get(); }
    IMsgStore* Store() const { return m_pStore.Get(); }
    NamedProps* Props() const { return m_pNamedProps; }
    bool IsException() const { return m_exception.pException != nullptr; }

    // ---- Appointment properties -----------------------------------------------------------
    HRESULT GetBusyStatus(LONG* pl);
    HRESULT SetBusyStatus(LONG l);
    HRESULT GetIntendedBusyStatus(LONG* pl);
    HRESULT SetIntendedBusyStatus(LONG l);
    HRESULT GetMeetingStatus(LONG* pl);
    HRESULT SetMeetingStatus(LONG l);
    HRESULT GetInvitationsSent(BOOL* pb);
    HRESULT SetInvitationsSent(BOOL b);
    HRESULT GetResponseStatus(LONG* pl);
    HRESULT SetResponseStatus(LONG l);
    virtual HRESULT GetIsRecurring(BOOL* pb);
    virtual HRESULT SetIsRecurring(BOOL b);
    virtual ULONG GetRecurringStreamTag() const;
    HRESULT GetChangeHighlight(LONG* pl);
    HRESULT SetChangeHighlight(LONG l);
    HRESULT GetAllDay(BOOL* pb);
    HRESULT SetAllDay(BOOL b);
    HRESULT GetReminderSet(BOOL* pb);
    HRESULT SetReminderSet(BOOL b);
    HRESULT GetReminderMinutes(LONG* pl);
    HRESULT SetReminderMinutes(LONG l);
    HRESULT GetSequenceId(LONG* pl);
    HRESULT SetSequenceId(LONG l);
    HRESULT GetLocation(std::wstring* pws);
    HRESULT SetLocation(const wchar_t* pwsz);
    HRESULT GetDuration(LONG* pl);
    HRESULT SetDuration(LONG l);
    HRESULT GetIsException(BOOL* pb);
    HRESULT SetIsException(BOOL b);
    HRESULT GetRecurrenceType(LONG* pl);
    HRESULT SetRecurrenceType(LONG l);
    HRESULT GetRecurrencePatternText(std::wstring* pws);
    HRESULT SetRecurrencePatternText(const wchar_t* pwsz);
    HRESULT GetSmartNoAttach(BOOL* pb);
    HRESULT SetSmartNoAttach(BOOL b);
    // The exception's replace time: the original start of the occurrence, UTC.
    HRESULT GetExceptionReplaceTime(FILETIME* pft);
    HRESULT GetStartTime(FILETIME* pft);
    // Writes the start into its three properties at once; on an exception also the attachment's
    // start in the series' local time (through pTimeZone, or as given without one) and the
    // pattern's exception entry.
    HRESULT SetStartTime(const FILETIME* pftUtc, const Mail::TimeZone* pTimeZone);
    HRESULT GetEndTime(FILETIME* pft);
    HRESULT SetEndTime(const FILETIME* pftUtc, const Mail::TimeZone* pTimeZone);
    HRESULT GetReminderTime(FILETIME* pft);
    HRESULT SetReminderTime(const FILETIME* pft);
    HRESULT GetReminderSignalTime(FILETIME* pft);
    HRESULT SetReminderSignalTime(const FILETIME* pft);
    HRESULT GetOwnerCriticalChange(FILETIME* pft);
    HRESULT SetOwnerCriticalChange(const FILETIME* pft);
    HRESULT GetClipStartTime(FILETIME* pft);
    HRESULT SetClipStartTime(const FILETIME* pft);
    HRESULT GetClipEndTime(FILETIME* pft);
    // A series without end always gets 4500-12-31 23:59.
    HRESULT SetClipEndTime(const FILETIME* pft);
    // An occurrence whose series is not in the store.
    HRESULT GetIsOrphan(BOOL* pb);
    HRESULT GetSubject(std::wstring* pws);
    HRESULT SetSubject(const wchar_t* pwsz);
    HRESULT GetSenderEmail(std::wstring* pws);
    HRESULT SearchKey(std::vector<BYTE>* pvec);
    HRESULT GetImportance(LONG* pl);
    HRESULT SetImportance(LONG l);
    HRESULT GetSensitivity(LONG* pl);
    HRESULT SetSensitivity(LONG l);
    HRESULT GetResponseRequested(BOOL* pb);
    HRESULT SetResponseRequested(BOOL b);
    LONG OstrelInvId() const { return m_lOstrelInvId; }
    void OstrelInvId(LONG l) { m_lOstrelInvId = l; }

    // ---- Identity ---------------------------------------------------------------------------
    // The iCalendar UID of the clean global object id; empty when there is none.
    std::wstring Uid();
    // The global object id's bytes; empty when there is none.
    std::vector<BYTE> UidBinary();
    // Items of the folder whose clean global object id carries the UID, or whose property has the
    // value given; MAPI_E_NOT_FOUND when none.
    static HRESULT FindApptsWithMatchingUid(NamedProps* pProps, IMAPIFolder* pFolder, const wchar_t* pwszUid,
                                            UidMapper& found);
    static HRESULT FindApptsWithMatchingUid(NamedProps* pProps, IMAPIFolder* pFolder, const SPropValue* pUid,
                                            UidMapper& found);

    // ---- Time zones -------------------------------------------------------------------------
    // Outlook's legacy structure and its zone's name: the description when it is an IANA
    // identifier, else the IANA identifier of the Windows zone that the description or the
    // structure names, else the description.
    HRESULT GetLegacyTimezone(Mail::TimeZone::OlkTimeZone* pOlk, std::wstring* pwsName);
    HRESULT SetLegacyTimezone(const Mail::TimeZone& tz);
    // The zone definitions of the start and end, named by IANA identifier where known.
    HRESULT GetStartAndEndTimezones(Mail::TimeZone& start, Mail::TimeZone& end);
    HRESULT SetStartTimezone(const Mail::TimeZone& tz);
    HRESULT SetEndTimezone(const Mail::TimeZone& tz);
    // The machine's zone, as a structure and an IANA identifier (or its Windows name).
    static HRESULT GetOSTimezone(TIME_ZONE_INFORMATION& tzi, std::wstring& wsName);
    static HRESULT SetFromOSTZ(Mail::TimeZone::OlkTimeZone& olk, std::wstring& wsName);

    // ---- Life cycle -------------------------------------------------------------------------
    // The defaults of a new appointment, in one SetProps.
    virtual HRESULT InitializeNew();
    HRESULT Save();
    // Deletes the item from its folder.
    HRESULT Delete();

    // ---- Recurrence -------------------------------------------------------------------------
    COutlookRecurrencePattern& GetRecurrencePatternRef() { return m_recurrence; }
    // Removes the recurrence properties and the exception attachments.
    HRESULT ClearRecurrencePattern();
    // The item with that entry id in the folder.
    static HRESULT GetAppointment(IMAPIFolder* pFolder, const SPropValue* pEntryId, IMsgStore* pStore,
                                  std::unique_ptr<Appt>& pAppt);
    // The occurrence of the series whose replace time is ftOriginalUtc, as a wrapper holding its
    // attachment; MAPI_E_NOT_FOUND when the series has none.
    static HRESULT GetExceptionAppointment(IMessage* pSeries, const FILETIME& ftOriginalUtc, IMsgStore* pStore,
                                           std::unique_ptr<Appt>& pAppt);

protected:
    ULONG Tag(NamedProps::PropIdx idx, ULONG ulType) const { return NAMED_PROP(idx, ulType, m_pNamedProps); }
    HRESULT GetValue(ULONG ulTag, LPSPropValue* ppValue);
    HRESULT SetValue(SPropValue value);
    HRESULT GetLong(ULONG ulTag, LONG* pl);
    HRESULT SetLong(ULONG ulTag, LONG l);
    HRESULT GetBool(ULONG ulTag, BOOL* pb);
    HRESULT SetBool(ULONG ulTag, BOOL b);
    HRESULT GetTime(ULONG ulTag, FILETIME* pft);
    HRESULT SetTime(ULONG ulTag, const FILETIME* pft);
    HRESULT GetText(ULONG ulTag, std::wstring* pws);
    HRESULT SetText(ULONG ulTag, const wchar_t* pwsz);
    HRESULT GetBytes(ULONG ulTag, std::vector<BYTE>* pvec);
    HRESULT SetBytes(ULONG ulTag, const std::vector<BYTE>& vec);
    // Writes start or end: the three item properties, then on an exception the attachment.
    HRESULT SetTimes(ULONG ulWhole, ULONG ulCommon, ULONG ulPlain, ULONG ulAttachTag, const FILETIME* pftUtc,
                     const Mail::TimeZone* pTimeZone, bool bStart);
    HRESULT SetTimezoneDefinition(ULONG ulTag, const Mail::TimeZone& tz);

private:
    void Init(IMAPIProp* pProp, IMsgStore* pStore);

    Platform::ComPtr<IMAPIProp> m_pProp;
    Platform::ComPtr<IMsgStore> m_pStore;
    NamedProps* m_pNamedProps = nullptr;
    COutlookRecurrencePattern m_recurrence;
    Platform::ComPtr<IAttach> m_pExceptionAttach;
    ExceptionContext m_exception;
    LONG m_lOstrelInvId = 0;
};

class Task : public Appt {
public:
    // Outlook's "no date" for task dates: 4501-01-01 counted in minutes.
    static constexpr ULONGLONG kNoDate = 0x5AE980E0ULL;

    Task(IMAPIProp* pProp, IMsgStore* pStore);
    Task(const SBinary* pEntryId, IMsgStore* pStore);

    HRESULT GetIsRecurring(BOOL* pb) override;
    HRESULT SetIsRecurring(BOOL b) override;
    ULONG GetRecurringStreamTag() const override;
    HRESULT InitializeNew() override { return S_OK; }

    HRESULT GetTaskStatus(LONG* pl);
    HRESULT SetTaskStatus(LONG l);
    HRESULT GetPercentComplete(double* pd);
    HRESULT SetPercentComplete(double d);
    HRESULT GetCompletedDate(FILETIME* pft);
    HRESULT SetCompletedDate(const FILETIME* pft);
    HRESULT GetDueDate(FILETIME* pft);
    // UTC in, stored as the machine's local time in the task and the common property; the "no
    // date" value writes nothing.
    HRESULT SetDueDate(const FILETIME* pftUtc);
    HRESULT GetStartDate(FILETIME* pft);
    HRESULT SetStartDate(const FILETIME* pftUtc);
    HRESULT GetTotalWork(LONG* pl);
    HRESULT SetTotalWork(LONG l);
    HRESULT GetActualWork(LONG* pl);
    HRESULT SetActualWork(LONG l);
    HRESULT GetDeadOccurrence(BOOL* pb);
    HRESULT SetDeadOccurrence(BOOL b);
    HRESULT GetCompanies(std::vector<std::wstring>* pvec);
    HRESULT SetCompanies(const std::vector<std::wstring>& vec);
    HRESULT GetMileage(std::wstring* pws);
    HRESULT SetMileage(const wchar_t* pwsz);
    HRESULT GetBillingInformation(std::wstring* pws);
    HRESULT SetBillingInformation(const wchar_t* pwsz);
    HRESULT GetResetReminder(BOOL* pb);
    HRESULT SetResetReminder(BOOL b);

private:
    HRESULT SetLocalDate(ULONG ulTaskTag, ULONG ulCommonTag, const FILETIME* pftUtc);
};

}  // namespace Ostrel::Mapi
