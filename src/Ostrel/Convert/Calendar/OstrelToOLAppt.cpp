// Appointments: the series or single occurrence, its times, reminder, busy state and recipients.
#include "Ostrel/Convert/Calendar/OstrelToOL.h"

#include "Ostrel/Settings/RegistryConfig.h"
#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/OutlookUid.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Platform/Base/Utf.h"
#include "Platform/Registry/Registry.h"
#include "Util/Exception.h"
#include "Util/HostInfo.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"
#include "Util/Time/TimeUtil.h"

#include <new>

namespace Ostrel::Mail {

using Mapi::Appt;
using Mapi::COutlookRecurrencePattern;
using N = Mapi::NamedProps;

namespace {

constexpr ULONGLONG kTicksPerMinute = 600000000ULL;

FILETIME AddMinutes(const FILETIME& ft, LONGLONG llMinutes) {
    return Util::UInt64ToFileTime(Util::FileTimeToUInt64(ft) + static_cast<ULONGLONG>(llMinutes * 600000000LL));
}

LONGLONG MinutesBetween(const FILETIME& ftFrom, const FILETIME& ftTo) {
    return (static_cast<LONGLONG>(Util::FileTimeToUInt64(ftTo)) -
            static_cast<LONGLONG>(Util::FileTimeToUInt64(ftFrom))) /
           static_cast<LONGLONG>(kTicksPerMinute);
}

bool Before(const FILETIME& a, const FILETIME& b) {
    return Util::FileTimeToUInt64(a) < Util::FileTimeToUInt64(b);
}

// Outlook's busy values: free 0, tentative 1, busy 2, out of office 3.
LONG OlkBusy(Comp::BusyStatus status) {
    switch (status.GetValue()) {
        case Comp::BusyStatus::F:
            return 0;
        case Comp::BusyStatus::T:
            return 1;
        case Comp::BusyStatus::O:
            return 3;
        default:
            return 2;
    }
}

// The machine's zone as a model zone, for series whose component names none.
void MachineZone(TimeZone& zone) {
    TIME_ZONE_INFORMATION tzi{};
    std::wstring wsName;
    Appt::GetOSTimezone(tzi, wsName);
    zone.Initialize(tzi);
    zone.SetId(wsName.c_str());
}

std::wstring Hex(HRESULT hr) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"0x%x. ", static_cast<unsigned>(hr));
    return buf;
}

}  // namespace

int OstrelToOLAppt::ConvertAppt(IMsgStore* pStore, Appointment& appointment, IMessage* pTarget, IAddrBook* pAddrBook,
                                const wchar_t* pwszUserEmail, const std::vector<std::wstring>& userNames,
                                int keepReminder, wchar_t** ppwszErrorText, wchar_t** ppwszWarningText) {
    OSTLOG_BLOCK(8, Util::kLogCategoryInfo);
    m_iKeepReminder = keepReminder;
    m_folderAces.clear();
    if (!Begin(appointment, pStore, pTarget, pAddrBook, pwszUserEmail, userNames))
        return Finish(0, ppwszErrorText, ppwszWarningText);
    int iResult = 0;
    try {
        iResult = ConvertAppt_(pTarget);
    } catch (const Util::C_Exception& e) {
        const HRESULT hr = e.GetHResult();
        OSTLOG_ERROR(L"Exception thrown!! %x", static_cast<unsigned>(hr));
        OSTLOG_ERROR(L"Exception thrown!! OOM converted error code: %x", static_cast<unsigned>(hr) & 0x800FFFFFu);
        AddError(L"COM Exception HRESULT: " + std::to_wstring(static_cast<LONG>(hr)) + L".");
    } catch (const std::bad_alloc&) {
        OSTLOG_ERROR(L"Exception thrown!! %x", static_cast<unsigned>(E_OUTOFMEMORY));
        AddError(L"COM Exception HRESULT: " + std::to_wstring(static_cast<LONG>(E_OUTOFMEMORY)) + L".");
    }
    return Finish(iResult, ppwszErrorText, ppwszWarningText);
}

