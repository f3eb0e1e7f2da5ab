// Synchronises a profile's mailbox into its store (StoreMailbox.h, written through StoreSync.h):
//
//  0. a copy an older version kept as files is carried into the store once, without downloading;
//  1. a SyncRequest with the saved token (none the first time, or when the server says the token
//     is too old) gives the tags, the folder tree and the items that changed, and the ids deleted;
//     The reply is kept in a file and read as a stream of events (twice: checked and its folders
//     applied, then item by item), so memory does not grow with the mailbox;
//  2. tags, folders and the metadata of items already held are written; the new token, the
//     messages to download, the items to delete and those an earlier run left out (asked for
//     again a bounded number of times) are recorded as the pending synchronisation (durably);
//  3. messages are downloaded as ZIP archives of up to the session's zip list size and written into
//     their folders, each batch in the store before the pending record marks it done;
//  4. deletions are applied, the items left out are recorded for the next run, and the new token is
//     committed.
//
// An interruption at any point (SIGINT, a dropped connection, a crash) leaves the store consistent:
// the next run finishes the pending synchronisation first, then asks for what changed since. Every
// object is found again by its server id, so nothing is written twice.
#pragma once

#include "Profile.h"
#include "Progress.h"
#include "StoreMailbox.h"
#include "SyncChanges.h"

#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

namespace OstrelCli {

class StoreSync;

// How often an item left out of a run is asked for again by the following ones.
inline constexpr int kMaxRetries = 3;

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
    size_t cGalDeleted = 0;   // global address list entries removed
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
    // The SyncResponse's body, unparsed.
    Platform::ComPtr<IStream> RequestChanges(const std::optional<std::string>& token);
    // Applies the reply and carries out the synchronisation it asks for; the reply's listing (all
    // but the items).
    SyncChanges Apply(IStream* pReply, bool bFull, SyncReport& report);
    // The items earlier runs left out, added to the plan unless it holds them or deletes them;
    // those the listing left out again (`skipped`) take over their count of attempts.
    void AddRetries(PendingSync& pending, std::vector<RetryItem>& skipped);
    void Fetch(PendingSync& pending, SyncReport& report);
    // Contacts in batches, appointments and tasks one by one (MailboxSyncFetch.cpp).
    void FetchItems(PendingSync& pending);
    // The ids that could not be read or written (logged).
    std::vector<int32_t> FetchContacts(const std::vector<int32_t>& ids);
    bool FetchCalendarItem(int32_t iId, bool bTask);
    // Records a batch of the plan as done (durably), its ids in `failed` to be asked for again.
    void MarkDone(PendingSync& pending, const std::vector<int32_t>& batch, const std::vector<int32_t>& failed,
                  FetchKind kind);
    // The global address list's entries changed since its own token (all of them with bFull), into
    // "Global Address List".
    void SyncGal(bool bFull);
    // Entries as the address list's listing names them (by id alone), written with the details
    // the server sends for them; one whose details do not come is written as listed when the
    // store does not hold it yet, and otherwise left as it is.
    void WriteGalEntries(const std::vector<std::unique_ptr<Ostrel::Mail::Contact>>& listed);
    // The details of listed[first, first + count), by id, into `details`; asked for one by one
    // when the server refuses the chunk.
    void FetchGalDetails(const std::vector<std::unique_ptr<Ostrel::Mail::Contact>>& listed, size_t first, size_t count,
                         std::map<std::wstring, std::unique_ptr<Ostrel::Mail::Contact>>& details);
    // What the listing said of the item; for one it did not list (a resumed run), the folder the
    // item's own reply names.
    ItemBaseline Listed(int32_t iId, int32_t iFolder) const;
    // Downloads and writes the messages; the ids of those that could not be read or written.
    std::vector<int32_t> DownloadBatch(const std::vector<int32_t>& ids, SyncReport& report);
    void Finish(const PendingSync& pending, SyncReport& report);
    void CheckInterrupt() const;

    Ostrel::Rpc::UserSession& m_session;
    StoreMailbox& m_mailbox;
    LocalMailbox& m_local;
    std::unique_ptr<StoreSync> m_pStore;
    // Folder, flags, tags and change sequence of the items other than messages this run listed; a
    // resumed run knows none of them.
    std::map<int32_t, ItemBaseline> m_listed;
    std::unique_ptr<Ostrel::Rpc::OstrelConnection> m_pConnection;
    Progress* m_pProgress = nullptr;
    std::function<bool()> m_interrupted;
};

}  // namespace OstrelCli
