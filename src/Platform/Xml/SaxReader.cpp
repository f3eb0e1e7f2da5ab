// The event-driven reader over libxml2's push parser with SAX2 callbacks and no tree building.
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <new>
#include <unordered_map>
#include <vector>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/Stream.h"
#include "Platform/Xml/DomImpl.h"
#include "Platform/Xml/Sax.h"

namespace Platform::Xml::Detail {

namespace {

// Input is handed to libxml2 in pieces of this size, which also bounds its input buffer.
constexpr size_t kPieceBytes = 64 * 1024;

const char* Chars(const xmlChar* text) {
    return reinterpret_cast<const char*>(text);
}

struct TransparentHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};

// Wide forms of element and attribute names and namespace URIs, which repeat all through a
// document; converted once per parse.
class NameCache {
public:
    std::wstring_view Get(std::string_view name) {
        auto it = m_names.find(name);
        if (it == m_names.end())
            it = m_names.emplace(std::string(name), Platform::FromUtf8(name)).first;
        return it->second;
    }
    std::wstring_view Get(const xmlChar* name) {
        return name ? Get(std::string_view(Chars(name))) : std::wstring_view();
    }
    std::wstring_view Qualified(const xmlChar* prefix, const xmlChar* localName) {
        if (!prefix)
            return Get(localName);
        m_sScratch.assign(Chars(prefix));
        m_sScratch += ':';
        m_sScratch += Chars(localName);
        return Get(m_sScratch);
    }

private:
    std::unordered_map<std::string, std::wstring, TransparentHash, std::equal_to<>> m_names;
    std::string m_sScratch;
};

class AttributesImpl final : public Platform::ComObject<ISAXAttributes> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<ISAXAttributes, IUnknown>(riid, ppv);
    }

    // libxml2 gives five pointers per attribute: local name, prefix, URI, value, end of value.
    void Fill(NameCache& names, int nAttributes, const xmlChar** attributes) {
        m_nCount = 0;
        if (static_cast<size_t>(nAttributes) > m_entries.size())
            m_entries.resize(nAttributes);
        for (int i = 0; i < nAttributes; ++i) {
            const xmlChar** a = attributes + 5 * i;
            Entry& e = m_entries[i];
            e.localName = names.Get(a[0]);
            e.qName = names.Qualified(a[1], a[0]);
            e.uri = names.Get(a[2]);
            DecodeValue(std::string_view(Chars(a[3]), static_cast<size_t>(a[4] - a[3])), e.value);
        }
        m_nCount = nAttributes;
    }

    HRESULT getLength(int* pnLength) override {
        if (!pnLength)
            return E_POINTER;
        *pnLength = m_nCount;
        return S_OK;
    }
    HRESULT getURI(int nIndex, std::wstring_view& uri) override { return Field(nIndex, &Entry::uri, uri); }
    HRESULT getLocalName(int nIndex, std::wstring_view& localName) override {
        return Field(nIndex, &Entry::localName, localName);
    }
    HRESULT getQName(int nIndex, std::wstring_view& qName) override { return Field(nIndex, &Entry::qName, qName); }
    HRESULT getValue(int nIndex, std::wstring_view& value) override {
        if (nIndex < 0 || nIndex >= m_nCount)
            return E_INVALIDARG;
        value = m_entries[nIndex].value;
        return S_OK;
    }
    HRESULT getIndexFromName(std::wstring_view uri, std::wstring_view localName, int* pnIndex) override {
        if (!pnIndex)
            return E_POINTER;
        for (int i = 0; i < m_nCount; ++i) {
            if (m_entries[i].uri == uri && m_entries[i].localName == localName) {
                *pnIndex = i;
                return S_OK;
            }
        }
        *pnIndex = -1;
        return E_INVALIDARG;
    }
    HRESULT getIndexFromQName(std::wstring_view qName, int* pnIndex) override {
        if (!pnIndex)
            return E_POINTER;
        for (int i = 0; i < m_nCount; ++i) {
            if (m_entries[i].qName == qName) {
                *pnIndex = i;
                return S_OK;
            }
        }
        *pnIndex = -1;
        return E_INVALIDARG;
    }
    HRESULT getValueFromName(std::wstring_view uri, std::wstring_view localName, std::wstring_view& value) override {
        int i = -1;
        HRESULT hr = getIndexFromName(uri, localName, &i);
        return SUCCEEDED(hr) ? getValue(i, value) : hr;
    }
    HRESULT getValueFromQName(std::wstring_view qName, std::wstring_view& value) override {
        int i = -1;
        HRESULT hr = getIndexFromQName(qName, &i);
        return SUCCEEDED(hr) ? getValue(i, value) : hr;
    }

