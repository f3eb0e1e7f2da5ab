#include "Ostrel/Store/StoreFolders.h"

#include <memory>
#include <set>

#include "Ostrel/Store/ChangeKey.h"
#include "Ostrel/Store/Diagnostics.h"
#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/StoreText.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Util/Log/Log.h"
#include "Util/Log/LogFormat.h"

namespace Ostrel::Mapi {

namespace {

// Numbers tried after a name, "Name1" to "Name65534".
constexpr int kMaxNameNumber = 65534;

struct RowsHolder {
    LPSRowSet p = nullptr;
    ~RowsHolder() { FreeProws(p); }
};

std::wstring NumberedName(const wchar_t* pwszName, int n) {
    return Util::FormatW(L"%ls%d", pwszName, n);
}

IMAPIFolder* OpenFolder(IMAPIContainer* pContainer, const SBinary& eid, ULONG ulFlags) {
    ULONG ulType = 0;
    IUnknown* pUnk = nullptr;
    HRESULT hr =
        pContainer->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), &IID_IMAPIFolder, ulFlags, &ulType, &pUnk);
    if (SUCCEEDED(hr) && ulType != MAPI_FOLDER) {
        pUnk->Release();
        return nullptr;
    }
    return SUCCEEDED(hr) ? static_cast<IMAPIFolder*>(pUnk) : nullptr;
}

// The subfolders of pParent: display names and entry ids. Failures are logged.
HRESULT ReadSubfolders(IMAPIFolder* pParent, RowsHolder& rows) {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pParent->GetHierarchyTable(MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetHierarchyTable() failed, hr: %x", hr);
        return hr;
    }
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_W, PR_ENTRYID}};
    return QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p);
}

// The row whose display name equals the name (any case), or null.
const SRow* FindRow(const SRowSet& rows, std::wstring_view wsName) {
    for (ULONG i = 0; i < rows.cRows; ++i) {
        const wchar_t* pwsz = RowString(rows.aRow[i], 0, PR_DISPLAY_NAME_W);
        if (pwsz && rows.aRow[i].cValues > 1 && rows.aRow[i].lpProps[1].ulPropTag == PR_ENTRYID &&
            EqualsNoCase(pwsz, wsName))
            return &rows.aRow[i];
    }
    return nullptr;
}

// The smallest number n for which "<name>n" names no subfolder; 0 when all are taken.
int FreeNumber(const SRowSet& rows, const wchar_t* pwszName) {
    for (int n = 1; n <= kMaxNameNumber; ++n)
        if (!FindRow(rows, NumberedName(pwszName, n)))
            return n;
    return 0;
}

void DumpParent(IMAPIFolder* pParent, const wchar_t* pwszBefore, const wchar_t* pwszAfter) {
    OSTLOG_INFO(4, L"%ls", pwszBefore);
    DumpFolderInfo(pParent);
    OSTLOG_INFO(4, L"%ls", pwszAfter);
}

// Gives a folder created for the connector its change key and saves it.
HRESULT FinishNewFolder(IMAPIFolder* pFolder) {
    if (!UpdateChangeKey(pFolder))
        return MAPI_E_CALL_FAILED;
    return WrapSaveChanges(pFolder, KEEP_OPEN_READWRITE, 0);
}

HRESULT StampAndSave(IMAPIFolder* pFolder, LONG lOstId) {
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pFolder);
    if (!pNamedProps) {
        OSTLOG_ERROR(L"could not init name props...");
        return MAPI_E_NOT_FOUND;
    }
    SPropValue value{};
    value.ulPropTag = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, pNamedProps);
    value.Value.l = lOstId;
    HRESULT hr = WrapSetProps(pFolder, 1, &value, nullptr, pNamedProps);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not set the ostrel id, hr: %x", hr);
        return hr;
    }
    return WrapSaveChanges(pFolder, KEEP_OPEN_READWRITE, 0);
}

IMAPIFolder* CreateHiddenFolder(IMsgStore* pStore, const wchar_t* pwszName) {
    Platform::ComPtr<IMAPIFolder> pRoot;
    pRoot.Attach(GetRootFolder(pStore));
    if (!pRoot)
        return nullptr;
    IMAPIFolder* pFolder = nullptr;
    HRESULT hr = pRoot->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(pwszName), nullptr, nullptr,
                                     MAPI_UNICODE | OPEN_IF_EXISTS, &pFolder);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not create the folder '%ls', hr: %x", pwszName, hr);
        return nullptr;
    }
    return pFolder;
}

