#include "Ostrel/Store/Folder.h"

#include <cstring>
#include <memory>

#include "Ostrel/Store/ChangeKey.h"
#include "Ostrel/Store/StoreText.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

// Deep enough for any real folder tree; guards against a tree that loops.
constexpr int kMaxDepth = 256;

struct RowsHolder {
    LPSRowSet p = nullptr;
    ~RowsHolder() { FreeProws(p); }
};

struct BufferHolder {
    void* p = nullptr;
    ~BufferHolder() { MAPIFreeBuffer(p); }
};

HRESULT CopyToMapiBuffer(const SBinary& bin, SBinary* pOut) {
    void* p = nullptr;
    HRESULT hr = MAPIAllocateBuffer(bin.cb ? bin.cb : 1, &p);
    if (FAILED(hr))
        return hr;
    if (bin.cb)
        memcpy(p, bin.lpb, bin.cb);
    *pOut = {bin.cb, static_cast<LPBYTE>(p)};
    return S_OK;
}

// Whether two entry ids name the same object of the store.
bool SameEntry(IMsgStore* pStore, const SBinary& a, const SBinary& b) {
    ULONG ulResult = 0;
    if (pStore && SUCCEEDED(pStore->CompareEntryIDs(a.cb, reinterpret_cast<LPENTRYID>(a.lpb), b.cb,
                                                    reinterpret_cast<LPENTRYID>(b.lpb), 0, &ulResult)))
        return ulResult != 0;
    return a.cb == b.cb && memcmp(a.lpb, b.lpb, a.cb) == 0;
}

}  // namespace

Folder::Folder(IMAPIFolder* pFolder, IMsgStore* pStore)
    : m_pFolder(pFolder),
      m_pStore(pStore),
      m_pNamedProps(pFolder ? NamedPropsManager::GetNamedPropsFromMAPIProp(pFolder) : nullptr) {}

Folder::Folder(const SBinary* pEntryId, IMsgStore* pStore) : m_pStore(pStore) {
    if (!pEntryId || !pStore) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return;
    }
    ULONG ulType = 0;
    Platform::ComPtr<IUnknown> pUnk;
    HRESULT hr = pStore->OpenEntry(pEntryId->cb, reinterpret_cast<LPENTRYID>(pEntryId->lpb), &IID_IMAPIFolder,
                                   MAPI_BEST_ACCESS, &ulType, pUnk.AddressOf());
    if (SUCCEEDED(hr) && ulType != MAPI_FOLDER)
        hr = MAPI_E_INVALID_ENTRYID;
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"OpenEntry() failed, hr: %x", hr);
        return;
    }
    m_pFolder.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
    m_pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pFolder.Get());
}

Folder::~Folder() = default;

HRESULT Folder::FolderName(wchar_t** ppwszName) {
    if (!ppwszName)
        return E_INVALIDARG;
    *ppwszName = nullptr;
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(m_pFolder.Get(), PR_DISPLAY_NAME_W, &pValue);
    if (SUCCEEDED(hr)) {
        size_t cch = wcslen(pValue->Value.lpszW) + 1;
        void* p = nullptr;
        hr = MAPIAllocateBuffer(static_cast<ULONG>(cch * sizeof(wchar_t)), &p);
        if (SUCCEEDED(hr)) {
            wmemcpy(static_cast<wchar_t*>(p), pValue->Value.lpszW, cch);
            *ppwszName = static_cast<wchar_t*>(p);
        }
    }
    MAPIFreeBuffer(pValue);
    return hr;
}

HRESULT Folder::Update(const wchar_t* pwszNewName) {
    if (!pwszNewName || !*pwszNewName)
        return E_INVALIDARG;
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    LPSPropValue pOld = nullptr;
    bool bSame = SUCCEEDED(HrGetOneProp(m_pFolder.Get(), PR_DISPLAY_NAME_W, &pOld)) &&
                 wcscmp(pOld->Value.lpszW, pwszNewName) == 0;
    MAPIFreeBuffer(pOld);
    if (bSame)
        return S_OK;
    SPropValue value{};
    value.ulPropTag = PR_DISPLAY_NAME_W;
    value.Value.lpszW = const_cast<wchar_t*>(pwszNewName);
    HRESULT hr = WrapSetProps(m_pFolder.Get(), 1, &value, nullptr, m_pNamedProps);
    if (SUCCEEDED(hr) && !UpdateChangeKey(m_pFolder.Get()))
        hr = MAPI_E_CALL_FAILED;
    if (SUCCEEDED(hr))
        hr = WrapSaveChanges(m_pFolder.Get(), KEEP_OPEN_READWRITE, 0);
    return hr;
}

