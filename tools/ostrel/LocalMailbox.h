// The synchronised copy of a profile's mailbox on disk, until the converters into the store exist:
//
//   mail/lock                held by the process that synchronises
//   mail/state               the sync token the copy is complete for ("key=value" lines)
//   mail/pending             an unfinished synchronisation: its new token, the messages still to
//                            fetch and the items to delete (present only while one is under way)
//   mail/folders.tsv         the folder tree: id, parent id, view, path (tab-separated)
//   mail/messages/ID.eml     a message as the server sent it
//   mail/messages/ID.meta    its metadata: the server's element for the item (XML, UTF-8)
//   mail/items/ID.meta       the element of an item that is not a message (contact, appointment...)
//
// Every file is replaced atomically. The state changes only after everything it promises is on
// disk, so an interrupted synchronisation can lose nothing and, since every file is named by the
// item's id, can duplicate nothing.
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
};

class LocalMailbox {
public:
    // Creates the directories when missing; throws std::runtime_error when it cannot.
    explicit LocalMailbox(std::filesystem::path dir);
    ~LocalMailbox();
    LocalMailbox(const LocalMailbox&) = delete;
    LocalMailbox& operator=(const LocalMailbox&) = delete;

    // Takes the copy for this process (a lock released when the object goes, or the process
    // ends); false when another process has it. Throws when the copy was removed meanwhile.
    bool Lock();

    enum class DiscardResult { Removed, Absent, Busy, Failed };
    // Removes the copy in `dir` for good, under its lock (Busy while a synchronisation holds it).
    // The directory is first renamed away, so that nobody ever sees part of a copy.
    static DiscardResult Discard(const std::filesystem::path& dir, std::string& why);

    const std::filesystem::path& Dir() const { return m_dir; }
    // Removes the temporary files of writes that were cut short.
    void RemoveLeftovers();

    // The token of the last complete synchronisation; nothing before the first.
    std::optional<std::string> Token() const;
    // Records a complete synchronisation (durably) and ends the pending one.
    void Commit(const std::string& token);

    std::optional<PendingSync> Pending() const;
    // Durable before returning.
    void SetPending(const PendingSync& pending);
    void DropPending();

    std::map<int32_t, LocalFolder> Folders() const;
    void SetFolders(const std::map<int32_t, LocalFolder>& folders);
    // "Inbox", "Projects/Alpha": the names from below the root down to the folder.
    static std::string FolderPath(const std::map<int32_t, LocalFolder>& folders, int32_t id);

    bool HasMessage(int32_t id) const;
    // The message and its metadata (not yet durable: see Flush).
    void PutMessage(int32_t id, std::string_view mime, std::string_view meta);
    // The metadata of a message already held, or of another item.
    void PutMessageMeta(int32_t id, std::string_view meta);
    void PutItemMeta(int32_t id, std::string_view meta);
    // Removes whatever is held for the item; true when something was.
    bool Remove(int32_t id);
    // The ids of every message and item held.
    std::set<int32_t> HeldIds() const;
    size_t MessageCount() const;

    // Makes every file written so far durable.
    void Flush();

private:
    std::filesystem::path MessagePath(int32_t id, const char* extension) const;
    void Write(const std::filesystem::path& path, std::string_view data, bool bDurable) const;

    std::filesystem::path m_dir;
    int m_lockFd = -1;
};

}  // namespace OstrelCli
