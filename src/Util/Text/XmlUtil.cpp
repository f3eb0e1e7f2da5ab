#include "Util/Text/XmlUtil.h"

#include "Platform/Com/ComPtr.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Util {

namespace {

int HandOut(const std::wstring& value, wchar_t** ppwszValue) {
    *ppwszValue = CopyString(value.c_str());
    return 1;
}

}  // namespace

int XmlUtil::FindNodeValue(IXMLDOMNode* node, const wchar_t* pwszXPath, wchar_t** ppwszValue) {
    if (!ppwszValue)
        return 0;
    *ppwszValue = nullptr;
    if (!node || !pwszXPath)
        return 0;
    Platform::ComPtr<IXMLDOMNode> found;
    if (node->selectSingleNode(pwszXPath, found.AddressOf()) != S_OK || !found)
        return 0;
    return GetNodeValue(found.Get(), ppwszValue);
}

int XmlUtil::FindNodeAttributeValue(IXMLDOMNode* node, const wchar_t* pwszXPath, const wchar_t* pwszAttribute,
                                    wchar_t** ppwszValue) {
    if (!ppwszValue)
        return 0;
    *ppwszValue = nullptr;
    if (!node || !pwszXPath)
        return 0;
    Platform::ComPtr<IXMLDOMNode> found;
    if (node->selectSingleNode(pwszXPath, found.AddressOf()) != S_OK || !found)
        return 0;
    return GetSingleAttribute(found.Get(), pwszAttribute, ppwszValue);
}

int XmlUtil::GetSingleAttribute(IXMLDOMNode* node, const wchar_t* pwszAttribute, wchar_t** ppwszValue) {
    if (!ppwszValue)
        return 0;
    *ppwszValue = nullptr;
    if (!node || !pwszAttribute)
        return 0;
    Platform::ComPtr<IXMLDOMElement> element;
    if (FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.AddressOf()))))
        return 0;
    std::wstring value;
    if (element->getAttribute(pwszAttribute, value) != S_OK)
        return 0;
    return HandOut(value, ppwszValue);
}

int XmlUtil::GetNodeValue(IXMLDOMNode* node, wchar_t** ppwszValue) {
    if (!ppwszValue)
        return 0;
    *ppwszValue = nullptr;
    std::wstring value;
    if (!node || FAILED(node->get_text(value)))
        return 0;
    return HandOut(value, ppwszValue);
}

void XmlUtil::Free(wchar_t* pwszValue) {
    SafeDelete(pwszValue);
}

}  // namespace Ostrel::Util
