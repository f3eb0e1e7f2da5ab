// GET /service/download?ids=...: messages as a ZIP archive streamed front to back; GET
// /service/content/get and /home/~/Briefcase/: single items and parts (see Download.h).
#include "ostrel-server/Download.h"

#include "ostrel-server/Accounts.h"
#include "ostrel-server/Calendar.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/MimeParts.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/ZipWriter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace OstrelServer {

std::shared_ptr<Mailbox> MailboxOfCookie(Server& server, const std::string& cookieHeader) {
    AccountBook& book = server.State<AccountBook>();
    Mailboxes& boxes = MailboxesOf(server);
    if (book.Empty())
        return boxes.Default();
    const std::string name = "OS_AUTH_TOKEN=";
    std::string token;
    for (size_t pos = 0; pos < cookieHeader.size();) {
        size_t end = std::min(cookieHeader.find(';', pos), cookieHeader.size());
        size_t start = cookieHeader.find_first_not_of(' ', pos);
        if (start < end && cookieHeader.compare(start, name.size(), name) == 0)
            token = cookieHeader.substr(start + name.size(), end - start - name.size());
        pos = end + 1;
    }
    std::string accountName;
    if (book.CheckToken(token, &accountName) != AccountBook::TokenState::Valid)
        return nullptr;
    std::optional<Account> account = book.Find(accountName);
    if (!account)
        return nullptr;
    std::shared_ptr<Mailbox> mailbox = boxes.Find(account->id);
    return mailbox ? mailbox : boxes.AddAccount(account->id, account->name);
}

void MemoryMessageSource::Put(int32_t id, std::string meta, std::string mime) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items[id] = DownloadItem{std::move(meta), MessageBody::Make(std::move(mime))};
}

void MemoryMessageSource::Remove(int32_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items.erase(id);
}

std::optional<DownloadItem> MemoryMessageSource::Find(int32_t id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_items.find(id);
    if (it == m_items.end())
        return std::nullopt;
    return it->second;
}

DownloadState::DownloadState() : m_memory(std::make_shared<MemoryMessageSource>()), m_source(m_memory) {}

void DownloadState::SetSource(std::shared_ptr<const MessageSource> source) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_source = source ? std::move(source) : m_memory;
}

std::shared_ptr<const MessageSource> DownloadState::Source() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_source;
}

void DownloadState::RequireToken(std::string token) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_token = std::move(token);
}

bool DownloadState::Accepts(const std::string& cookieHeader) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_token.empty())
        return true;
    // Cookie: a=b; OS_AUTH_TOKEN=...; c=d
    const std::string name = "OS_AUTH_TOKEN=";
    size_t pos = 0;
    while (pos < cookieHeader.size()) {
        size_t end = cookieHeader.find(';', pos);
        if (end == std::string::npos)
            end = cookieHeader.size();
        size_t start = cookieHeader.find_first_not_of(' ', pos);
        if (start < end && cookieHeader.compare(start, name.size(), name) == 0 &&
            cookieHeader.substr(start + name.size(), end - start - name.size()) == m_token)
            return true;
        pos = end + 1;
    }
    return false;
}

namespace {

constexpr int kDefaultLevel = MessageBody::kLevel;

bool ParseIds(const std::string& text, std::vector<int32_t>& ids) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos)
            end = text.size();
        int32_t id = 0;
        auto [ptr, ec] = std::from_chars(text.data() + pos, text.data() + end, id);
        if (ec != std::errc() || ptr != text.data() + end || end == pos)
            return false;
        ids.push_back(id);
        pos = end + 1;
    }
    return !ids.empty();
}

// Archive bytes go to the connection in pieces of about this size: one chunk and one send for
// many small entries, while a large entry's data goes out directly.
constexpr size_t kPiece = 256 * 1024;

