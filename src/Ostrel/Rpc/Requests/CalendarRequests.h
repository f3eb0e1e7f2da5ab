// Calendar items to and from the server: SetAppointmentRequest (or SetTaskRequest) stores a whole
// item (series, modified and cancelled instances, bodies, attachments, tags, next alarm);
// GetAppointmentRequest (or GetTaskRequest) fetches one. The replies are read by CalendarReader.h.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Ostrel/Model/Calendar/Appointment.h"
#include "Ostrel/Rpc/Requests/AttachmentDetails.h"
#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

namespace Ostrel::Rpc {

// The attachments of each invitation of an item, uploaded before the request; only their upload
// tokens are sent.
using AppointmentAttachmentMap = std::map<Mail::Inv*, std::vector<AttachmentDetails*>>;

class SetAppointmentRequest : public ItemRequestBase {
public:
    // Builds the whole request: type Appointment gives SetAppointmentRequest, any other
    // SetTaskRequest. pAttachments may be null.
    SetAppointmentRequest(Mail::Appointment& appt, Mail::MailItemType type, AppointmentAttachmentMap* pAttachments,
                          Mail::TagIdList& tagIds, Mail::TagNameList& tagNames, LONG folderId);
    ~SetAppointmentRequest() override;

private:
    void AddDefault(IXMLDOMElement* pParent, Mail::Inv& inv);
    void AddException(IXMLDOMElement* pParent, Mail::Inv& inv, bool bCancel);
    void AddMsg(IXMLDOMElement* pParent, Mail::Inv& inv, bool bException, bool bCancel);
    void AddInvite(IXMLDOMElement* pM, Mail::Inv& inv, bool bException, bool bCancel);
    void AddTimezone(IXMLDOMElement* pParent, const Mail::TimeZone* pZone);
    void AddTimezoneTransition(IXMLDOMElement* pTz, const wchar_t* pwszName, const SYSTEMTIME& st);
    void AddDateNode(const wchar_t* pwszName, double dDate, bool bWithTime, const Mail::TimeZone* pZone,
                     IXMLDOMElement* pParent);
    void AddOrganizer(IXMLDOMElement* pInv, const Mail::Comp& comp);
    void AddAttendees(IXMLDOMElement* pInv, const Mail::Comp& comp);
    void AddRecurrence(IXMLDOMElement* pInv, const Mail::Comp& comp);
    void AddFrequency(IXMLDOMElement* pRule, const wchar_t* pwszFreq);
    void AddInterval(IXMLDOMElement* pRule, LONG lInterval);
    void AddDayOfWeek(IXMLDOMElement* pRule, LONG lMask);
    void AddDayOfMonth(IXMLDOMElement* pRule, LONG lDay);
    void AddMonthOfYear(IXMLDOMElement* pRule, LONG lMonth);
    void AddInstance(IXMLDOMElement* pRule, LONG lInstance);
    void AddAlarm(IXMLDOMElement* pInv, const Mail::Comp& comp);
    void AddXPropNode(const wchar_t* pwszName, const std::wstring& wsValue, IXMLDOMElement* pParent);
    void AddSubject(IXMLDOMElement* pM, const Mail::Comp& comp);
    void ProcessBody(IXMLDOMElement* pM, const Mail::Inv& inv);
    void AddAttachments(IXMLDOMElement* pM, Mail::Inv& inv);

    Mail::Appointment& m_appt;
    bool m_bIsTask;
    Mail::Inv* m_pDefaultInv;
    AppointmentAttachmentMap* m_pAttachments;
};

class GetAppointmentRequest : public ItemRequestBase {
public:
    GetAppointmentRequest(LONG id, int isTask);
};

// The zone id as it may travel in an attribute: ":" becomes "." and ";" becomes " /".
std::wstring SafeZoneId(const wchar_t* pwszId);

}  // namespace Ostrel::Rpc
