// Appointment wrapper: construction and the one-property accessors.
#include "Ostrel/Store/Calendar/Appt.h"

#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

using N = NamedProps;

Appt::Appt(IMAPIProp* pProp, IMsgStore* pStore) : m_recurrence(this) {
    Init(pProp, pStore);
}

Appt::Appt(const SBinary* pEntryId, IMsgStore* pStore) : m_recurrence(this) {
    Platform::ComPtr<IMAPIProp> pProp;
    if (pEntryId && pStore) {
        ULONG ulType = 0;
        const HRESULT hr = pStore->OpenEntry(pEntryId->cb, reinterpret_cast<LPENTRYID>(pEntryId->lpb), nullptr,
                                             MAPI_MODIFY, &ulType, reinterpret_cast<LPUNKNOWN*>(pProp.AddressOf()));
        if (FAILED(hr))
            OSTLOG_ERROR(L"OpenEntry failed, hr: %x", static_cast<unsigned>(hr));
    }
    Init(pProp.Get(), pStore);
}

Appt::Appt(IMAPIProp* pProp, IMsgStore* pStore, const ExceptionContext& exception)
    : m_recurrence(this), m_exception(exception) {
    Init(pProp, pStore);
    m_pExceptionAttach = Platform::ComPtr<IAttach>(exception.pAttach);
}

Appt::Appt(const Appt& other) : m_recurrence(this) {
    *this = other;
}

Appt& Appt::operator=(const Appt& other) {
    if (this == &other)
        return *this;
    m_pProp = other.m_pProp;
    m_pStore = other.m_pStore;
    m_pNamedProps = other.m_pNamedProps;
    COutlookRecurrencePattern copy(other.m_recurrence);
    m_recurrence = copy;
    m_pExceptionAttach = other.m_pExceptionAttach;
    m_exception = other.m_exception;
    m_lOstrelInvId = other.m_lOstrelInvId;
    return *this;
}

Appt::~Appt() = default;

void Appt::Init(IMAPIProp* pProp, IMsgStore* pStore) {
    m_pProp = Platform::ComPtr<IMAPIProp>(pProp);
    m_pStore = Platform::ComPtr<IMsgStore>(pStore);
    m_pNamedProps = pProp ? NamedPropsManager::GetNamedPropsFromMAPIProp(pProp) : nullptr;
}

// ---- Property plumbing ---------------------------------------------------------------------

HRESULT Appt::GetValue(ULONG ulTag, LPSPropValue* ppValue) {
    *ppValue = nullptr;
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    return HrGetOneProp(m_pProp.Get(), ulTag, ppValue);
}

HRESULT Appt::SetValue(SPropValue value) {
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    const HRESULT hr = HrSetOneProp(m_pProp.Get(), &value);
    if (FAILED(hr))
        OSTLOG_ERROR(L"SetProps failed for 0x%08X, hr: %x", value.ulPropTag, static_cast<unsigned>(hr));
    return hr;
}

namespace {

// Reads one value and hands it to `take` when it is there.
template <typename Take>
HRESULT Read(Appt& appt, HRESULT (Appt::*get)(ULONG, LPSPropValue*), ULONG ulTag, Take take) {
    LPSPropValue pValue = nullptr;
    const HRESULT hr = (appt.*get)(ulTag, &pValue);
    if (SUCCEEDED(hr))
        take(*pValue);
    MAPIFreeBuffer(pValue);
    return hr;
}

}  // namespace

