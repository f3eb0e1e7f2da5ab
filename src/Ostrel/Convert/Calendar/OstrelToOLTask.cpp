// Tasks: dates, status, progress, work and billing fields, the rule of a recurring task, the
// reminder and the people it is assigned between.
#include "Ostrel/Convert/Calendar/OstrelToOL.h"

#include "Ostrel/Store/OlkValues.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Util/Exception.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

#include <new>

namespace Ostrel::Mail {

using Mapi::Task;
using N = Mapi::NamedProps;

namespace {

std::wstring Hex(HRESULT hr) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"0x%x. ", static_cast<unsigned>(hr));
    return buf;
}

// A machine-local OLE date as UTC.
bool LocalDoubleToUtc(double dLocal, FILETIME& ftUtc) {
    SYSTEMTIME stLocal{}, stUtc{};
    return Util::VariantTimeToSystemTime(dLocal, &stLocal) &&
           Util::OsTzSpecificLocalTimeToSystemTime(nullptr, &stLocal, &stUtc) &&
           Util::SystemTimeToFileTime(&stUtc, &ftUtc);
}

}  // namespace

int OstrelToOLTask::ConvertTask(IMsgStore* pStore, Appointment& appointment, IMessage* pTarget, IAddrBook* pAddrBook,
                                const wchar_t* pwszUserEmail, int keepReminder, wchar_t** ppwszErrorText,
                                wchar_t** ppwszWarningText) {
    OSTLOG_BLOCK(8, Util::kLogCategoryInfo);
    m_iKeepReminder = keepReminder;
    if (!Begin(appointment, pStore, pTarget, pAddrBook, pwszUserEmail, {}))
        return Finish(0, ppwszErrorText, ppwszWarningText);
    Inv* pDefault = appointment.GetDefaultInv();
    if (!pDefault) {
        OSTLOG_ERROR(L"no default inv on this task...skipping");
        AddError(L"no default inv on this task...skipping");
        return Finish(0, ppwszErrorText, ppwszWarningText);
    }
    int iResult = 0;
    try {
        Task task(pTarget, pStore);
        int reminderFlag = 0;
        const Comp* pComp = pDefault->CompAt(0);
        if (!FetchAttachments()) {
            // The error text says which file could not be had.
        } else if (!ConvertMimeIntoMessage(*pDefault, pTarget, reminderFlag)) {
            AddError(L"Could not convert the MIME to MAPI.");
        } else if (!pComp) {
            AddError(L"no comps for this appt.");
        } else if (!SetTaskProperties(*pComp, task)) {
            AddError(L"ERROR - SetOOMProperties() failed.");
        } else if (!WriteAttachments(*pDefault, pTarget)) {
            // The error text says so.
        } else if (!SetTaskMAPIProperties(*pComp, pTarget)) {
            AddError(L"ERROR - SetMAPIProperties() failed.");
        } else {
            iResult = 1;
        }
    } catch (const Util::C_Exception& e) {
        OSTLOG_ERROR(L"Exception thrown!! %x", static_cast<unsigned>(e.GetHResult()));
        AddError(L"COM Exception HRESULT: " + std::to_wstring(static_cast<LONG>(e.GetHResult())) + L".");
    } catch (const std::bad_alloc&) {
        OSTLOG_ERROR(L"Exception thrown!! %x", static_cast<unsigned>(E_OUTOFMEMORY));
        AddError(L"COM Exception HRESULT: " + std::to_wstring(static_cast<LONG>(E_OUTOFMEMORY)) + L".");
    }
    return Finish(iResult, ppwszErrorText, ppwszWarningText);
}

bool OstrelToOLTask::SetTaskProperties(const Comp& comp, Task& task) {
    FILETIME ftStart{}, ftDue{};
    const bool bStart =
        comp.GetStartDateString() && ConvertDateStringToUTC(comp.GetStartDateString(), nullptr, &ftStart);
    const bool bDue = comp.GetEndDateString() && ConvertDateStringToUTC(comp.GetEndDateString(), nullptr, &ftDue);
    if (bStart)
        task.SetStartDate(&ftStart);
    if (bDue)
        task.SetDueDate(&ftDue);

    BOOL bWasRecurring = FALSE;
    if (!comp.GetIsRecurring()) {
        if (SUCCEEDED(task.GetIsRecurring(&bWasRecurring)) && bWasRecurring) {
            OSTLOG_INFO(8, L"This task is no longer recurrent - clearing pattern");
            task.ClearRecurrencePattern();
        }
    } else if (bStart || bDue) {
        task.ClearRecurrencePattern();
        Mapi::COutlookRecurrencePattern& pattern = task.GetRecurrencePatternRef();
        pattern.SetIsTask(true);
        TIME_ZONE_INFORMATION tzi{};
        std::wstring wsName;
        Mapi::Appt::GetOSTimezone(tzi, wsName);
        TimeZone machine;
        machine.Initialize(tzi);
        machine.SetId(wsName.c_str());
        pattern.SetOutlookRecurrencePatternTZ(machine);
        const FILETIME& ftFirst = bStart ? ftStart : ftDue;
        pattern.SetStartDateTime(ftFirst);
        pattern.SetEndDateTime(ftFirst);
        SetPatternRule(pattern, comp);
        const HRESULT hr = pattern.SaveRecurrence();
        if (FAILED(hr)) {
            AddError(L"SaveRecurrence() failed, hr: " + Hex(hr));
            return false;
        }
    }

    const _Alarm& alarm = comp.GetAlarm();
    if (m_bSupportApptAlarm) {
        task.SetReminderSet(alarm.GetEnabled() ? TRUE : FALSE);
        FILETIME ftTrigger{};
        if (alarm.GetEnabled() && alarm.GetAbsoluteTrigger()[0] &&
            ConvertDateStringToUTC(alarm.GetAbsoluteTrigger(), nullptr, &ftTrigger)) {
            task.SetReminderTime(&ftTrigger);
            task.SetReminderSignalTime(&ftTrigger);
        }
    }
    task.SetSubject(comp.GetSubject() ? comp.GetSubject() : L"");
    task.SetSensitivity(comp.GetItemSensitivity());
    task.SetImportance(Mapi::ConvertImportanceToOlkValue(comp.GetImportance()));
    if (comp.GetTotalWork() > 0)
        task.SetTotalWork(comp.GetTotalWork());
    if (comp.GetActualWork() > 0)
        task.SetActualWork(comp.GetActualWork());
    if (comp.GetCompanies() && *comp.GetCompanies())
        task.SetCompanies({comp.GetCompanies()});
    if (comp.GetMileage() && *comp.GetMileage())
        task.SetMileage(comp.GetMileage());
    if (comp.GetBillingInfo() && *comp.GetBillingInfo())
        task.SetBillingInformation(comp.GetBillingInfo());
    return true;
}

