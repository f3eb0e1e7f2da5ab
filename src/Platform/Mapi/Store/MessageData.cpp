#include "Platform/Mapi/Store/MessageData.h"

#include <atomic>

#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/Store/StoreDb.h"

namespace Platform::Mapi {

void PropChanges::Set(PropMap& props, const StoredProp& prop) {
    ULONG ulId = PROP_ID(prop.ulTag);
    props[ulId] = prop;
    dirty.insert(ulId);
    deleted.erase(ulId);
}

void PropChanges::Delete(PropMap& props, ULONG ulId) {
    if (!props.erase(ulId))
        return;
    dirty.erase(ulId);
    deleted.insert(ulId);
}

void PropChanges::Apply(PropMap& props, const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) {
    for (const auto& prop : set)
        Set(props, prop);
    for (ULONG ulId : deleted)
        Delete(props, ulId);
}

std::shared_ptr<MsgData> MsgData::Clone() const {
    auto copy = std::make_shared<MsgData>(*this);
    for (auto& [num, attach] : copy->attachments)
        attach = attach->Clone();
    return copy;
}

std::shared_ptr<AttachData> AttachData::Clone() const {
    auto copy = std::make_shared<AttachData>(*this);
    if (copy->embedded)
        copy->embedded = copy->embedded->Clone();
    return copy;
}

HRESULT LoadMessage(StoreDb& db, ULONG nid, std::shared_ptr<MsgData>& msg, ULONG* pParent) {
    auto data = std::make_shared<MsgData>();
    data->nid = nid;
    data->bNew = false;
    data->bAssoc = NidType(nid) == NID_TYPE_ASSOC_MESSAGE;
    // The version and the values from one state of the file.
    StoreDb::ReadScope scope(db);
    HRESULT hr = db.ObjectInfo(nid, pParent, &data->version);
    if (SUCCEEDED(hr))
        hr = db.LoadProps(nid, data->props);
    if (FAILED(hr))
        return hr;
    msg = std::move(data);
    return S_OK;
}

HRESULT EnsureRecipients(StoreDb& db, MsgData& msg) {
    if (msg.bRecipsLoaded)
        return S_OK;
    if (!msg.bNew) {
        HRESULT hr = db.LoadRecipients(msg.nid, msg.recips);
        if (FAILED(hr))
            return hr;
    }
    msg.ulNextRow = msg.recips.empty() ? 0 : msg.recips.rbegin()->first + 1;
    msg.bRecipsLoaded = true;
    return S_OK;
}

HRESULT EnsureAttachments(StoreDb& db, MsgData& msg) {
    if (msg.bAttachLoaded)
        return S_OK;
    if (!msg.bNew) {
        StoreDb::ReadScope scope(db);
        std::vector<ULONG> children;
        HRESULT hr = db.Children(msg.nid, children);
        if (FAILED(hr))
            return hr;
        for (ULONG child : children) {
            if (NidType(child) != NID_TYPE_ATTACHMENT)
                continue;
            auto attach = std::make_shared<AttachData>();
            attach->nid = child;
            attach->bNew = false;
            hr = db.LoadProps(child, attach->props);
            if (FAILED(hr))
                return hr;
            auto it = attach->props.find(PROP_ID(PR_ATTACH_NUM));
            if (it == attach->props.end())
                return MAPI_E_CORRUPT_STORE;
            ULONG ulNum = static_cast<ULONG>(ReadLong(it->second));
            msg.attachments[ulNum] = attach;
        }
    }
    msg.ulNextAttach = msg.attachments.empty() ? 0 : msg.attachments.rbegin()->first + 1;
    msg.bAttachLoaded = true;
    return S_OK;
}

HRESULT EnsureEmbedded(StoreDb& db, AttachData& attach) {
    if (attach.bEmbeddedLoaded)
        return S_OK;
    if (!attach.bNew) {
        std::vector<ULONG> children;
        HRESULT hr = db.Children(attach.nid, children);
        if (FAILED(hr))
            return hr;
        for (ULONG child : children) {
            if (!IsMessageNid(child))
                continue;
            hr = LoadMessage(db, child, attach.embedded);
            if (FAILED(hr))
                return hr;
            break;
        }
    }
    attach.bEmbeddedLoaded = true;
    return S_OK;
}

HRESULT AssignNids(StoreDb& db, MsgData& msg, ULONG ulType) {
    HRESULT hr = S_OK;
    if (msg.nid == 0)
        hr = db.AllocateNid(ulType, &msg.nid);
    for (auto& [num, attach] : msg.attachments) {
        if (FAILED(hr))
            break;
        if (attach->nid == 0)
            hr = db.AllocateNid(NID_TYPE_ATTACHMENT, &attach->nid);
        if (SUCCEEDED(hr) && attach->embedded)
            hr = AssignNids(db, *attach->embedded, NID_TYPE_NORMAL_MESSAGE);
    }
    return hr;
}

namespace {

HRESULT WriteOwnProps(StoreDb& db, ULONG nid, bool bNew, const PropMap& props, const PropChanges& changes) {
    if (bNew)
        return db.InsertProps(nid, props);
    HRESULT hr = S_OK;
    for (ULONG ulId : changes.deleted)
        if (SUCCEEDED(hr))
            hr = db.DeleteProp(nid, ulId);
    for (const auto& [ulId, prop] : props)
        if (SUCCEEDED(hr) && changes.dirty.count(ulId))
            hr = db.WriteProp(nid, prop);
    return hr;
}

HRESULT WriteAttachment(StoreDb& db, AttachData& attach, ULONG parent) {
    HRESULT hr = attach.bNew ? db.InsertObject(attach.nid, parent) : db.TouchObject(attach.nid, nullptr);
    if (SUCCEEDED(hr))
        hr = WriteOwnProps(db, attach.nid, attach.bNew, attach.props, attach.changes);
    if (SUCCEEDED(hr) && attach.ulRemovedEmbeddedNid)
        hr = db.DeleteTree(attach.ulRemovedEmbeddedNid);
    if (SUCCEEDED(hr) && attach.embedded && (attach.embedded->bNew || attach.embedded->bChanged))
        hr = WriteMessage(db, *attach.embedded, attach.nid);
    return hr;
}

}  // namespace

HRESULT WriteMessage(StoreDb& db, MsgData& msg, ULONG parent) {
    HRESULT hr = msg.bNew ? db.InsertObject(msg.nid, parent) : db.TouchObject(msg.nid, &msg.version);
    if (SUCCEEDED(hr))
        hr = WriteOwnProps(db, msg.nid, msg.bNew, msg.props, msg.changes);
    if (SUCCEEDED(hr) && msg.bRecipsDirty)
        hr = db.WriteRecipients(msg.nid, msg.recips);
    for (ULONG nid : msg.removedAttachNids)
        if (SUCCEEDED(hr))
            hr = db.DeleteTree(nid);
    for (auto& [num, attach] : msg.attachments)
        if (SUCCEEDED(hr) && (attach->bNew || attach->bChanged))
            hr = WriteAttachment(db, *attach, msg.nid);
    if (SUCCEEDED(hr) && msg.bNew)
        msg.version = 1;
    return hr;
}

namespace {
std::atomic<BeforeCommitHook> g_pfnBeforeCommit{nullptr};
}  // namespace

void SetBeforeCommitHook(BeforeCommitHook pfnHook) {
    g_pfnBeforeCommit = pfnHook;
}
BeforeCommitHook GetBeforeCommitHook() {
    return g_pfnBeforeCommit;
}

void AdoptPersistence(AttachData& fresh, const AttachData& current) {
    fresh.nid = current.nid;
    fresh.bNew = current.bNew;
    if (fresh.embedded && current.embedded && !fresh.ulRemovedEmbeddedNid)
        AdoptPersistence(*fresh.embedded, *current.embedded);
}

void AdoptPersistence(MsgData& fresh, const MsgData& current) {
    if (fresh.nid && fresh.nid != current.nid)
        return;  // a replacement, not the same message
    fresh.nid = current.nid;
    fresh.bNew = current.bNew;
    fresh.version = current.version;
    for (auto& [num, attach] : fresh.attachments) {
        auto it = current.attachments.find(num);
        if (it != current.attachments.end())
            AdoptPersistence(*attach, *it->second);
    }
}

void MarkClean(MsgData& msg) {
    msg.bNew = false;
    msg.bChanged = false;
    msg.changes = {};
    msg.bRecipsDirty = false;
    msg.removedAttachNids.clear();
    for (auto& [num, attach] : msg.attachments) {
        attach->bNew = false;
        attach->bChanged = false;
        attach->changes = {};
        attach->ulRemovedEmbeddedNid = 0;
        if (attach->embedded)
            MarkClean(*attach->embedded);
    }
}

}  // namespace Platform::Mapi
