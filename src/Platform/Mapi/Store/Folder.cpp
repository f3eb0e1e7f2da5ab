// Folders. Their properties are read from the store at each call and written at once (folders are
// not transacted); contents and hierarchy tables are snapshots.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Props/PropObject.h"
#include "Platform/Mapi/Props/Restriction.h"
#include "Platform/Mapi/Store/Objects.h"
#include "Platform/Mapi/Store/StoreDb.h"
#include "Platform/Mapi/Store/StoreLayout.h"
#include "Platform/Mapi/Store/Table.h"

namespace Platform::Mapi {

namespace {

bool Wanted(LPSPropTagArray lpTags, ULONG ulTag) {
    if (!lpTags)
        return true;
    for (ULONG i = 0; i < lpTags->cValues; ++i)
        if (PROP_ID(lpTags->aulPropTag[i]) == PROP_ID(ulTag))
            return true;
    return false;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return FoldCase(Platform::ToUtf8(a)) == FoldCase(Platform::ToUtf8(b));
}

constexpr ChildTypes kFolderTypes{NID_TYPE_NORMAL_FOLDER, NID_TYPE_SEARCH_FOLDER};

// The subfolder of parent with that display name (without regard to case), or 0.
HRESULT FindSubfolder(StoreDb& db, ULONG parent, const std::wstring& name, ULONG except, ULONG* pNid) {
    *pNid = 0;
    std::map<ULONG, PropMap> rows;
    HRESULT hr = db.LoadChildProps(parent, {PROP_ID(PR_DISPLAY_NAME)}, rows, kFolderTypes);
    if (FAILED(hr))
        return hr;
    for (const auto& [nid, props] : rows) {
        if (!IsFolderNid(nid) || nid == except)
            continue;
        auto it = props.find(PROP_ID(PR_DISPLAY_NAME));
        if (it != props.end() && SameName(ReadString(it->second), name)) {
            *pNid = nid;
            break;
        }
    }
    return S_OK;
}

bool IsAncestorOrSelf(StoreDb& db, ULONG ancestor, ULONG nid) {
    std::set<ULONG> seen;  // a loop of parent links in a damaged file ends the walk
    while (nid && seen.insert(nid).second) {
        if (nid == ancestor)
            return true;
        ULONG parent = 0;
        if (FAILED(db.ObjectInfo(nid, &parent, nullptr)))
            return false;
        nid = parent;
    }
    return false;
}

HRESULT CopyTreeBelow(StoreDb& db, ULONG nid, ULONG newParent, bool bWithSubfolders, ULONG* pNewNid) {
    ULONG newNid = 0;
    HRESULT hr = db.AllocateNid(NidType(nid), &newNid);
    if (SUCCEEDED(hr))
        hr = db.InsertObject(newNid, newParent);
    PropMap props;
    if (SUCCEEDED(hr))
        hr = db.LoadProps(nid, props);
    for (const auto& [id, prop] : props)
        if (SUCCEEDED(hr))
            hr = db.WriteProp(newNid, prop);
    std::map<ULONG, PropMap> recips;
    if (SUCCEEDED(hr))
        hr = db.LoadRecipients(nid, recips);
    if (SUCCEEDED(hr) && !recips.empty())
        hr = db.WriteRecipients(newNid, recips);
    std::vector<ULONG> children;
    if (SUCCEEDED(hr))
        hr = db.Children(nid, children);
    for (ULONG child : children) {
        if (FAILED(hr))
            break;
        if (IsFolderNid(child) && !bWithSubfolders)
            continue;
        hr = CopyTreeBelow(db, child, newNid, true, nullptr);
    }
    if (SUCCEEDED(hr) && pNewNid)
        *pNewNid = newNid;
    return hr;
}

// Copies an object with everything below it under newParent, with new node ids (inside a transaction).
// The copy ends only if the source is a tree and the target lies outside it: the copies are made
// while the source is still being read.
HRESULT CopyTree(StoreDb& db, ULONG nid, ULONG newParent, bool bWithSubfolders, ULONG* pNewNid) {
    HRESULT hr = db.CheckSubtree(nid);
    if (SUCCEEDED(hr) && IsAncestorOrSelf(db, nid, newParent))
        hr = MAPI_E_CORRUPT_STORE;
    if (SUCCEEDED(hr))
        hr = CopyTreeBelow(db, nid, newParent, bWithSubfolders, pNewNid);
    return hr;
}

// Counts of a folder for PR_CONTENT_COUNT and friends.
struct FolderCounts {
    ULONG ulContent = 0, ulUnread = 0, ulAssoc = 0, ulFolders = 0;
};

HRESULT CountFolder(StoreDb& db, ULONG nid, bool bUnread, FolderCounts& counts) {
    HRESULT hr = db.CountChildren(nid, NID_TYPE_NORMAL_MESSAGE, &counts.ulContent);
    if (SUCCEEDED(hr))
        hr = db.CountChildren(nid, NID_TYPE_ASSOC_MESSAGE, &counts.ulAssoc);
    ULONG ulNormal = 0, ulSearch = 0;
    if (SUCCEEDED(hr))
        hr = db.CountChildren(nid, NID_TYPE_NORMAL_FOLDER, &ulNormal);
    if (SUCCEEDED(hr))
        hr = db.CountChildren(nid, NID_TYPE_SEARCH_FOLDER, &ulSearch);
    counts.ulFolders = ulNormal + ulSearch;
    if (SUCCEEDED(hr) && bUnread && counts.ulContent) {
        std::map<ULONG, PropMap> rows;
        hr = db.LoadChildProps(nid, {PROP_ID(PR_MESSAGE_FLAGS)}, rows,
                               {NID_TYPE_NORMAL_MESSAGE, NID_TYPE_NORMAL_MESSAGE});
        for (const auto& [child, props] : rows) {
            if (NidType(child) != NID_TYPE_NORMAL_MESSAGE)
                continue;
            auto it = props.find(PROP_ID(PR_MESSAGE_FLAGS));
            if (it == props.end() || !(ReadLong(it->second) & MSGFLAG_READ))
                ++counts.ulUnread;
        }
    }
    return hr;
}

void AddCounts(const FolderCounts& c, bool bUnread, PropMap& props) {
    props[PROP_ID(PR_CONTENT_COUNT)] = MakeLong(PR_CONTENT_COUNT, static_cast<LONG>(c.ulContent));
    props[PROP_ID(PR_ASSOC_CONTENT_COUNT)] = MakeLong(PR_ASSOC_CONTENT_COUNT, static_cast<LONG>(c.ulAssoc));
    props[PROP_ID(PR_FOLDER_CHILD_COUNT)] = MakeLong(PR_FOLDER_CHILD_COUNT, static_cast<LONG>(c.ulFolders));
    props[PROP_ID(PR_SUBFOLDERS)] = MakeBool(PR_SUBFOLDERS, c.ulFolders != 0);
    if (bUnread)
        props[PROP_ID(PR_CONTENT_UNREAD)] = MakeLong(PR_CONTENT_UNREAD, static_cast<LONG>(c.ulUnread));
}

ULONG FolderType(ULONG nid) {
    if (nid == kNidRoot)
        return FOLDER_ROOT;
    return NidType(nid) == NID_TYPE_SEARCH_FOLDER ? FOLDER_SEARCH : FOLDER_GENERIC;
}

// The node ids named by an entry list that belong to this store.
std::vector<ULONG> NidsOf(const StoreDb& db, const SBinaryArray* pList) {
    std::vector<ULONG> nids;
    if (!pList || (pList->cValues && !pList->lpbin))
        return nids;
    for (ULONG i = 0; i < pList->cValues; ++i) {
        ULONG nid = 0;
        if (db.ParseEntryId(pList->lpbin[i].cb, pList->lpbin[i].lpb, &nid))
            nids.push_back(nid);
    }
    return nids;
}

std::string EncodeScope(const std::vector<ULONG>& nids) {
    return std::string(reinterpret_cast<const char*>(nids.data()), nids.size() * sizeof(ULONG));
}

std::vector<ULONG> DecodeScope(const std::string& bytes) {
    std::vector<ULONG> nids(bytes.size() / sizeof(ULONG));
    std::memcpy(nids.data(), bytes.data(), nids.size() * sizeof(ULONG));
    return nids;
}

HRESULT LoadSubObjects(StoreDb& db, uint64_t key, ULONG ulSubObject, std::vector<PropMap>& rows) {
    ULONG nid = static_cast<ULONG>(key);
    rows.clear();
    if (ulSubObject == PR_MESSAGE_RECIPIENTS) {
        std::map<ULONG, PropMap> recips;
        HRESULT hr = db.LoadRecipients(nid, recips);
        for (auto& [row, props] : recips)
            rows.push_back(std::move(props));
        return hr;
    }
    std::map<ULONG, PropMap> children;
    HRESULT hr = db.LoadChildProps(nid, {}, children, {NID_TYPE_ATTACHMENT, NID_TYPE_ATTACHMENT});
    for (auto& [child, props] : children)
        if (NidType(child) == NID_TYPE_ATTACHMENT)
            rows.push_back(std::move(props));
    return hr;
}

class FolderImpl : public PropObject<IMAPIFolder> {
public:
    FolderImpl(std::shared_ptr<StoreDb> pDb, ULONG nid, ULONG parent, bool bWritable)
        : m_pDb(std::move(pDb)), m_nid(nid), m_parent(parent), m_bWritable(bWritable) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMAPIFolder, IMAPIContainer, IMAPIProp, IUnknown>(riid, ppv);
    }

