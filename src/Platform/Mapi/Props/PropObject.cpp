#include "Platform/Mapi/Props/PropObject.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Props/KnownTypes.h"
#include "Platform/Mapi/Store/StoreDb.h"

namespace Platform::Mapi {

HRESULT MakeLastErrorFor(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) {
    return MakeLastError(hResult, ulFlags, lppMAPIError);
}

HRESULT GetPropsFrom(const PropMap& props, LPSPropTagArray lpTags, ULONG ulFlags, ULONG* lpcValues,
                     LPSPropValue* lppProps) {
    if (!lpcValues || !lppProps)
        return MAPI_E_INVALID_PARAMETER;
    *lpcValues = 0;
    *lppProps = nullptr;
    std::vector<ULONG> tags;
    if (lpTags) {
        if (lpTags->cValues == 0)
            return MAPI_E_INVALID_PARAMETER;
        tags.assign(lpTags->aulPropTag, lpTags->aulPropTag + lpTags->cValues);
        for (ULONG ulTag : tags)
            if (!IsValidType(PROP_TYPE(ulTag)))
                return MAPI_E_INVALID_TYPE;
    }
    bool bErrors = false;
    HRESULT hr = PropsToArray(props, lpTags ? &tags : nullptr, ulFlags, lpcValues, lppProps, &bErrors);
    if (FAILED(hr))
        return hr;
    return bErrors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT GetPropListFrom(const PropMap& props, ULONG ulFlags, LPSPropTagArray* lppTags) {
    std::vector<ULONG> tags;
    for (const auto& [id, prop] : props) {
        ULONG ulType = PROP_TYPE(prop.ulTag);
        ULONG ulBase = ulType & ~MV_FLAG;
        if (ulBase == PT_STRING8 || ulBase == PT_UNICODE)
            ulType = (ulType & MV_FLAG) | ((ulFlags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8);
        tags.push_back(PROP_TAG(ulType, id));
    }
    return AllocTagArray(tags, lppTags);
}

HRESULT PropObjectBase::DoSetProps(ULONG cValues, LPSPropValue lpProps, LPSPropProblemArray* lppProblems) {
    if (lppProblems)
        *lppProblems = nullptr;
    if (cValues && !lpProps)
        return MAPI_E_INVALID_PARAMETER;
    if (!Writable())
        return MAPI_E_NO_ACCESS;
    std::vector<SPropProblem> problems;
    std::vector<StoredProp> set;
    for (ULONG i = 0; i < cValues; ++i) {
        const SPropValue& v = lpProps[i];
        ULONG ulId = PROP_ID(v.ulPropTag);
        ULONG ulType = PROP_TYPE(v.ulPropTag);
        if (ulType == PT_ERROR || ulType == PT_NULL)
            continue;  // rows copied wholesale carry these
        SCODE sc = S_OK;
        if (ulId == PROP_ID_NULL || ulId == PROP_ID_INVALID)
            sc = MAPI_E_INVALID_PARAMETER;
        else if (IsComputed(ulId))
            sc = MAPI_E_COMPUTED;
        else if (!IsStorableType(ulType) || IsKnownTypeMismatch(v.ulPropTag))
            sc = MAPI_E_INVALID_TYPE;
        else if (ulId >= PROPS_ID_MIN && Db()) {
            NameKey key;
            if (FAILED(Db()->NameFromId(ulId, &key)))
                sc = MAPI_E_UNEXPECTED_ID;
        }
        StoredProp stored;
        if (sc == S_OK && FAILED(EncodeValue(v, stored)))
            sc = MAPI_E_BAD_VALUE;
        if (sc != S_OK) {
            problems.push_back({i, v.ulPropTag, sc});
            continue;
        }
        set.push_back(std::move(stored));
    }
    HRESULT hr = set.empty() ? S_OK : WriteProps(set, {});
    if (FAILED(hr))
        return hr;
    return AllocProblems(problems, lppProblems);
}

HRESULT PropObjectBase::DoDeleteProps(LPSPropTagArray lpTags, LPSPropProblemArray* lppProblems) {
    if (lppProblems)
        *lppProblems = nullptr;
    if (!lpTags)
        return MAPI_E_INVALID_PARAMETER;
    if (!Writable())
        return MAPI_E_NO_ACCESS;
    std::vector<SPropProblem> problems;
    std::vector<ULONG> deleted;
    for (ULONG i = 0; i < lpTags->cValues; ++i) {
        ULONG ulId = PROP_ID(lpTags->aulPropTag[i]);
        if (IsComputed(ulId))
            problems.push_back({i, lpTags->aulPropTag[i], MAPI_E_COMPUTED});
        else
            deleted.push_back(ulId);
    }
    HRESULT hr = deleted.empty() ? S_OK : WriteProps({}, deleted);
    if (FAILED(hr))
        return hr;
    return AllocProblems(problems, lppProblems);
}

// ---- Named properties ------------------------------------------------------------------------

HRESULT IdsFromNames(StoreDb* pDb, ULONG cNames, LPMAPINAMEID* lppNames, ULONG ulFlags, LPSPropTagArray* lppTags) {
    if (!lppTags || (cNames && !lppNames))
        return MAPI_E_INVALID_PARAMETER;
    *lppTags = nullptr;
    std::vector<ULONG> tags;
    bool bErrors = false;
    if (cNames == 0) {
        std::vector<std::pair<ULONG, NameKey>> all;
        HRESULT hr = pDb->AllNames(all);
        if (FAILED(hr))
            return hr;
        for (const auto& [id, key] : all)
            tags.push_back(PROP_TAG(PT_UNSPECIFIED, id));
        return AllocTagArray(tags, lppTags);
    }
    // Resolves every name, creating the missing ones with bCreate; *pbMissing tells whether one was
    // missing.
    auto resolve = [&](bool bCreate, bool* pbMissing) -> HRESULT {
        tags.clear();
        bErrors = *pbMissing = false;
        for (ULONG i = 0; i < cNames; ++i) {
            const MAPINAMEID* pName = lppNames[i];
            ULONG ulTag = PROP_TAG(PT_ERROR, PROP_ID_NULL);
            if (pName && pName->lpguid && *pName->lpguid == PS_MAPI) {
                // PS_MAPI names the standard properties by their own ids; nothing is stored for them.
                if (pName->ulKind == MNID_ID && pName->Kind.lID > 0 &&
                    pName->Kind.lID < static_cast<LONG>(PROPS_ID_MIN))
                    ulTag = PROP_TAG(PT_UNSPECIFIED, static_cast<ULONG>(pName->Kind.lID));
            } else if (pName && pName->lpguid &&
                       (pName->ulKind == MNID_ID || (pName->ulKind == MNID_STRING && pName->Kind.lpwstrName))) {
                NameKey key;
                key.guid = *pName->lpguid;
                key.ulKind = pName->ulKind;
                if (pName->ulKind == MNID_ID)
                    key.lId = pName->Kind.lID;
                else
                    key.wsName = pName->Kind.lpwstrName;
                ULONG ulId = 0;
                HRESULT hr = pDb->IdFromName(key, bCreate, &ulId);
                if (SUCCEEDED(hr))
                    ulTag = PROP_TAG(PT_UNSPECIFIED, ulId);
                else if (hr == MAPI_E_NOT_FOUND)
                    *pbMissing = true;
                else if (hr != MAPI_E_NAMED_PROP_QUOTA_EXCEEDED)
                    return hr;
            }
            if (PROP_TYPE(ulTag) == PT_ERROR)
                bErrors = true;
            tags.push_back(ulTag);
        }
        return S_OK;
    };
    bool bMissing = false;
    if (HRESULT hr = resolve(false, &bMissing); FAILED(hr))
        return hr;
    if (bMissing && (ulFlags & MAPI_CREATE)) {
        // Creating many names at once is one transaction, which commits by itself even inside a
        // batch: callers keep the ids, so they must never go with a rollback.
        StoreDb::Transaction txn(*pDb, true);
        HRESULT hr = txn.Begun();
        if (SUCCEEDED(hr))
            hr = resolve(true, &bMissing);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (FAILED(hr))
            return hr;
    }
    HRESULT hr = AllocTagArray(tags, lppTags);
    if (FAILED(hr))
        return hr;
    return bErrors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT NamesFromIds(StoreDb* pDb, LPSPropTagArray* lppTags, LPGUID lpGuid, ULONG ulFlags, ULONG* lpcNames,
                     LPMAPINAMEID** lpppNames) {
    if (!lppTags || !lpcNames || !lpppNames)
        return MAPI_E_INVALID_PARAMETER;
    *lpcNames = 0;
    *lpppNames = nullptr;
    std::vector<std::pair<ULONG, NameKey>> entries;  // id 0 for "no name"
    bool bAll = *lppTags == nullptr;
    if (bAll) {
        std::vector<std::pair<ULONG, NameKey>> all;
        HRESULT hr = pDb->AllNames(all);
        if (FAILED(hr))
            return hr;
        for (auto& [id, key] : all) {
            if (lpGuid && !(key.guid == *lpGuid))
                continue;
            if ((ulFlags & MAPI_NO_STRINGS) && key.ulKind == MNID_STRING)
                continue;
            if ((ulFlags & MAPI_NO_IDS) && key.ulKind == MNID_ID)
                continue;
            entries.emplace_back(id, key);
        }
    } else {
        for (ULONG i = 0; i < (*lppTags)->cValues; ++i) {
            ULONG ulId = PROP_ID((*lppTags)->aulPropTag[i]);
            NameKey key;
            HRESULT hr = ulId >= PROPS_ID_MIN ? pDb->NameFromId(ulId, &key) : MAPI_E_NOT_FOUND;
            if (FAILED(hr) && hr != MAPI_E_NOT_FOUND)
                return hr;
            entries.emplace_back(SUCCEEDED(hr) ? ulId : 0, key);
        }
    }
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * std::max<size_t>(entries.size(), 1)), &p);
    if (FAILED(hr))
        return hr;
    auto* ppNames = static_cast<LPMAPINAMEID*>(p);
    bool bErrors = false;
    for (size_t i = 0; i < entries.size(); ++i) {
        ppNames[i] = nullptr;
        if (entries[i].first == 0) {
            bErrors = true;
            continue;
        }
        const NameKey& key = entries[i].second;
        void* pName = nullptr;
        void* pGuid = nullptr;
        if (FAILED(MAPIAllocateMore(sizeof(MAPINAMEID), ppNames, &pName)) ||
            FAILED(MAPIAllocateMore(sizeof(GUID), ppNames, &pGuid))) {
            MAPIFreeBuffer(ppNames);
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        auto* pId = static_cast<LPMAPINAMEID>(pName);
        std::memcpy(pGuid, &key.guid, sizeof(GUID));
        pId->lpguid = static_cast<LPGUID>(pGuid);
        pId->ulKind = key.ulKind;
        if (key.ulKind == MNID_ID) {
            pId->Kind.lID = key.lId;
        } else {
            void* pText = nullptr;
            size_t cb = (key.wsName.size() + 1) * sizeof(wchar_t);
            if (FAILED(MAPIAllocateMore(static_cast<ULONG>(cb), ppNames, &pText))) {
                MAPIFreeBuffer(ppNames);
                return MAPI_E_NOT_ENOUGH_MEMORY;
            }
            std::memcpy(pText, key.wsName.c_str(), cb);
            pId->Kind.lpwstrName = static_cast<LPWSTR>(pText);
        }
        ppNames[i] = pId;
    }
    if (bAll) {
        std::vector<ULONG> tags;
        for (const auto& e : entries)
            tags.push_back(PROP_TAG(PT_UNSPECIFIED, e.first));
        hr = AllocTagArray(tags, lppTags);
        if (FAILED(hr)) {
            MAPIFreeBuffer(ppNames);
            return hr;
        }
    }
    *lpcNames = static_cast<ULONG>(entries.size());
    *lpppNames = ppNames;
    return bErrors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

// ---- Copying ---------------------------------------------------------------------------------

namespace {

// Properties that belong to the object itself and never travel with a copy.
bool IsIdentityProp(ULONG ulId) {
    static const std::set<ULONG> ids = {PROP_ID(PR_ENTRYID),
                                        PROP_ID(PR_RECORD_KEY),
                                        PROP_ID(PR_INSTANCE_KEY),
                                        PROP_ID(PR_PARENT_ENTRYID),
                                        PROP_ID(PR_STORE_ENTRYID),
                                        PROP_ID(PR_STORE_RECORD_KEY),
                                        PROP_ID(PR_MAPPING_SIGNATURE),
                                        PROP_ID(PR_OBJECT_TYPE),
                                        PROP_ID(PR_ACCESS),
                                        PROP_ID(PR_ACCESS_LEVEL),
                                        PROP_ID(PR_MDB_PROVIDER),
                                        PROP_ID(PR_ATTACH_NUM),
                                        PROP_ID(PR_ROWID),
                                        PROP_ID(PR_STORE_SUPPORT_MASK),
                                        PROP_ID(PR_CONTENT_COUNT),
                                        PROP_ID(PR_CONTENT_UNREAD),
                                        PROP_ID(PR_ASSOC_CONTENT_COUNT),
                                        PROP_ID(PR_SUBFOLDERS),
                                        PROP_ID(PR_FOLDER_CHILD_COUNT),
                                        PROP_ID(PR_FOLDER_TYPE),
                                        PROP_ID(PR_HASATTACH),
                                        PROP_ID(PR_MESSAGE_SIZE),
                                        PROP_ID(PR_ATTACH_SIZE)};
    return ids.count(ulId) != 0;
}

bool InTags(LPSPropTagArray pTags, ULONG ulTag) {
    if (!pTags)
        return false;
    for (ULONG i = 0; i < pTags->cValues; ++i)
        if (PROP_ID(pTags->aulPropTag[i]) == PROP_ID(ulTag))
            return true;
    return false;
}

// Rewrites named-property ids of the source's store into the destination's.
HRESULT MapNamedIds(IMAPIProp* pSource, IMAPIProp* pDest, LPSPropValue pValues, ULONG cValues) {
    std::vector<ULONG> tags;
    for (ULONG i = 0; i < cValues; ++i)
        if (PROP_ID(pValues[i].ulPropTag) >= PROPS_ID_MIN && PROP_TYPE(pValues[i].ulPropTag) != PT_ERROR)
            tags.push_back(pValues[i].ulPropTag);
    if (tags.empty())
        return S_OK;
    LPSPropTagArray pTags = nullptr;
    HRESULT hr = AllocTagArray(tags, &pTags);
    if (FAILED(hr))
        return hr;
    ULONG cNames = 0;
    LPMAPINAMEID* ppNames = nullptr;
    hr = pSource->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames);
    LPSPropTagArray pDestTags = nullptr;
    if (SUCCEEDED(hr) && cNames == tags.size()) {
        // Names that could not be read stay unmapped and are dropped below.
        std::vector<LPMAPINAMEID> names(ppNames, ppNames + cNames);
        static GUID dummy{};
        MAPINAMEID none{&dummy, MNID_ID, {0}};
        for (auto& n : names)
            if (!n)
                n = &none;
        hr = pDest->GetIDsFromNames(cNames, names.data(), MAPI_CREATE, &pDestTags);
    }
    if (SUCCEEDED(hr) && pDestTags) {
        size_t j = 0;
        for (ULONG i = 0; i < cValues; ++i) {
            if (PROP_ID(pValues[i].ulPropTag) < PROPS_ID_MIN || PROP_TYPE(pValues[i].ulPropTag) == PT_ERROR)
                continue;
            ULONG ulDest = pDestTags->aulPropTag[j];
            bool bMapped = ppNames[j] && PROP_TYPE(ulDest) != PT_ERROR;
            pValues[i].ulPropTag = bMapped ? PROP_TAG(PROP_TYPE(pValues[i].ulPropTag), PROP_ID(ulDest))
                                           : PROP_TAG(PT_ERROR, PROP_ID(pValues[i].ulPropTag));
            ++j;
        }
    }
    MAPIFreeBuffer(pDestTags);
    MAPIFreeBuffer(ppNames);
    MAPIFreeBuffer(pTags);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CopyRecipients(IMessage* pSource, IMessage* pDest, ULONG ulFlags) {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pSource->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    LPSPropTagArray pCols = nullptr;
    hr = pTable->QueryColumns(TBL_ALL_COLUMNS, &pCols);
    if (FAILED(hr))
        return hr;
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), pCols, nullptr, nullptr, 0, &pRows);
    MAPIFreeBuffer(pCols);
    if (FAILED(hr))
        return hr;
    void* p = nullptr;
    hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(std::max<ULONG>(pRows->cRows, 1))), &p);
    if (SUCCEEDED(hr)) {
        auto* pList = static_cast<LPADRLIST>(p);
        pList->cEntries = 0;
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            // Row ids are assigned by the destination.
            for (ULONG j = 0; j < pRows->aRow[i].cValues; ++j) {
                ULONG& ulTag = pRows->aRow[i].lpProps[j].ulPropTag;
                if (PROP_ID(ulTag) == PROP_ID(PR_ROWID) || PROP_ID(ulTag) == PROP_ID(PR_INSTANCE_KEY))
                    ulTag = PROP_TAG(PT_NULL, PROP_ID(ulTag));
            }
            MapNamedIds(pSource, pDest, pRows->aRow[i].lpProps, pRows->aRow[i].cValues);
            pList->aEntries[i] = {0, pRows->aRow[i].cValues, pRows->aRow[i].lpProps};
            pList->cEntries = i + 1;
        }
        hr = pDest->ModifyRecipients((ulFlags & MAPI_NOREPLACE) ? MODRECIP_ADD : 0, pList);
        MAPIFreeBuffer(pList);
    }
    FreeProws(pRows);
    return hr;
}

