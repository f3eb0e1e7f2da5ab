// The pending state of a message being read or edited: its properties, recipients and attachments
// (each attachment possibly holding an embedded message). Parts are read from the store lazily and
// written back together by the top-level message's SaveChanges, in one transaction.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "Platform/Mapi/Props/PropCodec.h"

namespace Platform::Mapi {

class StoreDb;
struct AttachData;

// Changes of one object's own properties since it was read.
struct PropChanges {
    std::set<ULONG> dirty;
    std::set<ULONG> deleted;
    void Set(PropMap& props, const StoredProp& prop);
    void Delete(PropMap& props, ULONG ulId);
    // A SetProps or DeleteProps call's values and ids.
    void Apply(PropMap& props, const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted);
    bool Any() const { return !dirty.empty() || !deleted.empty(); }
};

struct MsgData {
    ULONG nid = 0;  // assigned before the first write
    bool bNew = true;
    bool bAssoc = false;
    int64_t version = 0;  // the stored version when read
    PropMap props;
    PropChanges changes;
    bool bRecipsLoaded = false;
    bool bRecipsDirty = false;
    std::map<ULONG, PropMap> recips;  // by PR_ROWID
    ULONG ulNextRow = 0;
    bool bAttachLoaded = false;
    std::map<ULONG, std::shared_ptr<AttachData>> attachments;  // by PR_ATTACH_NUM
    std::vector<ULONG> removedAttachNids;
    ULONG ulNextAttach = 0;
    bool bChanged = false;  // set when anything below needs writing

    std::shared_ptr<MsgData> Clone() const;
};

struct AttachData {
    ULONG nid = 0;
    bool bNew = true;
    PropMap props;
    PropChanges changes;
    bool bEmbeddedLoaded = false;
    std::shared_ptr<MsgData> embedded;
    ULONG ulRemovedEmbeddedNid = 0;
    bool bChanged = false;

    std::shared_ptr<AttachData> Clone() const;
};

// pParent, when given, receives the node that holds the message.
HRESULT LoadMessage(StoreDb& db, ULONG nid, std::shared_ptr<MsgData>& msg, ULONG* pParent = nullptr);
HRESULT EnsureRecipients(StoreDb& db, MsgData& msg);
HRESULT EnsureAttachments(StoreDb& db, MsgData& msg);
HRESULT EnsureEmbedded(StoreDb& db, AttachData& attach);
// Gives every new object of the tree a node id (outside any transaction).
HRESULT AssignNids(StoreDb& db, MsgData& msg, ULONG ulType);
// Writes what changed in the tree (inside the caller's transaction).
HRESULT WriteMessage(StoreDb& db, MsgData& msg, ULONG parent);
// After a commit: nothing is pending any more.
void MarkClean(MsgData& msg);
// A copy edited apart (through an IAttach or an embedded IMessage) takes over the persistence state
// (node ids, new or stored) that its original reached meanwhile.
void AdoptPersistence(MsgData& fresh, const MsgData& current);
void AdoptPersistence(AttachData& fresh, const AttachData& current);

// Called inside the write transaction of every message save, just before the commit; null normally.
// Tests use it to stop a process in the middle of a save.
using BeforeCommitHook = void (*)();
void SetBeforeCommitHook(BeforeCommitHook pfnHook);
BeforeCommitHook GetBeforeCommitHook();

}  // namespace Platform::Mapi
