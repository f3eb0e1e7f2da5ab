// Appointment wrapper: series, their exception attachments, and look-ups by UID.
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/Calendar/RecurrenceLog.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Ostrel/Store/OutlookUid.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

#include <cstring>

namespace Ostrel::Mapi {

using N = NamedProps;

namespace {

constexpr const wchar_t* kExceptionMessageClass = L"IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}";
constexpr ULONG kAttachFlagException = 0x00000002;

// Frees a MAPI buffer at scope exit.
template <typename T>
struct MapiBuffer {
    T* p = nullptr;
    ~MapiBuffer() { MAPIFreeBuffer(p); }
};

struct RowSet {
    LPSRowSet p = nullptr;
    ~RowSet() {
        if (p)
            FreeProws(p);
    }
};

// The attachment numbers of the item's exception attachments: hidden embedded messages flagged
// as exceptions.
HRESULT ExceptionAttachments(IMessage* pItem, std::vector<ULONG>& vecNumbers) {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pItem->GetAttachmentTable(0, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(4, columns) = {4, {PR_ATTACH_NUM, PR_ATTACHMENT_FLAGS, PR_ATTACHMENT_HIDDEN, PR_ATTACH_METHOD}};
    RowSet rows;
    hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows.p);
    if (FAILED(hr))
        return hr;
    for (ULONG i = 0; i < rows.p->cRows; ++i) {
        const SPropValue* p = rows.p->aRow[i].lpProps;
        if (rows.p->aRow[i].cValues < 4 || p[0].ulPropTag != PR_ATTACH_NUM)
            continue;
        const bool bException = p[1].ulPropTag == PR_ATTACHMENT_FLAGS && (p[1].Value.l & kAttachFlagException) &&
                                p[2].ulPropTag == PR_ATTACHMENT_HIDDEN && p[2].Value.b &&
                                p[3].ulPropTag == PR_ATTACH_METHOD && p[3].Value.l == ATTACH_EMBEDDED_MSG;
        if (bException)
            vecNumbers.push_back(static_cast<ULONG>(p[0].Value.l));
    }
    return S_OK;
}

// The embedded message of an exception attachment, when it has the exception class.
HRESULT OpenExceptionMessage(IMessage* pItem, ULONG ulNumber, IAttach** ppAttach, IMessage** ppMessage) {
    Platform::ComPtr<IAttach> pAttach;
    HRESULT hr = pItem->OpenAttach(ulNumber, nullptr, MAPI_MODIFY, pAttach.AddressOf());
    if (FAILED(hr))
        return hr;
    Platform::ComPtr<IMessage> pMessage;
    hr = pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_MODIFY,
                               reinterpret_cast<LPUNKNOWN*>(pMessage.AddressOf()));
    if (FAILED(hr))
        return hr;
    MapiBuffer<SPropValue> pClass;
    if (FAILED(HrGetOneProp(pMessage.Get(), PR_MESSAGE_CLASS_W, &pClass.p)) || !pClass.p->Value.lpszW ||
        std::wcscmp(pClass.p->Value.lpszW, kExceptionMessageClass) != 0)
        return MAPI_E_NOT_FOUND;
    *ppAttach = pAttach.Detach();
    *ppMessage = pMessage.Detach();
    return S_OK;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The exception attachment whose message replaces the occurrence at ftOriginalUtc.
HRESULT FindException(IMessage* pItem, const FILETIME& ftOriginalUtc, IAttach** ppAttach, IMessage** ppMessage) {
    NamedProps* pProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pItem);
    if (!pProps) {
        OSTLOG_ERROR(L"Failed to init named props for store");
        return MAPI_E_NOT_FOUND;
    }
    std::vector<ULONG> vecNumbers;
    HRESULT hr = ExceptionAttachments(pItem, vecNumbers);
    if (FAILED(hr))
        return hr;
    for (ULONG ulNumber : vecNumbers) {
        Platform::ComPtr<IAttach> pAttach;
        Platform::ComPtr<IMessage> pMessage;
        if (FAILED(OpenExceptionMessage(pItem, ulNumber, pAttach.AddressOf(), pMessage.AddressOf())))
            continue;
        MapiBuffer<SPropValue> pReplace;
        if (SUCCEEDED(HrGetOneProp(pMessage.Get(), NAMED_PROP(N::APPT_8228, PT_SYSTIME, pProps), &pReplace.p)) &&
            SameTime(pReplace.p->Value.ft, ftOriginalUtc)) {
            *ppAttach = pAttach.Detach();
            *ppMessage = pMessage.Detach();
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

SPropValue TimeValue(ULONG ulTag, const FILETIME& ft) {
    SPropValue v{};
    v.ulPropTag = ulTag;
    v.Value.ft = ft;
    return v;
}

}  // namespace

// ---- The occurrence's attachment -----------------------------------------------------------

HRESULT COutlookRecurrenceException::OpenAppointment(IMessage* pItem, IMessage** ppEmbedded, IAttach** ppAttach) const {
    if (!pItem || !ppEmbedded || !ppAttach)
        return E_INVALIDARG;
    FILETIME ftOriginal;
    if (!GetOriginalDateTime(ftOriginal))
        return E_INVALIDARG;
    HRESULT hr = FindException(pItem, ftOriginal, ppAttach, ppEmbedded);
    if (hr != MAPI_E_NOT_FOUND)
        return hr;

    NamedProps* pProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pItem);
    if (!pProps) {
        OSTLOG_ERROR(L"could not init name props...");
        return MAPI_E_NOT_FOUND;
    }
    Platform::ComPtr<IAttach> pAttach;
    ULONG ulNumber = 0;
    if (FAILED(hr = pItem->CreateAttach(nullptr, 0, &ulNumber, pAttach.AddressOf())))
        return hr;
    const FILETIME ftStartLocal = Util::UInt64ToFileTime(static_cast<ULONGLONG>(GetStartDateTime()) * 600000000ULL);
    const FILETIME ftEndLocal = Util::UInt64ToFileTime(static_cast<ULONGLONG>(GetEndDateTime()) * 600000000ULL);
    SPropValue attachProps[5]{};
    attachProps[0].ulPropTag = PR_ATTACHMENT_HIDDEN;
    attachProps[0].Value.b = 1;
    attachProps[1].ulPropTag = PR_ATTACHMENT_FLAGS;
    attachProps[1].Value.l = kAttachFlagException;
    attachProps[2].ulPropTag = PR_ATTACH_METHOD;
    attachProps[2].Value.l = ATTACH_EMBEDDED_MSG;
    attachProps[3] = TimeValue(PR_EXCEPTION_STARTTIME, ftStartLocal);
    attachProps[4] = TimeValue(PR_EXCEPTION_ENDTIME, ftEndLocal);
    if (FAILED(hr = pAttach->SetProps(5, attachProps, nullptr)))
        return hr;
    Platform::ComPtr<IMessage> pMessage;
    hr = pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                               reinterpret_cast<LPUNKNOWN*>(pMessage.AddressOf()));
    if (FAILED(hr))
        return hr;
    SPropValue messageProps[2]{};
    messageProps[0].ulPropTag = PR_MESSAGE_CLASS_W;
    messageProps[0].Value.lpszW = const_cast<wchar_t*>(kExceptionMessageClass);
    messageProps[1] = TimeValue(NAMED_PROP(N::APPT_8228, PT_SYSTIME, pProps), ftOriginal);
    if (FAILED(hr = pMessage->SetProps(2, messageProps, nullptr)) ||
        FAILED(hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE)) ||
        FAILED(hr = pAttach->SaveChanges(KEEP_OPEN_READWRITE)))
        return hr;
    *ppAttach = pAttach.Detach();
    *ppEmbedded = pMessage.Detach();
    return S_OK;
}