int OstrelToOLAppt::ConvertAppt_(IMessage* pTarget) {
    Inv* pDefault = m_pAppointment->GetDefaultInv();
    // Checked before anything is written, so a refused item leaves the message untouched.
    if (!pDefault) {
        OSTLOG_ERROR(L"no default inv on this appt...skipping.");
        AddError(L"no default inv on this appt...skipping.");
        return 0;
    }
    if (!FetchAttachments())
        return 0;
    SPropValue sideEffects{};
    sideEffects.ulPropTag = Tag(N::COMMON_8510, PT_LONG);
    sideEffects.Value.l = 369;
    HrSetOneProp(pTarget, &sideEffects);

    Appt appt(pTarget, m_pStore);
    if (m_iKeepReminder) {
        appt.GetReminderSet(&m_bOldReminderSet);
        appt.GetReminderMinutes(&m_lOldReminderMinutes);
    }
    int reminderFlag = 0;
    if (!ConvertMimeIntoMessage(*pDefault, pTarget, reminderFlag)) {
        AddError(L"Could not convert the MIME to MAPI.");
        return 0;
    }
    if (!m_bSupportApptAlarm)
        m_bOldReminderSet = reminderFlag;
    appt.InitializeNew();
    appt.SetSequenceId(pDefault->GetSeqId());
    const Comp* pComp = pDefault->CompAt(0);
    if (!pComp) {
        OSTLOG_ERROR(L"no comps for this appt.");
        AddError(L"no comps for this appt.");
        return 0;
    }
    if (!SetProperties(*pComp, appt, false, m_iKeepReminder)) {
        AddError(L"ERROR - SetOOMProperties() failed.\n");
        return 0;
    }
    if (!WriteAttachments(*pDefault, pTarget))
        return 0;
    if (!DealWithExceptions(appt, pTarget, *pComp)) {
        AddError(L"ERROR - Problem processing an exception.  Inconsistencies may result\n");
        return 0;
    }
    if (!SetMAPIProperties(*pComp, pTarget, m_pAppointment->GetUid(), false)) {
        AddError(L"ERROR - SetMAPIProperties() failed.\n");
        return 0;
    }
    if (FAILED(Mapi::WrapSaveChanges(pTarget, KEEP_OPEN_READWRITE, 0))) {
        AddError(L"SaveChanges() in Ostrel::Mail::OstrelToOLAppt::Convert(New) failed().");
        return 0;
    }
    OSTLOG_INFO(8, L"Appt conversion successful");
    return 1;
}