    ULONG Nid() const { return m_nid; }
    StoreDb* Store() const { return m_pDb.get(); }

    // Folders keep no pending changes; SaveChanges has nothing left to write.
    HRESULT SaveChanges(ULONG) override { return m_bWritable ? Exists() : MAPI_E_NO_ACCESS; }

    HRESULT GetContentsTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
        if (!lppTable)
            return MAPI_E_INVALID_PARAMETER;
        HRESULT hr = Exists();
        if (FAILED(hr))
            return hr;
        bool bAssoc = ulFlags & MAPI_ASSOCIATED;
        auto pDb = m_pDb;
        ULONG nid = m_nid;
        RowSource source;
        if (NidType(m_nid) == NID_TYPE_SEARCH_FOLDER) {
            if (bAssoc)
                return MAPI_E_NO_SUPPORT;
            source.load = [pDb, nid](const std::vector<ULONG>& ids, std::vector<TableRow>& rows) {
                StoreDb::ReadScope scope(*pDb);
                return SearchRows(*pDb, nid, ids, rows);
            };
        } else {
            source.load = [pDb, nid, bAssoc](const std::vector<ULONG>& ids, std::vector<TableRow>& rows) {
                return ContentRows(*pDb, nid, bAssoc, ids, rows);
            };
            source.loadRange = [pDb, nid, bAssoc](uint64_t first, uint64_t last, const std::vector<ULONG>& ids,
                                                  std::vector<TableRow>& rows) {
                return ContentRows(*pDb, nid, bAssoc, ids, rows, {static_cast<ULONG>(first), static_cast<ULONG>(last)});
            };
        }
        source.subObjects = [pDb](uint64_t key, ULONG ulSub, std::vector<PropMap>& rows) {
            return LoadSubObjects(*pDb, key, ulSub, rows);
        };
        source.defaultColumns = {PR_ENTRYID,       PR_INSTANCE_KEY,           PR_MESSAGE_CLASS_W, PR_SUBJECT_W,
                                 PR_MESSAGE_FLAGS, PR_LAST_MODIFICATION_TIME, PR_MESSAGE_SIZE,    PR_DISPLAY_TO_W};
        source.bLazy = true;
        return CreateTable(std::move(source), lppTable);
    }

