// One HTTP exchange on a curl easy handle: configuration from the WinHTTP options, the header,
// body and upload callbacks with flow control, and the mapping of curl results onto WinHTTP errors.
#include "Platform/Http/Internal.h"

#include "Platform/Base/HResult.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"

#include <algorithm>
#include <cstring>

namespace Platform::Http::Detail {

namespace {

// Receiving pauses when this much is buffered and resumes below the low mark.
constexpr size_t kHighWater = 1 << 20;
constexpr size_t kLowWater = 256 * 1024;

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    Request& r = *static_cast<Request*>(user);
    size_t len = size * count;
    std::string_view line(data, len);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    r.lastActivity = SteadyClock::now();
    if (!r.prereq) {
        // The proxy's answer to CONNECT; the server's answer comes through the tunnel later.
        if (line.rfind("HTTP/", 0) == 0) {
            r.connectHeaders.clear();
            const size_t sp1 = line.find(' ');
            const std::string_view rest = sp1 == std::string_view::npos ? std::string_view() : line.substr(sp1 + 1);
            const size_t sp2 = rest.find(' ');
            r.connectStatus = std::atoi(std::string(rest.substr(0, sp2)).c_str());
            r.connectStatusText = sp2 == std::string_view::npos ? std::string() : Platform::Trim(rest.substr(sp2 + 1));
        } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
            r.connectHeaders.emplace_back(Platform::Trim(line.substr(0, colon)),
                                          Platform::Trim(line.substr(colon + 1)));
        }
        return len;
    }
    std::lock_guard<std::mutex> lock(r.infoMutex);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new status line starts a new header block (after 1xx answers).
        r.responseHeaders.clear();
        r.headersDone = false;
        size_t sp1 = line.find(' ');
        r.httpVersion = std::string(line.substr(0, sp1));
        r.status = 0;
        r.statusText.clear();
        if (sp1 != std::string_view::npos) {
            std::string_view rest = line.substr(sp1 + 1);
            size_t sp2 = rest.find(' ');
            std::string code(rest.substr(0, sp2));
            r.status = std::atoi(code.c_str());
            if (sp2 != std::string_view::npos)
                r.statusText = Platform::Trim(rest.substr(sp2 + 1));
        }
    } else if (line.empty()) {
        if (r.status >= 200 || r.status == 0)
            r.headersDone = true;
    } else if ((line[0] == ' ' || line[0] == '\t') && !r.responseHeaders.empty()) {
        r.responseHeaders.back().second += " " + std::string(Platform::Trim(line));
    } else {
        size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            r.responseHeaders.emplace_back(Platform::Trim(line.substr(0, colon)),
                                           Platform::Trim(line.substr(colon + 1)));
    }
    return len;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Request& r = *static_cast<Request*>(user);
    size_t len = size * count;
    if (r.Buffered() >= kHighWater) {
        r.recvPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (r.bodyPos == r.body.size()) {
        r.body.clear();
        r.bodyPos = 0;
    }
    r.body.append(data, len);
    r.lastActivity = SteadyClock::now();
    return len;
}

size_t OnUpload(char* buffer, size_t size, size_t count, void* user) {
    Request& r = *static_cast<Request*>(user);
    size_t available = r.upload.size() - r.uploadPos;
    if (available == 0) {
        if (r.uploadFed >= r.uploadTotal)
            return 0;
        r.uploadPaused = true;
        return CURL_READFUNC_PAUSE;
    }
    size_t n = std::min(size * count, available);
    std::memcpy(buffer, r.upload.data() + r.uploadPos, n);
    r.uploadPos += n;
    r.lastActivity = SteadyClock::now();
    return n;
}

