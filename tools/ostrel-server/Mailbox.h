// The simulator's mailbox: folders (with views, flags, colours and access-control lists), tags,
// and items (messages with conversations, contacts, documents, appointments and tasks), held in
// memory with change tracking. Every change takes the next revision number; a sync token is the
// revision a client has seen, and a synchronisation from a token returns what changed since then
// (new, modified and deleted). Mailbox metadata sections are kept beside the items.
//
// The SOAP handlers are in Endpoints/Mailbox.cpp; the mailbox answers them through the Soap*
// operations below. Tests and seeds fill it directly. Texts are UTF-8. Thread-safe.
#pragma once

#include "Contacts.h"
#include "Download.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace OstrelServer {

class SoapDocument;
struct SoapReply;
class UploadStore;

// A failure the server reports as a SOAP fault with its error code.
class MailboxError : public std::runtime_error {
public:
    MailboxError(std::string code, const std::string& reason) : std::runtime_error(reason), m_code(std::move(code)) {}
    const std::string& Code() const { return m_code; }

private:
    std::string m_code;
};

// The kinds of the items, numbered as the client's item types.
enum class ItemKind { Folder = 0, Message = 1, Contact = 3, Appointment = 5, Task = 6, Document = 7 };

// Ids of the system folders. Ids below kFirstUserId are reserved for them.
namespace FolderId {
constexpr int32_t Root = 1;
constexpr int32_t Inbox = 2;
constexpr int32_t Trash = 3;
constexpr int32_t Junk = 4;
constexpr int32_t Sent = 5;
constexpr int32_t Drafts = 6;
constexpr int32_t Contacts = 7;
constexpr int32_t Calendar = 10;
constexpr int32_t EmailedContacts = 13;
constexpr int32_t Tasks = 15;
constexpr int32_t Briefcase = 16;
}  // namespace FolderId
constexpr int32_t kFirstUserId = 256;
constexpr int32_t kFirstTagId = 64;
constexpr int32_t kLastTagId = 127;

struct MailGrant {
    std::string gt;  // usr, grp, guest, pub, all
    std::string oid;
    std::string d;
    std::string pw;
    std::string perm;
};

struct MailFolder {
    int32_t id = 0;
    int32_t parentId = FolderId::Root;
    std::string name;
    std::string view;   // "", "message", "contact", "appointment", "task", "document"
    std::string flags;  // "#": synchronised with the client
    std::string rgb;    // "#RRGGBB" or empty
    std::vector<MailGrant> acl;
    uint64_t rev = 0;
};

struct MailTag {
    int32_t id = 0;
    std::string name;
    std::string rgb;
    uint64_t rev = 0;
};

struct MailItem {
    int32_t id = 0;  // 0: assigned when added
    ItemKind kind = ItemKind::Message;
    int32_t folderId = FolderId::Inbox;
    std::string flags;          // the client's flag letters (u unread, f flagged, s sent, d draft, ...)
    std::vector<int32_t> tags;  // tag ids
    int64_t date = 0;           // ms since 1970: received (messages), start (appointments, tasks)
    int64_t endDate = 0;        // ms since 1970: end (appointments), due (tasks)
    int64_t created = 0;        // seconds since 1970; 0: when added
    int64_t modified = 0;       // seconds since 1970; 0: when added
    uint64_t rev = 0;
    std::string subject;  // messages; read from the MIME when empty
    int32_t convId = 0;   // messages; 0: threaded by subject when added
    // Messages: the MIME text. The mailbox keeps it as `body` (made by AddItem unless given) and
    // leaves `mime` empty there; Item() gives both.
    std::string mime;
    std::shared_ptr<const MessageBody> body;
    std::string name;        // documents, appointments and tasks
    int32_t version = 1;     // documents
    std::string content;     // documents
    MailboxContact contact;  // contacts: attributes, members, image (id, folder, flags, tags are the item's)
};

// One synchronisation's view of the changes, for tests.
struct SyncOptions {
    std::optional<uint64_t> token;
    int32_t folderId = 0;              // > 0: that folder's subtree only
    std::optional<int64_t> calCutoff;  // ms since 1970
};

class Mailbox : public MessageSource {
public:
    Mailbox(std::string accountId, std::string accountName);
    ~Mailbox() override;

    const std::string& AccountId() const { return m_accountId; }
    const std::string& AccountName() const { return m_accountName; }

    // ---- Direct access (each change takes a revision) ----
    int32_t AddFolder(MailFolder folder);  // throws MailboxError
    int32_t AddTag(const std::string& name, const std::string& rgb = std::string());
    int32_t AddItem(MailItem item);  // throws MailboxError
    std::optional<MailFolder> Folder(int32_t id) const;
    std::optional<MailItem> Item(int32_t id) const;
    std::optional<MailTag> Tag(int32_t id) const;
    std::optional<MailTag> TagByName(const std::string& name) const;
    // A contact changed on the server (as by another client): its attributes, members and image
    // are replaced; throws MailboxError mail.NO_SUCH_CONTACT.
    void ChangeContact(int32_t id, const MailboxContact& contact);
    // Tag changes made on the server (Endpoints/TagAction.cpp); throw MailboxError.
    void RenameTag(int32_t id, const std::string& name);
    void DeleteTag(int32_t id);
    std::vector<int32_t> ItemsIn(int32_t folderId) const;
    size_t ItemCount() const;
    uint64_t Revision() const;
    // The revision of the last change of items of a kind letter (f m c a t d), or of any with "all".
    uint64_t RevisionOf(char kindLetter) const;
    // Forgets deletions and moves up to the current revision: older tokens must resynchronise.
    void ForgetChanges();
    // Replaces the whole mailbox with the seed in `dir`/mailbox.xml (see MailboxSeed.cpp). On an
    // error (MailboxError or std::runtime_error) the mailbox stays as it was.
    void LoadSeed(const std::filesystem::path& dir);

