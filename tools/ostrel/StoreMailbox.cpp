#include "StoreMailbox.h"

#include "Profile.h"

#include "Ostrel/Store/NamedProps.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Util/Log/Log.h"

#include <set>
#include <vector>

namespace OstrelCli {

namespace {

using Platform::ComPtr;

struct PropBuffer {
    LPSPropValue p = nullptr;
    ~PropBuffer() { MAPIFreeBuffer(p); }
};

struct RowBuffer {
    LPSRowSet p = nullptr;
    ~RowBuffer() { FreeProws(p); }
};

HRESULT OpenFolderByEid(IMsgStore* pStore, ULONG cb, const void* pEid, IMAPIFolder** ppFolder) {
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    HRESULT hr = pStore->OpenEntry(cb, static_cast<LPENTRYID>(const_cast<void*>(pEid)), &IID_IMAPIFolder,
                                   MAPI_MODIFY | MAPI_BEST_ACCESS, &ulType, pUnk.AddressOf());
    if (FAILED(hr))
        return hr;
    if (ulType != MAPI_FOLDER)
        return MAPI_E_NOT_FOUND;
    *ppFolder = static_cast<IMAPIFolder*>(pUnk.Detach());
    return S_OK;
}

// The folder whose entry id is the binary property ulTag of pHolder (index iIndex of a
// multi-valued one).
HRESULT OpenFolderFromProp(IMsgStore* pStore, IMAPIProp* pHolder, ULONG ulTag, int iIndex, IMAPIFolder** ppFolder) {
    PropBuffer value;
    HRESULT hr = HrGetOneProp(pHolder, ulTag, &value.p);
    if (FAILED(hr))
        return hr;
    if (PROP_TYPE(ulTag) == PT_MV_BINARY) {
        if (iIndex < 0 || static_cast<ULONG>(iIndex) >= value.p->Value.MVbin.cValues ||
            value.p->Value.MVbin.lpbin[iIndex].cb == 0)
            return MAPI_E_NOT_FOUND;
        const SBinary& bin = value.p->Value.MVbin.lpbin[iIndex];
        return OpenFolderByEid(pStore, bin.cb, bin.lpb, ppFolder);
    }
    return OpenFolderByEid(pStore, value.p->Value.bin.cb, value.p->Value.bin.lpb, ppFolder);
}

// The object's PR_OSTREL_ID, 0 when it has none.
int32_t StampOf(IMAPIProp* pObject, ULONG ulTag) {
    PropBuffer value;
    if (FAILED(HrGetOneProp(pObject, ulTag, &value.p)))
        return 0;
    return value.p->Value.l;
}

}  // namespace

std::filesystem::path StoreMailbox::StorePath(const std::string& profile) {
    return ProfileDir(profile) / (profile + ".osd");
}

StoreMailbox::StoreMailbox(const std::string& profile)
    : m_profile(profile),
      m_path(StorePath(profile)),
      m_pState(std::make_unique<LocalMailbox>(ProfileDataDir(profile))) {}

StoreMailbox::~StoreMailbox() {
    if (m_pItems)
        m_pItems->UnInitIdMapper();
    if (m_pGal)
        m_pGal->UnInitIdMapper();
}

bool StoreMailbox::Lock() {
    return m_pState->Lock();
}

HRESULT StoreMailbox::Open(bool bWritable, std::string& why) {
    HRESULT hr =
        Platform::OpenOsdStore(m_path, bWritable, Platform::FromUtf8(m_profile), bWritable, m_pStore.AddressOf());
    if (FAILED(hr)) {
        why = hr == MAPI_E_NOT_FOUND       ? "no store " + m_path.string() + ": run 'ostrel sync' first"
              : hr == MAPI_E_CORRUPT_STORE ? m_path.string() + " is not a store, or a damaged one"
                                           : "cannot open " + m_path.string();
        return hr;
    }
    Ostrel::Mapi::NamedProps* pNamed = Ostrel::Mapi::NamedPropsManager::SetNamedProps(m_pStore.Get());
    if (!pNamed) {
        why = "cannot read the named properties of " + m_path.string();
        return MAPI_E_CALL_FAILED;
    }
    m_ulOstrelId = Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::OSTREL_ID, PT_LONG, pNamed);
    m_pBaseline = std::make_unique<SyncBaseline>(m_pStore.Get());
    if (!m_pBaseline->IsValid()) {
        why = "cannot read the sync properties of " + m_path.string();
        return MAPI_E_CALL_FAILED;
    }
    m_pItems = std::make_unique<Ostrel::Mapi::IdMapper>(nullptr, m_pStore.Get(), Ostrel::Mapi::IdMapperTypeItem);
    m_pGal = std::make_unique<Ostrel::Mapi::IdMapper>(nullptr, m_pStore.Get(), Ostrel::Mapi::IdMapperTypeGalRefs);
    for (Ostrel::Mapi::IdMapper* pMapper : {m_pItems.get(), m_pGal.get()}) {
        hr = pMapper->LoadAndVerifyIfNec();
        if (SUCCEEDED(hr))
            hr = pMapper->LoadCache();
        if (FAILED(hr)) {
            why = "cannot load the id map of " + m_path.string();
            return hr;
        }
    }
    return S_OK;
}

