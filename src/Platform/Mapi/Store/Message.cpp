// Messages and attachments. A message keeps its pending state in memory (MessageData.h); an attachment
// edits a copy of its part, handed back to the message by IAttach::SaveChanges, and an embedded
// message hands its copy back to its attachment the same way. Only the top-level message's
// SaveChanges writes to the store.
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Props/KnownTypes.h"
#include "Platform/Mapi/Props/PropObject.h"
#include "Platform/Mapi/Store/MessageData.h"
#include "Platform/Mapi/Store/Objects.h"
#include "Platform/Mapi/Store/StoreDb.h"
#include "Platform/Mapi/Store/StoreLayout.h"
#include "Platform/Mapi/Store/Table.h"

namespace Platform::Mapi {

namespace {

class AttachImpl;

StoredProp InstanceKey(ULONG ulKey) {
    return MakeBinary(PR_INSTANCE_KEY, std::string_view(reinterpret_cast<const char*>(&ulKey), 4));
}

// Whether a read of lpTags (null: of everything) asks for the property id.
bool Wanted(LPSPropTagArray lpTags, ULONG ulId) {
    for (ULONG i = 0; lpTags && i < lpTags->cValues; ++i)
        if (PROP_ID(lpTags->aulPropTag[i]) == ulId)
            return true;
    return !lpTags;
}

// The values of source that a read of lpTags asks for.
void CopyWanted(const PropMap& source, LPSPropTagArray lpTags, PropMap& props) {
    if (!lpTags) {
        props = source;
        return;
    }
    props.clear();
    for (ULONG i = 0; i < lpTags->cValues; ++i)
        if (auto it = source.find(PROP_ID(lpTags->aulPropTag[i])); it != source.end())
            props.insert(*it);
}

// A table over rows built once: each load copies only the columns asked for, so that the values
// nobody shows (attachment data, say) are not copied again and again.
RowSource SnapshotSource(std::vector<TableRow> rows) {
    auto pRows = std::make_shared<const std::vector<TableRow>>(std::move(rows));
    RowSource source;
    source.load = [pRows](const std::vector<ULONG>& ids, std::vector<TableRow>& out) {
        if (ids.empty()) {
            out = *pRows;
            return S_OK;
        }
        out.clear();
        out.reserve(pRows->size());
        for (const TableRow& row : *pRows) {
            TableRow& copy = out.emplace_back(TableRow{row.key, {}});
            for (ULONG ulId : ids)
                if (auto it = row.props.find(ulId); it != row.props.end())
                    copy.props.insert(*it);
        }
        return S_OK;
    };
    return source;
}

// The subject prefix ("RE: ", "FW: ") that PR_NORMALIZED_SUBJECT leaves out: one to three letters
// before a colon and a space.
size_t SubjectPrefixLength(const std::wstring& subject) {
    size_t colon = subject.find(L':');
    if (colon == std::wstring::npos || colon == 0 || colon > 3 || colon + 1 >= subject.size() ||
        subject[colon + 1] != L' ')
        return 0;
    for (size_t i = 0; i < colon; ++i)
        if (!iswalpha(subject[i]))
            return 0;
    return colon + 2;
}

class MessageImpl : public PropObject<IMessage> {
public:
    MessageImpl(std::shared_ptr<StoreDb> pDb, std::shared_ptr<MsgData> pData, ULONG parent, bool bWritable,
                bool bContainerWritable)
        : m_pDb(std::move(pDb)),
          m_pData(std::move(pData)),
          m_parent(parent),
          m_bWritable(bWritable),
          m_bContainerWritable(bContainerWritable) {}
    MessageImpl(std::shared_ptr<StoreDb> pDb, std::shared_ptr<MsgData> pData, AttachImpl* pParentAttach,
                bool bWritable);

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMessage, IMAPIProp, IUnknown>(riid, ppv);
    }

    HRESULT SaveChanges(ULONG ulFlags) override;
    HRESULT GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
    HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) override;
    HRESULT CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) override;
    HRESULT DeleteAttach(ULONG ulAttachmentNum, ULONG_PTR, LPMAPIPROGRESS, ULONG) override;
    HRESULT GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) override;
    HRESULT ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) override;
    HRESULT SubmitMessage(ULONG ulFlags) override;
    HRESULT SetReadFlag(ULONG ulFlags) override;

    // An attachment's edited copy comes back.
    HRESULT CommitAttachment(ULONG ulNum, const std::shared_ptr<AttachData>& pAttach);
    StoreDb& Db_() { return *m_pDb; }
    const std::shared_ptr<StoreDb>& DbPtr() { return m_pDb; }
    std::recursive_mutex& Mutex() { return m_mutex; }

