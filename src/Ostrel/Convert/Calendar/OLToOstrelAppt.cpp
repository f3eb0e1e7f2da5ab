// A store appointment as the series invitation, modified instances and cancelled instances.
#include "Ostrel/Convert/Calendar/OLToOstrel.h"

#include "Ostrel/Store/OlkValues.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mail {

using Mapi::Appt;
using Mapi::COutlookRecurrenceException;
using Mapi::COutlookRecurrencePattern;

namespace {

constexpr ULONG kMinutesPerDay = 1440;

// Local minutes since 1601 in the zone to UTC.
bool LocalMinutesToUtc(ULONG ulMinutes, const TimeZone& zone, FILETIME& ftUtc) {
    const FILETIME ftLocal = Util::UInt64ToFileTime(static_cast<ULONGLONG>(ulMinutes) * 600000000ULL);
    SYSTEMTIME stLocal{}, stUtc{};
    TIME_ZONE_INFORMATION tzi{};
    zone.PopulateTimeZoneInfo(tzi);
    return Util::FileTimeToSystemTime(&ftLocal, &stLocal) &&
           Util::OsTzSpecificLocalTimeToSystemTime(&tzi, &stLocal, &stUtc) &&
           Util::SystemTimeToFileTime(&stUtc, &ftUtc);
}

}  // namespace

HRESULT OLToOstrelAppt::ConvertAppt(IAddrBook* pAddrBook, IMsgStore* pStore, Appt& appt, Appointment& appointment,
                                    const wchar_t* pwszOwnerName, const wchar_t* pwszOwnerEmail) {
    OSTLOG_BLOCK(8, Util::kLogCategoryInfo);
    Inv* pInv = nullptr;
    HRESULT hr = BeginItem(pAddrBook, pStore, appt, appointment, pwszOwnerName, pwszOwnerEmail,
                           L"Failed to init name props", &pInv);
    if (FAILED(hr))
        return hr;
    hr = ProcessInv(appt, nullptr, *pInv, false, 0, nullptr);
    const Comp* pSeriesComp = pInv->CompAt(0);
    if (SUCCEEDED(hr) && pSeriesComp && pSeriesComp->GetIsRecurring())
        hr = ProcessRecurringExceptions(appt, *pSeriesComp, appointment);
    return hr;
}

HRESULT OLToOstrelAppt::ProcessInv(Appt& appt, Appt* /*pSeries*/, Inv& inv, bool bException, double dInstanceDate,
                                   const Comp* /*pSeriesComp*/) {
    Comp* pComp = Comp::createComp();
    if (!pComp)
        return E_OUTOFMEMORY;
    inv.addCompPart(pComp);
    Comp& comp = *pComp;
    HRESULT hr = SetMapiMsgAndBody(appt.Prop(), inv);
    if (FAILED(hr))
        return hr;
    LONG lSequence = 0;
    if (SUCCEEDED(appt.GetSequenceId(&lSequence)))
        inv.SetSeqId(lSequence);
    FILETIME ftChange{};
    if (SUCCEEDED(appt.GetOwnerCriticalChange(&ftChange)))
        comp.SetUpdateTimeFileTime(ftChange);
    LONG lResponse = 0;
    appt.GetResponseStatus(&lResponse);

    TimeZone* pStartZone = nullptr;
    TimeZone* pEndZone = nullptr;
    if (FAILED(hr = GetStartEndTimezones(appt, inv, bException, &pStartZone, &pEndZone)))
        return hr;
    comp.SetStartDateTimeZone(pStartZone);
    comp.SetEndDateTimeZone(pEndZone);
    FILETIME ftStart{}, ftEnd{};
    appt.GetStartTime(&ftStart);
    appt.GetEndTime(&ftEnd);
    std::wstring wsSubject;
    if (SUCCEEDED(appt.GetSubject(&wsSubject)))
        comp.SetSubject(wsSubject.c_str());
    SetApptCompProps(appt, comp, ftStart, ftEnd);

    Attendee* pOrganizer = Attendee::createAttendee();
    if (!pOrganizer)
        return E_OUTOFMEMORY;
    pOrganizer->SetDisplayName(m_wsOwnerName.c_str());
    pOrganizer->SetEmail(m_wsOwnerEmail.c_str());
    pOrganizer->SetRole(Attendee::Role::CH);
    std::wstring wsSender;
    if (SUCCEEDED(appt.GetSenderEmail(&wsSender)) && !wsSender.empty() && wsSender != m_wsOwnerEmail) {
        OSTLOG_INFO(8, L"Adding sentBy to SetAppointmentRequest: %s", wsSender.c_str());
        pOrganizer->SetSentBy(wsSender.c_str());
    }
    comp.addOrganizerPart(pOrganizer);
    LONG lMeetingStatus = 0;
    appt.GetMeetingStatus(&lMeetingStatus);
    if (lMeetingStatus != 0)
        SetOrganizerAndAttendees(appt, comp);
    LONG lSensitivity = 0;
    if (SUCCEEDED(appt.GetSensitivity(&lSensitivity)))
        comp.SetItemSensitivity(lSensitivity);
    if (lMeetingStatus == Mapi::olMeeting && comp.GetIsOrganizer() && comp.GetNumAttendees() > 0) {
        BOOL bSent = FALSE;
        LONG lHighlight = 0;
        appt.GetInvitationsSent(&bSent);
        appt.GetChangeHighlight(&lHighlight);
        comp.SetIsNeverSent(!bSent);
        comp.SetIsDraft(!bSent || lHighlight != 0);
    }
    if (bException) {
        comp.SetIsException(TRUE);
        comp.SetOrigDate(dInstanceDate);
    }
    BOOL bReminder = FALSE;
    LONG lMinutes = 0;
    appt.GetReminderSet(&bReminder);
    appt.GetReminderMinutes(&lMinutes);
    comp.SetAlarm(bReminder, lMinutes, nullptr, nullptr, nullptr);

    BOOL bRecurring = FALSE;
    if (!bException && SUCCEEDED(appt.GetIsRecurring(&bRecurring)) && bRecurring) {
        COutlookRecurrencePattern& pattern = appt.GetRecurrencePatternRef();
        if (!pattern.IsLoaded() && FAILED(hr = pattern.LoadRecurrence(&m_olkLegacy, m_legacyZone.GetId(), 0))) {
            OSTLOG_ERROR(L"could not load and parse recurrence pattern");
            return S_OK;
        }
        SetRecurrenceFromPattern(pattern, IsRecurUntil(appt) != FALSE, comp);
    }
    return S_OK;
}