HRESULT StoreMailbox::OpenSubtree(IMAPIFolder** ppFolder) {
    return OpenFolderFromProp(m_pStore.Get(), m_pStore.Get(), PR_IPM_SUBTREE_ENTRYID, 0, ppFolder);
}

HRESULT StoreMailbox::OpenSpecialFolder(int32_t iServerId, IMAPIFolder** ppFolder) {
    IMsgStore* pStore = m_pStore.Get();
    switch (iServerId) {
        case kRootFolderId:
            return OpenSubtree(ppFolder);
        case kServerInbox: {
            ULONG cb = 0;
            LPENTRYID pEid = nullptr;
            HRESULT hr = pStore->GetReceiveFolder(const_cast<wchar_t*>(L"IPM.Note"), MAPI_UNICODE, &cb, &pEid, nullptr);
            if (SUCCEEDED(hr))
                hr = OpenFolderByEid(pStore, cb, pEid, ppFolder);
            MAPIFreeBuffer(pEid);
            return hr;
        }
        case kServerTrash:
            return OpenFolderFromProp(pStore, pStore, PR_IPM_WASTEBASKET_ENTRYID, 0, ppFolder);
        case kServerSent:
            return OpenFolderFromProp(pStore, pStore, PR_IPM_SENTMAIL_ENTRYID, 0, ppFolder);
        default:
            break;
    }
    ULONG ulTag = PR_NULL;
    int iIndex = 0;
    switch (iServerId) {
        case kServerJunk:
            ulTag = PR_ADDITIONAL_REN_ENTRYIDS;
            iIndex = 4;
            break;
        case kServerDrafts:
            ulTag = PR_IPM_DRAFTS_ENTRYID;
            break;
        case kServerContacts:
            ulTag = PR_IPM_CONTACT_ENTRYID;
            break;
        case kServerCalendar:
            ulTag = PR_IPM_APPOINTMENT_ENTRYID;
            break;
        case kServerTasks:
            ulTag = PR_IPM_TASK_ENTRYID;
            break;
        default:
            return MAPI_E_NOT_FOUND;
    }
    ComPtr<IMAPIFolder> pRoot;
    HRESULT hr = OpenFolderByEid(pStore, 0, nullptr, pRoot.AddressOf());
    if (FAILED(hr))
        return hr;
    return OpenFolderFromProp(pStore, pRoot.Get(), ulTag, iIndex, ppFolder);
}

