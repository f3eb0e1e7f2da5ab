// The parts of reading a store contact that look beyond its plain properties: distribution-list
// members, user-defined fields (named properties with string names) and the photo attachment.
#include <cinttypes>
#include <cstdio>

#include "Ostrel/Convert/Contact/ContactValues.h"
#include "Ostrel/Convert/Contact/M2LContactConverter.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

using Mail::Contact;

namespace {

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};
using PropPtr = std::unique_ptr<SPropValue, MapiFree>;

std::wstring StringOf(IMAPIProp* pProp, ULONG ulTag) {
    LPSPropValue p = nullptr;
    std::wstring ws;
    if (PROP_ID(ulTag) && SUCCEEDED(HrGetOneProp(pProp, ulTag, &p)) && p && PROP_TYPE(p->ulPropTag) == PT_UNICODE &&
        p->Value.lpszW)
        ws = p->Value.lpszW;
    MAPIFreeBuffer(p);
    return ws;
}

// The text an inline member is sent as: the address, or the name when it holds the address.
std::wstring InlineMember(const std::wstring& wsName, const std::wstring& wsAddress) {
    if (wsName.empty() || wsName == wsAddress)
        return wsAddress;
    if (wsName.find(wsAddress) != std::wstring::npos)
        return wsName;
    return wsName + L" <" + wsAddress + L">";
}

}  // namespace

bool M2LContactConverter::MemberOf(const SBinary& member, const SBinary* pOneOff, wchar_t& type,
                                   std::wstring& wsValue) {
    std::string_view bytes(reinterpret_cast<const char*>(member.lpb), member.cb);
    std::wstring wsName, wsAddrType, wsAddress;
    BYTE bType = 0;
    std::string sInner;
    if (UnwrapEntryId(bytes, bType, sInner) && (bType & 0x0F) != 0) {
        ULONG ulObjType = 0;
        Platform::ComPtr<IUnknown> pObj;
        if (m_pStore &&
            SUCCEEDED(m_pStore->OpenEntry(static_cast<ULONG>(sInner.size()), reinterpret_cast<LPENTRYID>(sInner.data()),
                                          nullptr, 0, &ulObjType, pObj.AddressOf()))) {
            auto* pProp = static_cast<IMAPIProp*>(pObj.Get());
            std::wstring wsRef = StringOf(pProp, Named(NamedProps::CONTACT_DATA, PT_UNICODE));
            if (wsRef.empty())
                wsRef = StringOf(pProp, Named(NamedProps::GAL_UNIQUE_ID, PT_UNICODE));
            LPSPropValue pId = nullptr;
            LONG lId = 0;
            if (SUCCEEDED(HrGetOneProp(pProp, Named(NamedProps::OSTREL_ID, PT_LONG), &pId)) && pId &&
                PROP_TYPE(pId->ulPropTag) == PT_LONG)
                lId = pId->Value.l;
            MAPIFreeBuffer(pId);
            if (!wsRef.empty()) {
                type = L'G';
                wsValue = wsRef;
                return true;
            }
            if (lId > 0) {
                type = L'C';
                wsValue = std::to_wstring(lId);
                return true;
            }
        }
        // A contact the server does not know yet goes as its address.
    } else if (UnwrapEntryId(bytes, bType, sInner)) {
        bytes = sInner;
    }
    bool bParsed = Platform::Mapi::ParseOneOffEntryId(static_cast<ULONG>(bytes.size()), bytes.data(), &wsName,
                                                      &wsAddrType, &wsAddress);
    if (!bParsed && pOneOff)
        bParsed = Platform::Mapi::ParseOneOffEntryId(pOneOff->cb, pOneOff->lpb, &wsName, &wsAddrType, &wsAddress);
    if (!bParsed) {
        OSTLOG_ERROR(L"Failed to unwrap EID");
        return false;
    }
    if (wsAddress.empty()) {
        OSTLOG_ERROR(L"Failed to get PR_EMAIL_ADDRESS");
        return false;
    }
    type = L'I';
    wsValue = InlineMember(wsName, wsAddress);
    return true;
}

void M2LContactConverter::AddGroupMembers(Contact& contact) {
    PropPtr pMembers(GetOne(Named(NamedProps::ADDR_8055, PT_MV_BINARY)));
    PropPtr pOneOffs(GetOne(Named(NamedProps::ADDR_8054, PT_MV_BINARY)));
    ULONG cMembers = pMembers && PROP_TYPE(pMembers->ulPropTag) == PT_MV_BINARY ? pMembers->Value.MVbin.cValues : 0;
    ULONG cOneOffs = pOneOffs && PROP_TYPE(pOneOffs->ulPropTag) == PT_MV_BINARY ? pOneOffs->Value.MVbin.cValues : 0;
    if (cMembers != cOneOffs) {
        OSTLOG_ERROR(L"Mismatched PR_CONTACT_MEMBERS (%d) and PR_CONTACT_ONEOFFMEMBERS counts (%d)",
                     static_cast<int>(cMembers), static_cast<int>(cOneOffs));
        return;
    }
    for (ULONG i = 0; i < cMembers; ++i) {
        wchar_t type = 0;
        std::wstring wsValue;
        if (!MemberOf(pMembers->Value.MVbin.lpbin[i], &pOneOffs->Value.MVbin.lpbin[i], type, wsValue))
            continue;
        OSTLOG_INFO(8, L"Adding type:'%c' value:'%s'", type, wsValue.c_str());
        contact.GroupMembers().put(type, wsValue);
    }
}