bool OstrelToOLAppt::SetProperties(const Comp& comp, Appt& appt, bool bException, int keepReminder) {
    const FILETIME ftNow = Now();
    if (!comp.GetStartDateString()) {
        OSTLOG_ERROR(L"no start date for this comp.");
        AddError(L"no start date for this comp.");
        return false;
    }
    const TimeZone* pStartZone = comp.GetStartDateTimeZone();
    const TimeZone* pEndZone = comp.GetEndDateTimeZone();
    if (pStartZone)
        appt.SetStartTimezone(*pStartZone);
    if (pEndZone)
        appt.SetEndTimezone(*pEndZone);
    FILETIME ftStart{}, ftEnd{};
    if (!ConvertDateStringToUTC(comp.GetStartDateString(), pStartZone, &ftStart)) {
        AddError(L"could not convert start date to UTC.");
        return false;
    }
    if (comp.GetEndDateString()) {
        if (!ConvertDateStringToUTC(comp.GetEndDateString(), pEndZone, &ftEnd)) {
            AddError(L"could not convert end date to UTC.");
            return false;
        }
    } else if (comp.GetDuration() == -1) {
        OSTLOG_ERROR(L"no end date and missing duration for this comp.");
        AddError(L"no end date and missing duration for this comp.");
        return false;
    } else {
        ftEnd = AddMinutes(ftStart, comp.GetDuration());
    }
    const _Alarm& alarm = comp.GetAlarm();
    const bool bRecurring = comp.GetIsRecurring();
    if ((!bRecurring || bException) && Before(ftNow, ftStart)) {
        if (FAILED(appt.SetReminderSet(TRUE))) {
            AddError(L"could not set reminder flag.");
            return false;
        }
        appt.SetReminderMinutes(alarm.GetMinutes());
    }

    if (!bRecurring && !bException) {
        BOOL bWasRecurring = FALSE;
        if (SUCCEEDED(appt.GetIsRecurring(&bWasRecurring)) && bWasRecurring) {
            OSTLOG_INFO(8, L"This appointment is no longer recurrent - clearing pattern");
            appt.ClearRecurrencePattern();
        }
        appt.SetStartTime(&ftStart, pStartZone);
        appt.SetClipStartTime(&ftStart);
        SetApptProps(appt, comp, ftEnd, ftStart, ftNow);
        SetEnd(appt, comp, ftEnd, ftStart);
    } else if (bException) {
        if (pStartZone)
            appt.SetLegacyTimezone(*pStartZone);
        appt.SetStartTime(&ftStart, pStartZone);
        appt.SetClipStartTime(&ftStart);
        SetApptProps(appt, comp, ftEnd, ftStart, ftNow);
        SetEnd(appt, comp, ftEnd, ftStart);
    } else {
        OSTLOG_INFO(8, L"Clearing recurrence pattern...");
        if (Mapi::IsBESOSN())
            appt.SetRecurrencePatternText(L"");
        appt.ClearRecurrencePattern();
        COutlookRecurrencePattern& pattern = appt.GetRecurrencePatternRef();
        if (pStartZone) {
            pattern.SetOutlookRecurrencePatternTZ(*pStartZone);
        } else {
            TimeZone machine;
            MachineZone(machine);
            pattern.SetOutlookRecurrencePatternTZ(machine);
        }
        pattern.SetStartDateTime(ftStart);
        SetApptProps(appt, comp, ftEnd, ftStart, ftNow);
        pattern.SetEndDateTime(ftEnd);
        SetPatternRule(pattern, comp);
        if (keepReminder) {
            FILETIME ftLast{};
            bool bReminder = pattern.GetNoEndDate();
            if (!bReminder && SUCCEEDED(pattern.CalculateFields()) && pattern.GetEndDate(ftLast))
                bReminder = Before(ftNow, AddMinutes(ftLast, pattern.GetStartTime()));
            if (bReminder) {
                appt.SetReminderSet(TRUE);
                appt.SetReminderMinutes(alarm.GetMinutes());
            }
        }
        const HRESULT hr = pattern.SaveRecurrence();
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"SaveRecurrence() failed: %x", static_cast<unsigned>(hr));
            AddError(L"SaveRecurrence() failed, hr: " + Hex(hr));
            return false;
        }
    }

    if (m_bSupportApptAlarm) {
        appt.SetReminderSet(alarm.GetEnabled() ? TRUE : FALSE);
        appt.SetReminderMinutes(alarm.GetMinutes());
        appt.SetReminderTime(&ftStart);
        const FILETIME ftNext = m_pAppointment->GetNextAlarm();
        if (ftNext.dwLowDateTime || ftNext.dwHighDateTime)
            appt.SetReminderSignalTime(&ftNext);
    }
    appt.SetSubject(comp.GetSubject() ? comp.GetSubject() : L"");
    appt.SetSensitivity(comp.GetItemSensitivity());
    return true;
}