HRESULT StoreMailbox::OpenFolder(int32_t iServerId, IMAPIFolder** ppFolder) {
    ULONG cb = 0;
    BYTE* pEid = nullptr;
    if (m_pItems->Get(iServerId, &cb, &pEid)) {
        ComPtr<IMAPIFolder> pFolder;
        const HRESULT hr = OpenFolderByEid(m_pStore.Get(), cb, pEid, pFolder.AddressOf());
        MAPIFreeBuffer(pEid);
        if (SUCCEEDED(hr) && StampOf(pFolder.Get(), m_ulOstrelId) == iServerId) {
            *ppFolder = pFolder.Detach();
            return S_OK;
        }
    }
    ComPtr<IMAPIFolder> pFolder;
    if (SUCCEEDED(OpenSpecialFolder(iServerId, pFolder.AddressOf()))) {
        *ppFolder = pFolder.Detach();
        return S_OK;
    }
    ComPtr<IMAPIFolder> pSubtree;
    HRESULT hr = OpenSubtree(pSubtree.AddressOf());
    if (FAILED(hr))
        return hr;
    const std::string eid = FindStamped(pSubtree.Get(), iServerId, true, true);
    if (eid.empty())
        return MAPI_E_NOT_FOUND;
    hr = OpenFolderByEid(m_pStore.Get(), static_cast<ULONG>(eid.size()), eid.data(), ppFolder);
    if (SUCCEEDED(hr))
        m_pItems->Put(iServerId, static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(const_cast<char*>(eid.data())),
                      FALSE);
    return hr;
}

HRESULT StoreMailbox::OpenItem(int32_t iServerId, int32_t iFolderHint, IMessage** ppMessage) {
    ULONG cb = 0;
    BYTE* pEid = nullptr;
    if (m_pItems->Get(iServerId, &cb, &pEid)) {
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        const HRESULT hr = m_pStore->OpenEntry(cb, reinterpret_cast<LPENTRYID>(pEid), &IID_IMessage,
                                               MAPI_MODIFY | MAPI_BEST_ACCESS, &ulType, pUnk.AddressOf());
        MAPIFreeBuffer(pEid);
        if (SUCCEEDED(hr) && ulType == MAPI_MESSAGE &&
            StampOf(static_cast<IMessage*>(pUnk.Get()), m_ulOstrelId) == iServerId) {
            *ppMessage = static_cast<IMessage*>(pUnk.Detach());
            return S_OK;
        }
        if (hr != MAPI_E_NOT_FOUND && FAILED(hr))
            return hr;
        // The record names an object that is gone (deleted in the store) or is another one.
        return MAPI_E_NOT_FOUND;
    }
    ComPtr<IMAPIFolder> pFolder;
    HRESULT hr = iFolderHint ? OpenFolder(iFolderHint, pFolder.AddressOf()) : OpenSubtree(pFolder.AddressOf());
    if (FAILED(hr))
        return hr;
    const std::string eid = FindStamped(pFolder.Get(), iServerId, false, iFolderHint == 0);
    if (eid.empty())
        return MAPI_E_NOT_FOUND;
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    hr = m_pStore->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(eid.data())),
                             &IID_IMessage, MAPI_MODIFY | MAPI_BEST_ACCESS, &ulType, pUnk.AddressOf());
    if (FAILED(hr))
        return hr;
    m_pItems->Put(iServerId, static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(const_cast<char*>(eid.data())),
                  FALSE);
    *ppMessage = static_cast<IMessage*>(pUnk.Detach());
    return S_OK;
}

std::string StoreMailbox::FindStamped(IMAPIFolder* pFolder, int32_t iServerId, bool bFolders, bool bRecurse) {
    SPropValue value{m_ulOstrelId, 0, {}};
    value.Value.l = iServerId;
    SRestriction restriction{RES_PROPERTY, {}};
    restriction.res.resProperty = {RELOP_EQ, m_ulOstrelId, &value};
    SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
    std::vector<ComPtr<IMAPIFolder>> pending{ComPtr<IMAPIFolder>(pFolder)};
    while (!pending.empty()) {
        ComPtr<IMAPIFolder> pCurrent = std::move(pending.back());
        pending.pop_back();
        ComPtr<IMAPITable> pTable;
        HRESULT hr = bFolders ? pCurrent->GetHierarchyTable(0, pTable.AddressOf())
                              : pCurrent->GetContentsTable(0, pTable.AddressOf());
        RowBuffer rows;
        if (SUCCEEDED(hr))
            hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&columns), &restriction, nullptr, 0,
                                &rows.p);
        if (SUCCEEDED(hr) && rows.p->cRows && PROP_TYPE(rows.p->aRow[0].lpProps[0].ulPropTag) == PT_BINARY) {
            const SBinary& bin = rows.p->aRow[0].lpProps[0].Value.bin;
            return std::string(reinterpret_cast<const char*>(bin.lpb), bin.cb);
        }
        ComPtr<IMAPITable> pChildren;
        RowBuffer children;
        if (!bRecurse || FAILED(pCurrent->GetHierarchyTable(0, pChildren.AddressOf())) ||
            FAILED(HrQueryAllRows(pChildren.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0,
                                  &children.p)))
            continue;
        for (ULONG i = 0; i < children.p->cRows; ++i) {
            const SPropValue& eid = children.p->aRow[i].lpProps[0];
            ComPtr<IMAPIFolder> pChild;
            if (PROP_TYPE(eid.ulPropTag) == PT_BINARY &&
                SUCCEEDED(OpenFolderByEid(m_pStore.Get(), eid.Value.bin.cb, eid.Value.bin.lpb, pChild.AddressOf())))
                pending.push_back(pChild);
        }
    }
    return std::string();
}