HRESULT Folder::ContentIds(ULONG ulFlags, std::vector<LONG>** ppIds) {
    if (!ppIds)
        return E_INVALIDARG;
    *ppIds = nullptr;
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = m_pFolder->GetContentsTable(ulFlags, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetContentsTable() failed, hr: %x", hr);
        return hr;
    }
    const ULONG ulTag = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, m_pNamedProps);
    SizedSPropTagArray(1, cols) = {1, {ulTag}};
    RowsHolder rows;
    hr = QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p);
    if (FAILED(hr))
        return hr;
    auto pIds = std::make_unique<std::vector<LONG>>();
    for (ULONG i = 0; i < rows.p->cRows; ++i)
        if (rows.p->aRow[i].cValues && rows.p->aRow[i].lpProps[0].ulPropTag == ulTag)
            pIds->push_back(rows.p->aRow[i].lpProps[0].Value.l);
    *ppIds = pIds.release();
    return S_OK;
}

HRESULT Folder::MessageIds(std::vector<LONG>** ppIds) {
    return ContentIds(0, ppIds);
}

HRESULT Folder::PrivateMessageIds(std::vector<LONG>** ppIds) {
    return ContentIds(MAPI_ASSOCIATED, ppIds);
}

HRESULT Folder::SubFolderIdsInternal(IMAPIFolder* pFolder, std::vector<LONG>& ids, bool bRecurse, int iDepth) {
    if (iDepth > kMaxDepth)
        return MAPI_E_TOO_COMPLEX;
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pFolder->GetHierarchyTable(0, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetHierarchyTable() failed, hr: %x", hr);
        return hr;
    }
    const ULONG ulTag = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, m_pNamedProps);
    SizedSPropTagArray(2, cols) = {2, {ulTag, PR_ENTRYID}};
    RowsHolder rows;
    hr = QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p);
    if (FAILED(hr))
        return hr;
    for (ULONG i = 0; i < rows.p->cRows && SUCCEEDED(hr); ++i) {
        const SRow& row = rows.p->aRow[i];
        if (row.cValues < 2)
            continue;
        if (row.lpProps[0].ulPropTag == ulTag)
            ids.push_back(row.lpProps[0].Value.l);
        if (!bRecurse || row.lpProps[1].ulPropTag != PR_ENTRYID)
            continue;
        ULONG ulType = 0;
        Platform::ComPtr<IUnknown> pUnk;
        const SBinary& eid = row.lpProps[1].Value.bin;
        hr = pFolder->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), &IID_IMAPIFolder, 0, &ulType,
                                pUnk.AddressOf());
        if (SUCCEEDED(hr) && ulType == MAPI_FOLDER)
            hr = SubFolderIdsInternal(static_cast<IMAPIFolder*>(pUnk.Get()), ids, true, iDepth + 1);
    }
    return hr;
}

HRESULT Folder::SubFolderIds(std::vector<LONG>** ppIds, int recurse) {
    if (!ppIds)
        return E_INVALIDARG;
    *ppIds = nullptr;
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    auto pIds = std::make_unique<std::vector<LONG>>();
    HRESULT hr = SubFolderIdsInternal(m_pFolder.Get(), *pIds, recurse != 0, 0);
    if (SUCCEEDED(hr))
        *ppIds = pIds.release();
    return hr;
}

void Folder::FreeIds(std::vector<LONG>*& pIds) {
    delete pIds;
    pIds = nullptr;
}

HRESULT Folder::GetSubFolderByName(const wchar_t* pwszName, SBinary* pEntryId) {
    if (!pwszName || !pEntryId)
        return E_INVALIDARG;
    *pEntryId = {0, nullptr};
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = m_pFolder->GetHierarchyTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetHierarchyTable() failed, hr: %x", hr);
        return hr;
    }
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
    RowsHolder rows;
    hr = QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p);
    if (FAILED(hr))
        return hr;
    for (ULONG i = 0; i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        const wchar_t* pwsz = RowString(row, 0, PR_DISPLAY_NAME_W);
        if (pwsz && row.lpProps[1].ulPropTag == PR_ENTRYID && EqualsNoCase(pwsz, pwszName))
            return CopyToMapiBuffer(row.lpProps[1].Value.bin, pEntryId);
    }
    return MAPI_E_NOT_FOUND;
}

