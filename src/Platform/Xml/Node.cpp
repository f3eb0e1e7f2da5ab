// IXMLDOMNode over libxml2 nodes, shared by elements, other nodes and the document.
#include <cstring>

#include "Platform/Com/ComPtr.h"

#include "Platform/Xml/DomImpl.h"

namespace Platform::Xml::Detail {

namespace {

const xmlChar* XmlChars(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

template <class T>
HRESULT Out(T** pp, xmlNodePtr node) {
    *pp = static_cast<T*>(Wrap(node));
    return node ? S_OK : S_FALSE;
}

bool IsAncestorOrSelf(xmlNodePtr candidate, xmlNodePtr node) {
    for (; node; node = node->parent)
        if (node == candidate)
            return true;
    return false;
}

bool HasElementChild(xmlNodePtr node) {
    for (xmlNodePtr child = node->children; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE)
            return true;
    return false;
}

}  // namespace

template <class I>
HRESULT NodeBase<I>::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !Supports(riid)) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    this->AddRef();
    *ppv = static_cast<I*>(this);
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::get_nodeName(std::wstring& name) {
    name = QualifiedName(XmlNode());
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::get_baseName(std::wstring& name) {
    name = LocalName(XmlNode());
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::get_prefix(std::wstring& prefix) {
    prefix = PrefixOf(XmlNode());
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::get_namespaceURI(std::wstring& uri) {
    xmlNodePtr node = XmlNode();
    bool bNamed = node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE;
    if (!bNamed || !node->ns || !node->ns->href) {
        uri.clear();
        return S_FALSE;
    }
    uri = Widen(node->ns->href);
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::get_nodeType(DOMNodeType* pType) {
    if (!pType)
        return E_POINTER;
    switch (XmlNode()->type) {
        case XML_ELEMENT_NODE:
            *pType = NODE_ELEMENT;
            break;
        case XML_ATTRIBUTE_NODE:
            *pType = NODE_ATTRIBUTE;
            break;
        case XML_TEXT_NODE:
            *pType = NODE_TEXT;
            break;
        case XML_CDATA_SECTION_NODE:
            *pType = NODE_CDATA_SECTION;
            break;
        case XML_ENTITY_REF_NODE:
            *pType = NODE_ENTITY_REFERENCE;
            break;
        case XML_PI_NODE:
            *pType = NODE_PROCESSING_INSTRUCTION;
            break;
        case XML_COMMENT_NODE:
            *pType = NODE_COMMENT;
            break;
        case XML_DOCUMENT_NODE:
            *pType = NODE_DOCUMENT;
            break;
        case XML_DOCUMENT_FRAG_NODE:
            *pType = NODE_DOCUMENT_FRAGMENT;
            break;
        default:
            *pType = NODE_INVALID;
            break;
    }
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::get_text(std::wstring& text) {
    text = Widen(XmlChars(TextContent(XmlNode())));
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::put_text(std::wstring_view text) {
    if (!IsStorableText(text))
        return E_INVALIDARG;
    xmlNodePtr node = XmlNode();
    std::string utf8 = NarrowText(text);
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_ATTRIBUTE_NODE:
            ReplaceChildrenWithText(node, utf8);
            return S_OK;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            xmlNodeSetContentLen(node, XmlChars(utf8), static_cast<int>(utf8.size()));
            return S_OK;
        default:
            return E_FAIL;
    }
}

template <class I>
HRESULT NodeBase<I>::get_xml(std::wstring& xml) {
    std::string utf8 = Serialize(XmlNode());
    xml = Widen(XmlChars(utf8), utf8.size());
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::get_xmlUtf8(std::string& xml) {
    xml = Serialize(XmlNode());
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::get_parentNode(IXMLDOMNode** ppParent) {
    if (!ppParent)
        return E_POINTER;
    xmlNodePtr node = XmlNode();
    return Out(ppParent, node->type == XML_ATTRIBUTE_NODE ? nullptr : node->parent);
}

template <class I>
HRESULT NodeBase<I>::get_firstChild(IXMLDOMNode** ppChild) {
    if (!ppChild)
        return E_POINTER;
    return Out(ppChild, XmlNode()->children);
}

template <class I>
HRESULT NodeBase<I>::get_lastChild(IXMLDOMNode** ppChild) {
    if (!ppChild)
        return E_POINTER;
    return Out(ppChild, XmlNode()->last);
}

template <class I>
HRESULT NodeBase<I>::get_previousSibling(IXMLDOMNode** ppSibling) {
    if (!ppSibling)
        return E_POINTER;
    xmlNodePtr node = XmlNode();
    bool bHasSiblings = node->type != XML_ATTRIBUTE_NODE && node->type != XML_DOCUMENT_NODE;
    return Out(ppSibling, bHasSiblings ? node->prev : nullptr);
}

template <class I>
HRESULT NodeBase<I>::get_nextSibling(IXMLDOMNode** ppSibling) {
    if (!ppSibling)
        return E_POINTER;
    xmlNodePtr node = XmlNode();
    bool bHasSiblings = node->type != XML_ATTRIBUTE_NODE && node->type != XML_DOCUMENT_NODE;
    return Out(ppSibling, bHasSiblings ? node->next : nullptr);
}

template <class I>
HRESULT NodeBase<I>::get_childNodes(IXMLDOMNodeList** ppList) {
    if (!ppList)
        return E_POINTER;
    std::vector<xmlNodePtr> nodes;
    for (xmlNodePtr child = XmlNode()->children; child; child = child->next)
        nodes.push_back(child);
    *ppList = new NodeListImpl(OwnerOf(XmlNode()), std::move(nodes));
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::hasChildNodes(bool* pbHas) {
    if (!pbHas)
        return E_POINTER;
    *pbHas = XmlNode()->children != nullptr;
    return *pbHas ? S_OK : S_FALSE;
}

template <class I>
HRESULT NodeBase<I>::get_ownerDocument(IXMLDOMDocument** ppDoc) {
    if (!ppDoc)
        return E_POINTER;
    DocumentImpl* owner = OwnerOf(XmlNode());
    owner->AddRef();
    *ppDoc = owner;
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::appendChild(IXMLDOMNode* newChild, IXMLDOMNode** ppOut) {
    return insertBefore(newChild, nullptr, ppOut);
}

template <class I>
HRESULT NodeBase<I>::insertBefore(IXMLDOMNode* newChild, IXMLDOMNode* refChild, IXMLDOMNode** ppOut) {
    if (ppOut)
        *ppOut = nullptr;
    xmlNodePtr parent = XmlNode();
    xmlNodePtr child = Unwrap(newChild);
    xmlNodePtr before = refChild ? Unwrap(refChild) : nullptr;
    if (!child || (refChild && (!before || before->parent != parent)))
        return E_INVALIDARG;
    bool bParentIsDoc = parent->type == XML_DOCUMENT_NODE;
    if (parent->type != XML_ELEMENT_NODE && !bParentIsDoc)
        return E_FAIL;
    switch (child->type) {
        case XML_ELEMENT_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_ENTITY_REF_NODE:
            if (bParentIsDoc)
                return E_FAIL;  // text is not allowed outside the document element
            break;
        default:
            return E_FAIL;
    }
    if (IsAncestorOrSelf(child, parent))
        return E_FAIL;
    if (child == before) {
        if (ppOut)
            *ppOut = Wrap(child);
        return S_OK;
    }
    if (bParentIsDoc && child->type == XML_ELEMENT_NODE && child->parent != parent && HasElementChild(parent))
        return E_FAIL;  // one document element only

    DocumentImpl* owner = OwnerOf(parent);
    if (child->doc != parent->doc) {
        // Across documents the node is copied into this document and its wrappers follow the copy;
        // the original leaves its document.
        // The wrappers may hold the last references to the source document: keep it alive
        // until the original is out of its tree.
        Platform::ComPtr<DocumentImpl> source(OwnerOf(child));
        xmlNodePtr copy = CopyNode(child, parent->doc, true, true);
        if (!copy)
            return E_OUTOFMEMORY;
        if (child->parent) {
            xmlUnlinkNode(child);
            source->AddOrphan(child);
        }
        child = copy;
    } else if (child->parent) {
        xmlUnlinkNode(child);
    } else {
        owner->DropOrphan(child);
    }
    LinkChild(parent, child, before);
    if (child->type == XML_ELEMENT_NODE)
        ReconcileNamespaces(child);
    if (ppOut)
        *ppOut = Wrap(child);
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::removeChild(IXMLDOMNode* child, IXMLDOMNode** ppOut) {
    if (ppOut)
        *ppOut = nullptr;
    xmlNodePtr node = Unwrap(child);
    if (!node || node->parent != XmlNode() || node->type == XML_ATTRIBUTE_NODE)
        return E_INVALIDARG;
    xmlUnlinkNode(node);
    OwnerOf(node)->AddOrphan(node);
    if (ppOut)
        *ppOut = Wrap(node);
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::cloneNode(bool deep, IXMLDOMNode** ppClone) {
    if (!ppClone)
        return E_POINTER;
    *ppClone = nullptr;
    xmlNodePtr node = XmlNode();
    if (node->type == XML_DOCUMENT_NODE || node->type == XML_ATTRIBUTE_NODE)
        return E_FAIL;
    xmlNodePtr copy = CopyNode(node, node->doc, deep, false);
    if (!copy)
        return E_OUTOFMEMORY;
    OwnerOf(node)->AddOrphan(copy);
    *ppClone = Wrap(copy);
    return S_OK;
}

template <class I>
HRESULT NodeBase<I>::selectSingleNode(std::wstring_view xpath, IXMLDOMNode** ppNode) {
    if (!ppNode)
        return E_POINTER;
    *ppNode = nullptr;
    std::vector<xmlNodePtr> nodes;
    HRESULT hr = OwnerOf(XmlNode())->Select(XmlNode(), xpath, nodes);
    if (FAILED(hr))
        return hr;
    return Out(ppNode, nodes.empty() ? nullptr : nodes.front());
}

template <class I>
HRESULT NodeBase<I>::selectNodes(std::wstring_view xpath, IXMLDOMNodeList** ppList) {
    if (!ppList)
        return E_POINTER;
    *ppList = nullptr;
    std::vector<xmlNodePtr> nodes;
    DocumentImpl* owner = OwnerOf(XmlNode());
    HRESULT hr = owner->Select(XmlNode(), xpath, nodes);
    if (FAILED(hr))
        return hr;
    *ppList = new NodeListImpl(owner, std::move(nodes));
    return S_OK;
}

template class NodeBase<IXMLDOMElement>;
template class NodeBase<IXMLDOMDocument2>;

// ---- NodeImpl ----

NodeImpl::NodeImpl(xmlNodePtr node) : m_pNode(node), m_pOwner(OwnerOf(node)) {
    m_pNode->_private = this;
    m_pOwner->AddRef();
    m_pOwner->WrapperCreated();
}

NodeImpl::~NodeImpl() {
    m_pNode->_private = nullptr;
    m_pOwner->WrapperDestroyed();
    m_pOwner->Release();
}

void NodeImpl::Retarget(xmlNodePtr copy) {
    m_pNode->_private = nullptr;
    m_pNode = copy;
    copy->_private = this;
    DocumentImpl* owner = OwnerOf(copy);
    if (owner != m_pOwner) {
        owner->AddRef();
        owner->WrapperCreated();
        m_pOwner->WrapperDestroyed();
        m_pOwner->Release();
        m_pOwner = owner;
    }
}

bool NodeImpl::Supports(REFIID riid) const {
    return riid == IID_IXMLDOMNode || (riid == IID_IXMLDOMElement && m_pNode->type == XML_ELEMENT_NODE);
}

namespace {

bool IsNamespaceDeclaration(const std::string& name, std::string& prefix) {
    if (name == "xmlns") {
        prefix.clear();
        return true;
    }
    if (name.rfind("xmlns:", 0) == 0) {
        prefix = name.substr(6);
        return true;
    }
    return false;
}

xmlNsPtr FindDeclaration(xmlNodePtr element, const std::string& prefix) {
    for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next) {
        bool bDefault = !ns->prefix;
        if ((prefix.empty() && bDefault) || (!bDefault && prefix == reinterpret_cast<const char*>(ns->prefix)))
            return ns;
    }
    return nullptr;
}

xmlAttrPtr FindAttribute(xmlNodePtr element, const std::string& qname) {
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
        const char* name = reinterpret_cast<const char*>(attr->name);
        if (attr->ns && attr->ns->prefix) {
            const char* prefix = reinterpret_cast<const char*>(attr->ns->prefix);
            size_t len = strlen(prefix);
            if (qname.size() == len + 1 + strlen(name) && qname.compare(0, len, prefix) == 0 && qname[len] == ':' &&
                qname.compare(len + 1, std::string::npos, name) == 0)
                return attr;
        } else if (qname == name) {
            return attr;
        }
    }
    return nullptr;
}

}  // namespace

HRESULT NodeImpl::get_tagName(std::wstring& name) {
    if (m_pNode->type != XML_ELEMENT_NODE)
        return E_FAIL;
    name = QualifiedName(m_pNode);
    return S_OK;
}

HRESULT NodeImpl::getAttribute(std::wstring_view name, std::wstring& value) {
    value.clear();
    if (m_pNode->type != XML_ELEMENT_NODE)
        return E_FAIL;
    std::string qname = Narrow(name);
    if (xmlAttrPtr attr = FindAttribute(m_pNode, qname)) {
        value = Widen(XmlChars(TextContent(reinterpret_cast<xmlNodePtr>(attr))));
        return S_OK;
    }
    std::string prefix;
    if (IsNamespaceDeclaration(qname, prefix))
        if (xmlNsPtr ns = FindDeclaration(m_pNode, prefix)) {
            value = Widen(ns->href);
            return S_OK;
        }
    return S_FALSE;
}

HRESULT NodeImpl::setAttribute(std::wstring_view name, std::wstring_view value) {
    if (m_pNode->type != XML_ELEMENT_NODE)
        return E_FAIL;
    std::string qname = Narrow(name);
    if (!IsValidName(qname) || !IsStorableText(value))
        return E_INVALIDARG;
    std::string utf8 = NarrowText(value);
    std::string prefix;
    if (IsNamespaceDeclaration(qname, prefix)) {
        // A declaration the element already has cannot be changed: its namespace is fixed.
        if (xmlNsPtr ns = FindDeclaration(m_pNode, prefix))
            return xmlStrEqual(ns->href, XmlChars(utf8)) ? S_OK : E_FAIL;
    }
    if (xmlAttrPtr attr = FindAttribute(m_pNode, qname)) {
        ReplaceChildrenWithText(reinterpret_cast<xmlNodePtr>(attr), utf8);
        return S_OK;
    }
    // xmlNewNsProp stores the value as text; it does not interpret entity references in it.
    if (!xmlNewNsProp(m_pNode, nullptr, XmlChars(qname), XmlChars(utf8)))
        return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT NodeImpl::removeAttribute(std::wstring_view name) {
    if (m_pNode->type != XML_ELEMENT_NODE)
        return E_FAIL;
    std::string qname = Narrow(name);
    xmlAttrPtr attr = FindAttribute(m_pNode, qname);
    if (!attr) {
        std::string prefix;
        if (IsNamespaceDeclaration(qname, prefix) && FindDeclaration(m_pNode, prefix))
            return E_FAIL;  // the element's own namespace declaration stays
        return S_FALSE;
    }
    xmlNodePtr attrNode = reinterpret_cast<xmlNodePtr>(attr);
    xmlUnlinkNode(attrNode);
    m_pOwner->AddOrphan(attrNode);
    return S_OK;
}

}  // namespace Platform::Xml::Detail
