#include "Platform/Mapi/MapiUtil.h"

#include <cstring>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/FileStream.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/Store/Table.h"

using Platform::Mapi::DecodeValue;
using Platform::Mapi::EncodeValue;
using Platform::Mapi::StoredProp;

HRESULT HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
    if (!lpMapiProp || !lppProp)
        return MAPI_E_INVALID_PARAMETER;
    *lppProp = nullptr;
    SizedSPropTagArray(1, tags) = {1, {ulPropTag}};
    ULONG cValues = 0;
    LPSPropValue lpProps = nullptr;
    HRESULT hr = lpMapiProp->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &lpProps);
    if (FAILED(hr))
        return hr;
    if (cValues != 1 || !lpProps) {
        MAPIFreeBuffer(lpProps);
        return MAPI_E_CALL_FAILED;
    }
    if (PROP_TYPE(lpProps->ulPropTag) == PT_ERROR) {
        hr = lpProps->Value.err;
        MAPIFreeBuffer(lpProps);
        return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
    }
    *lppProp = lpProps;
    return S_OK;
}

HRESULT HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
    if (!lpMapiProp || !lpProp)
        return MAPI_E_INVALID_PARAMETER;
    LPSPropProblemArray lpProblems = nullptr;
    HRESULT hr = lpMapiProp->SetProps(1, lpProp, &lpProblems);
    if (SUCCEEDED(hr) && lpProblems && lpProblems->cProblem)
        hr = lpProblems->aProblem[0].scode;
    MAPIFreeBuffer(lpProblems);
    return hr;
}

LPSPropValue PpropFindProp(LPSPropValue lpPropArray, ULONG cValues, ULONG ulPropTag) {
    if (!lpPropArray)
        return nullptr;
    for (ULONG i = 0; i < cValues; ++i) {
        ULONG ulTag = lpPropArray[i].ulPropTag;
        if (ulTag == ulPropTag || (PROP_TYPE(ulPropTag) == PT_UNSPECIFIED && PROP_ID(ulTag) == PROP_ID(ulPropTag)))
            return &lpPropArray[i];
    }
    return nullptr;
}

BOOL FPropExists(LPMAPIPROP lpMapiProp, ULONG ulPropTag) {
    LPSPropValue lpProp = nullptr;
    HRESULT hr = HrGetOneProp(lpMapiProp, ulPropTag, &lpProp);
    MAPIFreeBuffer(lpProp);
    return SUCCEEDED(hr);
}

void FreeProws(LPSRowSet lpRows) {
    if (!lpRows)
        return;
    for (ULONG i = 0; i < lpRows->cRows; ++i)
        MAPIFreeBuffer(lpRows->aRow[i].lpProps);
    MAPIFreeBuffer(lpRows);
}

void FreePadrlist(LPADRLIST lpAdrList) {
    if (!lpAdrList)
        return;
    for (ULONG i = 0; i < lpAdrList->cEntries; ++i)
        MAPIFreeBuffer(lpAdrList->aEntries[i].rgPropVals);
    MAPIFreeBuffer(lpAdrList);
}

HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                       LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
    if (!lpTable || !lppRows)
        return MAPI_E_INVALID_PARAMETER;
    *lppRows = nullptr;
    HRESULT hr = S_OK;
    if (lpPropTags)
        hr = lpTable->SetColumns(lpPropTags, TBL_BATCH);
    if (SUCCEEDED(hr))
        hr = lpTable->Restrict(lpRestriction, TBL_BATCH);
    if (SUCCEEDED(hr) && lpSortOrderSet)
        hr = lpTable->SortTable(lpSortOrderSet, TBL_BATCH);
    if (SUCCEEDED(hr))
        hr = lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    ULONG cRows = 0;
    if (SUCCEEDED(hr))
        hr = lpTable->GetRowCount(0, &cRows);
    if (FAILED(hr))
        return hr;
    if (crowsMax > 0 && cRows > static_cast<ULONG>(crowsMax))
        return MAPI_E_TABLE_TOO_BIG;
    return lpTable->QueryRows(static_cast<LONG>(std::max<ULONG>(cRows, 1)), 0, lppRows);
}

