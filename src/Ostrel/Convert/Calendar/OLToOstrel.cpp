// What appointments and tasks share on their way to the server: ids, zones, bodies, people,
// reminder and the end of a series.
#include "Ostrel/Convert/Calendar/OLToOstrel.h"

#include "Ostrel/Store/Attachments.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/OlkValues.h"
#include "Ostrel/Store/TempMessage.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

#include <cstring>
#include <vector>

namespace Ostrel::Mail {

using Mapi::Appt;
using N = Mapi::NamedProps;

OLToOstrel::OLToOstrel(IMAPISupport* pSupport) : m_pSupport(pSupport) {}

OLToOstrel::~OLToOstrel() = default;

HRESULT OLToOstrel::ReadWhole(IMAPIProp* pProp, ULONG ulTag, std::vector<BYTE>& bytes) {
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(pProp, ulTag, &pValue);
    if (SUCCEEDED(hr) && pValue) {
        if (PROP_TYPE(ulTag) == PT_UNICODE) {
            const std::string s = Platform::ToUtf8(pValue->Value.lpszW ? pValue->Value.lpszW : L"");
            bytes.assign(s.begin(), s.end());
        } else {
            bytes.assign(pValue->Value.bin.lpb, pValue->Value.bin.lpb + pValue->Value.bin.cb);
        }
        MAPIFreeBuffer(pValue);
        return S_OK;
    }
    MAPIFreeBuffer(pValue);
    if (hr != MAPI_E_NOT_ENOUGH_MEMORY)
        return hr;
    Platform::ComPtr<IStream> pStream;
    hr = pProp->OpenProperty(ulTag, &IID_IStream, STGM_READ, 0, reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()));
    if (FAILED(hr))
        return hr;
    std::vector<BYTE> raw;
    BYTE buf[8192];
    ULONG cbRead = 0;
    while (SUCCEEDED(hr = pStream->Read(buf, sizeof buf, &cbRead)) && cbRead > 0)
        raw.insert(raw.end(), buf, buf + cbRead);
    if (FAILED(hr))
        return hr;
    if (PROP_TYPE(ulTag) == PT_UNICODE) {
        // Streams of text properties hold wchar_t units.
        std::wstring ws(raw.size() / sizeof(wchar_t), L'\0');
        std::memcpy(ws.data(), raw.data(), ws.size() * sizeof(wchar_t));
        const std::string s = Platform::ToUtf8(ws);
        bytes.assign(s.begin(), s.end());
    } else {
        bytes = std::move(raw);
    }
    return S_OK;
}

double OLToOstrel::ToOleDate(const FILETIME& ftUtc) {
    SYSTEMTIME st{};
    double d = 0;
    if (!Util::FileTimeToSystemTime(&ftUtc, &st) || !Util::SystemTimeToVariantTime(&st, &d))
        return Comp::kUninitializedDate;
    return d;
}

double OLToOstrel::AllDayDate(const FILETIME& ftUtc, const TimeZone* pZone) {
    SYSTEMTIME stUtc{}, stWall{};
    if (!Util::FileTimeToSystemTime(&ftUtc, &stUtc))
        return Comp::kUninitializedDate;
    TIME_ZONE_INFORMATION tzi{};
    if (pZone)
        pZone->PopulateTimeZoneInfo(tzi);
    if (!Util::SystemTimeToTzSpecificLocalTime(pZone ? &tzi : nullptr, &stUtc, &stWall))
        return Comp::kUninitializedDate;
    // The boundary may sit a little before midnight when its zone's rules moved: the nearest
    // midnight is the day meant. Noon of that day, machine-local, keeps the date whatever the
    // machine's offset.
    FILETIME ftWall{};
    Util::SystemTimeToFileTime(&stWall, &ftWall);
    const ULONGLONG ullDay = 864000000000ULL;
    const ULONGLONG ullMidnight = (Util::FileTimeToUInt64(ftWall) + ullDay / 2) / ullDay * ullDay;
    const FILETIME ftNoonLocal = Util::UInt64ToFileTime(ullMidnight + ullDay / 2);
    FILETIME ftNoonUtc{};
    if (!Util::LocalFileTimeToFileTime(&ftNoonLocal, &ftNoonUtc))
        return Comp::kUninitializedDate;
    return ToOleDate(ftNoonUtc);
}

