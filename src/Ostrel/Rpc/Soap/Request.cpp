#include "Ostrel/Rpc/Soap/Request.h"

#include <cwchar>
#include <stdexcept>

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"
#include "Util/Text/Guid.h"
#include "Util/Text/Localized.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Rpc {

using Platform::ComPtr;

#define OSTREL_ENVELOPE(context)                                                           \
    L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>" \
    L"<context xmlns=\"urn:ostrel\">" context L"</context></soap:Header><soap:Body></soap:Body></soap:Envelope>"

const wchar_t* const Request::_pRequestTemplate = OSTREL_ENVELOPE(L"<nonotify /><noqualify />");
const wchar_t* const Request::_pRequestTemplateBES = OSTREL_ENVELOPE(L"<nonotify /><noqualify />");
const wchar_t* const Request::_pRequestTemplateMinusNoQualify = OSTREL_ENVELOPE(L"<nonotify />");
const wchar_t* const Request::_pRequestTemplateBESMinusNoQualify = OSTREL_ENVELOPE(L"<nonotify />");
const wchar_t* const Request::_pRequestTemplateSyncGal = OSTREL_ENVELOPE(L"");
const wchar_t* const Request::_pRequestTemplateSyncGalBES = OSTREL_ENVELOPE(L"");

#undef OSTREL_ENVELOPE

namespace {

// Rights bits and their letters, in the order the letters are written.
constexpr struct {
    ULONG ulBit;
    wchar_t wcLetter;
} kRightLetters[] = {{ACL_RIGHT_READ, L'r'},   {ACL_RIGHT_WRITE, L'w'}, {ACL_RIGHT_INSERT, L'i'},
                     {ACL_RIGHT_DELETE, L'd'}, {ACL_RIGHT_ADMIN, L'a'}, {ACL_RIGHT_ACTION, L'x'},
                     {ACL_RIGHT_PRIVATE, L'p'}};

constexpr const wchar_t* kAllGranteesId = L"00000000-0000-0000-0000-000000000000";
constexpr const wchar_t* kPublicGranteeId = L"99999999-9999-9999-9999-999999999999";

std::wstring PermLetters(ULONG ulRights) {
    std::wstring letters;
    for (const auto& right : kRightLetters)
        if (ulRights & right.ulBit)
            letters += right.wcLetter;
    return letters;
}

[[noreturn]] void ThrowNoDocument() {
    throw std::runtime_error(Platform::ToUtf8(Util::GetLocalizedString("MBOX_DOM_CREATION_FAILED")));
}

bool SetLoggedAttribute(IXMLDOMElement* pElement, const wchar_t* pwszName, const std::wstring& wsValue) {
    HRESULT hr = pElement->setAttribute(pwszName, wsValue);
    if (FAILED(hr)) {
        // A share's pw attribute is a guest password: never in the log.
        OSTLOG_ERROR(L"setAttribute(%s, %s) hr(%x)", pwszName,
                     std::wcscmp(pwszName, L"pw") == 0 ? L"****" : wsValue.c_str(), hr);
        return false;
    }
    return true;
}

}  // namespace

Request::Request() {
    init(0);
}

Request::Request(const wchar_t* pwszCallName, int minusNoQualify) {
    InitCallName(pwszCallName);
    init(minusNoQualify);
}

Request::~Request() {
    Util::SafeRelease(m_pDocument);
    Util::SafeDelete(m_pwszCallName);
}

const wchar_t* Request::CallName() {
    return m_pwszCallName;
}

void Request::InitCallName(const wchar_t* pwszCallName) {
    if (!pwszCallName)
        return;
    wchar_t* pwszCopy = Util::CopyString(pwszCallName);
    Util::SafeDelete(m_pwszCallName);
    m_pwszCallName = pwszCopy;
}

