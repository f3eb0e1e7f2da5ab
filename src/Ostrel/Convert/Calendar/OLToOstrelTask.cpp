// A store task as the task invitation of SetTaskRequest.
#include "Ostrel/Convert/Calendar/OLToOstrel.h"

#include "Ostrel/Store/OlkValues.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mail {

using Mapi::Task;
using N = Mapi::NamedProps;

namespace {

// Task dates are kept as the machine's local midnight. Noon of that day, in UTC, keeps the date
// when it is written as a date alone.
double LocalDateToOle(const FILETIME& ftLocal) {
    const FILETIME ftNoon = Util::UInt64ToFileTime(Util::FileTimeToUInt64(ftLocal) + 432000000000ULL);
    FILETIME ftUtc{};
    if (!Util::LocalFileTimeToFileTime(&ftNoon, &ftUtc))
        return Comp::kUninitializedDate;
    return OLToOstrel::ToOleDate(ftUtc);
}

}  // namespace

HRESULT OLToOstrelTask::ConvertTask(IAddrBook* pAddrBook, IMsgStore* pStore, Task& task, Appointment& appointment,
                                    const wchar_t* pwszOwnerName, const wchar_t* pwszOwnerEmail) {
    OSTLOG_BLOCK(8, Util::kLogCategoryInfo);
    Inv* pInv = nullptr;
    const HRESULT hr = BeginItem(pAddrBook, pStore, task, appointment, pwszOwnerName, pwszOwnerEmail,
                                 L"OLToOstrelTask - could not init name props...", &pInv);
    if (FAILED(hr))
        return hr;
    return ProcessInv(task, *pInv);
}

HRESULT OLToOstrelTask::GetTaskLocation(Task& task, std::wstring& wsLocation) {
    LPSPropValue pValue = nullptr;
    const HRESULT hr = HrGetOneProp(task.Prop(), NAMED_PROP(N::TASK_LOCATION, PT_UNICODE, m_pNamedProps), &pValue);
    if (SUCCEEDED(hr) && pValue && pValue->Value.lpszW)
        wsLocation = pValue->Value.lpszW;
    MAPIFreeBuffer(pValue);
    return hr;
}

HRESULT OLToOstrelTask::ProcessInv(Task& task, Inv& inv) {
    Comp* pComp = Comp::createComp();
    if (!pComp)
        return E_OUTOFMEMORY;
    inv.addCompPart(pComp);
    Comp& comp = *pComp;
    comp.SetIsTask(TRUE);
    TimeZone* pZone = ZoneInInv(inv, m_legacyZone);
    comp.SetStartDateTimeZone(pZone);
    comp.SetEndDateTimeZone(pZone);
    HRESULT hr = SetMapiMsgAndBody(task.Prop(), inv);
    if (FAILED(hr))
        return hr;
    LONG lSequence = 0;
    if (SUCCEEDED(task.GetSequenceId(&lSequence)))
        inv.SetSeqId(lSequence);
    // Dates the task does not have stay unset rather than becoming the zero date.
    comp.SetStartDate(Comp::kUninitializedDate);
    comp.SetEndDate(Comp::kUninitializedDate);
    FILETIME ft{};
    if (SUCCEEDED(task.GetStartDate(&ft)) && Util::FileTimeToUInt64(ft) != Task::kNoDate)
        comp.SetStartDate(LocalDateToOle(ft));
    if (SUCCEEDED(task.GetDueDate(&ft)) && Util::FileTimeToUInt64(ft) != Task::kNoDate)
        comp.SetEndDate(LocalDateToOle(ft));
    std::wstring ws;
    if (SUCCEEDED(task.GetSubject(&ws)))
        comp.SetSubject(ws.c_str());
    LONG l = 0;
    if (SUCCEEDED(task.GetTaskStatus(&l)))
        comp.SetTaskStatus(Mapi::ConvertTaskStatus(l));
    double dPercent = 0;
    if (SUCCEEDED(task.GetPercentComplete(&dPercent)))
        comp.SetPercentComplete(static_cast<LONG>(dPercent * 100.0 + 0.5));
    if (SUCCEEDED(task.GetImportance(&l)))
        comp.SetImportance(Mapi::ConvertImportance(l));
    FILETIME ftLocal{};
    if (SUCCEEDED(task.GetCompletedDate(&ft)) && Util::FileTimeToLocalFileTime(&ft, &ftLocal))
        comp.SetCompletedDate(ToOleDate(ftLocal));
    if (SUCCEEDED(task.GetTotalWork(&l)))
        comp.SetTotalWork(l);
    if (SUCCEEDED(task.GetActualWork(&l)))
        comp.SetActualWork(l);
    std::vector<std::wstring> companies;
    if (SUCCEEDED(task.GetCompanies(&companies)) && !companies.empty()) {
        std::wstring wsJoined;
        for (const std::wstring& c : companies)
            wsJoined += (wsJoined.empty() ? L"" : L", ") + c;
        comp.SetCompanies(wsJoined.c_str());
    }
    if (SUCCEEDED(task.GetMileage(&ws)))
        comp.SetMileage(ws.c_str());
    if (SUCCEEDED(task.GetBillingInformation(&ws)))
        comp.SetBillingInfo(ws.c_str());

    Attendee* pOrganizer = Attendee::createAttendee();
    if (!pOrganizer)
        return E_OUTOFMEMORY;
    pOrganizer->SetDisplayName(m_wsOwnerName.c_str());
    pOrganizer->SetEmail(m_wsOwnerEmail.c_str());
    pOrganizer->SetRole(Attendee::Role::CH);
    comp.addOrganizerPart(pOrganizer);
    SetOrganizerAndAttendees(task, comp);
    if (SUCCEEDED(task.GetSensitivity(&l)))
        comp.SetItemSensitivity(l);

    BOOL bReminder = FALSE;
    task.GetReminderSet(&bReminder);
    std::wstring wsTrigger;
    if (bReminder && SUCCEEDED(GetReminderFlagDueBy(task, &ft)))
        wsTrigger = Util::VariantTimeToOstrelDateStr(ToOleDate(ft), true, false);
    std::wstring wsXName, wsXValue;
    GetAlarmXPropInfo(task, wsXName, wsXValue);
    comp.SetAlarm(bReminder, wsTrigger.c_str(), nullptr, wsXName.empty() ? nullptr : wsXName.c_str(),
                  wsXValue.empty() ? nullptr : wsXValue.c_str());
    std::wstring wsLocation;
    if (SUCCEEDED(GetTaskLocation(task, wsLocation)))
        comp.SetLocation(wsLocation.c_str());

    BOOL bRecurring = FALSE;
    if (SUCCEEDED(task.GetIsRecurring(&bRecurring)) && bRecurring) {
        Mapi::COutlookRecurrencePattern& pattern = task.GetRecurrencePatternRef();
        if (FAILED(pattern.LoadRecurrence(nullptr, nullptr, 1))) {
            OSTLOG_ERROR(L"could not load and parse recurrence pattern");
            return S_OK;
        }
        SetRecurrenceFromPattern(pattern, IsRecurUntil(task) != FALSE, comp);
    }
    return S_OK;
}

}  // namespace Ostrel::Mail