    HRESULT GetHierarchyTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
        if (!lppTable)
            return MAPI_E_INVALID_PARAMETER;
        HRESULT hr = Exists();
        if (FAILED(hr))
            return hr;
        auto pDb = m_pDb;
        ULONG nid = m_nid;
        bool bDeep = ulFlags & CONVENIENT_DEPTH;
        RowSource source;
        source.load = [pDb, nid, bDeep](const std::vector<ULONG>& ids, std::vector<TableRow>& rows) {
            rows.clear();
            // Every level and count of the table from one state of the file.
            StoreDb::ReadScope scope(*pDb);
            std::set<ULONG> visited;
            return HierarchyRows(*pDb, nid, bDeep, 1, ids, visited, rows);
        };
        source.defaultColumns = {PR_ENTRYID,        PR_INSTANCE_KEY, PR_DISPLAY_NAME_W,    PR_CONTENT_COUNT,
                                 PR_CONTENT_UNREAD, PR_SUBFOLDERS,   PR_CONTAINER_CLASS_W, PR_DEPTH};
        return CreateTable(std::move(source), lppTable);
    }

    HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                      LPUNKNOWN* lppUnk) override {
        if (!cbEntryID || !lpEntryID) {
            // An empty entry id opens this folder.
            std::string eid = m_pDb->EntryIdOf(m_nid);
            return OpenStoreEntry(m_pDb, m_bWritable, kEntryIdSize, reinterpret_cast<LPENTRYID>(eid.data()),
                                  lpInterface, ulFlags, lpulObjType, lppUnk);
        }
        return OpenStoreEntry(m_pDb, m_bWritable, cbEntryID, lpEntryID, lpInterface, ulFlags, lpulObjType, lppUnk);
    }

    HRESULT SetSearchCriteria(LPSRestriction lpRestriction, LPENTRYLIST lpContainerList, ULONG ulSearchFlags) override {
        if (NidType(m_nid) != NID_TYPE_SEARCH_FOLDER)
            return MAPI_E_NO_SUPPORT;
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        Restriction res;
        std::string sRes, sScope;
        ULONG ulOldFlags = 0;
        HRESULT hr = m_pDb->ReadSearch(m_nid, &ulOldFlags, &sRes, &sScope);
        if (FAILED(hr) && hr != MAPI_E_NOT_INITIALIZED)
            return hr;
        if (lpRestriction) {
            hr = CompileRestriction(lpRestriction, res);
            if (FAILED(hr))
                return hr;
            sRes = SerializeRestriction(res);
        } else if (sRes.empty()) {
            return MAPI_E_INVALID_PARAMETER;  // a first search needs a restriction
        }
        if (lpContainerList) {
            std::vector<ULONG> nids = NidsOf(*m_pDb, lpContainerList);
            if (nids.size() != lpContainerList->cValues)
                return MAPI_E_INVALID_ENTRYID;
            sScope = EncodeScope(nids);
        } else if (sScope.empty()) {
            return MAPI_E_INVALID_PARAMETER;
        }
        ULONG ulState = (ulSearchFlags & RECURSIVE_SEARCH) ? SEARCH_RECURSIVE
                        : (ulSearchFlags & SHALLOW_SEARCH) ? 0
                                                           : (ulOldFlags & SEARCH_RECURSIVE);
        {
            StoreDb::Transaction txn(*m_pDb);
            hr = txn.Begun();
            if (SUCCEEDED(hr))
                hr = m_pDb->WriteSearch(m_nid, ulState, sRes, sScope);
            if (SUCCEEDED(hr))
                hr = txn.Commit();
            if (FAILED(hr))
                return hr;
        }
        // The search runs in the background; its end is told after this call has returned.
        StoreDb* pDb = m_pDb.get();
        Event done{fnevSearchComplete, pDb->EntryIdOf(m_nid), pDb->EntryIdOf(m_parent), MAPI_FOLDER, {}, 0};
        SearchRunner::Hold hold = pDb->Searches().Start(m_nid, [pDb, done]() { pDb->Notifications().Post(done); });
        return S_OK;
    }

    HRESULT GetSearchCriteria(ULONG ulFlags, LPSRestriction* lppRestriction, LPENTRYLIST* lppContainerList,
                              ULONG* lpulSearchState) override {
        if (NidType(m_nid) != NID_TYPE_SEARCH_FOLDER)
            return MAPI_E_NO_SUPPORT;
        ULONG ulState = 0;
        std::string sRes, sScope;
        HRESULT hr = m_pDb->ReadSearch(m_nid, &ulState, &sRes, &sScope);
        if (FAILED(hr))
            return hr;
        if (m_pDb->Searches().Running(m_nid))
            ulState |= SEARCH_REBUILD | SEARCH_RUNNING;
        if (lpulSearchState)
            *lpulSearchState = ulState;
        if (lppRestriction) {
            *lppRestriction = nullptr;
            Restriction res;
            if (!DeserializeRestriction(sRes, res))
                return MAPI_E_CORRUPT_STORE;
            void* p = nullptr;
            hr = MAPIAllocateBuffer(sizeof(SRestriction), &p);
            if (FAILED(hr))
                return hr;
            MoreAllocator alloc(p);
            hr = ToSRestriction(res, static_cast<LPSRestriction>(p), alloc);
            if (FAILED(hr)) {
                MAPIFreeBuffer(p);
                return hr;
            }
            *lppRestriction = static_cast<LPSRestriction>(p);
        }
        if (lppContainerList) {
            std::vector<ULONG> nids = DecodeScope(sScope);
            void* p = nullptr;
            hr = MAPIAllocateBuffer(sizeof(SBinaryArray), &p);
            if (FAILED(hr))
                return hr;
            auto* pList = static_cast<SBinaryArray*>(p);
            pList->cValues = static_cast<ULONG>(nids.size());
            void* pBins = nullptr;
            hr = MAPIAllocateMore(static_cast<ULONG>(sizeof(SBinary) * std::max<size_t>(1, nids.size())), p, &pBins);
            pList->lpbin = static_cast<SBinary*>(pBins);
            for (size_t i = 0; SUCCEEDED(hr) && i < nids.size(); ++i) {
                std::string eid = m_pDb->EntryIdOf(nids[i]);
                void* pBytes = nullptr;
                hr = MAPIAllocateMore(kEntryIdSize, p, &pBytes);
                if (SUCCEEDED(hr)) {
                    std::memcpy(pBytes, eid.data(), kEntryIdSize);
                    pList->lpbin[i] = {kEntryIdSize, static_cast<LPBYTE>(pBytes)};
                }
            }
            if (FAILED(hr)) {
                MAPIFreeBuffer(p);
                if (lppRestriction)
                    MAPIFreeBuffer(*lppRestriction), *lppRestriction = nullptr;
                return hr;
            }
            *lppContainerList = pList;
        }
        (void)ulFlags;
        return S_OK;
    }

    HRESULT CreateMessage(LPCIID lpInterface, ULONG ulFlags, LPMESSAGE* lppMessage) override {
        if (!lppMessage)
            return MAPI_E_INVALID_PARAMETER;
        *lppMessage = nullptr;
        if (lpInterface && *lpInterface != IID_IMessage && *lpInterface != IID_IMAPIProp &&
            *lpInterface != IID_IUnknown)
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        if (NidType(m_nid) == NID_TYPE_SEARCH_FOLDER)
            return MAPI_E_NO_SUPPORT;
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        HRESULT hr = Exists();
        if (FAILED(hr))
            return hr;
        return CreateMessageObject(m_pDb, m_nid, ulFlags & MAPI_ASSOCIATED, lppMessage);
    }

    HRESULT CopyMessages(LPENTRYLIST lpMsgList, LPCIID, LPVOID lpDestFolder, ULONG_PTR, LPMAPIPROGRESS,
                         ULONG ulFlags) override {
        if (!lpMsgList || !lpDestFolder)
            return MAPI_E_INVALID_PARAMETER;
        bool bMove = ulFlags & MESSAGE_MOVE;
        if (bMove && !m_bWritable)
            return MAPI_E_NO_ACCESS;
        auto* pDest = AsFolder(static_cast<IMAPIFolder*>(lpDestFolder));
        if (pDest && !pDest->m_bWritable)
            return MAPI_E_NO_ACCESS;
        std::vector<ULONG> nids;
        bool bPartial = false;
        HRESULT hr = ChildMessages(lpMsgList, nids, &bPartial);
        if (FAILED(hr))
            return hr;
        if (pDest && pDest->Store() == m_pDb.get()) {
            if (NidType(pDest->Nid()) == NID_TYPE_SEARCH_FOLDER)
                return MAPI_E_NO_SUPPORT;
            StoreDb::Transaction txn(*m_pDb);
            hr = txn.Begun();
            if (SUCCEEDED(hr))
                hr = m_pDb->ObjectInfo(pDest->Nid(), nullptr, nullptr);
            if (hr == MAPI_E_NOT_FOUND)
                hr = MAPI_E_OBJECT_DELETED;
            std::vector<Event> events;
            for (ULONG nid : nids) {
                if (FAILED(hr))
                    break;
                ULONG ulTarget = nid;
                if (bMove)
                    hr = m_pDb->MoveObject(nid, pDest->Nid());
                else
                    hr = CopyTree(*m_pDb, nid, pDest->Nid(), true, &ulTarget);
                events.push_back({static_cast<ULONG>(bMove ? fnevObjectMoved : fnevObjectCopied),
                                  m_pDb->EntryIdOf(ulTarget),
                                  m_pDb->EntryIdOf(pDest->Nid()),
                                  MAPI_MESSAGE,
                                  {},
                                  0});
            }
            if (SUCCEEDED(hr))
                hr = txn.Commit();
            if (FAILED(hr))
                return hr;
            for (auto& e : events)
                m_pDb->Post(std::move(e));
        } else {
            // Another store: copy through the interfaces, then delete the originals for a move.
            auto* pTarget = static_cast<IMAPIFolder*>(lpDestFolder);
            for (ULONG nid : nids) {
                Platform::ComPtr<IMessage> pFrom, pTo;
                hr = OpenMessageObject(m_pDb, nid, false, false, pFrom.AddressOf());
                if (SUCCEEDED(hr))
                    hr = pTarget->CreateMessage(nullptr, NidType(nid) == NID_TYPE_ASSOC_MESSAGE ? MAPI_ASSOCIATED : 0,
                                                pTo.AddressOf());
                if (SUCCEEDED(hr))
                    hr = CopyObject(pFrom.Get(), pTo.Get(), nullptr, nullptr, 0, nullptr);
                if (SUCCEEDED(hr))
                    hr = pTo->SaveChanges(0);
                if (FAILED(hr))
                    return hr;
            }
            if (bMove) {
                StoreDb::Transaction txn(*m_pDb);
                hr = txn.Begun();
                for (ULONG nid : nids)
                    if (SUCCEEDED(hr))
                        hr = m_pDb->DeleteTree(nid);
                if (SUCCEEDED(hr))
                    hr = txn.Commit();
                if (FAILED(hr))
                    return hr;
            }
        }
        return bPartial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
    }

    HRESULT DeleteMessages(LPENTRYLIST lpMsgList, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
        if (!lpMsgList)
            return MAPI_E_INVALID_PARAMETER;
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        std::vector<ULONG> nids;
        bool bPartial = false;
        HRESULT hr = ChildMessages(lpMsgList, nids, &bPartial);
        if (FAILED(hr))
            return hr;
        StoreDb::Transaction txn(*m_pDb);
        hr = txn.Begun();
        for (ULONG nid : nids)
            if (SUCCEEDED(hr))
                hr = m_pDb->DeleteTree(nid);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (FAILED(hr))
            return hr;
        for (ULONG nid : nids)
            m_pDb->Post({fnevObjectDeleted, m_pDb->EntryIdOf(nid), m_pDb->EntryIdOf(m_nid), MAPI_MESSAGE, {}, 0});
        return bPartial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
    }

    HRESULT CreateFolder(ULONG ulFolderType, LPTSTR lpszFolderName, LPTSTR lpszFolderComment, LPCIID lpInterface,
                         ULONG ulFlags, LPMAPIFOLDER* lppFolder) override {
        if (!lppFolder || !lpszFolderName)
            return MAPI_E_INVALID_PARAMETER;
        *lppFolder = nullptr;
        if (ulFolderType != FOLDER_GENERIC && ulFolderType != FOLDER_SEARCH)
            return MAPI_E_INVALID_PARAMETER;
        if (lpInterface && *lpInterface != IID_IMAPIFolder && *lpInterface != IID_IMAPIContainer &&
            *lpInterface != IID_IMAPIProp && *lpInterface != IID_IUnknown)
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        if (NidType(m_nid) == NID_TYPE_SEARCH_FOLDER)
            return MAPI_E_NO_SUPPORT;
        std::wstring name = TextArg(lpszFolderName, ulFlags);
        std::wstring comment = TextArg(lpszFolderComment, ulFlags);
        if (name.empty())
            return MAPI_E_INVALID_PARAMETER;
        ULONG ulType = ulFolderType == FOLDER_SEARCH ? NID_TYPE_SEARCH_FOLDER : NID_TYPE_NORMAL_FOLDER;
        ULONG newNid = 0;
        HRESULT hr = m_pDb->AllocateNid(ulType, &newNid);
        if (FAILED(hr))
            return hr;
        StoreDb::Transaction txn(*m_pDb);
        hr = txn.Begun();
        if (SUCCEEDED(hr))
            hr = m_pDb->ObjectInfo(m_nid, nullptr, nullptr);
        if (hr == MAPI_E_NOT_FOUND)
            hr = MAPI_E_OBJECT_DELETED;
        ULONG existing = 0;
        if (SUCCEEDED(hr))
            hr = FindSubfolder(*m_pDb, m_nid, name, 0, &existing);
        if (FAILED(hr))
            return hr;
        if (existing) {
            if (!(ulFlags & OPEN_IF_EXISTS))
                return MAPI_E_COLLISION;
            txn.Commit();
            return OpenFolderObject(m_pDb, existing, true, lppFolder);
        }
        FILETIME ftNow = NowFileTime();
        hr = m_pDb->InsertObject(newNid, m_nid);
        if (SUCCEEDED(hr))
            hr = m_pDb->WriteProp(newNid, MakeString(PR_DISPLAY_NAME_W, name));
        if (SUCCEEDED(hr) && !comment.empty())
            hr = m_pDb->WriteProp(newNid, MakeString(PR_COMMENT_W, comment));
        if (SUCCEEDED(hr))
            hr = m_pDb->WriteProp(newNid, MakeSysTime(PR_CREATION_TIME, ftNow));
        if (SUCCEEDED(hr))
            hr = m_pDb->WriteProp(newNid, MakeSysTime(PR_LAST_MODIFICATION_TIME, ftNow));
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (FAILED(hr))
            return hr;
        m_pDb->Post({fnevObjectCreated, m_pDb->EntryIdOf(newNid), m_pDb->EntryIdOf(m_nid), MAPI_FOLDER, {}, 0});
        return OpenFolderObject(m_pDb, newNid, true, lppFolder);
    }

    HRESULT CopyFolder(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID, LPVOID lpDestFolder, LPTSTR lpszNewFolderName,
                       ULONG_PTR, LPMAPIPROGRESS, ULONG ulFlags) override {
        ULONG nid = 0;
        if (!lpDestFolder || !m_pDb->ParseEntryId(cbEntryID, lpEntryID, &nid) || !IsFolderNid(nid))
            return MAPI_E_INVALID_PARAMETER;
        auto* pDest = AsFolder(static_cast<IMAPIFolder*>(lpDestFolder));
        if (!pDest || pDest->Store() != m_pDb.get())
            return MAPI_E_NO_SUPPORT;
        bool bMove = ulFlags & FOLDER_MOVE;
        if ((bMove && !m_bWritable) || !pDest->m_bWritable)
            return MAPI_E_NO_ACCESS;
        StoreDb::Transaction txn(*m_pDb);
        HRESULT hr = txn.Begun();
        ULONG parent = 0;
        if (SUCCEEDED(hr))
            hr = m_pDb->ObjectInfo(nid, &parent, nullptr);
        if (SUCCEEDED(hr) && parent != m_nid)
            hr = MAPI_E_NOT_FOUND;
        if (FAILED(hr))
            return hr;
        if (IsAncestorOrSelf(*m_pDb, nid, pDest->Nid()))
            return MAPI_E_FOLDER_CYCLE;
        std::wstring name;
        if (lpszNewFolderName) {
            name = TextArg(lpszNewFolderName, ulFlags);
        } else {
            StoredProp prop;
            if (SUCCEEDED(m_pDb->LoadProp(nid, PROP_ID(PR_DISPLAY_NAME), &prop)))
                name = ReadString(prop);
        }
        ULONG existing = 0;
        hr = FindSubfolder(*m_pDb, pDest->Nid(), name, nid, &existing);
        if (FAILED(hr))
            return hr;
        if (existing)
            return MAPI_E_COLLISION;
        ULONG target = nid;
        if (bMove)
            hr = m_pDb->MoveObject(nid, pDest->Nid());
        else
            hr = CopyTree(*m_pDb, nid, pDest->Nid(), ulFlags & COPY_SUBFOLDERS, &target);
        if (SUCCEEDED(hr) && lpszNewFolderName)
            hr = m_pDb->WriteProp(target, MakeString(PR_DISPLAY_NAME_W, name));
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        return hr;
    }

    HRESULT DeleteFolder(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG_PTR, LPMAPIPROGRESS, ULONG ulFlags) override {
        ULONG nid = 0;
        if (!m_pDb->ParseEntryId(cbEntryID, lpEntryID, &nid) || !IsFolderNid(nid))
            return MAPI_E_INVALID_ENTRYID;
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        StoreDb::Transaction txn(*m_pDb);
        HRESULT hr = txn.Begun();
        ULONG parent = 0;
        if (SUCCEEDED(hr))
            hr = m_pDb->ObjectInfo(nid, &parent, nullptr);
        if (SUCCEEDED(hr) && parent != m_nid)
            hr = MAPI_E_NOT_FOUND;
        FolderCounts counts;
        if (SUCCEEDED(hr))
            hr = CountFolder(*m_pDb, nid, false, counts);
        if (FAILED(hr))
            return hr;
        if (counts.ulFolders && !(ulFlags & DEL_FOLDERS))
            return MAPI_E_HAS_FOLDERS;
        if ((counts.ulContent || counts.ulAssoc) && !(ulFlags & DEL_MESSAGES))
            return MAPI_E_HAS_MESSAGES;
        hr = m_pDb->DeleteTree(nid);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (SUCCEEDED(hr))
            m_pDb->Post({fnevObjectDeleted, m_pDb->EntryIdOf(nid), m_pDb->EntryIdOf(m_nid), MAPI_FOLDER, {}, 0});
        return hr;
    }

    HRESULT SetReadFlags(LPENTRYLIST lpMsgList, ULONG_PTR, LPMAPIPROGRESS, ULONG ulFlags) override {
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        std::vector<ULONG> nids;
        bool bPartial = false;
        HRESULT hr = S_OK;
        if (lpMsgList) {
            hr = ChildMessages(lpMsgList, nids, &bPartial);
        } else {
            std::vector<ULONG> children;
            hr = m_pDb->Children(m_nid, children);
            for (ULONG child : children)
                if (NidType(child) == NID_TYPE_NORMAL_MESSAGE)
                    nids.push_back(child);
        }
        if (FAILED(hr))
            return hr;
        StoreDb::Transaction txn(*m_pDb);
        hr = txn.Begun();
        for (ULONG nid : nids) {
            if (FAILED(hr))
                break;
            StoredProp flags;
            LONG lFlags = SUCCEEDED(m_pDb->LoadProp(nid, PROP_ID(PR_MESSAGE_FLAGS), &flags)) ? ReadLong(flags) : 0;
            lFlags = (ulFlags & CLEAR_READ_FLAG) ? (lFlags & ~MSGFLAG_READ) : (lFlags | MSGFLAG_READ);
            hr = m_pDb->WriteProp(nid, MakeLong(PR_MESSAGE_FLAGS, lFlags));
            if (SUCCEEDED(hr))
                hr = m_pDb->TouchObject(nid, nullptr);
        }
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (FAILED(hr))
            return hr;
        return bPartial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
    }

    HRESULT GetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG, ULONG* lpulMessageStatus) override {
        if (!lpulMessageStatus)
            return MAPI_E_INVALID_PARAMETER;
        ULONG nid = 0;
        HRESULT hr = ChildMessage(cbEntryID, lpEntryID, &nid);
        if (FAILED(hr))
            return hr;
        StoredProp status;
        *lpulMessageStatus = SUCCEEDED(m_pDb->LoadProp(nid, PROP_ID(PR_MSG_STATUS), &status)) ? ReadLong(status) : 0;
        return S_OK;
    }

    HRESULT SetMessageStatus(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulNewStatus, ULONG ulNewStatusMask,
                             ULONG* lpulOldStatus) override {
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        ULONG nid = 0;
        HRESULT hr = ChildMessage(cbEntryID, lpEntryID, &nid);
        if (FAILED(hr))
            return hr;
        StoreDb::Transaction txn(*m_pDb);
        hr = txn.Begun();
        if (FAILED(hr))
            return hr;
        StoredProp status;
        ULONG ulOld = SUCCEEDED(m_pDb->LoadProp(nid, PROP_ID(PR_MSG_STATUS), &status)) ? ReadLong(status) : 0;
        ULONG ulNew = (ulOld & ~ulNewStatusMask) | (ulNewStatus & ulNewStatusMask);
        hr = m_pDb->WriteProp(nid, MakeLong(PR_MSG_STATUS, static_cast<LONG>(ulNew)));
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (SUCCEEDED(hr) && lpulOldStatus)
            *lpulOldStatus = ulOld;
        return hr;
    }

    HRESULT SaveContentsSort(LPSSortOrderSet lpSortCriteria, ULONG) override {
        if (!lpSortCriteria)
            return MAPI_E_INVALID_PARAMETER;
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        // Kept as tag/order pairs in PR_CONTENTS_SORT_ORDER.
        StoredProp order{PR_CONTENTS_SORT_ORDER, {}};
        for (ULONG i = 0; i < lpSortCriteria->cSorts; ++i) {
            order.sData.append(reinterpret_cast<const char*>(&lpSortCriteria->aSort[i].ulPropTag), 4);
            order.sData.append(reinterpret_cast<const char*>(&lpSortCriteria->aSort[i].ulOrder), 4);
        }
        return WriteProps({order}, {});
    }

    HRESULT EmptyFolder(ULONG_PTR, LPMAPIPROGRESS, ULONG ulFlags) override {
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        StoreDb::Transaction txn(*m_pDb);
        HRESULT hr = txn.Begun();
        std::vector<ULONG> children;
        if (SUCCEEDED(hr))
            hr = m_pDb->Children(m_nid, children);
        for (ULONG child : children) {
            if (FAILED(hr))
                break;
            if (NidType(child) == NID_TYPE_ASSOC_MESSAGE && !(ulFlags & DEL_ASSOCIATED))
                continue;
            hr = m_pDb->DeleteTree(child);
        }
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        return hr;
    }

