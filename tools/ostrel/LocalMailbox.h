// The synchronisation's own state beside the profile's store (see StoreMailbox.h), in
// ProfileDataDir(NAME):
//
//   lock                     held by the process that synchronises
//   state                    the sync token the store is complete for ("key=value" lines)
//   gal                      the same for the global address list
//   pending                  an unfinished synchronisation: its new token, the messages, contacts,
//                            appointments and tasks still to fetch and the items to delete
//                            (present only while one is under way)
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

// A synchronisation under way.
struct PendingSync {
    std::string sToken;             // the token the copy is complete for once this is done
    std::vector<int32_t> toFetch;   // messages still to download
    std::vector<int32_t> toDelete;  // items to remove afterwards
    // Contacts (and groups), appointments and tasks still to read from the server.
    std::vector<int32_t> contacts;
    std::vector<int32_t> appointments;
    std::vector<int32_t> tasks;
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

    std::optional<PendingSync> Pending() const;
    // Durable before returning.
    void SetPending(const PendingSync& pending);
    void DropPending();

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

    std::filesystem::path m_dir;
    int m_lockFd = -1;
};

}  // namespace OstrelCli
