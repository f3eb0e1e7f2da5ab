// An XML DOM with XPath selection in the shape of MSXML's IXMLDOMDocument2, built on libxml2.
//
// Interfaces are COM interfaces (IUnknown reference counting) and report HRESULTs:
// S_OK on success, S_FALSE when a query finds nothing (the out pointer is then null or the out
// text empty), E_INVALIDARG / E_POINTER for bad arguments, E_FAIL for operations the DOM refuses.
//
// Namespace semantics follow MSXML, because the system's XPath depends on them:
// - createElement makes an element in no namespace. An "xmlns" attribute set on it is ordinary
//   attribute text: it is serialised, and takes effect only when the text is parsed again.
// - createNode with a namespace URI, and elements parsed from text, carry their namespace.
// - XPath prefixes come from the "SelectionNamespaces" property; an unprefixed name test matches
//   elements in no namespace only.
//
// Parsing never touches the network or the file system beyond the named file of load(): documents
// with a DOCTYPE are rejected (so no entities can be declared), external entities are refused, and
// depth and size are bounded. A failed load leaves the document empty and fills get_parseError.
#pragma once

#include <functional>

#include <concepts>
#include <filesystem>
#include <string>
#include <string_view>

#include "Platform/Com/Unknown.h"

enum DOMNodeType {
    NODE_INVALID = 0,
    NODE_ELEMENT = 1,
    NODE_ATTRIBUTE = 2,
    NODE_TEXT = 3,
    NODE_CDATA_SECTION = 4,
    NODE_ENTITY_REFERENCE = 5,
    NODE_ENTITY = 6,
    NODE_PROCESSING_INSTRUCTION = 7,
    NODE_COMMENT = 8,
    NODE_DOCUMENT = 9,
    NODE_DOCUMENT_TYPE = 10,
    NODE_DOCUMENT_FRAGMENT = 11,
    NODE_NOTATION = 12
};

inline constexpr IID IID_IXMLDOMNode = {0x6b1f3c10, 0x2a4e, 0x4d8b, {0x9a, 0x51, 0x0e, 0x3c, 0x77, 0x12, 0xa4, 0x01}};
inline constexpr IID IID_IXMLDOMElement = {
    0x6b1f3c11, 0x2a4e, 0x4d8b, {0x9a, 0x51, 0x0e, 0x3c, 0x77, 0x12, 0xa4, 0x01}};
inline constexpr IID IID_IXMLDOMDocument = {
    0x6b1f3c12, 0x2a4e, 0x4d8b, {0x9a, 0x51, 0x0e, 0x3c, 0x77, 0x12, 0xa4, 0x01}};
inline constexpr IID IID_IXMLDOMDocument2 = {
    0x6b1f3c13, 0x2a4e, 0x4d8b, {0x9a, 0x51, 0x0e, 0x3c, 0x77, 0x12, 0xa4, 0x01}};
inline constexpr IID IID_IXMLDOMNodeList = {
    0x6b1f3c14, 0x2a4e, 0x4d8b, {0x9a, 0x51, 0x0e, 0x3c, 0x77, 0x12, 0xa4, 0x01}};

struct IXMLDOMNode;
struct IXMLDOMElement;
struct IXMLDOMDocument;

// The reason of the last failed load, like IXMLDOMParseError.
struct XmlParseError {
    HRESULT errorCode = S_OK;  // S_OK after a successful load
    std::wstring reason;
    long line = 0;
    long linepos = 0;
};

struct IXMLDOMNodeList : IUnknown {
    virtual HRESULT get_length(long* pLength) = 0;
    // S_FALSE and null when the index is out of range.
    virtual HRESULT get_item(long index, IXMLDOMNode** ppNode) = 0;
    // Iterates from the start (or from the last reset); S_FALSE and null at the end.
    virtual HRESULT nextNode(IXMLDOMNode** ppNode) = 0;
    virtual HRESULT reset() = 0;
};