void OstrelToOL::SetPatternRule(COutlookRecurrencePattern& pattern, const Comp& comp) {
    const _Recurrence& r = comp.GetRecurrence();
    switch (r.type) {
        case RecurrenceType::Daily:
            pattern.SetRecurrenceType(COutlookRecurrencePattern::olRecursDaily);
            if (r.GetInterval())
                pattern.SetInterval(static_cast<ULONG>(r.GetInterval()));
            break;
        case RecurrenceType::Weekly:
            pattern.SetRecurrenceType(COutlookRecurrencePattern::olRecursWeekly);
            if (r.GetInterval())
                pattern.SetInterval(static_cast<ULONG>(r.GetInterval()));
            if (r.GetDayOfWeekMask())
                pattern.SetDayOfWeekMask(static_cast<ULONG>(r.GetDayOfWeekMask()));
            break;
        case RecurrenceType::Monthly:
            pattern.SetRecurrenceType(COutlookRecurrencePattern::olRecursMonthly);
            if (r.GetInterval())
                pattern.SetInterval(static_cast<ULONG>(r.GetInterval()));
            if (r.GetDayOfMonth())
                pattern.SetDayOfMonth(static_cast<ULONG>(r.GetDayOfMonth()));
            break;
        case RecurrenceType::MonthNth:
            pattern.SetRecurrenceType(COutlookRecurrencePattern::olRecursMonthNth);
            if (r.GetInterval())
                pattern.SetInterval(static_cast<ULONG>(r.GetInterval()));
            if (r.GetInstance())
                pattern.SetInstance(static_cast<ULONG>(r.GetInstance()));
            if (r.GetDayOfWeekMask())
                pattern.SetDayOfWeekMask(static_cast<ULONG>(r.GetDayOfWeekMask()));
            break;
        case RecurrenceType::Yearly:
            pattern.SetRecurrenceType(COutlookRecurrencePattern::olRecursYearly);
            pattern.SetInterval(1);
            if (r.GetDayOfMonth())
                pattern.SetDayOfMonth(static_cast<ULONG>(r.GetDayOfMonth()));
            if (r.GetMonth())
                pattern.SetMonthOfYear(static_cast<ULONG>(r.GetMonth()));
            break;
        case RecurrenceType::YearNth:
            pattern.SetRecurrenceType(COutlookRecurrencePattern::olRecursYearNth);
            pattern.SetInterval(1);
            if (r.GetInstance())
                pattern.SetInstance(static_cast<ULONG>(r.GetInstance()));
            if (r.GetDayOfWeekMask())
                pattern.SetDayOfWeekMask(static_cast<ULONG>(r.GetDayOfWeekMask()));
            if (r.GetMonth())
                pattern.SetMonthOfYear(static_cast<ULONG>(r.GetMonth()));
            break;
    }
    if (r.lEndByDate)
        pattern.SetEndDate(r.ftEndDate);
    else if (r.dEndValue == 0)
        pattern.SetNoEndDate(true);
    else
        pattern.SetOccurrences(static_cast<ULONG>(r.dEndValue));
}

void OstrelToOLAppt::SetApptProps(Appt& appt, const Comp& comp, FILETIME& ftEnd, const FILETIME& ftStart,
                                  const FILETIME& ftNow) {
    appt.SetAllDay(comp.GetIsAllDay());
    // The server's all-day end is the last day; the store's is the midnight after it.
    if (comp.GetIsAllDay())
        ftEnd = AddMinutes(ftEnd, 1440);
    appt.SetLocation(comp.GetLocation() ? comp.GetLocation() : L"");
    appt.SetResponseRequested(comp.GetNeedRSVP());
    appt.SetBusyStatus(OlkBusy(comp.GetBusyStatus()));
    appt.SetIntendedBusyStatus(OlkBusy(comp.GetIntendedBusyStatus()));
    LONG lState = comp.GetIsOrganizer() ? 0 : 2;
    if (comp.GetNumAttendees() > 0)
        lState |= 1;
    if (comp.GetStatus().GetIsCancelled())
        lState |= 4;
    appt.SetMeetingStatus(lState);
    const _Alarm& alarm = comp.GetAlarm();
    if (!m_iKeepReminder) {
        BOOL bDefaultSet = TRUE;
        LONG lDefaultMinutes = 15;
        GetOutlookReminderValues(bDefaultSet, lDefaultMinutes);
        appt.SetReminderSet(Before(ftNow, ftStart) ? bDefaultSet : FALSE);
        appt.SetReminderMinutes(alarm.GetMinutes());
        appt.SetReminderTime(&ftStart);
        const FILETIME ftSignal = AddMinutes(ftStart, -lDefaultMinutes);
        appt.SetReminderSignalTime(&ftSignal);
    } else {
        appt.SetReminderSet(m_bSupportApptAlarm ? (alarm.GetEnabled() ? TRUE : FALSE) : m_bOldReminderSet);
        appt.SetReminderMinutes(alarm.GetMinutes());
        appt.SetReminderTime(&ftStart);
    }
}