HRESULT ForEachRow(LPMAPITABLE lpTable, const std::function<void(const SRow&)>& f) {
    constexpr LONG kRowsPerQuery = 256;
    if (!lpTable)
        return MAPI_E_INVALID_PARAMETER;
    for (;;) {
        LPSRowSet lpRows = nullptr;
        HRESULT hr = lpTable->QueryRows(kRowsPerQuery, 0, &lpRows);
        if (FAILED(hr))
            return hr;
        const ULONG cRows = lpRows ? lpRows->cRows : 0;
        try {
            for (ULONG i = 0; i < cRows; ++i)
                f(lpRows->aRow[i]);
        } catch (...) {
            FreeProws(lpRows);
            throw;
        }
        FreeProws(lpRows);
        if (!cRows)
            return S_OK;
    }
}

SCODE PropCopyMore(LPSPropValue lpSPropValueDest, LPSPropValue lpSPropValueSrc, LPALLOCATEMORE lpfAllocMore,
                   LPVOID lpvObject) {
    if (!lpSPropValueDest || !lpSPropValueSrc || !lpvObject)
        return MAPI_E_INVALID_PARAMETER;
    ULONG ulType = PROP_TYPE(lpSPropValueSrc->ulPropTag);
    if (!Platform::Mapi::IsStorableType(ulType)) {
        // Error, null and object values have no variable parts.
        *lpSPropValueDest = *lpSPropValueSrc;
        return S_OK;
    }
    StoredProp stored;
    HRESULT hr = EncodeValue(*lpSPropValueSrc, stored);
    if (FAILED(hr))
        return hr;
    struct FnAllocator : Platform::Mapi::Allocator {
        LPALLOCATEMORE pfn;
        void* pParent;
        void* Allocate(size_t cb) override {
            void* p = nullptr;
            return SUCCEEDED(pfn(static_cast<ULONG>(cb), pParent, &p)) ? p : nullptr;
        }
    } alloc;
    alloc.pfn = lpfAllocMore ? lpfAllocMore : MAPIAllocateMore;
    alloc.pParent = lpvObject;
    return DecodeValue(stored, lpSPropValueSrc->ulPropTag, lpSPropValueDest, alloc);
}

SCODE ScDupPropset(int cValues, LPSPropValue lpPropArray, LPALLOCATEBUFFER lpAllocateBuffer,
                   LPSPropValue* lppPropArray) {
    if (cValues < 0 || (cValues && !lpPropArray) || !lppPropArray)
        return MAPI_E_INVALID_PARAMETER;
    *lppPropArray = nullptr;
    void* p = nullptr;
    HRESULT hr = (lpAllocateBuffer ? lpAllocateBuffer : MAPIAllocateBuffer)(
        static_cast<ULONG>(sizeof(SPropValue) * std::max(cValues, 1)), &p);
    if (FAILED(hr))
        return hr;
    auto* pDest = static_cast<LPSPropValue>(p);
    for (int i = 0; i < cValues; ++i) {
        hr = PropCopyMore(&pDest[i], &lpPropArray[i], MAPIAllocateMore, pDest);
        if (FAILED(hr)) {
            MAPIFreeBuffer(pDest);
            return hr;
        }
    }
    *lppPropArray = pDest;
    return S_OK;
}

