#include "MailboxData.h"

#include "Endpoint.h"
#include "Soap.h"

namespace OstrelServer {

namespace {

// A contact of the ContactBook as an item, read back from the book's own GetContacts answer.
std::vector<MailItem> ReadBookContacts(ContactBook& book) {
    auto request = SoapDocument::Parse(SoapEnvelope("<GetContactsRequest xmlns=\"urn:ostrelMail\"/>"));
    auto reply = SoapDocument::Parse(SoapEnvelope(book.GetContacts(*request).bodyXml));
    std::vector<MailItem> out;
    if (!reply)
        return out;
    size_t count = reply->Count("//mail:cn");
    for (size_t i = 1; i <= count; ++i) {
        std::string cn = "(//mail:cn)[" + std::to_string(i) + "]";
        auto id = ParseInt64(reply->Text(cn + "/@id").value_or(""));
        auto folder = ParseInt64(reply->Text(cn + "/@l").value_or(""));
        if (!id || !folder || *id < kFirstUserId || *id > INT32_MAX || *folder < 1 || *folder > INT32_MAX)
            continue;
        MailItem item;
        item.kind = ItemKind::Contact;
        item.id = static_cast<int32_t>(*id);
        item.folderId = static_cast<int32_t>(*folder);
        item.modified = ParseInt64(reply->Text(cn + "/@md").value_or("")).value_or(0);
        item.created = item.modified;
        item.flags = reply->Text(cn + "/@f").value_or("");
        item.contact.tagNames = reply->Text(cn + "/@tn").value_or("");
        size_t attrs = reply->Count(cn + "/mail:a");
        for (size_t j = 1; j <= attrs; ++j) {
            std::string a = cn + "/mail:a[" + std::to_string(j) + "]";
            std::string name = reply->Text(a + "/@n").value_or("");
            if (name == "image" && reply->Count(a + "/@part")) {
                ContactImage image;
                image.part = static_cast<int>(ParseInt64(reply->Text(a + "/@part").value_or("")).value_or(2));
                image.size = ParseInt64(reply->Text(a + "/@s").value_or("")).value_or(0);
                image.fileName = reply->Text(a + "/@filename").value_or("");
                image.contentType = reply->Text(a + "/@ct").value_or("");
                item.contact.image = image;
            } else {
                item.contact.attrs.emplace_back(name, reply->Text(a).value_or(""));
            }
        }
        size_t members = reply->Count(cn + "/mail:m");
        for (size_t j = 1; j <= members; ++j) {
            std::string m = cn + "/mail:m[" + std::to_string(j) + "]";
            item.contact.members.emplace_back(reply->Text(m + "/@type").value_or(""),
                                              reply->Text(m + "/@value").value_or(""));
        }
        out.push_back(std::move(item));
    }
    return out;
}

}  // namespace

Mailbox::Mailbox(std::string accountId, std::string accountName)
    : m_accountId(std::move(accountId)), m_accountName(std::move(accountName)), m_pData(std::make_unique<Data>()) {}

Mailbox::~Mailbox() = default;

void Mailbox::Notify() {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listener = m_listener;
    }
    if (listener)
        listener();
}

void Mailbox::SetChangeListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = std::move(listener);
}

int32_t Mailbox::AddFolder(MailFolder folder) {
    int32_t id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = m_pData->AddFolder(std::move(folder));
    }
    Notify();
    return id;
}

int32_t Mailbox::AddTag(const std::string& name, const std::string& rgb) {
    int32_t id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = m_pData->AddTag(name, rgb);
    }
    Notify();
    return id;
}

int32_t Mailbox::AddItem(MailItem item) {
    int32_t id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = m_pData->AddItem(std::move(item));
    }
    Notify();
    return id;
}

std::optional<MailFolder> Mailbox::Folder(int32_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pData->folders.find(id);
    return it == m_pData->folders.end() ? std::nullopt : std::optional<MailFolder>(it->second);
}

std::optional<MailItem> Mailbox::Item(int32_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pData->items.find(id);
    if (it == m_pData->items.end())
        return std::nullopt;
    MailItem item = it->second;
    if (item.body)
        item.mime = item.body->Mime();
    return item;
}

std::optional<MailTag> Mailbox::Tag(int32_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pData->tags.find(id);
    return it == m_pData->tags.end() ? std::nullopt : std::optional<MailTag>(it->second);
}

std::optional<MailTag> Mailbox::TagByName(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [id, tag] : m_pData->tags)
        if (EqualsNoCase(tag.name, name))
            return tag;
    return std::nullopt;
}

std::vector<int32_t> Mailbox::ItemsIn(int32_t folderId) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int32_t> ids;
    for (const auto& [id, item] : m_pData->items)
        if (item.folderId == folderId)
            ids.push_back(id);
    return ids;
}

size_t Mailbox::ItemCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pData->items.size();
}

uint64_t Mailbox::Revision() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pData->rev;
}

uint64_t Mailbox::RevisionOf(char kindLetter) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (kindLetter == '*')
        return m_pData->rev;
    auto it = m_pData->kindRevs.find(kindLetter);
    return it == m_pData->kindRevs.end() ? 0 : it->second;
}

void Mailbox::ForgetChanges() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pData->tombstones.clear();
    m_pData->moves.clear();
    m_pData->forgottenUpTo = m_pData->rev;
}

void Mailbox::MirrorContactsTo(ContactBook* pBook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Data& d = *m_pData;
    d.pBook = pBook;
    if (!pBook)
        return;
    // The book's contacts join the mailbox unless an item of the mailbox has their id; the
    // mailbox's own contacts then replace them in the book.
    for (MailItem& item : ReadBookContacts(*pBook)) {
        if (d.items.count(item.id) || d.folders.count(item.id))
            continue;
        if (!d.folders.count(item.folderId)) {
            MailFolder folder;
            folder.id = item.folderId;
            folder.name = "Contacts " + std::to_string(item.folderId);
            folder.view = "contact";
            d.AddFolder(std::move(folder));
        }
        item.tags = d.TagNames(item.contact.tagNames, true);
        item.contact.tagNames.clear();
        d.AddItem(std::move(item));
    }
    d.MirrorAll();
}

std::vector<std::string> Mailbox::SentMessages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pData->sent;
}

std::map<std::string, std::string> Mailbox::Metadata(const std::string& section) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pData->metadata.find(section);
    return it == m_pData->metadata.end() ? std::map<std::string, std::string>() : it->second;
}

std::optional<DownloadItem> Mailbox::Find(int32_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pData->items.find(id);
    if (it == m_pData->items.end() || it->second.kind != ItemKind::Message)
        return std::nullopt;
    return DownloadItem{m_pData->ItemXml(it->second), it->second.body};
}

std::string Mailbox::Sync(const SyncOptions& options) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pData->WriteSync(options);
}

std::string Mailbox::ChangeContext() const {
    return "<change token=\"" + std::to_string(Revision()) + "\"/>";
}

}  // namespace OstrelServer