// One response: the writer and how far it has got, across calls of the content provider.
struct Transfer {
    std::shared_ptr<const MessageSource> source;
    std::vector<int32_t> ids;
    int level = kDefaultLevel;
    size_t next = 0;
    bool bFinished = false;
    bool bSent = false;  // in this call of the content provider
    httplib::DataSink* sink = nullptr;
    std::string pending;
    ZipWriter writer{[this](const char* data, size_t size) { return Put(data, size); }};

    bool Put(const char* data, size_t size) {
        if (pending.size() + size > kPiece && !Flush())
            return false;
        if (size >= kPiece)
            return Send(data, size);
        pending.append(data, size);
        return true;
    }

    bool Flush() {
        const bool bOk = pending.empty() || Send(pending.data(), pending.size());
        pending.clear();
        return bOk;
    }

    bool Send(const char* data, size_t size) {
        bSent = true;
        return sink->write(data, size);
    }

    // Writes the next message, or the end of the archive after the last.
    bool WriteNext() {
        if (next == ids.size()) {
            bFinished = true;
            return writer.Finish();
        }
        int32_t id = ids[next++];
        std::string base = std::to_string(id);
        std::optional<DownloadItem> item = source->Find(id);
        if (!item)
            return writer.AddStored(base + ".err", "no such message: " + base + "\n");
        if (!writer.AddStored(base + ".meta", item->meta))
            return false;
        const MessageBody& body = *item->body;
        if (level == 0)
            return writer.AddStored(base + ".eml", body.Mime(), body.Crc());
        return writer.AddCompressed(base + ".eml", body.Deflated(), body.Crc(), body.Mime().size());
    }

    // One call of the content provider: entries until a piece has gone out, or the rest.
    bool Provide(httplib::DataSink& dataSink) {
        sink = &dataSink;
        bSent = false;
        while (!bFinished && !bSent)
            if (!WriteNext())
                return false;
        if (bFinished) {
            if (!Flush())
                return false;
            sink->done();
        }
        return true;
    }
};

HttpEndpoint s_download("GET", "/service/download", [](HttpCall& call) {
    DownloadState& state = call.server.State<DownloadState>();
    if (!state.Accepts(call.req.get_header_value("Cookie"))) {
        call.res.status = 401;
        call.res.set_content("authentication required\n", "text/plain");
        return;
    }
    auto transfer = std::make_shared<Transfer>();
    if (!ParseIds(call.req.get_param_value("ids"), transfer->ids)) {
        call.res.status = 400;
        call.res.set_content("ids must be a comma-separated list of message ids\n", "text/plain");
        return;
    }
    if (call.req.has_param("level")) {
        const std::string text = call.req.get_param_value("level");
        auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), transfer->level);
        if (ec != std::errc() || ptr != text.data() + text.size() || transfer->level < 0 || transfer->level > 9) {
            call.res.status = 400;
            call.res.set_content("level must be 0 to 9\n", "text/plain");
            return;
        }
    }
    transfer->source = state.Source();
    call.res.set_chunked_content_provider(
        "application/zip", [transfer](size_t, httplib::DataSink& sink) { return transfer->Provide(sink); });
});

// ---- Single items and parts ----

// A type the server would store for a document, by the name's extension.
std::string DocumentType(const std::string& name) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"png", "image/png"},      {"gif", "image/gif"},
        {"tif", "image/tiff"}, {"tiff", "image/tiff"}, {"txt", "text/plain"},     {"pdf", "application/pdf"},
        {"htm", "text/html"},  {"html", "text/html"},  {"eml", "message/rfc822"},
    };
    size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const auto& [e, type] : kTypes)
        if (ext == e)
            return type;
    return "application/octet-stream";
}