protected:
    HRESULT OpenSubObject(ULONG ulPropTag, REFIID riid, ULONG ulFlags, LPUNKNOWN* lppUnk) override;
    HRESULT OpenStream(ULONG ulPropTag, ULONG ulInterfaceOptions, ULONG ulFlags, LPUNKNOWN* lppUnk) override;
    HRESULT ReadProps(PropMap& props) override;
    HRESULT ReadPropsFor(PropMap& props, LPSPropTagArray lpTags) override;
    bool IsComputed(ULONG ulId) const override;
    HRESULT WriteProps(const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) override;
    StoreDb* Db() const override { return m_pDb.get(); }
    bool Writable() const override { return m_bWritable; }

private:
    void PrepareForSave();
    HRESULT SaveToStore(ULONG ulFlags);

    std::shared_ptr<StoreDb> m_pDb;
    std::shared_ptr<MsgData> m_pData;
    ULONG m_parent = 0;                         // folder of a top-level message
    Platform::ComPtr<IAttach> m_pParentAttach;  // holder of an embedded message
    bool m_bWritable;
    bool m_bContainerWritable = false;  // the read state may change even when the message may not
    std::recursive_mutex m_mutex;
};

class AttachImpl : public PropObject<IAttach> {
public:
    AttachImpl(MessageImpl* pParent, ULONG ulNum, std::shared_ptr<AttachData> pData, bool bWritable)
        : m_pParent(pParent), m_ulNum(ulNum), m_pData(std::move(pData)), m_bWritable(bWritable) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IAttach, IMAPIProp, IUnknown>(riid, ppv);
    }

    HRESULT SaveChanges(ULONG ulFlags) override {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        HRESULT hr = m_pParent->CommitAttachment(m_ulNum, m_pData->Clone());
        if (SUCCEEDED(hr) && !(ulFlags & KEEP_OPEN_READWRITE))
            m_bWritable = false;
        return hr;
    }

    // An embedded message's edited copy comes back.
    HRESULT CommitEmbedded(const std::shared_ptr<MsgData>& pMsg) {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        if (m_pData->embedded)
            AdoptPersistence(*pMsg, *m_pData->embedded);
        m_pData->embedded = pMsg;
        m_pData->bEmbeddedLoaded = true;
        m_pData->bChanged = true;
        return S_OK;
    }

    std::recursive_mutex& Mutex() { return m_mutex; }

protected:
    // The embedded message.
    HRESULT OpenSubObject(ULONG ulPropTag, REFIID riid, ULONG ulFlags, LPUNKNOWN* lppUnk) override {
        if (PROP_ID(ulPropTag) != PROP_ID(PR_ATTACH_DATA_OBJ) || riid != IID_IMessage)
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        return OpenEmbedded(ulFlags, lppUnk);
    }

    HRESULT OpenStream(ULONG ulPropTag, ULONG ulInterfaceOptions, ULONG ulFlags, LPUNKNOWN* lppUnk) override {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        // The attachment's data is binary whatever tag the caller used to reach it.
        if (PROP_ID(ulPropTag) == PROP_ID(PR_ATTACH_DATA_BIN))
            ulPropTag = PR_ATTACH_DATA_BIN;
        return OpenStreamOn(m_pData->props, ulPropTag, ulInterfaceOptions, ulFlags, lppUnk);
    }

    HRESULT ReadProps(PropMap& props) override { return ReadPropsFor(props, nullptr); }

    // Only the asked-for values are copied: the attachment's data may be large.
    HRESULT ReadPropsFor(PropMap& props, LPSPropTagArray lpTags) override {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        CopyWanted(m_pData->props, lpTags, props);
        props[PROP_ID(PR_ATTACH_NUM)] = MakeLong(PR_ATTACH_NUM, static_cast<LONG>(m_ulNum));
        AddStoreIdentityProps(m_pParent->Db_(), MAPI_ATTACH, props);
        props[PROP_ID(PR_ACCESS_LEVEL)] = MakeLong(PR_ACCESS_LEVEL, m_bWritable ? 1 : 0);
        if (Wanted(lpTags, PROP_ID(PR_ATTACH_SIZE))) {
            ULONG cb = 0;
            for (const auto& [id, prop] : m_pData->props)
                cb += ValueSize(prop);
            props[PROP_ID(PR_ATTACH_SIZE)] = MakeLong(PR_ATTACH_SIZE, static_cast<LONG>(cb));
        }
        return S_OK;
    }
    bool IsComputed(ULONG ulId) const override {
        return ulId == PROP_ID(PR_ATTACH_NUM) || ulId == PROP_ID(PR_OBJECT_TYPE) || ulId == PROP_ID(PR_ATTACH_SIZE) ||
               ulId == PROP_ID(PR_ACCESS_LEVEL) || IsIdentityId(ulId);
    }
    HRESULT WriteProps(const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) override {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!m_bWritable)
            return MAPI_E_NO_ACCESS;
        m_pData->changes.Apply(m_pData->props, set, deleted);
        m_pData->bChanged = true;
        return S_OK;
    }
    StoreDb* Db() const override { return &m_pParent->Db_(); }
    bool Writable() const override { return m_bWritable; }