HRESULT Appt::GetLong(ULONG ulTag, LONG* pl) {
    return Read(*this, &Appt::GetValue, ulTag, [&](const SPropValue& v) { *pl = v.Value.l; });
}
HRESULT Appt::SetLong(ULONG ulTag, LONG l) {
    SPropValue v{};
    v.ulPropTag = ulTag;
    v.Value.l = l;
    return SetValue(v);
}
HRESULT Appt::GetBool(ULONG ulTag, BOOL* pb) {
    return Read(*this, &Appt::GetValue, ulTag, [&](const SPropValue& v) { *pb = v.Value.b ? TRUE : FALSE; });
}
HRESULT Appt::SetBool(ULONG ulTag, BOOL b) {
    SPropValue v{};
    v.ulPropTag = ulTag;
    v.Value.b = static_cast<unsigned short>(b ? 1 : 0);
    return SetValue(v);
}
HRESULT Appt::GetTime(ULONG ulTag, FILETIME* pft) {
    return Read(*this, &Appt::GetValue, ulTag, [&](const SPropValue& v) { *pft = v.Value.ft; });
}
HRESULT Appt::SetTime(ULONG ulTag, const FILETIME* pft) {
    if (!pft)
        return E_INVALIDARG;
    SPropValue v{};
    v.ulPropTag = ulTag;
    v.Value.ft = *pft;
    return SetValue(v);
}
HRESULT Appt::GetText(ULONG ulTag, std::wstring* pws) {
    return Read(*this, &Appt::GetValue, ulTag,
                [&](const SPropValue& v) { *pws = v.Value.lpszW ? v.Value.lpszW : L""; });
}
HRESULT Appt::SetText(ULONG ulTag, const wchar_t* pwsz) {
    if (!pwsz)
        return E_INVALIDARG;
    SPropValue v{};
    v.ulPropTag = ulTag;
    v.Value.lpszW = const_cast<wchar_t*>(pwsz);
    return SetValue(v);
}
HRESULT Appt::GetBytes(ULONG ulTag, std::vector<BYTE>* pvec) {
    return Read(*this, &Appt::GetValue, ulTag,
                [&](const SPropValue& v) { pvec->assign(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb); });
}
HRESULT Appt::SetBytes(ULONG ulTag, const std::vector<BYTE>& vec) {
    SPropValue v{};
    v.ulPropTag = ulTag;
    v.Value.bin.cb = static_cast<ULONG>(vec.size());
    v.Value.bin.lpb = const_cast<BYTE*>(vec.data());
    return SetValue(v);
}

// ---- Accessors -----------------------------------------------------------------------------
// A setter of a value that an occurrence can override also records it in the occurrence's
// entry of the series' pattern once the item took it.

