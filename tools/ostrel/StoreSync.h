// Writes what the server says into the profile's store: tags as categories, the folder tree, the
// metadata of items already held, downloaded messages, deletions. Every object written carries its
// server id and its baseline (SyncBaseline.h), saved together, and is recorded in the item mapper
// after the save; an object found by its stamp is updated in place, so a repeated, resumed or full
// run never makes a second copy.
//
// Local changes not yet pushed are kept: for a message the server changed too, each field (read,
// flagged, tags, folder) goes to the side that changed it; when both changed the same field the
// server wins and the local version is kept as a copy in "Sync Issues/Conflicts". An item deleted
// in the store that the server changed comes back; one the server did not change stays deleted
// for push to carry over.
//
// Failures of one item are logged with its id and counted; the run goes on.
#pragma once

#include "StoreMailbox.h"
#include "SyncChanges.h"

#include "Ostrel/Convert/Mail/IncomingMeta.h"
#include "Ostrel/Store/Categories/TagCache.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace Ostrel::Convert {
class IncomingBatch;
struct IncomingBatchReport;
}  // namespace Ostrel::Convert

namespace Ostrel::Mail {
class Appointment;
class Contact;
}  // namespace Ostrel::Mail

namespace Ostrel::Mapi {
class ContactStoreWriter;
}

namespace Ostrel::Rpc {
class OstrelConnection;
}

namespace OstrelCli {

struct StoreSyncCounts {
    size_t cFetched = 0;     // messages written from a download
    size_t cUpdated = 0;     // items whose metadata was rewritten
    size_t cItems = 0;       // other items written
    size_t cDeleted = 0;     // items and folders removed
    size_t cConflicts = 0;   // local versions kept in the conflicts folder
    size_t cFailed = 0;      // items that could not be written (logged with their ids)
    size_t cMigrated = 0;    // messages carried over from an older version's copy
    size_t cGal = 0;         // global address list entries written
    size_t cGalDeleted = 0;  // global address list entries removed
};

class StoreSync {
public:
    explicit StoreSync(StoreMailbox& mailbox);
    ~StoreSync();
    StoreSync(const StoreSync&) = delete;
    StoreSync& operator=(const StoreSync&) = delete;

    const StoreSyncCounts& Counts() const { return m_counts; }
    // The signed-on connection the files of appointments and tasks and the photos of contacts are
    // downloaded through. Without one the items come without them.
    void SetAttachmentSource(Ostrel::Rpc::OstrelConnection* pConnection) { m_pAttachmentSource = pConnection; }

    // Reads every stamped object of the store once, so that objects the mapper does not know
    // are found without a search each (full listings, resumed runs).
    void IndexStore();
    // The server ids of the items and folders held (IndexStore first).
    std::set<int32_t> HeldIds() const;

    void ApplyTags(const std::vector<SyncTag>& tags);
    // Creates, renames and moves folders as listed; a folder whose parent is not there is logged
    // and skipped.
    void ApplyFolders(const std::vector<std::pair<int32_t, SyncFolder>>& folders);
    // An item the server listed: a message's metadata applied when the store holds it. True when
    // it must be downloaded (a message) or read from the server (a contact, appointment or task
    // that is new or changed since it was written).
    bool ApplyItem(const SyncItem& item, bool bFull);

    // A downloaded message with its metadata entry (the archive's text of it); bytes in memory or
    // a stream.
    void WriteMessage(int32_t iId, std::string_view meta, std::string_view mime, IStream* pMime);
    // A contact or group, an appointment or a task read from the server, into the server folder
    // `listed.iFolder`, with the state the listing gave as its baseline (a change sequence of 0
    // when it is not known). A local edit of the item made since it was written is kept as a copy
    // in the conflicts folder first.
    void WriteContact(const Ostrel::Mail::Contact& contact, const ItemBaseline& listed);
    void WriteCalendarItem(int32_t iId, Ostrel::Mail::Appointment& item, bool bTask, const ItemBaseline& listed);
    // An entry of the global address list, into its folder, keyed by its reference in the GAL
    // mapper.
    void WriteGalEntry(const Ostrel::Mail::Contact& entry);
    // Between BeginGalListing and EndGalListing the entries are saved in one store batch instead
    // of one by one. CommitGalEntries makes those written so far durable and mapped (before the
    // next wait on the network); false when they could not be: they are then neither in the store
    // nor mapped (logged and counted). EndGalListing drops what was not committed.
    void BeginGalListing();
    bool CommitGalEntries();
    void EndGalListing();
    // The entries of the global address list the server reports deleted, by the keys the GAL
    // mapper knows them by: each goes from the folder first, then from the mapper, so that a run
    // cut short in between leaves a mapping without its object, which the mapper drops when it
    // is next used or loaded. A key only the mapper still knows loses its mapping.
    void DeleteGalEntries(const std::set<std::wstring>& keys);
    // After a whole listing of the global address list: removes the entries of its folder whose
    // key the listing did not name (`listed` holds GalKeyHash of each key it named).
    void DeleteUnlistedGalEntries(const std::unordered_set<size_t>& listed);
    static size_t GalKeyHash(const std::wstring& wsKey) { return std::hash<std::wstring>()(wsKey); }
    // Counts an item that could not be read from the server (logged by the caller).
    void CountFailure() { ++m_counts.cFailed; }

