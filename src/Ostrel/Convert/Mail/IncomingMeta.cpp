#include "Ostrel/Convert/Mail/IncomingMeta.h"

#include <charconv>
#include <utility>
#include <vector>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Dom.h"

namespace Ostrel::Convert {

namespace {

// A metadata entry is one short element; anything much larger is not one.
constexpr size_t kMaxMetaBytes = 1 << 20;

bool IsXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

// The entry as the server writes it, <m a="v" .../> in ASCII with values free of markup, read
// without building a document (parsing one costs more than the rest of a small message's
// bookkeeping). False for anything else (an XML declaration, entities, comments, a repeated
// attribute, non-ASCII text...), which the XML parser then reads with all of XML's rules.
bool ReadPlainElement(std::string_view text, std::vector<std::pair<std::string_view, std::string_view>>& attributes) {
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < text.size() && IsXmlSpace(text[i]))
            ++i;
    };
    skipSpace();
    if (text.substr(i, 2) != "<m")
        return false;
    i += 2;
    for (;;) {
        const size_t spaceStart = i;
        skipSpace();
        if (text.substr(i, 2) == "/>")
            break;
        if (i == spaceStart)
            return false;
        const size_t nameStart = i;
        while (i < text.size() && IsNameChar(text[i]))
            ++i;
        const std::string_view name = text.substr(nameStart, i - nameStart);
        skipSpace();
        if (name.empty() || i >= text.size() || text[i] != '=')
            return false;
        ++i;
        skipSpace();
        if (i >= text.size() || (text[i] != '"' && text[i] != '\''))
            return false;
        const char quote = text[i++];
        const size_t valueStart = i;
        // Markup, and the white space XML would normalise, leave the work to the parser.
        while (i < text.size() && text[i] != quote) {
            const char c = text[i];
            if (c == '<' || c == '&' || c == '\t' || c == '\r' || c == '\n' || static_cast<unsigned char>(c) >= 0x80 ||
                static_cast<unsigned char>(c) < 0x20)
                return false;
            ++i;
        }
        if (i >= text.size())
            return false;
        for (const auto& [seen, value] : attributes) {
            if (seen == name)
                return false;
        }
        attributes.emplace_back(name, text.substr(valueStart, i - valueStart));
        ++i;
    }
    i += 2;
    skipSpace();
    return i == text.size();
}

std::string Attribute(IXMLDOMElement* pElement, const wchar_t* pwszName) {
    std::wstring value;
    if (pElement->getAttribute(pwszName, value) != S_OK)
        return {};
    return Platform::ToUtf8(value);
}

bool ReadId(const std::string& sId, IncomingMeta& meta, std::wstring& wsError) {
    const auto result = std::from_chars(sId.data(), sId.data() + sId.size(), meta.lId);
    if (sId.empty() || result.ec != std::errc() || result.ptr != sId.data() + sId.size()) {
        wsError = L"metadata without a valid id ('" + Platform::FromUtf8(sId) + L"')";
        return false;
    }
    return true;
}

}  // namespace

bool ParseIncomingMeta(std::string_view bytes, IncomingMeta& meta, std::wstring& wsError) {
    meta = IncomingMeta();
    if (bytes.size() > kMaxMetaBytes) {
        wsError = L"metadata entry of " + std::to_wstring(bytes.size()) + L" bytes is too large";
        return false;
    }
    std::vector<std::pair<std::string_view, std::string_view>> attributes;
    if (ReadPlainElement(bytes, attributes)) {
        IncomingMeta read;
        std::string sId;
        for (const auto& [name, value] : attributes) {
            std::string* const pTarget = name == "id"    ? &sId
                                         : name == "f"   ? &read.sFlags
                                         : name == "t"   ? &read.sTagIds
                                         : name == "tn"  ? &read.sTagNames
                                         : name == "d"   ? &read.sReceived
                                         : name == "cid" ? &read.sConvId
                                                         : nullptr;
            if (pTarget)
                pTarget->assign(value);
        }
        if (!ReadId(sId, read, wsError))
            return false;
        meta = std::move(read);
        return true;
    }
    Platform::ComPtr<IXMLDOMDocument2> pDoc;
    if (FAILED(Platform::Xml::CreateDocument(pDoc.AddressOf()))) {
        wsError = L"no XML document";
        return false;
    }
    if (pDoc->loadXMLBytes(bytes) != S_OK) {
        XmlParseError error;
        pDoc->get_parseError(error);
        wsError = L"metadata is not XML: " + error.reason;
        return false;
    }
    Platform::ComPtr<IXMLDOMElement> pRoot;
    std::wstring wsTag;
    if (pDoc->get_documentElement(pRoot.AddressOf()) != S_OK || !pRoot || FAILED(pRoot->get_tagName(wsTag)) ||
        wsTag != L"m") {
        wsError = L"metadata is not a message's (element '" + wsTag + L"')";
        return false;
    }
    if (!ReadId(Attribute(pRoot.Get(), L"id"), meta, wsError))
        return false;
    meta.sFlags = Attribute(pRoot.Get(), L"f");
    meta.sTagIds = Attribute(pRoot.Get(), L"t");
    meta.sTagNames = Attribute(pRoot.Get(), L"tn");
    meta.sReceived = Attribute(pRoot.Get(), L"d");
    meta.sConvId = Attribute(pRoot.Get(), L"cid");
    return true;
}

}  // namespace Ostrel::Convert