protected:
    // The contents and hierarchy tables.
    HRESULT OpenSubObject(ULONG ulPropTag, REFIID riid, ULONG, LPUNKNOWN* lppUnk) override {
        if (riid != IID_IMAPITable)
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        IMAPITable* pTable = nullptr;
        HRESULT hr = MAPI_E_INTERFACE_NOT_SUPPORTED;
        if (ulPropTag == PR_CONTAINER_CONTENTS)
            hr = GetContentsTable(MAPI_UNICODE, &pTable);
        if (ulPropTag == PR_FOLDER_ASSOCIATED_CONTENTS)
            hr = GetContentsTable(MAPI_UNICODE | MAPI_ASSOCIATED, &pTable);
        if (ulPropTag == PR_CONTAINER_HIERARCHY)
            hr = GetHierarchyTable(MAPI_UNICODE, &pTable);
        *lppUnk = pTable;
        return hr;
    }

    HRESULT ReadProps(PropMap& props) override { return ReadPropsFor(props, nullptr); }

    HRESULT ReadPropsFor(PropMap& props, LPSPropTagArray lpTags) override {
        // The values and counts from one state of the file.
        StoreDb::ReadScope scope(*m_pDb);
        // The parent is read again: the folder may have been moved since it was opened.
        ULONG parent = 0;
        HRESULT hr = m_pDb->ObjectInfo(m_nid, &parent, nullptr);
        if (hr == MAPI_E_NOT_FOUND)
            hr = MAPI_E_OBJECT_DELETED;
        if (SUCCEEDED(hr))
            hr = m_pDb->LoadPropsFor(m_nid, lpTags, props);
        if (FAILED(hr))
            return hr;
        if (parent)
            m_parent = parent;
        AddIdentityProps(*m_pDb, m_nid, m_parent, props);
        props[PROP_ID(PR_FOLDER_TYPE)] = MakeLong(PR_FOLDER_TYPE, static_cast<LONG>(FolderType(m_nid)));
        props[PROP_ID(PR_ACCESS_LEVEL)] = MakeLong(PR_ACCESS_LEVEL, m_bWritable ? 1 : 0);
        props[PROP_ID(PR_ACCESS)] = MakeLong(
            PR_ACCESS,
            MAPI_ACCESS_READ | (m_bWritable ? MAPI_ACCESS_MODIFY | MAPI_ACCESS_DELETE | MAPI_ACCESS_CREATE_HIERARCHY |
                                                  MAPI_ACCESS_CREATE_CONTENTS | MAPI_ACCESS_CREATE_ASSOCIATED
                                            : 0));
        bool bCounts = Wanted(lpTags, PR_CONTENT_COUNT) || Wanted(lpTags, PR_ASSOC_CONTENT_COUNT) ||
                       Wanted(lpTags, PR_SUBFOLDERS) || Wanted(lpTags, PR_FOLDER_CHILD_COUNT) ||
                       Wanted(lpTags, PR_CONTENT_UNREAD);
        if (bCounts) {
            bool bUnread = Wanted(lpTags, PR_CONTENT_UNREAD);
            FolderCounts counts;
            if (NidType(m_nid) == NID_TYPE_SEARCH_FOLDER) {
                std::vector<TableRow> rows;
                hr = SearchRows(*m_pDb, m_nid, {PROP_ID(PR_MESSAGE_FLAGS)}, rows);
                counts.ulContent = static_cast<ULONG>(rows.size());
                for (const auto& row : rows) {
                    auto it = row.props.find(PROP_ID(PR_MESSAGE_FLAGS));
                    if (it == row.props.end() || !(ReadLong(it->second) & MSGFLAG_READ))
                        ++counts.ulUnread;
                }
            } else {
                hr = CountFolder(*m_pDb, m_nid, bUnread, counts);
            }
            if (FAILED(hr))
                return hr;
            AddCounts(counts, bUnread, props);
        }
        return S_OK;
    }

    bool IsComputed(ULONG ulId) const override {
        static const std::set<ULONG> computed = {PROP_ID(PR_FOLDER_TYPE),    PROP_ID(PR_ACCESS),
                                                 PROP_ID(PR_ACCESS_LEVEL),   PROP_ID(PR_CONTENT_COUNT),
                                                 PROP_ID(PR_CONTENT_UNREAD), PROP_ID(PR_ASSOC_CONTENT_COUNT),
                                                 PROP_ID(PR_SUBFOLDERS),     PROP_ID(PR_FOLDER_CHILD_COUNT)};
        return IsIdentityId(ulId) || computed.count(ulId);
    }

    HRESULT WriteProps(const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) override {
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        StoreDb::Transaction txn(*m_pDb);
        HRESULT hr = txn.Begun();
        ULONG parent = 0;
        if (SUCCEEDED(hr))
            hr = m_pDb->ObjectInfo(m_nid, &parent, nullptr);
        if (hr == MAPI_E_NOT_FOUND)
            hr = MAPI_E_OBJECT_DELETED;
        if (SUCCEEDED(hr) && parent)
            m_parent = parent;
        for (const auto& prop : set) {
            if (FAILED(hr))
                break;
            if (PROP_ID(prop.ulTag) == PROP_ID(PR_DISPLAY_NAME) && m_nid != kNidRoot) {
                // Sibling folders never share a name.
                std::wstring name = ReadString(prop);
                if (name.empty())
                    return MAPI_E_INVALID_PARAMETER;
                ULONG existing = 0;
                hr = FindSubfolder(*m_pDb, m_parent, name, m_nid, &existing);
                if (SUCCEEDED(hr) && existing)
                    hr = MAPI_E_COLLISION;
            }
        }
        if (SUCCEEDED(hr))
            hr = m_pDb->WriteProps(m_nid, set, deleted);
        bool bTimeGiven = std::any_of(set.begin(), set.end(), [](const StoredProp& prop) {
            return PROP_ID(prop.ulTag) == PROP_ID(PR_LAST_MODIFICATION_TIME);
        });
        if (SUCCEEDED(hr) && !bTimeGiven)
            hr = m_pDb->WriteProp(m_nid, MakeSysTime(PR_LAST_MODIFICATION_TIME, NowFileTime()));
        if (SUCCEEDED(hr))
            hr = m_pDb->TouchObject(m_nid, nullptr);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (SUCCEEDED(hr))
            m_pDb->Post({fnevObjectModified, m_pDb->EntryIdOf(m_nid), m_pDb->EntryIdOf(m_parent), MAPI_FOLDER, {}, 0});
        return hr;
    }

    StoreDb* Db() const override { return m_pDb.get(); }
    bool Writable() const override { return m_bWritable; }