HRESULT OLToOstrel::BeginItem(IAddrBook* pAddrBook, IMsgStore* pStore, Appt& item, Appointment& appointment,
                              const wchar_t* pwszOwnerName, const wchar_t* pwszOwnerEmail,
                              const wchar_t* pwszNamePropsError, Inv** ppInv) {
    *ppInv = nullptr;
    m_pAddrBook = pAddrBook;
    m_pStore = pStore;
    m_wsOwnerName = pwszOwnerName ? pwszOwnerName : L"";
    m_wsOwnerEmail = pwszOwnerEmail ? pwszOwnerEmail : L"";
    if (!InitNamedProps(pStore)) {
        OSTLOG_ERROR(L"%s", pwszNamePropsError);
        return E_FAIL;
    }
    appointment.SetTargetZoneTime(TRUE);
    Inv* pInv = Inv::createInv();
    if (!pInv)
        return E_OUTOFMEMORY;
    const HRESULT hr = SetIds(item, appointment, *pInv);
    if (FAILED(hr)) {
        Inv::destroy(pInv);
        return hr;
    }
    appointment.SetNextAlarm(FILETIME{});
    BOOL bReminder = FALSE;
    FILETIME ftDue{};
    if (SUCCEEDED(item.GetReminderSet(&bReminder)) && bReminder && SUCCEEDED(GetReminderFlagDueBy(item, &ftDue)))
        appointment.SetNextAlarm(ftDue);
    appointment.SetDefaultInv(pInv);
    ReadCategories(item.Prop(), appointment);
    *ppInv = pInv;
    return S_OK;
}

bool OLToOstrel::InitNamedProps(IMsgStore* pStore) {
    if (!m_pNamedProps)
        m_pNamedProps = Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    return m_pNamedProps && m_pNamedProps->IsInitialized();
}

TimeZone* OLToOstrel::ZoneInInv(Inv& inv, const TimeZone& zone) {
    const wchar_t* pwszId = zone.GetId() ? zone.GetId() : L"";
    if (TimeZone* pFound = inv.TimeZoneById(pwszId))
        return pFound;
    TimeZone* pAdded = inv.AddTimeZone(pwszId);
    if (pAdded) {
        pAdded->Initialize(zone);
        pAdded->SetId(pwszId);
    }
    return pAdded;
}

HRESULT OLToOstrel::SetIds(Appt& appt, Appointment& appointment, Inv& /*inv*/) {
    std::wstring wsLegacyName;
    if (FAILED(appt.GetLegacyTimezone(&m_olkLegacy, &wsLegacyName))) {
        TIME_ZONE_INFORMATION tzi{};
        Appt::GetOSTimezone(tzi, wsLegacyName);
        m_legacyZone.Initialize(tzi);
        m_legacyZone.PopulateTimeZoneInfo(m_olkLegacy);
    }
    m_legacyZone.Initialize(m_olkLegacy, wsLegacyName.c_str());
    TimeZone start, end;
    if (SUCCEEDED(appt.GetStartAndEndTimezones(start, end))) {
        m_startZone.Initialize(start);
        m_endZone.Initialize(end);
    } else if (start.GetId() && *start.GetId()) {
        // Items stored from a start and a duration have a start zone only: it serves for both.
        m_startZone.Initialize(start);
        m_endZone.Initialize(start);
    } else {
        m_startZone.Initialize(m_legacyZone);
        m_endZone.Initialize(m_legacyZone);
    }
    LPSPropValue pParent = nullptr;
    if (FAILED(HrGetOneProp(appt.Prop(), PR_PARENT_ENTRYID, &pParent)) || !pParent) {
        MAPIFreeBuffer(pParent);
        OSTLOG_ERROR(L"error - could not get parent folder for appt.");
        return E_FAIL;
    }
    ULONG ulType = 0;
    Platform::ComPtr<IMAPIFolder> pFolder;
    const HRESULT hr = m_pStore->OpenEntry(pParent->Value.bin.cb, reinterpret_cast<LPENTRYID>(pParent->Value.bin.lpb),
                                           nullptr, 0, &ulType, reinterpret_cast<LPUNKNOWN*>(pFolder.AddressOf()));
    MAPIFreeBuffer(pParent);
    if (FAILED(hr) || !pFolder) {
        OSTLOG_ERROR(L"error - could not get parent folder for appt.");
        return E_FAIL;
    }
    if (const LONG lFolder = Mapi::OstrelMailItemBase(pFolder.Get()).OstrelId())
        appointment.SetParentFolder(lFolder);
    if (const LONG lId = Mapi::OstrelMailItemBase(appt.Prop()).OstrelId())
        appointment.SetId(lId);
    const std::wstring wsUid = appt.Uid();
    if (!wsUid.empty())
        appointment.SetUid(wsUid.c_str());
    return S_OK;
}