HRESULT StoreMailbox::OpenLocalFolder(const std::wstring& wsPath, IMAPIFolder** ppFolder) {
    ComPtr<IMAPIFolder> pFolder;
    HRESULT hr = OpenSubtree(pFolder.AddressOf());
    size_t start = 0;
    while (SUCCEEDED(hr) && start < wsPath.size()) {
        size_t slash = wsPath.find(L'/', start);
        if (slash == std::wstring::npos)
            slash = wsPath.size();
        const std::wstring name = wsPath.substr(start, slash - start);
        start = slash + 1;
        if (name.empty())
            continue;
        ComPtr<IMAPIFolder> pChild;
        hr = pFolder->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(name.c_str()), nullptr, nullptr,
                                   MAPI_UNICODE | OPEN_IF_EXISTS, pChild.AddressOf());
        pFolder = pChild;
    }
    if (SUCCEEDED(hr))
        *ppFolder = pFolder.Detach();
    return hr;
}

HRESULT StoreMailbox::ReadFolders() {
    m_folders.reset();
    ComPtr<IMAPIFolder> pSubtree;
    HRESULT hr = OpenSubtree(pSubtree.AddressOf());
    if (FAILED(hr))
        return hr;
    PropBuffer subtreeId;
    hr = HrGetOneProp(pSubtree.Get(), PR_ENTRYID, &subtreeId.p);
    if (FAILED(hr))
        return hr;
    std::vector<StoreFolder> folders;
    std::set<std::string> listed;
    hr = ListFolders(std::string(reinterpret_cast<const char*>(subtreeId.p->Value.bin.lpb), subtreeId.p->Value.bin.cb),
                     1, listed, folders);
    if (FAILED(hr))
        return hr;
    m_folders = std::move(folders);
    return S_OK;
}