// Keeps a local folder's name before it steps aside for a server folder, for RestoreOriginalName.
HRESULT RememberOriginalName(IMAPIFolder* pFolder) {
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pFolder);
    LPSPropValue pName = nullptr;
    HRESULT hr = HrGetOneProp(pFolder, PR_DISPLAY_NAME_W, &pName);
    if (SUCCEEDED(hr)) {
        SPropValue value{};
        value.ulPropTag = NAMED_PROP(NamedProps::ORIGINAL_NAME, PT_UNICODE, pNamedProps);
        value.Value.lpszW = pName->Value.lpszW;
        hr = WrapSetProps(pFolder, 1, &value, nullptr, pNamedProps);
    }
    MAPIFreeBuffer(pName);
    return hr;
}

bool StoreFlag(IMsgStore* pStore, NamedProps::PropIdx idx) {
    if (!pStore)
        return false;
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    if (!pNamedProps)
        return false;
    LPSPropValue pValue = nullptr;
    bool b = SUCCEEDED(HrGetOneProp(pStore, NAMED_PROP(idx, PT_BOOLEAN, pNamedProps), &pValue)) && pValue->Value.b;
    MAPIFreeBuffer(pValue);
    return b;
}

}  // namespace

IMAPIFolder* GetRootFolder(IMsgStore* pStore) {
    if (!pStore) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return nullptr;
    }
    ULONG ulType = 0;
    IUnknown* pUnk = nullptr;
    HRESULT hr = pStore->OpenEntry(0, nullptr, &IID_IMAPIFolder, MAPI_BEST_ACCESS, &ulType, &pUnk);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not open the root folder, hr: %x", hr);
        return nullptr;
    }
    return static_cast<IMAPIFolder*>(pUnk);
}

IMAPIFolder* GetOstrelFolder(IMsgStore* pStore, const wchar_t* pwszName) {
    if (!pwszName)
        return nullptr;
    Platform::ComPtr<IMAPIFolder> pRoot;
    pRoot.Attach(GetRootFolder(pStore));
    if (!pRoot)
        return nullptr;
    RowsHolder rows;
    if (FAILED(ReadSubfolders(pRoot.Get(), rows)))
        return nullptr;
    const SRow* pRow = FindRow(*rows.p, pwszName);
    if (!pRow) {
        OSTLOG_INFO(16, L"no folder '%ls' below the root", pwszName);
        return nullptr;
    }
    return OpenFolder(pRoot.Get(), pRow->lpProps[1].Value.bin, MAPI_BEST_ACCESS);
}

IMAPIFolder* GetConversationFolder(IMsgStore* pStore) {
    return CreateHiddenFolder(pStore, kConversationFolderName);
}

IMAPIFolder* GetTagFolder(IMsgStore* pStore) {
    // Looked for before it is created: a store opened only for reading has its tags too.
    if (IMAPIFolder* pFolder = GetOstrelFolder(pStore, kTagFolderName))
        return pFolder;
    return CreateHiddenFolder(pStore, kTagFolderName);
}

bool IsPrimaryOstrelStore(IMsgStore* pStore) {
    return StoreFlag(pStore, NamedProps::PRIMARY_STORE);
}

bool IsBESConfigInitialized(IMsgStore* pStore) {
    return StoreFlag(pStore, NamedProps::BES_CONFIG_INITIALIZED);
}

HRESULT GetPrimaryStore(IMsgStore** ppStore, const wchar_t* pwszProfile) {
    if (!ppStore)
        return E_INVALIDARG;
    *ppStore = nullptr;
    Platform::ComPtr<IMAPISession> pSession;
    HRESULT hr =
        MAPILogonEx(0, const_cast<wchar_t*>(pwszProfile), nullptr, MAPI_UNICODE | MAPI_EXTENDED, pSession.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"MAPILogonEx() failed, hr: %x", hr);
        return hr;
    }
    Platform::ComPtr<IMAPITable> pTable;
    hr = pSession->GetMsgStoresTable(0, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetMsgStoresTable() failed, hr: %x", hr);
        return hr;
    }
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    RowsHolder rows;
    hr = QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p);
    for (ULONG i = 0; SUCCEEDED(hr) && i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        if (!row.cValues || row.lpProps[0].ulPropTag != PR_ENTRYID)
            continue;
        Platform::ComPtr<IMsgStore> pStore;
        const SBinary& eid = row.lpProps[0].Value.bin;
        if (FAILED(pSession->OpenMsgStore(0, eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr,
                                          MDB_WRITE | MDB_NO_DIALOG, pStore.AddressOf())))
            continue;
        if (IsPrimaryOstrelStore(pStore.Get())) {
            *ppStore = pStore.Detach();
            return S_OK;
        }
    }
    return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
}