// curl rewinds the body to send it again on a fresh connection when a reused one turned out to
// be closed; that works while the whole body is still held.
int OnSeek(void* user, curl_off_t offset, int origin) {
    Request& r = *static_cast<Request*>(user);
    if (origin != SEEK_SET || r.uploadDiscarded != 0 || offset < 0 || static_cast<size_t>(offset) > r.upload.size())
        return CURL_SEEKFUNC_CANTSEEK;
    r.uploadPos = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

int OnPrereq(void* user, char*, char*, int, int) {
    Request& r = *static_cast<Request*>(user);
    r.prereq = true;
    r.lastActivity = SteadyClock::now();
    if (r.secure) {
        // A reused connection had no handshake in this transfer: take its certificate from the
        // connection and hold it against the pin as the handshake would have.
        CaptureConnectionCertificate(r);
        if (r.activePin) {
            std::lock_guard<std::mutex> lock(r.infoMutex);
            Platform::CertFingerprint fp = Platform::CertSha1(r.serverCert);
            if (!r.serverCert || !std::equal(fp.begin(), fp.end(), r.activePin->begin())) {
                r.pinMismatch = true;
                return CURL_PREREQFUNC_ABORT;
            }
        }
    }
    return CURL_PREREQFUNC_OK;
}

// Characters WinHTTP would escape in an object name; '%' is kept, as with escape-disable.
std::string EscapeObject(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

DWORD IgnoredIssues(DWORD securityFlags) {
    DWORD ignored = 0;
    if (securityFlags & SECURITY_FLAG_IGNORE_UNKNOWN_CA)
        ignored |= WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA;
    if (securityFlags & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID)
        ignored |= WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID;
    if (securityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID)
        ignored |= WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID;
    if (securityFlags & SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE)
        ignored |= WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;
    return ignored;
}

void ResetForSend(Request& r) {
    r.prereq = false;
    r.connectStatus = 0;
    r.connectStatusText.clear();
    r.connectHeaders.clear();
    r.uploadPos = 0;
    r.uploadPaused = false;
    r.body.clear();
    r.bodyPos = 0;
    r.recvPaused = false;
    r.done = false;
    r.error = 0;
    r.secureFailureToReport = false;
    r.lastActivity = SteadyClock::now();
    std::lock_guard<std::mutex> lock(r.infoMutex);
    r.headersDone = false;
    r.status = 0;
    r.statusText.clear();
    r.httpVersion.clear();
    r.responseHeaders.clear();
    r.tlsIssues = 0;
    r.pinMismatch = false;
    r.clientCertRequested = false;
    if (r.serverCert) {
        CertFreeCertificateContext(r.serverCert);
        r.serverCert = nullptr;
    }
}

}  // namespace

Connect::~Connect() {
    if (multi)
        curl_multi_cleanup(multi);
}

Request::~Request() {
    DetachTransfer(*this);
    std::lock_guard<std::mutex> lock(infoMutex);
    if (serverCert)
        CertFreeCertificateContext(serverCert);
}

std::string BuildUrl(const Request& r) {
    std::string host = r.connect->host;
    if (host.find(':') != std::string::npos && host.front() != '[')
        host = "[" + host + "]";
    std::string object = r.object.empty() ? "/" : r.object;
    if (object.front() != '/')
        object.insert(object.begin(), '/');
    INTERNET_PORT port =
        r.connect->port ? r.connect->port : (r.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    return std::string(r.secure ? "https://" : "http://") + host + ":" + std::to_string(port) + EscapeObject(object);
}

bool StartTransfer(Request& r, CURLM* multi) {
    DetachTransfer(r);
    ResetForSend(r);
    r.easy = curl_easy_init();
    if (!r.easy) {
        r.done = true;
        r.error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    CURL* e = r.easy;

    ProxySetting proxy;
    {
        std::lock_guard<std::mutex> lock(r.connect->session->optMutex);
        proxy = r.connect->session->proxy;
    }
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::pair<std::string, std::string>> serverCred, proxyCred;
    std::string agent;
    bool noReuse = false;
    {
        std::lock_guard<std::mutex> lock(r.optMutex);
        headers = r.headers;
        serverCred = r.serverCredentials;
        proxyCred = r.proxyCredentials;
        if (r.proxy)
            proxy = *r.proxy;
        r.activeTimeouts = r.timeouts;
        r.ignoredIssues = IgnoredIssues(r.securityFlags);
        r.activePin = r.pin;
        agent = r.userAgent;
    }
    r.tlsHost = r.connect->host;

    curl_easy_setopt(e, CURLOPT_URL, BuildUrl(r).c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, &r);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024);
    // CONNECT answers reach OnHeader, which keeps them apart from the server's answer.
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 0L);

    if (r.verb == "GET" && r.uploadTotal == 0) {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else if (r.verb == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (r.uploadTotal > 0 || r.verb == "POST" || r.verb == "PUT") {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.uploadTotal));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, OnUpload);
        curl_easy_setopt(e, CURLOPT_READDATA, &r);
        curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, OnSeek);
        curl_easy_setopt(e, CURLOPT_SEEKDATA, &r);
        if (r.verb != "POST")
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
    }

    // curl's own Accept, Expect and form Content-Type headers are not what WinHTTP sends.
    r.headerList = curl_slist_append(r.headerList, "Accept:");
    r.headerList = curl_slist_append(r.headerList, "Expect:");
    bool hasType = std::any_of(headers.begin(), headers.end(),
                               [](const auto& h) { return Platform::EqualsNoCaseAscii(h.first, "Content-Type"); });
    if (!hasType)
        r.headerList = curl_slist_append(r.headerList, "Content-Type:");
    for (const auto& [name, value] : headers) {
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        r.headerList = curl_slist_append(r.headerList, line.c_str());
        if (Platform::EqualsNoCaseAscii(name, "Connection") && Platform::EqualsNoCaseAscii(value, "close"))
            noReuse = true;
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headerList);
    if (!agent.empty())
        curl_easy_setopt(e, CURLOPT_USERAGENT, agent.c_str());
    // Asynchronous transfers share the worker's pool across all handles; they are long downloads,
    // so their connections are not kept for others.
    if (noReuse || r.async)
        curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);

    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, OnPrereq);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &r);

    // curl's connect limit covers name resolution and the TLS handshake as well.
    long connectMs = 0;
    if (r.activeTimeouts.connect > 0)
        connectMs = r.activeTimeouts.connect + std::max(0, r.activeTimeouts.resolve);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connectMs);

    curl_easy_setopt(e, CURLOPT_PROXY, ProxyForRequest(proxy, r.connect->host, r.secure).c_str());
    // The bypass list was applied above; curl must not let the environment's no_proxy override
    // the proxy the caller chose.
    curl_easy_setopt(e, CURLOPT_NOPROXY, "");
    if (proxyCred) {
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, proxyCred->first.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, proxyCred->second.c_str());
    }
    if (serverCred) {
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(e, CURLOPT_USERNAME, serverCred->first.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, serverCred->second.c_str());
    }

    if (r.secure) {
        // Verification is ours (SslContextFunction): curl only loads the roots and applies the result.
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, SslContextFunction);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &r);
        std::string roots = TrustedRootsFile();
        if (!roots.empty()) {
            curl_easy_setopt(e, CURLOPT_CAINFO, roots.c_str());
            curl_easy_setopt(e, CURLOPT_CAPATH, "/etc/ssl/certs");
        }
    }

    if (curl_multi_add_handle(multi, e) != CURLM_OK) {
        DetachTransfer(r);
        r.done = true;
        r.error = ERROR_WINHTTP_INTERNAL_ERROR;
        return false;
    }
    r.multi = multi;
    r.sent = true;
    return true;
}

