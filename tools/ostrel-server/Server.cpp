#include "Server.h"

#include <openssl/evp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace OstrelServer {

namespace {

constexpr size_t kMaxRecorded = 10000;
constexpr size_t kMaxRecordedBody = 1 << 20;
const char* const kSoapContentType = "application/soap+xml; charset=utf-8";

std::string Base64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

bool IsSoapPath(const std::string& path) {
    return path.rfind("/service/soap", 0) == 0 || path.rfind("/service/admin/soap", 0) == 0;
}

// Strips "http://host:port" from an absolute request target (the proxy role).
std::string LocalPath(const std::string& path, bool& viaProxy) {
    viaProxy = false;
    for (const char* scheme : {"http://", "https://"}) {
        if (path.rfind(scheme, 0) == 0) {
            viaProxy = true;
            size_t slash = path.find('/', std::char_traits<char>::length(scheme));
            return slash == std::string::npos ? "/" : path.substr(slash);
        }
    }
    return path;
}

// Padding lines in their own namespace inside the SOAP header, where no reader looks.
std::string Padding(size_t bytes) {
    std::string out = "<pad xmlns=\"urn:ostrelSimulator\">";
    static const std::string line = std::string(63, 'x') + "\n";
    while (bytes >= line.size()) {
        out += line;
        bytes -= line.size();
    }
    out.append(bytes, 'x');
    out += "</pad>";
    return out;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

bool RecordedRequest::HasHeader(const std::string& name) const {
    return headers.find(name) != headers.end();
}

Server::Server(ServerOptions options) : m_options(std::move(options)) {}

Server::~Server() {
    Stop();
}

std::string Server::BaseUrl() const {
    return std::string(m_options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
}

void Server::Start() {
    if (m_pHttp)
        throw std::runtime_error("server already started");
    if (m_options.tls) {
        m_certificate = m_options.certificate ? *m_options.certificate : Certificate::Generate(CertificateOptions{});
        m_pHttp = std::make_unique<httplib::SSLServer>(m_certificate.Cert(), m_certificate.Key());
    } else {
        m_pHttp = std::make_unique<httplib::Server>();
    }
    if (!m_pHttp->is_valid())
        throw std::runtime_error("server: TLS set-up failed");
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_bStopping = false;
    }
    // Keep connections open for reuse, but not so long that stopping waits on idle clients.
    m_pHttp->set_keep_alive_max_count(100000);
    m_pHttp->set_keep_alive_timeout(2);
    m_pHttp->set_payload_max_length(size_t(1) << 31);  // uploads of large messages
    // A streamed answer ends with a small write (the last chunk); held back until the peer's
    // delayed acknowledgement, it would add about 40 ms to every such answer.
    m_pHttp->set_tcp_nodelay(true);
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); };
    m_pHttp->Get(".*", handler);
    m_pHttp->Post(".*", handler);
    m_pHttp->Put(".*", handler);
    m_pHttp->Delete(".*", handler);
    m_pHttp->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content("internal simulator error", "text/plain");
    });

    // The library's default also sets SO_REUSEPORT, with which a second server binds a port in
    // use and the two take turns answering: only SO_REUSEADDR, so a busy port is refused.
    m_pHttp->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (m_options.port > 0) {
        if (!m_pHttp->bind_to_port("127.0.0.1", m_options.port)) {
            const int error = errno;
            const std::string where = "127.0.0.1:" + std::to_string(m_options.port);
            throw std::runtime_error(error == EADDRINUSE ? where + " is in use by another program"
                                                         : "cannot listen on " + where + ": " + std::strerror(error));
        }
        m_port = m_options.port;
    } else {
        m_port = m_pHttp->bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            throw std::runtime_error("server: cannot bind 127.0.0.1");
    }
    httplib::Server* http = m_pHttp.get();
    m_thread = std::thread([http] { http->listen_after_bind(); });
    // There is no readiness signal: the socket is bound and listening already, accept runs shortly.
    while (!http->is_running())
        std::this_thread::yield();
}

void Server::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_bStopping = true;
    }
    m_stopCv.notify_all();
    if (m_pHttp)
        m_pHttp->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_pHttp.reset();
}

bool Server::WaitFor(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_stopMutex);
    return !m_stopCv.wait_for(lock, duration, [this] { return m_bStopping; });
}

void Server::RequireBasicAuth(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_basicAuth = user.empty() ? std::string() : user + ":" + password;
}

void Server::RequireProxyAuth(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_proxyAuth = user.empty() ? std::string() : user + ":" + password;
}

void Server::SetSoapHandler(const std::string& callName, SoapHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_soapHandlers[callName] = std::move(handler);
}

void Server::SetHttpHandler(const std::string& method, const std::string& pathPrefix, HttpHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_httpHandlers[{method, pathPrefix}] = std::move(handler);
}

std::vector<RecordedRequest> Server::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void Server::ClearRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

bool Server::CheckAuth(const httplib::Request& req, httplib::Response& res, bool viaProxy) {
    std::string basic, proxy;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        basic = m_basicAuth;
        proxy = m_proxyAuth;
    }
    if (viaProxy && !proxy.empty() && req.get_header_value("Proxy-Authorization") != "Basic " + Base64(proxy)) {
        res.status = 407;
        res.set_header("Proxy-Authenticate", "Basic realm=\"Ostrel Proxy\"");
        res.set_content("<html><head><title>407 Proxy Authentication Required</title></head></html>", "text/html");
        return false;
    }
    if (!basic.empty() && req.get_header_value("Authorization") != "Basic " + Base64(basic)) {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"Ostrel\"");
        res.set_content("<html><head><title>401 Unauthorized</title></head></html>", "text/html");
        return false;
    }
    return true;
}

