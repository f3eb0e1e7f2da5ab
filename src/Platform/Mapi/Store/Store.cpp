// The message store object and opening of entries by entry id.
#include <algorithm>
#include <cstring>
#include <set>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Props/PropObject.h"
#include "Platform/Mapi/Store/Objects.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Platform/Mapi/Store/StoreDb.h"
#include "Platform/Mapi/Store/Table.h"

namespace Platform::Mapi {

namespace {

// No STORE_RTF_OK: the store keeps the plain, HTML and RTF bodies as they are written, without
// bringing the others in step, so writers must set every body they mean.
constexpr ULONG kSupportMask = STORE_ENTRYID_UNIQUE | STORE_SEARCH_OK | STORE_MODIFY_OK | STORE_CREATE_OK |
                               STORE_ATTACH_OK | STORE_SUBMIT_OK | STORE_NOTIFY_OK | STORE_MV_PROPS_OK |
                               STORE_RESTRICTION_OK | STORE_SORT_OK | STORE_HTML_OK | STORE_ANSI_OK | STORE_UNICODE_OK |
                               STORE_LOCALSTORE;

std::string ToUpperAscii(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

class MsgStoreImpl : public PropObject<IMsgStore> {
public:
    MsgStoreImpl(std::shared_ptr<StoreDb> pDb, bool bWritable) : m_pDb(std::move(pDb)), m_bWritable(bWritable) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMsgStore, IMAPIProp, IUnknown>(riid, ppv);
    }

    const std::shared_ptr<StoreDb>& DbPtr() const { return m_pDb; }
    bool IsWritable() const { return m_bWritable; }

    // Store properties are written at once; there is nothing left to save.
    HRESULT SaveChanges(ULONG) override { return m_bWritable ? S_OK : MAPI_E_NO_ACCESS; }

    HRESULT Advise(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                   ULONG* lpulConnection) override {
        if (!lpAdviseSink || !lpulConnection || !ulEventMask)
            return MAPI_E_INVALID_PARAMETER;
        std::string eid;
        if (cbEntryID && lpEntryID) {
            ULONG nid = 0;
            if (!m_pDb->ParseEntryId(cbEntryID, lpEntryID, &nid))
                return MAPI_E_INVALID_ENTRYID;
            eid.assign(reinterpret_cast<const char*>(lpEntryID), cbEntryID);
        }
        *lpulConnection = m_pDb->Notifications().Advise(eid, ulEventMask, lpAdviseSink);
        return S_OK;
    }

    HRESULT Unadvise(ULONG ulConnection) override { return m_pDb->Notifications().Unadvise(ulConnection); }

    HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2, ULONG,
                            ULONG* lpulResult) override {
        if (!lpulResult || (cbEntryID1 && !lpEntryID1) || (cbEntryID2 && !lpEntryID2))
            return MAPI_E_INVALID_PARAMETER;
        ULONG nid1 = 0, nid2 = 0;
        bool b1 = m_pDb->ParseEntryId(cbEntryID1, lpEntryID1, &nid1);
        bool b2 = m_pDb->ParseEntryId(cbEntryID2, lpEntryID2, &nid2);
        if (b1 && b2) {
            *lpulResult = nid1 == nid2;
            return S_OK;
        }
        std::filesystem::path p1, p2;
        if (Platform::OsdPathFromStoreEntryId(cbEntryID1, lpEntryID1, &p1) &&
            Platform::OsdPathFromStoreEntryId(cbEntryID2, lpEntryID2, &p2)) {
            std::error_code ec1, ec2;
            *lpulResult = std::filesystem::equivalent(p1, p2, ec1) && !ec1;
            return S_OK;
        }
        if (!b1 && !b2)
            return MAPI_E_UNKNOWN_ENTRYID;
        *lpulResult = FALSE;
        return S_OK;
    }

    HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
                      LPUNKNOWN* lppUnk) override {
        return OpenStoreEntry(m_pDb, m_bWritable, cbEntryID, lpEntryID, lpInterface, ulFlags, lpulObjType, lppUnk);
    }

