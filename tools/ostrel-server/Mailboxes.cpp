#include "Mailbox.h"

#include "Server.h"
#include "Soap.h"

#include <cstdio>
#include <cstdlib>

namespace OstrelServer {

std::string UploadStore::Put(std::string content, std::string contentType, std::string fileName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string id = "upload-" + std::to_string(m_next++);
    m_uploads[id] = Upload{std::move(content), std::move(contentType), std::move(fileName)};
    return id;
}

void UploadStore::Put(const std::string& id, Upload upload) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_uploads[id] = std::move(upload);
}

UploadStore::Upload UploadStore::Take(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_uploads.find(id);
    if (it == m_uploads.end())
        throw MailboxError("mail.NO_SUCH_UPLOAD", "no such upload: " + id);
    Upload upload = std::move(it->second);
    m_uploads.erase(it);
    return upload;
}

Mailboxes::Mailboxes() {
    m_default = AddAccount(kDefaultAccountId, kDefaultAccountName);
    if (const char* seed = std::getenv("OSTREL_SERVER_MAILBOX"); seed && *seed) {
        try {
            m_default->LoadSeed(seed);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ostrel-server: the mailbox seed in %s was not loaded: %s\n", seed, e.what());
        }
    }
}

std::shared_ptr<Mailbox> Mailboxes::AddAccount(const std::string& id, const std::string& name) {
    auto mailbox = std::make_shared<Mailbox>(id, name);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accounts[id] = mailbox;
    }
    Watch(mailbox);
    return mailbox;
}

std::shared_ptr<Mailbox> Mailboxes::Find(const std::string& idOrName) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto it = m_accounts.find(idOrName); it != m_accounts.end())
        return it->second;
    for (const auto& [id, mailbox] : m_accounts)
        if (mailbox->AccountName() == idOrName)
            return mailbox;
    return nullptr;
}

std::shared_ptr<Mailbox> Mailboxes::ForRequest(const SoapDocument& doc) const {
    const std::string account = "/soap:Envelope/soap:Header/l:context/l:account";
    auto target = doc.Text(account);
    if (!target)
        return m_default;
    std::string by = doc.Text(account + "/@by").value_or("name");
    std::shared_ptr<Mailbox> mailbox = Find(*target);
    if (!mailbox || (by == "id" ? mailbox->AccountId() : mailbox->AccountName()) != *target)
        throw MailboxError("account.NO_SUCH_ACCOUNT", "no such account: " + *target);
    return mailbox;
}

void Mailboxes::Watch(const std::shared_ptr<Mailbox>& mailbox) {
    mailbox->SetChangeListener([this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_changeCount;
        m_changed.notify_all();
    });
}

uint64_t Mailboxes::ChangeCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_changeCount;
}

uint64_t Mailboxes::WaitForChange(uint64_t seen, std::chrono::milliseconds timeout, const std::function<bool()>& stop) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_changeCount == seen && std::chrono::steady_clock::now() < deadline) {
        lock.unlock();
        bool stopping = stop();
        lock.lock();
        if (stopping)
            break;
        // Woken by a change; the slices let a stopping server end the wait.
        auto slice = std::min<std::chrono::steady_clock::duration>(deadline - std::chrono::steady_clock::now(),
                                                                   std::chrono::milliseconds(100));
        m_changed.wait_for(lock, slice, [&] { return m_changeCount != seen; });
    }
    return m_changeCount;
}

void Mailboxes::Attach(ContactBook& book, DownloadState& download) {
    std::call_once(m_attached, [&] {
        m_default->MirrorContactsTo(&book);
        download.SetSource(m_default);
    });
}

Mailboxes& MailboxesOf(Server& server) {
    Mailboxes& boxes = server.State<Mailboxes>();
    boxes.Attach(server.State<ContactBook>(), server.State<DownloadState>());
    return boxes;
}

Mailbox& DefaultMailbox(Server& server) {
    return *MailboxesOf(server).Default();
}

}  // namespace OstrelServer
