// The document: creation of nodes, loading, properties and XPath evaluation.
#include <fcntl.h>
#include <libxml/xpathInternals.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include "Platform/Base/Utf.h"
#include "Platform/Xml/DomImpl.h"

namespace Platform::Xml {

HRESULT CreateDocument(IXMLDOMDocument2** ppDoc) {
    if (!ppDoc)
        return E_POINTER;
    *ppDoc = nullptr;
    try {
        *ppDoc = new Detail::DocumentImpl();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace Platform::Xml

namespace Platform::Xml::Detail {

namespace {

const xmlChar* XmlChars(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

void SilentXPathError(void*, xmlErrorPtr) {}

template <class T>
HRESULT Out(T** pp, xmlNodePtr node) {
    *pp = static_cast<T*>(Wrap(node));
    return node ? S_OK : S_FALSE;
}

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// Parses "xmlns:a='uri' xmlns:b=\"uri\"" into prefix/URI pairs.
bool ParseSelectionNamespaces(std::wstring_view text, std::vector<std::pair<std::string, std::string>>& out) {
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < text.size() && IsSpace(text[i]))
            ++i;
    };
    for (skipSpace(); i < text.size(); skipSpace()) {
        if (text.compare(i, 6, L"xmlns:") != 0)
            return false;  // XPath 1.0 has no default namespace, so "xmlns='...'" cannot apply
        i += 6;
        size_t start = i;
        while (i < text.size() && text[i] != L'=' && !IsSpace(text[i]))
            ++i;
        std::string prefix = Narrow(text.substr(start, i - start));
        skipSpace();
        if (i >= text.size() || text[i] != L'=')
            return false;
        ++i;
        skipSpace();
        if (i >= text.size() || (text[i] != L'\'' && text[i] != L'"'))
            return false;
        wchar_t quote = text[i++];
        size_t end = text.find(quote, i);
        if (end == std::wstring_view::npos || xmlValidateNCName(XmlChars(prefix), 0) != 0)
            return false;
        out.emplace_back(prefix, Narrow(text.substr(i, end - i)));
        i = end + 1;
    }
    return true;
}

}  // namespace

DocumentImpl::DocumentImpl() {
    EnsureLibraryReady();
    m_pDoc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    if (!m_pDoc)
        throw std::bad_alloc();
    m_pDoc->_private = this;
}

DocumentImpl::~DocumentImpl() {
    if (m_pXPath)
        xmlXPathFreeContext(m_pXPath);
    for (xmlDocPtr doc : m_retired) {
        FreeOrphans(doc);
        xmlFreeDoc(doc);
    }
    FreeOrphans(m_pDoc);
    xmlFreeDoc(m_pDoc);
    for (xmlNsPtr ns : m_floatingNs)
        xmlFreeNs(ns);
}

void DocumentImpl::FreeOrphans(xmlDocPtr doc) {
    for (auto it = m_orphans.begin(); it != m_orphans.end();) {
        xmlNodePtr node = *it;
        if (node->doc != doc) {
            ++it;
            continue;
        }
        if (!node->parent)
            xmlFreeNode(node);
        it = m_orphans.erase(it);
    }
}

bool DocumentImpl::Supports(REFIID riid) const {
    return riid == IID_IXMLDOMNode || riid == IID_IXMLDOMDocument || riid == IID_IXMLDOMDocument2;
}

HRESULT DocumentImpl::createElement(std::wstring_view tagName, IXMLDOMElement** ppElement) {
    if (!ppElement)
        return E_POINTER;
    *ppElement = nullptr;
    std::string name = Narrow(tagName);
    if (!IsValidName(name))
        return E_FAIL;
    xmlNodePtr node = xmlNewDocNode(m_pDoc, nullptr, XmlChars(name), nullptr);
    if (!node)
        return E_OUTOFMEMORY;
    AddOrphan(node);
    return Out(ppElement, node);
}

HRESULT DocumentImpl::createNode(DOMNodeType type, std::wstring_view name, std::wstring_view namespaceURI,
                                 IXMLDOMNode** ppNode) {
    if (!ppNode)
        return E_POINTER;
    *ppNode = nullptr;
    xmlNodePtr node = nullptr;
    switch (type) {
        case NODE_ELEMENT: {
            std::string qname = Narrow(name);
            if (!IsValidName(qname))
                return E_FAIL;
            if (namespaceURI.empty()) {
                node = xmlNewDocNode(m_pDoc, nullptr, XmlChars(qname), nullptr);
                break;
            }
            size_t colon = qname.find(':');
            std::string prefix = colon == std::string::npos ? std::string() : qname.substr(0, colon);
            std::string local = colon == std::string::npos ? qname : qname.substr(colon + 1);
            // The namespace is declared where the element is appended (or on a standalone copy when
            // serialised), so it can join a parent that already declares it without repeating it.
            xmlNsPtr ns =
                xmlNewNs(nullptr, XmlChars(Narrow(namespaceURI)), prefix.empty() ? nullptr : XmlChars(prefix));
            if (!ns)
                return E_OUTOFMEMORY;
            m_floatingNs.push_back(ns);
            node = xmlNewDocNode(m_pDoc, ns, XmlChars(local), nullptr);
            break;
        }
        case NODE_TEXT:
            node = xmlNewDocText(m_pDoc, reinterpret_cast<const xmlChar*>(""));
            break;
        case NODE_CDATA_SECTION:
            node = xmlNewCDataBlock(m_pDoc, reinterpret_cast<const xmlChar*>(""), 0);
            break;
        case NODE_COMMENT:
            node = xmlNewDocComment(m_pDoc, reinterpret_cast<const xmlChar*>(""));
            break;
        default:
            return E_INVALIDARG;
    }
    if (!node)
        return E_OUTOFMEMORY;
    AddOrphan(node);
    return Out(ppNode, node);
}

HRESULT DocumentImpl::createTextNode(std::wstring_view text, IXMLDOMNode** ppNode) {
    if (!ppNode)
        return E_POINTER;
    *ppNode = nullptr;
    if (!IsStorableText(text))
        return E_INVALIDARG;
    std::string utf8 = NarrowText(text);
    xmlNodePtr node = xmlNewDocTextLen(m_pDoc, XmlChars(utf8), static_cast<int>(utf8.size()));
    if (!node)
        return E_OUTOFMEMORY;
    AddOrphan(node);
    return Out(ppNode, node);
}

HRESULT DocumentImpl::get_documentElement(IXMLDOMElement** ppElement) {
    if (!ppElement)
        return E_POINTER;
    return Out(ppElement, xmlDocGetRootElement(m_pDoc));
}

HRESULT DocumentImpl::loadXML(std::wstring_view xml) {
    return LoadBytes(Narrow(xml), "UTF-8");
}

HRESULT DocumentImpl::loadXMLBytes(std::string_view bytes) {
    return LoadBytes(bytes, nullptr);
}

HRESULT DocumentImpl::load(const std::filesystem::path& file) {
    auto refuse = [&](HRESULT hrError, std::wstring wsReason) {
        m_parseError = XmlParseError();
        m_parseError.errorCode = hrError;
        m_parseError.reason = std::move(wsReason);
        HRESULT hr = Adopt(nullptr);
        return FAILED(hr) ? hr : S_FALSE;
    };
    // O_NONBLOCK: a FIFO at the path is refused as no regular file, not waited on for a writer.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return refuse(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                      L"The file could not be opened: " + Platform::FromUtf8(file.string()));
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxDocumentBytes) {
        ::close(fd);
        return refuse(E_INVALIDARG, L"The file is larger than " + std::to_wstring(kMaxDocumentBytes) + L" bytes.");
    }
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t cbDone = 0;
    while (cbDone < bytes.size()) {
        const ssize_t cb = ::read(fd, bytes.data() + cbDone, bytes.size() - cbDone);
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb < 0) {
            ::close(fd);
            return refuse(HRESULT_FROM_WIN32(ERROR_READ_FAULT),
                          L"The file could not be read: " + Platform::FromUtf8(file.string()));
        }
        if (cb == 0)
            break;
        cbDone += static_cast<size_t>(cb);
    }
    ::close(fd);
    bytes.resize(cbDone);
    return LoadBytes(bytes, nullptr);
}

HRESULT DocumentImpl::LoadBytes(std::string_view bytes, const char* forcedEncoding) {
    xmlDocPtr parsed = ParseUntrusted(bytes, forcedEncoding, m_bPreserveWhiteSpace, m_parseError);
    HRESULT hr = Adopt(parsed);
    if (FAILED(hr))
        return hr;
    return parsed ? S_OK : S_FALSE;
}

// Makes a parsed tree (or, for null, an empty one) the document's content.
HRESULT DocumentImpl::Adopt(xmlDocPtr parsed) {
    if (!parsed) {
        parsed = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
        if (!parsed)
            return E_OUTOFMEMORY;
    }
    parsed->_private = this;
    if (m_pXPath) {
        xmlXPathFreeContext(m_pXPath);
        m_pXPath = nullptr;
    }
    if (m_cLive == 0) {
        // Nothing refers to the earlier trees any more.
        for (xmlDocPtr doc : m_retired) {
            FreeOrphans(doc);
            xmlFreeDoc(doc);
        }
        m_retired.clear();
        FreeOrphans(m_pDoc);
        xmlFreeDoc(m_pDoc);
    } else {
        m_retired.push_back(m_pDoc);
    }
    m_pDoc = parsed;
    return S_OK;
}

HRESULT DocumentImpl::get_parseError(XmlParseError& error) {
    error = m_parseError;
    return S_OK;
}

HRESULT DocumentImpl::put_async(bool bAsync) {
    m_bAsync = bAsync;
    return S_OK;
}

HRESULT DocumentImpl::put_validateOnParse(bool bValidate) {
    return bValidate ? E_INVALIDARG : S_OK;
}

HRESULT DocumentImpl::put_resolveExternals(bool bResolve) {
    return bResolve ? E_INVALIDARG : S_OK;
}

HRESULT DocumentImpl::put_preserveWhiteSpace(bool bPreserve) {
    m_bPreserveWhiteSpace = bPreserve;
    return S_OK;
}

HRESULT DocumentImpl::setProperty(std::wstring_view name, std::wstring_view value) {
    if (name == L"SelectionLanguage")
        return value == L"XPath" ? S_OK : E_INVALIDARG;
    if (name == L"ProhibitDTD")
        return value == L"true" ? S_OK : E_INVALIDARG;
    if (name == L"SelectionNamespaces") {
        std::vector<std::pair<std::string, std::string>> parsed;
        if (!ParseSelectionNamespaces(value, parsed))
            return E_INVALIDARG;
        m_selectionNs = std::move(parsed);
        m_wsSelectionNs = value;
        if (m_pXPath) {
            xmlXPathFreeContext(m_pXPath);
            m_pXPath = nullptr;
        }
        return S_OK;
    }
    return E_INVALIDARG;
}

HRESULT DocumentImpl::getProperty(std::wstring_view name, std::wstring& value) {
    if (name == L"SelectionLanguage")
        value = L"XPath";
    else if (name == L"ProhibitDTD")
        value = L"true";
    else if (name == L"SelectionNamespaces")
        value = m_wsSelectionNs;
    else
        return E_INVALIDARG;
    return S_OK;
}

HRESULT DocumentImpl::cloneNode(bool deep, IXMLDOMNode** ppClone) {
    if (!ppClone)
        return E_POINTER;
    *ppClone = nullptr;
    IXMLDOMDocument2* pClone = nullptr;
    HRESULT hr = CreateDocument(&pClone);
    if (FAILED(hr))
        return hr;
    auto* clone = static_cast<DocumentImpl*>(pClone);
    clone->m_selectionNs = m_selectionNs;
    clone->m_wsSelectionNs = m_wsSelectionNs;
    clone->m_bPreserveWhiteSpace = m_bPreserveWhiteSpace;
    clone->m_bAsync = m_bAsync;
    if (deep) {
        xmlDocPtr copy = xmlCopyDoc(m_pDoc, 1);
        if (!copy) {
            clone->Release();
            return E_OUTOFMEMORY;
        }
        for (xmlNodePtr child = copy->children; child; child = child->next)
            ClearWrappers(child);
        clone->Adopt(copy);
    }
    *ppClone = clone;
    return S_OK;
}

xmlXPathContextPtr DocumentImpl::XPathContext(xmlDocPtr doc) {
    if (doc == m_pDoc && m_pXPath)
        return m_pXPath;
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    if (!ctx)
        return nullptr;
    ctx->error = SilentXPathError;
    for (const auto& [prefix, uri] : m_selectionNs)
        xmlXPathRegisterNs(ctx, XmlChars(prefix), XmlChars(uri));
    if (doc == m_pDoc)
        m_pXPath = ctx;
    return ctx;
}

HRESULT DocumentImpl::Select(xmlNodePtr context, std::wstring_view xpath, std::vector<xmlNodePtr>& nodes) {
    nodes.clear();
    std::string expr = Narrow(xpath);
    if (expr.empty())
        return E_FAIL;
    ErrorSilencer silencer;
    xmlXPathContextPtr ctx = XPathContext(context->doc);
    if (!ctx)
        return E_OUTOFMEMORY;
    ctx->node = context;
    HRESULT hr = E_FAIL;
    if (xmlXPathCompExprPtr comp = xmlXPathCtxtCompile(ctx, XmlChars(expr))) {
        if (xmlXPathObjectPtr result = xmlXPathCompiledEval(comp, ctx)) {
            if (result->type == XPATH_NODESET) {
                hr = S_OK;
                if (xmlNodeSetPtr set = result->nodesetval) {
                    nodes.reserve(static_cast<size_t>(set->nodeNr));
                    for (int i = 0; i < set->nodeNr; ++i)
                        if (set->nodeTab[i]->type != XML_NAMESPACE_DECL)  // namespace nodes are not DOM nodes
                            nodes.push_back(set->nodeTab[i]);
                }
            }
            xmlXPathFreeObject(result);
        }
        xmlXPathFreeCompExpr(comp);
    }
    if (ctx != m_pXPath)
        xmlXPathFreeContext(ctx);
    return hr;
}

// ---- NodeListImpl ----

NodeListImpl::NodeListImpl(DocumentImpl* owner, std::vector<xmlNodePtr> nodes)
    : m_pOwner(owner), m_nodes(std::move(nodes)) {
    m_pOwner->AddRef();
    m_pOwner->WrapperCreated();
}

NodeListImpl::~NodeListImpl() {
    m_pOwner->WrapperDestroyed();
    m_pOwner->Release();
}

HRESULT NodeListImpl::QueryInterface(REFIID riid, void** ppv) {
    return QueryInterfaceAmong<IUnknown, IXMLDOMNodeList>(riid, ppv);
}

HRESULT NodeListImpl::get_length(long* pLength) {
    if (!pLength)
        return E_POINTER;
    *pLength = static_cast<long>(m_nodes.size());
    return S_OK;
}

HRESULT NodeListImpl::get_item(long index, IXMLDOMNode** ppNode) {
    if (!ppNode)
        return E_POINTER;
    bool bInRange = index >= 0 && static_cast<size_t>(index) < m_nodes.size();
    return Out(ppNode, bInRange ? m_nodes[static_cast<size_t>(index)] : nullptr);
}

HRESULT NodeListImpl::nextNode(IXMLDOMNode** ppNode) {
    if (!ppNode)
        return E_POINTER;
    xmlNodePtr node = m_iNext < m_nodes.size() ? m_nodes[m_iNext++] : nullptr;
    return Out(ppNode, node);
}

HRESULT NodeListImpl::reset() {
    m_iNext = 0;
    return S_OK;
}

}  // namespace Platform::Xml::Detail