HRESULT Appt::GetBusyStatus(LONG* pl) {
    return GetLong(Tag(N::APPT_8205, PT_LONG), pl);
}
HRESULT Appt::SetBusyStatus(LONG l) {
    const HRESULT hr = SetLong(Tag(N::APPT_8205, PT_LONG), l);
    if (SUCCEEDED(hr) && m_exception.pException)
        m_exception.pException->SetBusyStatus(static_cast<ULONG>(l));
    return hr;
}
HRESULT Appt::GetIntendedBusyStatus(LONG* pl) {
    return GetLong(Tag(N::APPT_8224, PT_LONG), pl);
}
HRESULT Appt::SetIntendedBusyStatus(LONG l) {
    return SetLong(Tag(N::APPT_8224, PT_LONG), l);
}
HRESULT Appt::GetMeetingStatus(LONG* pl) {
    return GetLong(Tag(N::APPT_8217, PT_LONG), pl);
}
HRESULT Appt::SetMeetingStatus(LONG l) {
    const HRESULT hr = SetLong(Tag(N::APPT_8217, PT_LONG), l);
    if (SUCCEEDED(hr) && m_exception.pException)
        m_exception.pException->SetMeetingType(static_cast<ULONG>(l));
    return hr;
}
HRESULT Appt::GetInvitationsSent(BOOL* pb) {
    return GetBool(Tag(N::APPT_8229, PT_BOOLEAN), pb);
}
HRESULT Appt::SetInvitationsSent(BOOL b) {
    return SetBool(Tag(N::APPT_8229, PT_BOOLEAN), b);
}
HRESULT Appt::GetResponseStatus(LONG* pl) {
    return GetLong(Tag(N::APPT_8218, PT_LONG), pl);
}
HRESULT Appt::SetResponseStatus(LONG l) {
    return SetLong(Tag(N::APPT_8218, PT_LONG), l);
}
HRESULT Appt::GetIsRecurring(BOOL* pb) {
    return GetBool(Tag(N::APPT_8223, PT_BOOLEAN), pb);
}
HRESULT Appt::SetIsRecurring(BOOL b) {
    return SetBool(Tag(N::APPT_8223, PT_BOOLEAN), b);
}
ULONG Appt::GetRecurringStreamTag() const {
    return Tag(N::APPT_8216, PT_BINARY);
}
HRESULT Appt::GetChangeHighlight(LONG* pl) {
    return GetLong(Tag(N::APPT_8204, PT_LONG), pl);
}
HRESULT Appt::SetChangeHighlight(LONG l) {
    return SetLong(Tag(N::APPT_8204, PT_LONG), l);
}
HRESULT Appt::GetAllDay(BOOL* pb) {
    return GetBool(Tag(N::APPT_8215, PT_BOOLEAN), pb);
}
HRESULT Appt::SetAllDay(BOOL b) {
    const HRESULT hr = SetBool(Tag(N::APPT_8215, PT_BOOLEAN), b);
    if (SUCCEEDED(hr) && m_exception.pException)
        m_exception.pException->SetAllDay(b ? 1 : 0);
    return hr;
}
HRESULT Appt::GetReminderSet(BOOL* pb) {
    return GetBool(Tag(N::COMMON_8503, PT_BOOLEAN), pb);
}
HRESULT Appt::SetReminderSet(BOOL b) {
    const HRESULT hr = SetBool(Tag(N::COMMON_8503, PT_BOOLEAN), b);
    if (SUCCEEDED(hr) && m_exception.pException)
        m_exception.pException->SetReminder(b ? 1 : 0);
    return hr;
}
HRESULT Appt::GetReminderMinutes(LONG* pl) {
    return GetLong(Tag(N::COMMON_8501, PT_LONG), pl);
}
HRESULT Appt::SetReminderMinutes(LONG l) {
    const HRESULT hr = SetLong(Tag(N::COMMON_8501, PT_LONG), l);
    if (SUCCEEDED(hr) && m_exception.pException)
        m_exception.pException->SetReminderDelta(static_cast<ULONG>(l));
    return hr;
}
HRESULT Appt::GetSequenceId(LONG* pl) {
    return GetLong(Tag(N::APPT_8201, PT_LONG), pl);
}
HRESULT Appt::SetSequenceId(LONG l) {
    return SetLong(Tag(N::APPT_8201, PT_LONG), l);
}
HRESULT Appt::GetLocation(std::wstring* pws) {
    return GetText(Tag(N::APPT_8208, PT_UNICODE), pws);
}
HRESULT Appt::SetLocation(const wchar_t* pwsz) {
    const HRESULT hr = SetText(Tag(N::APPT_8208, PT_UNICODE), pwsz);
    if (SUCCEEDED(hr) && m_exception.pException)
        m_exception.pException->SetLocation(pwsz);
    return hr;
}
HRESULT Appt::GetDuration(LONG* pl) {
    return GetLong(Tag(N::APPT_8213, PT_LONG), pl);
}
HRESULT Appt::SetDuration(LONG l) {
    return SetLong(Tag(N::APPT_8213, PT_LONG), l);
}
HRESULT Appt::GetIsException(BOOL* pb) {
    return GetBool(Tag(N::MEETING_000A, PT_BOOLEAN), pb);
}
HRESULT Appt::SetIsException(BOOL b) {
    return SetBool(Tag(N::MEETING_000A, PT_BOOLEAN), b);
}
HRESULT Appt::GetRecurrenceType(LONG* pl) {
    return GetLong(Tag(N::APPT_8231, PT_LONG), pl);
}
HRESULT Appt::SetRecurrenceType(LONG l) {
    return SetLong(Tag(N::APPT_8231, PT_LONG), l);
}
HRESULT Appt::GetRecurrencePatternText(std::wstring* pws) {
    return GetText(Tag(N::APPT_8232, PT_UNICODE), pws);
}
HRESULT Appt::SetRecurrencePatternText(const wchar_t* pwsz) {
    return SetText(Tag(N::APPT_8232, PT_UNICODE), pwsz);
}
HRESULT Appt::GetSmartNoAttach(BOOL* pb) {
    return GetBool(Tag(N::COMMON_8514, PT_BOOLEAN), pb);
}
HRESULT Appt::SetSmartNoAttach(BOOL b) {
    return SetBool(Tag(N::COMMON_8514, PT_BOOLEAN), b);
}
HRESULT Appt::GetExceptionReplaceTime(FILETIME* pft) {
    return GetTime(Tag(N::APPT_8228, PT_SYSTIME), pft);
}
HRESULT Appt::GetStartTime(FILETIME* pft) {
    return GetTime(Tag(N::APPT_820D, PT_SYSTIME), pft);
}
HRESULT Appt::GetEndTime(FILETIME* pft) {
    return GetTime(Tag(N::APPT_820E, PT_SYSTIME), pft);
}
HRESULT Appt::GetReminderTime(FILETIME* pft) {
    return GetTime(Tag(N::COMMON_8502, PT_SYSTIME), pft);
}
HRESULT Appt::SetReminderTime(const FILETIME* pft) {
    return SetTime(Tag(N::COMMON_8502, PT_SYSTIME), pft);
}
HRESULT Appt::GetReminderSignalTime(FILETIME* pft) {
    return GetTime(Tag(N::COMMON_8560, PT_SYSTIME), pft);
}
HRESULT Appt::SetReminderSignalTime(const FILETIME* pft) {
    return SetTime(Tag(N::COMMON_8560, PT_SYSTIME), pft);
}
HRESULT Appt::GetOwnerCriticalChange(FILETIME* pft) {
    return GetTime(Tag(N::MEETING_001A, PT_SYSTIME), pft);
}
HRESULT Appt::SetOwnerCriticalChange(const FILETIME* pft) {
    return SetTime(Tag(N::MEETING_001A, PT_SYSTIME), pft);
}
HRESULT Appt::GetClipStartTime(FILETIME* pft) {
    return GetTime(Tag(N::APPT_8235, PT_SYSTIME), pft);
}
HRESULT Appt::SetClipStartTime(const FILETIME* pft) {
    return SetTime(Tag(N::APPT_8235, PT_SYSTIME), pft);
}
HRESULT Appt::GetClipEndTime(FILETIME* pft) {
    return GetTime(Tag(N::APPT_8236, PT_SYSTIME), pft);
}
HRESULT Appt::SetClipEndTime(const FILETIME* pft) {
    if (m_recurrence.GetNoEndDate()) {
        const FILETIME ftNoEnd{static_cast<DWORD>(kNoEndClipTime), static_cast<DWORD>(kNoEndClipTime >> 32)};
        return SetTime(Tag(N::APPT_8236, PT_SYSTIME), &ftNoEnd);
    }
    return SetTime(Tag(N::APPT_8236, PT_SYSTIME), pft);
}
HRESULT Appt::GetIsOrphan(BOOL* pb) {
    // An occurrence that the meeting marks as part of a series while the item is no series of
    // its own.
    BOOL bMeetingRecurring = FALSE, bRecurring = FALSE;
    const HRESULT hr = GetBool(Tag(N::MEETING_0005, PT_BOOLEAN), &bMeetingRecurring);
    if (FAILED(hr))
        return hr;
    GetBool(Tag(N::APPT_8223, PT_BOOLEAN), &bRecurring);
    *pb = bMeetingRecurring && !bRecurring;
    return S_OK;
}
HRESULT Appt::GetSubject(std::wstring* pws) {
    return GetText(PR_SUBJECT_W, pws);
}
HRESULT Appt::SetSubject(const wchar_t* pwsz) {
    const HRESULT hr = SetText(PR_SUBJECT_W, pwsz);
    if (SUCCEEDED(hr) && m_exception.pException)
        m_exception.pException->SetSubject(pwsz);
    return hr;
}
HRESULT Appt::GetSenderEmail(std::wstring* pws) {
    return GetText(PR_SENDER_EMAIL_ADDRESS_W, pws);
}
HRESULT Appt::SearchKey(std::vector<BYTE>* pvec) {
    return GetBytes(PR_SEARCH_KEY, pvec);
}
HRESULT Appt::GetImportance(LONG* pl) {
    return GetLong(PR_IMPORTANCE, pl);
}
HRESULT Appt::SetImportance(LONG l) {
    return SetLong(PR_IMPORTANCE, l);
}
HRESULT Appt::GetSensitivity(LONG* pl) {
    return GetLong(PR_SENSITIVITY, pl);
}
HRESULT Appt::SetSensitivity(LONG l) {
    return SetLong(PR_SENSITIVITY, l);
}
HRESULT Appt::GetResponseRequested(BOOL* pb) {
    return GetBool(PR_RESPONSE_REQUESTED, pb);
}
HRESULT Appt::SetResponseRequested(BOOL b) {
    return SetBool(PR_RESPONSE_REQUESTED, b);
}

