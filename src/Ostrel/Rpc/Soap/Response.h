// The base of every SOAP response and the factory that turns a received envelope into the typed
// response (or fault object) named by the first element of its body.
#pragma once

#include <optional>
#include <string>

#include "Platform/Xml/Dom.h"

namespace Ostrel::Rpc {

class Response {
public:
    // Sets the selection language and namespaces on the document (so that every response can use
    // the prefixes soap, l, mail, account and admin), keeps a reference to it and reads the change
    // token of the header context.
    explicit Response(IXMLDOMDocument2* pDocument);
    // Copies share the document (a reference is added) and copy the token.
    Response(const Response& other);
    Response& operator=(const Response&) = delete;
    virtual ~Response();

    // The `token` of /soap:Envelope/soap:Header/l:context/l:change, or null.
    virtual const wchar_t* GetChangeToken();
    // The document, without an added reference.
    IXMLDOMDocument2* GetDocument() const { return m_pDocument; }

    class Manager {
    public:
        // The typed response for the document, owned by the caller (never null). A fault body
        // gives the fault object of its error code, returned rather than thrown. A null document
        // or one without a SOAP body throws WinHttpException(12006).
        static Response* NewResponse(IXMLDOMDocument2* pDocument);
        // Deletes a response; null is ignored.
        static void DeleteResponse(Response* pResponse);
    };

private:
    IXMLDOMDocument2* m_pDocument;
    std::optional<std::wstring> m_owsChangeToken;
};

// The reply to a BatchRequest: only the document, for the caller to read.
class BatchResponse {
public:
    BatchResponse() = default;
    explicit BatchResponse(IXMLDOMDocument2* pDocument);
    ~BatchResponse();
    BatchResponse(const BatchResponse&) = delete;
    BatchResponse& operator=(const BatchResponse&) = delete;

    IXMLDOMDocument2* GetDocument() const { return m_pDocument; }

private:
    IXMLDOMDocument2* m_pDocument = nullptr;
};

}  // namespace Ostrel::Rpc
