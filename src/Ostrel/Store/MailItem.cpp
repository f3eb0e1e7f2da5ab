#include "Ostrel/Store/MailItem.h"

#include <cstring>
#include <string_view>

#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/StoreText.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

// FILETIME to milliseconds since 1970.
LONGLONG FileTimeToUnixMs(const FILETIME& ft) {
    const ULONGLONG ull = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr LONGLONG kEpochDiff = 116444736000000000LL;  // 1601-01-01 to 1970-01-01 in 100 ns
    return (static_cast<LONGLONG>(ull) - kEpochDiff) / 10000;
}

}  // namespace

Mail::MailItemType MsgClassToItemType(const wchar_t* pwszClass) {
    if (!pwszClass)
        return Mail::MIT_MESSAGE;
    struct Prefix {
        std::wstring_view ws;
        Mail::MailItemType type;
    };
    static const Prefix kPrefixes[] = {
        {L"IPM.Contact", Mail::MIT_CONTACT},         {L"IPM.DistList", Mail::MIT_CONTACT},
        {L"IPM.Appointment", Mail::MIT_APPOINTMENT}, {L"IPM.Task", Mail::MIT_TASK},
        {L"IPM.StickyNote", Mail::MIT_NOTE},         {L"IPM.Document", Mail::MIT_DOCUMENT},
    };
    const std::wstring_view wsClass(pwszClass);
    for (const Prefix& prefix : kPrefixes) {
        // A class matches its prefix alone or followed by a derived class (".Custom").
        if (wsClass.size() < prefix.ws.size() || !EqualsNoCase(wsClass.substr(0, prefix.ws.size()), prefix.ws))
            continue;
        if (wsClass.size() == prefix.ws.size() || wsClass[prefix.ws.size()] == L'.')
            return prefix.type;
    }
    return Mail::MIT_MESSAGE;
}

OstrelMailItemBase::OstrelMailItemBase(IMAPIProp* pProp)
    : m_pProp(pProp), m_pNamedProps(pProp ? NamedPropsManager::GetNamedPropsFromMAPIProp(pProp) : nullptr) {}

OstrelMailItemBase::~OstrelMailItemBase() = default;

HRESULT OstrelMailItemBase::GetOne(ULONG ulTag, LPSPropValue* ppValue) {
    *ppValue = nullptr;
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    return HrGetOneProp(m_pProp.Get(), ulTag, ppValue);
}

HRESULT OstrelMailItemBase::SetOne(const SPropValue& value) {
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SPropValue copy = value;
    HRESULT hr = HrSetOneProp(m_pProp.Get(), &copy);
    if (FAILED(hr))
        OSTLOG_ERROR(L"SetProps failed for 0x%08X, hr: %x", value.ulPropTag, hr);
    return hr;
}

LONG OstrelMailItemBase::OstrelId() {
    LPSPropValue pValue = nullptr;
    LONG lId = 0;
    if (SUCCEEDED(GetOne(Tag(NamedProps::OSTREL_ID, PT_LONG), &pValue)))
        lId = pValue->Value.l;
    MAPIFreeBuffer(pValue);
    return lId;
}

HRESULT OstrelMailItemBase::OstrelId(LONG lId) {
    SPropValue value{};
    value.ulPropTag = Tag(NamedProps::OSTREL_ID, PT_LONG);
    value.Value.l = lId;
    return SetOne(value);
}

HRESULT OstrelMailItemBase::StampOstrelId(LONG lId) {
    OSTLOG(4, 0, L"Stamping PR_OSTREL_ID %d", lId);
    return OstrelId(lId);
}

std::wstring OstrelMailItemBase::GetString(NamedProps::PropIdx idx) {
    LPSPropValue pValue = nullptr;
    std::wstring ws;
    if (SUCCEEDED(GetOne(Tag(idx, PT_UNICODE), &pValue)) && pValue->Value.lpszW)
        ws = pValue->Value.lpszW;
    MAPIFreeBuffer(pValue);
    return ws;
}

HRESULT OstrelMailItemBase::SetString(NamedProps::PropIdx idx, const wchar_t* pwsz) {
    if (!pwsz)
        return E_INVALIDARG;
    SPropValue value{};
    value.ulPropTag = Tag(idx, PT_UNICODE);
    value.Value.lpszW = const_cast<wchar_t*>(pwsz);
    return SetOne(value);
}

std::wstring OstrelMailItemBase::ReplicationId() {
    return GetString(NamedProps::REPLICATION_ID);
}
HRESULT OstrelMailItemBase::ReplicationId(const wchar_t* pwszId) {
    return SetString(NamedProps::REPLICATION_ID, pwszId);
}
std::wstring OstrelMailItemBase::LastServerReplicationId() {
    return GetString(NamedProps::LAST_SERVER_REPLICATION_ID);
}
HRESULT OstrelMailItemBase::LastServerReplicationId(const wchar_t* pwszId) {
    return SetString(NamedProps::LAST_SERVER_REPLICATION_ID, pwszId);
}
std::wstring OstrelMailItemBase::DocName() {
    return GetString(NamedProps::DOC_NAME);
}
HRESULT OstrelMailItemBase::DocName(const wchar_t* pwszName) {
    return SetString(NamedProps::DOC_NAME, pwszName);
}

FILETIME OstrelMailItemBase::OstrelLastModified() {
    LPSPropValue pValue = nullptr;
    FILETIME ft{};
    if (SUCCEEDED(GetOne(Tag(NamedProps::OSTREL_LAST_MODIFIED, PT_SYSTIME), &pValue)))
        ft = pValue->Value.ft;
    MAPIFreeBuffer(pValue);
    return ft;
}