void Server::Handle(const httplib::Request& req, httplib::Response& res) {
    bool viaProxy = false;
    std::string path = LocalPath(req.path, viaProxy);
    bool soap = req.method == "POST" && IsSoapPath(path);
    std::unique_ptr<SoapDocument> doc;
    std::string parseError;
    if (soap)
        doc = SoapDocument::Parse(req.body, &parseError);
    std::string callName = doc ? doc->CallName() : std::string();

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_requests.size() >= kMaxRecorded)
            m_requests.erase(m_requests.begin());
        m_requests.push_back(RecordedRequest{req.method, req.target, path, callName, req.headers,
                                             req.body.substr(0, kMaxRecordedBody), viaProxy});
    }
    if (!CheckAuth(req, res, viaProxy))
        return;

    std::optional<Fault> fault = m_faults.Take(callName, path);
    if (fault && fault->delayMs > 0 && !WaitFor(std::chrono::milliseconds(fault->delayMs))) {
        res.status = 503;
        return;
    }
    if (fault && fault->httpStatus) {
        res.status = fault->httpStatus;
        res.body = fault->body;
        res.set_header("Content-Type", "text/html");
    } else if (soap) {
        HandleSoap(req, res, path, fault, doc.get(), parseError);
    } else {
        HandleHttp(req, res, path);
    }
    if (fault) {
        for (const auto& [name, value] : fault->headers)
            res.set_header(name, value);
        ApplyTransport(res, *fault, res.get_header_value("Content-Type"));
    }
}

void Server::HandleSoap(const httplib::Request& req, httplib::Response& res, const std::string&,
                        const std::optional<Fault>& fault, const SoapDocument* doc, const std::string& parseError) {
    SoapReply reply;
    if (!doc) {
        reply = SoapReply::Fault("service.PARSE_ERROR", "cannot parse request: " + parseError);
    } else if (fault && !fault->soapFaultCode.empty()) {
        reply = SoapReply::Fault(fault->soapFaultCode, fault->soapFaultReason, fault->soapFaultDetail);
    } else {
        SoapHandler handler;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_soapHandlers.find(doc->CallName());
            if (it != m_soapHandlers.end())
                handler = it->second;
        }
        if (!handler) {
            const auto& registered = RegisteredSoapEndpoints();
            auto it = registered.find(doc->CallName());
            if (it != registered.end())
                handler = it->second;
        }
        if (handler)
            reply = handler(SoapCall{*this, req, *doc, doc->CallName()});
        else if (doc->CallName().empty())
            reply = SoapReply::Fault("service.INVALID_REQUEST", "no request in the SOAP body");
        else
            reply = SoapReply::Fault("service.UNKNOWN_DOCUMENT", "unknown document: " + doc->CallName());
    }
    std::string context = reply.contextXml;
    std::string envelope = SoapEnvelope(reply.bodyXml, context);
    if (fault && fault->padBytes) {
        // Padding goes into the header, after the context element.
        size_t at = envelope.find("</soap:Header>");
        envelope.insert(at, Padding(fault->padBytes));
    }
    res.status = reply.status;
    for (const auto& [name, value] : reply.headers)
        res.set_header(name, value);
    res.set_content(envelope, kSoapContentType);
}

void Server::HandleHttp(const httplib::Request& req, httplib::Response& res, const std::string& path) {
    // The longest matching prefix wins; on equal prefixes an instance handler beats a registered one.
    HttpHandler handler;
    size_t best = 0;
    auto consider = [&](const std::pair<std::string, std::string>& key, const HttpHandler& h) {
        if (key.first == req.method && path.rfind(key.second, 0) == 0 && (!handler || key.second.size() > best)) {
            best = key.second.size();
            handler = h;
        }
    };
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [key, h] : m_httpHandlers)
            consider(key, h);
    }
    for (const auto& [key, h] : RegisteredHttpEndpoints())
        consider(key, h);
    if (!handler) {
        res.status = 404;
        res.set_content("<html><head><title>Error 404 Not Found</title></head></html>", "text/html");
        return;
    }
    HttpCall call{*this, req, res, path};
    handler(call);
}

void Server::ApplyTransport(httplib::Response& res, const Fault& fault, const std::string& contentType) {
    if (!fault.chunked && !fault.dropMidBody)
        return;
    if (res.content_provider_) {
        return;  // the endpoint streams its answer itself
    }
    auto body = std::make_shared<std::string>(std::move(res.body));
    res.body.clear();
    // A dropped answer stops after half of the body and then fails the provider, which closes the connection.
    size_t limit = fault.dropMidBody ? body->size() / 2 : body->size();
    bool drop = fault.dropMidBody;
    std::string type = contentType.empty() ? "application/octet-stream" : contentType;
    if (fault.chunked) {
        res.set_chunked_content_provider(type, [body, limit, drop](size_t offset, httplib::DataSink& sink) {
            if (offset >= limit) {
                if (drop)
                    return false;
                sink.done();
                return true;
            }
            size_t n = std::min<size_t>(16384, limit - offset);
            return sink.write(body->data() + offset, n);
        });
    } else {
        res.set_content_provider(body->size(), type,
                                 [body, limit](size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (offset >= limit)
                                         return false;
                                     size_t n = std::min({length, limit - offset, size_t(16384)});
                                     return sink.write(body->data() + offset, n);
                                 });
    }
}

}  // namespace OstrelServer
