// Store appointments and tasks read into the calendar model, for SetAppointmentRequest and
// SetTaskRequest: OLToOstrelAppt fills an Appointment with the series invitation, one invitation
// per modified instance and one cancel invitation per deleted instance, with attendees, organizer,
// rule, reminder, zones and bodies; OLToOstrelTask does the same for a task. OLToOstrel holds what
// both share; RecipientsToAttendees turns a recipient table into the component's people.
//
// Dates go into the model as UTC OLE dates and the Appointment asks for the server's UTC form
// (target-zone-time flag). All-day dates are sent as dates alone, so the date of an all-day item
// is taken from its own zone, not from the machine's. Steps return HRESULTs; nothing is thrown.
#pragma once

#include "Ostrel/Model/Calendar/Appointment.h"
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

#include <string>
#include <vector>

namespace Ostrel::Mail {

class OLToOstrel {
public:
    explicit OLToOstrel(IMAPISupport* pSupport);
    virtual ~OLToOstrel();
    OLToOstrel(const OLToOstrel&) = delete;
    OLToOstrel& operator=(const OLToOstrel&) = delete;

    // A text (as UTF-8) or binary property in full: through a stream when it is too large to fetch
    // at once.
    static HRESULT ReadWhole(IMAPIProp* pProp, ULONG ulTag, std::vector<BYTE>& bytes);
    // The UTC OLE date of a FILETIME.
    static double ToOleDate(const FILETIME& ftUtc);
    // The date an all-day boundary falls on in its zone, as a UTC OLE date whose machine-local
    // date is that same date (the form a date-only field is written from).
    static double AllDayDate(const FILETIME& ftUtc, const TimeZone* pZone);

protected:
    // What an appointment and a task start with: the owner, the store's named properties, the
    // series invitation with the item's ids and zones, the next alarm and the categories. The
    // invitation becomes the Appointment's default one; on failure it is destroyed, not kept.
    // pwszNamePropsError is the text logged when the store's named properties cannot be read.
    HRESULT BeginItem(IAddrBook* pAddrBook, IMsgStore* pStore, Mapi::Appt& item, Appointment& appointment,
                      const wchar_t* pwszOwnerName, const wchar_t* pwszOwnerEmail, const wchar_t* pwszNamePropsError,
                      Inv** ppInv);
    // Looks up the store's named properties (once).
    bool InitNamedProps(IMsgStore* pStore);
    // Zones, parent folder, server id and uid of the item.
    HRESULT SetIds(Mapi::Appt& appt, Appointment& appointment, Inv& inv);
    HRESULT SetMapiMsgAndBody(IMAPIProp* pProp, Inv& inv);
    HRESULT SetOrganizerAndAttendees(Mapi::Appt& appt, Comp& comp);
    // PidLidReminderSignalTime; MAPI_E_NOT_FOUND when absent.
    HRESULT GetReminderFlagDueBy(Mapi::Appt& appt, FILETIME* pft);
    HRESULT GetAlarmXPropInfo(Mapi::Appt& appt, std::wstring& wsName, std::wstring& wsValue);
    // Whether the item's recurrence blob ends the series by date.
    BOOL IsRecurUntil(Mapi::Appt& appt);
    // The zone of the invitation with this zone's id, added (as a copy) when it has none yet.
    static TimeZone* ZoneInInv(Inv& inv, const TimeZone& zone);
    // The rule of a loaded pattern into the component (type, parameters, end); bUntil as
    // IsRecurUntil reads the item's blob.
    static void SetRecurrenceFromPattern(const Mapi::COutlookRecurrencePattern& pattern, bool bUntil, Comp& comp);
    // The item's categories as tag names.
    void ReadCategories(IMAPIProp* pProp, Appointment& appointment);

    IMsgStore* m_pStore = nullptr;
    IAddrBook* m_pAddrBook = nullptr;
    IMAPISupport* m_pSupport = nullptr;
    Mapi::NamedProps* m_pNamedProps = nullptr;
    std::wstring m_wsOwnerName;
    std::wstring m_wsOwnerEmail;
    // The series' legacy zone and its start and end zones, as SetIds finds them.
    TimeZone::OlkTimeZone m_olkLegacy{};
    TimeZone m_legacyZone;
    TimeZone m_startZone;
    TimeZone m_endZone;
};

// The recipient rows of an item as the component's organizer and attendees.
class RecipientsToAttendees {
public:
    // lOwnResponse is the item's own response status (the user's participation); -1 when the
    // item has none.
    RecipientsToAttendees(IAddrBook* pAddrBook, const std::wstring& wsOwnerEmail, LONG lOwnResponse,
                          BOOL bResponseRequested);
    HRESULT Convert(IMessage* pMessage, Comp& comp);

private:
    // The SMTP address of a row whose address is of another type; empty when there is none.
    std::wstring SmtpAddress(const SPropValue* pRow, ULONG cValues) const;

    IAddrBook* m_pAddrBook;
    std::wstring m_wsOwnerEmail;
    LONG m_lOwnResponse;
    BOOL m_bResponseRequested;
};

class OLToOstrelAppt : public OLToOstrel {
public:
    explicit OLToOstrelAppt(IMAPISupport* pSupport = nullptr) : OLToOstrel(pSupport) {}

    HRESULT ConvertAppt(IAddrBook* pAddrBook, IMsgStore* pStore, Mapi::Appt& appt, Appointment& appointment,
                        const wchar_t* pwszOwnerName, const wchar_t* pwszOwnerEmail);

protected:
    // pSeries is the series item when appt is one of its modified instances; dInstanceDate the
    // instance's original start (exceptions only).
    HRESULT ProcessInv(Mapi::Appt& appt, Mapi::Appt* pSeries, Inv& inv, bool bException, double dInstanceDate,
                       const Comp* pSeriesComp);
    HRESULT ProcessRecurringExceptions(Mapi::Appt& appt, const Comp& seriesComp, Appointment& appointment);
    HRESULT SetApptCompProps(Mapi::Appt& appt, Comp& comp, const FILETIME& ftStart, const FILETIME& ftEnd);
    HRESULT GetStartEndTimezones(Mapi::Appt& appt, Inv& inv, bool bException, TimeZone** ppStart, TimeZone** ppEnd);
};

class OLToOstrelTask : public OLToOstrel {
public:
    explicit OLToOstrelTask(IMAPISupport* pSupport = nullptr) : OLToOstrel(pSupport) {}

    HRESULT ConvertTask(IAddrBook* pAddrBook, IMsgStore* pStore, Mapi::Task& task, Appointment& appointment,
                        const wchar_t* pwszOwnerName, const wchar_t* pwszOwnerEmail);

protected:
    HRESULT ProcessInv(Mapi::Task& task, Inv& inv);
    HRESULT GetTaskLocation(Mapi::Task& task, std::wstring& wsLocation);
};

}  // namespace Ostrel::Mail