private:
    struct Entry {
        std::wstring_view uri;
        std::wstring_view localName;
        std::wstring_view qName;
        std::wstring value;
    };

    HRESULT Field(int nIndex, std::wstring_view Entry::*field, std::wstring_view& out) const {
        if (nIndex < 0 || nIndex >= m_nCount)
            return E_INVALIDARG;
        out = m_entries[nIndex].*field;
        return S_OK;
    }

    // Without entity substitution libxml2 leaves every '&' of an attribute value as the character
    // reference "&#38;" (all other references are already resolved, and no others can exist since
    // documents with a DOCTYPE are refused), so that is the one form to undo.
    static void DecodeValue(std::string_view raw, std::wstring& value) {
        if (raw.find('&') == std::string_view::npos) {
            value = Platform::FromUtf8(raw);
            return;
        }
        std::string decoded;
        decoded.reserve(raw.size());
        for (size_t i = 0; i < raw.size(); ++i) {
            decoded += raw[i];
            if (raw[i] == '&' && raw.substr(i + 1, 4) == "#38;")
                i += 4;
        }
        value = Platform::FromUtf8(decoded);
    }

    std::vector<Entry> m_entries;  // reused from element to element
    int m_nCount = 0;
};

// The state of one parse; libxml2's callbacks get it as their user data.
struct ParseSession {
    xmlParserCtxtPtr ctxt = nullptr;
    ISAXContentHandler* pHandler = nullptr;
    AttributesImpl* pAttributes = nullptr;
    NameCache names;
    HRESULT hrHandler = S_OK;
    int nDepth = 0;
    bool bSawRoot = false;
    bool bDoctype = false;
    bool bTooDeep = false;

    void Check(HRESULT hr) {
        if (FAILED(hr) && SUCCEEDED(hrHandler)) {
            hrHandler = hr;
            xmlStopParser(ctxt);
        }
    }

    // Runs one callback's work; nothing may be thrown back through libxml2's C frames.
    template <class Work>
    void Guarded(Work work) {
        try {
            work();
        } catch (const std::bad_alloc&) {
            Check(E_OUTOFMEMORY);
        } catch (...) {
            Check(E_FAIL);
        }
    }
};

ParseSession& SessionOf(void* ctx) {
    return *static_cast<ParseSession*>(ctx);
}

void OnStartElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri, int,
                    const xmlChar**, int nAttributes, int, const xmlChar** attributes) {
    ParseSession& s = SessionOf(ctx);
    s.bSawRoot = true;
    if (++s.nDepth > kMaxSaxDepth) {
        s.bTooDeep = true;
        xmlStopParser(s.ctxt);
        return;
    }
    s.Guarded([&] {
        s.pAttributes->Fill(s.names, nAttributes, attributes);
        s.Check(s.pHandler->startElement(s.names.Get(uri), s.names.Get(localName), s.names.Qualified(prefix, localName),
                                         s.pAttributes));
    });
}

void OnEndElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri) {
    ParseSession& s = SessionOf(ctx);
    --s.nDepth;
    s.Guarded([&] {
        s.Check(s.pHandler->endElement(s.names.Get(uri), s.names.Get(localName), s.names.Qualified(prefix, localName)));
    });
}

void OnCharacters(void* ctx, const xmlChar* text, int len) {
    ParseSession& s = SessionOf(ctx);
    s.Guarded([&] {
        std::wstring chars = Platform::FromUtf8(std::string_view(Chars(text), static_cast<size_t>(len)));
        s.Check(s.pHandler->characters(chars));
    });
}

// SOAP forbids document type declarations; stopping at one means no entity can be declared.
void OnDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    ParseSession& s = SessionOf(ctx);
    s.bDoctype = true;
    xmlStopParser(s.ctxt);
}

void IgnoreStructuredError(void*, xmlErrorPtr) {}

class SaxReaderImpl final : public Platform::ComObject<ISAXXMLReader> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<ISAXXMLReader, IUnknown>(riid, ppv);
    }

    HRESULT putContentHandler(ISAXContentHandler* pHandler) override {
        m_handler = Platform::ComPtr<ISAXContentHandler>(pHandler);
        return S_OK;
    }
    HRESULT getContentHandler(ISAXContentHandler** ppHandler) override { return m_handler.CopyTo(ppHandler); }

    HRESULT parse(std::string_view bytes) override {
        return Run([bytes](std::string& piece, size_t offset) -> HRESULT {
            piece.assign(bytes.substr(std::min(offset, bytes.size()), kPieceBytes));
            return S_OK;
        });
    }

    HRESULT parseStream(IStream* pStream) override {
        if (!pStream)
            return E_POINTER;
        return Run([pStream](std::string& piece, size_t) -> HRESULT {
            piece.resize(kPieceBytes);
            ULONG cbRead = 0;
            HRESULT hr = pStream->Read(piece.data(), static_cast<ULONG>(piece.size()), &cbRead);
            piece.resize(SUCCEEDED(hr) ? std::min<size_t>(cbRead, kPieceBytes) : 0);
            return hr;
        });
    }

    HRESULT getParseError(XmlParseError& error) override {
        error = m_error;
        return S_OK;
    }