HRESULT AddOstrelFolderId(IMAPIFolder* pFolder, LONG lOstId) {
    if (!pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    return StampAndSave(pFolder, lOstId);
}

HRESULT AddOstrelFolderId(IMAPIFolder* pFolder, LONG lOstId, const wchar_t* pwszNewName, const wchar_t* pwszOldName,
                          std::wstring& wsFinalName) {
    if (!pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    wsFinalName = pwszOldName ? pwszOldName : L"";
    if (pwszNewName && *pwszNewName && (!pwszOldName || wcscmp(pwszNewName, pwszOldName) != 0)) {
        int bNameChanged = 0;
        Platform::ComPtr<IMAPIFolder> pRenamed;
        HRESULT hr = RenameFolder(nullptr, pFolder, pwszNewName, bNameChanged, pRenamed.AddressOf());
        if (FAILED(hr))
            return hr;
        wchar_t* pwszName = nullptr;
        Folder folder(pFolder, nullptr);
        if (SUCCEEDED(folder.FolderName(&pwszName)))
            wsFinalName = pwszName;
        MAPIFreeBuffer(pwszName);
    }
    return StampAndSave(pFolder, lOstId);
}

HRESULT CreateNonlocalFolder(IMsgStore* pStore, IMAPIFolder* pParent, const wchar_t* pwszName, LONG lOstId,
                             int& bNameChanged, IMAPIFolder** ppFolder) {
    if (!pwszName) {
        OSTLOG_ERROR(L"Error - null folder name for id(%d)", lOstId);
        return E_INVALIDARG;
    }
    if (!pParent || !ppFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_INVALIDARG;
    }
    *ppFolder = nullptr;
    OSTLOG_INFO(4, L"id(%d) name(%s)", lOstId, pwszName);
    RowsHolder rows;
    HRESULT hr = ReadSubfolders(pParent, rows);
    if (FAILED(hr))
        return hr;
    if (rows.p->cRows == 0) {
        OSTLOG_ERROR(L"no subfolders of the parent so no reason why there was a conflict");
        return E_FAIL;
    }
    const SRow* pRow = FindRow(*rows.p, pwszName);
    if (!pRow) {
        OSTLOG_ERROR(L"no matching subfolders of the parent so no reason why there was a conflict");
        return E_FAIL;
    }
    Platform::ComPtr<IMAPIFolder> pHolder;
    pHolder.Attach(OpenFolder(pParent, pRow->lpProps[1].Value.bin, MAPI_MODIFY));
    if (!pHolder) {
        OSTLOG_ERROR(L"could not open the local folder");
        return E_FAIL;
    }
    Folder holder(pHolder.Get(), pStore);
    if (holder.IsLocalFolder()) {
        // The local folder moves aside to the smallest free numbered name; when every number is
        // taken it keeps its name and the creation below reports the collision.
        if (int n = FreeNumber(*rows.p, pwszName)) {
            const std::wstring wsNewName = NumberedName(pwszName, n);
            hr = RememberOriginalName(pHolder.Get());
            if (SUCCEEDED(hr))
                hr = holder.Update(wsNewName.c_str());
            if (SUCCEEDED(hr))
                OSTLOG_INFO(4, L"renamed '%s' -> '%s'", pwszName, wsNewName.c_str());
        }
        hr = pParent->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(pwszName), nullptr, nullptr, MAPI_UNICODE,
                                   ppFolder);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"CreateFolder() failed, hr: %x", hr);
            if (Util::g_logger.IsLoggingCmntLevel(128))
                DumpParent(pParent, L"dumping parent folder info:", L"dumped parent folder info");
            return hr;
        }
        FinishNewFolder(*ppFolder);
        return hr;
    }
    OstrelFolderMailItem item(pHolder.Get(), pParent);
    const LONG lHolderId = item.OstrelId();
    if (lHolderId == 0 || lHolderId == lOstId) {
        *ppFolder = pHolder.Detach();
        return S_OK;
    }
    bNameChanged = 1;
    return MAPI_E_COLLISION;
}

