// The instances of a series that differ from its rule: modified occurrences become exception
// messages, cancelled and excluded ones deleted dates of the pattern.
#include "Ostrel/Convert/Calendar/OstrelToOL.h"

#include "Ostrel/Store/StoreWrap.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

#include <cwctype>

namespace Ostrel::Mail {

using Mapi::Appt;
using Mapi::COutlookRecurrenceException;

namespace {

// A recurrence id split into zone name and date: "TZID=zone:date", or the date alone.
void SplitRecurId(const std::wstring& wsId, std::wstring& wsZone, std::wstring& wsDate) {
    const size_t eq = wsId.find(L'=');
    if (eq == std::wstring::npos) {
        wsZone.clear();
        wsDate = wsId;
        return;
    }
    const size_t colon = wsId.find(L':', eq);
    wsZone = wsId.substr(eq + 1, colon == std::wstring::npos ? std::wstring::npos : colon - eq - 1);
    wsDate = colon == std::wstring::npos ? std::wstring() : wsId.substr(colon + 1);
}

bool EqualNoCase(const wchar_t* a, const wchar_t* b) {
    if (!a || !b)
        return a == b;
    for (; *a && *b; ++a, ++b)
        if (std::towlower(*a) != std::towlower(*b))
            return false;
    return *a == *b;
}

}  // namespace

void OstrelToOLAppt::AddOccurrenceWarning(const wchar_t* pwszRecurId, const Comp& seriesComp) {
    OSTLOG_WARN(L"could not find occurrence for this date");
    const TimeZone* pZone = seriesComp.GetStartDateTimeZone();
    AddWarning(std::wstring(L"\ncould not find occurrence for this date") + L"\n " + pwszRecurId +
               L"\n Main appt time zone: " + (pZone && pZone->GetId() ? pZone->GetId() : L"") + L"\n");
}

bool OstrelToOLAppt::DealWithExceptions(Appt& appt, IMessage* pTarget, const Comp& comp) {
    if (!comp.GetIsRecurring())
        return true;
    const int cExceptions = m_pAppointment->NumExceptions();
    for (int i = 0; i < cExceptions; ++i) {
        Inv* pInv = m_pAppointment->ExceptionAt(i);
        if (!pInv || !MakeExceptionToRecurrence(appt, pTarget, *pInv, comp)) {
            OSTLOG_ERROR(L"MakeExceptionToRecurrence() failed on [%d of %d]", i + 1, cExceptions);
            return false;
        }
    }
    for (int i = 0; i < comp.GetNumCancelNodeRecurIds(); ++i) {
        if (!MakeExcFromCnclOrExclNode(appt, comp.GetCancelNodeRecurIdAt(i), comp)) {
            OSTLOG_ERROR(L"MakeExcFromCnclOrExclNode() failed on cancel node [%d of %d]", i + 1,
                         comp.GetNumCancelNodeRecurIds());
            return false;
        }
    }
    for (int i = 0; i < comp.GetNumExcludeNodeRecurIds(); ++i) {
        if (!MakeExcFromCnclOrExclNode(appt, comp.GetExcludeNodeRecurIdAt(i), comp)) {
            OSTLOG_ERROR(L"MakeExcFromCnclOrExclNode() failed on exclude node [%d of %d]", i + 1,
                         comp.GetNumExcludeNodeRecurIds());
            return false;
        }
    }
    return SUCCEEDED(appt.GetRecurrencePatternRef().SaveRecurrence());
}

bool OstrelToOLAppt::MakeExceptionToRecurrence(Appt& appt, IMessage* pTarget, Inv& inv, const Comp& seriesComp) {
    if (!inv.GetRecurId()) {
        OSTLOG_ERROR(L"No recur id, probably not a recurring appt");
        AddError(L"no recur id.");
        return false;
    }
    Comp* pComp = inv.CompAt(0);
    if (!pComp) {
        AddError(L"no comps for this appt.");
        return false;
    }
    std::wstring wsZone, wsDate;
    SplitRecurId(inv.GetRecurId(), wsZone, wsDate);
    TimeZone* pNamedZone = wsZone.empty() ? nullptr : inv.TimeZoneById(wsZone.c_str());
    if ((!pComp->GetStartDateTimeZone() || !pComp->GetEndDateTimeZone()) && !wsZone.empty()) {
        OSTLOG_INFO(8, L"No start or end timezone, setting it to the timezone in recur id: %s", wsZone.c_str());
        if (!pNamedZone)
            OSTLOG_WARN(L"Could not look up timezone '%s'. OstrelId:%d(0x%X) InvId:%d(0x%X)", wsZone.c_str(),
                        m_pAppointment->GetId(), m_pAppointment->GetId(), inv.GetId(), inv.GetId());
        pComp->SetStartDateTimeZone(pNamedZone);
        pComp->SetEndDateTimeZone(pNamedZone);
    }
    FILETIME ftInstance{};
    const TimeZone* pZone = pNamedZone ? pNamedZone : pComp->GetStartDateTimeZone();
    auto& pattern = appt.GetRecurrencePatternRef();
    int iCreated = 0;
    COutlookRecurrenceException* pException = nullptr;
    if (ConvertDateStringToUTC(wsDate.c_str(), pZone, &ftInstance))
        pException = pattern.GetOccurrence(ftInstance, &iCreated);
    if (!pException) {
        FILETIME ftSeriesStart{};
        if (inv.IsReply()) {
            OSTLOG_INFO(8, L"Could not find reply occurrence for this date -- skipping");
        } else if (pattern.GetStartDateTime(ftSeriesStart) &&
                   Util::FileTimeToUInt64(ftInstance) < Util::FileTimeToUInt64(ftSeriesStart)) {
            OSTLOG_INFO(8, L"Occurrence date is less than start date -- skipping");
        } else {
            AddOccurrenceWarning(inv.GetRecurId(), seriesComp);
        }
        return true;
    }
    if (pComp->GetStatus().GetIsCancelled()) {
        pException->SetDeleted(true);
        return true;
    }

    Platform::ComPtr<IMessage> pEmbedded;
    Platform::ComPtr<IAttach> pAttach;
    if (FAILED(pException->OpenAppointment(pTarget, pEmbedded.AddressOf(), pAttach.AddressOf()))) {
        AddError(L"could not open appointment message for this occurrence .");
        return false;
    }
    Appt exception(pEmbedded.Get(), m_pStore, Appt::ExceptionContext{pAttach.Get(), pException});
    int reminderFlag = 0;
    // The occurrence's message is saved once, after all of it is written: each save of an
    // embedded message hands a whole copy of it to the attachment.
    if (!ConvertMimeIntoMessage(inv, pEmbedded.Get(), reminderFlag)) {
        AddError(L"ConvertMimeIntoMessage() failed for recurring exception.");
        return false;
    }
    RemoveRecipients(pEmbedded.Get());
    CalPropList props;
    props.String(PR_MESSAGE_CLASS_W, L"IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}");
    // Series attendees left out of this occurrence stay on it, marked as removed.
    for (int i = 0; i < seriesComp.GetNumAttendees(); ++i) {
        const Attendee* pAttendee = seriesComp.GetAttendeeAt(i);
        bool bPresent = false;
        for (int j = 0; j < pComp->GetNumAttendees() && !bPresent; ++j)
            bPresent = EqualNoCase(pAttendee->GetEmail(), pComp->GetAttendeeAt(j)->GetEmail());
        if (bPresent)
            continue;
        const wchar_t* pwszEmail = pAttendee->GetEmail() ? pAttendee->GetEmail() : L"";
        OSTLOG_INFO(8, L" the default attendee %s is not in the exception.", pwszEmail);
        if (!AddAttendee(pEmbedded.Get(), *pAttendee, 33))
            OSTLOG_WARN(L"AddAttendee(DELETED_RECIPIENT_IN_EXCEPTION) failed for attendee %s.", pwszEmail);
    }
    if (!AddInviteeInfo(pEmbedded.Get(), *pComp, props, false, true)) {
        AddError(L"AddInviteeInfo() failed for recurring exception.");
        return false;
    }
    if (FAILED(pEmbedded->SetProps(props.Count(), props.Values(), nullptr))) {
        AddError(L"SetProps() failed for recurring exception.");
        return false;
    }
    if (!SetMAPIProperties(*pComp, pEmbedded.Get(), m_pAppointment->GetUid(), true)) {
        AddError(L"SetMAPIProperties() failed for recurring exception.");
        return false;
    }
    if (!SetProperties(*pComp, exception, true, reminderFlag)) {
        AddError(L"SetOOMProperties() failed for recurring exception.\n");
        return false;
    }
    if (!WriteAttachments(inv, pEmbedded.Get()))
        return false;
    exception.SetSequenceId(inv.GetSeqId());
    if (FAILED(exception.Save()) || FAILED(pAttach->SaveChanges(KEEP_OPEN_READWRITE))) {
        AddError(L"SaveChanges() failed for recurring exception.");
        return false;
    }
    return true;
}

bool OstrelToOLAppt::MakeExcFromCnclOrExclNode(Appt& appt, const wchar_t* pwszRecurId, const Comp& seriesComp) {
    if (!pwszRecurId) {
        AddError(L"no recur id.");
        return false;
    }
    std::wstring wsZone, wsDate;
    SplitRecurId(pwszRecurId, wsZone, wsDate);
    // The date is wall time in the series' zone (or the zone it names), not in the machine's.
    const Inv* pDefault = m_pAppointment->GetDefaultInv();
    const TimeZone* pZone = wsZone.empty() || !pDefault ? nullptr : pDefault->TimeZoneById(wsZone.c_str());
    if (!pZone)
        pZone = seriesComp.GetStartDateTimeZone();
    FILETIME ftInstance{};
    int iCreated = 0;
    COutlookRecurrenceException* pException = nullptr;
    if (ConvertDateStringToUTC(wsDate.c_str(), pZone, &ftInstance))
        pException = appt.GetRecurrencePatternRef().GetOccurrence(ftInstance, &iCreated);
    if (!pException) {
        AddOccurrenceWarning(pwszRecurId, seriesComp);
        return true;
    }
    pException->SetDeleted(true);
    return true;
}

}  // namespace Ostrel::Mail
