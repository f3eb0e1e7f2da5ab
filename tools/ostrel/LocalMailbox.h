// The synchronisation's own state beside the profile's store (see StoreMailbox.h), in
// ProfileDataDir(NAME):
//
//   lock                     held by the process that synchronises
//   state                    the sync token the store is complete for ("key=value" lines)
//   gal                      the same for the global address list
//   pending                  an unfinished synchronisation: its new token, the messages, contacts,
//                            appointments and tasks to fetch, the items to delete, the items
//                            asked for again and those the listing left out (present only while
//                            one is under way); written once
//   pending.done             what of it is done: appended to after each batch ("done=" the ids,
//                            "retry=" those to ask for again), bound to the token by its first line;
//                            a line cut short by a crash is ignored, its batch fetched again
//   retry                    items a finished synchronisation left out (their element or archive
//                            entry broke the rules, or the server refused them), to ask for again
//
// Older versions kept the mailbox itself here, as files; such a copy is carried into the store once
// (StoreMigrate.h) and then removed:
//
//   folders.tsv              the folder tree: id, parent id, view, path (tab-separated)
//   messages/ID.eml          a message as the server sent it
//   messages/ID.meta         its metadata: the server's element for the item (XML, UTF-8)
//   items/ID.meta            the element of an item that is not a message
//
// Every file is replaced atomically. The state changes only after everything it promises is in
// the store, so an interrupted synchronisation loses nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace OstrelCli {

// The id of the mailbox's root folder, the top of every folder path.
constexpr int32_t kRootFolderId = 1;

struct LocalFolder {
    int32_t iParent = 0;
    std::string sName;
    std::string sView;
};

// How an item is read from the server.
enum class FetchKind { Message, Contact, Appointment, Task };

// An item left out of a synchronisation, to be asked for again by the next ones.
struct RetryItem {
    int32_t iId = 0;
    FetchKind kind = FetchKind::Message;
    int iAttempts = 0;  // how often it was asked for again so far

    bool operator==(const RetryItem&) const = default;
};

// A synchronisation under way.
struct PendingSync {
    std::string sToken;             // the token the copy is complete for once this is done
    std::vector<int32_t> toFetch;   // messages still to download
    std::vector<int32_t> toDelete;  // items to remove afterwards
    // Contacts (and groups), appointments and tasks still to read from the server.
    std::vector<int32_t> contacts;
    std::vector<int32_t> appointments;
    std::vector<int32_t> tasks;
    std::vector<RetryItem> retried;  // the items among them asked for again
    std::vector<RetryItem> retry;    // the items left out so far, to ask for again

    bool operator==(const PendingSync&) const = default;
};

class LocalMailbox {
public:
    // Creates the directory when missing; throws std::runtime_error when it cannot.
    explicit LocalMailbox(std::filesystem::path dir);
    ~LocalMailbox();
    LocalMailbox(const LocalMailbox&) = delete;
    LocalMailbox& operator=(const LocalMailbox&) = delete;

    // Takes the copy for this process (a lock released when the object goes, or the process
    // ends); false when another process has it. Throws when the copy was removed meanwhile.
    bool Lock();

    enum class DiscardResult { Removed, Absent, Busy, Failed };
    // Removes the copy in `dir` and the profile's store beside it for good, under the lock (Busy
    // while a synchronisation holds it). Both are first renamed away, so that nobody ever sees part
    // of a copy.
    static DiscardResult Discard(const std::filesystem::path& dir, std::string& why);

    const std::filesystem::path& Dir() const { return m_dir; }
    // Removes the temporary files of writes that were cut short.
    void RemoveLeftovers();
    // Makes the directory's changes durable.
    void Flush();

    // The token of the last complete synchronisation; nothing before the first.
    std::optional<std::string> Token() const;
    // Records a complete synchronisation (durably) and ends the pending one.
    void Commit(const std::string& token);

    // The token of the last complete synchronisation of the global address list, and recording
    // one (durably).
    std::optional<std::string> GalToken() const;
    void CommitGal(const std::string& token);

    // The pending synchronisation without what its record says is done.
    std::optional<PendingSync> Pending();
    // Starts recording a pending synchronisation (what is done of an earlier one is forgotten).
    // Durable before returning.
    void SetPending(const PendingSync& pending);
    // Records that these ids of the pending synchronisation are done, and which of them were left
    // out, to be asked for again: appended, so the cost is that of the batch. Durable before
    // returning.
    void MarkDone(const std::vector<int32_t>& done, const std::vector<RetryItem>& retry);
    void DropPending();

    // The items earlier synchronisations left out, and replacing them (durably; none removes the
    // record).
    std::vector<RetryItem> Retries() const;
    void SetRetries(const std::vector<RetryItem>& retries);

    // The copy of older versions: whether there is one, its folders, its messages.
    bool HasLegacyCopy() const;
    std::map<int32_t, LocalFolder> Folders() const;
    std::set<int32_t> LegacyMessageIds() const;
    // False when the message's files are missing or cannot be read.
    bool ReadLegacyMessage(int32_t id, std::string& mime, std::string& meta) const;
    // Removes the old copy's files once the store holds what they held, and the token and pending
    // work that went with them.
    void RemoveLegacyCopy();

private:
    std::filesystem::path MessagePath(int32_t id, const char* extension) const;
    void Write(const std::filesystem::path& path, std::string_view data, bool bDurable) const;

    void CloseJournal();

    std::filesystem::path m_dir;
    int m_lockFd = -1;
    // The done record, open for appending, and the token of the pending synchronisation it is for.
    int m_journalFd = -1;
    std::string m_sPendingToken;
};

}  // namespace OstrelCli
