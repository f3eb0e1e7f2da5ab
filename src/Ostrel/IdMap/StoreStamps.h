// What the mappers need of the store: the tags of the stamp (the server id every mapped object
// carries) and of a GAL entry's unique id, entry ids built from node ids, reading and correcting
// stamps, and a walk over every stamped object of a folder tree. Everything else of the store
// stays out of the mappers.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

constexpr ULONG kPstEntryIdSize = 24;
using RecordKey = std::array<BYTE, 16>;

struct IdMapperTags {
    ULONG ulOstIdTag = 1;     // PT_LONG
    ULONG ulUniqueIdTag = 1;  // PT_UNICODE
};

// The tags on this store, from the connector's named properties (the store's NamedPropsManager
// table). A store whose names cannot be resolved gives tag 1, logged as an invalid named props
// object.
IdMapperTags GetIdMapperTags(IMsgStore* pStore);

bool ReadStoreRecordKey(IMsgStore* pStore, RecordKey* pKey);
// The 24-byte entry id of node ulPstId of the store with this record key.
std::string MakePstEntryId(const RecordKey& key, ULONG ulPstId);

enum class StampCheck {
    Match,       // opened, stamp equals the server id
    Missing,     // opened, no stamp
    Different,   // opened, another stamp
    Unreadable,  // opened, but reading the stamp failed otherwise
    Gone,        // cannot be opened
};

// Opens node ulPstId read-only and compares its stamp with lOstId; *plStamp receives the stamp
// found (when there is one) and *phr the failure of the open or the read.
StampCheck CheckPstStamp(IMsgStore* pStore, const RecordKey& key, ULONG ulOstIdTag, ULONG ulPstId, LONG lOstId,
                         LONG* plStamp = nullptr, HRESULT* phr = nullptr);

// Writes the stamp and saves the object (KEEP_OPEN_READWRITE).
HRESULT WriteStamp(IMAPIProp* pObj, ULONG ulOstIdTag, LONG lOstId);

// One stamped object met by WalkStampedObjects: its server id, node id and (when asked for and
// present) unique id.
struct StampedObject {
    LONG lOstId = 0;
    ULONG ulPstId = 0;
    std::wstring wsUniqueId;
    bool bHasUniqueId = false;
};

// Calls f for each row of the table that carries the id stamp, with the columns entry id, stamp
// and (with bUniqueIds) unique id, reading the rows 100 at a time.
HRESULT ForEachStampedRow(IMAPITable* pTable, const IdMapperTags& tags, bool bUniqueIds,
                          const std::function<void(const SRow&)>& f);

// Calls f for the folder itself when stamped, then for every stamped message of its contents and
// associated contents, then recursively for its subfolders, skipping any folder whose node id is
// ulSkipFolder. Objects whose entry id is not a 24-byte store entry id are passed over.
HRESULT WalkStampedObjects(IMsgStore* pStore, IMAPIFolder* pFolder, const IdMapperTags& tags, bool bUniqueIds,
                           ULONG ulSkipFolder, const std::function<void(const StampedObject&)>& f);

// The store's root folder; the GAL folder ("Global Address List") among the root's and the IPM
// subtree's children, null when there is none.
HRESULT OpenRootFolder(IMsgStore* pStore, IMAPIFolder** ppFolder);
HRESULT OpenGalFolder(IMsgStore* pStore, IMAPIFolder** ppFolder);

}  // namespace Ostrel::Mapi