private:
    HRESULT OpenEmbedded(ULONG ulFlags, LPUNKNOWN* lppUnk) {
        bool bWrite = (ulFlags & (MAPI_MODIFY | MAPI_CREATE)) != 0;
        if (bWrite && !m_bWritable)
            return MAPI_E_NO_ACCESS;
        HRESULT hr = EnsureEmbedded(m_pParent->Db_(), *m_pData);
        if (FAILED(hr))
            return hr;
        std::shared_ptr<MsgData> pMsg;
        if (ulFlags & MAPI_CREATE) {
            if (m_pData->embedded && !m_pData->embedded->bNew)
                m_pData->ulRemovedEmbeddedNid = m_pData->embedded->nid;
            m_pData->embedded.reset();
            pMsg = std::make_shared<MsgData>();
            pMsg->bRecipsLoaded = pMsg->bAttachLoaded = true;
            pMsg->changes.Set(pMsg->props, MakeLong(PR_MESSAGE_FLAGS, MSGFLAG_READ | MSGFLAG_UNSENT));
        } else {
            if (!m_pData->embedded)
                return MAPI_E_NOT_FOUND;
            pMsg = m_pData->embedded->Clone();
        }
        auto* pMessage = new (std::nothrow) MessageImpl(m_pParent->DbPtr(), std::move(pMsg), this, bWrite);
        if (!pMessage)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        *lppUnk = static_cast<IMessage*>(pMessage);
        return S_OK;
    }

    MessageImpl* m_pParent;
    Platform::ComPtr<IMessage> m_parentRef{m_pParent};  // keeps the message alive
    ULONG m_ulNum;
    std::shared_ptr<AttachData> m_pData;
    bool m_bWritable;
    std::recursive_mutex m_mutex;
};

MessageImpl::MessageImpl(std::shared_ptr<StoreDb> pDb, std::shared_ptr<MsgData> pData, AttachImpl* pParentAttach,
                         bool bWritable)
    : m_pDb(std::move(pDb)), m_pData(std::move(pData)), m_pParentAttach(pParentAttach), m_bWritable(bWritable) {}

HRESULT MessageImpl::ReadProps(PropMap& props) {
    return ReadPropsFor(props, nullptr);
}