HRESULT OLToOstrel::SetMapiMsgAndBody(IMAPIProp* pProp, Inv& inv) {
    Platform::ComPtr<IMessage> pMessage;
    HRESULT hr =
        pProp ? pProp->QueryInterface(IID_IMessage, reinterpret_cast<void**>(pMessage.AddressOf())) : E_NOINTERFACE;
    if (FAILED(hr) || !pMessage) {
        OSTLOG_ERROR(L"Not an IMessage object - 0x%x", static_cast<unsigned>(hr));
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    inv.SetMapiMsg(pMessage.Get());
    SPropValue cpid{};
    cpid.ulPropTag = PR_INTERNET_CPID;
    cpid.Value.l = 65001;
    if (FAILED(hr = HrSetOneProp(pMessage.Get(), &cpid)))
        OSTLOG_ERROR(L"HrSetOneProp failed - 0x%x", static_cast<unsigned>(hr));
    std::vector<BYTE> bytes;
    if (SUCCEEDED(ReadWhole(pMessage.Get(), PR_BODY_W, bytes)))
        inv.SetBody(Platform::FromUtf8(std::string(bytes.begin(), bytes.end())).c_str());
    bytes.clear();
    if (SUCCEEDED(ReadWhole(pMessage.Get(), PR_HTML, bytes)) && !bytes.empty())
        inv.SetHTML(Platform::FromUtf8(std::string(bytes.begin(), bytes.end())).c_str());
    return S_OK;
}

HRESULT OLToOstrel::SetOrganizerAndAttendees(Appt& appt, Comp& comp) {
    Platform::ComPtr<IMessage> pMessage;
    if (!appt.Prop() ||
        FAILED(appt.Prop()->QueryInterface(IID_IMessage, reinterpret_cast<void**>(pMessage.AddressOf())))) {
        OSTLOG_ERROR(L"ERROR: Ostrel::Mail::OLToOstrel::SetOrganizerAndAttendees - null MAPIOBJECT");
        return E_FAIL;
    }
    // Tasks carry no response of the user's own: their recipient rows speak for the user too.
    LONG lResponse = -1;
    BOOL bRsvp = FALSE;
    appt.GetResponseStatus(&lResponse);
    appt.GetResponseRequested(&bRsvp);
    return RecipientsToAttendees(m_pAddrBook, m_wsOwnerEmail, lResponse, bRsvp).Convert(pMessage.Get(), comp);
}

HRESULT OLToOstrel::GetReminderFlagDueBy(Appt& appt, FILETIME* pft) {
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(appt.Prop(), NAMED_PROP(N::COMMON_8560, PT_SYSTIME, m_pNamedProps), &pValue);
    if (SUCCEEDED(hr) && pValue)
        *pft = pValue->Value.ft;
    MAPIFreeBuffer(pValue);
    return FAILED(hr) ? MAPI_E_NOT_FOUND : S_OK;
}

HRESULT OLToOstrel::GetAlarmXPropInfo(Appt& appt, std::wstring& wsName, std::wstring& wsValue) {
    SizedSPropTagArray(2, tags) = {2,
                                   {NAMED_PROP(N::ALARM_EXTENSION_1, PT_UNICODE, m_pNamedProps),
                                    NAMED_PROP(N::ALARM_EXTENSION_2, PT_UNICODE, m_pNamedProps)}};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    const HRESULT hr = appt.Prop()->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &cValues, &pValues);
    if (FAILED(hr) || !pValues)
        return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
    if (PROP_TYPE(pValues[0].ulPropTag) == PT_UNICODE && pValues[0].Value.lpszW)
        wsName = pValues[0].Value.lpszW;
    if (cValues > 1 && PROP_TYPE(pValues[1].ulPropTag) == PT_UNICODE && pValues[1].Value.lpszW)
        wsValue = pValues[1].Value.lpszW;
    MAPIFreeBuffer(pValues);
    return S_OK;
}

