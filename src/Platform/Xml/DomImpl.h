// Internals of the DOM: wrappers over libxml2 nodes. Not for use outside src/Platform/Xml.
//
// Ownership: every libxml2 node belongs to one xmlDoc, whose _private points to the DocumentImpl
// that owns it. A node has at most one wrapper (its _private), which holds a reference to the
// DocumentImpl, so a document lives as long as any of its nodes is referenced. Nodes taken out of
// the tree (removeChild, put_text, removeAttribute) are never freed while the document lives: they
// become "orphans" that the document frees with itself, so no wrapper or node list can dangle.
#pragma once

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Platform/Com/Unknown.h"
#include "Platform/Xml/Dom.h"

namespace Platform::Xml::Detail {

class DocumentImpl;

std::string Narrow(std::wstring_view text);
// Narrow for text stored in a document: with the characters XML cannot hold replaced (see
// SetTextRepairObserver).
std::string NarrowText(std::wstring_view text);
std::wstring Widen(const xmlChar* text);
std::wstring Widen(const xmlChar* text, size_t len);

// The document that owns a node (through node->doc->_private).
DocumentImpl* OwnerOf(xmlNodePtr node);
// A new reference to the wrapper of a node, creating it when needed; null for null.
IXMLDOMNode* Wrap(xmlNodePtr node);
// The libxml2 node behind one of our wrappers; null for null or foreign objects.
xmlNodePtr Unwrap(IXMLDOMNode* node);

// Silences libxml2's error output on this thread for the guard's lifetime.
class ErrorSilencer {
public:
    ErrorSilencer();
    ~ErrorSilencer();
    ErrorSilencer(const ErrorSilencer&) = delete;
    ErrorSilencer& operator=(const ErrorSilencer&) = delete;

private:
    xmlStructuredErrorFunc m_pfnOldStructured;
    void* m_pOldStructuredCtx;
    xmlGenericErrorFunc m_pfnOldGeneric;
    void* m_pOldGenericCtx;
};

// Process-wide libxml2 set-up: parser initialisation and an external entity loader that refuses all.
void EnsureLibraryReady();

// Safe parse of untrusted bytes. forcedEncoding (may be null) overrides any declared encoding.
// Returns the document or null with the error filled in.
xmlDocPtr ParseUntrusted(std::string_view bytes, const char* forcedEncoding, bool bKeepBlanks, XmlParseError& error);

// Serialisation (UTF-8, no XML declaration).
std::string Serialize(xmlNodePtr node);

// Qualified and local names, MSXML style.
std::wstring QualifiedName(xmlNodePtr node);
std::wstring LocalName(xmlNodePtr node);
std::wstring PrefixOf(xmlNodePtr node);
std::string TextContent(xmlNodePtr node);

// Validates an XML (qualified) name given in UTF-8.
bool IsValidName(const std::string& name);
// Text that XML cannot carry at all (NUL) is refused rather than cut short.
bool IsStorableText(std::wstring_view text);

// Tree surgery that keeps wrappers valid (see the file comment).
void LinkChild(xmlNodePtr parent, xmlNodePtr child, xmlNodePtr before);
void ReconcileNamespaces(xmlNodePtr subtree);
// Replaces the children of an element or attribute with one text node (none for empty text).
void ReplaceChildrenWithText(xmlNodePtr node, const std::string& text);
// A detached copy of a node in the target document. With bMoveWrappers the original's wrappers
// (of the node, its attributes and descendants) move to their counterparts in the copy.
xmlNodePtr CopyNode(xmlNodePtr node, xmlDocPtr target, bool deep, bool bMoveWrappers);
// Forgets wrapper links in a freshly copied subtree.
void ClearWrappers(xmlNodePtr subtree);

// Shared implementation of IXMLDOMNode over a libxml2 node, for elements and other nodes
// (NodeImpl) and for the document node (DocumentImpl).
template <class I>
class NodeBase : public Platform::ComObject<I> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override;

    HRESULT get_nodeName(std::wstring& name) override;
    HRESULT get_baseName(std::wstring& name) override;
    HRESULT get_prefix(std::wstring& prefix) override;
    HRESULT get_namespaceURI(std::wstring& uri) override;
    HRESULT get_nodeType(DOMNodeType* pType) override;
    HRESULT get_text(std::wstring& text) override;
    HRESULT put_text(std::wstring_view text) override;
    HRESULT get_xml(std::wstring& xml) override;
    HRESULT get_xmlUtf8(std::string& xml) override;
    HRESULT get_parentNode(IXMLDOMNode** ppParent) override;
    HRESULT get_firstChild(IXMLDOMNode** ppChild) override;
    HRESULT get_lastChild(IXMLDOMNode** ppChild) override;
    HRESULT get_previousSibling(IXMLDOMNode** ppSibling) override;
    HRESULT get_nextSibling(IXMLDOMNode** ppSibling) override;
    HRESULT get_childNodes(IXMLDOMNodeList** ppList) override;
    HRESULT hasChildNodes(bool* pbHas) override;
    HRESULT get_ownerDocument(IXMLDOMDocument** ppDoc) override;
    HRESULT appendChild(IXMLDOMNode* newChild, IXMLDOMNode** ppOut) override;
    HRESULT insertBefore(IXMLDOMNode* newChild, IXMLDOMNode* refChild, IXMLDOMNode** ppOut) override;
    HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** ppOut) override;
    HRESULT cloneNode(bool deep, IXMLDOMNode** ppClone) override;
    HRESULT selectSingleNode(std::wstring_view xpath, IXMLDOMNode** ppNode) override;
    HRESULT selectNodes(std::wstring_view xpath, IXMLDOMNodeList** ppList) override;

    virtual xmlNodePtr XmlNode() const = 0;

