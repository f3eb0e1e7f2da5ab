// An event-driven XML reader in the shape of MSXML's SAX2 interfaces (ISAXXMLReader,
// ISAXContentHandler, ISAXAttributes), built on libxml2's push parser. It reads a document of any
// size in pieces without building a tree: memory stays at one piece of input plus the element
// being reported.
//
// Texts handed to a handler are views that are valid only during the call that hands them out
// (the attributes object too is valid only inside startElement). Character data may arrive in
// several characters() calls.
//
// Parsing is as safe as the DOM's: documents with a DOCTYPE are rejected (so no entity can be
// declared), nothing outside the given input is read, nesting is bounded and libxml2's limits on
// names and tokens stay in force.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Com/Unknown.h"
#include "Platform/Xml/Dom.h"

struct IStream;

inline constexpr IID IID_ISAXAttributes = {
    0x6b1f3c20, 0x2a4e, 0x4d8b, {0x9a, 0x51, 0x0e, 0x3c, 0x77, 0x12, 0xa4, 0x01}};
inline constexpr IID IID_ISAXContentHandler = {
    0x6b1f3c21, 0x2a4e, 0x4d8b, {0x9a, 0x51, 0x0e, 0x3c, 0x77, 0x12, 0xa4, 0x01}};
inline constexpr IID IID_ISAXXMLReader = {0x6b1f3c22, 0x2a4e, 0x4d8b, {0x9a, 0x51, 0x0e, 0x3c, 0x77, 0x12, 0xa4, 0x01}};

// The attributes of one start tag, in document order. Namespace declarations are not reported.
// Index look-ups out of range and name look-ups that find nothing are E_INVALIDARG.
struct ISAXAttributes : IUnknown {
    virtual HRESULT getLength(int* pnLength) = 0;
    // Namespace URI (empty for an attribute without prefix), local name and qualified name.
    virtual HRESULT getURI(int nIndex, std::wstring_view& uri) = 0;
    virtual HRESULT getLocalName(int nIndex, std::wstring_view& localName) = 0;
    virtual HRESULT getQName(int nIndex, std::wstring_view& qName) = 0;
    virtual HRESULT getValue(int nIndex, std::wstring_view& value) = 0;
    virtual HRESULT getIndexFromName(std::wstring_view uri, std::wstring_view localName, int* pnIndex) = 0;
    virtual HRESULT getIndexFromQName(std::wstring_view qName, int* pnIndex) = 0;
    virtual HRESULT getValueFromName(std::wstring_view uri, std::wstring_view localName, std::wstring_view& value) = 0;
    virtual HRESULT getValueFromQName(std::wstring_view qName, std::wstring_view& value) = 0;
};

// Receives the events of a parse. A failure HRESULT from any method stops the parse, and parse()
// returns that HRESULT.
struct ISAXContentHandler : IUnknown {
    virtual HRESULT startDocument() = 0;
    // Called only when the whole document was read without error.
    virtual HRESULT endDocument() = 0;
    // uri is empty for an element in no namespace; qName carries the prefix as written.
    virtual HRESULT startElement(std::wstring_view uri, std::wstring_view localName, std::wstring_view qName,
                                 ISAXAttributes* pAttributes) = 0;
    virtual HRESULT endElement(std::wstring_view uri, std::wstring_view localName, std::wstring_view qName) = 0;
    // Text and CDATA content, with character and predefined entity references resolved.
    virtual HRESULT characters(std::wstring_view chars) = 0;
};

struct ISAXXMLReader : IUnknown {
    virtual HRESULT putContentHandler(ISAXContentHandler* pHandler) = 0;
    virtual HRESULT getContentHandler(ISAXContentHandler** ppHandler) = 0;

    // Parses a whole document given as bytes (encoding from the declaration or byte-order mark,
    // UTF-8 by default). S_OK when the document was well formed and every handler call succeeded;
    // a handler's failure HRESULT; E_FAIL (or E_OUTOFMEMORY) for a document that is not well formed,
    // with getParseError filled. E_UNEXPECTED without a content handler.
    virtual HRESULT parse(std::string_view bytes) = 0;
    // The same for the rest of a stream, read piece by piece from its current position.
    virtual HRESULT parseStream(IStream* pStream) = 0;

    // The reason of the last failed parse (errorCode S_OK after a successful one).
    virtual HRESULT getParseError(XmlParseError& error) = 0;
};

namespace Platform {
template <>
struct InterfaceId<ISAXAttributes> {
    static const IID& Get() { return IID_ISAXAttributes; }
};
template <>
struct InterfaceId<ISAXContentHandler> {
    static const IID& Get() { return IID_ISAXContentHandler; }
};
template <>
struct InterfaceId<ISAXXMLReader> {
    static const IID& Get() { return IID_ISAXXMLReader; }
};
}  // namespace Platform

namespace Platform::Xml {

// A new reader (stands in for creating an MSXML SAXXMLReader). E_OUTOFMEMORY on failure.
HRESULT CreateSaxReader(ISAXXMLReader** ppReader);

// The deepest element nesting the reader accepts, as libxml2's own parser limit.
constexpr int kMaxSaxDepth = 256;

}  // namespace Platform::Xml