void DetachTransfer(Request& r) {
    if (r.easy) {
        if (r.multi)
            curl_multi_remove_handle(r.multi, r.easy);
        curl_easy_cleanup(r.easy);
    }
    r.multi = nullptr;
    r.easy = nullptr;
    if (r.headerList) {
        curl_slist_free_all(r.headerList);
        r.headerList = nullptr;
    }
}

void FailTransfer(Request& r, DWORD error) {
    if (r.easy && r.multi) {
        curl_multi_remove_handle(r.multi, r.easy);
        r.multi = nullptr;
    }
    r.done = true;
    r.error = error;
}

void DrainMessages(CURLM* multi) {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        Request* r = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &r);
        CURLcode code = msg->data.result;
        curl_multi_remove_handle(multi, msg->easy_handle);  // invalidates msg
        if (!r)
            continue;
        r->multi = nullptr;
        r->done = true;
        if (code != CURLE_OK && r->connectStatus == 407 && !r->prereq) {
            // The proxy wants credentials before it opens the tunnel: that is the answer.
            std::lock_guard<std::mutex> lock(r->infoMutex);
            r->status = 407;
            r->statusText = r->connectStatusText;
            r->httpVersion = "HTTP/1.1";
            r->responseHeaders = r->connectHeaders;
            r->headersDone = true;
            r->error = 0;
            continue;
        }
        r->error = MapCurlError(code, *r);
        r->secureFailureToReport = r->error == ERROR_WINHTTP_SECURE_FAILURE;
    }
}