protected:
    ~NodeBase() override = default;
    virtual bool Supports(REFIID riid) const = 0;
};

// Any node but the document.
class NodeImpl final : public NodeBase<IXMLDOMElement> {
public:
    explicit NodeImpl(xmlNodePtr node);
    ~NodeImpl() override;

    xmlNodePtr XmlNode() const override { return m_pNode; }
    // Points this wrapper at a copy of its node in another document (cross-document moves).
    void Retarget(xmlNodePtr copy);

    HRESULT get_tagName(std::wstring& name) override;
    HRESULT getAttribute(std::wstring_view name, std::wstring& value) override;
    HRESULT setAttribute(std::wstring_view name, std::wstring_view value) override;
    HRESULT removeAttribute(std::wstring_view name) override;
    using IXMLDOMElement::setAttribute;

protected:
    bool Supports(REFIID riid) const override;

private:
    xmlNodePtr m_pNode;
    DocumentImpl* m_pOwner;
};

// A snapshot of nodes (selection results, child lists).
class NodeListImpl final : public Platform::ComObject<IXMLDOMNodeList> {
public:
    NodeListImpl(DocumentImpl* owner, std::vector<xmlNodePtr> nodes);
    ~NodeListImpl() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    HRESULT get_length(long* pLength) override;
    HRESULT get_item(long index, IXMLDOMNode** ppNode) override;
    HRESULT nextNode(IXMLDOMNode** ppNode) override;
    HRESULT reset() override;

private:
    DocumentImpl* m_pOwner;
    std::vector<xmlNodePtr> m_nodes;
    size_t m_iNext = 0;
};

class DocumentImpl final : public NodeBase<IXMLDOMDocument2> {
public:
    DocumentImpl();
    ~DocumentImpl() override;

    xmlNodePtr XmlNode() const override { return reinterpret_cast<xmlNodePtr>(m_pDoc); }

    HRESULT createElement(std::wstring_view tagName, IXMLDOMElement** ppElement) override;
    HRESULT createNode(DOMNodeType type, std::wstring_view name, std::wstring_view namespaceURI,
                       IXMLDOMNode** ppNode) override;
    HRESULT createTextNode(std::wstring_view text, IXMLDOMNode** ppNode) override;
    HRESULT get_documentElement(IXMLDOMElement** ppElement) override;
    HRESULT loadXML(std::wstring_view xml) override;
    HRESULT loadXMLBytes(std::string_view bytes) override;
    HRESULT load(const std::filesystem::path& file) override;
    HRESULT get_parseError(XmlParseError& error) override;
    HRESULT put_async(bool bAsync) override;
    HRESULT put_validateOnParse(bool bValidate) override;
    HRESULT put_resolveExternals(bool bResolve) override;
    HRESULT put_preserveWhiteSpace(bool bPreserve) override;
    HRESULT setProperty(std::wstring_view name, std::wstring_view value) override;
    HRESULT getProperty(std::wstring_view name, std::wstring& value) override;
    HRESULT cloneNode(bool deep, IXMLDOMNode** ppClone) override;

    // Bookkeeping used by wrappers and tree operations.
    void AddOrphan(xmlNodePtr node) { m_orphans.insert(node); }
    void DropOrphan(xmlNodePtr node) { m_orphans.erase(node); }
    void WrapperCreated() { ++m_cLive; }
    void WrapperDestroyed() { --m_cLive; }
    // Evaluates an XPath against a node of this document; fills the matching nodes in order.
    HRESULT Select(xmlNodePtr context, std::wstring_view xpath, std::vector<xmlNodePtr>& nodes);

protected:
    bool Supports(REFIID riid) const override;

private:
    HRESULT Adopt(xmlDocPtr parsed);
    HRESULT LoadBytes(std::string_view bytes, const char* forcedEncoding);
    void FreeOrphans(xmlDocPtr doc);
    xmlXPathContextPtr XPathContext(xmlDocPtr doc);

    xmlDocPtr m_pDoc;
    std::vector<xmlDocPtr> m_retired;  // earlier trees whose nodes may still be referenced
    std::unordered_set<xmlNodePtr> m_orphans;
    std::vector<xmlNsPtr> m_floatingNs;  // namespaces of created nodes, declared when appended
    std::vector<std::pair<std::string, std::string>> m_selectionNs;  // prefix, URI
    std::wstring m_wsSelectionNs;
    xmlXPathContextPtr m_pXPath = nullptr;
    XmlParseError m_parseError;
    size_t m_cLive = 0;
    bool m_bAsync = true;
    bool m_bPreserveWhiteSpace = false;
};

}  // namespace Platform::Xml::Detail