void M2LContactConverter::AddContactUDFs(Contact& contact) {
    LPSPropTagArray pList = nullptr;
    if (FAILED(m_pMsg->GetPropList(MAPI_UNICODE, &pList)) || !pList)
        return;
    std::vector<ULONG> named;
    for (ULONG i = 0; i < pList->cValues; ++i)
        if (PROP_ID(pList->aulPropTag[i]) >= 0x8000)
            named.push_back(pList->aulPropTag[i]);
    MAPIFreeBuffer(pList);
    if (named.empty())
        return;
    LPSPropTagArray pTags = nullptr;
    if (FAILED(Platform::Mapi::AllocTagArray(named, &pTags)))
        return;
    ULONG cNames = 0;
    LPMAPINAMEID* ppNames = nullptr;
    HRESULT hr = m_pMsg->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames);
    if (FAILED(hr) || cNames != named.size()) {
        OSTLOG_ERROR(L"GetNamesFromIDs failed: %08x", hr);
        MAPIFreeBuffer(ppNames);
        MAPIFreeBuffer(pTags);
        return;
    }
    bool bHeader = false;
    for (ULONG i = 0; i < cNames; ++i) {
        const MAPINAMEID* pName = ppNames[i];
        if (!pName || pName->ulKind != MNID_STRING || !pName->Kind.lpwstrName || !*pName->Kind.lpwstrName)
            continue;
        const wchar_t* pwszField = pName->Kind.lpwstrName;
        PropPtr pValue(GetOne(named[i]));
        if (!pValue || PROP_TYPE(pValue->ulPropTag) == PT_ERROR)
            continue;
        wchar_t buf[64] = L"";
        std::wstring wsText;
        const wchar_t* pwszType = L"";
        switch (PROP_TYPE(pValue->ulPropTag)) {
            case PT_LONG:
                wsText = std::to_wstring(pValue->Value.l);
                pwszType = L"Integer";
                break;
            case PT_DOUBLE:
                std::swprintf(buf, 64, L"%.15g", pValue->Value.dbl);
                wsText = buf;
                pwszType = L"Number";
                break;
            case PT_CURRENCY:
                std::swprintf(buf, 64, L"$%" PRId64, static_cast<int64_t>(pValue->Value.cur.int64));
                wsText = buf;
                pwszType = L"Currency";
                break;
            case PT_BOOLEAN:
                wsText = pValue->Value.b ? L"TRUE" : L"FALSE";
                pwszType = L"YesNo";
                break;
            case PT_UNICODE:
                wsText = pValue->Value.lpszW ? pValue->Value.lpszW : L"";
                if (wsText.empty())
                    OSTLOG_INFO(8, L"NULL string");
                pwszType = L"Text";
                break;
            case PT_SYSTIME: {
                SYSTEMTIME st{};
                Util::FileTimeToSystemTime(&pValue->Value.ft, &st);
                std::swprintf(buf, 64, L"%4d-%02d-%02d", st.wYear, st.wMonth, st.wDay);
                wsText = buf;
                pwszType = L"DateTime";
                break;
            }
            default:
                OSTLOG_INFO(8, L"MAPI type %0x not supported: user defined field '%s' will not be synced",
                            PROP_TYPE(pValue->ulPropTag), pwszField);
                continue;
        }
        if (!bHeader) {
            OSTLOG_INFO(8, L"User Defined Fields");
            bHeader = true;
        }
        OSTLOG_INFO(8, L"%-35s %-10s", pwszField, pwszType);
        contact.SetAttribute(pwszField, wsText);
    }
    MAPIFreeBuffer(ppNames);
    MAPIFreeBuffer(pTags);
}

HRESULT M2LContactConverter::ReadPhoto() {
    m_sPhoto.clear();
    m_wsPhotoName.clear();
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = m_pMsg->GetAttachmentTable(0, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetAttachmentTable failed : 0x%x", hr);
        return hr;
    }
    LPSPropTagArray pCols = nullptr;
    if (FAILED(hr = Platform::Mapi::AllocTagArray({PR_ATTACH_NUM, PR_ATTACHMENT_CONTACTPHOTO}, &pCols)))
        return hr;
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), pCols, nullptr, nullptr, 0, &pRows);
    MAPIFreeBuffer(pCols);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"HrQueryAllRows failed : 0x%x", hr);
        return hr;
    }
    LONG lNum = -1;
    for (ULONG i = 0; i < pRows->cRows && lNum < 0; ++i) {
        const SRow& row = pRows->aRow[i];
        if (row.cValues == 2 && row.lpProps[1].ulPropTag == PR_ATTACHMENT_CONTACTPHOTO && row.lpProps[1].Value.b)
            lNum = row.lpProps[0].Value.l;
    }
    FreeProws(pRows);
    if (lNum < 0)
        return S_OK;
    Platform::ComPtr<IAttach> pAttach;
    if (FAILED(hr = m_pMsg->OpenAttach(static_cast<ULONG>(lNum), nullptr, 0, pAttach.AddressOf()))) {
        OSTLOG_ERROR(L"OpenAttach failed : 0x%x", hr);
        return hr;
    }
    LPSPropValue pData = nullptr;
    if (FAILED(hr = HrGetOneProp(pAttach.Get(), PR_ATTACH_DATA_BIN, &pData))) {
        OSTLOG_ERROR(L"OpenProperty failed : 0x%x", hr);
        return hr;
    }
    m_sPhoto.assign(reinterpret_cast<const char*>(pData->Value.bin.lpb), pData->Value.bin.cb);
    MAPIFreeBuffer(pData);
    m_wsPhotoName = StringOf(pAttach.Get(), PR_ATTACH_FILENAME_W);
    return S_OK;
}

}  // namespace Ostrel::Mapi