bool OstrelToOLTask::SetTaskMAPIProperties(const Comp& comp, IMessage* pMessage) {
    CalPropList props;
    std::vector<ULONG> deletions;
    props.Long(Tag(N::COMMON_8510, PT_LONG), 369);
    if (const TimeZone* pZone = comp.GetStartDateTimeZone()) {
        TimeZone::OlkTimeZone olk{};
        pZone->PopulateTimeZoneInfo(olk);
        const BYTE* pb = reinterpret_cast<const BYTE*>(&olk);
        props.Binary(Tag(N::APPT_8233, PT_BINARY), std::vector<BYTE>(pb, pb + sizeof olk));
        props.String(Tag(N::APPT_8234, PT_UNICODE), pZone->GetId() ? pZone->GetId() : L"");
    }
    const Attendee* pOrganizer = comp.GetOrganizer();
    if (comp.GetTaskStatus() != Comp::TaskStatus::CANC && comp.GetNumAttendees() > 0) {
        RemoveRecipients(pMessage);
        if (pOrganizer && !AddAttendee(pMessage, *pOrganizer, 3)) {
            AddError(L"Could not set the organizer for this task.");
            return false;
        }
        for (int i = 0; i < comp.GetNumAttendees(); ++i) {
            if (!AddAttendee(pMessage, *comp.GetAttendeeAt(i), 1)) {
                AddError(L"Could not set and attendee for this task.");
                return false;
            }
        }
    }
    const wchar_t* pwszSubject = comp.GetSubject() ? comp.GetSubject() : L"<UNKNOWN>";
    std::wstring wsOwner;
    if (pOrganizer && pOrganizer->GetEmail() && *pOrganizer->GetEmail()) {
        wsOwner = pOrganizer->GetEmail();
    } else {
        if (pOrganizer)
            OSTLOG_INFO(8, L"Task %s organizer email not set -- setting to store owner email", pwszSubject);
        else
            OSTLOG_INFO(8, L"Task %s has no organizer -- setting task owner to store owner email", pwszSubject);
        wsOwner = m_wsUserEmail;
    }
    props.String(Tag(N::TASK_811F, PT_UNICODE), wsOwner);
    props.Long(Tag(N::TASK_8101, PT_LONG), Mapi::ConvertStatusToOlkValue(comp.GetTaskStatus()));
    SPropValue percent{};
    percent.ulPropTag = Tag(N::TASK_8102, PT_DOUBLE);
    percent.Value.dbl = comp.GetPercentComplete() / 100.0;
    props.Raw(percent);
    bool bComplete = comp.GetTaskStatus() == Comp::TaskStatus::COMP;
    FILETIME ftCompleted{};
    if (comp.GetCompletedDate() > 0 && LocalDoubleToUtc(comp.GetCompletedDate(), ftCompleted)) {
        props.Time(Tag(N::TASK_810F, PT_SYSTIME), ftCompleted);
        bComplete = true;
    }
    if (comp.GetLocation() && *comp.GetLocation())
        props.String(Tag(N::TASK_LOCATION, PT_UNICODE), comp.GetLocation());
    props.Bool(Tag(N::TASK_811C, PT_BOOLEAN), bComplete);
    if (comp.GetIsRecurring() && bComplete)
        props.Bool(Tag(N::TASK_8109, PT_BOOLEAN), true);
    props.Long(PR_ICON_INDEX, comp.GetIsRecurring() && !bComplete ? 1281 : 1280);
    AddCategories(pMessage, props, deletions);
    HRESULT hr = pMessage->SetProps(props.Count(), props.Values(), nullptr);
    if (FAILED(hr)) {
        AddError(L"SetProps() failed for this task, hr: " + Hex(hr));
        return false;
    }
    if (!deletions.empty()) {
        std::vector<ULONG> tags(1 + deletions.size());
        tags[0] = static_cast<ULONG>(deletions.size());
        std::copy(deletions.begin(), deletions.end(), tags.begin() + 1);
        pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(tags.data()), nullptr);
    }
    if (FAILED(hr = Mapi::WrapSaveChanges(pMessage, KEEP_OPEN_READWRITE, 0))) {
        AddError(L"SaveChanges() failed for this task, hr: " + Hex(hr));
        return false;
    }
    return true;
}

}  // namespace Ostrel::Mail
