// Many saves in one commit. A writer that puts thousands of messages into a store pays for one
// commit per SaveChanges; inside a StoreBatch the saves succeed as before (and the thread sees
// what it saved) but reach the file together, when the batch commits, ends or fills its chunk.
// What a batch holds is all-or-nothing per commit: a failed commit, or a batch abandoned without
// End (an exception, an early return), leaves none of its uncommitted messages in the store.
//
// So a writer that records where a message went (an id mapping, say) records it only once the
// save is committed: Saves() after its SaveChanges numbers that save, and the save is in the file
// once Committed() reaches the number.
//
// A batch belongs to the thread that begins it: it must end there. While the batch has
// uncommitted saves, other threads of the process that use the store wait for them to commit;
// other processes keep reading the committed state and wait to write. Keep batches away from
// long waits (the network, the user) or commit before them.
#pragma once

#include <cstdint>
#include <memory>

#include "Platform/Mapi/MapiInterfaces.h"

namespace Platform::Mapi {

class StoreDb;

class StoreBatch {
public:
    struct Limits {
        ULONG cSaves = 1000;        // saves per commit
        size_t cbValues = 8 << 20;  // bytes of property values per commit
    };

    // Begins a batch on the store. Begun() fails for a store of another kind and when another
    // thread has a batch open on the store; the saves then commit one by one, as without a batch.
    // A batch begun while the thread has one open joins it: its End commits nothing, and its
    // abandonment rolls back what the open one has not committed and fails the rest of it.
    explicit StoreBatch(IMsgStore* pStore);
    StoreBatch(IMsgStore* pStore, const Limits& limits);
    ~StoreBatch();
    StoreBatch(const StoreBatch&) = delete;
    StoreBatch& operator=(const StoreBatch&) = delete;

    HRESULT Begun() const { return m_hrBegun; }
    // Saves made in the batch so far (nested batches count together), and how many are committed.
    uint64_t Saves() const;
    uint64_t Committed() const;
    // Commits the saves so far; the batch goes on. The failure of a commit is the batch's: every
    // later save and End report it.
    HRESULT Commit();
    // Commits what is left and ends the batch; S_OK when every save of it is in the file.
    HRESULT End();

private:
    std::shared_ptr<StoreDb> m_pDb;
    HRESULT m_hrBegun = MAPI_E_NOT_INITIALIZED;
    bool m_bOpen = false;
};

}  // namespace Platform::Mapi
