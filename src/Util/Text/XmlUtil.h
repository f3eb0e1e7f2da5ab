// Look-ups of values in DOM documents and nodes by XPath, with the texts handed out as owned copies.
#pragma once

#include "Platform/Xml/Dom.h"

namespace Ostrel::Util {

class XmlUtil {
public:
    // The text of the first node the XPath selects (relative to `node`, which may be a document).
    // Non-zero when a node was found; *ppwszValue is then a new copy (possibly empty), else null.
    static int FindNodeValue(IXMLDOMNode* node, const wchar_t* pwszXPath, wchar_t** ppwszValue);
    // The value of an attribute of the first element the XPath selects. Non-zero when the element
    // and the attribute exist.
    static int FindNodeAttributeValue(IXMLDOMNode* node, const wchar_t* pwszXPath, const wchar_t* pwszAttribute,
                                      wchar_t** ppwszValue);
    // The value of an attribute of the node itself. Non-zero when the node is an element with it.
    static int GetSingleAttribute(IXMLDOMNode* node, const wchar_t* pwszAttribute, wchar_t** ppwszValue);
    // The text of the node itself.
    static int GetNodeValue(IXMLDOMNode* node, wchar_t** ppwszValue);
    // Frees a text handed out above; null is allowed.
    static void Free(wchar_t* pwszValue);
};

}  // namespace Ostrel::Util