void OstrelToOLAppt::SetEnd(Appt& appt, const Comp& comp, FILETIME ftEnd, const FILETIME& ftStart) {
    if (comp.GetIsAllDay()) {
        TimeZone machine;
        const TimeZone* pZone = comp.GetEndDateTimeZone();
        if (!pZone) {
            MachineZone(machine);
            pZone = &machine;
        }
        TIME_ZONE_INFORMATION tzi{};
        pZone->PopulateTimeZoneInfo(tzi);
        SYSTEMTIME stUtc{}, stWall{}, stDst{};
        if (pZone->HasTransition() && Util::FileTimeToSystemTime(&ftEnd, &stUtc) &&
            Util::SystemTimeToTzSpecificLocalTime(&tzi, &stUtc, &stWall) &&
            pZone->GetNormalizeDstStartDate(stDst, stWall.wYear) && stDst.wMonth == stWall.wMonth &&
            stDst.wDay == stWall.wDay && stDst.wHour == stWall.wHour && stDst.wMinute == stWall.wMinute)
            ftEnd = AddMinutes(ftEnd, pZone->GetStandardOffset() - pZone->GetDaylightOffset());
    }
    appt.SetEndTime(&ftEnd, comp.GetEndDateTimeZone());
    appt.SetClipEndTime(&ftEnd);
    appt.SetDuration(static_cast<LONG>(MinutesBetween(ftStart, ftEnd)));
}

void OstrelToOLAppt::GetOutlookReminderValues(BOOL& bSet, LONG& lMinutes) {
    bSet = TRUE;
    lMinutes = 15;
    int iMajor = 0, iMinor = 0;
    Util::GetOutlookVersion(&iMajor, &iMinor);
    auto Read = [&](const wchar_t* pwszFormat, const wchar_t* pwszValue, DWORD& dw) {
        wchar_t wszKey[128];
        std::swprintf(wszKey, 128, pwszFormat, iMajor, iMinor);
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, wszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            return false;
        const bool bOk = Util::ReadRegDword(hKey, pwszValue, dw) == ERROR_SUCCESS;
        RegCloseKey(hKey);
        return bOk;
    };
    DWORD dw = 0;
    if (Read(L"Software\\Microsoft\\Office\\%d.%d\\Outlook\\Preferences", L"ApptReminders", dw))
        bSet = dw ? TRUE : FALSE;
    else
        OSTLOG_INFO(8, L"Cannot get Outlook's Reminder setting");
    if (Read(L"Software\\Microsoft\\Office\\%d.%d\\Outlook\\Options\\Calendar", L"RemindDefault", dw))
        lMinutes = static_cast<LONG>(dw);
    else
        OSTLOG_INFO(8, L"Cannot get Outlook's Reminder minutes");
}