// ---- Series ----------------------------------------------------------------------------------

HRESULT Appt::ClearRecurrencePattern() {
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SizedSPropTagArray(5, tags) = {
        5,
        {Tag(N::TASK_8116, PT_BINARY), Tag(N::TASK_8116_2, PT_BINARY), Tag(N::APPT_8223, PT_BOOLEAN),
         Tag(N::APPT_8216, PT_BINARY), Tag(N::MEETING_000A, PT_BOOLEAN)}};
    HRESULT hr = m_pProp->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr);
    if (FAILED(hr))
        return hr;
    Platform::ComPtr<IMessage> pItem;
    if (SUCCEEDED(m_pProp.As(&pItem))) {
        std::vector<ULONG> vecNumbers;
        if (FAILED(hr = ExceptionAttachments(pItem.Get(), vecNumbers)))
            return hr;
        for (ULONG ulNumber : vecNumbers) {
            Platform::ComPtr<IAttach> pAttach;
            Platform::ComPtr<IMessage> pMessage;
            if (FAILED(OpenExceptionMessage(pItem.Get(), ulNumber, pAttach.AddressOf(), pMessage.AddressOf())))
                continue;
            pMessage.Reset();
            pAttach.Reset();
            if (FAILED(hr = pItem->DeleteAttach(ulNumber, 0, nullptr, 0)))
                return hr;
        }
    }
    m_recurrence.ClearRecurrencePattern();
    return S_OK;
}

HRESULT Appt::GetAppointment(IMAPIFolder* pFolder, const SPropValue* pEntryId, IMsgStore* pStore,
                             std::unique_ptr<Appt>& pAppt) {
    if (!pFolder || !pEntryId || PROP_TYPE(pEntryId->ulPropTag) != PT_BINARY)
        return E_INVALIDARG;
    Platform::ComPtr<IMessage> pMessage;
    ULONG ulType = 0;
    const HRESULT hr =
        pFolder->OpenEntry(pEntryId->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEntryId->Value.bin.lpb), nullptr,
                           MAPI_MODIFY, &ulType, reinterpret_cast<LPUNKNOWN*>(pMessage.AddressOf()));
    OSTLOG_INFO(16, L"Returning 0x%x", static_cast<unsigned>(hr));
    if (FAILED(hr))
        return hr;
    pAppt = std::make_unique<Appt>(pMessage.Get(), pStore);
    return S_OK;
}

