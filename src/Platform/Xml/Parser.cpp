// Safe parsing of untrusted XML with libxml2.
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <mutex>

#include "Platform/Xml/DomImpl.h"

namespace Platform::Xml::Detail {

namespace {

void SilentStructuredError(void*, xmlErrorPtr) {}
void SilentGenericError(void*, const char*, ...) {}

// Nothing outside the given text is ever read: no DTDs, entities or includes from files or the network.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
    return nullptr;
}

struct ParseState {
    bool bDoctype = false;
};

// SOAP forbids document type declarations; stopping at the DOCTYPE means no entity can ever be
// declared, so entity expansion attacks have nothing to work with.
void RejectDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
    static_cast<ParseState*>(ctxt->_private)->bDoctype = true;
    xmlStopParser(ctxt);
}

std::wstring Trimmed(const char* message) {
    std::wstring text = message ? Widen(reinterpret_cast<const xmlChar*>(message)) : std::wstring();
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

}  // namespace

ErrorSilencer::ErrorSilencer()
    : m_pfnOldStructured(xmlStructuredError),
      m_pOldStructuredCtx(xmlStructuredErrorContext),
      m_pfnOldGeneric(xmlGenericError),
      m_pOldGenericCtx(xmlGenericErrorContext) {
    xmlSetStructuredErrorFunc(nullptr, SilentStructuredError);
    xmlSetGenericErrorFunc(nullptr, SilentGenericError);
}

ErrorSilencer::~ErrorSilencer() {
    xmlSetStructuredErrorFunc(m_pOldStructuredCtx, m_pfnOldStructured);
    xmlSetGenericErrorFunc(m_pOldGenericCtx, m_pfnOldGeneric);
}

void EnsureLibraryReady() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
    });
}

xmlDocPtr ParseUntrusted(std::string_view bytes, const char* forcedEncoding, bool bKeepBlanks, XmlParseError& error) {
    error = XmlParseError();
    if (bytes.size() > kMaxDocumentBytes || bytes.size() > size_t(INT_MAX)) {
        error.errorCode = E_INVALIDARG;
        error.reason = L"The document is larger than " + std::to_wstring(kMaxDocumentBytes) + L" bytes.";
        return nullptr;
    }
    EnsureLibraryReady();
    ErrorSilencer silencer;

    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt) {
        error.errorCode = E_OUTOFMEMORY;
        error.reason = L"Out of memory.";
        return nullptr;
    }
    ParseState state;
    ctxt->_private = &state;
    ctxt->sax->internalSubset = RejectDoctype;
    ctxt->sax->serror = SilentStructuredError;
    ctxt->sax->warning = nullptr;
    ctxt->sax->error = nullptr;
    ctxt->sax->fatalError = nullptr;

    // Never NOENT, DTDLOAD, DTDATTR, DTDVALID, XINCLUDE or HUGE: libxml2's default limits on depth,
    // name and text lengths stay in force. COMPACT keeps texts shorter than 16 bytes (most attribute
    // values of a sync reply) inside their nodes: a third fewer blocks, whose freeing otherwise
    // costs more per node the larger the document, as the allocator later gathers them up again.
    int options = XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR | XML_PARSE_COMPACT;
    if (!bKeepBlanks)
        options |= XML_PARSE_NOBLANKS;
    if (forcedEncoding)
        options |= XML_PARSE_IGNORE_ENC;

    xmlDocPtr doc =
        xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), nullptr, forcedEncoding, options);
    if (state.bDoctype || (doc && doc->intSubset)) {
        if (doc)
            xmlFreeDoc(doc);
        doc = nullptr;
        error.errorCode = E_FAIL;
        error.reason = L"A document type declaration is not allowed.";
        error.line = ctxt->input ? ctxt->input->line : 0;
        error.linepos = ctxt->input ? ctxt->input->col : 0;
    } else if (!doc || !ctxt->wellFormed || !ctxt->nsWellFormed || !xmlDocGetRootElement(doc)) {
        if (doc)
            xmlFreeDoc(doc);
        doc = nullptr;
        const xmlError& last = ctxt->lastError;
        error.errorCode = last.code == XML_ERR_NO_MEMORY ? E_OUTOFMEMORY : E_FAIL;
        error.reason =
            last.code != XML_ERR_OK ? Trimmed(last.message) : std::wstring(L"The document has no root element.");
        error.line = last.line;
        error.linepos = last.int2;
    }
    xmlFreeParserCtxt(ctxt);
    return doc;
}

}  // namespace Platform::Xml::Detail