HRESULT OLToOstrelAppt::SetApptCompProps(Appt& appt, Comp& comp, const FILETIME& ftStart, const FILETIME& ftEnd) {
    LONG lResponse = 0, lBusy = Mapi::olBusy, lDuration = 0, lMeeting = 0;
    BOOL bAllDay = FALSE, bRsvp = FALSE;
    appt.GetResponseStatus(&lResponse);
    appt.GetBusyStatus(&lBusy);
    appt.GetAllDay(&bAllDay);
    comp.SetMyPartStatus(Mapi::ConvertMtgResponseStatusToPartStat(lResponse));
    comp.SetBusyStatus(Mapi::ConvertBusyStatus(lBusy));
    if (SUCCEEDED(appt.GetDuration(&lDuration)))
        comp.SetDuration(lDuration);
    comp.SetIsAllDay(bAllDay);
    comp.SetIsOrganizer(lResponse == Mapi::olResponseNone || lResponse == Mapi::olResponseOrganized);
    std::wstring wsLocation;
    if (SUCCEEDED(appt.GetLocation(&wsLocation)))
        comp.SetLocation(wsLocation.c_str());
    if (SUCCEEDED(appt.GetResponseRequested(&bRsvp)))
        comp.SetNeedRSVP(bRsvp);
    comp.SetOpaque(TRUE);
    comp.SetResponseStatus(Mapi::ConvertResponseStatus(lResponse));
    appt.GetMeetingStatus(&lMeeting);
    comp.SetMeetingStatus(Mapi::ConvertMeetingStatus(lMeeting));
    // A cancelled meeting stays cancelled on the server.
    if (comp.GetMeetingStatus() == Comp::MeetingStatus::CANCELED)
        comp.SetStatus(Comp::Status::CANC);
    if (lMeeting == Mapi::olMeetingReceived) {
        LONG lIntended = Mapi::olBusy;
        if (SUCCEEDED(appt.GetIntendedBusyStatus(&lIntended)))
            comp.SetBusyStatus(Mapi::ConvertBusyStatus(lIntended));
    }
    if (!bAllDay) {
        comp.SetStartDate(ToOleDate(ftStart));
        comp.SetEndDate(ToOleDate(ftEnd));
        return S_OK;
    }
    // All-day: the server takes the first and the last day, each as the date it is in the
    // item's own zone.
    const double dStart = AllDayDate(ftStart, comp.GetStartDateTimeZone());
    comp.SetStartDate(dStart);
    const LONGLONG llMinutes = (static_cast<LONGLONG>(Util::FileTimeToUInt64(ftEnd)) -
                                static_cast<LONGLONG>(Util::FileTimeToUInt64(ftStart))) /
                               600000000LL;
    if (llMinutes < kMinutesPerDay) {
        OSTLOG_INFO(8, L"All day diff %f", static_cast<double>(llMinutes) / kMinutesPerDay);
        comp.SetEndDate(dStart);
    } else {
        // Whole days by the wall clock: a day of a daylight-saving change is still one day.
        const LONGLONG llDays = (llMinutes + kMinutesPerDay / 2) / kMinutesPerDay;
        comp.SetEndDate(dStart + static_cast<double>(llDays - 1));
    }
    return S_OK;
}

