#include "Soap.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <climits>
#include <cstdint>

namespace OstrelServer {

const char* const kSoapNs = "http://www.w3.org/2003/05/soap-envelope";

namespace {

struct XPathResult {
    xmlXPathContextPtr ctx = nullptr;
    xmlXPathObjectPtr obj = nullptr;
    ~XPathResult() {
        xmlXPathFreeObject(obj);
        xmlXPathFreeContext(ctx);
    }
    int Size() const { return obj && obj->nodesetval ? obj->nodesetval->nodeNr : 0; }
    xmlNodePtr Node(int i) const { return obj->nodesetval->nodeTab[i]; }
};

void Evaluate(void* doc, const std::string& xpath, XPathResult& r) {
    r.ctx = xmlXPathNewContext(static_cast<xmlDocPtr>(doc));
    if (!r.ctx)
        return;
    const char* prefixes[][2] = {{"soap", kSoapNs},
                                 {"l", "urn:ostrel"},
                                 {"mail", "urn:ostrelMail"},
                                 {"account", "urn:ostrelAccount"},
                                 {"admin", "urn:ostrelAdmin"}};
    for (auto& p : prefixes)
        xmlXPathRegisterNs(r.ctx, BAD_CAST p[0], BAD_CAST p[1]);
    r.obj = xmlXPathEvalExpression(BAD_CAST xpath.c_str(), r.ctx);
}

std::string Content(xmlNodePtr node) {
    xmlChar* text = xmlNodeGetContent(node);
    std::string out = text ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return out;
}

void IgnoreErrors(void*, xmlErrorPtr) {}

}  // namespace

std::unique_ptr<SoapDocument> SoapDocument::Parse(const std::string& text, std::string* pError) {
    auto fail = [&](const char* why) {
        if (pError)
            *pError = why;
        return std::unique_ptr<SoapDocument>();
    };
    if (text.size() > INT_MAX)
        return fail("request too large");
    xmlSetStructuredErrorFunc(nullptr, IgnoreErrors);
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "request.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return fail("malformed XML");
    std::unique_ptr<SoapDocument> out(new SoapDocument());
    out->m_pDoc = doc;
    if (doc->intSubset || doc->extSubset)
        return fail("DOCTYPE not allowed");
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (!root || !root->ns || std::string(reinterpret_cast<const char*>(root->ns->href)) != kSoapNs ||
        std::string(reinterpret_cast<const char*>(root->name)) != "Envelope")
        return fail("not a SOAP 1.2 envelope");
    XPathResult r;
    Evaluate(doc, "/soap:Envelope/soap:Body/*", r);
    if (r.Size() > 0) {
        xmlNodePtr first = r.Node(0);
        out->m_callName = reinterpret_cast<const char*>(first->name);
        if (first->ns && first->ns->href)
            out->m_callNs = reinterpret_cast<const char*>(first->ns->href);
    }
    return out;
}

SoapDocument::~SoapDocument() {
    xmlFreeDoc(static_cast<xmlDocPtr>(m_pDoc));
}

std::optional<std::string> SoapDocument::Text(const std::string& xpath) const {
    XPathResult r;
    Evaluate(m_pDoc, xpath, r);
    if (r.Size() == 0)
        return std::nullopt;
    return Content(r.Node(0));
}

std::vector<std::string> SoapDocument::Texts(const std::string& xpath) const {
    XPathResult r;
    Evaluate(m_pDoc, xpath, r);
    std::vector<std::string> out;
    for (int i = 0; i < r.Size(); ++i)
        out.push_back(Content(r.Node(i)));
    return out;
}

size_t SoapDocument::Count(const std::string& xpath) const {
    XPathResult r;
    Evaluate(m_pDoc, xpath, r);
    return static_cast<size_t>(r.Size());
}

namespace {

// The length of the well-formed UTF-8 sequence at `i` holding a character XML may carry, or 0.
size_t XmlCharLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
    size_t n = 0;
    uint32_t cp = 0;
    if ((lead & 0xE0) == 0xC0) {
        n = 2;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        n = 3;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        n = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)
        return 0;
    return n;
}

}  // namespace

std::string XmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = XmlCharLength(text, i);
        if (n == 0) {
            // No XML document can hold it, not even as a reference: the replacement character.
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        switch (const char c = text[i++]) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            // A parser turns these into spaces in attributes and CR LF into LF in text: references
            // bring back what was sent.
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string SoapEnvelope(const std::string& bodyXml, const std::string& contextXml) {
    std::string out;
    out.reserve(bodyXml.size() + contextXml.size() + 256);
    out += "<soap:Envelope xmlns:soap=\"";
    out += kSoapNs;
    out += "\"><soap:Header><context xmlns=\"urn:ostrel\">";
    out += contextXml;
    out += "</context></soap:Header><soap:Body>";
    out += bodyXml;
    out += "</soap:Body></soap:Envelope>";
    return out;
}

std::string SoapFaultBody(const std::string& code, const std::string& reason, const std::string& detailXml,
                          bool senderFault) {
    return "<soap:Fault><soap:Code><soap:Value>" + std::string(senderFault ? "soap:Sender" : "soap:Receiver") +
           "</soap:Value></soap:Code><soap:Reason><soap:Text>" + XmlEscape(reason) +
           "</soap:Text></soap:Reason><soap:Detail><Error xmlns=\"urn:ostrel\"><Code>" + XmlEscape(code) +
           "</Code><Trace>ostrel-server</Trace>" + detailXml + "</Error></soap:Detail></soap:Fault>";
}

}  // namespace OstrelServer
