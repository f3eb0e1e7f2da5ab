// The base of every SOAP request: the envelope document, its template, and the operations that
// put nodes into the header context and the body. BatchRequest bundles finished requests.
#pragma once

#include <string>

#include "Ostrel/Rpc/Soap/RequestAcl.h"
#include "Platform/Xml/Dom.h"

namespace Ostrel::Rpc {

class Request {
public:
    // Envelope templates, one line each. The BES twins hold the same texts; they are read in the
    // handheld-server edition.
    static const wchar_t* const _pRequestTemplate;
    static const wchar_t* const _pRequestTemplateBES;
    static const wchar_t* const _pRequestTemplateMinusNoQualify;
    static const wchar_t* const _pRequestTemplateBESMinusNoQualify;
    static const wchar_t* const _pRequestTemplateSyncGal;
    static const wchar_t* const _pRequestTemplateSyncGalBES;

    // Both forms build the document; the first leaves the call name unset. Throw
    // std::runtime_error when no document can be made.
    Request();
    Request(const wchar_t* pwszCallName, int minusNoQualify);
    virtual ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // The call name (no copy; null when unset).
    virtual const wchar_t* CallName();
    // Replaces the call name with a copy of the argument; null leaves it unchanged.
    virtual void InitCallName(const wchar_t* pwszCallName);

    // The envelope, without an added reference.
    IXMLDOMDocument2* GetDocument() { return m_pDocument; }

    // Header context entries (namespace urn:ostrel). All but SetTargetAccount replace an earlier
    // entry of the same name, so a request can be stamped again before each send.
    HRESULT SetAuthTokenNode(const wchar_t* pwszToken);
    HRESULT SetNoSessionNode();
    HRESULT SetSessionId(const wchar_t* pwszSessionId);
    HRESULT SetUserAgentNode(const wchar_t* pwszVersion);
    HRESULT SetTargetAccount(GUID accountId);
    HRESULT SetTargetAccount(const wchar_t* pwszAccountName);

protected:
    // Loads the envelope template that fits the call name (see the templates above) into the
    // document, creating the document first when there is none.
    void init(int minusNoQualify);

    HRESULT AppendToSoapHeader(IXMLDOMElement* pElement);
    HRESULT AppendToSoapBody(IXMLDOMElement* pElement);
    // Appends to the header's context element (creating that when missing); with `replace`, an
    // earlier context entry of the node's name is removed first.
    HRESULT AppendToSoapHeaderContext(IXMLDOMNode* pNode, int replace);
    // Appends one `grant` element per entry to `parent`: 1 on success, 0 (logged) on failure.
    int SetFolderAcl(IXMLDOMElement* pParent, const ACL* pAcl);

private:
    HRESULT AppendTo(const wchar_t* pwszXPath, IXMLDOMNode* pNode);
    HRESULT NewContextNode(const wchar_t* pwszName, IXMLDOMElement** ppElement);

    IXMLDOMDocument2* m_pDocument = nullptr;
    wchar_t* m_pwszCallName = nullptr;
};

class BatchRequest : public Request {
public:
    BatchRequest();
    ~BatchRequest() override;

    // Moves the body element of a finished request into this batch, marked with requestId. The
    // element leaves the other request's document; the batch's own header context applies.
    HRESULT AppendRequest(Request* pRequest, LONGLONG requestId);
    // The XML of the BatchRequest element alone.
    HRESULT GetRequestXML(std::wstring& wsXml);

private:
    IXMLDOMElement* m_pBatchElement = nullptr;
};

}  // namespace Ostrel::Rpc