HRESULT CopyAttachments(IMessage* pSource, IMessage* pDest) {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pSource->GetAttachmentTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(2, cols) = {2, {PR_ATTACH_NUM, PR_ATTACH_METHOD}};
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows);
    if (FAILED(hr))
        return hr;
    for (ULONG i = 0; SUCCEEDED(hr) && i < pRows->cRows; ++i) {
        const SPropValue* pProps = pRows->aRow[i].lpProps;
        if (PROP_TYPE(pProps[0].ulPropTag) == PT_ERROR)
            continue;
        Platform::ComPtr<IAttach> pFrom, pTo;
        ULONG ulNum = 0;
        hr = pSource->OpenAttach(pProps[0].Value.ul, nullptr, 0, pFrom.AddressOf());
        if (SUCCEEDED(hr))
            hr = pDest->CreateAttach(nullptr, 0, &ulNum, pTo.AddressOf());
        if (SUCCEEDED(hr))
            hr = CopyObject(pFrom.Get(), pTo.Get(), nullptr, nullptr, 0, nullptr);
        if (SUCCEEDED(hr) && PROP_TYPE(pProps[1].ulPropTag) == PT_LONG && pProps[1].Value.ul == ATTACH_EMBEDDED_MSG) {
            Platform::ComPtr<IUnknown> pFromMsg, pToMsg;
            hr = pFrom->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pFromMsg.AddressOf());
            if (SUCCEEDED(hr))
                hr = pTo->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                       pToMsg.AddressOf());
            if (SUCCEEDED(hr)) {
                auto* pFromM = static_cast<IMessage*>(pFromMsg.Get());
                auto* pToM = static_cast<IMessage*>(pToMsg.Get());
                hr = CopyObject(pFromM, pToM, nullptr, nullptr, 0, nullptr);
                if (SUCCEEDED(hr))
                    hr = pToM->SaveChanges(0);
            }
        }
        if (SUCCEEDED(hr))
            hr = pTo->SaveChanges(0);
    }
    FreeProws(pRows);
    return hr;
}

}  // namespace

