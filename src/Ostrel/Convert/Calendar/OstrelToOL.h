// Server calendar items, held as an Appointment of the calendar model, written into store
// messages: OstrelToOLAppt makes an appointment (IPM.Appointment) with its recurrence, modified
// and cancelled instances, attendees, organizer, reminder and free/busy state; OstrelToOLTask
// makes a task (IPM.Task). OstrelToOL holds what both share: the body, the recipients and the
// texts that describe what went wrong.
//
// A converter serves one item at a time; its flags and texts describe the last conversion. Every
// failing step logs, adds its sentence to the error text and makes the conversion return 0;
// occurrences that cannot be found only add to the warning text. Nothing is thrown to the caller.
#pragma once

#include "Ostrel/Convert/Calendar/CalendarPropList.h"
#include "Ostrel/Convert/Calendar/OstrelToOLAttach.h"
#include "Ostrel/Model/Calendar/Appointment.h"
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Mapi.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Ostrel::Mail {

class OstrelToOL {
public:
    OstrelToOL();
    virtual ~OstrelToOL();
    OstrelToOL(const OstrelToOL&) = delete;
    OstrelToOL& operator=(const OstrelToOL&) = delete;

    // The server sends reminders with its appointments (the session's feature; on by default).
    void SetSupportApptAlarm(bool b) { m_bSupportApptAlarm = b; }
    // Tag names are taken by the server (else tag ids are mapped to categories).
    void SetSupportTagNames(bool b) { m_bSupportTagNames = b; }
    // The files the server lists with the item are downloaded through this connection and replace
    // the item's own attachments. Without one they are not fetched: the item's attachments stay as
    // they are, with a warning when the server lists any.
    void SetAttachmentSource(Rpc::OstrelConnection* pConnection) { m_pAttachmentSource = pConnection; }

    bool isStopSyncError() const { return m_bStopSyncError; }
    bool HasLocalFailure() const { return m_bLocalFailure; }
    bool HasReportableLocalFailure() const { return m_bReportableLocalFailure; }
    bool HasReportableLocalWarning() const { return m_bReportableLocalWarning; }
    const std::wstring& GetErrorText() const { return m_wsError; }
    // What the MIME conversion reported, and the MIME text it failed on.
    const std::wstring& GetMimeToMapiErrorMessage() const { return m_wsMimeToMapiError; }
    const std::string& GetMimeMessage() const { return m_sMimeMessage; }
    const std::wstring& GetWarningText() const { return m_wsWarning; }

    // The description after the server's meeting summary: the text after the first "*~*~" and
    // the line break, blank line or marker that ends the separator; nullopt when there is no
    // summary to strip.
    static std::optional<std::wstring> StripMeetingSummary(const std::wstring& wsText);
    // Turns the server's span styles into plain tags (underline, strike-through, colour) and
    // drops empty spans.
    static std::wstring CleanUpCalendarHTML(const std::wstring& wsHtml);
    // The server's MIME with every text/calendar part of its alternatives removed and an HTML
    // alternative made from the plain text where there is none.
    static bool FixMimeWithHTMLAndCalendar(const std::string& sMime, std::string& sFixed);

protected:
    // Writes the class, the body and the reminder defaults of a message from an invitation.
    // reminderFlag receives the message's own reminder flag when the server sends no alarms.
    bool ConvertMimeIntoMessage(const Inv& inv, IMessage* pMessage, int& reminderFlag);
    // One recipient row: flags 1 sendable, 2 organizer, 0x10 exceptional response, 0x20 deleted.
    // The organizer (flag 2 set) also becomes the sender.
    bool AddAttendee(IMessage* pMessage, const Attendee& attendee, ULONG ulRecipientFlags);
    bool RemoveRecipients(IMessage* pMessage);
    // The address is the user's own (user address or one of the user's names).
    bool IsMatchingUser(const wchar_t* pwszAddress) const;
    ULONG Tag(Mapi::NamedProps::PropIdx idx, ULONG ulType) const;
    void AddError(const std::wstring& ws) { m_wsError += ws; }
    void AddWarning(const std::wstring& ws) { m_wsWarning += ws; }
    // Initialises the per-item state and looks up the named properties; false (with the error
    // text set) when they cannot be had.
    bool Begin(Appointment& appointment, IMsgStore* pStore, IMessage* pTarget, IAddrBook* pAddrBook,
               const wchar_t* pwszUserEmail, const std::vector<std::wstring>& userNames);
    // Downloads the files of the series and of each modified instance before anything is written
    // (OstrelToOLAttach.cpp); false, with the error text set, when one cannot be had.
    bool FetchAttachments();
    // Replaces the message's own attachments by the files fetched for the invitation; an
    // invitation converted from its MIME has its attachments from there.
    bool WriteAttachments(const Inv& inv, IMessage* pMessage);
    // The component's rule (type, interval, days, end) into a pattern.
    static void SetPatternRule(Mapi::COutlookRecurrencePattern& pattern, const Comp& comp);
    // Hands out the texts as the callers expect them: warnings always, errors on failure.
    int Finish(int iResult, wchar_t** ppwszErrorText, wchar_t** ppwszWarningText);
    // The "Keywords" value from the item's tags into the array (or a deletion when there are none).
    void AddCategories(IMessage* pMessage, CalPropList& props, std::vector<ULONG>& deletions);
    FILETIME Now() const;
    // Whether the target store is the account's primary store; asked once per item, since the
    // series and each of its exceptions need it.
    bool IsPrimaryStore();

    Appointment* m_pAppointment = nullptr;
    IMsgStore* m_pStore = nullptr;
    IAddrBook* m_pAddrBook = nullptr;
    std::wstring m_wsUserEmail;
    std::vector<std::wstring> m_userNames;
    Mapi::NamedProps* m_pNamedProps = nullptr;
    bool m_bSupportApptAlarm = true;
    bool m_bSupportTagNames = true;
    std::optional<bool> m_obPrimaryStore;
    int m_iKeepReminder = 0;
    BOOL m_bOldReminderSet = FALSE;
    LONG m_lOldReminderMinutes = 0;
    bool m_bStopSyncError = false;
    bool m_bLocalFailure = false;
    bool m_bReportableLocalFailure = false;
    bool m_bReportableLocalWarning = false;
    std::wstring m_wsError;
    std::wstring m_wsWarning;
    std::wstring m_wsMimeToMapiError;
    std::string m_sMimeMessage;
    TagIdList m_tagIds;
    TagNameList m_tagNames;
    // The categories value of the last AddCategories, kept alive until SetProps.
    std::vector<std::wstring> m_keywords;
    std::vector<wchar_t*> m_keywordPtrs;
    Rpc::OstrelConnection* m_pAttachmentSource = nullptr;
    FetchedAttachments m_attachments;
};

class OstrelToOLAppt : public OstrelToOL {
public:
    // Writes the appointment into pTarget and saves it: 1 on success, 0 on failure. A non-empty
    // warning text and, on failure, the error text are handed out as copies (free them with
    // Util::SafeDelete); either pointer may be null.
    int ConvertAppt(IMsgStore* pStore, Appointment& appointment, IMessage* pTarget, IAddrBook* pAddrBook,
                    const wchar_t* pwszUserEmail, const std::vector<std::wstring>& userNames, int keepReminder,
                    wchar_t** ppwszErrorText, wchar_t** ppwszWarningText);

protected:
    int ConvertAppt_(IMessage* pTarget);
    bool SetProperties(const Comp& comp, Mapi::Appt& appt, bool bException, int keepReminder);
    void SetApptProps(Mapi::Appt& appt, const Comp& comp, FILETIME& ftEnd, const FILETIME& ftStart,
                      const FILETIME& ftNow);
    bool SetMAPIProperties(const Comp& comp, IMessage* pMessage, const wchar_t* pwszUid, bool bException);
    bool AddInviteeInfo(IMessage* pMessage, const Comp& comp, CalPropList& props, bool bRemoveExisting,
                        bool bException);
    bool DealWithExceptions(Mapi::Appt& appt, IMessage* pTarget, const Comp& comp);
    bool MakeExceptionToRecurrence(Mapi::Appt& appt, IMessage* pTarget, Inv& inv, const Comp& seriesComp);
    bool MakeExcFromCnclOrExclNode(Mapi::Appt& appt, const wchar_t* pwszRecurId, const Comp& seriesComp);
    void DoDelegatePrivateCheck(IMessage* pMessage);
    // The access rights on the folder with that entry id; nullopt when it cannot be opened. Kept
    // for the item, whose series and exceptions ask for the same folder.
    std::optional<ULONG> FolderAce(const SBinary& folderId);
    static void GetOutlookReminderValues(BOOL& bSet, LONG& lMinutes);
    // End time, clip end and duration; an all-day end that falls on the start of daylight time
    // is moved back by the daylight saving.
    void SetEnd(Mapi::Appt& appt, const Comp& comp, FILETIME ftEnd, const FILETIME& ftStart);
    void AddOccurrenceWarning(const wchar_t* pwszRecurId, const Comp& seriesComp);

    std::map<std::string, ULONG> m_folderAces;
};

class OstrelToOLTask : public OstrelToOL {
public:
    // As ConvertAppt, for a task.
    int ConvertTask(IMsgStore* pStore, Appointment& appointment, IMessage* pTarget, IAddrBook* pAddrBook,
                    const wchar_t* pwszUserEmail, int keepReminder, wchar_t** ppwszErrorText,
                    wchar_t** ppwszWarningText);

protected:
    bool SetTaskProperties(const Comp& comp, Mapi::Task& task);
    bool SetTaskMAPIProperties(const Comp& comp, IMessage* pMessage);
};

}  // namespace Ostrel::Mail