HRESULT MessageImpl::ReadPropsFor(PropMap& props, LPSPropTagArray lpTags) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // A caller that names its tags gets those only: copying every value (bodies among them) and
    // computing every derived one for a read of three would cost more than the read.
    // Only PR_HASATTACH needs the attachments read.
    const bool bHasAttach = Wanted(lpTags, PROP_ID(PR_HASATTACH));
    if (bHasAttach) {
        HRESULT hr = EnsureAttachments(*m_pDb, *m_pData);
        if (FAILED(hr))
            return hr;
    }
    CopyWanted(m_pData->props, lpTags, props);
    bool bIdentity = !lpTags;
    for (ULONG i = 0; lpTags && i < lpTags->cValues && !bIdentity; ++i)
        bIdentity = IsIdentityId(PROP_ID(lpTags->aulPropTag[i]));
    if (bIdentity) {
        if (m_pParentAttach)
            AddStoreIdentityProps(*m_pDb, MAPI_MESSAGE, props);
        else
            AddIdentityProps(*m_pDb, m_pData->nid, m_parent, props);
    }
    props[PROP_ID(PR_ACCESS_LEVEL)] = MakeLong(PR_ACCESS_LEVEL, m_bWritable ? 1 : 0);
    props[PROP_ID(PR_ACCESS)] =
        MakeLong(PR_ACCESS, MAPI_ACCESS_READ | (m_bWritable ? MAPI_ACCESS_MODIFY | MAPI_ACCESS_DELETE : 0));
    if (bHasAttach)
        props[PROP_ID(PR_HASATTACH)] = MakeBool(PR_HASATTACH, !m_pData->attachments.empty());
    if (Wanted(lpTags, PROP_ID(PR_MESSAGE_SIZE)) && !m_pData->props.count(PROP_ID(PR_MESSAGE_SIZE))) {
        ULONG cb = 0;
        for (const auto& [id, prop] : m_pData->props)
            cb += ValueSize(prop);
        props[PROP_ID(PR_MESSAGE_SIZE)] = MakeLong(PR_MESSAGE_SIZE, static_cast<LONG>(cb));
    }
    return S_OK;
}

bool MessageImpl::IsComputed(ULONG ulId) const {
    return IsIdentityId(ulId) || ulId == PROP_ID(PR_ACCESS) || ulId == PROP_ID(PR_ACCESS_LEVEL) ||
           ulId == PROP_ID(PR_HASATTACH) || ulId == PROP_ID(PR_MESSAGE_SIZE);
}

HRESULT MessageImpl::WriteProps(const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_bWritable)
        return MAPI_E_NO_ACCESS;
    m_pData->changes.Apply(m_pData->props, set, deleted);
    m_pData->bChanged = true;
    return S_OK;
}

void MessageImpl::PrepareForSave() {
    MsgData& d = *m_pData;
    FILETIME ftNow = NowFileTime();
    if (d.bNew && !d.props.count(PROP_ID(PR_CREATION_TIME)))
        d.changes.Set(d.props, MakeSysTime(PR_CREATION_TIME, ftNow));
    // A time the caller set with this change (a received time, a server's) is the one kept.
    if (!d.changes.dirty.count(PROP_ID(PR_LAST_MODIFICATION_TIME)))
        d.changes.Set(d.props, MakeSysTime(PR_LAST_MODIFICATION_TIME, ftNow));
    if (d.bNew && !d.props.count(PROP_ID(PR_SEARCH_KEY))) {
        MAPIUID key = RandomUid();
        d.changes.Set(d.props, MakeBinary(PR_SEARCH_KEY, std::string_view(reinterpret_cast<const char*>(key.ab), 16)));
    }
    if (!d.props.count(PROP_ID(PR_MESSAGE_CLASS)))
        d.changes.Set(d.props, MakeString(PR_MESSAGE_CLASS_W, L"IPM.Note"));
    LONG lFlags = 0;
    if (auto it = d.props.find(PROP_ID(PR_MESSAGE_FLAGS)); it != d.props.end())
        lFlags = ReadLong(it->second);
    LONG lNewFlags = d.attachments.empty() ? (lFlags & ~MSGFLAG_HASATTACH) : (lFlags | MSGFLAG_HASATTACH);
    if (d.bAssoc)
        lNewFlags |= MSGFLAG_ASSOCIATED;
    if (lNewFlags != lFlags || !d.props.count(PROP_ID(PR_MESSAGE_FLAGS)))
        d.changes.Set(d.props, MakeLong(PR_MESSAGE_FLAGS, lNewFlags));
    // The normalized subject follows the subject unless the caller set it with this change.
    auto itSubject = d.props.find(PROP_ID(PR_SUBJECT));
    bool bSubjectChanged = d.changes.dirty.count(PROP_ID(PR_SUBJECT)) || d.changes.deleted.count(PROP_ID(PR_SUBJECT));
    if (bSubjectChanged && !d.changes.dirty.count(PROP_ID(PR_NORMALIZED_SUBJECT))) {
        if (itSubject == d.props.end()) {
            d.changes.Delete(d.props, PROP_ID(PR_NORMALIZED_SUBJECT));
            d.changes.Delete(d.props, PROP_ID(PR_SUBJECT_PREFIX));
        } else {
            std::wstring subject = ReadString(itSubject->second);
            size_t cchPrefix = SubjectPrefixLength(subject);
            d.changes.Set(d.props, MakeString(PR_NORMALIZED_SUBJECT_W, subject.substr(cchPrefix)));
            if (!d.changes.dirty.count(PROP_ID(PR_SUBJECT_PREFIX)))
                d.changes.Set(d.props, MakeString(PR_SUBJECT_PREFIX_W, subject.substr(0, cchPrefix)));
        }
    }
    ULONG cb = 0;
    for (const auto& [id, prop] : d.props)
        if (id != PROP_ID(PR_MESSAGE_SIZE))
            cb += ValueSize(prop);
    for (const auto& [num, attach] : d.attachments)
        for (const auto& [id, prop] : attach->props)
            cb += ValueSize(prop);
    d.changes.Set(d.props, MakeLong(PR_MESSAGE_SIZE, static_cast<LONG>(cb)));
    d.bChanged = true;
}