HRESULT OLToOstrelAppt::GetStartEndTimezones(Appt& appt, Inv& inv, bool bException, TimeZone** ppStart,
                                             TimeZone** ppEnd) {
    if (!bException) {
        OSTLOG_INFO(8, L"found start timezone: %s", m_startZone.GetId() ? m_startZone.GetId() : L"");
        OSTLOG_INFO(8, L"found end timezone: %s", m_endZone.GetId() ? m_endZone.GetId() : L"");
        *ppStart = ZoneInInv(inv, m_startZone);
        *ppEnd = ZoneInInv(inv, m_endZone);
    } else {
        TimeZone start, end;
        if (SUCCEEDED(appt.GetStartAndEndTimezones(start, end))) {
            *ppStart = ZoneInInv(inv, start);
            *ppEnd = ZoneInInv(inv, end);
        } else {
            *ppStart = *ppEnd = ZoneInInv(inv, m_legacyZone);
        }
    }
    return *ppStart && *ppEnd ? S_OK : E_OUTOFMEMORY;
}

HRESULT OLToOstrelAppt::ProcessRecurringExceptions(Appt& appt, const Comp& seriesComp, Appointment& appointment) {
    COutlookRecurrencePattern& pattern = appt.GetRecurrencePatternRef();
    if (!pattern.IsLoaded() && FAILED(pattern.LoadRecurrence(&m_olkLegacy, m_legacyZone.GetId(), 0))) {
        OSTLOG_ERROR(L"could not load and parse recurrence pattern");
        return E_FAIL;
    }
    Platform::ComPtr<IMessage> pSeriesMessage;
    if (FAILED(appt.Prop()->QueryInterface(IID_IMessage, reinterpret_cast<void**>(pSeriesMessage.AddressOf()))))
        return E_NOINTERFACE;
    const TimeZone& zone = pattern.GetRefOutlookRecurrencePatternTZ();
    const std::vector<ULONG> dates = pattern.GetDeletedInstanceDates();
    for (size_t i = 0; i < dates.size(); ++i) {
        OSTLOG_INFO(8, L"ProcessRecurringExceptions() - handling exception %d of %d", static_cast<int>(i + 1),
                    static_cast<int>(dates.size()));
        COutlookRecurrenceException* pException = nullptr;
        for (size_t e = 0; e < pattern.GetExceptionCount() && !pException; ++e) {
            COutlookRecurrenceException* p = pattern.GetException(e);
            if (p && p->GetOriginalDateTime() / kMinutesPerDay * kMinutesPerDay == dates[i])
                pException = p;
        }
        // The instance's start as the series had it.
        FILETIME ftOriginal{};
        if (pException ? !pException->GetOriginalDateTime(ftOriginal)
                       : !LocalMinutesToUtc(dates[i] + pattern.GetStartTime(), zone, ftOriginal)) {
            OSTLOG_WARN(L"ProcessRecurringExceptions() - the original start of exception %d cannot be converted",
                        static_cast<int>(i + 1));
            continue;
        }
        const double dInstance = seriesComp.GetIsAllDay() ? AllDayDate(ftOriginal, &zone) : ToOleDate(ftOriginal);
        Inv* pInv = Inv::createInv();
        if (!pInv)
            return E_OUTOFMEMORY;
        if (!pException) {
            appointment.addCancelException(pInv);
            ProcessInv(appt, nullptr, *pInv, true, dInstance, &seriesComp);
            continue;
        }
        appointment.addException(pInv);
        Platform::ComPtr<IMessage> pEmbedded;
        Platform::ComPtr<IAttach> pAttach;
        if (FAILED(pException->OpenAppointment(pSeriesMessage.Get(), pEmbedded.AddressOf(), pAttach.AddressOf()))) {
            OSTLOG_ERROR(L"could not open appointment message for this occurrence ");
            break;
        }
        Appt instance(pEmbedded.Get(), m_pStore, Appt::ExceptionContext{pAttach.Get(), pException});
        ProcessInv(instance, &appt, *pInv, true, dInstance, &seriesComp);
    }
    return S_OK;
}

}  // namespace Ostrel::Mail