    HRESULT SetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) override {
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        std::string cls = ToUpperAscii(Platform::ToUtf8(TextArg(lpszMessageClass, ulFlags)));
        ULONG nid = 0;
        if (cbEntryID && !m_pDb->ParseEntryId(cbEntryID, lpEntryID, &nid))
            return MAPI_E_INVALID_ENTRYID;
        if (nid && !IsFolderNid(nid))
            return MAPI_E_INVALID_ENTRYID;
        // Removing the default ("") is not allowed; it always names a folder.
        if (!nid && cls.empty())
            return MAPI_E_INVALID_PARAMETER;
        StoreDb::Transaction txn(*m_pDb);
        HRESULT hr = txn.Begun();
        if (SUCCEEDED(hr) && nid)
            hr = m_pDb->ObjectInfo(nid, nullptr, nullptr);
        if (SUCCEEDED(hr))
            hr = m_pDb->SetReceiveFolder(cls, nid);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        return hr;
    }

    HRESULT GetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID, LPENTRYID* lppEntryID,
                             LPTSTR* lppszExplicitClass) override {
        if (!lpcbEntryID || !lppEntryID)
            return MAPI_E_INVALID_PARAMETER;
        *lpcbEntryID = 0;
        *lppEntryID = nullptr;
        if (lppszExplicitClass)
            *lppszExplicitClass = nullptr;
        std::string cls = ToUpperAscii(Platform::ToUtf8(TextArg(lpszMessageClass, ulFlags)));
        std::vector<std::pair<std::string, ULONG>> rows;
        HRESULT hr = m_pDb->ReceiveFolders(rows);
        if (FAILED(hr))
            return hr;
        // The longest registered class that is the class itself or a dot-separated prefix of it.
        const std::pair<std::string, ULONG>* pBest = nullptr;
        for (const auto& row : rows) {
            bool bPrefix = row.first.empty() || cls == row.first ||
                           (cls.size() > row.first.size() && cls.compare(0, row.first.size(), row.first) == 0 &&
                            cls[row.first.size()] == '.');
            if (bPrefix && (!pBest || row.first.size() > pBest->first.size()))
                pBest = &row;
        }
        if (!pBest)
            return MAPI_E_NOT_FOUND;
        std::string eid = m_pDb->EntryIdOf(pBest->second);
        void* p = nullptr;
        hr = MAPIAllocateBuffer(kEntryIdSize, &p);
        if (FAILED(hr))
            return hr;
        std::memcpy(p, eid.data(), kEntryIdSize);
        if (lppszExplicitClass) {
            std::wstring wsClass = Platform::FromUtf8(pBest->first);
            size_t cb = (ulFlags & MAPI_UNICODE) ? (wsClass.size() + 1) * sizeof(wchar_t) : pBest->first.size() + 1;
            void* pText = nullptr;
            hr = MAPIAllocateBuffer(static_cast<ULONG>(cb), &pText);
            if (FAILED(hr)) {
                MAPIFreeBuffer(p);
                return hr;
            }
            std::memcpy(
                pText, (ulFlags & MAPI_UNICODE) ? static_cast<const void*>(wsClass.c_str()) : pBest->first.c_str(), cb);
            *lppszExplicitClass = static_cast<LPTSTR>(pText);
        }
        *lpcbEntryID = kEntryIdSize;
        *lppEntryID = static_cast<LPENTRYID>(p);
        return S_OK;
    }

    HRESULT GetReceiveFolderTable(ULONG, LPMAPITABLE* lppTable) override {
        if (!lppTable)
            return MAPI_E_INVALID_PARAMETER;
        auto pDb = m_pDb;
        RowSource source;
        source.load = [pDb](const std::vector<ULONG>&, std::vector<TableRow>& rows) {
            std::vector<std::pair<std::string, ULONG>> classes;
            HRESULT hr = pDb->ReceiveFolders(classes);
            rows.clear();
            uint64_t key = 0;
            for (const auto& [cls, nid] : classes) {
                TableRow row{key++, {}};
                row.props[PROP_ID(PR_MESSAGE_CLASS)] = MakeString(PR_MESSAGE_CLASS_W, Platform::FromUtf8(cls));
                row.props[PROP_ID(PR_ENTRYID)] = MakeBinary(PR_ENTRYID, pDb->EntryIdOf(nid));
                row.props[PROP_ID(PR_RECORD_KEY)] = MakeBinary(PR_RECORD_KEY, pDb->EntryIdOf(nid));
                ULONG ulKey = static_cast<ULONG>(row.key);
                row.props[PROP_ID(PR_INSTANCE_KEY)] =
                    MakeBinary(PR_INSTANCE_KEY, std::string_view(reinterpret_cast<const char*>(&ulKey), 4));
                rows.push_back(std::move(row));
            }
            return hr;
        };
        source.defaultColumns = {PR_INSTANCE_KEY, PR_ENTRYID, PR_RECORD_KEY, PR_MESSAGE_CLASS_W};
        return CreateTable(std::move(source), lppTable);
    }

    HRESULT StoreLogoff(ULONG* lpulFlags) override {
        if (!lpulFlags)
            return MAPI_E_INVALID_PARAMETER;
        return S_OK;
    }

    HRESULT AbortSubmit(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG) override {
        return ChangeSubmitState(cbEntryID, lpEntryID, false);
    }

    HRESULT GetOutgoingQueue(ULONG, LPMAPITABLE* lppTable) override {
        if (!lppTable)
            return MAPI_E_INVALID_PARAMETER;
        auto pDb = m_pDb;
        RowSource source;
        source.load = [pDb](const std::vector<ULONG>& ids, std::vector<TableRow>& rows) {
            StoreDb::ReadScope scope(*pDb);
            return OutgoingRows(*pDb, ids, rows);
        };
        source.defaultColumns = {PR_ENTRYID, PR_INSTANCE_KEY, PR_SUBMIT_FLAGS, PR_CLIENT_SUBMIT_TIME, PR_MESSAGE_FLAGS};
        return CreateTable(std::move(source), lppTable);
    }

    HRESULT SetLockState(LPMESSAGE lpMessage, ULONG) override { return lpMessage ? S_OK : MAPI_E_INVALID_PARAMETER; }

    HRESULT FinishedMsg(ULONG, ULONG cbEntryID, LPENTRYID lpEntryID) override {
        return ChangeSubmitState(cbEntryID, lpEntryID, true);
    }

    HRESULT NotifyNewMail(LPNOTIFICATION lpNotification) override {
        if (!lpNotification || lpNotification->ulEventType != fnevNewMail)
            return MAPI_E_INVALID_PARAMETER;
        const auto& n = lpNotification->info.newmail;
        Event event;
        event.ulEventType = fnevNewMail;
        if (n.lpEntryID)
            event.sEntryId.assign(reinterpret_cast<const char*>(n.lpEntryID), n.cbEntryID);
        if (n.lpParentID)
            event.sParentId.assign(reinterpret_cast<const char*>(n.lpParentID), n.cbParentID);
        event.wsMessageClass = TextArg(n.lpszMessageClass, n.ulFlags);
        event.ulMessageFlags = n.ulMessageFlags;
        event.ulObjType = MAPI_MESSAGE;
        m_pDb->Post(std::move(event));
        return S_OK;
    }

