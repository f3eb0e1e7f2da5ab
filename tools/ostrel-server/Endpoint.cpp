#include "Endpoint.h"

namespace OstrelServer {

namespace {

std::map<std::string, SoapHandler>& SoapTable() {
    static std::map<std::string, SoapHandler> table;
    return table;
}

std::map<std::pair<std::string, std::string>, HttpHandler>& HttpTable() {
    static std::map<std::pair<std::string, std::string>, HttpHandler> table;
    return table;
}

}  // namespace

SoapReply SoapReply::Body(std::string xml) {
    SoapReply r;
    r.bodyXml = std::move(xml);
    return r;
}

SoapReply SoapReply::Fault(const std::string& code, const std::string& reason, const std::string& detailXml) {
    SoapReply r;
    r.status = 500;
    r.bodyXml = SoapFaultBody(code, reason, detailXml);
    return r;
}

SoapEndpoint::SoapEndpoint(const char* callName, SoapHandler handler) {
    SoapTable()[callName] = std::move(handler);
}

HttpEndpoint::HttpEndpoint(const char* method, const char* pathPrefix, HttpHandler handler) {
    HttpTable()[{method, pathPrefix}] = std::move(handler);
}

const std::map<std::string, SoapHandler>& RegisteredSoapEndpoints() {
    return SoapTable();
}

const std::map<std::pair<std::string, std::string>, HttpHandler>& RegisteredHttpEndpoints() {
    return HttpTable();
}

}  // namespace OstrelServer
