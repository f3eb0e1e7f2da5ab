// The calendar model: appointments, invitations, components, attendees, recurrence and alarms.
#include "Ostrel/Model/Calendar/Appointment.h"

#include "Platform/Base/Text.h"
#include "Platform/Com/Stream.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "Util/Time/TimeUtil.h"

#include <climits>
#include <cmath>
#include <cwchar>
#include <new>

namespace Ostrel::Mail {

namespace {

template <typename T>
T* ItemAt(const std::vector<T*>& vec, int i) {
    return i >= 0 && static_cast<size_t>(i) < vec.size() ? vec[i] : nullptr;
}

const wchar_t* TextAt(const std::vector<OwnedText>& vec, int i) {
    return i >= 0 && static_cast<size_t>(i) < vec.size() ? vec[i].Get() : nullptr;
}

// Takes ownership of pItem into vec; on allocation failure the item is released with destroy
// so that nothing handed over leaks.
template <typename T>
void AppendOwned(std::vector<T*>& vec, T* pItem) {
    if (!pItem)
        return;
    try {
        vec.push_back(pItem);
    } catch (const std::bad_alloc&) {
        T::destroy(pItem);
        throw;
    }
}

template <typename T>
void ReplaceReference(T*& pHeld, T* pNew) {
    if (pNew)
        pNew->AddRef();
    T* pOld = pHeld;
    pHeld = pNew;
    if (pOld)
        pOld->Release();
}

}  // namespace

// ---- Recurrence and alarm ------------------------------------------------------------------

LONG _Recurrence::GetInterval() const {
    switch (type) {
        case RecurrenceType::Daily:
        case RecurrenceType::Weekly:
        case RecurrenceType::Monthly:
        case RecurrenceType::MonthNth:
            return lParam1;
        default:
            return 0;
    }
}

LONG _Recurrence::GetDayOfWeekMask() const {
    switch (type) {
        case RecurrenceType::Daily:
        case RecurrenceType::Weekly:
        case RecurrenceType::YearNth:
            return lParam2;
        case RecurrenceType::MonthNth:
            return lParam3;
        default:
            return 0;
    }
}

LONG _Recurrence::GetDayOfMonth() const {
    switch (type) {
        case RecurrenceType::Monthly:
            return lParam2;
        case RecurrenceType::Yearly:
            return lParam1;
        default:
            return 0;
    }
}

LONG _Recurrence::GetInstance() const {
    switch (type) {
        case RecurrenceType::MonthNth:
            return lParam2;
        case RecurrenceType::YearNth:
            return lParam1;
        default:
            return 0;
    }
}

LONG _Recurrence::GetMonth() const {
    switch (type) {
        case RecurrenceType::Yearly:
            return lParam2;
        case RecurrenceType::YearNth:
            return lParam3;
        default:
            return 0;
    }
}

bool _Recurrence::IsEveryWeekday() const {
    return type == RecurrenceType::Weekly && lParam1 == 0 && lParam2 == DayOfWeek::kWeekdays;
}

void _Alarm::SetAbsoluteTrigger(const wchar_t* pwszTrigger) {
    m_wszAbsoluteTrigger[0] = L'\0';
    if (!pwszTrigger)
        return;
    const size_t cch = std::wcslen(pwszTrigger);
    if (cch > kMaxTriggerChars) {
        OSTLOG_WARN(L"alarm trigger '%s' is longer than %d characters; not stored", pwszTrigger,
                    static_cast<int>(kMaxTriggerChars));
        return;
    }
    std::wmemcpy(m_wszAbsoluteTrigger, pwszTrigger, cch + 1);
}

// ---- Attendee ------------------------------------------------------------------------------

Attendee* Attendee::createAttendee() {
    return new (std::nothrow) Attendee();
}

void Attendee::destroy(Attendee* pAttendee) {
    delete pAttendee;
}

Attendee::~Attendee() = default;

Attendee* Attendee::Clone() const {
    try {
        return new Attendee(*this);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// ---- Comp ----------------------------------------------------------------------------------

Comp* Comp::createComp() {
    return new (std::nothrow) Comp();
}

void Comp::destroy(Comp* pComp) {
    delete pComp;
}

Comp::~Comp() {
    Attendee::destroy(m_pOrganizer);
    for (Attendee* pAttendee : m_vecAttendees)
        Attendee::destroy(pAttendee);
}

void Comp::SetStartDate(double dDate) {
    m_dStartDate = dDate;
    UpdateDurationFromDates();
}

void Comp::SetEndDate(double dDate) {
    m_dEndDate = dDate;
    UpdateDurationFromDates();
}

void Comp::UpdateDurationFromDates() {
    if (m_lDuration != -1 || !(m_dEndDate > m_dStartDate))
        return;
    // Whole days only: the duration of an item that ends on a later day.
    const double dMinutes = std::trunc(m_dEndDate - m_dStartDate) * 1440.0;
    if (dMinutes <= static_cast<double>(INT_MAX))
        m_lDuration = static_cast<LONG>(dMinutes);
}

void Comp::SetRecurrence(const _Recurrence& recurrence) {
    m_recurrence = recurrence;
    m_bIsRecurring = TRUE;
}

void Comp::SetAlarm(BOOL bEnabled, const wchar_t* pwszAbsoluteTrigger, const wchar_t* pwszDescription,
                    const wchar_t* pwszXPropName, const wchar_t* pwszXPropValue) {
    m_alarm.m_lEnabled = bEnabled;
    m_alarm.m_lMinutes = 0;
    m_alarm.SetAbsoluteTrigger(pwszAbsoluteTrigger);
    m_alarm.m_description.Set(pwszDescription);
    m_alarm.m_xPropName.Set(pwszXPropName);
    m_alarm.m_xPropValue.Set(pwszXPropValue);
}

void Comp::SetAlarm(BOOL bEnabled, LONG lMinutes, const wchar_t* pwszDescription, const wchar_t* pwszXPropName,
                    const wchar_t* pwszXPropValue) {
    m_alarm.m_lEnabled = bEnabled;
    m_alarm.m_lMinutes = lMinutes;
    m_alarm.SetAbsoluteTrigger(nullptr);
    m_alarm.m_description.Set(pwszDescription);
    m_alarm.m_xPropName.Set(pwszXPropName);
    m_alarm.m_xPropValue.Set(pwszXPropValue);
}

void Comp::SetUpdateTimeFileTime(FILETIME ft) {
    const ULONGLONG ull = Util::FileTimeToUInt64(ft);
    const ULONGLONG ullTicks = Util::kFileTimeTicksPerSecond;
    if (ull >= Util::kFileTimeUnixEpoch)
        m_llUpdateTime = static_cast<int64_t>((ull - Util::kFileTimeUnixEpoch) / ullTicks);
    else
        m_llUpdateTime = -static_cast<int64_t>((Util::kFileTimeUnixEpoch - ull) / ullTicks);
}

FILETIME Comp::GetUpdateTimeFileTime() const {
    // Unsigned arithmetic: a time outside the FILETIME range wraps instead of overflowing.
    const ULONGLONG ull = (static_cast<ULONGLONG>(m_llUpdateTime) + 11644473600ULL) * Util::kFileTimeTicksPerSecond;
    return Util::UInt64ToFileTime(ull);
}

void Comp::addOrganizerPart(Attendee* pOrganizer) {
    if (pOrganizer == m_pOrganizer)
        return;
    Attendee::destroy(m_pOrganizer);
    m_pOrganizer = pOrganizer;
}

void Comp::addAttendeePart(Attendee* pAttendee) {
    AppendOwned(m_vecAttendees, pAttendee);
}

Attendee* Comp::GetAttendeeAt(int i) const {
    return ItemAt(m_vecAttendees, i);
}

void Comp::addCancelNodeRecurId(const wchar_t* pwszRecurId) {
    m_vecCancelNodeRecurIds.emplace_back(pwszRecurId);
}

void Comp::addExcludeNodeRecurId(const wchar_t* pwszRecurId) {
    m_vecExcludeNodeRecurIds.emplace_back(pwszRecurId);
}

const wchar_t* Comp::GetCancelNodeRecurIdAt(int i) const {
    return TextAt(m_vecCancelNodeRecurIds, i);
}

const wchar_t* Comp::GetExcludeNodeRecurIdAt(int i) const {
    return TextAt(m_vecExcludeNodeRecurIds, i);
}

Comp* Comp::CloneForInv(const std::vector<TimeZone*>& vecFrom, const std::vector<TimeZone*>& vecTo) const {
    Comp* pCopy = createComp();
    if (!pCopy)
        return nullptr;
    const auto mapZone = [&](TimeZone* pTz) {
        for (size_t i = 0; i < vecFrom.size() && i < vecTo.size(); ++i) {
            if (vecFrom[i] == pTz)
                return vecTo[i];
        }
        return pTz;
    };
    try {
        pCopy->m_bIsTask = m_bIsTask;
        pCopy->m_bIsOrganizer = m_bIsOrganizer;
        pCopy->m_bIsAllDay = m_bIsAllDay;
        pCopy->m_bOpaque = m_bOpaque;
        pCopy->m_bNeedRSVP = m_bNeedRSVP;
        pCopy->m_bIsException = m_bIsException;
        pCopy->m_bIsNoBlob = m_bIsNoBlob;
        pCopy->m_location = m_location;
        pCopy->m_subject = m_subject;
        pCopy->m_desc = m_desc;
        pCopy->m_descHtml = m_descHtml;
        pCopy->m_dStartDate = m_dStartDate;
        pCopy->m_dEndDate = m_dEndDate;
        pCopy->m_startDateString = m_startDateString;
        pCopy->m_endDateString = m_endDateString;
        pCopy->m_pStartTimeZone = mapZone(m_pStartTimeZone);
        pCopy->m_pEndTimeZone = mapZone(m_pEndTimeZone);
        pCopy->m_lDuration = m_lDuration;
        pCopy->m_taskStatus = m_taskStatus;
        pCopy->m_lPercentComplete = m_lPercentComplete;
        pCopy->m_importance = m_importance;
        pCopy->m_dCompletedDate = m_dCompletedDate;
        pCopy->m_lTotalWork = m_lTotalWork;
        pCopy->m_lActualWork = m_lActualWork;
        pCopy->m_companies = m_companies;
        pCopy->m_mileage = m_mileage;
        pCopy->m_billingInfo = m_billingInfo;
        pCopy->m_responseStatus = m_responseStatus;
        pCopy->m_intendedBusyStatus = m_intendedBusyStatus;
        pCopy->m_busyStatus = m_busyStatus;
        pCopy->m_meetingStatus = m_meetingStatus;
        pCopy->m_status = m_status;
        pCopy->m_myPartStat = m_myPartStat;
        pCopy->m_bIsRecurring = m_bIsRecurring;
        pCopy->m_recurrence = m_recurrence;
        pCopy->m_alarm = m_alarm;
        pCopy->m_dOrigDate = m_dOrigDate;
        pCopy->m_llUpdateTime = m_llUpdateTime;
        for (const Attendee* pAttendee : m_vecAttendees) {
            Attendee* pAttendeeCopy = pAttendee->Clone();
            if (!pAttendeeCopy)
                throw std::bad_alloc();
            pCopy->addAttendeePart(pAttendeeCopy);
        }
        pCopy->m_vecCancelNodeRecurIds = m_vecCancelNodeRecurIds;
        pCopy->m_vecExcludeNodeRecurIds = m_vecExcludeNodeRecurIds;
        pCopy->m_lItemSensitivity = m_lItemSensitivity;
        pCopy->m_bIsNeverSent = m_bIsNeverSent;
        pCopy->m_bIsOrphan = m_bIsOrphan;
    } catch (const std::bad_alloc&) {
        destroy(pCopy);
        return nullptr;
    }
    return pCopy;
}

// ---- Inv -----------------------------------------------------------------------------------

Inv* Inv::createInv() {
    return new (std::nothrow) Inv();
}

void Inv::destroy(Inv* pInv) {
    delete pInv;
}

Inv::~Inv() {
    for (Comp* pComp : m_vecComps)
        Comp::destroy(pComp);
    for (TimeZone* pTz : m_vecTimeZones)
        delete pTz;
    Util::SafeRelease(m_pMapiMsg);
    Util::SafeRelease(m_pMimeStream);
}

void Inv::SetId(const wchar_t* pwszId) {
    m_lId = Platform::ReadLeadingDecimal(pwszId ? pwszId : L"");
}

void Inv::SetSeqId(const wchar_t* pwszSeqId) {
    m_lSeqId = Platform::ReadLeadingDecimal(pwszSeqId ? pwszSeqId : L"");
}

void Inv::SetMapiMsg(IMessage* pMessage) {
    ReplaceReference(m_pMapiMsg, pMessage);
}

void Inv::SetMimeStream(IStream* pStream) {
    ReplaceReference(m_pMimeStream, pStream);
}

void Inv::addCompPart(Comp* pComp) {
    AppendOwned(m_vecComps, pComp);
}

Comp* Inv::CompAt(int i) const {
    return ItemAt(m_vecComps, i);
}

TimeZone* Inv::AddTimeZone(const wchar_t* pwszId) {
    TimeZone* pTz = nullptr;
    try {
        pTz = new TimeZone(pwszId);
        m_vecTimeZones.push_back(pTz);
    } catch (const std::bad_alloc&) {
        delete pTz;
        return nullptr;
    }
    return pTz;
}

TimeZone* Inv::TimeZoneAt(int i) const {
    return ItemAt(m_vecTimeZones, i);
}

TimeZone* Inv::TimeZoneById(const wchar_t* pwszId) const {
    if (!pwszId)
        return nullptr;
    for (TimeZone* pTz : m_vecTimeZones) {
        if (pTz->GetId() && std::wcscmp(pTz->GetId(), pwszId) == 0)
            return pTz;
    }
    return nullptr;
}

Inv* Inv::Clone() const {
    Inv* pCopy = createInv();
    if (!pCopy)
        return nullptr;
    try {
        pCopy->m_lId = m_lId;
        pCopy->m_lSeqId = m_lSeqId;
        pCopy->m_recurId = m_recurId;
        pCopy->m_mimeBuffer = m_mimeBuffer;
        pCopy->SetMimeStream(m_pMimeStream);
        pCopy->m_body = m_body;
        pCopy->m_html = m_html;
        pCopy->m_vecAttachments = m_vecAttachments;
        pCopy->SetMapiMsg(m_pMapiMsg);
        for (const TimeZone* pTz : m_vecTimeZones) {
            TimeZone* pTzCopy = pCopy->AddTimeZone(nullptr);
            if (!pTzCopy)
                throw std::bad_alloc();
            pTzCopy->Initialize(*pTz);
        }
        if (!m_vecComps.empty()) {
            Comp* pComp = m_vecComps.front()->CloneForInv(m_vecTimeZones, pCopy->m_vecTimeZones);
            if (!pComp)
                throw std::bad_alloc();
            pCopy->addCompPart(pComp);
        }
    } catch (const std::bad_alloc&) {
        destroy(pCopy);
        return nullptr;
    }
    return pCopy;
}

// ---- Appointment ---------------------------------------------------------------------------

Appointment* Appointment::createAppointment() {
    return new (std::nothrow) Appointment();
}

void Appointment::destroy(Appointment* pAppointment) {
    delete pAppointment;
}

Appointment::Appointment() : m_ftModified(Util::CurrentClock().GetSystemTimeAsFileTime()) {}

Appointment::~Appointment() {
    if (OwnsDefaultInv())
        Inv::destroy(m_pDefaultInv);
    for (Inv* pInv : m_vecExceptions)
        Inv::destroy(pInv);
    for (Inv* pInv : m_vecCancelExceptions)
        Inv::destroy(pInv);
}

void Appointment::SetId(const wchar_t* pwszId) {
    m_idString.Set(pwszId);
    m_lId = Platform::ReadLeadingDecimal(pwszId ? pwszId : L"");
}

void Appointment::SetParentFolder(const wchar_t* pwszFolderId) {
    m_lParentFolder = Platform::ReadLeadingDecimal(pwszFolderId ? pwszFolderId : L"");
}

void Appointment::SetDefaultInv(Inv* pInv) {
    if (!pInv || pInv == m_pDefaultInv)
        return;
    if (OwnsDefaultInv())
        Inv::destroy(m_pDefaultInv);
    m_pDefaultInv = pInv;
}

void Appointment::SetModified(int iUnixSeconds) {
    if (iUnixSeconds == 0)
        m_ftModified = Util::CurrentClock().GetSystemTimeAsFileTime();
    else
        Util::UnixTimeToFileTime(iUnixSeconds, &m_ftModified);
}

void Appointment::SetNextAlarm(int iUnixSeconds) {
    if (iUnixSeconds == 0)
        m_ftNextAlarm = FILETIME{};
    else
        Util::UnixTimeToFileTime(iUnixSeconds, &m_ftNextAlarm);
}

void Appointment::addException(Inv* pInv) {
    AppendOwned(m_vecExceptions, pInv);
}

Inv* Appointment::ExceptionAt(int i) const {
    return ItemAt(m_vecExceptions, i);
}

void Appointment::addCancelException(Inv* pInv) {
    AppendOwned(m_vecCancelExceptions, pInv);
}

Inv* Appointment::CancelExceptionAt(int i) const {
    return ItemAt(m_vecCancelExceptions, i);
}

bool Appointment::IsTask() const {
    const Comp* pComp = m_pDefaultInv ? m_pDefaultInv->CompAt(0) : nullptr;
    return pComp && pComp->GetIsTask();
}

}  // namespace Ostrel::Mail