    // Removes the item of that server id (with bFolders, the folder) and its record; true when
    // there was one. Items go first: their local changes are kept as copies, and a folder's
    // items made here are kept before the folder goes.
    bool Delete(int32_t iId, bool bFolders);

    // The messages in the server's mail folders and the number of server folders, for the report.
    void CountStore(size_t& cMessages, size_t& cFolders);

private:
    struct Located {
        Platform::ComPtr<IMessage> pMessage;
        bool bDeletedLocally = false;  // the mapper knows it, the store object is gone
    };
    // The store object of a server item: the mapper's record, else the index (when built).
    Located Locate(int32_t iId);
    HRESULT OpenFolder(int32_t iServerId, IMAPIFolder** ppFolder);
    HRESULT ApplyFolder(int32_t iId, const SyncFolder& folder);
    HRESULT UpdateMessage(IMessage* pMessage, const SyncItem& item);
    // Whether the message's read, flag, tag or folder state differs from its baseline.
    bool HasLocalChanges(IMessage* pMessage);
    // Whether the item was edited in the store after sync wrote it.
    bool HasContentEdit(IMessage* pMessage);
    // Stamps the item's server id and baseline and saves it.
    HRESULT StampItem(IMessage* pMessage, int32_t iId, const ItemBaseline& listed);
    HRESULT KeepConflictCopy(IMessage* pMessage, int32_t iId);
    // Copies the messages made in the store inside a folder the server deleted into the conflicts
    // folder.
    void KeepLocalContents(IMAPIFolder* pFolder, int32_t iId);
    // The server id of the folder the message is in now; 0 when it is not a server folder.
    int32_t CurrentFolderOf(IMessage* pMessage);
    HRESULT SetFlagsAndTags(IMessage* pMessage, const std::string& sFlags, const std::string& sTagNames, bool bFlags,
                            bool bTags);
    HRESULT MoveMessage(IMessage* pMessage, int32_t iFolder);
    // Opens the global address list's folder into m_pGalFolder, making it when bCreate; without
    // bCreate a store that has none gives MAPI_E_NOT_FOUND.
    HRESULT OpenGalFolder(bool bCreate);
    // Commits the listing's batch, if one is open; after a failure the entries that follow are
    // saved one by one.
    HRESULT CommitGalBatch();
    // Deletes the entries of the global address list's folder whose key `gone` names, then their
    // mappings; fills `done` with the keys deleted.
    void DeleteGalWhere(const std::function<bool(const std::wstring&)>& gone, std::set<std::wstring>& done);
    Ostrel::Convert::IncomingBatch& BatchFor(int32_t iFolder, IMAPIFolder* pFolder);

    StoreMailbox& m_mailbox;
    Ostrel::Mapi::TagCache m_tagCache;
    bool m_bTagCacheRead = false;
    std::map<LONG, std::wstring> m_tagMap;
    std::unordered_map<int32_t, std::string> m_index;  // server id -> entry id, once IndexStore ran
    bool m_bIndexed = false;
    std::map<int32_t, Platform::ComPtr<IMAPIFolder>> m_folders;
    std::map<int32_t, std::unique_ptr<Ostrel::Convert::IncomingBatch>> m_batches;
    std::unique_ptr<Ostrel::Convert::IncomingBatchReport> m_pBatchReport;
    Platform::ComPtr<IAddrBook> m_pAddrBook;  // for the calendar's one-off addresses
    Platform::ComPtr<IMAPIFolder> m_pGalFolder;
    std::unique_ptr<Ostrel::Mapi::ContactStoreWriter> m_pGalWriter;  // during a listing
    Ostrel::Rpc::OstrelConnection* m_pAttachmentSource = nullptr;
    StoreSyncCounts m_counts;
};

}  // namespace OstrelCli