HRESULT CopyObject(IMAPIProp* pSource, IMAPIProp* pDest, LPSPropTagArray pExclude, LPSPropTagArray pInclude,
                   ULONG ulFlags, LPSPropProblemArray* lppProblems) {
    if (lppProblems)
        *lppProblems = nullptr;
    if (!pSource || !pDest)
        return MAPI_E_INVALID_PARAMETER;
    if (pSource == pDest)
        return MAPI_E_NO_ACCESS;
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    HRESULT hr = pSource->GetProps(pInclude, MAPI_UNICODE, &cValues, &pValues);
    if (FAILED(hr))
        return hr;
    std::vector<SPropValue> toSet;
    hr = MapNamedIds(pSource, pDest, pValues, cValues);
    if (SUCCEEDED(hr)) {
        std::vector<ULONG> existing;
        if (ulFlags & MAPI_NOREPLACE) {
            LPSPropTagArray pDestList = nullptr;
            if (SUCCEEDED(pDest->GetPropList(MAPI_UNICODE, &pDestList))) {
                for (ULONG i = 0; i < pDestList->cValues; ++i)
                    existing.push_back(PROP_ID(pDestList->aulPropTag[i]));
                MAPIFreeBuffer(pDestList);
            }
        }
        for (ULONG i = 0; i < cValues; ++i) {
            ULONG ulTag = pValues[i].ulPropTag;
            ULONG ulType = PROP_TYPE(ulTag);
            if (ulType == PT_ERROR || ulType == PT_OBJECT || IsIdentityProp(PROP_ID(ulTag)) || InTags(pExclude, ulTag))
                continue;
            if (std::find(existing.begin(), existing.end(), PROP_ID(ulTag)) != existing.end())
                continue;
            toSet.push_back(pValues[i]);
        }
        if (!toSet.empty())
            hr = pDest->SetProps(static_cast<ULONG>(toSet.size()), toSet.data(), lppProblems);
    }
    MAPIFreeBuffer(pValues);
    if (FAILED(hr))
        return hr;

    Platform::ComPtr<IMessage> pFromMsg, pToMsg;
    if (SUCCEEDED(pSource->QueryInterface(IID_IMessage, reinterpret_cast<void**>(pFromMsg.AddressOf()))) &&
        SUCCEEDED(pDest->QueryInterface(IID_IMessage, reinterpret_cast<void**>(pToMsg.AddressOf())))) {
        bool bRecips = pInclude ? InTags(pInclude, PR_MESSAGE_RECIPIENTS) : !InTags(pExclude, PR_MESSAGE_RECIPIENTS);
        bool bAttachs = pInclude ? InTags(pInclude, PR_MESSAGE_ATTACHMENTS) : !InTags(pExclude, PR_MESSAGE_ATTACHMENTS);
        if (bRecips)
            hr = CopyRecipients(pFromMsg.Get(), pToMsg.Get(), ulFlags);
        if (SUCCEEDED(hr) && bAttachs)
            hr = CopyAttachments(pFromMsg.Get(), pToMsg.Get());
    }
    if (SUCCEEDED(hr) && (ulFlags & MAPI_MOVE) && !toSet.empty()) {
        std::vector<ULONG> tags;
        for (const auto& v : toSet)
            tags.push_back(v.ulPropTag);
        LPSPropTagArray pTags = nullptr;
        if (SUCCEEDED(AllocTagArray(tags, &pTags))) {
            pSource->DeleteProps(pTags, nullptr);
            MAPIFreeBuffer(pTags);
        }
    }
    return hr;
}

}  // namespace Platform::Mapi