HRESULT OstrelMailItemBase::OstrelLastModified(const FILETIME& ft) {
    SPropValue value{};
    value.ulPropTag = Tag(NamedProps::OSTREL_LAST_MODIFIED, PT_SYSTIME);
    value.Value.ft = ft;
    return SetOne(value);
}

ULONG OstrelMailItemBase::DocVersion() {
    LPSPropValue pValue = nullptr;
    ULONG ul = 0;
    if (SUCCEEDED(GetOne(Tag(NamedProps::DOC_VERSION, PT_LONG), &pValue)))
        ul = pValue->Value.ul;
    MAPIFreeBuffer(pValue);
    return ul;
}

HRESULT OstrelMailItemBase::DocVersion(ULONG ulVersion) {
    SPropValue value{};
    value.ulPropTag = Tag(NamedProps::DOC_VERSION, PT_LONG);
    value.Value.ul = ulVersion;
    return SetOne(value);
}

bool OstrelMailItemBase::IgnoreLocalChanges() {
    LPSPropValue pValue = nullptr;
    bool b = false;
    if (SUCCEEDED(GetOne(Tag(NamedProps::IGNORE_LOCAL_CHANGES, PT_BOOLEAN), &pValue)))
        b = pValue->Value.b != 0;
    MAPIFreeBuffer(pValue);
    return b;
}

HRESULT OstrelMailItemBase::IgnoreLocalChanges(int bIgnore, int bSave) {
    SPropValue value{};
    value.ulPropTag = Tag(NamedProps::IGNORE_LOCAL_CHANGES, PT_BOOLEAN);
    value.Value.b = bIgnore ? 1 : 0;
    HRESULT hr = SetOne(value);
    if (SUCCEEDED(hr) && bSave) {
        hr = m_pProp->SaveChanges(KEEP_OPEN_READWRITE);
        if (FAILED(hr))
            OSTLOG_ERROR(L"SaveChanges failed, hr: %x", hr);
    }
    return hr;
}

LONG OstrelMailItemBase::Sensitivity() {
    LPSPropValue pValue = nullptr;
    LONG l = 0;
    if (SUCCEEDED(GetOne(PR_SENSITIVITY, &pValue)))
        l = pValue->Value.l;
    MAPIFreeBuffer(pValue);
    return l;
}

HRESULT OstrelMailItemBase::GetDeliveryTime(std::wstring& wsMillis) {
    wsMillis.clear();
    LPSPropValue pValue = nullptr;
    HRESULT hr = GetOne(PR_MESSAGE_DELIVERY_TIME, &pValue);
    if (SUCCEEDED(hr))
        wsMillis = std::to_wstring(FileTimeToUnixMs(pValue->Value.ft));
    MAPIFreeBuffer(pValue);
    return hr;
}

namespace {

HRESULT CopyBinary(const SBinary& bin, SBinary* pOut) {
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(bin.cb ? bin.cb : 1, &p);
    if (FAILED(hr))
        return hr;
    if (bin.cb)
        memcpy(p, bin.lpb, bin.cb);
    pOut->cb = bin.cb;
    pOut->lpb = static_cast<LPBYTE>(p);
    return S_OK;
}

}  // namespace

HRESULT OstrelMailItemBase::EntryId(SBinary* pEntryId) {
    if (!pEntryId)
        return E_INVALIDARG;
    *pEntryId = {0, nullptr};
    LPSPropValue pValue = nullptr;
    HRESULT hr = GetOne(PR_ENTRYID, &pValue);
    if (SUCCEEDED(hr))
        hr = CopyBinary(pValue->Value.bin, pEntryId);
    MAPIFreeBuffer(pValue);
    return hr;
}

HRESULT OstrelMailItemBase::ParentEntryId(SBinary* pEntryId) {
    if (!pEntryId)
        return E_INVALIDARG;
    *pEntryId = {0, nullptr};
    LPSPropValue pValue = nullptr;
    HRESULT hr = GetOne(PR_PARENT_ENTRYID, &pValue);
    if (SUCCEEDED(hr))
        hr = CopyBinary(pValue->Value.bin, pEntryId);
    MAPIFreeBuffer(pValue);
    return hr;
}

bool OstrelMailItemBase::Exists() {
    if (!m_pProp)
        return false;
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(m_pProp.Get(), PR_ENTRYID, &pValue);
    MAPIFreeBuffer(pValue);
    return SUCCEEDED(hr);
}

Mail::MailItemType OstrelMailItemBase::OstrelMailItemType() {
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return Mail::MIT_MESSAGE;
    }
    SizedSPropTagArray(2, tags) = {2, {PR_OBJECT_TYPE, PR_MESSAGE_CLASS_W}};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    HRESULT hr = m_pProp->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pValues);
    Mail::MailItemType type = Mail::MIT_MESSAGE;
    if (SUCCEEDED(hr) && pValues && cValues == 2) {
        if (pValues[0].ulPropTag == PR_OBJECT_TYPE &&
            (pValues[0].Value.ul == MAPI_FOLDER || pValues[0].Value.ul == MAPI_STORE))
            type = Mail::MIT_FOLDER;
        else if (pValues[1].ulPropTag == PR_MESSAGE_CLASS_W)
            type = MsgClassToItemType(pValues[1].Value.lpszW);
    }
    MAPIFreeBuffer(pValues);
    return type;
}

}  // namespace Ostrel::Mapi