BOOL OLToOstrel::IsRecurUntil(Appt& appt) {
    std::vector<BYTE> blob;
    if (FAILED(ReadWhole(appt.Prop(), appt.GetRecurringStreamTag(), blob)))
        return FALSE;
    // Reader and writer versions, frequency, pattern type, calendar type, first date-time,
    // period and sliding flag come before the type's own fields and the end type.
    constexpr size_t kPatternTypeOffset = 6;
    constexpr size_t kSpecificOffset = 22;
    if (blob.size() < kSpecificOffset) {
        OSTLOG_ERROR(L"OLToOstrel::IsRecurUntil() - not enough bytes in the recurrence stream %d",
                     static_cast<int>(blob.size()));
        return FALSE;
    }
    const USHORT wPatternType = static_cast<USHORT>(blob[kPatternTypeOffset] | (blob[kPatternTypeOffset + 1] << 8));
    size_t cbSpecific = 0;
    switch (wPatternType) {
        case Mapi::COutlookRecurrencePattern::kPatternDay:
            break;
        case Mapi::COutlookRecurrencePattern::kPatternWeek:
        case Mapi::COutlookRecurrencePattern::kPatternMonth:
        case Mapi::COutlookRecurrencePattern::kPatternMonthEnd:
        case Mapi::COutlookRecurrencePattern::kPatternHjMonth:
        case Mapi::COutlookRecurrencePattern::kPatternHjMonthEnd:
            cbSpecific = 4;
            break;
        case Mapi::COutlookRecurrencePattern::kPatternMonthNth:
        case Mapi::COutlookRecurrencePattern::kPatternHjMonthNth:
            cbSpecific = 8;
            break;
        default:
            OSTLOG_ERROR(L"OLToOstrel::IsRecurUntil() - unknown constant value %d", static_cast<int>(wPatternType));
            return FALSE;
    }
    const size_t off = kSpecificOffset + cbSpecific;
    if (blob.size() < off + 4) {
        OSTLOG_ERROR(L"OLToOstrel::IsRecurUntil() - not enough bytes in the recurrence stream %d",
                     static_cast<int>(blob.size()));
        return FALSE;
    }
    const ULONG ulEndType = static_cast<ULONG>(blob[off]) | (static_cast<ULONG>(blob[off + 1]) << 8) |
                            (static_cast<ULONG>(blob[off + 2]) << 16) | (static_cast<ULONG>(blob[off + 3]) << 24);
    switch (ulEndType) {
        case Mapi::COutlookRecurrencePattern::kEndAfterDate:
            return TRUE;
        case Mapi::COutlookRecurrencePattern::kEndAfterCount:
            return FALSE;
        case Mapi::COutlookRecurrencePattern::kEndNever:
        case Mapi::COutlookRecurrencePattern::kEndNeverAlt:
            OSTLOG_INFO(8, L"OLToOstrel::IsRecurUntil() - this recurrence never ends");
            return FALSE;
        default:
            OSTLOG_ERROR(L"OLToOstrel::IsRecurUntil() - invalid end of recurrence type %x",
                         static_cast<unsigned>(ulEndType));
            return FALSE;
    }
}

void OLToOstrel::SetRecurrenceFromPattern(const Mapi::COutlookRecurrencePattern& pattern, bool bUntil, Comp& comp) {
    _Recurrence r;
    r.type = Mapi::ConvertRecurrenceType(pattern.GetRecurrenceType());
    const LONG lInterval = static_cast<LONG>(pattern.GetInterval());
    const LONG lMask = static_cast<LONG>(pattern.GetDayOfWeekMask());
    switch (r.type) {
        case RecurrenceType::Daily:
        case RecurrenceType::Weekly:
            r.lParam1 = lInterval, r.lParam2 = lMask;
            break;
        case RecurrenceType::Monthly:
            r.lParam1 = lInterval, r.lParam2 = static_cast<LONG>(pattern.GetDayOfMonth());
            break;
        case RecurrenceType::MonthNth:
            r.lParam1 = lInterval, r.lParam2 = static_cast<LONG>(pattern.GetInstance()), r.lParam3 = lMask;
            break;
        case RecurrenceType::Yearly:
            r.lParam1 = static_cast<LONG>(pattern.GetDayOfMonth());
            r.lParam2 = static_cast<LONG>(pattern.GetMonthOfYear());
            break;
        case RecurrenceType::YearNth:
            r.lParam1 = static_cast<LONG>(pattern.GetInstance()), r.lParam2 = lMask;
            r.lParam3 = static_cast<LONG>(pattern.GetMonthOfYear());
            break;
    }
    if (bUntil) {
        FILETIME ftEnd{};
        if (pattern.GetEndDate(ftEnd)) {
            r.lEndByDate = 1;
            r.ftEndDate = ftEnd;
            r.dEndValue =
                comp.GetIsAllDay() ? AllDayDate(ftEnd, &pattern.GetRefOutlookRecurrencePatternTZ()) : ToOleDate(ftEnd);
        }
    } else if (pattern.GetEndType() == Mapi::COutlookRecurrencePattern::kEndAfterCount) {
        r.dEndValue = static_cast<double>(pattern.GetOccurrences());
    }
    comp.SetRecurrence(r);
}

void OLToOstrel::ReadCategories(IMAPIProp* pProp, Appointment& appointment) {
    LPSPropValue pValue = nullptr;
    if (SUCCEEDED(HrGetOneProp(pProp, NAMED_PROP(N::KEYWORDS, PT_MV_UNICODE, m_pNamedProps), &pValue)) && pValue) {
        for (ULONG i = 0; i < pValue->Value.MVszW.cValues; ++i)
            if (pValue->Value.MVszW.lppszW[i] && *pValue->Value.MVszW.lppszW[i])
                appointment.addTagName(pValue->Value.MVszW.lppszW[i]);
    }
    MAPIFreeBuffer(pValue);
}

}  // namespace Ostrel::Mail