    // Called after every change (outside the lock), for wait sets.
    void SetChangeListener(std::function<void()> listener);
    // Contacts are also kept in the server's ContactBook (GetContacts reads them there): the
    // book's contacts are taken over, and every later change of a contact is copied into it.
    void MirrorContactsTo(ContactBook* pBook);

    std::vector<std::string> SentMessages() const;
    std::map<std::string, std::string> Metadata(const std::string& section) const;

    // ---- MessageSource: a message's sync element and MIME ----
    std::optional<DownloadItem> Find(int32_t id) const override;

    // ---- SOAP operations (throw MailboxError for faults) ----
    std::string Sync(const SyncOptions& options) const;  // the SyncResponse element
    SoapReply SoapSync(const SoapDocument& doc) const;
    SoapReply SoapAction(const SoapDocument& doc);
    SoapReply SoapCreateFolder(const SoapDocument& doc);
    SoapReply SoapCreateTag(const SoapDocument& doc);
    SoapReply SoapTagAction(const SoapDocument& doc);
    SoapReply SoapAddMsg(const SoapDocument& doc, UploadStore& uploads);
    SoapReply SoapSaveDraft(const SoapDocument& doc, UploadStore& uploads);
    SoapReply SoapSendMsg(const SoapDocument& doc, UploadStore& uploads);
    SoapReply SoapCreateContact(const SoapDocument& doc, UploadStore& uploads);
    SoapReply SoapModifyContact(const SoapDocument& doc, UploadStore& uploads);
    SoapReply SoapGetItem(const SoapDocument& doc) const;
    SoapReply SoapGetMetadata(const SoapDocument& doc) const;
    SoapReply SoapSetMetadata(const SoapDocument& doc);

    // The context of every reply: the mailbox's change token.
    std::string ChangeContext() const;

    // The mailbox's state: what LoadSeed builds and swaps in (MailboxData.cpp).
    struct Data;

private:
    // Tells the listener about a change; called without the lock.
    void Notify();

    const std::string m_accountId;
    const std::string m_accountName;
    mutable std::mutex m_mutex;
    std::unique_ptr<Data> m_pData;
    std::function<void()> m_listener;
};

// Uploaded files waiting to be used by AddMsg, SaveDraft, SendMsg or a contact image (the upload
// endpoint fills it; tests may put content directly). Thread-safe.
class UploadStore {
public:
    struct Upload {
        std::string content;
        std::string contentType;
        std::string fileName;
    };
    // Stores the content under a new id and returns it.
    std::string Put(std::string content, std::string contentType = "message/rfc822",
                    std::string fileName = std::string());
    void Put(const std::string& id, Upload upload);
    // Removes and returns the upload; throws MailboxError mail.NO_SUCH_UPLOAD when unknown.
    Upload Take(const std::string& id);

private:
    std::mutex m_mutex;
    std::map<std::string, Upload> m_uploads;
    uint64_t m_next = 1;
};

// The accounts of the server, each with its mailbox (Server::State<Mailboxes>()). The first is
// made on first use: account "user@ostrel.test" with the id kDefaultAccountId, loaded from the
// seed directory named by OSTREL_SERVER_MAILBOX when that is set.
class Mailboxes {
public:
    static constexpr const char* kDefaultAccountId = "6b0e3a4c-51d2-4c8e-9a1f-0e5d2c7b9a01";
    static constexpr const char* kDefaultAccountName = "user@ostrel.test";

    Mailboxes();
    std::shared_ptr<Mailbox> Default() const { return m_default; }
    std::shared_ptr<Mailbox> AddAccount(const std::string& id, const std::string& name);
    // By account id or name; null when unknown.
    std::shared_ptr<Mailbox> Find(const std::string& idOrName) const;
    // The mailbox a request is for: the header's account (by="id" or by="name") or the default.
    // Throws MailboxError account.NO_SUCH_ACCOUNT.
    std::shared_ptr<Mailbox> ForRequest(const SoapDocument& doc) const;

    // Waits until any mailbox changes after `seen` (the ChangeCount at the caller's last look),
    // `stop` returns true, or the time has passed. Returns the current change count.
    uint64_t ChangeCount() const;
    uint64_t WaitForChange(uint64_t seen, std::chrono::milliseconds timeout, const std::function<bool()>& stop);

    // Connects the default mailbox to the server's contact book and download endpoint once.
    void Attach(ContactBook& book, DownloadState& download);

private:
    void Watch(const std::shared_ptr<Mailbox>& mailbox);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_changeCount = 0;
    std::map<std::string, std::shared_ptr<Mailbox>> m_accounts;  // by id
    std::shared_ptr<Mailbox> m_default;
    std::once_flag m_attached;
};

class Server;
// The server's accounts, with the default mailbox attached to its contact book and download endpoint.
Mailboxes& MailboxesOf(Server& server);
Mailbox& DefaultMailbox(Server& server);

}  // namespace OstrelServer
