#include "Ostrel/Store/StoreWrap.h"

#include <cwchar>

#include "Ostrel/Settings/RegistryConfig.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

HRESULT WrapSetProps(IMAPIProp* pProp, ULONG cValues, SPropValue* pValues, SPropProblemArray** ppProblems,
                     NamedProps* pNamedProps) {
    if (ppProblems)
        *ppProblems = nullptr;
    if (!pProp || (cValues && !pValues)) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    for (ULONG i = 0; i < cValues; ++i)
        if (pValues[i].ulPropTag == PR_NULL) {
            OSTLOG_ERROR(L"could not init name props... (table %p)", static_cast<void*>(pNamedProps));
            return MAPI_E_INVALID_PARAMETER;
        }
    LPSPropProblemArray pProblems = nullptr;
    HRESULT hr = pProp->SetProps(cValues, pValues, &pProblems);
    if (FAILED(hr))
        OSTLOG_ERROR(L"SetProps() failed, hr: %x", hr);
    for (ULONG i = 0; pProblems && i < pProblems->cProblem; ++i)
        OSTLOG_WARN(L"SetProps() problem: tag 0x%08X, error 0x%x", pProblems->aProblem[i].ulPropTag,
                    pProblems->aProblem[i].scode);
    if (ppProblems)
        *ppProblems = pProblems;
    else
        MAPIFreeBuffer(pProblems);
    return hr;
}

HRESULT WrapSaveChanges(IMAPIProp* pProp, ULONG ulFlags, int bForceOnConflict) {
    if (!pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    HRESULT hr = pProp->SaveChanges(ulFlags);
    if (hr == MAPI_E_OBJECT_CHANGED && bForceOnConflict) {
        OSTLOG_WARN(L"SaveChanges() found the object changed; saving over it");
        hr = pProp->SaveChanges(ulFlags | FORCE_SAVE);
    }
    if (FAILED(hr))
        OSTLOG_ERROR(L"SaveChanges() failed, hr: %x", hr);
    return hr;
}

HRESULT WrapDeleteFolder(IMAPIFolder* pParent, ULONG cbEntryId, ENTRYID* pEntryId, ULONG_PTR ulUIParam,
                         IMAPIProgress* pProgress, ULONG ulFlags) {
    if (!pParent) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    HRESULT hr = pParent->DeleteFolder(cbEntryId, pEntryId, ulUIParam, pProgress, ulFlags);
    if (FAILED(hr))
        OSTLOG_ERROR(L"DeleteFolder() failed, hr: %x", hr);
    else
        OSTLOG_INFO(4, L"DeleteFolder() done, hr: %x", hr);
    return hr;
}

HRESULT WrapEmptyFolder(IMAPIFolder* pFolder, ULONG_PTR ulUIParam, IMAPIProgress* pProgress, ULONG ulFlags) {
    if (!pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    HRESULT hr = pFolder->EmptyFolder(ulUIParam, pProgress, ulFlags);
    if (FAILED(hr))
        OSTLOG_ERROR(L"EmptyFolder() failed, hr: %x", hr);
    else
        OSTLOG_INFO(4, L"EmptyFolder() done, hr: %x", hr);
    return hr;
}

BOOL IsReceipt(IMAPIProp* pProp) {
    if (!pProp)
        return FALSE;
    static constexpr wchar_t kPrefix[] = L"Report.IPM.Note.";
    LPSPropValue pValue = nullptr;
    BOOL bReceipt = SUCCEEDED(HrGetOneProp(pProp, PR_MESSAGE_CLASS_W, &pValue)) &&
                    wcsncmp(pValue->Value.lpszW, kPrefix, std::size(kPrefix) - 1) == 0;
    MAPIFreeBuffer(pValue);
    if (bReceipt)
        OSTLOG_INFO(4, L"This is a receipt");
    return bReceipt;
}

ULONG GetSaveChangesFlags(IMAPIProp* pProp, ULONG ulFlags, int bNoRules, int bDelegate, int bRead, int bNew) {
    LPSPropValue pMask = nullptr;
    HRESULT hr = pProp ? HrGetOneProp(pProp, PR_STORE_SUPPORT_MASK, &pMask) : E_POINTER;
    const bool bItemProc = SUCCEEDED(hr) && (pMask->Value.ul & STORE_ITEMPROC);
    MAPIFreeBuffer(pMask);
    if (!bItemProc)
        return ulFlags;
    const BOOL bReceipt = IsReceipt(pProp);
    const RULES_FIRE_ON rules = GetLocalRulesSettings(0);
    bool bAdd = false;
    if (!bNoRules && (bDelegate || rules.bDelegateItems)) {
        if (bReceipt) {
            bAdd = true;
        } else if (!bNew || bRead || !LocalRulesEnabled()) {
            return ulFlags;
        } else {
            bAdd = true;
            if (!rules.bReadItems) {
                LPSPropValue pFlags = nullptr;
                if (SUCCEEDED(HrGetOneProp(pProp, PR_MESSAGE_FLAGS, &pFlags)) && (pFlags->Value.ul & MSGFLAG_READ))
                    bAdd = false;
                MAPIFreeBuffer(pFlags);
            }
        }
    } else {
        bAdd = bReceipt;
    }
    if (!bAdd)
        return ulFlags;
    OSTLOG_INFO(4, L"Item will be fed into ItemProc Pipeline");
    return ulFlags | kItemProcSaveFlags;
}

}  // namespace Ostrel::Mapi
