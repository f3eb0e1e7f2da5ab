#include "Platform/Com/ComPtr.h"
#include "Util/Text/XmlUtil.h"

#include <gtest/gtest.h>

using Ostrel::Util::XmlUtil;
using Platform::ComPtr;

namespace {

// A value handed out by XmlUtil, freed with XmlUtil::Free.
struct Value {
    wchar_t* p = nullptr;
    ~Value() { XmlUtil::Free(p); }
};

}  // namespace

TEST(XmlUtil, FindsValuesAndAttributesAndHandsOutCopies) {
    ComPtr<IXMLDOMDocument2> doc;
    ASSERT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
    ASSERT_EQ(doc->setProperty(L"SelectionNamespaces", L"xmlns:admin='urn:ostrelAdmin' xmlns:l='urn:ostrel'"), S_OK);
    ASSERT_EQ(doc->loadXML(L"<r xmlns='urn:ostrel'><a k='v'>text</a><e/><x:s xmlns:x='urn:ostrelAdmin' id='9'/></r>"),
              S_OK);

    Value text, attr, empty, none, admin;
    EXPECT_NE(XmlUtil::FindNodeValue(doc.Get(), L"/l:r/l:a", &text.p), 0);
    EXPECT_STREQ(text.p, L"text");
    EXPECT_NE(XmlUtil::FindNodeAttributeValue(doc.Get(), L"/l:r/l:a", L"k", &attr.p), 0);
    EXPECT_STREQ(attr.p, L"v");
    EXPECT_NE(XmlUtil::FindNodeValue(doc.Get(), L"//l:e", &empty.p), 0) << "an empty element is found";
    EXPECT_STREQ(empty.p, L"");
    EXPECT_NE(XmlUtil::FindNodeAttributeValue(doc.Get(), L"//admin:s", L"id", &admin.p), 0);
    EXPECT_STREQ(admin.p, L"9");

    EXPECT_EQ(XmlUtil::FindNodeValue(doc.Get(), L"/l:r/l:missing", &none.p), 0);
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(XmlUtil::FindNodeAttributeValue(doc.Get(), L"/l:r/l:a", L"missing", &none.p), 0);
    EXPECT_EQ(XmlUtil::FindNodeValue(doc.Get(), L"/l:r/[", &none.p), 0) << "a bad XPath finds nothing";
    EXPECT_EQ(XmlUtil::FindNodeValue(nullptr, L"/r", &none.p), 0);
    EXPECT_EQ(none.p, nullptr);

    ComPtr<IXMLDOMNode> a;
    ASSERT_EQ(doc->selectSingleNode(L"/l:r/l:a", a.AddressOf()), S_OK);
    Value single, value, fromText;
    EXPECT_NE(XmlUtil::GetSingleAttribute(a.Get(), L"k", &single.p), 0);
    EXPECT_STREQ(single.p, L"v");
    EXPECT_NE(XmlUtil::GetNodeValue(a.Get(), &value.p), 0);
    EXPECT_STREQ(value.p, L"text");
    ComPtr<IXMLDOMNode> textNode;
    ASSERT_EQ(a->get_firstChild(textNode.AddressOf()), S_OK);
    EXPECT_EQ(XmlUtil::GetSingleAttribute(textNode.Get(), L"k", &fromText.p), 0) << "only elements have attributes";
    XmlUtil::Free(nullptr);
}