Mail::MailItemType Folder::GetContainerClass() {
    if (!m_pFolder)
        return Mail::MIT_MESSAGE;
    LPSPropValue pValue = nullptr;
    Mail::MailItemType type = Mail::MIT_MESSAGE;
    if (SUCCEEDED(HrGetOneProp(m_pFolder.Get(), PR_CONTAINER_CLASS_W, &pValue))) {
        struct Prefix {
            const wchar_t* pwsz;
            Mail::MailItemType type;
        };
        static const Prefix kClasses[] = {{L"IPF.Contact", Mail::MIT_CONTACT},
                                          {L"IPF.Appointment", Mail::MIT_APPOINTMENT},
                                          {L"IPF.Task", Mail::MIT_TASK},
                                          {L"IPF.StickyNote", Mail::MIT_NOTE},
                                          {L"IPF.Document", Mail::MIT_DOCUMENT}};
        const std::wstring_view wsClass(pValue->Value.lpszW);
        for (const Prefix& prefix : kClasses) {
            const std::wstring_view ws(prefix.pwsz);
            if (wsClass.size() >= ws.size() && EqualsNoCase(wsClass.substr(0, ws.size()), ws) &&
                (wsClass.size() == ws.size() || wsClass[ws.size()] == L'.')) {
                type = prefix.type;
                break;
            }
        }
    }
    MAPIFreeBuffer(pValue);
    return type;
}

HRESULT Folder::SetContainerClass(const wchar_t* pwszClass) {
    if (!pwszClass)
        return E_INVALIDARG;
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SPropValue value{};
    value.ulPropTag = PR_CONTAINER_CLASS_W;
    value.Value.lpszW = const_cast<wchar_t*>(pwszClass);
    HRESULT hr = WrapSetProps(m_pFolder.Get(), 1, &value, nullptr, m_pNamedProps);
    if (SUCCEEDED(hr))
        hr = WrapSaveChanges(m_pFolder.Get(), KEEP_OPEN_READWRITE, 0);
    return hr;
}

HRESULT Folder::IsHiddenFolder(int* pbHidden) {
    if (!pbHidden)
        return E_INVALIDARG;
    *pbHidden = 0;
    if (!m_pFolder)
        return E_POINTER;
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(m_pFolder.Get(), PR_ATTR_HIDDEN, &pValue);
    if (SUCCEEDED(hr))
        *pbHidden = pValue->Value.b ? 1 : 0;
    MAPIFreeBuffer(pValue);
    return hr == MAPI_E_NOT_FOUND ? S_OK : hr;
}

HRESULT Folder::IsSearchFolder(int* pbSearch) {
    if (!pbSearch)
        return E_INVALIDARG;
    *pbSearch = 0;
    if (!m_pFolder)
        return E_POINTER;
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(m_pFolder.Get(), PR_FOLDER_TYPE, &pValue);
    if (SUCCEEDED(hr))
        *pbSearch = pValue->Value.ul == FOLDER_SEARCH ? 1 : 0;
    MAPIFreeBuffer(pValue);
    return hr;
}

bool Folder::IsRootFolder() {
    if (!m_pFolder)
        return false;
    LPSPropValue pValue = nullptr;
    bool bRoot = SUCCEEDED(HrGetOneProp(m_pFolder.Get(), PR_FOLDER_TYPE, &pValue)) && pValue->Value.ul == FOLDER_ROOT;
    MAPIFreeBuffer(pValue);
    return bRoot;
}

// Whether the folder's entry id equals the binary property ulStoreTag of the store (or, for the
// drafts folder, of the store's root folder).
bool Folder::HasEntryId(ULONG ulStoreTag) {
    if (!m_pFolder || !m_pStore)
        return false;
    BufferHolder own, other;
    LPSPropValue pOwn = nullptr, pOther = nullptr;
    if (FAILED(HrGetOneProp(m_pFolder.Get(), PR_ENTRYID, &pOwn)))
        return false;
    own.p = pOwn;
    HRESULT hr = HrGetOneProp(m_pStore.Get(), ulStoreTag, &pOther);
    if (hr == MAPI_E_NOT_FOUND) {
        // Mail clients keep some special folders' entry ids on the root folder.
        ULONG ulType = 0;
        Platform::ComPtr<IUnknown> pRoot;
        if (SUCCEEDED(m_pStore->OpenEntry(0, nullptr, &IID_IMAPIFolder, 0, &ulType, pRoot.AddressOf())))
            hr = HrGetOneProp(static_cast<IMAPIFolder*>(pRoot.Get()), ulStoreTag, &pOther);
    }
    if (FAILED(hr))
        return false;
    other.p = pOther;
    return SameEntry(m_pStore.Get(), pOwn->Value.bin, pOther->Value.bin);
}

bool Folder::IsIpmRootFolder() {
    return HasEntryId(PR_IPM_SUBTREE_ENTRYID);
}

bool Folder::IsTrashFolder() {
    return HasEntryId(PR_IPM_WASTEBASKET_ENTRYID);
}

bool Folder::IsDraftsFolder() {
    return HasEntryId(PR_IPM_DRAFTS_ENTRYID);
}

