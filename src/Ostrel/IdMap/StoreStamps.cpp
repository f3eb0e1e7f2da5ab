#include "Ostrel/IdMap/StoreStamps.h"

#include <cstring>
#include <memory>
#include <vector>

#include "Ostrel/Store/NamedProps.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

using Platform::ComPtr;

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};
template <typename T>
using MapiPtr = std::unique_ptr<T, MapiFree>;

struct RowsFree {
    void operator()(SRowSet* p) const { FreeProws(p); }
};

bool ReadPstId(const SBinary& bin, ULONG* pulPstId) {
    if (bin.cb != kPstEntryIdSize || !bin.lpb)
        return false;
    std::memcpy(pulPstId, bin.lpb + 20, sizeof(ULONG));
    return true;
}

HRESULT WalkTable(IMAPITable* pTable, const IdMapperTags& tags, bool bUniqueIds,
                  const std::function<void(const StampedObject&)>& f) {
    return ForEachStampedRow(pTable, tags, bUniqueIds, [&](const SRow& row) {
        StampedObject object;
        if (row.cValues < 2 || row.lpProps[0].ulPropTag != PR_ENTRYID || row.lpProps[1].ulPropTag != tags.ulOstIdTag ||
            !ReadPstId(row.lpProps[0].Value.bin, &object.ulPstId))
            return;
        object.lOstId = row.lpProps[1].Value.l;
        if (bUniqueIds && row.cValues > 2 && row.lpProps[2].ulPropTag == tags.ulUniqueIdTag &&
            row.lpProps[2].Value.lpszW) {
            object.wsUniqueId = row.lpProps[2].Value.lpszW;
            object.bHasUniqueId = true;
        }
        f(object);
    });
}

HRESULT OpenFolderByEntryId(IMsgStore* pStore, const SBinary& eid, IMAPIFolder** ppFolder) {
    ULONG ulType = 0;
    ComPtr<IUnknown> pUnk;
    HRESULT hr = pStore->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, MAPI_BEST_ACCESS, &ulType,
                                   pUnk.AddressOf());
    if (FAILED(hr))
        return hr;
    if (ulType != MAPI_FOLDER)
        return MAPI_E_NOT_FOUND;
    return pUnk->QueryInterface(IID_IMAPIFolder, reinterpret_cast<void**>(ppFolder));
}

HRESULT FindChildByName(IMsgStore* pStore, IMAPIFolder* pParent, const wchar_t* pwszName, IMAPIFolder** ppFolder) {
    ComPtr<IMAPITable> pTable;
    HRESULT hr = pParent->GetHierarchyTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_W}};
    LPSRowSet pRaw = nullptr;
    if (FAILED(
            hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &pRaw)))
        return hr;
    std::unique_ptr<SRowSet, RowsFree> pRows(pRaw);
    for (ULONG i = 0; pRows && i < pRows->cRows; ++i) {
        const SRow& row = pRows->aRow[i];
        if (row.cValues == 2 && row.lpProps[1].ulPropTag == PR_DISPLAY_NAME_W && row.lpProps[1].Value.lpszW &&
            std::wcscmp(row.lpProps[1].Value.lpszW, pwszName) == 0 && row.lpProps[0].ulPropTag == PR_ENTRYID)
            return OpenFolderByEntryId(pStore, row.lpProps[0].Value.bin, ppFolder);
    }
    return MAPI_E_NOT_FOUND;
}

}  // namespace

IdMapperTags GetIdMapperTags(IMsgStore* pStore) {
    NamedProps* pProps = pStore ? NamedPropsManager::GetNamedPropsFromMAPIProp(pStore) : nullptr;
    IdMapperTags tags;
    tags.ulOstIdTag = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, pProps);
    tags.ulUniqueIdTag = NAMED_PROP(NamedProps::GAL_UNIQUE_ID, PT_UNICODE, pProps);
    return tags;
}

bool ReadStoreRecordKey(IMsgStore* pStore, RecordKey* pKey) {
    LPSPropValue pRaw = nullptr;
    if (!pStore || FAILED(HrGetOneProp(pStore, PR_STORE_RECORD_KEY, &pRaw)))
        return false;
    MapiPtr<SPropValue> pProp(pRaw);
    if (pProp->Value.bin.cb < pKey->size())
        return false;
    std::memcpy(pKey->data(), pProp->Value.bin.lpb, pKey->size());
    return true;
}

std::string MakePstEntryId(const RecordKey& key, ULONG ulPstId) {
    std::string eid(kPstEntryIdSize, '\0');
    std::memcpy(eid.data() + 4, key.data(), key.size());
    std::memcpy(eid.data() + 20, &ulPstId, sizeof ulPstId);
    return eid;
}

StampCheck CheckPstStamp(IMsgStore* pStore, const RecordKey& key, ULONG ulOstIdTag, ULONG ulPstId, LONG lOstId,
                         LONG* plStamp, HRESULT* phr) {
    std::string eid = MakePstEntryId(key, ulPstId);
    ULONG ulType = 0;
    ComPtr<IUnknown> pUnk;
    HRESULT hr = pStore->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()),
                                   &IID_IMAPIProp, 0, &ulType, pUnk.AddressOf());
    if (phr)
        *phr = hr;
    if (FAILED(hr))
        return StampCheck::Gone;
    LPSPropValue pRaw = nullptr;
    hr = HrGetOneProp(static_cast<IMAPIProp*>(pUnk.Get()), ulOstIdTag, &pRaw);
    MapiPtr<SPropValue> pProp(pRaw);
    if (phr)
        *phr = hr;
    if (hr == MAPI_E_NOT_FOUND)
        return StampCheck::Missing;
    if (FAILED(hr))
        return StampCheck::Unreadable;
    if (plStamp)
        *plStamp = pProp->Value.l;
    return pProp->Value.l == lOstId ? StampCheck::Match : StampCheck::Different;
}