struct IXMLDOMNode : IUnknown {
    // Qualified name; "#text", "#cdata-section", "#comment", "#document" for the other kinds.
    virtual HRESULT get_nodeName(std::wstring& name) = 0;
    // Local name without prefix (empty for text, comments and the document).
    virtual HRESULT get_baseName(std::wstring& name) = 0;
    virtual HRESULT get_prefix(std::wstring& prefix) = 0;
    // S_FALSE and empty when the node is in no namespace.
    virtual HRESULT get_namespaceURI(std::wstring& uri) = 0;
    virtual HRESULT get_nodeType(DOMNodeType* pType) = 0;

    // The concatenated text of the node and its descendants; an attribute's value.
    virtual HRESULT get_text(std::wstring& text) = 0;
    // On an element: replaces all children with one text node. On an attribute: sets its value.
    virtual HRESULT put_text(std::wstring_view text) = 0;

    // Serialised markup of the node (of the whole content for the document), with the namespace
    // declarations it needs; no XML declaration.
    virtual HRESULT get_xml(std::wstring& xml) = 0;
    virtual HRESULT get_xmlUtf8(std::string& xml) = 0;

    virtual HRESULT get_parentNode(IXMLDOMNode** ppParent) = 0;
    virtual HRESULT get_firstChild(IXMLDOMNode** ppChild) = 0;
    virtual HRESULT get_lastChild(IXMLDOMNode** ppChild) = 0;
    virtual HRESULT get_previousSibling(IXMLDOMNode** ppSibling) = 0;
    virtual HRESULT get_nextSibling(IXMLDOMNode** ppSibling) = 0;
    virtual HRESULT get_childNodes(IXMLDOMNodeList** ppList) = 0;
    virtual HRESULT hasChildNodes(bool* pbHas) = 0;
    virtual HRESULT get_ownerDocument(IXMLDOMDocument** ppDoc) = 0;

    // Moves newChild (from any document) to the end of this node's children. ppOut is optional.
    virtual HRESULT appendChild(IXMLDOMNode* newChild, IXMLDOMNode** ppOut) = 0;
    // Inserts before refChild; a null refChild appends.
    virtual HRESULT insertBefore(IXMLDOMNode* newChild, IXMLDOMNode* refChild, IXMLDOMNode** ppOut) = 0;
    // The removed node stays usable and can be appended again.
    virtual HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** ppOut) = 0;
    virtual HRESULT cloneNode(bool deep, IXMLDOMNode** ppClone) = 0;

    // XPath 1.0 with the document's selection namespaces, relative to this node.
    // selectSingleNode gives the first match in document order, S_FALSE when none;
    // an invalid expression or one that does not yield nodes is E_FAIL.
    virtual HRESULT selectSingleNode(std::wstring_view xpath, IXMLDOMNode** ppNode) = 0;
    virtual HRESULT selectNodes(std::wstring_view xpath, IXMLDOMNodeList** ppList) = 0;
};

struct IXMLDOMElement : IXMLDOMNode {
    virtual HRESULT get_tagName(std::wstring& name) = 0;
    // S_FALSE and empty when the attribute is absent. "xmlns" and "xmlns:p" also report the
    // namespace declarations of parsed elements.
    virtual HRESULT getAttribute(std::wstring_view name, std::wstring& value) = 0;
    virtual HRESULT setAttribute(std::wstring_view name, std::wstring_view value) = 0;
    // S_FALSE when there was no such attribute.
    virtual HRESULT removeAttribute(std::wstring_view name) = 0;

    // Numeric attribute values are written in decimal.
    template <std::integral T>
    requires(!std::same_as<T, bool>) HRESULT setAttribute(std::wstring_view name, T value) {
        return setAttribute(name, std::wstring_view(std::to_wstring(value)));
    }
    HRESULT setAttribute(std::wstring_view name, const wchar_t* value) {
        return setAttribute(name, value ? std::wstring_view(value) : std::wstring_view());
    }
    HRESULT setAttribute(std::wstring_view name, const std::wstring& value) {
        return setAttribute(name, std::wstring_view(value));
    }
};