HRESULT MessageImpl::SaveChanges(ULONG ulFlags) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_bWritable)
        return MAPI_E_NO_ACCESS;
    HRESULT hr = EnsureAttachments(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    PrepareForSave();
    if (m_pParentAttach) {
        auto* pAttach = static_cast<AttachImpl*>(m_pParentAttach.Get());
        hr = pAttach->CommitEmbedded(m_pData->Clone());
    } else {
        hr = SaveToStore(ulFlags);
    }
    if (SUCCEEDED(hr) && !(ulFlags & KEEP_OPEN_READWRITE))
        m_bWritable = false;
    return hr;
}

HRESULT MessageImpl::SaveToStore(ULONG ulFlags) {
    MsgData& d = *m_pData;
    HRESULT hr = AssignNids(*m_pDb, d, d.bAssoc ? NID_TYPE_ASSOC_MESSAGE : NID_TYPE_NORMAL_MESSAGE);
    if (FAILED(hr))
        return hr;
    StoreDb::Transaction txn(*m_pDb);
    if (FAILED(txn.Begun()))
        return txn.Begun();
    ULONG parent = 0;
    int64_t version = 0;
    if (d.bNew) {
        hr = m_pDb->ObjectInfo(m_parent, nullptr, nullptr);
        if (hr == MAPI_E_NOT_FOUND)
            hr = MAPI_E_OBJECT_DELETED;  // the folder went away
    } else {
        hr = m_pDb->ObjectInfo(d.nid, &parent, &version);
        if (hr == MAPI_E_NOT_FOUND)
            hr = MAPI_E_OBJECT_DELETED;
        if (SUCCEEDED(hr) && version != d.version && !(ulFlags & FORCE_SAVE))
            hr = MAPI_E_OBJECT_CHANGED;
    }
    if (SUCCEEDED(hr))
        hr = WriteMessage(*m_pDb, d, m_parent);
    if (SUCCEEDED(hr))
        if (BeforeCommitHook pfnHook = GetBeforeCommitHook())
            pfnHook();
    if (SUCCEEDED(hr))
        hr = txn.Commit();
    if (FAILED(hr))
        return hr;
    ULONG ulEvent = d.bNew ? fnevObjectCreated : fnevObjectModified;
    MarkClean(d);
    m_pDb->Post({ulEvent, m_pDb->EntryIdOf(d.nid), m_pDb->EntryIdOf(m_parent), MAPI_MESSAGE, {}, 0});
    return S_OK;
}

HRESULT MessageImpl::OpenSubObject(ULONG ulPropTag, REFIID riid, ULONG, LPUNKNOWN* lppUnk) {
    if (riid != IID_IMAPITable)
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    IMAPITable* pTable = nullptr;
    HRESULT hr = MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (ulPropTag == PR_MESSAGE_RECIPIENTS)
        hr = GetRecipientTable(MAPI_UNICODE, &pTable);
    if (ulPropTag == PR_MESSAGE_ATTACHMENTS)
        hr = GetAttachmentTable(MAPI_UNICODE, &pTable);
    *lppUnk = pTable;
    return hr;
}

