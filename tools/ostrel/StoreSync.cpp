// StoreSync: the index of stamped objects, tags, folders, deletions and counts (messages in
// StoreSyncItems.cpp).
#include "StoreSync.h"

#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/Convert/Mail/IncomingBatch.h"
#include "Ostrel/IdMap/StoreStamps.h"
#include "Ostrel/Store/Categories/TagAssocMsg.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Log.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace OstrelCli {

namespace {

using Platform::ComPtr;

struct PropBuffer {
    LPSPropValue p = nullptr;
    ~PropBuffer() { MAPIFreeBuffer(p); }
};

// "#RRGGBB" as COLORREF; 0xFFFFFFFF (no colour) for anything else.
ULONG ColourOf(const std::string& rgb) {
    unsigned value = 0;
    if (rgb.size() != 7 || rgb[0] != '#')
        return 0xFFFFFFFF;
    auto [ptr, ec] = std::from_chars(rgb.data() + 1, rgb.data() + 7, value, 16);
    if (ec != std::errc() || ptr != rgb.data() + 7)
        return 0xFFFFFFFF;
    return ((value >> 16) & 0xFF) | (value & 0xFF00) | ((value & 0xFF) << 16);
}

const wchar_t* ContainerClassOf(const std::string& view) {
    if (view == "contact")
        return L"IPF.Contact";
    if (view == "appointment")
        return L"IPF.Appointment";
    if (view == "task")
        return L"IPF.Task";
    return L"IPF.Note";
}

std::string BinaryOf(const SPropValue& value) {
    return PROP_TYPE(value.ulPropTag) == PT_BINARY
               ? std::string(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb)
               : std::string();
}

std::string EntryIdOf(IMAPIProp* pObject, ULONG ulTag = PR_ENTRYID) {
    PropBuffer value;
    if (FAILED(HrGetOneProp(pObject, ulTag, &value.p)))
        return std::string();
    return BinaryOf(*value.p);
}

}  // namespace

StoreSync::StoreSync(StoreMailbox& mailbox) : m_mailbox(mailbox), m_tagCache(mailbox.Store()) {}

StoreSync::~StoreSync() = default;

void StoreSync::IndexStore() {
    m_index.clear();
    Ostrel::Mapi::RecordKey key{};
    ComPtr<IMAPIFolder> pSubtree;
    if (!Ostrel::Mapi::ReadStoreRecordKey(m_mailbox.Store(), &key) ||
        FAILED(m_mailbox.OpenSubtree(pSubtree.AddressOf())))
        throw std::runtime_error("cannot read the store " + m_mailbox.Path().string());
    // The address list's entries are the GAL mapper's, never items of the mailbox.
    ULONG ulGalNode = 0;
    ComPtr<IMAPIFolder> pGal;
    if (SUCCEEDED(Ostrel::Mapi::OpenGalFolder(m_mailbox.Store(), pGal.AddressOf())) && pGal) {
        const std::string eid = EntryIdOf(pGal.Get());
        if (eid.size() == Ostrel::Mapi::kPstEntryIdSize)
            std::memcpy(&ulGalNode, eid.data() + eid.size() - sizeof(ulGalNode), sizeof(ulGalNode));
    }
    const Ostrel::Mapi::IdMapperTags tags = Ostrel::Mapi::GetIdMapperTags(m_mailbox.Store());
    const HRESULT hr = Ostrel::Mapi::WalkStampedObjects(
        m_mailbox.Store(), pSubtree.Get(), tags, false, ulGalNode, [&](const Ostrel::Mapi::StampedObject& object) {
            m_index.emplace(object.lOstId, Ostrel::Mapi::MakePstEntryId(key, object.ulPstId));
        });
    if (FAILED(hr))
        throw std::runtime_error("cannot read the store " + m_mailbox.Path().string());
    m_bIndexed = true;
}

std::set<int32_t> StoreSync::HeldIds() const {
    std::set<int32_t> ids;
    for (const auto& [id, eid] : m_index)
        ids.insert(id);
    return ids;
}