HRESULT OpenStreamOnFile(LPALLOCATEBUFFER, LPFREEBUFFER, ULONG ulFlags, const wchar_t* lpszFileName,
                         const wchar_t* lpszPrefix, LPSTREAM* lppStream) {
    if (!lppStream)
        return MAPI_E_INVALID_PARAMETER;
    *lppStream = nullptr;
    if (ulFlags & SOF_UNIQUEFILENAME) {
        std::filesystem::path dir =
            lpszFileName ? std::filesystem::path(Platform::ToUtf8(lpszFileName)) : std::filesystem::path();
        std::string prefix = lpszPrefix ? Platform::ToUtf8(lpszPrefix) : std::string();
        return Platform::CreateUniqueFileStream(dir, prefix, true, lppStream);
    }
    if (!lpszFileName || !*lpszFileName)
        return MAPI_E_INVALID_PARAMETER;
    return Platform::CreateFileStream(std::filesystem::path(Platform::ToUtf8(lpszFileName)),
                                      ulFlags & ~SOF_UNIQUEFILENAME, ulFlags & STGM_DELETEONRELEASE, lppStream);
}

size_t MultiValueElementSize(ULONG ulBase) {
    switch (ulBase) {
        case PT_SHORT:
            return sizeof(SHORT);
        case PT_LONG:
            return sizeof(LONG);
        case PT_FLOAT:
            return sizeof(float);
        case PT_DOUBLE:
        case PT_APPTIME:
            return sizeof(double);
        case PT_CURRENCY:
            return sizeof(CURRENCY);
        case PT_I8:
            return sizeof(LARGE_INTEGER);
        case PT_SYSTIME:
            return sizeof(FILETIME);
        case PT_CLSID:
            return sizeof(GUID);
        case PT_STRING8:
            return sizeof(LPSTR);
        case PT_UNICODE:
            return sizeof(LPWSTR);
        case PT_BINARY:
            return sizeof(SBinary);
        default:
            return 0;
    }
}

namespace Platform::Mapi {

namespace {

const char* ErrorText(HRESULT hr) {
    switch (hr) {
        case MAPI_E_NOT_FOUND:
            return "The property or object was not found.";
        case MAPI_E_CORRUPT_STORE:
            return "The store file is damaged or is not a store.";
        case MAPI_E_COLLISION:
            return "A folder with this name already exists.";
        case MAPI_E_NO_ACCESS:
            return "The object is not open for writing.";
        case MAPI_E_INVALID_PARAMETER:
            return "An argument is not valid.";
        case MAPI_E_INVALID_ENTRYID:
            return "The entry id does not belong to this store.";
        case MAPI_E_OBJECT_CHANGED:
            return "The object was changed by another session since it was opened.";
        case MAPI_E_OBJECT_DELETED:
            return "The object was deleted.";
        case MAPI_E_TOO_COMPLEX:
            return "The restriction or sort order is not supported.";
        case MAPI_E_BUSY:
            return "The store is busy.";
        default:
            return "The operation failed.";
    }
}

}  // namespace

HRESULT MakeLastError(HRESULT hr, ULONG ulFlags, LPMAPIERROR* lppError) {
    if (!lppError)
        return MAPI_E_INVALID_PARAMETER;
    *lppError = nullptr;
    void* p = nullptr;
    HRESULT hrAlloc = MAPIAllocateBuffer(sizeof(MAPIERROR), &p);
    if (FAILED(hrAlloc))
        return hrAlloc;
    auto* pError = static_cast<LPMAPIERROR>(p);
    std::memset(pError, 0, sizeof *pError);
    pError->ulVersion = MAPI_ERROR_VERSION;
    pError->ulLowLevelError = static_cast<ULONG>(hr);
    MoreAllocator alloc(pError);
    auto text = [&](const char* psz) -> LPTSTR {
        StoredProp s{PROP_TAG(PT_STRING8, 1), psz};
        SPropValue v;
        if (FAILED(DecodeValue(s, PROP_TAG((ulFlags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8, 1), &v, alloc)))
            return nullptr;
        return (ulFlags & MAPI_UNICODE) ? v.Value.lpszW : reinterpret_cast<LPTSTR>(v.Value.lpszA);
    };
    pError->lpszError = text(ErrorText(hr));
    pError->lpszComponent = text("OSD message store");
    *lppError = pError;
    return S_OK;
}

HRESULT AllocTagArray(const std::vector<ULONG>& tags, LPSPropTagArray* lppTags) {
    if (!lppTags)
        return MAPI_E_INVALID_PARAMETER;
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(std::max<size_t>(tags.size(), 1))), &p);
    if (FAILED(hr))
        return hr;
    auto* pTags = static_cast<LPSPropTagArray>(p);
    pTags->cValues = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), pTags->aulPropTag);
    *lppTags = pTags;
    return S_OK;
}