protected:
    HRESULT ReadProps(PropMap& props) override { return ReadPropsFor(props, nullptr); }

    HRESULT ReadPropsFor(PropMap& props, LPSPropTagArray lpTags) override {
        HRESULT hr = m_pDb->LoadPropsFor(kNidStore, lpTags, props);
        if (FAILED(hr))
            return hr;
        // Callers ask for one or two of these per item they handle: only those are made.
        auto wanted = [lpTags](ULONG ulId) {
            for (ULONG i = 0; lpTags && i < lpTags->cValues; ++i)
                if (PROP_ID(lpTags->aulPropTag[i]) == ulId)
                    return true;
            return !lpTags;
        };
        const std::string& eid = m_pDb->StoreEntryId();
        std::string_view key(reinterpret_cast<const char*>(m_pDb->RecordKey().ab), 16);
        const std::pair<ULONG, std::string_view> binaries[] = {
            {PR_ENTRYID, eid},
            {PR_STORE_ENTRYID, eid},
            {PR_RECORD_KEY, key},
            {PR_STORE_RECORD_KEY, key},
            {PR_MAPPING_SIGNATURE, std::string_view(reinterpret_cast<const char*>(m_pDb->MappingSignature().ab), 16)},
            {PR_MDB_PROVIDER, std::string_view(reinterpret_cast<const char*>(MUIDOsdStoreProvider.ab), 16)}};
        for (const auto& [ulTag, value] : binaries)
            if (wanted(PROP_ID(ulTag)))
                props[PROP_ID(ulTag)] = MakeBinary(ulTag, value);
        const std::pair<ULONG, LONG> longs[] = {
            {PR_STORE_SUPPORT_MASK, static_cast<LONG>(kSupportMask | (m_bWritable ? 0 : STORE_READONLY))},
            {PR_STORE_STATE, 0},
            {PR_OBJECT_TYPE, MAPI_STORE},
            {PR_ACCESS_LEVEL, m_bWritable ? 1 : 0}};
        for (const auto& [ulTag, lValue] : longs)
            if (wanted(PROP_ID(ulTag)))
                props[PROP_ID(ulTag)] = MakeLong(ulTag, lValue);
        return S_OK;
    }

    bool IsComputed(ULONG ulId) const override {
        static const std::set<ULONG> computed = {PROP_ID(PR_ENTRYID),
                                                 PROP_ID(PR_STORE_ENTRYID),
                                                 PROP_ID(PR_RECORD_KEY),
                                                 PROP_ID(PR_STORE_RECORD_KEY),
                                                 PROP_ID(PR_MAPPING_SIGNATURE),
                                                 PROP_ID(PR_MDB_PROVIDER),
                                                 PROP_ID(PR_STORE_SUPPORT_MASK),
                                                 PROP_ID(PR_STORE_STATE),
                                                 PROP_ID(PR_OBJECT_TYPE),
                                                 PROP_ID(PR_ACCESS_LEVEL),
                                                 PROP_ID(PR_IPM_SUBTREE_ENTRYID),
                                                 PROP_ID(PR_FINDER_ENTRYID)};
        return computed.count(ulId) != 0;
    }

    HRESULT WriteProps(const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) override {
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        StoreDb::Transaction txn(*m_pDb);
        HRESULT hr = txn.Begun();
        if (SUCCEEDED(hr))
            hr = m_pDb->WriteProps(kNidStore, set, deleted);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        return hr;
    }

    StoreDb* Db() const override { return m_pDb.get(); }
    bool Writable() const override { return m_bWritable; }