bool Folder::IsIPMSubtreeFolderDescendent() {
    if (!m_pFolder || !m_pStore)
        return false;
    LPSPropValue pSubtree = nullptr;
    if (FAILED(HrGetOneProp(m_pStore.Get(), PR_IPM_SUBTREE_ENTRYID, &pSubtree)))
        return false;
    BufferHolder subtree{pSubtree};
    Platform::ComPtr<IMAPIFolder> pCurrent = m_pFolder;
    for (int iDepth = 0; iDepth < kMaxDepth; ++iDepth) {
        LPSPropValue pValues = nullptr;
        ULONG cValues = 0;
        SizedSPropTagArray(2, tags) = {2, {PR_ENTRYID, PR_PARENT_ENTRYID}};
        if (FAILED(pCurrent->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &cValues, &pValues)) ||
            cValues != 2) {
            MAPIFreeBuffer(pValues);
            return false;
        }
        BufferHolder values{pValues};
        if (pValues[0].ulPropTag != PR_ENTRYID || pValues[1].ulPropTag != PR_PARENT_ENTRYID)
            return false;
        // The subtree folder itself does not count; reaching the root ends the walk.
        if (SameEntry(m_pStore.Get(), pValues[1].Value.bin, pSubtree->Value.bin))
            return true;
        if (SameEntry(m_pStore.Get(), pValues[0].Value.bin, pValues[1].Value.bin))
            return false;
        ULONG ulType = 0;
        Platform::ComPtr<IUnknown> pUnk;
        if (FAILED(m_pStore->OpenEntry(pValues[1].Value.bin.cb, reinterpret_cast<LPENTRYID>(pValues[1].Value.bin.lpb),
                                       &IID_IMAPIFolder, 0, &ulType, pUnk.AddressOf())) ||
            ulType != MAPI_FOLDER)
            return false;
        pCurrent.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
    }
    return false;
}

bool Folder::IsLocalFolder() {
    if (!m_pFolder)
        return false;
    LPSPropValue pValue = nullptr;
    bool bLocal = SUCCEEDED(HrGetOneProp(m_pFolder.Get(),
                                         NAMED_PROP(NamedProps::LOCAL_FOLDER, PT_BOOLEAN, m_pNamedProps), &pValue)) &&
                  pValue->Value.b;
    MAPIFreeBuffer(pValue);
    return bLocal;
}

HRESULT Folder::SetLocalFolder(int bLocal, int recurse) {
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SPropValue value{};
    value.ulPropTag = NAMED_PROP(NamedProps::LOCAL_FOLDER, PT_BOOLEAN, m_pNamedProps);
    value.Value.b = bLocal ? 1 : 0;
    HRESULT hr = WrapSetProps(m_pFolder.Get(), 1, &value, nullptr, m_pNamedProps);
    if (SUCCEEDED(hr))
        hr = WrapSaveChanges(m_pFolder.Get(), KEEP_OPEN_READWRITE, 0);
    if (FAILED(hr) || !recurse)
        return hr;
    Platform::ComPtr<IMAPITable> pTable;
    hr = m_pFolder->GetHierarchyTable(0, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetHierarchyTable() failed, hr: %x", hr);
        return hr;
    }
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    RowsHolder rows;
    hr = QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p);
    for (ULONG i = 0; SUCCEEDED(hr) && i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        if (row.cValues < 1 || row.lpProps[0].ulPropTag != PR_ENTRYID)
            continue;
        Folder child(&row.lpProps[0].Value.bin, m_pStore.Get());
        hr = child.IsValid() ? child.SetLocalFolder(bLocal, recurse) : MAPI_E_NOT_FOUND;
    }
    return hr;
}

ULONG Folder::Ace() {
    if (!m_pFolder)
        return 0;
    LPSPropValue pValue = nullptr;
    ULONG ul = 0;
    if (SUCCEEDED(HrGetOneProp(m_pFolder.Get(), NAMED_PROP(NamedProps::FOLDER_ACE, PT_LONG, m_pNamedProps), &pValue)))
        ul = pValue->Value.ul;
    MAPIFreeBuffer(pValue);
    return ul;
}

HRESULT Folder::Ace(ULONG ulRights) {
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SPropValue value{};
    value.ulPropTag = NAMED_PROP(NamedProps::FOLDER_ACE, PT_LONG, m_pNamedProps);
    value.Value.ul = ulRights;
    HRESULT hr = WrapSetProps(m_pFolder.Get(), 1, &value, nullptr, m_pNamedProps);
    if (SUCCEEDED(hr))
        hr = WrapSaveChanges(m_pFolder.Get(), KEEP_OPEN_READWRITE, 0);
    return hr;
}

}  // namespace Ostrel::Mapi