HRESULT AllocProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* lppProblems) {
    if (!lppProblems)
        return S_OK;
    *lppProblems = nullptr;
    if (problems.empty())
        return S_OK;
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(problems.size())), &p);
    if (FAILED(hr))
        return hr;
    auto* pArray = static_cast<LPSPropProblemArray>(p);
    pArray->cProblem = static_cast<ULONG>(problems.size());
    std::copy(problems.begin(), problems.end(), pArray->aProblem);
    *lppProblems = pArray;
    return S_OK;
}

HRESULT PropsToArray(const PropMap& props, const std::vector<ULONG>* pTags, ULONG ulFlags, ULONG* pcValues,
                     LPSPropValue* lppProps, bool* pbErrors) {
    if (pbErrors)
        *pbErrors = false;
    std::vector<ULONG> all;
    if (!pTags) {
        for (const auto& [id, prop] : props)
            all.push_back(PROP_TAG(PT_UNSPECIFIED, id));
        pTags = &all;
    }
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * std::max<size_t>(pTags->size(), 1)), &p);
    if (FAILED(hr))
        return hr;
    auto* pValues = static_cast<LPSPropValue>(p);
    MoreAllocator alloc(pValues);
    for (size_t i = 0; i < pTags->size(); ++i) {
        ULONG ulTag = (*pTags)[i];
        auto it = props.find(PROP_ID(ulTag));
        HRESULT hrValue = MAPI_E_NOT_FOUND;
        if (it != props.end()) {
            ULONG ulWanted = ulTag;
            ULONG ulStoredType = PROP_TYPE(it->second.ulTag);
            if (PROP_TYPE(ulTag) == PT_UNSPECIFIED &&
                ((ulStoredType & ~MV_FLAG) == PT_STRING8 || (ulStoredType & ~MV_FLAG) == PT_UNICODE)) {
                ULONG ulBase = (ulFlags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
                ulWanted = PROP_TAG(ulBase | (ulStoredType & MV_FLAG), PROP_ID(ulTag));
            }
            hrValue = DecodeValue(it->second, ulWanted, &pValues[i], alloc);
        }
        if (hrValue == MAPI_E_NOT_ENOUGH_MEMORY) {
            MAPIFreeBuffer(pValues);
            return hrValue;
        }
        if (FAILED(hrValue)) {
            pValues[i].ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(ulTag));
            pValues[i].dwAlignPad = 0;
            pValues[i].Value.err = hrValue;
            if (pbErrors)
                *pbErrors = true;
        }
    }
    *pcValues = static_cast<ULONG>(pTags->size());
    *lppProps = pValues;
    return S_OK;
}

HRESULT BuildRow(const TableRow& row, const std::vector<ULONG>& columns, SRow* pRow) {
    pRow->ulAdrEntryPad = 0;
    pRow->cValues = 0;
    pRow->lpProps = nullptr;
    ULONG cValues = 0;
    HRESULT hr = PropsToArray(row.props, &columns, MAPI_UNICODE, &cValues, &pRow->lpProps, nullptr);
    if (SUCCEEDED(hr))
        pRow->cValues = cValues;
    return hr;
}

std::wstring TextArg(const void* p, ULONG ulFlags) {
    if (!p)
        return {};
    if (ulFlags & MAPI_UNICODE)
        return static_cast<const wchar_t*>(p);
    return Platform::FromUtf8(static_cast<const char*>(p));
}

}  // namespace Platform::Mapi