void StoreSync::ApplyTags(const std::vector<SyncTag>& tags) {
    m_tagCache.Initialize();
    m_bTagCacheRead = true;
    if (tags.empty())
        return;
    std::map<long, std::wstring> known;
    for (const std::wstring& wsName : m_tagCache.GetTagList()) {
        long lId = 0;
        if (m_tagCache.TagId(wsName.c_str(), lId, nullptr))
            known[lId] = wsName;
    }
    for (const SyncTag& tag : tags) {
        const std::wstring wsName = Platform::FromUtf8(tag.sName);
        m_tagMap[tag.iId] = wsName;
        auto it = known.find(tag.iId);
        HRESULT hr = S_OK;
        if (it == known.end()) {
            hr = Ostrel::Mapi::TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(tag.iId, wsName.c_str(), ColourOf(tag.sRgb),
                                                                          nullptr, m_mailbox.Store());
        } else if (it->second != wsName) {
            Ostrel::Mapi::CEntryID entryId;
            if (m_tagCache.TagEntryID(it->second.c_str(), entryId)) {
                Ostrel::Mapi::TagAssocMsg message(&entryId.Bin(), m_mailbox.Store());
                hr = message.IsValid() ? message.UpdateTagAssocMsgAndMCLAndDependentMsgs(wsName.c_str(), TRUE)
                                       : MAPI_E_NOT_FOUND;
            }
        }
        if (FAILED(hr))
            OSTLOG_ERROR(L"Tag %d (%hs) could not be written: 0x%08x", tag.iId, tag.sName.c_str(), hr);
    }
    m_tagCache.Initialize();
}

HRESULT StoreSync::OpenFolder(int32_t iServerId, IMAPIFolder** ppFolder) {
    auto it = m_folders.find(iServerId);
    if (it != m_folders.end()) {
        *ppFolder = ComPtr<IMAPIFolder>(it->second).Detach();
        return S_OK;
    }
    ComPtr<IMAPIFolder> pFolder;
    const HRESULT hr = m_mailbox.OpenFolder(iServerId, pFolder.AddressOf());
    if (FAILED(hr))
        return hr;
    m_folders[iServerId] = pFolder;
    *ppFolder = pFolder.Detach();
    return S_OK;
}

void StoreSync::ApplyFolders(const std::vector<std::pair<int32_t, SyncFolder>>& folders) {
    // A folder listed before its new parent (a flat list of changes) waits for a later round.
    std::vector<const std::pair<int32_t, SyncFolder>*> waiting;
    for (const auto& entry : folders)
        waiting.push_back(&entry);
    while (!waiting.empty()) {
        std::vector<const std::pair<int32_t, SyncFolder>*> later;
        for (const auto* pEntry : waiting) {
            const HRESULT hr = ApplyFolder(pEntry->first, pEntry->second);
            if (hr == MAPI_E_NOT_FOUND)
                later.push_back(pEntry);
            else if (FAILED(hr)) {
                OSTLOG_ERROR(L"Folder %d (%hs) could not be written: 0x%08x", pEntry->first,
                             pEntry->second.sName.c_str(), hr);
                ++m_counts.cFailed;
            }
        }
        if (later.size() == waiting.size()) {
            for (const auto* pEntry : later) {
                OSTLOG_ERROR(L"Folder %d (%hs) skipped: its parent %d is not in the store", pEntry->first,
                             pEntry->second.sName.c_str(), pEntry->second.iParent);
                ++m_counts.cFailed;
            }
            break;
        }
        waiting = std::move(later);
    }
}