HRESULT Appt::SetStartTime(const FILETIME* pftUtc, const Mail::TimeZone* pTimeZone) {
    return SetTimes(Tag(N::APPT_820D, PT_SYSTIME), Tag(N::COMMON_8516, PT_SYSTIME), PR_START_DATE,
                    PR_EXCEPTION_STARTTIME, pftUtc, pTimeZone, true);
}

HRESULT Appt::SetEndTime(const FILETIME* pftUtc, const Mail::TimeZone* pTimeZone) {
    return SetTimes(Tag(N::APPT_820E, PT_SYSTIME), Tag(N::COMMON_8517, PT_SYSTIME), PR_END_DATE, PR_EXCEPTION_ENDTIME,
                    pftUtc, pTimeZone, false);
}

HRESULT Appt::SetTimes(ULONG ulWhole, ULONG ulCommon, ULONG ulPlain, ULONG ulAttachTag, const FILETIME* pftUtc,
                       const Mail::TimeZone* pTimeZone, bool bStart) {
    if (!pftUtc)
        return E_INVALIDARG;
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SPropValue values[3]{};
    const ULONG aulTags[3] = {ulWhole, ulCommon, ulPlain};
    for (int i = 0; i < 3; ++i) {
        values[i].ulPropTag = aulTags[i];
        values[i].Value.ft = *pftUtc;
    }
    HRESULT hr = m_pProp->SetProps(3, values, nullptr);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"SetProps failed, hr: %x", static_cast<unsigned>(hr));
        return hr;
    }
    if (!m_exception.pException || !m_pExceptionAttach)
        return hr;
    // The attachment keeps the occurrence in the series' local time.
    ULONG ulLocal = 0;
    if (!RecurrenceTime::UtcToLocalMinutes(pTimeZone, *pftUtc, ulLocal))
        return E_INVALIDARG;
    SPropValue local{};
    local.ulPropTag = ulAttachTag;
    local.Value.ft = Util::UInt64ToFileTime(static_cast<ULONGLONG>(ulLocal) * 600000000ULL);
    hr = HrSetOneProp(m_pExceptionAttach.Get(), &local);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"SetProps failed on the exception attachment, hr: %x", static_cast<unsigned>(hr));
        return hr;
    }
    if (bStart)
        m_exception.pException->SetStartDateTime(ulLocal);
    else
        m_exception.pException->SetEndDateTime(ulLocal);
    return hr;
}

