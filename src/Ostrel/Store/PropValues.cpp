#include "Ostrel/Store/PropValues.h"

#include <cstring>
#include <cwchar>

namespace Ostrel::Mapi {

namespace {

// {10BBA138-E505-1A10-A1BB-08002B2A56C2}: the UID MAPI wraps store entry ids with.
constexpr BYTE kStoreWrapUid[16] = {0x38, 0xA1, 0xBB, 0x10, 0x05, 0xE5, 0x10, 0x1A,
                                    0xA1, 0xBB, 0x08, 0x00, 0x2B, 0x2A, 0x56, 0xC2};
constexpr ULONG kFlagsSize = 4;
constexpr ULONG kUidEnd = kFlagsSize + 16;
constexpr int kMaxRestrictionDepth = 64;

template <typename T>
HRESULT Grow(T*& pArray, ULONG cValues, void* pParent, T** ppNew) {
    void* p = nullptr;
    HRESULT hr = MAPIAllocateMore(static_cast<ULONG>((cValues + 1) * sizeof(T)), pParent, &p);
    if (FAILED(hr))
        return hr;
    if (cValues)
        memcpy(p, pArray, cValues * sizeof(T));
    *ppNew = static_cast<T*>(p);
    return S_OK;
}

// Makes *pValue a value of ulPropTag when it is not one yet; false when it holds another type.
bool Prepare(SPropValue* pValue, ULONG ulPropTag) {
    if (pValue->ulPropTag == ulPropTag)
        return true;
    if (PROP_TYPE(pValue->ulPropTag) != PT_ERROR && pValue->ulPropTag != PR_NULL &&
        PROP_ID(pValue->ulPropTag) == PROP_ID(ulPropTag))
        return false;
    pValue->ulPropTag = ulPropTag;
    memset(&pValue->Value, 0, sizeof pValue->Value);
    return true;
}

HRESULT CopyProp(const SPropValue* pSource, SPropValue** ppCopy, void* pParent) {
    *ppCopy = nullptr;
    if (!pSource)
        return S_OK;
    void* p = nullptr;
    HRESULT hr = MAPIAllocateMore(sizeof(SPropValue), pParent, &p);
    if (FAILED(hr))
        return hr;
    *ppCopy = static_cast<SPropValue*>(p);
    return PropCopyMore(*ppCopy, const_cast<SPropValue*>(pSource), &MAPIAllocateMore, pParent);
}

HRESULT CopyInto(const SRestriction& source, SRestriction& dest, void* pParent, int iDepth);

HRESULT CopyList(ULONG cRes, const SRestriction* pSource, SRestriction** ppDest, void* pParent, int iDepth) {
    *ppDest = nullptr;
    if (!cRes)
        return S_OK;
    if (!pSource)
        return MAPI_E_INVALID_PARAMETER;
    void* p = nullptr;
    HRESULT hr = MAPIAllocateMore(static_cast<ULONG>(cRes * sizeof(SRestriction)), pParent, &p);
    if (FAILED(hr))
        return hr;
    *ppDest = static_cast<SRestriction*>(p);
    memset(p, 0, cRes * sizeof(SRestriction));
    for (ULONG i = 0; SUCCEEDED(hr) && i < cRes; ++i)
        hr = CopyInto(pSource[i], (*ppDest)[i], pParent, iDepth + 1);
    return hr;
}

HRESULT CopyInto(const SRestriction& source, SRestriction& dest, void* pParent, int iDepth) {
    if (iDepth > kMaxRestrictionDepth)
        return MAPI_E_TOO_COMPLEX;
    dest = source;
    switch (source.rt) {
        case RES_AND:
            return CopyList(source.res.resAnd.cRes, source.res.resAnd.lpRes, &dest.res.resAnd.lpRes, pParent, iDepth);
        case RES_OR:
            return CopyList(source.res.resOr.cRes, source.res.resOr.lpRes, &dest.res.resOr.lpRes, pParent, iDepth);
        case RES_NOT:
            return CopyList(source.res.resNot.lpRes ? 1 : 0, source.res.resNot.lpRes, &dest.res.resNot.lpRes, pParent,
                            iDepth);
        case RES_SUBRESTRICTION:
            return CopyList(source.res.resSub.lpRes ? 1 : 0, source.res.resSub.lpRes, &dest.res.resSub.lpRes, pParent,
                            iDepth);
        case RES_COUNT:
            return CopyList(source.res.resCount.lpRes ? 1 : 0, source.res.resCount.lpRes, &dest.res.resCount.lpRes,
                            pParent, iDepth);
        case RES_CONTENT:
            return CopyProp(source.res.resContent.lpProp, &dest.res.resContent.lpProp, pParent);
        case RES_PROPERTY:
            return CopyProp(source.res.resProperty.lpProp, &dest.res.resProperty.lpProp, pParent);
        case RES_COMMENT: {
            HRESULT hr = CopyList(source.res.resComment.lpRes ? 1 : 0, source.res.resComment.lpRes,
                                  &dest.res.resComment.lpRes, pParent, iDepth);
            dest.res.resComment.lpProp = nullptr;
            if (FAILED(hr) || !source.res.resComment.cValues)
                return hr;
            void* p = nullptr;
            hr = MAPIAllocateMore(static_cast<ULONG>(source.res.resComment.cValues * sizeof(SPropValue)), pParent, &p);
            if (FAILED(hr))
                return hr;
            dest.res.resComment.lpProp = static_cast<SPropValue*>(p);
            for (ULONG i = 0; SUCCEEDED(hr) && i < source.res.resComment.cValues; ++i)
                hr = PropCopyMore(&dest.res.resComment.lpProp[i], &source.res.resComment.lpProp[i], &MAPIAllocateMore,
                                  pParent);
            return hr;
        }
        case RES_COMPAREPROPS:
        case RES_BITMASK:
        case RES_SIZE:
        case RES_EXIST:
            return S_OK;
        default:
            return MAPI_E_INVALID_PARAMETER;
    }
}

}  // namespace

void DecodeNID(LONG lNid, LONG& lIndex, BYTE& bType) {
    bType = static_cast<BYTE>(lNid & 31);
    lIndex = lNid >> 5;
}

HRESULT UnwrapStoreEntryID(ULONG cb, const BYTE* pb, MAPIUID& uid, ULONG& cbInner, ENTRYID*& pInner) {
    cbInner = 0;
    pInner = nullptr;
    if (!pb || cb < kUidEnd)
        return MAPI_E_INVALID_ENTRYID;
    if (memcmp(pb + kFlagsSize, kStoreWrapUid, sizeof kStoreWrapUid) == 0) {
        // Version and flag bytes, then the provider's file name up to its zero.
        ULONG ulPos = kUidEnd + 2;
        if (ulPos >= cb)
            return MAPI_E_INVALID_ENTRYID;
        const void* pZero = memchr(pb + ulPos, 0, cb - ulPos);
        if (!pZero)
            return MAPI_E_INVALID_ENTRYID;
        ulPos = static_cast<ULONG>(static_cast<const BYTE*>(pZero) - pb) + 1;
        if (cb - ulPos < kUidEnd)
            return MAPI_E_INVALID_ENTRYID;
        pb += ulPos;
        cb -= ulPos;
    }
    memcpy(uid.ab, pb + kFlagsSize, sizeof uid.ab);
    cbInner = cb;
    pInner = reinterpret_cast<ENTRYID*>(const_cast<BYTE*>(pb));
    return S_OK;
}

HRESULT UnwrapStoreEntryID(const SPropValue* pValue, MAPIUID& uid, ULONG& cbInner, ENTRYID*& pInner) {
    if (!pValue || PROP_TYPE(pValue->ulPropTag) != PT_BINARY) {
        cbInner = 0;
        pInner = nullptr;
        return MAPI_E_INVALID_PARAMETER;
    }
    return UnwrapStoreEntryID(pValue->Value.bin.cb, pValue->Value.bin.lpb, uid, cbInner, pInner);
}

HRESULT ExtendMVBinary(SPropValue* pValue, void* pParent, ULONG ulPropTag, ULONG cb, const BYTE* pb) {
    if (!pValue || !pParent || PROP_TYPE(ulPropTag) != PT_MV_BINARY || (cb && !pb) || !Prepare(pValue, ulPropTag))
        return MAPI_E_INVALID_PARAMETER;
    SBinaryArray& mv = pValue->Value.MVbin;
    SBinary* pNew = nullptr;
    HRESULT hr = Grow(mv.lpbin, mv.cValues, pParent, &pNew);
    void* pBytes = nullptr;
    if (SUCCEEDED(hr) && cb)
        hr = MAPIAllocateMore(cb, pParent, &pBytes);
    if (FAILED(hr))
        return hr;
    if (cb)
        memcpy(pBytes, pb, cb);
    pNew[mv.cValues] = {cb, static_cast<LPBYTE>(pBytes)};
    mv.lpbin = pNew;
    ++mv.cValues;
    return S_OK;
}

HRESULT ExtendMVUnicode(SPropValue* pValue, void* pParent, ULONG ulPropTag, const wchar_t* pwsz) {
    if (!pValue || !pParent || !pwsz || PROP_TYPE(ulPropTag) != PT_MV_UNICODE || !Prepare(pValue, ulPropTag))
        return MAPI_E_INVALID_PARAMETER;
    SWStringArray& mv = pValue->Value.MVszW;
    LPWSTR* pNew = nullptr;
    HRESULT hr = Grow(mv.lppszW, mv.cValues, pParent, &pNew);
    const size_t cch = wcslen(pwsz) + 1;
    void* pText = nullptr;
    if (SUCCEEDED(hr))
        hr = MAPIAllocateMore(static_cast<ULONG>(cch * sizeof(wchar_t)), pParent, &pText);
    if (FAILED(hr))
        return hr;
    wmemcpy(static_cast<wchar_t*>(pText), pwsz, cch);
    pNew[mv.cValues] = static_cast<wchar_t*>(pText);
    mv.lppszW = pNew;
    ++mv.cValues;
    return S_OK;
}

HRESULT ExtendMVLong(SPropValue* pValue, void* pParent, ULONG ulPropTag, ULONG ul) {
    if (!pValue || !pParent || PROP_TYPE(ulPropTag) != PT_MV_LONG || !Prepare(pValue, ulPropTag))
        return MAPI_E_INVALID_PARAMETER;
    SLongArray& mv = pValue->Value.MVl;
    LONG* pNew = nullptr;
    HRESULT hr = Grow(mv.lpl, mv.cValues, pParent, &pNew);
    if (FAILED(hr))
        return hr;
    pNew[mv.cValues] = static_cast<LONG>(ul);
    mv.lpl = pNew;
    ++mv.cValues;
    return S_OK;
}

HRESULT ExtendMVLong(SPropValue* pValue, void* pParent, ULONG ul) {
    if (!pValue || PROP_TYPE(pValue->ulPropTag) != PT_MV_LONG)
        return MAPI_E_INVALID_PARAMETER;
    return ExtendMVLong(pValue, pParent, pValue->ulPropTag, ul);
}

HRESULT CopySRestriction(const SRestriction* pSource, SRestriction** ppCopy) {
    if (!ppCopy)
        return MAPI_E_INVALID_PARAMETER;
    *ppCopy = nullptr;
    if (!pSource)
        return S_OK;
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(sizeof(SRestriction), &p);
    if (FAILED(hr))
        return hr;
    auto* pCopy = static_cast<SRestriction*>(p);
    memset(pCopy, 0, sizeof(SRestriction));
    hr = CopyInto(*pSource, *pCopy, p, 0);
    if (FAILED(hr)) {
        MAPIFreeBuffer(p);
        return hr;
    }
    *ppCopy = pCopy;
    return S_OK;
}

}  // namespace Ostrel::Mapi