bool OstrelToOLAppt::SetMAPIProperties(const Comp& comp, IMessage* pMessage, const wchar_t* pwszUid, bool bException) {
    CalPropList props;
    std::vector<ULONG> deletions;
    const bool bPrimary = IsPrimaryStore();
    if (!bException) {
        LONG lSideEffects = 369;
        if (!Mapi::IsBESOSN() && !bPrimary) {
            LPSPropValue pParent = nullptr;
            HRESULT hr = HrGetOneProp(pMessage, PR_PARENT_ENTRYID, &pParent);
            if (FAILED(hr)) {
                OSTLOG_ERROR(L"Failed to retreive parent folder for appointment. Error 0x%x",
                             static_cast<unsigned>(hr));
                return false;
            }
            const std::optional<ULONG> oulAce = FolderAce(pParent->Value.bin);
            MAPIFreeBuffer(pParent);
            if (!oulAce) {
                OSTLOG_ERROR(L"Failed to open calendar folder. Error 0x%x", static_cast<unsigned>(MAPI_E_NOT_FOUND));
                return false;
            }
            if (!(*oulAce & 0x20)) {
                OSTLOG_INFO(8, L"User does not have the Act on workflow items right. Disabling Workflow options");
                lSideEffects = 16;
            }
        }
        props.Long(Tag(N::COMMON_8510, PT_LONG), lSideEffects);
    }
    if (!comp.GetStatus().GetIsCancelled() && comp.GetIsOrganizer() && comp.GetNumAttendees() > 0)
        props.Bool(Tag(N::APPT_8229, PT_BOOLEAN), comp.GetIsNeverSent() != 1);
    const bool bOrphan = comp.GetIsOrphan() || m_pAppointment->GetIsOrphan();
    props.Bool(Tag(N::APPT_8223, PT_BOOLEAN), comp.GetIsRecurring() && !bException && !bOrphan);
    props.Bool(Tag(N::MEETING_000A, PT_BOOLEAN), comp.GetIsRecurring() || bException || bOrphan);
    const std::string sUid = pwszUid ? Platform::ToUtf8(pwszUid) : std::string();
    SBinary clean{}, goid{};
    if (!sUid.empty() && Mapi::ICalUidToOlkUid(sUid.c_str(), clean)) {
        props.Binary(Tag(N::MEETING_0023, PT_BINARY), std::vector<BYTE>(clean.lpb, clean.lpb + clean.cb));
        USHORT usYear = 0, usDay = 0;
        ULONG ulMonth = 0;
        double dInstance = 0;
        SYSTEMTIME st{};
        if ((bException || bOrphan) &&
            ConvertDateStringToTzDouble(comp.GetStartDateString(), comp.GetStartDateTimeZone(), dInstance) &&
            Util::VariantTimeToSystemTime(dInstance, &st)) {
            usYear = st.wYear, ulMonth = st.wMonth, usDay = st.wDay;
        }
        if (Mapi::ICalUidToOlkUid(sUid.c_str(), goid, usYear, ulMonth, usDay))
            props.Binary(Tag(N::MEETING_0003, PT_BINARY), std::vector<BYTE>(goid.lpb, goid.lpb + goid.cb));
    }
    MAPIFreeBuffer(clean.lpb);
    MAPIFreeBuffer(goid.lpb);
    if (!bException && !AddInviteeInfo(pMessage, comp, props, true, false)) {
        AddError(L"AddInviteeInfo() failed for base appt.");
        return false;
    }
    if (comp.GetIsRecurring() && !bException)
        props.Long(PR_ICON_INDEX, 1025);
    props.Time(Tag(N::MEETING_001A, PT_SYSTIME), comp.GetUpdateTimeFileTime());
    AddCategories(pMessage, props, deletions);
    if (!bPrimary)
        DoDelegatePrivateCheck(pMessage);
    if (FAILED(pMessage->SetProps(props.Count(), props.Values(), nullptr))) {
        AddError(L"SetProps() failed in SetMAPIProperties.");
        return false;
    }
    if (!deletions.empty()) {
        std::vector<ULONG> tags(1 + deletions.size());
        tags[0] = static_cast<ULONG>(deletions.size());
        std::copy(deletions.begin(), deletions.end(), tags.begin() + 1);
        pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(tags.data()), nullptr);
    }
    return true;
}

