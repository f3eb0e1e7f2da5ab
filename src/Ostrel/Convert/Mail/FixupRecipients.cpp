#include <cwchar>
#include <string>
#include <vector>

#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Ostrel/Store/HostClient.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Log.h"

namespace {

struct ChangedRow {
    std::wstring wsName;
    std::wstring wsAddress;
    LONG lType = 0;
    LONG lRowId = 0;
};

wchar_t* CopyMore(const std::wstring& text, void* pParent) {
    void* p = nullptr;
    if (FAILED(MAPIAllocateMore(static_cast<ULONG>((text.size() + 1) * sizeof(wchar_t)), pParent, &p)))
        return nullptr;
    std::wmemcpy(static_cast<wchar_t*>(p), text.c_str(), text.size() + 1);
    return static_cast<wchar_t*>(p);
}

// An address list of the changed rows, without entry ids so that they are resolved again.
HRESULT BuildAdrList(const std::vector<ChangedRow>& rows, LPADRLIST* ppList) {
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(CbNewADRLIST(static_cast<ULONG>(rows.size())), &p);
    if (FAILED(hr))
        return hr;
    auto* pList = static_cast<LPADRLIST>(p);
    pList->cEntries = 0;
    for (const ChangedRow& row : rows) {
        void* pv = nullptr;
        hr = MAPIAllocateBuffer(5 * sizeof(SPropValue), &pv);
        if (FAILED(hr))
            break;
        auto* pProps = static_cast<LPSPropValue>(pv);
        ADRENTRY& entry = pList->aEntries[pList->cEntries++];
        entry.ulReserved1 = 0;
        entry.cValues = 5;
        entry.rgPropVals = pProps;
        pProps[0].ulPropTag = PR_DISPLAY_NAME_W;
        pProps[0].Value.lpszW = CopyMore(row.wsName, pv);
        pProps[1].ulPropTag = PR_ADDRTYPE_W;
        pProps[1].Value.lpszW = CopyMore(L"SMTP", pv);
        pProps[2].ulPropTag = PR_EMAIL_ADDRESS_W;
        pProps[2].Value.lpszW = CopyMore(row.wsAddress, pv);
        pProps[3].ulPropTag = PR_RECIPIENT_TYPE;
        pProps[3].Value.l = row.lType;
        pProps[4].ulPropTag = PR_ROWID;
        pProps[4].Value.l = row.lRowId;
        if (!pProps[0].Value.lpszW || !pProps[1].Value.lpszW || !pProps[2].Value.lpszW) {
            hr = MAPI_E_NOT_ENOUGH_MEMORY;
            break;
        }
    }
    if (FAILED(hr)) {
        FreePadrlist(pList);
        return hr;
    }
    *ppList = pList;
    return S_OK;
}

}  // namespace

int WorkAroundRecepientForSpecialChars(IMessage** ppMessage, IStream*) {
    if (!ppMessage || !*ppMessage)
        return 0;
    IMessage* pMessage = *ppMessage;
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not get the recipient table, hr: %x", hr);
        return 0;
    }
    SizedSPropTagArray(5, cols) = {5, {PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W, PR_ENTRYID, PR_ROWID}};
    hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not restrict the columns of the recipient table, hr: %x", hr);
        return 0;
    }
    ULONG cRows = 0;
    hr = pTable->GetRowCount(0, &cRows);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not get the recipient table row count, hr: %x", hr);
        return 0;
    }
    LPSRowSet pRows = nullptr;
    hr = pTable->QueryRows(static_cast<LONG>(cRows), 0, &pRows);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not get the query recipient table rows, hr: %x", hr);
        return 0;
    }
    std::vector<ChangedRow> changed;
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SRow& row = pRows->aRow[i];
        const SPropValue* pName = PpropFindProp(row.lpProps, row.cValues, PR_DISPLAY_NAME_W);
        const SPropValue* pRowId = PpropFindProp(row.lpProps, row.cValues, PR_ROWID);
        if (!pName || !pName->Value.lpszW || !pRowId || !std::wcschr(pName->Value.lpszW, L':'))
            continue;
        ChangedRow c;
        c.wsName = pName->Value.lpszW;
        for (wchar_t& ch : c.wsName) {
            if (ch == L':')
                ch = L'_';
        }
        if (const SPropValue* p = PpropFindProp(row.lpProps, row.cValues, PR_EMAIL_ADDRESS_W))
            c.wsAddress = p->Value.lpszW ? p->Value.lpszW : L"";
        if (const SPropValue* p = PpropFindProp(row.lpProps, row.cValues, PR_RECIPIENT_TYPE))
            c.lType = p->Value.l;
        c.lRowId = pRowId->Value.l;
        changed.push_back(std::move(c));
    }
    FreeProws(pRows);
    if (changed.empty())
        return 0;

    Platform::ComPtr<IMAPISession> pSession;
    Platform::ComPtr<IAddrBook> pAddrBook;
    if (FAILED(Ostrel::Mapi::GetGlobalMAPISession(pSession)) ||
        FAILED(pSession->OpenAddressBook(0, nullptr, 0, pAddrBook.AddressOf()))) {
        OSTLOG_ERROR(L"Failed to get support object");
        return 0;
    }
    LPADRLIST pList = nullptr;
    hr = BuildAdrList(changed, &pList);
    if (SUCCEEDED(hr)) {
        hr = pAddrBook->ResolveName(0, MAPI_UNICODE, nullptr, pList);
        if (FAILED(hr))
            OSTLOG_ERROR(L"could not ResolveName, hr: %x", hr);
    }
    if (SUCCEEDED(hr)) {
        hr = pMessage->ModifyRecipients(MODRECIP_MODIFY, pList);
        if (FAILED(hr))
            OSTLOG_ERROR(L"could not ModifyRecipients, hr: %x", hr);
    }
    FreePadrlist(pList);
    if (SUCCEEDED(hr)) {
        hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE);
        if (FAILED(hr))
            OSTLOG_ERROR(L"could not SaveChanges, hr: %x", hr);
    }
    return SUCCEEDED(hr) ? 1 : 0;
}