private:
    // FinishedMsg (bDone: the transport sent it) and AbortSubmit (taken back from the queue).
    HRESULT ChangeSubmitState(ULONG cbEntryID, LPENTRYID lpEntryID, bool bDone) {
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        ULONG nid = 0;
        if (!m_pDb->ParseEntryId(cbEntryID, lpEntryID, &nid) || !IsMessageNid(nid))
            return MAPI_E_INVALID_ENTRYID;
        StoreDb::Transaction txn(*m_pDb);
        HRESULT hr = txn.Begun();
        PropMap props;
        if (SUCCEEDED(hr))
            hr = m_pDb->LoadProps(nid, props);
        if (SUCCEEDED(hr) && props.empty())
            hr = MAPI_E_NOT_FOUND;
        if (FAILED(hr))
            return hr;
        LONG lFlags = props.count(PROP_ID(PR_MESSAGE_FLAGS)) ? ReadLong(props[PROP_ID(PR_MESSAGE_FLAGS)]) : 0;
        if (!(lFlags & MSGFLAG_SUBMIT))
            return MAPI_E_NOT_IN_QUEUE;
        lFlags &= ~MSGFLAG_SUBMIT;
        if (bDone)
            lFlags &= ~MSGFLAG_UNSENT;
        hr = m_pDb->WriteProp(nid, MakeLong(PR_MESSAGE_FLAGS, lFlags));
        if (SUCCEEDED(hr))
            hr = m_pDb->TouchObject(nid, nullptr);
        if (SUCCEEDED(hr) && bDone) {
            auto itDelete = props.find(PROP_ID(PR_DELETE_AFTER_SUBMIT));
            auto itSent = props.find(PROP_ID(PR_SENTMAIL_ENTRYID));
            ULONG sentNid = 0;
            if (itDelete != props.end() && ReadBool(itDelete->second))
                hr = m_pDb->DeleteTree(nid);
            else if (itSent != props.end() &&
                     m_pDb->ParseEntryId(static_cast<ULONG>(itSent->second.sData.size()), itSent->second.sData.data(),
                                         &sentNid) &&
                     IsFolderNid(sentNid) && SUCCEEDED(m_pDb->ObjectInfo(sentNid, nullptr, nullptr)))
                hr = m_pDb->MoveObject(nid, sentNid);
        }
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        return hr;
    }

    static HRESULT OutgoingRows(StoreDb& db, const std::vector<ULONG>& ids, std::vector<TableRow>& rows) {
        rows.clear();
        std::vector<ULONG> loadIds = ids;
        if (!ids.empty())
            loadIds.push_back(PROP_ID(PR_MESSAGE_FLAGS));
        std::vector<ULONG> pending = {kNidRoot};
        // A folder met twice means a loop of parent links: the walk would never end.
        std::set<ULONG> visited;
        while (!pending.empty()) {
            ULONG folder = pending.back();
            pending.pop_back();
            if (!visited.insert(folder).second)
                return MAPI_E_CORRUPT_STORE;
            std::map<ULONG, PropMap> children;
            HRESULT hr = db.LoadChildProps(folder, loadIds, children);
            if (FAILED(hr))
                return hr;
            for (auto& [child, props] : children) {
                if (IsFolderNid(child)) {
                    pending.push_back(child);
                    continue;
                }
                auto it = props.find(PROP_ID(PR_MESSAGE_FLAGS));
                if (NidType(child) != NID_TYPE_NORMAL_MESSAGE || it == props.end() ||
                    !(ReadLong(it->second) & MSGFLAG_SUBMIT))
                    continue;
                AddIdentityProps(db, child, folder, props);
                rows.push_back({child, std::move(props)});
            }
        }
        return S_OK;
    }

    std::shared_ptr<StoreDb> m_pDb;
    bool m_bWritable;
};

}  // namespace

