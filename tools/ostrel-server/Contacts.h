// Contacts of the simulator: contact folders of the mailbox (mail namespace) and a global address
// list (account namespace) of configurable size, answering GetContactsRequest, SearchGalRequest
// and SyncGalRequest (Endpoints/Contacts.cpp).
//
// GAL entries are generated from their index, so a list of any size costs no memory until a
// reply is written. An entry's id is a UUID-like text; its reference is its distinguished name.
// Texts are UTF-8.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace OstrelServer {

class SoapDocument;
struct SoapReply;

struct ContactImage {
    int part = 2;      // the MIME part number of the photo
    int64_t size = 0;  // bytes
    std::string fileName;
    std::string contentType;  // may carry parameters ("image/png; name=me.png")
    std::string content;      // the bytes, when the photo was uploaded
};

struct MailboxContact {
    int32_t id = 0;                                            // 0: assigned when added
    int32_t folderId = 7;                                      // the Contacts folder
    int64_t modified = 0;                                      // "md", seconds since 1970; 0: the time it was added
    std::string flags;                                         // "f", e.g. "a" when it has attachments
    std::string tagIds;                                        // "t", e.g. "3,17"
    std::string tagNames;                                      // "tn"
    std::vector<std::pair<std::string, std::string>> attrs;    // `a` children, in order
    std::vector<std::pair<std::string, std::string>> members;  // `m` children: type, value
    std::optional<ContactImage> image;
};

struct GalEntry {
    std::string id;   // UUID-like
    std::string ref;  // distinguished name
    int64_t modified = 0;
    std::vector<std::pair<std::string, std::string>> attrs;
};

class ContactBook {
public:
    static constexpr size_t kDefaultGalSize = 100;
    static constexpr size_t kDefaultSearchLimit = 100;

    // Folders 7 "Contacts" (with a person who has a photo, a person and a group) and 13 "Emailed
    // Contacts" (one person), and a GAL of OSTREL_SERVER_GAL_SIZE entries when that is set in the
    // environment, else kDefaultGalSize.
    ContactBook();

    void AddFolder(int32_t id, std::string name);
    // Adds a contact to an existing folder (an id of 0 gets the next free one); returns its id,
    // or 0 when the folder is unknown.
    int32_t AddContact(MailboxContact contact);
    bool RemoveContact(int32_t id);

    void SetGalSize(size_t count);
    size_t GalSize() const;
    // The generated entry of an index below GalSize().
    static GalEntry MakeGalEntry(size_t index);
    // Marks an entry as changed: a SyncGal from an earlier token returns it again.
    void TouchGalEntry(size_t index);
    // Takes an entry out of the list: it is no longer listed or found, and a SyncGal from an
    // earlier token reports it deleted. False when the index is not in the list.
    bool RemoveGalEntry(size_t index);
    // Whether the index names an entry of the list as it is now.
    bool IsGalEntry(size_t index) const;

    // The answers of the three calls for a parsed request.
    SoapReply GetContacts(const SoapDocument& request) const;
    SoapReply SearchGal(const SoapDocument& request) const;
    SoapReply SyncGal(const SoapDocument& request) const;

private:
    mutable std::mutex m_mutex;
    std::map<int32_t, std::string> m_folders;
    std::map<int32_t, MailboxContact> m_contacts;
    int32_t m_nextId = 257;
    size_t m_galSize = kDefaultGalSize;
    uint64_t m_galRevision = 1;               // the token of the GAL as it is now
    uint64_t m_galBaseRevision = 1;           // when the generated entries were made
    std::map<size_t, uint64_t> m_galChanged;  // index -> revision of its last change
    std::map<size_t, uint64_t> m_galRemoved;  // index -> revision of its removal
};

}  // namespace OstrelServer
