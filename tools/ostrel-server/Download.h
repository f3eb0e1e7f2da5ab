// Content downloads, answered whole with their length and type:
//
//     GET /service/content/get?id=N[&part=P]   a document's content, a message's MIME text,
//                                              part P ("2", "2.1", see MimeParts.h) of a message
//                                              decoded, a contact's uploaded photo or a calendar
//                                              item's attachment at its part, with the file name
//     GET /home/~/Briefcase/<name>             the Briefcase document of that name
//
// Once the server has accounts, the cookie OS_AUTH_TOKEN must hold a valid token (else 401) and
// the items are the token's account's. A malformed id or part gets 400, an unknown item, part or
// name 404.
//
// The message download endpoint:
//
//     GET /service/download?ids=12,13,20[&level=N]
//
// answers with a ZIP archive written as a forward stream (chunked, no length): for each id in the
// order asked, an entry "<id>.meta" (stored) with the message's metadata and an entry "<id>.eml"
// with its MIME text, stored when N is 0 and otherwise deflated (N from 1 to 9 only asks for
// compression: the message's kept deflate stream is copied as it is, see MessageBody.h). Every
// local header carries the entry's CRC-32 and sizes. An id the source does not know gives one
// stored entry "<id>.err" whose text says why. A malformed id list or level gets 400.
// When a token is required, a request without the cookie "OS_AUTH_TOKEN=<token>" gets 401.
//
// Messages come from a MessageSource: by default one held in memory that tests fill; a mailbox
// replaces it with SetSource.
#pragma once

#include "MessageBody.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace OstrelServer {

struct DownloadItem {
    std::string meta;
    std::shared_ptr<const MessageBody> body;  // never null
};

class MessageSource {
public:
    virtual ~MessageSource() = default;
    // The message with this id, or nothing when it cannot be delivered. Called from server threads.
    virtual std::optional<DownloadItem> Find(int32_t id) const = 0;
};

class MemoryMessageSource : public MessageSource {
public:
    void Put(int32_t id, std::string meta, std::string mime);
    void Remove(int32_t id);
    std::optional<DownloadItem> Find(int32_t id) const override;

private:
    mutable std::mutex m_mutex;
    std::map<int32_t, DownloadItem> m_items;
};

// The endpoint's per-server state (Server::State<DownloadState>()).
class Mailbox;
class Server;

// The mailbox a request with these cookies may read: the token's account's once the server has
// accounts (null when the token is missing or not valid), else the default mailbox.
std::shared_ptr<Mailbox> MailboxOfCookie(Server& server, const std::string& cookieHeader);

class DownloadState {
public:
    DownloadState();

    // The in-memory source the endpoint starts with.
    MemoryMessageSource& Memory() { return *m_memory; }
    void SetSource(std::shared_ptr<const MessageSource> source);
    std::shared_ptr<const MessageSource> Source() const;

    // An empty token switches the check off (the default).
    void RequireToken(std::string token);
    bool Accepts(const std::string& cookieHeader) const;

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<MemoryMessageSource> m_memory;
    std::shared_ptr<const MessageSource> m_source;
    std::string m_token;
};

}  // namespace OstrelServer
