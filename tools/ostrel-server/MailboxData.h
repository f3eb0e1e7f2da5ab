// The state of one mailbox and the operations on it, without locking (Mailbox holds the lock).
// Internal to the mailbox files.
#pragma once

#include "Mailbox.h"

#include <set>
#include <string_view>

namespace OstrelServer {

struct Mailbox::Data {
    struct Tombstone {
        int32_t id;
        ItemKind kind;
        int32_t folderId;  // where it was
        uint64_t rev;
    };
    struct Move {
        int32_t id;
        int32_t from;
        uint64_t rev;
    };

    std::map<int32_t, MailFolder> folders;
    std::map<int32_t, MailTag> tags;
    std::map<int32_t, MailItem> items;
    std::map<std::string, std::map<std::string, std::string>> metadata;  // section -> key -> value
    std::vector<std::string> sent;                                       // MIME of sent messages
    std::map<std::string, std::string> sendReplies;                      // suid -> the reply body
    std::vector<Tombstone> tombstones;                                   // in revision order
    std::vector<Move> moves;                                             // in revision order
    std::map<std::string, int32_t> threads;                              // normalised subject -> conversation
    std::map<char, uint64_t> kindRevs;                                   // kind letter -> last change
    uint64_t rev = 1;
    uint64_t forgottenUpTo = 0;  // tokens below this must resynchronise
    int32_t nextId = kFirstUserId + 1;
    ContactBook* pBook = nullptr;

    // The system folders, nothing else.
    Data();

    static char KindLetter(ItemKind kind);
    static const char* ElementOf(ItemKind kind);
    static int64_t Now();

    // A new revision for a change of items of this kind.
    uint64_t Touch(char kindLetter);
    int32_t NewId();

    MailFolder& FolderOrThrow(int32_t id);
    MailItem& ItemOrThrow(int32_t id, const char* missingCode);
    bool InSubtree(int32_t folderId, int32_t rootId) const;
    std::vector<int32_t> Subtree(int32_t rootId) const;  // the root and every folder below it
    std::string FolderName(int32_t id) const;

    // Folders. System folders (ids below kFirstUserId) cannot be moved or deleted.
    int32_t AddFolder(MailFolder folder);
    void MoveFolder(MailFolder& folder, int32_t parentId);
    void DeleteFolder(int32_t id);
    void CheckFolderName(int32_t parentId, const std::string& name, int32_t self) const;
    const MailFolder* FindFolderNamed(int32_t parentId, const std::string& name) const;

    // Items.
    int32_t AddItem(MailItem item);
    void MoveItem(MailItem& item, int32_t folderId);
    void DeleteItem(int32_t id);
    void Modified(MailItem& item);  // a new revision and modification time
    void CheckItemName(const MailItem& item, int32_t folderId, const std::string& name) const;

    // Tags: ids from a "t" text (each must exist), or names from a "tn" text (created when `create`).
    std::vector<int32_t> TagIds(const std::string& text) const;
    std::vector<int32_t> TagNames(const std::string& text, bool create);
    int32_t AddTag(const std::string& name, const std::string& rgb);
    std::string TagIdText(const std::vector<int32_t>& ids) const;
    std::string TagNameText(const std::vector<int32_t>& ids) const;

    // The contact book copy of a contact item.
    void Mirror(const MailItem& item);
    void MirrorAll();

    // Elements as the sync reply writes them.
    std::string ItemXml(const MailItem& item) const;
    // A folder's start tag with its access-control list; the caller adds the children and the end tag.
    std::string FolderOpen(const MailFolder& folder, size_t count) const;
    std::string TagXml(const MailTag& tag) const;

    // The SyncResponse element (MailboxSync.cpp).
    std::string WriteSync(const SyncOptions& options) const;
};

// Helpers shared by the mailbox files.
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string Lower(std::string_view text);
std::optional<int64_t> ParseInt64(std::string_view text);
// Comma-separated numbers; throws MailboxError service.INVALID_REQUEST naming `what` when malformed.
std::vector<int32_t> ParseIdList(const std::string& text, const char* what);
std::string JoinIds(const std::vector<int32_t>& ids);
// Adds or removes flag letters.
std::string WithFlag(std::string flags, char letter, bool on);
// The subject of a MIME message: the unfolded "Subject" header, control characters dropped.
std::string SubjectOf(const std::string& mime);
// An `a` element with name attribute n and text value.
std::string PairXml(const std::string& name, const std::string& value);

}  // namespace OstrelServer