private:
    HRESULT Exists() {
        HRESULT hr = m_pDb->ObjectInfo(m_nid, nullptr, nullptr);
        return hr == MAPI_E_NOT_FOUND ? MAPI_E_OBJECT_DELETED : hr;
    }

    static FolderImpl* AsFolder(IMAPIFolder* pFolder) { return dynamic_cast<FolderImpl*>(pFolder); }

    HRESULT ChildMessage(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG* pNid) {
        ULONG parent = 0;
        if (!m_pDb->ParseEntryId(cbEntryID, lpEntryID, pNid) || !IsMessageNid(*pNid))
            return MAPI_E_INVALID_ENTRYID;
        HRESULT hr = m_pDb->ObjectInfo(*pNid, &parent, nullptr);
        if (SUCCEEDED(hr) && parent != m_nid)
            hr = MAPI_E_NOT_FOUND;
        return hr;
    }

    // The messages of this folder named by the list; others make the result a partial completion.
    HRESULT ChildMessages(LPENTRYLIST lpList, std::vector<ULONG>& nids, bool* pbPartial) {
        if (lpList->cValues && !lpList->lpbin)
            return MAPI_E_INVALID_PARAMETER;
        for (ULONG i = 0; i < lpList->cValues; ++i) {
            ULONG nid = 0;
            HRESULT hr = ChildMessage(lpList->lpbin[i].cb, reinterpret_cast<LPENTRYID>(lpList->lpbin[i].lpb), &nid);
            if (SUCCEEDED(hr))
                nids.push_back(nid);
            else if (hr == MAPI_E_NOT_FOUND || hr == MAPI_E_INVALID_ENTRYID)
                *pbPartial = true;
            else
                return hr;
        }
        return S_OK;
    }

    // Rows in ascending key order, as the table's reads of ranges need.
    static HRESULT ContentRows(StoreDb& db, ULONG nid, bool bAssoc, const std::vector<ULONG>& ids,
                               std::vector<TableRow>& rows, ChildRange range = {}) {
        rows.clear();
        std::map<ULONG, PropMap> children;
        const ULONG ulType = bAssoc ? NID_TYPE_ASSOC_MESSAGE : NID_TYPE_NORMAL_MESSAGE;
        HRESULT hr = db.LoadChildProps(nid, ids, children, {ulType, ulType}, range);
        if (FAILED(hr))
            return hr;
        for (auto& [child, props] : children) {
            if (NidType(child) != ulType)
                continue;
            AddIdentityProps(db, child, nid, props, ids);
            rows.push_back({child, std::move(props)});
        }
        return S_OK;
    }

    // visited holds the folders listed so far: one met again means a loop of parent links.
    static HRESULT HierarchyRows(StoreDb& db, ULONG nid, bool bDeep, LONG lDepth, const std::vector<ULONG>& ids,
                                 std::set<ULONG>& visited, std::vector<TableRow>& rows) {
        if (lDepth > 256 || !visited.insert(nid).second)
            return MAPI_E_CORRUPT_STORE;
        std::map<ULONG, PropMap> children;
        HRESULT hr = db.LoadChildProps(nid, ids, children, kFolderTypes);
        if (FAILED(hr))
            return hr;
        for (auto& [child, props] : children) {
            if (!IsFolderNid(child))
                continue;
            AddIdentityProps(db, child, nid, props, ids);
            props[PROP_ID(PR_DEPTH)] = MakeLong(PR_DEPTH, lDepth);
            props[PROP_ID(PR_FOLDER_TYPE)] = MakeLong(PR_FOLDER_TYPE, static_cast<LONG>(FolderType(child)));
            bool bUnread = WantedId(ids, PR_CONTENT_UNREAD);
            if (bUnread || WantedId(ids, PR_CONTENT_COUNT) || WantedId(ids, PR_SUBFOLDERS) ||
                WantedId(ids, PR_ASSOC_CONTENT_COUNT) || WantedId(ids, PR_FOLDER_CHILD_COUNT)) {
                FolderCounts counts;
                hr = CountFolder(db, child, bUnread, counts);
                if (FAILED(hr))
                    return hr;
                AddCounts(counts, bUnread, props);
            }
            rows.push_back({child, std::move(props)});
            if (bDeep) {
                hr = HierarchyRows(db, child, true, lDepth + 1, ids, visited, rows);
                if (FAILED(hr))
                    return hr;
            }
        }
        return S_OK;
    }

    static HRESULT CollectScope(StoreDb& db, ULONG folder, bool bRecursive, std::set<ULONG>& seen,
                                std::vector<ULONG>& folders) {
        if (!seen.insert(folder).second || NidType(folder) == NID_TYPE_SEARCH_FOLDER)
            return S_OK;
        folders.push_back(folder);
        if (!bRecursive)
            return S_OK;
        std::vector<ULONG> children;
        HRESULT hr = db.Children(folder, children);
        for (ULONG child : children)
            if (SUCCEEDED(hr) && IsFolderNid(child))
                hr = CollectScope(db, child, true, seen, folders);
        return hr;
    }

    static HRESULT SearchRows(StoreDb& db, ULONG nid, const std::vector<ULONG>& ids, std::vector<TableRow>& rows) {
        rows.clear();
        ULONG ulState = 0;
        std::string sRes, sScope;
        HRESULT hr = db.ReadSearch(nid, &ulState, &sRes, &sScope);
        if (hr == MAPI_E_NOT_INITIALIZED)
            return S_OK;  // no criteria yet: no results
        if (FAILED(hr))
            return hr;
        Restriction res;
        if (!DeserializeRestriction(sRes, res))
            return MAPI_E_CORRUPT_STORE;
        std::set<ULONG> needed;
        CollectIds(res, needed);
        std::vector<ULONG> loadIds = ids;
        if (!ids.empty())
            loadIds.insert(loadIds.end(), needed.begin(), needed.end());
        std::set<ULONG> seen;
        std::vector<ULONG> folders;
        for (ULONG folder : DecodeScope(sScope)) {
            if (FAILED(db.ObjectInfo(folder, nullptr, nullptr)))
                continue;  // a scope folder was deleted
            hr = CollectScope(db, folder, ulState & SEARCH_RECURSIVE, seen, folders);
            if (FAILED(hr))
                return hr;
        }
        for (ULONG folder : folders) {
            std::map<ULONG, PropMap> children;
            hr = db.LoadChildProps(folder, loadIds, children, {NID_TYPE_NORMAL_MESSAGE, NID_TYPE_NORMAL_MESSAGE});
            if (FAILED(hr))
                return hr;
            for (auto& [child, props] : children) {
                if (NidType(child) != NID_TYPE_NORMAL_MESSAGE)
                    continue;
                ULONG nidMessage = child;  // structured bindings cannot be captured before clang 16
                RowView view{&props, [&db, nidMessage](ULONG ulSub, std::vector<PropMap>& sub) {
                                 return LoadSubObjects(db, nidMessage, ulSub, sub);
                             }};
                if (!Evaluate(res, view))
                    continue;
                AddIdentityProps(db, child, folder, props, ids);
                rows.push_back({child, std::move(props)});
            }
        }
        return S_OK;
    }

    std::shared_ptr<StoreDb> m_pDb;
    ULONG m_nid;
    std::atomic<ULONG> m_parent;
    bool m_bWritable;
};

}  // namespace

HRESULT OpenFolderObject(std::shared_ptr<StoreDb> pDb, ULONG nid, bool bWritable, IMAPIFolder** ppFolder) {
    if (!IsFolderNid(nid))
        return MAPI_E_INVALID_ENTRYID;
    ULONG parent = 0;
    HRESULT hr = pDb->ObjectInfo(nid, &parent, nullptr);
    if (FAILED(hr))
        return hr;
    auto* pFolder = new (std::nothrow) FolderImpl(std::move(pDb), nid, parent ? parent : nid, bWritable);
    if (!pFolder)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *ppFolder = pFolder;
    return S_OK;
}

}  // namespace Platform::Mapi
