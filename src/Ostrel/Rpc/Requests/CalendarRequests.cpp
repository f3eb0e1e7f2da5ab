#include "Ostrel/Rpc/Requests/CalendarRequests.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Time/TimeUtil.h"

#include <cwctype>

namespace Ostrel::Rpc {

using Mail::Appointment;
using Mail::Attendee;
using Mail::Comp;
using Mail::Inv;
using Mail::RecurrenceType;
using Mail::TimeZone;

namespace {

const wchar_t* CallNameFor(Mail::MailItemType type) {
    return type == Mail::MIT_APPOINTMENT ? L"SetAppointmentRequest" : L"SetTaskRequest";
}

bool Empty(const wchar_t* pwsz) {
    return !pwsz || !*pwsz;
}

bool EqualNoCase(const wchar_t* a, const wchar_t* b) {
    if (!a || !b)
        return a == b;
    for (; *a && *b; ++a, ++b)
        if (std::towlower(*a) != std::towlower(*b))
            return false;
    return *a == *b;
}

const Comp* FirstComp(const Inv* pInv) {
    return pInv ? pInv->CompAt(0) : nullptr;
}

// A date of the item as text: with the target-zone-time flag the value is UTC; otherwise it is
// machine-local and a time is written in the series' zone. A date alone (all-day items, tasks) is
// the local date as it stands: converting its midnight into another zone would move it to the
// neighbouring day.
std::wstring DateText(double dDate, bool bWithTime, const TimeZone* pZone, bool bTargetZoneTime) {
    if (bTargetZoneTime)
        return Util::VariantTimeToOstrelDateStr(dDate, bWithTime, false);
    if (!bWithTime)
        return Util::VariantTimeToOstrelDateStr(dDate, false, true);
    TIME_ZONE_INFORMATION tzi{};
    if (pZone) {
        pZone->PopulateTimeZoneInfo(tzi);
        return Util::VariantTimeToTzSpecificTimeStr(dDate, bWithTime, &tzi);
    }
    return Util::VariantTimeToTzSpecificTimeStr(dDate, true, nullptr);
}

}  // namespace

std::wstring SafeZoneId(const wchar_t* pwszId) {
    std::wstring ws;
    for (const wchar_t* p = pwszId; p && *p; ++p) {
        if (*p == L':')
            ws += L'.';
        else if (*p == L';')
            ws += L" /";
        else
            ws += *p;
    }
    return ws;
}

SetAppointmentRequest::SetAppointmentRequest(Appointment& appt, Mail::MailItemType type,
                                             AppointmentAttachmentMap* pAttachments, Mail::TagIdList& tagIds,
                                             Mail::TagNameList& tagNames, LONG folderId)
    : ItemRequestBase(CallNameFor(type)),
      m_appt(appt),
      m_bIsTask(type != Mail::MIT_APPOINTMENT),
      m_pDefaultInv(appt.GetDefaultInv()),
      m_pAttachments(pAttachments) {
    CreateBody(CallNameFor(type), Soap::kNsMail);
    IXMLDOMElement* pRoot = Body();
    SetAttr(pRoot, L"l", std::to_wstring(folderId));
    if (m_pDefaultInv)
        AddDefault(pRoot, *m_pDefaultInv);
    for (int i = 0; i < appt.NumExceptions(); ++i)
        AddException(pRoot, *appt.ExceptionAt(i), false);
    for (int i = 0; i < appt.NumCancelExceptions(); ++i)
        AddException(pRoot, *appt.CancelExceptionAt(i), true);
    SetTagAttribute(pRoot, &tagIds, &tagNames, true);
    const FILETIME ftAlarm = appt.GetNextAlarm();
    if (ftAlarm.dwLowDateTime || ftAlarm.dwHighDateTime)
        SetAttr(pRoot, L"nextAlarm", std::to_wstring(Util::FileTimeToUnixTime64(ftAlarm)) + L"000");
}

SetAppointmentRequest::~SetAppointmentRequest() = default;

void SetAppointmentRequest::AddDefault(IXMLDOMElement* pParent, Inv& inv) {
    auto def = AddChild(pParent, L"default");
    if (const Comp* pComp = FirstComp(&inv))
        SetAttr(def.Get(), L"ptst", pComp->GetMyPartStat().ToString());
    AddMsg(def.Get(), inv, false, false);
}

void SetAppointmentRequest::AddException(IXMLDOMElement* pParent, Inv& inv, bool bCancel) {
    auto elem = AddChild(pParent, bCancel ? L"cancel" : L"except");
    const Comp* pComp = FirstComp(&inv);
    if (!bCancel && pComp)
        SetAttr(elem.Get(), L"ptst", pComp->GetMyPartStat().ToString());
    AddMsg(elem.Get(), inv, true, bCancel);
}

void SetAppointmentRequest::AddMsg(IXMLDOMElement* pParent, Inv& inv, bool bException, bool bCancel) {
    auto m = AddChild(pParent, L"m");
    AddInvite(m.Get(), inv, bException, bCancel);
    // Instances carry a subject only when they have one; the series always does.
    if (const Comp* pComp = FirstComp(&inv); pComp && (!bException || !Empty(pComp->GetSubject())))
        AddSubject(m.Get(), *pComp);
    ProcessBody(m.Get(), inv);
    AddAttachments(m.Get(), inv);
}

void SetAppointmentRequest::AddInvite(IXMLDOMElement* pM, Inv& inv, bool bException, bool bCancel) {
    const Comp* pComp = FirstComp(&inv);
    if (!pComp)
        return;
    const Comp& comp = *pComp;
    // The zones go into m ahead of the invitation that refers to them.
    const TimeZone* pStartZone = m_bIsTask ? nullptr : comp.GetStartDateTimeZone();
    const TimeZone* pEndZone = m_bIsTask ? nullptr : comp.GetEndDateTimeZone();
    if (!m_bIsTask) {
        AddTimezone(pM, pStartZone);
        if (pStartZone && pEndZone && !EqualNoCase(pStartZone->GetId(), pEndZone->GetId()))
            AddTimezone(pM, pEndZone);
    }
    auto e = AddChild(pM, L"inv");
    IXMLDOMElement* p = e.Get();
    if (!bCancel)
        SetAttr(p, L"method", L"REQUEST");
    SetAttr(p, L"fb", comp.GetBusyStatus().ToString());
    SetAttr(p, L"transp", comp.GetOpaque() ? L"O" : L"T");
    SetAttr(p, L"allDay", comp.GetIsAllDay() ? L"1" : L"0");
    SetAttr(p, L"name", comp.GetSubject() ? comp.GetSubject() : L"");
    SetAttr(p, L"loc", comp.GetLocation() ? comp.GetLocation() : L"");
    SetAttr(p, L"seq", std::to_wstring(inv.GetSeqId()));
    if (comp.GetIsOrganizer() && comp.GetUpdateTimeUnix() != 0)
        SetAttr(p, L"d", std::to_wstring(comp.GetUpdateTimeUnix() * 1000));
    const LONG lSensitivity = comp.GetItemSensitivity();
    if (lSensitivity == 0)
        SetAttr(p, L"class", L"PUB");
    else if (lSensitivity >= 1 && lSensitivity <= 3)
        SetAttr(p, L"class", L"PRI");
    else
        OSTLOG_WARN(L"Unsupported item sensitivity %d", static_cast<int>(lSensitivity));
    SetAttr(p, L"neverSent", comp.GetIsNeverSent() ? L"1" : L"0");
    SetAttr(p, L"draft", comp.GetIsDraft() ? L"1" : L"0");
    if (m_bIsTask) {
        SetAttr(p, L"percentComplete", std::to_wstring(comp.GetPercentComplete()));
        SetAttr(p, L"priority", comp.GetImportance().ToString());
        // A completion date of 0 is the model's "not completed", not 1899-12-30.
        const double dCompleted = comp.GetCompletedDate();
        if (dCompleted > 0 && Comp::DateIsInitialized(dCompleted))
            SetAttr(p, L"completed", Util::VariantTimeToTzSpecificTimeStr(dCompleted, true, nullptr));
    }
    if (!Empty(m_appt.GetUid()))
        SetAttr(p, L"uid", m_appt.GetUid());
    if (m_bIsTask) {
        SetAttr(p, L"status", comp.GetTaskStatus().ToString());
    } else if (comp.GetResponseStatus() != Comp::ResponseStatus::NEEDS_ACTION &&
               comp.GetResponseStatus() != Comp::ResponseStatus::NONE) {
        SetAttr(p, L"status", comp.GetStatus().ToString());
    }

    const bool bWithTime = !m_bIsTask && !comp.GetIsAllDay();
    if (!bCancel) {
        if (Comp::DateIsInitialized(comp.GetStartDate()))
            AddDateNode(L"s", comp.GetStartDate(), bWithTime, pStartZone, p);
        if (Comp::DateIsInitialized(comp.GetEndDate()))
            AddDateNode(L"e", comp.GetEndDate(), bWithTime, pEndZone, p);
    } else {
        AddDateNode(L"s", comp.GetOrigDate(), bWithTime, pStartZone, p);
    }
    if (bException) {
        const Comp* pSeries = FirstComp(m_pDefaultInv);
        const bool bSeriesAllDay = (pSeries ? pSeries : pComp)->GetIsAllDay();
        AddDateNode(L"exceptId", comp.GetOrigDate(), !bSeriesAllDay, comp.GetStartDateTimeZone(), p);
    }
    AddOrganizer(p, comp);
    AddAttendees(p, comp);
    AddRecurrence(p, comp);
    AddAlarm(p, comp);
    if (m_bIsTask) {
        if (comp.GetTotalWork() > 0)
            AddXPropNode(L"X-OSTREL-TASK-TOTAL-WORK", std::to_wstring(comp.GetTotalWork()), p);
        if (comp.GetActualWork() > 0)
            AddXPropNode(L"X-OSTREL-TASK-ACTUAL-WORK", std::to_wstring(comp.GetActualWork()), p);
        if (!Empty(comp.GetCompanies()))
            AddXPropNode(L"X-OSTREL-TASK-COMPANIES", comp.GetCompanies(), p);
        if (!Empty(comp.GetMileage()))
            AddXPropNode(L"X-OSTREL-TASK-MILEAGE", comp.GetMileage(), p);
        if (!Empty(comp.GetBillingInfo()))
            AddXPropNode(L"X-OSTREL-TASK-BILLING", comp.GetBillingInfo(), p);
    }
}

void SetAppointmentRequest::AddTimezone(IXMLDOMElement* pParent, const TimeZone* pZone) {
    if (!pZone)
        return;
    auto tz = AddChild(pParent, L"tz");
    SetAttr(tz.Get(), L"id", SafeZoneId(pZone->GetId()));
    SetAttr(tz.Get(), L"stdoff", std::to_wstring(pZone->GetStandardOffset()));
    if (pZone->HasTransition()) {
        SetAttr(tz.Get(), L"dayoff", std::to_wstring(pZone->GetDaylightOffset()));
        SYSTEMTIME st;
        pZone->GetStandardStart(st);
        AddTimezoneTransition(tz.Get(), L"standard", st);
        pZone->GetDaylightStart(st);
        AddTimezoneTransition(tz.Get(), L"daylight", st);
    }
}

void SetAppointmentRequest::AddTimezoneTransition(IXMLDOMElement* pTz, const wchar_t* pwszName, const SYSTEMTIME& st) {
    auto t = AddChild(pTz, pwszName);
    SetAttr(t.Get(), L"week", st.wDay == 5 ? std::wstring(L"-1") : std::to_wstring(st.wDay));
    SetAttr(t.Get(), L"wkday", std::to_wstring(st.wDayOfWeek + 1));
    SetAttr(t.Get(), L"mon", std::to_wstring(st.wMonth));
    SetAttr(t.Get(), L"hour", std::to_wstring(st.wHour));
    SetAttr(t.Get(), L"min", std::to_wstring(st.wMinute));
    SetAttr(t.Get(), L"sec", std::to_wstring(st.wSecond));
}

void SetAppointmentRequest::AddDateNode(const wchar_t* pwszName, double dDate, bool bWithTime, const TimeZone* pZone,
                                        IXMLDOMElement* pParent) {
    auto node = AddChild(pParent, pwszName);
    SetAttr(node.Get(), L"d", DateText(dDate, bWithTime, pZone, m_appt.GetTargetZoneTime()));
    if (pZone)
        SetAttr(node.Get(), L"tz", SafeZoneId(pZone->GetId()));
}

void SetAppointmentRequest::AddOrganizer(IXMLDOMElement* pInv, const Comp& comp) {
    const Attendee* pOrganizer = comp.GetOrganizer();
    if (!pOrganizer)
        return;
    auto o = AddChild(pInv, L"or");
    if (!Empty(pOrganizer->GetDisplayName()))
        SetAttr(o.Get(), L"name", pOrganizer->GetDisplayName());
    if (!Empty(pOrganizer->GetEmail()))
        SetAttr(o.Get(), L"a", pOrganizer->GetEmail());
    if (!Empty(pOrganizer->GetSentBy()) && !EqualNoCase(pOrganizer->GetSentBy(), pOrganizer->GetEmail()) &&
        !Mapi::IsBESOSN())
        SetAttr(o.Get(), L"sentBy", pOrganizer->GetSentBy());
}

void SetAppointmentRequest::AddAttendees(IXMLDOMElement* pInv, const Comp& comp) {
    for (int i = 0; i < comp.GetNumAttendees(); ++i) {
        const Attendee* pAttendee = comp.GetAttendeeAt(i);
        auto at = AddChild(pInv, L"at");
        if (!Empty(pAttendee->GetDisplayName()))
            SetAttr(at.Get(), L"d", pAttendee->GetDisplayName());
        if (!Empty(pAttendee->GetEmail()))
            SetAttr(at.Get(), L"a", pAttendee->GetEmail());
        SetAttr(at.Get(), L"role", pAttendee->GetRole().ToString());
        if (pAttendee->GetUserType() == Attendee::UserType::RES)
            SetAttr(at.Get(), L"cutype", L"RES");
        SetAttr(at.Get(), L"ptst", pAttendee->GetPartStatus().ToString());
        if (pAttendee->GetRsvp())
            SetAttr(at.Get(), L"rsvp", pAttendee->GetRsvp());
    }
}

void SetAppointmentRequest::AddRecurrence(IXMLDOMElement* pInv, const Comp& comp) {
    if (!comp.GetIsRecurring())
        return;
    const Mail::_Recurrence& r = comp.GetRecurrence();
    auto recur = AddChild(pInv, L"recur");
    auto add = AddChild(recur.Get(), L"add");
    auto rule = AddChild(add.Get(), L"rule");
    IXMLDOMElement* pRule = rule.Get();
    switch (r.type) {
        case RecurrenceType::Daily:
            AddFrequency(pRule, L"DAI");
            AddInterval(pRule, r.GetInterval());
            AddDayOfWeek(pRule, r.GetDayOfWeekMask());
            break;
        case RecurrenceType::Weekly:
            if (r.IsEveryWeekday()) {
                AddFrequency(pRule, L"DAI");
                AddInterval(pRule, 1);
            } else {
                AddFrequency(pRule, L"WEE");
                AddInterval(pRule, r.GetInterval());
            }
            AddDayOfWeek(pRule, r.GetDayOfWeekMask());
            break;
        case RecurrenceType::Monthly:
            AddFrequency(pRule, L"MON");
            AddInterval(pRule, r.GetInterval());
            AddDayOfMonth(pRule, r.GetDayOfMonth());
            break;
        case RecurrenceType::MonthNth:
            AddFrequency(pRule, L"MON");
            AddInterval(pRule, r.GetInterval());
            AddDayOfWeek(pRule, r.GetDayOfWeekMask());
            AddInstance(pRule, r.GetInstance());
            break;
        case RecurrenceType::Yearly:
            AddFrequency(pRule, L"YEA");
            AddDayOfMonth(pRule, r.GetDayOfMonth());
            AddMonthOfYear(pRule, r.GetMonth());
            break;
        case RecurrenceType::YearNth:
            AddFrequency(pRule, L"YEA");
            AddDayOfWeek(pRule, r.GetDayOfWeekMask());
            AddMonthOfYear(pRule, r.GetMonth());
            AddInstance(pRule, r.GetInstance());
            break;
    }
    if (r.lEndByDate) {
        auto until = AddChild(pRule, L"until");
        SetAttr(until.Get(), L"d",
                DateText(r.dEndValue, !comp.GetIsAllDay(), comp.GetStartDateTimeZone(), m_appt.GetTargetZoneTime()));
    } else if (r.dEndValue != 0) {
        auto count = AddChild(pRule, L"count");
        SetAttr(count.Get(), L"num", std::to_wstring(static_cast<LONG>(r.dEndValue)));
    }
}

void SetAppointmentRequest::AddFrequency(IXMLDOMElement* pRule, const wchar_t* pwszFreq) {
    SetAttr(pRule, L"freq", pwszFreq);
}

void SetAppointmentRequest::AddInterval(IXMLDOMElement* pRule, LONG lInterval) {
    auto e = AddChild(pRule, L"interval");
    SetAttr(e.Get(), L"ival", std::to_wstring(lInterval));
}

void SetAppointmentRequest::AddDayOfWeek(IXMLDOMElement* pRule, LONG lMask) {
    if (!lMask)
        return;
    static const wchar_t* const kDays[] = {L"SU", L"MO", L"TU", L"WE", L"TH", L"FR", L"SA"};
    auto byday = AddChild(pRule, L"byday");
    for (int i = 0; i < 7; ++i) {
        if (lMask & (1 << i)) {
            auto wk = AddChild(byday.Get(), L"wkday");
            SetAttr(wk.Get(), L"day", kDays[i]);
        }
    }
}

void SetAppointmentRequest::AddDayOfMonth(IXMLDOMElement* pRule, LONG lDay) {
    auto e = AddChild(pRule, L"bymonthday");
    SetAttr(e.Get(), L"modaylist", std::to_wstring(lDay));
}

void SetAppointmentRequest::AddMonthOfYear(IXMLDOMElement* pRule, LONG lMonth) {
    auto e = AddChild(pRule, L"bymonth");
    SetAttr(e.Get(), L"molist", std::to_wstring(lMonth));
}

void SetAppointmentRequest::AddInstance(IXMLDOMElement* pRule, LONG lInstance) {
    auto e = AddChild(pRule, L"bysetpos");
    SetAttr(e.Get(), L"poslist", lInstance >= 5 ? std::wstring(L"-1") : std::to_wstring(lInstance));
}

void SetAppointmentRequest::AddAlarm(IXMLDOMElement* pInv, const Comp& comp) {
    const Mail::_Alarm& alarm = comp.GetAlarm();
    if (!alarm.GetEnabled())
        return;
    auto a = AddChild(pInv, L"alarm");
    SetAttr(a.Get(), L"action", L"DISPLAY");
    auto trigger = AddChild(a.Get(), L"trigger");
    if (m_bIsTask) {
        auto abs = AddChild(trigger.Get(), L"abs");
        SetAttr(abs.Get(), L"d", alarm.GetAbsoluteTrigger());
    } else {
        auto rel = AddChild(trigger.Get(), L"rel");
        SetAttr(rel.Get(), L"related", L"START");
        SetAttr(rel.Get(), L"neg", L"1");
        SetAttr(rel.Get(), L"m", std::to_wstring(alarm.GetMinutes()));
    }
    AddChild(a.Get(), L"desc");
    if (!Empty(alarm.GetXPropName()) || !Empty(alarm.GetXPropValue())) {
        auto x = AddChild(a.Get(), L"xprop");
        if (!Empty(alarm.GetXPropName()))
            SetAttr(x.Get(), L"name", alarm.GetXPropName());
        if (!Empty(alarm.GetXPropValue()))
            SetAttr(x.Get(), L"value", alarm.GetXPropValue());
    }
}

void SetAppointmentRequest::AddXPropNode(const wchar_t* pwszName, const std::wstring& wsValue,
                                         IXMLDOMElement* pParent) {
    auto x = AddChild(pParent, L"xprop");
    SetAttr(x.Get(), L"name", pwszName);
    SetAttr(x.Get(), L"value", wsValue);
}

void SetAppointmentRequest::AddSubject(IXMLDOMElement* pM, const Comp& comp) {
    auto su = AddChild(pM, L"su");
    if (comp.GetSubject())
        SetText(su.Get(), comp.GetSubject());
}

void SetAppointmentRequest::ProcessBody(IXMLDOMElement* pM, const Inv& inv) {
    const wchar_t* pwszText = inv.GetBody();
    if (Empty(pwszText))
        return;
    auto AddPart = [this](IXMLDOMElement* pParent, const wchar_t* pwszType, const wchar_t* pwszContent) {
        auto mp = AddChild(pParent, L"mp");
        SetAttr(mp.Get(), L"ct", pwszType);
        auto content = AddChild(mp.Get(), L"content");
        SetText(content.Get(), pwszContent);
    };
    if (!Empty(inv.GetHTML())) {
        auto alt = AddChild(pM, L"mp");
        SetAttr(alt.Get(), L"ct", L"multipart/alternative");
        AddPart(alt.Get(), L"text/plain", pwszText);
        AddPart(alt.Get(), L"text/html", inv.GetHTML());
    } else {
        AddPart(pM, L"text/plain", pwszText);
    }
}

void SetAppointmentRequest::AddAttachments(IXMLDOMElement* pM, Inv& inv) {
    if (!m_pAttachments)
        return;
    auto it = m_pAttachments->find(&inv);
    if (it == m_pAttachments->end() || it->second.empty())
        return;
    std::wstring wsIds;
    for (const AttachmentDetails* pDetails : it->second) {
        if (!pDetails || Empty(pDetails->GetUploadToken()))
            continue;
        if (!wsIds.empty())
            wsIds += L',';
        wsIds += pDetails->GetUploadToken();
    }
    auto attach = AddChild(pM, L"attach");
    SetAttr(attach.Get(), L"aid", wsIds);
}

GetAppointmentRequest::GetAppointmentRequest(LONG id, int isTask)
    : ItemRequestBase(isTask ? L"GetTaskRequest" : L"GetAppointmentRequest") {
    CreateBody(isTask ? L"GetTaskRequest" : L"GetAppointmentRequest", Soap::kNsMail);
    SetAttr(Body(), L"id", std::to_wstring(id));
    SetAttr(Body(), L"sync", L"1");
}

}  // namespace Ostrel::Rpc