void Request::init(int minusNoQualify) {
    if (!m_pDocument && FAILED(Platform::Xml::CreateDocument(&m_pDocument)))
        ThrowNoDocument();
    m_pDocument->put_async(false);
    m_pDocument->put_validateOnParse(false);
    m_pDocument->put_resolveExternals(false);
    m_pDocument->setProperty(L"SelectionLanguage", L"XPath");
    m_pDocument->setProperty(L"SelectionNamespaces", Soap::kSelectionNamespaces);

    std::wstring_view wsCallName = m_pwszCallName ? m_pwszCallName : L"";
    bool bBES = Mapi::IsBESOSN();
    const wchar_t* pwszTemplate = bBES ? _pRequestTemplateBES : _pRequestTemplate;
    if (wsCallName == L"SyncGalRequest")
        pwszTemplate = bBES ? _pRequestTemplateSyncGalBES : _pRequestTemplateSyncGal;
    else if (minusNoQualify && wsCallName == L"GetContactsRequest")
        pwszTemplate = bBES ? _pRequestTemplateBESMinusNoQualify : _pRequestTemplateMinusNoQualify;
    if (m_pDocument->loadXML(pwszTemplate) != S_OK)
        ThrowNoDocument();
}

HRESULT Request::AppendTo(const wchar_t* pwszXPath, IXMLDOMNode* pNode) {
    ComPtr<IXMLDOMNode> target;
    HRESULT hr = m_pDocument->selectSingleNode(pwszXPath, target.AddressOf());
    if (FAILED(hr))
        return hr;
    if (!target)
        return E_FAIL;
    return target->appendChild(pNode, nullptr);
}

HRESULT Request::AppendToSoapHeader(IXMLDOMElement* pElement) {
    return AppendTo(Soap::kXPathHeader, pElement);
}

HRESULT Request::AppendToSoapBody(IXMLDOMElement* pElement) {
    return AppendTo(Soap::kXPathBody, pElement);
}

HRESULT Request::AppendToSoapHeaderContext(IXMLDOMNode* pNode, int replace) {
    if (!pNode)
        return E_INVALIDARG;
    ComPtr<IXMLDOMNode> context;
    HRESULT hr = m_pDocument->selectSingleNode(Soap::kXPathContext, context.AddressOf());
    if (FAILED(hr))
        return hr;
    if (!context) {
        // Made in its namespace (not as a plain element with an xmlns attribute), so that the
        // next look-up finds it instead of adding a second context.
        hr = m_pDocument->createNode(NODE_ELEMENT, Soap::kContext, Soap::kNsOstrel, context.AddressOf());
        if (FAILED(hr))
            return hr;
        hr = AppendTo(Soap::kXPathHeader, context.Get());
        if (FAILED(hr))
            return hr;
    }
    if (replace) {
        std::wstring wsName;
        pNode->get_nodeName(wsName);
        std::wstring wsXPath = std::wstring(Soap::kXPathContext) + L"/l:" + wsName;
        ComPtr<IXMLDOMNode> earlier;
        if (context->selectSingleNode(wsXPath, earlier.AddressOf()) == S_OK && earlier.Get() != pNode)
            context->removeChild(earlier.Get(), nullptr);
    }
    return context->appendChild(pNode, nullptr);
}

HRESULT Request::NewContextNode(const wchar_t* pwszName, IXMLDOMElement** ppElement) {
    ComPtr<IXMLDOMNode> node;
    HRESULT hr = m_pDocument->createNode(NODE_ELEMENT, pwszName, Soap::kNsOstrel, node.AddressOf());
    if (FAILED(hr))
        return hr;
    return node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(ppElement));
}

HRESULT Request::SetAuthTokenNode(const wchar_t* pwszToken) {
    ComPtr<IXMLDOMElement> element;
    HRESULT hr = NewContextNode(Soap::kAuthToken, element.AddressOf());
    if (SUCCEEDED(hr))
        hr = element->put_text(pwszToken ? pwszToken : L"");
    return SUCCEEDED(hr) ? AppendToSoapHeaderContext(element.Get(), 1) : hr;
}