HRESULT Appt::InitializeNew() {
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SPropValue values[6]{};
    values[0].ulPropTag = Tag(N::APPT_8207, PT_LONG);
    values[1].ulPropTag = Tag(N::COMMON_8506, PT_BOOLEAN);
    values[2].ulPropTag = Tag(N::APPT_8214, PT_LONG);
    values[3].ulPropTag = Tag(N::APPT_8201, PT_LONG);
    values[4].ulPropTag = Tag(N::APPT_8231, PT_LONG);
    values[5].ulPropTag = PR_ICON_INDEX;
    values[5].Value.l = 1024;
    const HRESULT hr = m_pProp->SetProps(6, values, nullptr);
    if (FAILED(hr))
        OSTLOG_ERROR(L"SetProps failed, hr: %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT Appt::Save() {
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    const HRESULT hr = m_pProp->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr))
        OSTLOG_ERROR(L"SaveChanges failed, hr: %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT Appt::Delete() {
    if (!m_pProp || !m_pStore) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    CEntryID entryId(m_pProp.Get());
    CEntryID parentId(m_pProp.Get(), PR_PARENT_ENTRYID);
    if (entryId.IsEmpty() || parentId.IsEmpty())
        return MAPI_E_NOT_FOUND;
    Platform::ComPtr<IMAPIFolder> pFolder;
    ULONG ulType = 0;
    const SBinary* pParent = parentId;
    HRESULT hr = m_pStore->OpenEntry(pParent->cb, reinterpret_cast<LPENTRYID>(pParent->lpb), nullptr, MAPI_MODIFY,
                                     &ulType, reinterpret_cast<LPUNKNOWN*>(pFolder.AddressOf()));
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"OpenEntry of the parent folder failed, hr: %x", static_cast<unsigned>(hr));
        return hr;
    }
    SBinary bin = *static_cast<SBinary*>(entryId);
    ENTRYLIST list{1, &bin};
    hr = pFolder->DeleteMessages(&list, 0, nullptr, 0);
    if (FAILED(hr))
        OSTLOG_ERROR(L"DeleteMessages failed, hr: %x", static_cast<unsigned>(hr));
    return hr;
}

}  // namespace Ostrel::Mapi