// On the pending properties: what was set and not yet saved is what the stream starts from.
HRESULT MessageImpl::OpenStream(ULONG ulPropTag, ULONG ulInterfaceOptions, ULONG ulFlags, LPUNKNOWN* lppUnk) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return OpenStreamOn(m_pData->props, ulPropTag, ulInterfaceOptions, ulFlags, lppUnk);
}

HRESULT MessageImpl::GetAttachmentTable(ULONG, LPMAPITABLE* lppTable) {
    if (!lppTable)
        return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    HRESULT hr = EnsureAttachments(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    std::vector<TableRow> rows;
    for (const auto& [num, attach] : m_pData->attachments) {
        TableRow row{num, attach->props};
        row.props[PROP_ID(PR_ATTACH_NUM)] = MakeLong(PR_ATTACH_NUM, static_cast<LONG>(num));
        row.props[PROP_ID(PR_INSTANCE_KEY)] = InstanceKey(num);
        AddStoreIdentityProps(*m_pDb, MAPI_ATTACH, row.props);
        ULONG cb = 0;
        for (const auto& [id, prop] : attach->props)
            cb += ValueSize(prop);
        row.props[PROP_ID(PR_ATTACH_SIZE)] = MakeLong(PR_ATTACH_SIZE, static_cast<LONG>(cb));
        rows.push_back(std::move(row));
    }
    RowSource source = SnapshotSource(std::move(rows));
    source.defaultColumns = {
        PR_ATTACH_NUM,    PR_INSTANCE_KEY,   PR_RENDERING_POSITION, PR_ATTACH_FILENAME_W, PR_ATTACH_LONG_FILENAME_W,
        PR_ATTACH_METHOD, PR_DISPLAY_NAME_W, PR_ATTACH_SIZE};
    return CreateTable(std::move(source), lppTable);
}

HRESULT MessageImpl::OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) {
    if (!lppAttach)
        return MAPI_E_INVALID_PARAMETER;
    *lppAttach = nullptr;
    if (lpInterface && *lpInterface != IID_IAttachment && *lpInterface != IID_IMAPIProp && *lpInterface != IID_IUnknown)
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    HRESULT hr = EnsureAttachments(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    auto it = m_pData->attachments.find(ulAttachmentNum);
    if (it == m_pData->attachments.end())
        return MAPI_E_NOT_FOUND;
    bool bWrite = WantsWrite(ulFlags);
    if ((ulFlags & MAPI_MODIFY) && !m_bWritable)
        return MAPI_E_NO_ACCESS;
    auto* pAttach = new (std::nothrow) AttachImpl(this, ulAttachmentNum, it->second->Clone(), bWrite && m_bWritable);
    if (!pAttach)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *lppAttach = pAttach;
    return S_OK;
}

HRESULT MessageImpl::CreateAttach(LPCIID lpInterface, ULONG, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) {
    if (!lppAttach || !lpulAttachmentNum)
        return MAPI_E_INVALID_PARAMETER;
    *lppAttach = nullptr;
    if (lpInterface && *lpInterface != IID_IAttachment && *lpInterface != IID_IMAPIProp && *lpInterface != IID_IUnknown)
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_bWritable)
        return MAPI_E_NO_ACCESS;
    HRESULT hr = EnsureAttachments(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    ULONG ulNum = m_pData->ulNextAttach++;
    auto pData = std::make_shared<AttachData>();
    pData->bEmbeddedLoaded = true;
    pData->changes.Set(pData->props, MakeLong(PR_ATTACH_NUM, static_cast<LONG>(ulNum)));
    auto* pAttach = new (std::nothrow) AttachImpl(this, ulNum, std::move(pData), true);
    if (!pAttach)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *lpulAttachmentNum = ulNum;
    *lppAttach = pAttach;
    return S_OK;
}

HRESULT MessageImpl::CommitAttachment(ULONG ulNum, const std::shared_ptr<AttachData>& pAttach) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_bWritable)
        return MAPI_E_NO_ACCESS;
    HRESULT hr = EnsureAttachments(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    auto it = m_pData->attachments.find(ulNum);
    if (it != m_pData->attachments.end())
        AdoptPersistence(*pAttach, *it->second);
    pAttach->bChanged = true;
    m_pData->attachments[ulNum] = pAttach;
    m_pData->bChanged = true;
    return S_OK;
}