HRESULT Appt::GetExceptionAppointment(IMessage* pSeries, const FILETIME& ftOriginalUtc, IMsgStore* pStore,
                                      std::unique_ptr<Appt>& pAppt) {
    if (!pSeries)
        return E_INVALIDARG;
    Platform::ComPtr<IAttach> pAttach;
    Platform::ComPtr<IMessage> pMessage;
    const HRESULT hr = FindException(pSeries, ftOriginalUtc, pAttach.AddressOf(), pMessage.AddressOf());
    OSTLOG_INFO(16, L"Returning 0x%x", static_cast<unsigned>(hr));
    if (FAILED(hr))
        return hr;
    ExceptionContext context;
    context.pAttach = pAttach.Get();
    pAppt = std::make_unique<Appt>(pMessage.Get(), pStore, context);
    return S_OK;
}

// ---- UIDs ------------------------------------------------------------------------------------

std::wstring Appt::Uid() {
    std::vector<BYTE> vec;
    if (FAILED(GetBytes(Tag(N::MEETING_0023, PT_BINARY), &vec)) || vec.empty())
        return {};
    SBinary bin{static_cast<ULONG>(vec.size()), vec.data()};
    char* psz = OlkUidToICalUid(bin);
    std::wstring ws = psz ? Platform::FromUtf8(psz) : std::wstring();
    MAPIFreeBuffer(psz);
    return ws;
}

std::vector<BYTE> Appt::UidBinary() {
    std::vector<BYTE> vec;
    GetBytes(Tag(N::MEETING_0003, PT_BINARY), &vec);
    return vec;
}

HRESULT Appt::FindApptsWithMatchingUid(NamedProps* pProps, IMAPIFolder* pFolder, const wchar_t* pwszUid,
                                       UidMapper& found) {
    if (!pwszUid || !*pwszUid) {
        OSTLOG_ERROR(L"Invalid UID");
        return E_INVALIDARG;
    }
    SBinary goid{};
    if (!ICalUidToOlkUid(Platform::ToUtf8(pwszUid).c_str(), goid)) {
        OSTLOG_ERROR(L"Invalid UID");
        return E_INVALIDARG;
    }
    SPropValue value{};
    value.ulPropTag = NAMED_PROP(N::MEETING_0023, PT_BINARY, pProps);
    value.Value.bin = goid;
    const HRESULT hr = FindApptsWithMatchingUid(pProps, pFolder, &value, found);
    MAPIFreeBuffer(goid.lpb);
    return hr;
}

HRESULT Appt::FindApptsWithMatchingUid(NamedProps* pProps, IMAPIFolder* pFolder, const SPropValue* pUid,
                                       UidMapper& found) {
    if (!pUid || PROP_TYPE(pUid->ulPropTag) != PT_BINARY || !pFolder) {
        OSTLOG_ERROR(L"Invalid UID");
        return E_INVALIDARG;
    }
    if (!pProps || !pProps->IsInitialized()) {
        OSTLOG_ERROR(L"Failed to init named props for store");
        return MAPI_E_NOT_FOUND;
    }
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pFolder->GetContentsTable(0, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetContentsTable failed. Returning 0x%x", static_cast<unsigned>(hr));
        return hr;
    }
    SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, pUid->ulPropTag}};
    if (FAILED(hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0))) {
        OSTLOG_ERROR(L"SetColumns failed. Returning 0x%x", static_cast<unsigned>(hr));
        return hr;
    }
    SPropValue value = *pUid;
    SRestriction restriction{};
    restriction.rt = RES_PROPERTY;
    restriction.res.resProperty.relop = RELOP_EQ;
    restriction.res.resProperty.ulPropTag = pUid->ulPropTag;
    restriction.res.resProperty.lpProp = &value;
    if (FAILED(hr = pTable->Restrict(&restriction, 0))) {
        OSTLOG_ERROR(L"Restrict failed. Returning 0x%x", static_cast<unsigned>(hr));
        return hr;
    }
    for (;;) {
        RowSet rows;
        if (FAILED(hr = pTable->QueryRows(100, 0, &rows.p))) {
            OSTLOG_ERROR(L"QueryRows failed. Returning 0x%x", static_cast<unsigned>(hr));
            return hr;
        }
        if (!rows.p || rows.p->cRows == 0)
            break;
        for (ULONG i = 0; i < rows.p->cRows; ++i) {
            const SRow& row = rows.p->aRow[i];
            if (row.cValues < 2 || row.lpProps[0].ulPropTag != PR_ENTRYID) {
                OSTLOG_WARN(L"PR_ENTRYID missing");
                continue;
            }
            if (row.lpProps[1].ulPropTag != pUid->ulPropTag) {
                OSTLOG_WARN(L"PR_GLOBAL_UID missing");
                continue;
            }
            char* pszUid = OlkUidToICalUid(row.lpProps[1].Value.bin);
            found.emplace(pszUid ? pszUid : "", CEntryID(row.lpProps[0].Value.bin));
            MAPIFreeBuffer(pszUid);
        }
    }
    return found.empty() ? MAPI_E_NOT_FOUND : S_OK;
}

}  // namespace Ostrel::Mapi