private:
    // Drives one parse; next(piece, offset) fills the next piece of input (empty at the end).
    template <class Next>
    HRESULT Run(Next next) {
        m_error = XmlParseError();
        if (!m_handler)
            return Fail(E_UNEXPECTED, L"No content handler is set.");
        EnsureLibraryReady();
        ErrorSilencer silencer;

        xmlSAXHandler sax{};
        sax.initialized = XML_SAX2_MAGIC;
        sax.startElementNs = OnStartElement;
        sax.endElementNs = OnEndElement;
        sax.characters = OnCharacters;
        sax.cdataBlock = OnCharacters;
        sax.internalSubset = OnDoctype;
        sax.serror = IgnoreStructuredError;

        Platform::ComPtr<AttributesImpl> attributes;
        ParseSession session;
        try {
            attributes.Attach(new AttributesImpl());
        } catch (const std::bad_alloc&) {
            return Fail(E_OUTOFMEMORY, L"Out of memory.");
        }
        session.pHandler = m_handler.Get();
        session.pAttributes = attributes.Get();
        session.ctxt = xmlCreatePushParserCtxt(&sax, &session, nullptr, 0, nullptr);
        if (!session.ctxt)
            return Fail(E_OUTOFMEMORY, L"Out of memory.");
        // Never NOENT, DTDLOAD, DTDATTR, DTDVALID, XINCLUDE or HUGE.
        xmlCtxtUseOptions(session.ctxt, XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR);

        HRESULT hr = Feed(session, next);
        xmlFreeParserCtxt(session.ctxt);
        return hr;
    }

    template <class Next>
    HRESULT Feed(ParseSession& session, Next& next) {
        xmlParserCtxtPtr ctxt = session.ctxt;
        session.Guarded([&] { session.Check(session.pHandler->startDocument()); });
        std::string piece;
        size_t offset = 0;
        bool bEnd = false;
        while (!bEnd && Running(ctxt)) {
            HRESULT hr;
            try {
                hr = next(piece, offset);
            } catch (const std::bad_alloc&) {
                hr = E_OUTOFMEMORY;
            }
            if (FAILED(hr))
                return Fail(hr, L"The input could not be read.");
            offset += piece.size();
            bEnd = piece.empty();
            xmlParseChunk(ctxt, piece.data(), static_cast<int>(piece.size()), bEnd ? 1 : 0);
        }

        if (FAILED(session.hrHandler))
            return Fail(session.hrHandler, L"The content handler stopped the parse.", ctxt);
        if (session.bDoctype)
            return Fail(E_FAIL, L"A document type declaration is not allowed.", ctxt);
        if (session.bTooDeep)
            return Fail(E_FAIL, L"Elements are nested more than " + std::to_wstring(kMaxSaxDepth) + L" levels deep.",
                        ctxt);
        if (!ctxt->wellFormed || !ctxt->nsWellFormed || ctxt->errNo != XML_ERR_OK) {
            const xmlError& last = ctxt->lastError;
            std::wstring reason = last.message ? Widen(reinterpret_cast<const xmlChar*>(last.message)) : L"";
            while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L' '))
                reason.pop_back();
            if (reason.empty())
                reason = L"The document is not well formed.";
            m_error.line = last.line;
            m_error.linepos = last.int2;
            m_error.reason = reason;
            m_error.errorCode = last.code == XML_ERR_NO_MEMORY ? E_OUTOFMEMORY : E_FAIL;
            return m_error.errorCode;
        }
        if (!session.bSawRoot)
            return Fail(E_FAIL, L"The document has no root element.");
        session.Guarded([&] { session.Check(session.pHandler->endDocument()); });
        if (FAILED(session.hrHandler))
            return Fail(session.hrHandler, L"The content handler stopped the parse.");
        return S_OK;
    }

    static bool Running(xmlParserCtxtPtr ctxt) {
        return ctxt->instate != XML_PARSER_EOF && !ctxt->disableSAX && ctxt->errNo == XML_ERR_OK;
    }

    HRESULT Fail(HRESULT hr, std::wstring reason, xmlParserCtxtPtr ctxt = nullptr) {
        m_error.errorCode = hr;
        m_error.reason = std::move(reason);
        if (ctxt && ctxt->input) {
            m_error.line = ctxt->input->line;
            m_error.linepos = ctxt->input->col;
        }
        return hr;
    }

    Platform::ComPtr<ISAXContentHandler> m_handler;
    XmlParseError m_error;
};

}  // namespace

}  // namespace Platform::Xml::Detail

namespace Platform::Xml {

HRESULT CreateSaxReader(ISAXXMLReader** ppReader) {
    if (!ppReader)
        return E_POINTER;
    *ppReader = nullptr;
    try {
        *ppReader = new Detail::SaxReaderImpl();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace Platform::Xml