bool IsIdentityId(ULONG ulId) {
    static const std::set<ULONG> ids = {PROP_ID(PR_ENTRYID),           PROP_ID(PR_RECORD_KEY),
                                        PROP_ID(PR_INSTANCE_KEY),      PROP_ID(PR_PARENT_ENTRYID),
                                        PROP_ID(PR_STORE_ENTRYID),     PROP_ID(PR_STORE_RECORD_KEY),
                                        PROP_ID(PR_MAPPING_SIGNATURE), PROP_ID(PR_OBJECT_TYPE)};
    return ids.count(ulId) != 0;
}

bool WantedId(const std::vector<ULONG>& ids, ULONG ulTag) {
    return ids.empty() || std::find(ids.begin(), ids.end(), PROP_ID(ulTag)) != ids.end();
}

void AddIdentityProps(const StoreDb& db, ULONG nid, ULONG parent, PropMap& props, const std::vector<ULONG>& ids) {
    const std::string eid = db.EntryIdOf(nid);
    if (WantedId(ids, PR_ENTRYID))
        props[PROP_ID(PR_ENTRYID)] = MakeBinary(PR_ENTRYID, eid);
    if (WantedId(ids, PR_RECORD_KEY))
        props[PROP_ID(PR_RECORD_KEY)] = MakeBinary(PR_RECORD_KEY, eid);
    if (WantedId(ids, PR_INSTANCE_KEY))
        props[PROP_ID(PR_INSTANCE_KEY)] = MakeBinary(PR_INSTANCE_KEY, std::string_view(eid).substr(20, 4));
    if (WantedId(ids, PR_PARENT_ENTRYID))
        props[PROP_ID(PR_PARENT_ENTRYID)] = MakeBinary(PR_PARENT_ENTRYID, db.EntryIdOf(parent ? parent : nid));
    AddStoreIdentityProps(db, IsFolderNid(nid) ? MAPI_FOLDER : MAPI_MESSAGE, props, ids);
}

void AddStoreIdentityProps(const StoreDb& db, ULONG ulObjType, PropMap& props, const std::vector<ULONG>& ids) {
    if (WantedId(ids, PR_STORE_ENTRYID))
        props[PROP_ID(PR_STORE_ENTRYID)] = MakeBinary(PR_STORE_ENTRYID, db.StoreEntryId());
    if (WantedId(ids, PR_STORE_RECORD_KEY))
        props[PROP_ID(PR_STORE_RECORD_KEY)] =
            MakeBinary(PR_STORE_RECORD_KEY, std::string_view(reinterpret_cast<const char*>(db.RecordKey().ab), 16));
    if (WantedId(ids, PR_MAPPING_SIGNATURE))
        props[PROP_ID(PR_MAPPING_SIGNATURE)] = MakeBinary(
            PR_MAPPING_SIGNATURE, std::string_view(reinterpret_cast<const char*>(db.MappingSignature().ab), 16));
    if (WantedId(ids, PR_OBJECT_TYPE))
        props[PROP_ID(PR_OBJECT_TYPE)] = MakeLong(PR_OBJECT_TYPE, static_cast<LONG>(ulObjType));
}

std::shared_ptr<StoreDb> StoreDbOf(IMsgStore* pStore) {
    auto* pImpl = dynamic_cast<MsgStoreImpl*>(pStore);
    return pImpl && pImpl->IsWritable() ? pImpl->DbPtr() : nullptr;
}