// A Content-Disposition naming `fileName` without letting it add or end a header: a plain
// fallback name, and the exact one percent-encoded.
std::string Disposition(const std::string& fileName) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string plain, encoded;
    for (unsigned char c : fileName) {
        plain += c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? static_cast<char>(c) : '_';
        if (std::isalnum(c) || std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

// A type taken from a stored message goes back into a header: only a plain type/subtype does.
std::string SafeType(const std::string& type) {
    bool bPlain = !type.empty() && std::all_of(type.begin(), type.end(), [](unsigned char c) {
        return std::isalnum(c) || std::string_view("/!#$&-^_.+").find(static_cast<char>(c)) != std::string_view::npos;
    });
    return bPlain ? type : "application/octet-stream";
}

void Refuse(HttpCall& call, int status, const std::string& text) {
    call.res.status = status;
    call.res.set_content(text + "\n", "text/plain");
}

void SendItem(HttpCall& call, const std::string& content, const std::string& type, const std::string& fileName) {
    call.res.status = 200;
    if (!fileName.empty())
        call.res.set_header("Content-Disposition", Disposition(fileName));
    call.res.set_content(content, SafeType(type));
}

HttpEndpoint s_content("GET", "/service/content/get", [](HttpCall& call) {
    std::shared_ptr<Mailbox> mailbox = MailboxOfCookie(call.server, call.req.get_header_value("Cookie"));
    if (!mailbox)
        return Refuse(call, 401, "authentication required");
    const std::string idText = call.req.get_param_value("id");
    int32_t id = 0;
    auto [ptr, ec] = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    if (idText.empty() || ec != std::errc() || ptr != idText.data() + idText.size() || id <= 0)
        return Refuse(call, 400, "id must be an item id");
    std::optional<MailItem> item = mailbox->Item(id);
    const bool bPart = call.req.has_param("part");
    if (!item || item->kind == ItemKind::Appointment || item->kind == ItemKind::Task) {
        // A calendar item's attachment, at its part: the calendar holds appointments and tasks
        // (the mailbox only lists them).
        std::optional<CalendarItem> calItem = call.server.State<CalendarBook>().Get(id);
        if (!calItem)
            return Refuse(call, 404, "no such item");
        auto found = bPart ? calItem->parts.find(call.req.get_param_value("part")) : calItem->parts.end();
        if (found == calItem->parts.end())
            return Refuse(call, 404, "no such part");
        return SendItem(call, found->second.content, found->second.contentType, found->second.fileName);
    }
    if (item->kind == ItemKind::Document) {
        if (bPart && call.req.get_param_value("part") != "1")
            return Refuse(call, 404, "no such part");
        return SendItem(call, item->content, DocumentType(item->name), item->name);
    }
    if (item->kind == ItemKind::Contact) {
        // A contact's uploaded photo, at its part number.
        const std::optional<ContactImage>& image = item->contact.image;
        if (!bPart || !image || image->content.empty() ||
            call.req.get_param_value("part") != std::to_string(image->part))
            return Refuse(call, 404, "no such part");
        std::string type = image->contentType.substr(0, image->contentType.find(';'));
        type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
        return SendItem(call, image->content, type, image->fileName);
    }
    if (item->kind != ItemKind::Message)
        return Refuse(call, 404, "the item has no content to download");
    if (!bPart)
        return SendItem(call, item->mime, "message/rfc822", std::string());
    std::optional<MimePart> part = FindMimePart(item->mime, call.req.get_param_value("part"));
    if (!part)
        return Refuse(call, 404, "no such part");
    SendItem(call, part->content, part->contentType, part->fileName);
});

HttpEndpoint s_briefcase("GET", "/home/~/Briefcase/", [](HttpCall& call) {
    std::shared_ptr<Mailbox> mailbox = MailboxOfCookie(call.server, call.req.get_header_value("Cookie"));
    if (!mailbox)
        return Refuse(call, 401, "authentication required");
    const std::string prefix = "/home/~/Briefcase/";
    const std::string name = call.path.substr(prefix.size());
    for (int32_t id : mailbox->ItemsIn(FolderId::Briefcase)) {
        std::optional<MailItem> item = mailbox->Item(id);
        if (item && item->kind == ItemKind::Document && item->name == name)
            return SendItem(call, item->content, DocumentType(item->name), item->name);
    }
    Refuse(call, 404, "no such document");
});

}  // namespace

}  // namespace OstrelServer