HRESULT MessageImpl::DeleteAttach(ULONG ulAttachmentNum, ULONG_PTR, LPMAPIPROGRESS, ULONG) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_bWritable)
        return MAPI_E_NO_ACCESS;
    HRESULT hr = EnsureAttachments(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    auto it = m_pData->attachments.find(ulAttachmentNum);
    if (it == m_pData->attachments.end())
        return MAPI_E_NOT_FOUND;
    if (!it->second->bNew)
        m_pData->removedAttachNids.push_back(it->second->nid);
    m_pData->attachments.erase(it);
    m_pData->bChanged = true;
    return S_OK;
}

HRESULT MessageImpl::GetRecipientTable(ULONG, LPMAPITABLE* lppTable) {
    if (!lppTable)
        return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    HRESULT hr = EnsureRecipients(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    std::vector<TableRow> rows;
    for (const auto& [ulRow, props] : m_pData->recips) {
        TableRow row{ulRow, props};
        row.props[PROP_ID(PR_ROWID)] = MakeLong(PR_ROWID, static_cast<LONG>(ulRow));
        row.props[PROP_ID(PR_INSTANCE_KEY)] = InstanceKey(ulRow);
        if (!row.props.count(PROP_ID(PR_OBJECT_TYPE)))
            row.props[PROP_ID(PR_OBJECT_TYPE)] = MakeLong(PR_OBJECT_TYPE, MAPI_MAILUSER);
        rows.push_back(std::move(row));
    }
    RowSource source = SnapshotSource(std::move(rows));
    source.defaultColumns = {PR_ROWID,          PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W, PR_ADDRTYPE_W,
                             PR_RECIPIENT_TYPE, PR_ENTRYID,        PR_INSTANCE_KEY,    PR_OBJECT_TYPE};
    return CreateTable(std::move(source), lppTable);
}

HRESULT MessageImpl::ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) {
    if (!lpMods)
        return MAPI_E_INVALID_PARAMETER;
    if (ulFlags & ~(MODRECIP_ADD | MODRECIP_MODIFY | MODRECIP_REMOVE))
        return MAPI_E_UNKNOWN_FLAGS;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_bWritable)
        return MAPI_E_NO_ACCESS;
    HRESULT hr = EnsureRecipients(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    // Checked and encoded first, so that a bad entry changes nothing.
    std::vector<std::pair<LONG, PropMap>> entries;  // row id (-1 when none) and values
    for (ULONG i = 0; i < lpMods->cEntries; ++i) {
        const ADRENTRY& e = lpMods->aEntries[i];
        if (e.cValues && !e.rgPropVals)
            return MAPI_E_INVALID_PARAMETER;
        LONG lRow = -1;
        PropMap props;
        for (ULONG j = 0; j < e.cValues; ++j) {
            const SPropValue& v = e.rgPropVals[j];
            ULONG ulType = PROP_TYPE(v.ulPropTag);
            if (PROP_ID(v.ulPropTag) == PROP_ID(PR_ROWID)) {
                if (ulType == PT_LONG)
                    lRow = v.Value.l;
                continue;
            }
            if (ulType == PT_ERROR || ulType == PT_NULL || PROP_ID(v.ulPropTag) == PROP_ID(PR_INSTANCE_KEY))
                continue;
            StoredProp stored;
            if (IsKnownTypeMismatch(v.ulPropTag) || FAILED(EncodeValue(v, stored)))
                return MAPI_E_INVALID_PARAMETER;
            props[PROP_ID(v.ulPropTag)] = std::move(stored);
        }
        if ((ulFlags & (MODRECIP_MODIFY | MODRECIP_REMOVE)) &&
            (lRow < 0 || !m_pData->recips.count(static_cast<ULONG>(lRow))))
            return MAPI_E_NOT_FOUND;
        entries.emplace_back(lRow, std::move(props));
    }
    if (ulFlags == 0)
        m_pData->recips.clear();
    for (auto& [lRow, props] : entries) {
        if (ulFlags & MODRECIP_REMOVE)
            m_pData->recips.erase(static_cast<ULONG>(lRow));
        else if (ulFlags & MODRECIP_MODIFY)
            m_pData->recips[static_cast<ULONG>(lRow)] = std::move(props);
        else
            m_pData->recips[m_pData->ulNextRow++] = std::move(props);
    }
    m_pData->bRecipsDirty = true;
    m_pData->bChanged = true;
    return S_OK;
}

