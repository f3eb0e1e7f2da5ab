// SOAP 1.2 as the simulator speaks it: parsing a request safely, and writing envelopes and faults.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace OstrelServer {

extern const char* const kSoapNs;  // the SOAP 1.2 envelope namespace

// A parsed request. XPath expressions may use the prefixes soap, l (urn:ostrel), mail, account
// and admin.
class SoapDocument {
public:
    // Parses without network access, entities or DTDs; a document with a DOCTYPE is refused.
    static std::unique_ptr<SoapDocument> Parse(const std::string& text, std::string* pError = nullptr);
    ~SoapDocument();

    // Local name and namespace of the first element under soap:Envelope/soap:Body; empty if none.
    const std::string& CallName() const { return m_callName; }
    const std::string& CallNamespace() const { return m_callNs; }

    // Text of the first node the expression selects (element text or attribute value).
    std::optional<std::string> Text(const std::string& xpath) const;
    std::vector<std::string> Texts(const std::string& xpath) const;
    size_t Count(const std::string& xpath) const;

private:
    SoapDocument() = default;
    void* m_pDoc = nullptr;  // xmlDoc
    std::string m_callName;
    std::string m_callNs;
};

// Escapes text for element content and attribute values. Characters no XML document can hold
// (most controls, U+FFFE, U+FFFF, broken UTF-8) become U+FFFD, so the reply always parses.
std::string XmlEscape(const std::string& text);

// A whole envelope; `context` is the inner XML of the header's context element.
std::string SoapEnvelope(const std::string& bodyXml, const std::string& contextXml = std::string());

// A SOAP fault body with the server's error code; `detailXml` goes inside the Error element
// after Code (for instance <a n="itemId" t="IID">...</a>).
std::string SoapFaultBody(const std::string& code, const std::string& reason,
                          const std::string& detailXml = std::string(), bool senderFault = true);

}  // namespace OstrelServer
