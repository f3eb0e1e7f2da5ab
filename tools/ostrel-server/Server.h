// The Ostrel server simulator: HTTP or HTTPS on 127.0.0.1, SOAP 1.2 on /service/soap/ dispatched
// by the first body element, plain HTTP endpoints, fault injection and a record of every request.
#pragma once

#include "Certificate.h"
#include "Endpoint.h"
#include "Faults.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <typeindex>
#include <vector>

namespace OstrelServer {

struct ServerOptions {
    bool tls = false;
    // The TLS certificate; when absent a self-signed one for localhost and 127.0.0.1 is generated.
    std::optional<Certificate> certificate;
    int port = 0;  // 0 picks a free port
};

struct RecordedRequest {
    std::string method;
    std::string target;    // as sent, absolute when it came through the proxy role
    std::string path;      // local path
    std::string callName;  // SOAP call name, empty for other requests
    httplib::Headers headers;
    std::string body;
    bool viaProxy = false;

    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

class Server {
public:
    explicit Server(ServerOptions options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds 127.0.0.1 and serves on a background thread; throws std::runtime_error on failure.
    void Start();
    // Ends pending delays, stops accepting and waits for the workers.
    void Stop();

    int Port() const { return m_port; }
    bool IsTls() const { return m_options.tls; }
    std::string BaseUrl() const;
    const Certificate& GetCertificate() const { return m_certificate; }

    FaultPlan& Faults() { return m_faults; }
    // Requests without these Basic credentials get 401 (server) or, when they come through the
    // proxy role (absolute request target), 407. An empty user switches the check off.
    void RequireBasicAuth(const std::string& user, const std::string& password);
    void RequireProxyAuth(const std::string& user, const std::string& password);

    // Per-instance handlers take precedence over the registered endpoints.
    void SetSoapHandler(const std::string& callName, SoapHandler handler);
    void SetHttpHandler(const std::string& method, const std::string& pathPrefix, HttpHandler handler);

    std::vector<RecordedRequest> Requests() const;
    void ClearRequests();

    // Per-instance state of an endpoint area, created on first use. T guards itself.
    template <class T>
    T& State() {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        auto& slot = m_state[std::type_index(typeid(T))];
        if (!slot)
            slot = std::make_shared<T>();
        return *static_cast<T*>(slot.get());
    }

    // Waits the given time; returns early with false when the server is stopping.
    bool WaitFor(std::chrono::milliseconds duration);

private:
    void Handle(const httplib::Request& req, httplib::Response& res);
    bool CheckAuth(const httplib::Request& req, httplib::Response& res, bool viaProxy);
    void HandleSoap(const httplib::Request& req, httplib::Response& res, const std::string& path,
                    const std::optional<Fault>& fault, const SoapDocument* doc, const std::string& parseError);
    void HandleHttp(const httplib::Request& req, httplib::Response& res, const std::string& path);
    static void ApplyTransport(httplib::Response& res, const Fault& fault, const std::string& contentType);

    ServerOptions m_options;
    Certificate m_certificate;
    std::unique_ptr<httplib::Server> m_pHttp;
    std::thread m_thread;
    int m_port = 0;

    FaultPlan m_faults;

    mutable std::mutex m_mutex;  // handlers, credentials, request record
    std::map<std::string, SoapHandler> m_soapHandlers;
    std::map<std::pair<std::string, std::string>, HttpHandler> m_httpHandlers;
    std::string m_basicAuth;  // expected "user:password", empty for none
    std::string m_proxyAuth;
    std::vector<RecordedRequest> m_requests;

    std::mutex m_stopMutex;
    std::condition_variable m_stopCv;
    bool m_bStopping = false;

    std::mutex m_stateMutex;
    std::map<std::type_index, std::shared_ptr<void>> m_state;
};

}  // namespace OstrelServer
