// Puts server contacts into a store folder: the message a contact had before is found through
// the id mapper (by server id, or for global address list entries by their reference, so that
// an entry keeps its store object across synchronisations), the contact is converted onto it,
// stamped, saved, and the mapping recorded. With a connection, the image a contact announces is
// fetched from the server and becomes its photo.
//
// Many contacts at once go into a batch (BeginBatch to EndBatch): their saves commit together, and
// a contact's mapping is recorded only once its save is committed, so that a mapping never names a
// message that a failed commit or a crash took away. A crash after a commit but before its
// mappings leaves stamped messages nobody maps: the next batch lists them when it begins and takes
// them for their contacts instead of creating second copies.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Ostrel/Model/Contact/Contact.h"
#include "Platform/Mapi/Mapi.h"
#include "Platform/Mapi/Store/StoreBatch.h"
#include "Util/Locks/Locks.h"

namespace Ostrel::Rpc {
class OstrelConnection;
}

namespace Ostrel::Mapi {

class IdMapper;
class NamedProps;

class ContactStoreWriter {
public:
    // For global address list entries (bGal) pGalMapper keys the messages; otherwise pItemMapper.
    // Both are also used to resolve group members. Neither is owned.
    ContactStoreWriter(IMsgStore* pStore, IMAPIFolder* pFolder, IdMapper* pItemMapper, IdMapper* pGalMapper, bool bGal);
    // An open batch is rolled back: its uncommitted contacts and their mappings go.
    ~ContactStoreWriter();
    ContactStoreWriter(const ContactStoreWriter&) = delete;
    ContactStoreWriter& operator=(const ContactStoreWriter&) = delete;

    // From here on Put saves into a batch, committed every kBatchContacts contacts and by
    // EndBatch, and records mappings after each commit. While contacts wait for their commit the
    // writer holds its mapper's lock, so that it never waits for the lock while other processes
    // wait for the store. A store that cannot batch (of another kind, or another thread's batch
    // is open) leaves the writer saving contact by contact; that is no failure.
    HRESULT BeginBatch();
    // Commits and ends the batch: S_OK when every contact Put accepted since BeginBatch is in the
    // store and mapped. On failure the contacts of the failed commit are not in the store and not
    // mapped (a later run writes them again); earlier commits stay.
    HRESULT EndBatch();
    // Commits the contacts Put so far and records their mappings; the batch goes on. Called before
    // a long wait, so that nothing waits for the store meanwhile.
    HRESULT Commit();
    static constexpr size_t kBatchContacts = 500;

    // Photos of mailbox contacts are fetched over `pConnection` (not owned; null: not fetched).
    void SetConnection(Rpc::OstrelConnection* pConnection) { m_pConnection = pConnection; }

    // Writes one contact. pPhoto, when given, holds the photo's bytes; otherwise, with a
    // connection, the image the contact announces is fetched. A photo that cannot be fetched is
    // logged and left out: the contact is written, and a photo it had in the store stays. The
    // message's entry id goes into *psEntryId when asked for.
    HRESULT Put(const Mail::Contact& contact, const std::string* pPhoto = nullptr, std::string* psEntryId = nullptr);

    // The key a global address list entry is mapped by: its unique id, else its reference.
    static std::wstring GalKey(const Mail::Contact& contact);

private:
    HRESULT DoPut(const Mail::Contact& contact, const std::string* pPhoto, std::string* psEntryId);
    // *pbNew tells whether the message was created.
    HRESULT OpenOrCreate(const Mail::Contact& contact, IMessage** ppMsg, bool* pbNew);
    // The stamped messages of the folder that the mapper does not know, by key.
    HRESULT ListUnmapped();
    IdMapper* Mapper() const { return m_bGal ? m_pGalMapper : m_pItemMapper; }
    // Records the mappings of the committed saves; lets go of the mapper's lock when none waits.
    void RecordCommitted();
    void Record(const std::wstring& wsKey, LONG lId, const std::string& sEid);

    // A saved contact whose mapping waits for the commit of save number ullSave of the batch.
    struct Pending {
        uint64_t ullSave;
        std::wstring wsKey;
        LONG lId;
        std::string sEid;
    };

    IMsgStore* m_pStore;
    IMAPIFolder* m_pFolder;
    IdMapper* m_pItemMapper;
    IdMapper* m_pGalMapper;
    bool m_bGal;
    Rpc::OstrelConnection* m_pConnection = nullptr;
    NamedProps* m_pProps = nullptr;                          // the store's, looked up on the first Put
    std::optional<Util::AutoCrossProcessLock> m_mapperHold;  // before the batch: released after it
    std::unique_ptr<Platform::Mapi::StoreBatch> m_pBatch;
    std::deque<Pending> m_pending;
    size_t m_cBatchPuts = 0;
    // Stamped messages the mapper does not know (yet): unique id or server id -> entry id.
    std::map<std::wstring, std::string> m_unmappedGal;
    std::map<LONG, std::string> m_unmappedItems;
};

}  // namespace Ostrel::Mapi
