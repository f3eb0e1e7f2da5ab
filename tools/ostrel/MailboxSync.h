// Synchronises a profile's mailbox into its store (StoreMailbox.h, written through StoreSync.h):
//
//  0. a copy an older version kept as files is carried into the store once, without downloading;
//  1. a SyncRequest with the saved token (none the first time, or when the server says the token
//     is too old) gives the tags, the folder tree and the items that changed, and the ids deleted;
//  2. tags, folders and the metadata of items already held are written; the new token, the
//     messages to download and the items to delete are recorded as the pending synchronisation
//     (durably);
//  3. messages are downloaded as ZIP archives of up to the session's zip list size and written into
//     their folders, each batch in the store before the pending record drops it;
//  4. deletions are applied and the new token is committed.
//
// An interruption at any point (SIGINT, a dropped connection, a crash) leaves the store consistent:
// the next run finishes the pending synchronisation first, then asks for what changed since. Every
// object is found again by its server id, so nothing is written twice.
#pragma once

#include "Profile.h"
#include "Progress.h"
#include "StoreMailbox.h"

#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

namespace OstrelCli {

struct SyncChanges;
class StoreSync;

// Thrown at a safe point after the interrupt check said so.
class SyncInterrupted : public std::runtime_error {
public:
    SyncInterrupted() : std::runtime_error("interrupted") {}
};

struct SyncReport {
    bool bFull = false;       // listed the whole mailbox (first run, --full, or the token was too old)
    bool bResumed = false;    // finished an interrupted synchronisation first
    size_t cFetched = 0;      // messages downloaded
    size_t cUpdated = 0;      // messages held whose metadata was rewritten
    size_t cItems = 0;        // other items (contacts, appointments...) written
    size_t cDeleted = 0;      // items removed
    size_t cUnavailable = 0;  // messages the server could no longer deliver (deleted meanwhile)
    size_t cFailed = 0;       // items that broke the rules or could not be written (logged by id)
    size_t cConflicts = 0;    // local versions kept in "Sync Issues/Conflicts"
    size_t cMigrated = 0;     // messages carried over from an older version's copy
    size_t cGal = 0;          // global address list entries written
    size_t cBatches = 0;      // archives downloaded
    size_t cMessages = 0;     // messages held afterwards
    size_t cFolders = 0;      // folders held afterwards
    uint64_t ullBytes = 0;    // message bytes downloaded
    uint64_t ullMs = 0;       // the whole run
    uint64_t ullDownloadMs = 0;
};

class MailboxSync {
public:
    // The mailbox is open (StoreMailbox::Open) and locked.
    MailboxSync(const ProfileSettings& profile, Ostrel::Rpc::UserSession& session, StoreMailbox& mailbox);
    ~MailboxSync();

    // Drawn while messages are downloaded; may be null.
    void SetProgress(Progress* pProgress) { m_pProgress = pProgress; }
    // Asked before each archive (one that has arrived is still written); true stops the run with
    // SyncInterrupted. An archive still on its way when the interrupt comes is left for the next run.
    void SetInterruptCheck(std::function<bool()> check) { m_interrupted = std::move(check); }

    // Throws SyncInterrupted, the library's exceptions (RpcException tree), ArchiveError and
    // std::runtime_error; whatever is thrown, the store stays consistent.
    SyncReport Run(bool bFull);

private:
    std::unique_ptr<Ostrel::Rpc::Response> RequestChanges(const std::optional<std::string>& token);
    void Apply(const SyncChanges& changes, bool bFull, SyncReport& report);
    void Fetch(PendingSync& pending, SyncReport& report);
    // Contacts in batches, appointments and tasks one by one (MailboxSyncItems.cpp).
    void FetchItems(PendingSync& pending);
    void FetchContacts(const std::vector<int32_t>& ids);
    void FetchCalendarItem(int32_t iId, bool bTask);
    // The global address list's entries changed since its own token, into "Global Address List".
    void SyncGal();
    // What the listing said of the item; for one it did not list (a resumed run), the folder the
    // item's own reply names.
    ItemBaseline Listed(int32_t iId, int32_t iFolder) const;
    void DownloadBatch(const std::vector<int32_t>& ids, std::set<int32_t>& done, SyncReport& report);
    void Finish(const PendingSync& pending, SyncReport& report);
    void CheckInterrupt() const;

    Ostrel::Rpc::UserSession& m_session;
    StoreMailbox& m_mailbox;
    LocalMailbox& m_local;
    std::unique_ptr<StoreSync> m_pStore;
    // Folder, flags, tags and change sequence of the items this run listed; a resumed run knows
    // none of them.
    std::map<int32_t, ItemBaseline> m_listed;
    std::unique_ptr<Ostrel::Rpc::OstrelConnection> m_pConnection;
    Progress* m_pProgress = nullptr;
    std::function<bool()> m_interrupted;
};

}  // namespace OstrelCli