HRESULT OpenStoreObject(std::shared_ptr<StoreDb> pDb, bool bWritable, IMsgStore** ppStore) {
    if (!ppStore)
        return MAPI_E_INVALID_PARAMETER;
    *ppStore = new (std::nothrow) MsgStoreImpl(std::move(pDb), bWritable);
    return *ppStore ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

HRESULT OpenStoreEntry(const std::shared_ptr<StoreDb>& pDb, bool bContainerWritable, ULONG cbEntryID,
                       LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType, LPUNKNOWN* lppUnk) {
    if (!lppUnk)
        return MAPI_E_INVALID_PARAMETER;
    *lppUnk = nullptr;
    ULONG nid = kNidRoot;
    if (cbEntryID && (!lpEntryID || !pDb->ParseEntryId(cbEntryID, lpEntryID, &nid)))
        return MAPI_E_INVALID_ENTRYID;
    // A read-only store or folder hands out read-only objects, and refuses to hand out writable ones.
    if ((ulFlags & MAPI_MODIFY) && !(ulFlags & MAPI_BEST_ACCESS) && !bContainerWritable)
        return MAPI_E_NO_ACCESS;
    bool bWrite = WantsWrite(ulFlags) && bContainerWritable;
    IUnknown* pObject = nullptr;
    ULONG ulObjType = 0;
    HRESULT hr;
    if (IsFolderNid(nid)) {
        IMAPIFolder* pFolder = nullptr;
        hr = OpenFolderObject(pDb, nid, bWrite, &pFolder);
        pObject = pFolder;
        ulObjType = MAPI_FOLDER;
    } else if (IsMessageNid(nid)) {
        IMessage* pMessage = nullptr;
        hr = OpenMessageObject(pDb, nid, bWrite, bContainerWritable, &pMessage);
        pObject = pMessage;
        ulObjType = MAPI_MESSAGE;
    } else {
        return MAPI_E_INVALID_ENTRYID;
    }
    if (FAILED(hr))
        return hr;
    if (lpInterface) {
        void* pAs = nullptr;
        hr = pObject->QueryInterface(*lpInterface, &pAs);
        pObject->Release();
        if (FAILED(hr))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        pObject = static_cast<IUnknown*>(pAs);
    }
    if (lpulObjType)
        *lpulObjType = ulObjType;
    *lppUnk = pObject;
    return S_OK;
}

}  // namespace Platform::Mapi

namespace Platform {

HRESULT OpenOsdStore(const std::filesystem::path& path, bool bCreate, const std::wstring& wsDisplayName, bool bWritable,
                     IMsgStore** ppStore) {
    if (!ppStore)
        return MAPI_E_INVALID_PARAMETER;
    *ppStore = nullptr;
    std::shared_ptr<Mapi::StoreDb> pDb;
    HRESULT hr = Mapi::StoreDb::Open(path, bCreate, wsDisplayName, &pDb);
    if (FAILED(hr))
        return hr;
    bool bCanWrite = !pDb->ReadOnly();
    return Mapi::OpenStoreObject(std::move(pDb), bWritable && bCanWrite, ppStore);
}

HRESULT CreateTemporaryMessage(IMessage** ppMessage) {
    if (!ppMessage)
        return MAPI_E_INVALID_PARAMETER;
    *ppMessage = nullptr;
    std::shared_ptr<Mapi::StoreDb> pDb;
    HRESULT hr = Mapi::StoreDb::CreateTemporary(&pDb);
    if (FAILED(hr))
        return hr;
    return Mapi::CreateMessageObject(std::move(pDb), Mapi::kNidRoot, false, ppMessage);
}

bool OsdPathFromStoreEntryId(ULONG cbEntryID, const void* pEntryID, std::filesystem::path* pPath) {
    if (!pEntryID || cbEntryID < 4 + 16 + 2 + 2)
        return false;
    const auto* p = static_cast<const BYTE*>(pEntryID);
    if (std::memcmp(p + 4, MUIDOsdStoreProvider.ab, 16) != 0)
        return false;
    std::string_view rest(reinterpret_cast<const char*>(p + 22), cbEntryID - 22);
    // UTF-16LE up to the terminator.
    size_t end = 0;
    while (end + 1 < rest.size() && (rest[end] || rest[end + 1]))
        end += 2;
    std::wstring path = Platform::FromUtf16LEBytes(rest.substr(0, end));
    if (path.size() < 4 || path.compare(path.size() - 4, 4, L".osd") != 0)
        return false;
    if (pPath)
        *pPath = std::filesystem::path(Platform::ToUtf8(path));  // file names are UTF-8 bytes
    return true;
}

}  // namespace Platform