IMAPIFolder* CreateOrOpenFolderWithCollisionRename(IMsgStore* pStore, IMAPIFolder* pParent, const wchar_t* pwszName,
                                                   LONG lOstId, int& bNameChanged) {
    if (!pwszName) {
        OSTLOG_ERROR(L"null folder name for id(%d)", lOstId);
        return nullptr;
    }
    if (!pParent) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return nullptr;
    }
    OSTLOG_INFO(4, L"id(%d) name(%s)", lOstId, pwszName);
    bNameChanged = 0;
    for (int n = 0; n <= kMaxNameNumber; ++n) {
        const std::wstring wsName = n == 0 ? std::wstring(pwszName) : NumberedName(pwszName, n);
        OSTLOG_INFO(16, L"Calling CreateFolder");
        Platform::ComPtr<IMAPIFolder> pFolder;
        HRESULT hr = pParent->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(wsName.c_str()), nullptr, nullptr,
                                           MAPI_UNICODE, pFolder.AddressOf());
        bool bCreatedHere = SUCCEEDED(hr);
        if (hr == MAPI_E_COLLISION) {
            OSTLOG_INFO(4, L"CreateFolder() returned MAPI_E_COLLISION -> check if local folder");
            int bCollision = 0;
            hr = CreateNonlocalFolder(pStore, pParent, wsName.c_str(), lOstId, bCollision, pFolder.AddressOf());
            if (hr == MAPI_E_COLLISION) {
                OSTLOG_INFO(4, L"Renaming server folder '%s' due to collision", wsName.c_str());
                continue;
            }
            if (FAILED(hr)) {
                OSTLOG_ERROR(L"CreateNonlocalFolder() failed, hr: %x", hr);
                return nullptr;
            }
        } else if (FAILED(hr)) {
            OSTLOG_ERROR(L"CreateFolder() failed, hr %x for id(%d) name(%s)", hr, lOstId, wsName.c_str());
            DumpParent(pParent, L"dumping parent folder info.", L"dumped parent folder info.");
            return nullptr;
        }
        OSTLOG_INFO(4, L"MAPI Folder '%s' created successfully for oid %d", wsName.c_str(), lOstId);
        // A folder found in place keeps its change key; only a new one gets one.
        if (bCreatedHere && !UpdateChangeKey(pFolder.Get()))
            return nullptr;
        // A folder found in place that carries the id already is left untouched.
        const bool bStamped = !bCreatedHere && OstrelFolderMailItem(pFolder.Get(), pParent).OstrelId() == lOstId;
        if (!bStamped && FAILED(StampAndSave(pFolder.Get(), lOstId)))
            return nullptr;
        bNameChanged = n > 0 ? 1 : 0;
        return pFolder.Detach();
    }
    OSTLOG_ERROR(L"no free name for id(%d) name(%s)", lOstId, pwszName);
    return nullptr;
}

HRESULT RenameFolder(IMsgStore* pStore, IMAPIFolder* pFolder, const wchar_t* pwszName, int& bNameChanged,
                     IMAPIFolder** ppFolder) {
    if (!pFolder || !pwszName || !*pwszName || !ppFolder)
        return E_INVALIDARG;
    *ppFolder = nullptr;
    Folder folder(pFolder, pStore);
    wchar_t* pwszOld = nullptr;
    folder.FolderName(&pwszOld);
    const std::wstring wsOld = pwszOld ? pwszOld : L"";
    MAPIFreeBuffer(pwszOld);
    HRESULT hr = folder.Update(pwszName);
    std::wstring wsNewName = pwszName;
    if (hr == MAPI_E_COLLISION) {
        LPSPropValue pParentId = nullptr;
        hr = HrGetOneProp(pFolder, PR_PARENT_ENTRYID, &pParentId);
        Platform::ComPtr<IMAPIFolder> pParent;
        if (SUCCEEDED(hr)) {
            pParent.Attach(OpenFolder(pFolder, pParentId->Value.bin, MAPI_MODIFY));
            hr = pParent ? S_OK : MAPI_E_NOT_FOUND;
        }
        MAPIFreeBuffer(pParentId);
        RowsHolder rows;
        if (SUCCEEDED(hr))
            hr = ReadSubfolders(pParent.Get(), rows);
        if (FAILED(hr))
            return hr;
        if (rows.p->cRows == 0) {
            OSTLOG_ERROR(L"no subfolders of the parent so no reason why there was a conflict");
            return E_FAIL;
        }
        const SRow* pRow = FindRow(*rows.p, pwszName);
        if (!pRow) {
            OSTLOG_ERROR(L"no matching subfolders of the parent so no reason why there was a conflict");
            return E_FAIL;
        }
        Platform::ComPtr<IMAPIFolder> pHolder;
        pHolder.Attach(OpenFolder(pParent.Get(), pRow->lpProps[1].Value.bin, MAPI_MODIFY));
        if (!pHolder) {
            OSTLOG_ERROR(L"could not open the local folder");
            return E_FAIL;
        }
        Folder holder(pHolder.Get(), pStore);
        const int n = FreeNumber(*rows.p, pwszName);
        if (!n)
            return MAPI_E_COLLISION;
        if (holder.IsLocalFolder()) {
            hr = RememberOriginalName(pHolder.Get());
            if (SUCCEEDED(hr))
                hr = holder.Update(NumberedName(pwszName, n).c_str());
            if (SUCCEEDED(hr))
                hr = folder.Update(pwszName);
        } else {
            wsNewName = NumberedName(pwszName, n);
            hr = folder.Update(wsNewName.c_str());
            bNameChanged = 1;
        }
    }
    if (FAILED(hr))
        return hr;
    OSTLOG_INFO(4, L"renamed '%s' -> '%s'", wsOld.c_str(), wsNewName.c_str());
    pFolder->AddRef();
    *ppFolder = pFolder;
    return S_OK;
}

}  // namespace Ostrel::Mapi