void AfterConsume(Request& r) {
    if (r.bodyPos == r.body.size()) {
        r.body.clear();
        r.bodyPos = 0;
    } else if (r.bodyPos > 65536 && r.bodyPos * 2 > r.body.size()) {
        r.body.erase(0, r.bodyPos);
        r.bodyPos = 0;
    }
    if (r.recvPaused && r.Buffered() < kLowWater && r.easy && r.multi && !r.done) {
        r.recvPaused = false;
        curl_easy_pause(r.easy, r.uploadPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT);
    }
}

void AfterFeed(Request& r) {
    if (r.uploadPaused && r.easy && r.multi && !r.done) {
        r.uploadPaused = false;
        curl_easy_pause(r.easy, r.recvPaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
    }
}

int IdleTimeout(const Request& r) {
    if (!r.prereq)
        return 0;  // curl's connect time-out governs until the connection stands
    bool sending = r.uploadPos < r.upload.size() || r.uploadFed < r.uploadTotal;
    int t = sending ? r.activeTimeouts.send : r.activeTimeouts.receive;
    return t > 0 ? t : 0;
}

DWORD MapCurlError(CURLcode code, const Request& r) {
    if (code == CURLE_OK)
        return 0;
    {
        std::lock_guard<std::mutex> lock(const_cast<Request&>(r).infoMutex);
        if (r.pinMismatch || (r.tlsIssues & ~r.ignoredIssues))
            return ERROR_WINHTTP_SECURE_FAILURE;
        if (r.clientCertRequested && !r.prereq)
            return ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED;
    }
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_WINHTTP_TIMEOUT;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_WINHTTP_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_WINHTTP_CANNOT_CONNECT;
        case CURLE_URL_MALFORMAT:
            return ERROR_WINHTTP_INVALID_URL;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CRL_BADFILE:
            return ERROR_WINHTTP_SECURE_FAILURE;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
            return ERROR_WINHTTP_CONNECTION_ERROR;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_BAD_CONTENT_ENCODING:
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case CURLE_ABORTED_BY_CALLBACK:
            return ERROR_WINHTTP_OPERATION_CANCELLED;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case CURLE_TOO_MANY_REDIRECTS:
            return ERROR_WINHTTP_REDIRECT_FAILED;
        case CURLE_LOGIN_DENIED:
            return ERROR_WINHTTP_LOGIN_FAILURE;
        default:
            return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

void ReportSecureFailure(Request& r) {
    if (!r.secureFailureToReport)
        return;
    r.secureFailureToReport = false;
    DWORD flags;
    {
        std::lock_guard<std::mutex> lock(r.infoMutex);
        flags = r.tlsIssues ? r.tlsIssues : WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR;
    }
    Notify(r, WINHTTP_CALLBACK_STATUS_SECURE_FAILURE, &flags, sizeof flags);
}

}  // namespace Platform::Http::Detail