HRESULT StoreSync::ApplyFolder(int32_t iId, const SyncFolder& folder) {
    IMsgStore* pStore = m_mailbox.Store();
    const ULONG ulStamp = m_mailbox.OstrelIdTag();
    ComPtr<IMAPIFolder> pFolder;
    HRESULT hr = OpenFolder(iId, pFolder.AddressOf());
    if (FAILED(hr) && hr != MAPI_E_NOT_FOUND)
        return hr;
    const bool bSystem = iId < kFirstUserFolderId;
    if (pFolder) {
        PropBuffer stamp;
        if (FAILED(HrGetOneProp(pFolder.Get(), ulStamp, &stamp.p)) || stamp.p->Value.l != iId) {
            // A special folder met the first time.
            hr = Ostrel::Mapi::AddOstrelFolderId(pFolder.Get(), iId);
            if (FAILED(hr))
                return hr;
        }
    }
    if (iId == kRootFolderId) {
        m_mailbox.Items().Put(iId, pFolder.Get(), FALSE);
        return S_OK;
    }
    ComPtr<IMAPIFolder> pParent;
    hr = OpenFolder(folder.iParent, pParent.AddressOf());
    if (FAILED(hr))
        return hr;

    FolderBaseline baseline;
    const bool bHasBaseline = pFolder && m_mailbox.Baseline().Read(pFolder.Get(), baseline);
    if (bHasBaseline && baseline.iSeq == folder.iSeq && folder.iSeq != 0)
        return S_OK;  // unchanged since it was written

    const std::wstring wsName = Platform::FromUtf8(folder.sName);
    if (!pFolder) {
        int bNameChanged = 0;
        pFolder.Attach(Ostrel::Mapi::CreateOrOpenFolderWithCollisionRename(pStore, pParent.Get(), wsName.c_str(), iId,
                                                                           bNameChanged));
        if (!pFolder)
            return MAPI_E_CALL_FAILED;
        SPropValue cls{PR_CONTAINER_CLASS_W, 0, {}};
        cls.Value.lpszW = const_cast<wchar_t*>(ContainerClassOf(folder.sView));
        pFolder->SetProps(1, &cls, nullptr);
    } else if (!bSystem) {
        // Moved on the server (and not only here): follow it.
        const std::string parentEid = EntryIdOf(pParent.Get());
        const std::string currentParent = EntryIdOf(pFolder.Get(), PR_PARENT_ENTRYID);
        if (parentEid != currentParent && (!bHasBaseline || baseline.iParent != folder.iParent)) {
            ComPtr<IUnknown> pUnk;
            ULONG ulType = 0;
            const std::string eid = EntryIdOf(pFolder.Get());
            hr = pStore->OpenEntry(static_cast<ULONG>(currentParent.size()),
                                   reinterpret_cast<LPENTRYID>(const_cast<char*>(currentParent.data())),
                                   &IID_IMAPIFolder, MAPI_MODIFY, &ulType, pUnk.AddressOf());
            if (SUCCEEDED(hr)) {
                ComPtr<IMAPIFolder> pOld(static_cast<IMAPIFolder*>(pUnk.Get()));
                SBinary bin{static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(const_cast<char*>(eid.data()))};
                hr = pOld->CopyFolder(bin.cb, reinterpret_cast<LPENTRYID>(bin.lpb), nullptr, pParent.Get(), nullptr, 0,
                                      nullptr, FOLDER_MOVE);
            }
            if (FAILED(hr))
                return hr;
        }
        // Renamed on the server (and not only here): follow it.
        PropBuffer name;
        const std::wstring wsCurrent =
            SUCCEEDED(HrGetOneProp(pFolder.Get(), PR_DISPLAY_NAME_W, &name.p)) ? name.p->Value.lpszW : L"";
        const bool bRenamedHere = bHasBaseline && Platform::FromUtf8(baseline.sName) != wsCurrent;
        const bool bRenamedThere = !bHasBaseline || baseline.sName != folder.sName;
        if (wsCurrent != wsName && (bRenamedThere || !bRenamedHere)) {
            int bNameChanged = 0;
            ComPtr<IMAPIFolder> pRenamed;
            hr = Ostrel::Mapi::RenameFolder(pStore, pFolder.Get(), wsName.c_str(), bNameChanged, pRenamed.AddressOf());
            if (FAILED(hr))
                return hr;
            if (pRenamed)
                pFolder = pRenamed;
        }
    }
    PropBuffer name;
    FolderBaseline written;
    written.iParent = folder.iParent;
    written.iSeq = folder.iSeq;
    written.sName = SUCCEEDED(HrGetOneProp(pFolder.Get(), PR_DISPLAY_NAME_W, &name.p))
                        ? Platform::ToUtf8(name.p->Value.lpszW)
                        : folder.sName;
    hr = m_mailbox.Baseline().Stamp(pFolder.Get(), written);
    if (SUCCEEDED(hr))
        hr = pFolder->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr))
        return hr;
    m_mailbox.Items().Put(iId, pFolder.Get(), FALSE);
    m_folders[iId] = pFolder;
    return S_OK;
}

