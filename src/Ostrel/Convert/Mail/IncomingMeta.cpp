#include "Ostrel/Convert/Mail/IncomingMeta.h"

#include <charconv>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Dom.h"

namespace Ostrel::Convert {

namespace {

// A metadata entry is one short element; anything much larger is not one.
constexpr size_t kMaxMetaBytes = 1 << 20;

std::string Attribute(IXMLDOMElement* pElement, const wchar_t* pwszName) {
    std::wstring value;
    if (pElement->getAttribute(pwszName, value) != S_OK)
        return {};
    return Platform::ToUtf8(value);
}

}  // namespace

bool ParseIncomingMeta(std::string_view bytes, IncomingMeta& meta, std::wstring& wsError) {
    meta = IncomingMeta();
    if (bytes.size() > kMaxMetaBytes) {
        wsError = L"metadata entry of " + std::to_wstring(bytes.size()) + L" bytes is too large";
        return false;
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
    const std::string sId = Attribute(pRoot.Get(), L"id");
    const auto result = std::from_chars(sId.data(), sId.data() + sId.size(), meta.lId);
    if (sId.empty() || result.ec != std::errc() || result.ptr != sId.data() + sId.size()) {
        wsError = L"metadata without a valid id ('" + Platform::FromUtf8(sId) + L"')";
        return false;
    }
    meta.sFlags = Attribute(pRoot.Get(), L"f");
    meta.sTagIds = Attribute(pRoot.Get(), L"t");
    meta.sTagNames = Attribute(pRoot.Get(), L"tn");
    meta.sReceived = Attribute(pRoot.Get(), L"d");
    meta.sConvId = Attribute(pRoot.Get(), L"cid");
    return true;
}

}  // namespace Ostrel::Convert
