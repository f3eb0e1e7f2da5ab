// Fault injection: scripted deviations from the normal answer, consumed in order by the requests
// they match.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace OstrelServer {

struct Fault {
    // Which requests it applies to: a SOAP call name, or an HTTP path prefix starting with '/';
    // empty matches every request.
    std::string match;
    // How many matching requests it applies to; -1 for all of them.
    int times = 1;

    // Replacements of the answer (the first that is set wins).
    int httpStatus = 0;         // answer with this status and `body` instead
    std::string body;           // with httpStatus
    std::string soapFaultCode;  // answer with a SOAP fault (HTTP 500) carrying this error code
    std::string soapFaultReason = "injected fault";
    std::string soapFaultDetail;  // extra XML inside the fault's Error element

    // Additions to whatever is answered.
    std::vector<std::pair<std::string, std::string>> headers;  // e.g. X-Ostrel-Fault-Code, DoSFilter

    // Transport behaviour.
    int delayMs = 0;           // wait before answering (cut short when the server stops)
    bool chunked = false;      // no Content-Length, chunked transfer coding
    bool dropMidBody = false;  // send part of the body, then close the connection
    size_t padBytes = 0;       // grow a SOAP answer by this many bytes of padding lines

    // Builders: Fault::For("SaveDocumentRequest", 16).SoapFault("mail.ALREADY_EXISTS").
    static Fault For(std::string match = std::string(), int times = 1) {
        Fault f;
        f.match = std::move(match);
        f.times = times;
        return f;
    }
    // The next `times` message downloads answered 401, as when the token expired meanwhile.
    static Fault UnauthorizedDownload(int times = 1) { return For("/service/download", times).Status(401); }
    Fault& Status(int status, std::string text = std::string()) {
        httpStatus = status;
        body = std::move(text);
        return *this;
    }
    Fault& SoapFault(std::string code, std::string reason = "injected fault", std::string detail = std::string()) {
        soapFaultCode = std::move(code);
        soapFaultReason = std::move(reason);
        soapFaultDetail = std::move(detail);
        return *this;
    }
    Fault& Header(std::string name, std::string value) {
        headers.emplace_back(std::move(name), std::move(value));
        return *this;
    }
    Fault& DosFilter() { return Header("DoSFilter", "unavailable"); }
    Fault& Delay(int ms) {
        delayMs = ms;
        return *this;
    }
    Fault& Chunked() {
        chunked = true;
        return *this;
    }
    Fault& DropMidBody() {
        dropMidBody = true;
        return *this;
    }
    Fault& Pad(size_t bytes) {
        padBytes = bytes;
        return *this;
    }
};

// Thread-safe queue of faults.
class FaultPlan {
public:
    void Add(Fault fault);
    void Clear();
    // The first fault matching the request (by call name or path), counting one use of it.
    std::optional<Fault> Take(const std::string& callName, const std::string& path);
    size_t Pending() const;

private:
    mutable std::mutex m_mutex;
    std::vector<Fault> m_faults;
};

}  // namespace OstrelServer
