#include "Ostrel/Store/StoreText.h"

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Props/PropCodec.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return Platform::Mapi::FoldCase(Platform::ToUtf8(a)) == Platform::Mapi::FoldCase(Platform::ToUtf8(b));
}

HRESULT QueryAllRows(IMAPITable* pTable, const SPropTagArray* pColumns, LPSRowSet* ppRows) {
    *ppRows = nullptr;
    ULONG cRows = 0;
    HRESULT hr = pTable->GetRowCount(0, &cRows);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetRowCount() failed, hr: %x", hr);
        return hr;
    }
    hr = pTable->SetColumns(const_cast<LPSPropTagArray>(pColumns), 0);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"SetColumns() failed, hr: %x", hr);
        return hr;
    }
    hr = pTable->QueryRows(static_cast<LONG>(cRows ? cRows : 1), 0, ppRows);
    if (FAILED(hr))
        OSTLOG_ERROR(L"QueryRows() failed, hr: %x", hr);
    return hr;
}

const wchar_t* RowString(const SRow& row, ULONG i, ULONG ulTag) {
    if (i >= row.cValues || row.lpProps[i].ulPropTag != ulTag)
        return nullptr;
    return row.lpProps[i].Value.lpszW;
}

}  // namespace Ostrel::Mapi
