// GET /service/download?ids=...: messages as a ZIP archive streamed front to back (see Download.h).
#include "ostrel-server/Download.h"

#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/ZipWriter.h"

#include <charconv>
#include <vector>

namespace OstrelServer {

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

}  // namespace

}  // namespace OstrelServer
