// What an endpoint sees and answers, and how an endpoint registers itself.
//
// Each endpoint lives in its own file under Endpoints/ and registers with a static object:
//
//     static OstrelServer::SoapEndpoint s_noOp("NoOpRequest", [](const OstrelServer::SoapCall& call) {
//         return OstrelServer::SoapReply::Body("<NoOpResponse xmlns=\"urn:ostrelMail\"/>");
//     });
//
// The library is an object library so that such files are always linked in.
#pragma once

#include "Soap.h"

#include <httplib.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace OstrelServer {

class Server;

struct SoapCall {
    Server& server;
    const httplib::Request& http;
    const SoapDocument& doc;
    const std::string& callName;
};

struct SoapReply {
    int status = 200;
    std::string bodyXml;     // inner XML of soap:Body
    std::string contextXml;  // inner XML of the header's context element
    std::vector<std::pair<std::string, std::string>> headers;

    static SoapReply Body(std::string xml);
    // A SOAP fault with the server's error code, delivered with HTTP status 500.
    static SoapReply Fault(const std::string& code, const std::string& reason,
                           const std::string& detailXml = std::string());
};

struct HttpCall {
    Server& server;
    const httplib::Request& req;
    httplib::Response& res;
    const std::string& path;  // the request path without a proxy's scheme and authority
};

using SoapHandler = std::function<SoapReply(const SoapCall&)>;
using HttpHandler = std::function<void(HttpCall&)>;

struct SoapEndpoint {
    SoapEndpoint(const char* callName, SoapHandler handler);
};

// Handles requests of `method` whose path starts with `pathPrefix` (the longest prefix wins).
struct HttpEndpoint {
    HttpEndpoint(const char* method, const char* pathPrefix, HttpHandler handler);
};

const std::map<std::string, SoapHandler>& RegisteredSoapEndpoints();
const std::map<std::pair<std::string, std::string>, HttpHandler>& RegisteredHttpEndpoints();

}  // namespace OstrelServer
