// POST /service/upload: the upload service. The file part of a multipart/form-data body goes into
// the UploadStore (for AddMsg, SaveDraft, SendMsg, contact images and documents to take) and the
// answer is one line: "200,'<requestId>','<upload id>'". A rejected token is answered
// "401,'<requestId>'", a body without a file part "400,'<requestId>'", as the real service does in
// its answer text rather than in the HTTP status. The request id is echoed only when it is a
// plain token (letters, digits, '.', '_', '-'; at most 64): anything else could break the quoted
// answer, so it is answered "400,'null'".
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"

#include <algorithm>
#include <cctype>

namespace OstrelServer {

namespace {

std::string TokenOf(const std::string& cookies) {
    const std::string name = "OS_AUTH_TOKEN=";
    size_t at = cookies.find(name);
    if (at == std::string::npos)
        return std::string();
    size_t start = at + name.size();
    return cookies.substr(start, cookies.find(';', start) - start);
}

void Answer(HttpCall& call, const std::string& text) {
    call.res.status = 200;
    call.res.set_content(text, "text/plain");
}

bool IsPlainRequestId(const std::string& id) {
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '_' || c == '-';
    });
}

HttpEndpoint s_upload("POST", "/service/upload", [](HttpCall& call) {
    std::string requestId = call.req.has_file("requestId") ? call.req.get_file_value("requestId").content : "null";
    if (!IsPlainRequestId(requestId)) {
        Answer(call, "400,'null'");
        return;
    }
    AccountBook& book = call.server.State<AccountBook>();
    if (!book.Empty() &&
        book.CheckToken(TokenOf(call.req.get_header_value("Cookie"))) != AccountBook::TokenState::Valid) {
        Answer(call, "401,'" + requestId + "'");
        return;
    }
    for (const auto& [name, part] : call.req.files) {
        if (name == "requestId")
            continue;
        std::string id = call.server.State<UploadStore>().Put(
            part.content, part.content_type.empty() ? "application/octet-stream" : part.content_type, part.filename);
        Answer(call, "200,'" + requestId + "','" + id + "'");
        return;
    }
    Answer(call, "400,'" + requestId + "'");
});

}  // namespace

}  // namespace OstrelServer