bool StoreSync::Delete(int32_t iId, bool bFolders) {
    std::string eid;
    ULONG cb = 0;
    BYTE* pEid = nullptr;
    if (m_mailbox.Items().Get(iId, &cb, &pEid)) {
        eid.assign(reinterpret_cast<const char*>(pEid), cb);
        MAPIFreeBuffer(pEid);
    } else if (auto it = m_index.find(iId); it != m_index.end()) {
        eid = it->second;
    }
    if (eid.empty())
        return false;
    IMsgStore* pStore = m_mailbox.Store();
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    bool bDeleted = false;
    if (SUCCEEDED(pStore->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()),
                                    &IID_IMAPIProp, MAPI_MODIFY, &ulType, pUnk.AddressOf()))) {
        auto* pObject = static_cast<IMAPIProp*>(pUnk.Get());
        PropBuffer stamp;
        const bool bOurs =
            SUCCEEDED(HrGetOneProp(pObject, m_mailbox.OstrelIdTag(), &stamp.p)) && stamp.p->Value.l == iId;
        if (bOurs && ulType == MAPI_FOLDER && !bFolders)
            return false;  // after the items, whose local changes are kept first
        if (bOurs && ulType == MAPI_FOLDER && iId < kFirstUserFolderId) {
            OSTLOG_WARN(L"The server deleted its system folder %d; the store keeps it", iId);
            return false;
        }
        const std::string parent = bOurs ? EntryIdOf(pObject, PR_PARENT_ENTRYID) : std::string();
        ComPtr<IUnknown> pParentUnk;
        ULONG ulParentType = 0;
        if (!parent.empty() &&
            SUCCEEDED(pStore->OpenEntry(static_cast<ULONG>(parent.size()),
                                        reinterpret_cast<LPENTRYID>(const_cast<char*>(parent.data())), &IID_IMAPIFolder,
                                        MAPI_MODIFY, &ulParentType, pParentUnk.AddressOf()))) {
            auto* pParent = static_cast<IMAPIFolder*>(pParentUnk.Get());
            SBinary bin{static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(eid.data())};
            HRESULT hr = S_OK;
            if (ulType == MAPI_FOLDER) {
                // Cached folders and batches may be inside it.
                m_folders.clear();
                m_batches.clear();
                KeepLocalContents(static_cast<IMAPIFolder*>(pObject), iId);
                hr = pParent->DeleteFolder(bin.cb, reinterpret_cast<LPENTRYID>(bin.lpb), 0, nullptr,
                                           DEL_FOLDERS | DEL_MESSAGES);
            } else {
                auto* pMessage = static_cast<IMessage*>(pObject);
                if (HasLocalChanges(pMessage))
                    KeepConflictCopy(pMessage, iId);
                ENTRYLIST list{1, &bin};
                hr = pParent->DeleteMessages(&list, 0, nullptr, 0);
            }
            if (FAILED(hr)) {
                OSTLOG_ERROR(L"Item %d could not be deleted: 0x%08x", iId, hr);
                ++m_counts.cFailed;
                return false;
            }
            bDeleted = true;
        }
    }
    m_mailbox.Items().Remove(iId);
    m_index.erase(iId);
    if (bDeleted)
        ++m_counts.cDeleted;
    return bDeleted;
}