HRESULT MessageImpl::SubmitMessage(ULONG) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_bWritable || m_pParentAttach)
        return MAPI_E_NO_ACCESS;
    HRESULT hr = EnsureRecipients(*m_pDb, *m_pData);
    if (FAILED(hr))
        return hr;
    if (m_pData->recips.empty())
        return MAPI_E_NO_RECIPIENTS;
    LONG lFlags = 0;
    if (auto it = m_pData->props.find(PROP_ID(PR_MESSAGE_FLAGS)); it != m_pData->props.end())
        lFlags = ReadLong(it->second);
    m_pData->changes.Set(m_pData->props, MakeLong(PR_MESSAGE_FLAGS, lFlags | MSGFLAG_SUBMIT | MSGFLAG_UNSENT));
    m_pData->changes.Set(m_pData->props, MakeSysTime(PR_CLIENT_SUBMIT_TIME, NowFileTime()));
    m_pData->bChanged = true;
    // A submitted message belongs to the outgoing queue; the client may not change it further.
    return SaveChanges(KEEP_OPEN_READONLY);
}

HRESULT MessageImpl::SetReadFlag(ULONG ulFlags) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_bWritable && !m_bContainerWritable)
        return MAPI_E_NO_ACCESS;
    LONG lFlags = 0;
    if (auto it = m_pData->props.find(PROP_ID(PR_MESSAGE_FLAGS)); it != m_pData->props.end())
        lFlags = ReadLong(it->second);
    LONG lNew = (ulFlags & CLEAR_READ_FLAG) ? (lFlags & ~MSGFLAG_READ) : (lFlags | MSGFLAG_READ);
    StoredProp flags = MakeLong(PR_MESSAGE_FLAGS, lNew);
    // The read state of a stored message changes at once, without SaveChanges.
    if (!m_pData->bNew && !m_pParentAttach) {
        StoreDb::Transaction txn(*m_pDb);
        HRESULT hr = txn.Begun();
        if (SUCCEEDED(hr))
            hr = m_pDb->WriteProp(m_pData->nid, flags);
        if (SUCCEEDED(hr))
            hr = m_pDb->TouchObject(m_pData->nid, nullptr);
        if (SUCCEEDED(hr))
            hr = txn.Commit();
        if (FAILED(hr))
            return hr;
        ++m_pData->version;
        m_pData->props[PROP_ID(PR_MESSAGE_FLAGS)] = flags;
        return S_OK;
    }
    m_pData->changes.Set(m_pData->props, flags);
    m_pData->bChanged = true;
    return S_OK;
}

}  // namespace

HRESULT OpenMessageObject(std::shared_ptr<StoreDb> pDb, ULONG nid, bool bWritable, bool bContainerWritable,
                          IMessage** ppMessage) {
    std::shared_ptr<MsgData> pData;
    ULONG parent = 0;
    HRESULT hr = LoadMessage(*pDb, nid, pData, &parent);
    if (FAILED(hr))
        return hr;
    if (!IsFolderNid(parent))
        return MAPI_E_NOT_FOUND;  // attachments and embedded messages have no entry
    auto* pMessage =
        new (std::nothrow) MessageImpl(std::move(pDb), std::move(pData), parent, bWritable, bContainerWritable);
    if (!pMessage)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *ppMessage = pMessage;
    return S_OK;
}

HRESULT CreateMessageObject(std::shared_ptr<StoreDb> pDb, ULONG folderNid, bool bAssoc, IMessage** ppMessage) {
    auto pData = std::make_shared<MsgData>();
    pData->bAssoc = bAssoc;
    pData->bRecipsLoaded = pData->bAttachLoaded = true;
    HRESULT hr = pDb->AllocateNid(bAssoc ? NID_TYPE_ASSOC_MESSAGE : NID_TYPE_NORMAL_MESSAGE, &pData->nid);
    if (FAILED(hr))
        return hr;
    pData->changes.Set(pData->props,
                       MakeLong(PR_MESSAGE_FLAGS, MSGFLAG_READ | MSGFLAG_UNSENT | (bAssoc ? MSGFLAG_ASSOCIATED : 0)));
    auto* pMessage = new (std::nothrow) MessageImpl(std::move(pDb), std::move(pData), folderNid, true, true);
    if (!pMessage)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *ppMessage = pMessage;
    return S_OK;
}

}  // namespace Platform::Mapi