struct IXMLDOMDocument : IXMLDOMNode {
    // An element in no namespace (see the header comment). Names are checked: E_FAIL if invalid.
    virtual HRESULT createElement(std::wstring_view tagName, IXMLDOMElement** ppElement) = 0;
    // NODE_ELEMENT (name may carry a prefix; namespaceURI may be empty), NODE_TEXT,
    // NODE_CDATA_SECTION (name ignored) and NODE_COMMENT; other kinds are E_INVALIDARG.
    virtual HRESULT createNode(DOMNodeType type, std::wstring_view name, std::wstring_view namespaceURI,
                               IXMLDOMNode** ppNode) = 0;
    virtual HRESULT createTextNode(std::wstring_view text, IXMLDOMNode** ppNode) = 0;
    // S_FALSE and null when the document is empty.
    virtual HRESULT get_documentElement(IXMLDOMElement** ppElement) = 0;

    // S_OK when the text parsed; S_FALSE (document empty, get_parseError filled) when it did not.
    // Wide text ignores any declared encoding, as it is already decoded.
    virtual HRESULT loadXML(std::wstring_view xml) = 0;
    // Bytes as received: the XML declaration or byte-order mark decides the encoding (UTF-8 default).
    virtual HRESULT loadXMLBytes(std::string_view bytes) = 0;
    virtual HRESULT load(const std::filesystem::path& file) = 0;
    virtual HRESULT get_parseError(XmlParseError& error) = 0;

    // Loading is always synchronous; the flag is kept for callers that set it.
    virtual HRESULT put_async(bool bAsync) = 0;
    // Validation against a DTD and loading of external resources are never done: true is E_INVALIDARG.
    virtual HRESULT put_validateOnParse(bool bValidate) = 0;
    virtual HRESULT put_resolveExternals(bool bResolve) = 0;
    // false (the default) drops white-space-only text between elements when loading.
    virtual HRESULT put_preserveWhiteSpace(bool bPreserve) = 0;
};

struct IXMLDOMDocument2 : IXMLDOMDocument {
    // "SelectionLanguage" accepts "XPath"; "SelectionNamespaces" takes declarations of the form
    // xmlns:p='uri' separated by white space (an empty text clears them); "ProhibitDTD" accepts
    // "true". Anything else is E_INVALIDARG.
    virtual HRESULT setProperty(std::wstring_view name, std::wstring_view value) = 0;
    virtual HRESULT getProperty(std::wstring_view name, std::wstring& value) = 0;
};

namespace Platform {
template <>
struct InterfaceId<IXMLDOMNode> {
    static const IID& Get() { return IID_IXMLDOMNode; }
};
template <>
struct InterfaceId<IXMLDOMElement> {
    static const IID& Get() { return IID_IXMLDOMElement; }
};
template <>
struct InterfaceId<IXMLDOMDocument> {
    static const IID& Get() { return IID_IXMLDOMDocument; }
};
template <>
struct InterfaceId<IXMLDOMDocument2> {
    static const IID& Get() { return IID_IXMLDOMDocument2; }
};
template <>
struct InterfaceId<IXMLDOMNodeList> {
    static const IID& Get() { return IID_IXMLDOMNodeList; }
};
}  // namespace Platform

namespace Platform::Xml {

// A new, empty document (stands in for creating an MSXML DOMDocument). E_OUTOFMEMORY on failure.
HRESULT CreateDocument(IXMLDOMDocument2** ppDoc);

// The largest text loadXML, loadXMLBytes and load accept.
constexpr size_t kMaxDocumentBytes = size_t(1) << 30;

// Text stored in a document (createTextNode, put_text, setAttribute) never carries characters that
// XML 1.0 cannot hold, or every reader would refuse the whole document: U+000B becomes a line
// break, the other control characters but tab, line feed and carriage return, U+FFFE and U+FFFF
// become U+FFFD. The observer (one per process, may be empty) hears how many were replaced in a
// text, so that the log can tell.
void SetTextRepairObserver(std::function<void(size_t cReplaced)> observer);

}  // namespace Platform::Xml