HRESULT Request::SetNoSessionNode() {
    ComPtr<IXMLDOMElement> element;
    HRESULT hr = NewContextNode(Soap::kNoSession, element.AddressOf());
    return SUCCEEDED(hr) ? AppendToSoapHeaderContext(element.Get(), 1) : hr;
}

HRESULT Request::SetSessionId(const wchar_t* pwszSessionId) {
    ComPtr<IXMLDOMElement> element;
    HRESULT hr = NewContextNode(Soap::kSessionId, element.AddressOf());
    if (SUCCEEDED(hr))
        hr = element->put_text(pwszSessionId ? pwszSessionId : L"");
    return SUCCEEDED(hr) ? AppendToSoapHeaderContext(element.Get(), 1) : hr;
}

HRESULT Request::SetUserAgentNode(const wchar_t* pwszVersion) {
    ComPtr<IXMLDOMElement> element;
    HRESULT hr = NewContextNode(Soap::kUserAgent, element.AddressOf());
    if (SUCCEEDED(hr))
        hr = element->setAttribute(Soap::kName, Mapi::IsBESOSN() ? L"Ostrel-OSB" : L"Ostrel-OSN");
    if (SUCCEEDED(hr))
        hr = element->setAttribute(Soap::kVersion, pwszVersion);
    return SUCCEEDED(hr) ? AppendToSoapHeaderContext(element.Get(), 1) : hr;
}

HRESULT Request::SetTargetAccount(GUID accountId) {
    ComPtr<IXMLDOMElement> element;
    HRESULT hr = NewContextNode(Soap::kAccount, element.AddressOf());
    if (SUCCEEDED(hr))
        hr = element->setAttribute(Soap::kBy, L"id");
    if (SUCCEEDED(hr))
        hr = element->put_text(Util::GuidToIdString(accountId));
    return SUCCEEDED(hr) ? AppendToSoapHeaderContext(element.Get(), 0) : hr;
}

HRESULT Request::SetTargetAccount(const wchar_t* pwszAccountName) {
    if (!pwszAccountName)
        return S_FALSE;
    ComPtr<IXMLDOMElement> element;
    HRESULT hr = NewContextNode(Soap::kAccount, element.AddressOf());
    if (SUCCEEDED(hr))
        hr = element->setAttribute(Soap::kBy, L"name");
    if (SUCCEEDED(hr))
        hr = element->put_text(pwszAccountName);
    return SUCCEEDED(hr) ? AppendToSoapHeaderContext(element.Get(), 0) : hr;
}