HRESULT StoreMailbox::ListFolders(const std::string& parentId, int iDepth, std::set<std::string>& listed,
                                  std::vector<StoreFolder>& folders) {
    // A parent met again is a loop of parent links.
    if (iDepth > 256 || !listed.insert(parentId).second)
        return MAPI_E_CORRUPT_STORE;
    ComPtr<IMAPIFolder> pParent;
    ComPtr<IMAPITable> pTable;
    RowBuffer rows;
    enum { kEid, kId, kClass, kCount, kChildren, kColumns };
    SizedSPropTagArray(kColumns, columns) = {
        kColumns, {PR_ENTRYID, m_ulOstrelId, PR_CONTAINER_CLASS_W, PR_CONTENT_COUNT, PR_FOLDER_CHILD_COUNT}};
    HRESULT hr =
        OpenFolderByEid(m_pStore.Get(), static_cast<ULONG>(parentId.size()), parentId.data(), pParent.AddressOf());
    if (SUCCEEDED(hr))
        hr = pParent->GetHierarchyTable(MAPI_UNICODE, pTable.AddressOf());
    if (SUCCEEDED(hr))
        hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows.p);
    if (FAILED(hr))
        return hr;
    for (ULONG i = 0; i < rows.p->cRows; ++i) {
        const SPropValue* p = rows.p->aRow[i].lpProps;
        if (p[kEid].ulPropTag != PR_ENTRYID || !p[kEid].Value.bin.cb)
            continue;
        StoreFolder folder;
        folder.entryId.assign(reinterpret_cast<const char*>(p[kEid].Value.bin.lpb), p[kEid].Value.bin.cb);
        folder.parentId = parentId;
        folder.iServerId = p[kId].ulPropTag == m_ulOstrelId ? p[kId].Value.l : 0;
        if (p[kClass].ulPropTag == PR_CONTAINER_CLASS_W && p[kClass].Value.lpszW)
            folder.wsClass = p[kClass].Value.lpszW;
        folder.cContent = p[kCount].ulPropTag == PR_CONTENT_COUNT ? p[kCount].Value.ul : 0;
        // A store table reads every message of the folder it lists: a folder without subfolders
        // is not listed, so the many messages of the leaf folders are never read.
        const bool bHasChildren = p[kChildren].ulPropTag != PR_FOLDER_CHILD_COUNT || p[kChildren].Value.ul > 0;
        const std::string entryId = folder.entryId;
        folders.push_back(std::move(folder));
        if (bHasChildren) {
            hr = ListFolders(entryId, iDepth + 1, listed, folders);
            if (FAILED(hr))
                return hr;
        }
    }
    return S_OK;
}

const std::vector<StoreFolder>& StoreMailbox::Folders() {
    static const std::vector<StoreFolder> none;
    if (!m_folders && FAILED(ReadFolders()))
        return none;
    return *m_folders;
}

HRESULT StoreMailbox::ForEachFolder(const std::function<void(IMAPIFolder* pFolder, int32_t iServerId)>& f) {
    if (m_folders) {
        for (const StoreFolder& folder : *m_folders) {
            ComPtr<IMAPIFolder> pFolder;
            // Gone since it was listed: the walk goes on without it, as a fresh listing would.
            if (FAILED(OpenFolderByEid(m_pStore.Get(), static_cast<ULONG>(folder.entryId.size()), folder.entryId.data(),
                                       pFolder.AddressOf())))
                continue;
            PropBuffer id;
            f(pFolder.Get(),
              SUCCEEDED(HrGetOneProp(pFolder.Get(), m_ulOstrelId, &id.p)) ? static_cast<int32_t>(id.p->Value.l) : 0);
        }
        return S_OK;
    }
    ComPtr<IMAPIFolder> pSubtree;
    HRESULT hr = OpenSubtree(pSubtree.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, m_ulOstrelId}};
    // Depth first, parents before children: a stack of folders whose children are still to visit.
    std::vector<ComPtr<IMAPIFolder>> stack{pSubtree};
    while (!stack.empty()) {
        ComPtr<IMAPIFolder> pFolder = std::move(stack.back());
        stack.pop_back();
        ComPtr<IMAPITable> pTable;
        RowBuffer rows;
        hr = pFolder->GetHierarchyTable(0, pTable.AddressOf());
        if (SUCCEEDED(hr))
            hr =
                HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows.p);
        if (FAILED(hr))
            return hr;
        std::vector<ComPtr<IMAPIFolder>> children;
        for (ULONG i = 0; i < rows.p->cRows; ++i) {
            const SPropValue* pProps = rows.p->aRow[i].lpProps;
            ComPtr<IMAPIFolder> pChild;
            if (PROP_TYPE(pProps[0].ulPropTag) != PT_BINARY ||
                FAILED(OpenFolderByEid(m_pStore.Get(), pProps[0].Value.bin.cb, pProps[0].Value.bin.lpb,
                                       pChild.AddressOf())))
                continue;
            f(pChild.Get(), pProps[1].ulPropTag == m_ulOstrelId ? pProps[1].Value.l : 0);
            children.push_back(pChild);
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            stack.push_back(*it);
    }
    return S_OK;
}

void StoreMailbox::Flush() {
    m_pItems->Flush(TRUE);
    m_pGal->Flush(TRUE);
}

}  // namespace OstrelCli
