// Factories of the store's objects and the identity properties they share.
#pragma once

#include <memory>

#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mapi/Props/PropCodec.h"

namespace Platform::Mapi {

class StoreDb;

HRESULT OpenStoreObject(std::shared_ptr<StoreDb> pDb, bool bWritable, IMsgStore** ppStore);
// The database behind a store object of this stand-in; null for any other store or a read-only one.
std::shared_ptr<StoreDb> StoreDbOf(IMsgStore* pStore);
HRESULT OpenFolderObject(std::shared_ptr<StoreDb> pDb, ULONG nid, bool bWritable, IMAPIFolder** ppFolder);
// bContainerWritable: whether the store or folder it was opened from may change it (its read state).
HRESULT OpenMessageObject(std::shared_ptr<StoreDb> pDb, ULONG nid, bool bWritable, bool bContainerWritable,
                          IMessage** ppMessage);
HRESULT CreateMessageObject(std::shared_ptr<StoreDb> pDb, ULONG folderNid, bool bAssoc, IMessage** ppMessage);

// OpenEntry of a store or folder: the root for an empty entry id, else the folder or message it names,
// asked for as lpInterface (its default interface when null); writable only when the opener is.
HRESULT OpenStoreEntry(const std::shared_ptr<StoreDb>& pDb, bool bContainerWritable, ULONG cbEntryID,
                       LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType, LPUNKNOWN* lppUnk);

// Whether a load of property ids `ids` (every id when empty) asks for the tag's id.
bool WantedId(const std::vector<ULONG>& ids, ULONG ulTag);
// Entry id, record and instance keys, parent and store ids and the object type of a stored object:
// those of `ids` (all when empty). A table's rows take only the ones asked for, as made for every
// row they would take most of a large table's memory.
void AddIdentityProps(const StoreDb& db, ULONG nid, ULONG parent, PropMap& props, const std::vector<ULONG>& ids = {});
// The store's entry id, record key and mapping signature, and the object type: what any object of the
// store answers, attachments and embedded messages included.
void AddStoreIdentityProps(const StoreDb& db, ULONG ulObjType, PropMap& props, const std::vector<ULONG>& ids = {});
bool IsIdentityId(ULONG ulId);

// Access flags from MAPI_MODIFY / MAPI_BEST_ACCESS.
inline bool WantsWrite(ULONG ulFlags) {
    return ulFlags & (MAPI_MODIFY | MAPI_BEST_ACCESS);
}

}  // namespace Platform::Mapi