HRESULT WriteStamp(IMAPIProp* pObj, ULONG ulOstIdTag, LONG lOstId) {
    SPropValue value{};
    value.ulPropTag = ulOstIdTag;
    value.Value.l = lOstId;
    HRESULT hr = HrSetOneProp(pObj, &value);
    if (SUCCEEDED(hr))
        hr = pObj->SaveChanges(KEEP_OPEN_READWRITE);
    return hr;
}

HRESULT WalkStampedObjects(IMsgStore* pStore, IMAPIFolder* pFolder, const IdMapperTags& tags, bool bUniqueIds,
                           ULONG ulSkipFolder, const std::function<void(const StampedObject&)>& f) {
    SizedSPropTagArray(2, props) = {2, {PR_ENTRYID, tags.ulOstIdTag}};
    ULONG cValues = 0;
    LPSPropValue pRaw = nullptr;
    HRESULT hr = pFolder->GetProps(reinterpret_cast<LPSPropTagArray>(&props), MAPI_UNICODE, &cValues, &pRaw);
    MapiPtr<SPropValue> pProps(pRaw);
    if (FAILED(hr) || cValues != 2)
        return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
    ULONG ulPstId = 0;
    if (pProps.get()[0].ulPropTag != PR_ENTRYID || !ReadPstId(pProps.get()[0].Value.bin, &ulPstId))
        return MAPI_E_CALL_FAILED;
    if (ulPstId == ulSkipFolder)
        return S_OK;
    if (pProps.get()[1].ulPropTag == tags.ulOstIdTag) {
        StampedObject folder;
        folder.lOstId = pProps.get()[1].Value.l;
        folder.ulPstId = ulPstId;
        f(folder);
    }
    for (ULONG ulFlags : {ULONG(MAPI_UNICODE), ULONG(MAPI_UNICODE | MAPI_ASSOCIATED)}) {
        ComPtr<IMAPITable> pTable;
        if (FAILED(hr = pFolder->GetContentsTable(ulFlags, pTable.AddressOf())) ||
            FAILED(hr = WalkTable(pTable.Get(), tags, bUniqueIds, f)))
            return hr;
    }
    ComPtr<IMAPITable> pHierarchy;
    if (FAILED(hr = pFolder->GetHierarchyTable(MAPI_UNICODE, pHierarchy.AddressOf())))
        return hr;
    SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
    LPSRowSet pRowsRaw = nullptr;
    if (FAILED(hr = HrQueryAllRows(pHierarchy.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0,
                                   &pRowsRaw)))
        return hr;
    std::unique_ptr<SRowSet, RowsFree> pRows(pRowsRaw);
    for (ULONG i = 0; pRows && i < pRows->cRows; ++i) {
        const SRow& row = pRows->aRow[i];
        if (row.cValues < 1 || row.lpProps[0].ulPropTag != PR_ENTRYID)
            continue;
        ComPtr<IMAPIFolder> pChild;
        if (FAILED(hr = OpenFolderByEntryId(pStore, row.lpProps[0].Value.bin, pChild.AddressOf())) ||
            FAILED(hr = WalkStampedObjects(pStore, pChild.Get(), tags, bUniqueIds, ulSkipFolder, f)))
            return hr;
    }
    return S_OK;
}

HRESULT OpenRootFolder(IMsgStore* pStore, IMAPIFolder** ppFolder) {
    ULONG ulType = 0;
    return pStore->OpenEntry(0, nullptr, &IID_IMAPIFolder, MAPI_BEST_ACCESS, &ulType,
                             reinterpret_cast<IUnknown**>(ppFolder));
}

HRESULT OpenGalFolder(IMsgStore* pStore, IMAPIFolder** ppFolder) {
    static const wchar_t kGalName[] = L"Global Address List";
    ComPtr<IMAPIFolder> pRoot;
    HRESULT hr = OpenRootFolder(pStore, pRoot.AddressOf());
    if (FAILED(hr))
        return hr;
    if (SUCCEEDED(FindChildByName(pStore, pRoot.Get(), kGalName, ppFolder)))
        return S_OK;
    LPSPropValue pRaw = nullptr;
    if (FAILED(hr = HrGetOneProp(pStore, PR_IPM_SUBTREE_ENTRYID, &pRaw)))
        return hr;
    MapiPtr<SPropValue> pSubtreeEid(pRaw);
    ComPtr<IMAPIFolder> pSubtree;
    if (FAILED(hr = OpenFolderByEntryId(pStore, pSubtreeEid->Value.bin, pSubtree.AddressOf())))
        return hr;
    return FindChildByName(pStore, pSubtree.Get(), kGalName, ppFolder);
}

HRESULT ForEachStampedRow(IMAPITable* pTable, const IdMapperTags& tags, bool bUniqueIds,
                          const std::function<void(const SRow&)>& f) {
    SizedSPropTagArray(3, columns) = {bUniqueIds ? 3u : 2u, {PR_ENTRYID, tags.ulOstIdTag, tags.ulUniqueIdTag}};
    HRESULT hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    if (FAILED(hr))
        return hr;
    SRestriction exist{};
    exist.rt = RES_EXIST;
    exist.res.resExist.ulPropTag = tags.ulOstIdTag;
    if (FAILED(hr = pTable->Restrict(&exist, 0)))
        return hr;
    return ForEachRow(pTable, f);
}

}  // namespace Ostrel::Mapi