int Request::SetFolderAcl(IXMLDOMElement* pParent, const ACL* pAcl) {
    if (!pAcl || !pParent) {
        OSTLOG_ERROR(L"invalid acls");
        return 0;
    }
    for (const AclGrant& grant : *pAcl) {
        ComPtr<IXMLDOMElement> element;
        HRESULT hr = m_pDocument->createElement(Soap::kGrant, element.AddressOf());
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"createElement(%s) hr(%x)", Soap::kGrant, hr);
            return 0;
        }
        // Attributes in the order they are written; an unset optional one is skipped.
        std::wstring wsGt, wsOid, wsDisplay, wsPassword;
        bool bOid = false;
        if (grant.m_wsGranteeId == L"all" || grant.m_wsGranteeId == kAllGranteesId) {
            wsGt = L"all";
            wsOid = kAllGranteesId;
            bOid = true;
        } else {
            switch (grant.m_eGranteeType) {
                case GT_USER_OR_GROUP:
                    wsGt = grant.m_bIsGroup ? L"grp" : L"usr";
                    wsOid = grant.m_wsGranteeId;
                    bOid = true;
                    wsDisplay = !grant.m_wsDisplayName.empty() ? grant.m_wsDisplayName : grant.m_wsGranteeName;
                    break;
                case GT_GUEST:
                    wsGt = L"guest";
                    wsPassword = grant.m_wsPassword;
                    wsOid = grant.m_wsGranteeId;
                    bOid = !wsOid.empty();
                    wsDisplay = grant.m_wsGranteeName;
                    break;
                case GT_PUBLIC:
                    wsGt = L"pub";
                    wsOid = kPublicGranteeId;
                    bOid = true;
                    break;
                case GT_ALL_AUTHENTICATED:
                    wsGt = L"all";
                    wsOid = kAllGranteesId;
                    bOid = true;
                    break;
            }
        }
        if (wsGt.empty()) {
            // A grantee the server would not understand: the grant is left out, the others go.
            OSTLOG_WARN(L"grant for '%s' has unknown grantee type %u; not sent", grant.m_wsGranteeId.c_str(),
                        static_cast<unsigned>(grant.m_eGranteeType));
            continue;
        }
        if (!SetLoggedAttribute(element.Get(), Soap::kGt, wsGt))
            return 0;
        if (!wsPassword.empty() && !SetLoggedAttribute(element.Get(), Soap::kPw, wsPassword))
            return 0;
        if (bOid && !SetLoggedAttribute(element.Get(), Soap::kOid, wsOid))
            return 0;
        if (!wsDisplay.empty() && !SetLoggedAttribute(element.Get(), Soap::kD, wsDisplay))
            return 0;
        if (!SetLoggedAttribute(element.Get(), Soap::kPerm, PermLetters(grant.m_ulRights)))
            return 0;
        hr = pParent->appendChild(element.Get(), nullptr);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"appendChild(grantElement) hr(%x)", hr);
            return 0;
        }
    }
    return 1;
}

// ---- BatchRequest ----

BatchRequest::BatchRequest() : Request(Soap::kBatchRequest, 0) {
    ComPtr<IXMLDOMElement> element;
    HRESULT hr = GetDocument()->createElement(Soap::kBatchRequest, element.AddressOf());
    if (SUCCEEDED(hr))
        hr = element->setAttribute(Soap::kXmlns, Soap::kNsOstrel);
    if (SUCCEEDED(hr))
        hr = AppendToSoapBody(element.Get());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to build the BatchRequest element. hr: %0x", hr);
        throw std::runtime_error("BatchRequest: the request element could not be built");
    }
    m_pBatchElement = element.Detach();
}

BatchRequest::~BatchRequest() {
    Util::SafeRelease(m_pBatchElement);
}

HRESULT BatchRequest::AppendRequest(Request* pRequest, LONGLONG requestId) {
    if (!pRequest || !pRequest->GetDocument())
        return E_INVALIDARG;
    ComPtr<IXMLDOMNode> body;
    HRESULT hr = pRequest->GetDocument()->selectSingleNode(Soap::kXPathBody, body.AddressOf());
    if (hr != S_OK) {
        hr = FAILED(hr) ? hr : E_FAIL;  // no body is a failure too, not a quiet success
        OSTLOG_ERROR(L"Failed to select SOAP node hr: %0x", hr);
        return hr;
    }
    ComPtr<IXMLDOMNode> child;
    hr = body->get_firstChild(child.AddressOf());
    ComPtr<IXMLDOMElement> element;
    if (hr == S_OK)
        hr = child->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.AddressOf()));
    if (hr != S_OK) {
        hr = FAILED(hr) ? hr : E_FAIL;
        OSTLOG_ERROR(L"Failed to get first child of request element. hr: %0x", hr);
        return hr;
    }
    hr = element->setAttribute(Soap::kRequestId, requestId);
    if (FAILED(hr))
        return hr;
    hr = m_pBatchElement->appendChild(element.Get(), nullptr);
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to appendChild. hr: %0x", hr);
    return hr;
}

HRESULT BatchRequest::GetRequestXML(std::wstring& wsXml) {
    return m_pBatchElement->get_xml(wsXml);
}

}  // namespace Ostrel::Rpc