bool OstrelToOLAppt::AddInviteeInfo(IMessage* pMessage, const Comp& comp, CalPropList& props, bool bRemoveExisting,
                                    bool bException) {
    if (!pMessage)
        return false;
    Attendee::PartStat answer = comp.GetMyPartStat();
    if (comp.GetNumAttendees() > 0) {
        if (bRemoveExisting)
            RemoveRecipients(pMessage);
        if (const Attendee* pOrganizer = comp.GetOrganizer()) {
            if (!AddAttendee(pMessage, *pOrganizer, 3)) {
                AddError(L"Could not add the organizer.");
                return false;
            }
            if (IsMatchingUser(pOrganizer->GetEmail())) {
                OSTLOG_INFO(8, L"we are the organizer to automatically accepting");
                answer = Attendee::PartStat::AC;
            }
        }
        for (int i = 0; i < comp.GetNumAttendees(); ++i) {
            const Attendee* pAttendee = comp.GetAttendeeAt(i);
            if (!AddAttendee(pMessage, *pAttendee, bException ? 17 : 1)) {
                AddError(L"Could not add an attendee.");
                return false;
            }
            if (IsMatchingUser(pAttendee->GetEmail()))
                answer = pAttendee->GetPartStatus();
        }
    }
    LONG lResponse = 5;
    if (comp.GetIsOrganizer())
        lResponse = 1;
    else if (answer == Attendee::PartStat::TE)
        lResponse = 2;
    else if (answer == Attendee::PartStat::AC)
        lResponse = 3;
    else if (answer == Attendee::PartStat::DE)
        lResponse = 4;
    props.Long(Tag(N::APPT_8218, PT_LONG), lResponse);
    if (!comp.GetIsOrganizer() && lResponse != 5)
        props.Time(Tag(N::APPT_8220, PT_SYSTIME), Now());
    return true;
}

std::optional<ULONG> OstrelToOLAppt::FolderAce(const SBinary& folderId) {
    std::string sKey(reinterpret_cast<const char*>(folderId.lpb), folderId.cb);
    if (auto it = m_folderAces.find(sKey); it != m_folderAces.end())
        return it->second;
    Mapi::Folder folder(&folderId, m_pStore);
    if (!folder.MapiFolder())
        return std::nullopt;
    const ULONG ulAce = folder.Ace();
    m_folderAces.emplace(std::move(sKey), ulAce);
    return ulAce;
}

void OstrelToOLAppt::DoDelegatePrivateCheck(IMessage* pMessage) {
    LPSPropValue pValue = nullptr;
    const LONG lSensitivity =
        SUCCEEDED(HrGetOneProp(pMessage, PR_SENSITIVITY, &pValue)) && pValue ? pValue->Value.l : 0;
    MAPIFreeBuffer(pValue);
    if (lSensitivity != 2 && lSensitivity != 3)
        return;
    LPSPropValue pParent = nullptr;
    if (FAILED(HrGetOneProp(pMessage, PR_PARENT_ENTRYID, &pParent)) || !pParent)
        return;
    const ULONG ulAce = FolderAce(pParent->Value.bin).value_or(0);
    MAPIFreeBuffer(pParent);
    if (ulAce & 0x80)
        return;
    SizedSPropTagArray(2, tags) = {2, {PR_SUBJECT_W, Tag(N::APPT_8208, PT_UNICODE)}};
    const HRESULT hr = pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr);
    if (FAILED(hr))
        OSTLOG_ERROR(L"DeleteProps() failed: %x", static_cast<unsigned>(hr));
}

}  // namespace Ostrel::Mail
