// Internal object model of the WinHTTP stand-in: handle table, session, connect and request
// objects, and the transfer machinery shared by the synchronous and asynchronous paths.
#pragma once

#include "Platform/Base/HResult.h"
#include "Platform/Http/WinHttp.h"

#include <curl/curl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Platform::Http::Detail {

using SteadyClock = std::chrono::steady_clock;

// WinHTTP's defaults: no resolve limit, 60 s connect, 30 s send and receive.
struct Timeouts {
    int resolve = 0;
    int connect = 60000;
    int send = 30000;
    int receive = 30000;
};

struct ProxySetting {
    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::wstring proxy;
    std::wstring bypass;
};

struct Object {
    explicit Object(DWORD t) : type(t) {}
    virtual ~Object() = default;

    const DWORD type;
    HINTERNET handle = nullptr;
    std::mutex optMutex;  // guards everything below
    WINHTTP_STATUS_CALLBACK callback = nullptr;
    DWORD notifyFlags = 0;
    DWORD_PTR context = 0;
    Timeouts timeouts;
    std::string userAgent;
};

struct Session : Object {
    Session() : Object(WINHTTP_HANDLE_TYPE_SESSION) {}
    bool async = false;
    ProxySetting proxy;  // guarded by optMutex
};

struct Connect : Object {
    Connect() : Object(WINHTTP_HANDLE_TYPE_CONNECT) {}
    ~Connect() override;

    std::shared_ptr<Session> session;
    std::string host;  // UTF-8
    INTERNET_PORT port = 0;

    // The pool of the synchronous requests of this connect handle (made with the handle); one
    // thread pumps it at a time.
    std::mutex pumpMutex;
    CURLM* multi = nullptr;
};

enum class PendingOp { None, Send, Write, Receive, QueryData, Read };

struct Request : Object {
    Request() : Object(WINHTTP_HANDLE_TYPE_REQUEST) {}
    ~Request() override;

    std::shared_ptr<Connect> connect;
    bool async = false;
    std::string verb;
    std::string object;  // escaped path and query
    bool secure = false;

    // Options (optMutex).
    std::vector<std::pair<std::string, std::string>> headers;
    DWORD securityFlags = 0;
    std::optional<ProxySetting> proxy;
    std::optional<std::pair<std::string, std::string>> serverCredentials;
    std::optional<std::pair<std::string, std::string>> proxyCredentials;
    std::optional<std::array<BYTE, 20>> pin;
    uint64_t declaredLength = 0;  // the body length of the last WinHttpSendRequest

    // Transfer state: touched only by the pumping thread (the caller under connect->pumpMutex,
    // or the asynchronous worker).
    CURL* easy = nullptr;
    CURLM* multi = nullptr;  // the multi handle `easy` is attached to, if any
    curl_slist* headerList = nullptr;
    bool sent = false;
    bool prereq = false;  // connected (and TLS done); the request is going out
    // The proxy's answer to CONNECT (headers that arrive before `prereq`): a 407 there is handed
    // to the caller as the request's own answer, so that it can ask for proxy credentials.
    int connectStatus = 0;
    std::string connectStatusText;
    std::vector<std::pair<std::string, std::string>> connectHeaders;
    std::string upload;
    size_t uploadPos = 0;
    uint64_t uploadTotal = 0;
    uint64_t uploadFed = 0;
    uint64_t uploadDiscarded = 0;  // bytes already dropped from the front of `upload`
    bool uploadPaused = false;
    std::string body;
    size_t bodyPos = 0;
    bool recvPaused = false;
    bool done = false;
    DWORD error = 0;
    bool secureFailureToReport = false;  // notified outside the pump lock
    SteadyClock::time_point lastActivity;
    SteadyClock::time_point waitStart;
    Timeouts activeTimeouts;  // copied from the options when the transfer starts
    DWORD ignoredIssues = 0;  // certificate issues the security flags allow
    std::optional<std::array<BYTE, 20>> activePin;
    std::string tlsHost;

    std::atomic<bool> cancelled{false};  // closed while a call pumps it

    // Asynchronous operation in flight.
    PendingOp pending = PendingOp::None;
    char* readBuffer = nullptr;
    DWORD readSize = 0;
    bool closing = false;

    // Response and TLS facts (infoMutex): readable from any thread.
    std::mutex infoMutex;
    bool headersDone = false;
    int status = 0;
    std::string statusText;
    std::string httpVersion;
    std::vector<std::pair<std::string, std::string>> responseHeaders;
    DWORD tlsIssues = 0;
    bool pinMismatch = false;
    bool clientCertRequested = false;
    PCCERT_CONTEXT serverCert = nullptr;

    size_t Buffered() const { return body.size() - bodyPos; }
};

// Handle table; every call looks its objects up here, so a closed or foreign handle fails cleanly.
HINTERNET RegisterHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HINTERNET handle);
std::shared_ptr<Object> UnregisterHandle(HINTERNET handle);

// Looks a handle up and checks its type; sets the last error and returns null on failure.
template <class T>
std::shared_ptr<T> LookupAs(HINTERNET handle, DWORD type) {
    std::shared_ptr<Object> object = LookupHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (object->type != type) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

void Notify(Request& r, DWORD status, void* info, DWORD length);

// Transfer.cpp
bool StartTransfer(Request& r, CURLM* multi);  // builds the easy handle and attaches it
void DetachTransfer(Request& r);               // removes and frees the easy handle
void FailTransfer(Request& r, DWORD error);    // ends the transfer with an error
void DrainMessages(CURLM* multi);              // marks finished transfers done
void AfterConsume(Request& r);                 // resumes paused receiving, compacts the buffer
void AfterFeed(Request& r);                    // resumes paused sending after new upload data
int IdleTimeout(const Request& r);             // the time-out of the current phase, 0 for none
DWORD MapCurlError(CURLcode code, const Request& r);
void ReportSecureFailure(Request& r);  // the secure-failure notification, if one is due
std::string BuildUrl(const Request& r);

// Tls.cpp
CURLcode SslContextFunction(CURL* curl, void* sslCtx, void* userData);
void CaptureConnectionCertificate(Request& r);
std::string TrustedRootsFile();

// Proxy.cpp
std::string ProxyForRequest(const ProxySetting& setting, const std::string& host, bool secure);
bool ProxyBypassed(const std::wstring& bypass, const std::string& host);

// AsyncWorker.cpp
void PostToWorker(std::shared_ptr<Request> r, std::function<void()> task);  // runs on the worker
CURLM* WorkerMulti();                                                       // valid on the worker thread only

}  // namespace Platform::Http::Detail