void StoreSync::KeepLocalContents(IMAPIFolder* pFolder, int32_t iId) {
    // The folder and every folder below it: messages without a server id were made here.
    std::vector<ComPtr<IMAPIFolder>> folders{ComPtr<IMAPIFolder>(pFolder)};
    ComPtr<IMAPITable> pTree;
    LPSRowSet pRows = nullptr;
    SizedSPropTagArray(1, eidColumn) = {1, {PR_ENTRYID}};
    if (SUCCEEDED(pFolder->GetHierarchyTable(CONVENIENT_DEPTH, pTree.AddressOf())) &&
        SUCCEEDED(
            HrQueryAllRows(pTree.Get(), reinterpret_cast<LPSPropTagArray>(&eidColumn), nullptr, nullptr, 0, &pRows))) {
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            const SPropValue& eid = pRows->aRow[i].lpProps[0];
            ComPtr<IUnknown> pUnk;
            ULONG ulType = 0;
            if (PROP_TYPE(eid.ulPropTag) == PT_BINARY &&
                SUCCEEDED(m_mailbox.Store()->OpenEntry(eid.Value.bin.cb, reinterpret_cast<LPENTRYID>(eid.Value.bin.lpb),
                                                       &IID_IMAPIFolder, MAPI_MODIFY, &ulType, pUnk.AddressOf())))
                folders.emplace_back(static_cast<IMAPIFolder*>(pUnk.Get()));
        }
        FreeProws(pRows);
    }
    ComPtr<IMAPIFolder> pConflicts;
    size_t cKept = 0;
    SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, m_mailbox.OstrelIdTag()}};
    for (const auto& pCurrent : folders) {
        ComPtr<IMAPITable> pTable;
        pRows = nullptr;
        if (FAILED(pCurrent->GetContentsTable(0, pTable.AddressOf())) ||
            FAILED(
                HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &pRows)))
            continue;
        std::vector<SBinary> local;
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            const SPropValue* p = pRows->aRow[i].lpProps;
            if (p[1].ulPropTag != m_mailbox.OstrelIdTag() && PROP_TYPE(p[0].ulPropTag) == PT_BINARY)
                local.push_back(p[0].Value.bin);
        }
        HRESULT hr = S_OK;
        if (!local.empty() && !pConflicts)
            hr = m_mailbox.OpenLocalFolder(std::wstring(kSyncIssuesFolder) + L"/" + kConflictsFolder,
                                           pConflicts.AddressOf());
        if (!local.empty() && SUCCEEDED(hr)) {
            ENTRYLIST list{static_cast<ULONG>(local.size()), local.data()};
            hr = pCurrent->CopyMessages(&list, nullptr, pConflicts.Get(), 0, nullptr, 0);
        }
        if (FAILED(hr))
            OSTLOG_ERROR(L"Local items of folder %d could not be kept: 0x%08x", iId, hr);
        else
            cKept += local.size();
        FreeProws(pRows);
    }
    if (cKept) {
        OSTLOG_WARN(L"The server deleted folder %d; its %d local items are kept in %s/%s", iId, static_cast<int>(cKept),
                    kSyncIssuesFolder, kConflictsFolder);
        m_counts.cConflicts += cKept;
    }
}

void StoreSync::CountStore(size_t& cMessages, size_t& cFolders) {
    cMessages = cFolders = 0;
    // The run's changes to the tree are done: the push after it walks this same listing.
    if (FAILED(m_mailbox.ReadFolders()))
        return;
    for (const StoreFolder& folder : m_mailbox.Folders()) {
        if (!folder.iServerId)
            continue;  // a folder of the store's own
        ++cFolders;
        // Mail folders only: contacts and calendar items are counted as other items.
        if (folder.wsClass.empty() || folder.wsClass.starts_with(L"IPF.Note"))
            cMessages += folder.cContent;
    }
}

}  // namespace OstrelCli
