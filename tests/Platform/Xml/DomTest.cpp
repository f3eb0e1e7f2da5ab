#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Dom.h"

#include <gtest/gtest.h>

#include <vector>

using Platform::ComPtr;

namespace {

const wchar_t kSelection[] =
    L"xmlns:mail='urn:ostrelMail' xmlns:l='urn:ostrel' xmlns:account='urn:ostrelAccount' "
    L"xmlns:soap='http://www.w3.org/2003/05/soap-envelope'";
const wchar_t kEnvelope[] =
    L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>"
    L"<context xmlns=\"urn:ostrel\"><nonotify /><noqualify /></context></soap:Header><soap:Body /></soap:Envelope>";

ComPtr<IXMLDOMDocument2> NewDoc(const wchar_t* xml = nullptr) {
    ComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
    EXPECT_EQ(doc->setProperty(L"SelectionLanguage", L"XPath"), S_OK);
    EXPECT_EQ(doc->setProperty(L"SelectionNamespaces", kSelection), S_OK);
    if (xml) {
        EXPECT_EQ(doc->loadXML(xml), S_OK);
    }
    return doc;
}

ComPtr<IXMLDOMElement> Element(IXMLDOMDocument* doc, const wchar_t* name) {
    ComPtr<IXMLDOMElement> element;
    EXPECT_EQ(doc->createElement(name, element.AddressOf()), S_OK);
    return element;
}

ComPtr<IXMLDOMNode> Select(IXMLDOMNode* node, const wchar_t* xpath) {
    ComPtr<IXMLDOMNode> found;
    node->selectSingleNode(xpath, found.AddressOf());
    return found;
}

std::wstring Xml(IXMLDOMNode* node) {
    std::wstring xml;
    EXPECT_EQ(node->get_xml(xml), S_OK);
    return xml;
}

std::wstring Text(IXMLDOMNode* node) {
    std::wstring text;
    EXPECT_EQ(node->get_text(text), S_OK);
    return text;
}

// Builds <ItemActionRequest xmlns="urn:ostrelMail"><action id="257" op="flag"/></ItemActionRequest>
// in memory and appends it to the SOAP body.
void AppendAction(IXMLDOMDocument2* doc) {
    auto request = Element(doc, L"ItemActionRequest");
    ASSERT_EQ(request->setAttribute(L"xmlns", L"urn:ostrelMail"), S_OK);
    auto action = Element(doc, L"action");
    ASSERT_EQ(action->setAttribute(L"id", 257), S_OK);
    ASSERT_EQ(action->setAttribute(L"op", L"flag"), S_OK);
    ASSERT_EQ(request->appendChild(action.Get(), nullptr), S_OK);
    auto body = Select(doc, L"//soap:Body");
    ASSERT_TRUE(body);
    ASSERT_EQ(body->appendChild(request.Get(), nullptr), S_OK);
}

}  // namespace

TEST(XmlNamespaces, CreatedElementsStayInNoNamespaceUntilTheTextIsParsedAgain) {
    auto doc = NewDoc(kEnvelope);
    AppendAction(doc.Get());

    auto action = Select(doc.Get(), L"/soap:Envelope/soap:Body/ItemActionRequest/action");
    ASSERT_TRUE(action);
    std::wstring uri;
    EXPECT_EQ(action->get_namespaceURI(uri), S_FALSE);
    EXPECT_FALSE(Select(doc.Get(), L"/soap:Envelope/soap:Body/mail:ItemActionRequest"));

    std::wstring text = Xml(doc.Get());
    EXPECT_EQ(text,
              L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>"
              L"<context xmlns=\"urn:ostrel\"><nonotify/><noqualify/></context></soap:Header><soap:Body>"
              L"<ItemActionRequest xmlns=\"urn:ostrelMail\"><action id=\"257\" op=\"flag\"/></ItemActionRequest>"
              L"</soap:Body></soap:Envelope>");

    auto reparsed = NewDoc(text.c_str());
    EXPECT_FALSE(Select(reparsed.Get(), L"/soap:Envelope/soap:Body/ItemActionRequest/action"));
    auto parsedAction = Select(reparsed.Get(), L"/soap:Envelope/soap:Body/mail:ItemActionRequest/mail:action");
    ASSERT_TRUE(parsedAction);
    EXPECT_EQ(parsedAction->get_namespaceURI(uri), S_OK);
    EXPECT_EQ(uri, L"urn:ostrelMail");
}

TEST(XmlNamespaces, CreatedNodesInANamespaceAreSelectableAndDeclaredOnlyWhereNeeded) {
    auto doc = NewDoc(kEnvelope);
    ComPtr<IXMLDOMNode> token;
    ASSERT_EQ(doc->createNode(NODE_ELEMENT, L"authToken", L"urn:ostrel", token.AddressOf()), S_OK);
    ASSERT_EQ(token->put_text(L"abc"), S_OK);
    // Standalone it declares its namespace itself.
    EXPECT_EQ(Xml(token.Get()), L"<authToken xmlns=\"urn:ostrel\">abc</authToken>");

    auto context = Select(doc.Get(), L"//soap:Header/l:context");
    ASSERT_TRUE(context);
    ASSERT_EQ(context->appendChild(token.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(context.Get()),
              L"<context xmlns=\"urn:ostrel\"><nonotify/><noqualify/><authToken>abc</authToken></context>");
    auto found = Select(doc.Get(), L"//soap:Header/l:context/l:authToken");
    ASSERT_TRUE(found);
    EXPECT_EQ(found.Get(), token.Get()) << "one wrapper per node";

    // Under a parent without the declaration the node declares it; a prefixed name keeps its prefix.
    auto body = Select(doc.Get(), L"//soap:Body");
    ComPtr<IXMLDOMNode> prefixed;
    ASSERT_EQ(doc->createNode(NODE_ELEMENT, L"mail:m", L"urn:ostrelMail", prefixed.AddressOf()), S_OK);
    ASSERT_EQ(body->appendChild(prefixed.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.Get()),
              L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>"
              L"<context xmlns=\"urn:ostrel\"><nonotify/><noqualify/><authToken>abc</authToken></context>"
              L"</soap:Header><soap:Body><mail:m xmlns:mail=\"urn:ostrelMail\"/></soap:Body></soap:Envelope>");
    // A node serialised on its own carries the declarations its ancestors made.
    EXPECT_EQ(Xml(body.Get()),
              L"<soap:Body xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">"
              L"<mail:m xmlns:mail=\"urn:ostrelMail\"/></soap:Body>");
    std::wstring name;
    prefixed->get_baseName(name);
    EXPECT_EQ(name, L"m");
    prefixed->get_nodeName(name);
    EXPECT_EQ(name, L"mail:m");
}

TEST(XmlNamespaces, SubtreesOfParsedDocumentsSerialiseWithTheDeclarationsTheyUse) {
    auto doc = NewDoc(L"<r xmlns:a='urn:a' xmlns='urn:d'><a:x a:k='1'><y>t</y></a:x></r>");
    ComPtr<IXMLDOMNode> x;
    ASSERT_EQ(doc->setProperty(L"SelectionNamespaces", L"xmlns:a='urn:a' xmlns:d=\"urn:d\""), S_OK);
    x = Select(doc.Get(), L"/d:r/a:x");
    ASSERT_TRUE(x);
    std::wstring xml = Xml(x.Get());
    auto reparsed = NewDoc(xml.c_str());
    ASSERT_EQ(reparsed->setProperty(L"SelectionNamespaces", L"xmlns:a='urn:a' xmlns:d='urn:d'"), S_OK);
    EXPECT_TRUE(Select(reparsed.Get(), L"/a:x[@a:k='1']/d:y")) << std::string(xml.begin(), xml.end());

    // Removed from its document the subtree keeps its meaning.
    auto root = Select(doc.Get(), L"/d:r");
    ComPtr<IXMLDOMNode> removed;
    ASSERT_EQ(root->removeChild(x.Get(), removed.AddressOf()), S_OK);
    EXPECT_EQ(Xml(removed.Get()), xml);
    EXPECT_FALSE(Select(doc.Get(), L"//a:x"));
}

TEST(XmlProperties, SelectionNamespacesAreValidatedAndUnknownPrefixesFail) {
    auto doc = NewDoc(L"<a><b/></a>");
    EXPECT_EQ(doc->setProperty(L"SelectionNamespaces", L"xmlns='urn:x'"), E_INVALIDARG);
    EXPECT_EQ(doc->setProperty(L"SelectionNamespaces", L"xmlns:p='urn:x"), E_INVALIDARG);
    EXPECT_EQ(doc->setProperty(L"SelectionLanguage", L"XSLPattern"), E_INVALIDARG);
    EXPECT_EQ(doc->setProperty(L"SomethingElse", L"1"), E_INVALIDARG);
    std::wstring value;
    ASSERT_EQ(doc->getProperty(L"SelectionNamespaces", value), S_OK);
    EXPECT_EQ(value, kSelection) << "a rejected value leaves the earlier one";

    ComPtr<IXMLDOMNode> node;
    EXPECT_EQ(doc->selectSingleNode(L"/a/zz:b", node.AddressOf()), E_FAIL);
    EXPECT_EQ(doc->selectSingleNode(L"/a/[", node.AddressOf()), E_FAIL);
    EXPECT_EQ(doc->selectSingleNode(L"count(/a/b)", node.AddressOf()), E_FAIL);
    EXPECT_EQ(doc->selectSingleNode(L"/a/c", node.AddressOf()), S_FALSE);
    EXPECT_FALSE(node);
    EXPECT_EQ(doc->selectSingleNode(L"/a/b", node.AddressOf()), S_OK);
}

TEST(XmlSelection, NodeListsIterateInDocumentOrderAndReachAttributes) {
    auto doc = NewDoc(L"<l><m id='1'/><x><m id='2'/></x><m id='3'/></l>");
    ComPtr<IXMLDOMNodeList> list;
    ASSERT_EQ(doc->selectNodes(L"//m/@id", list.AddressOf()), S_OK);
    long length = 0;
    list->get_length(&length);
    ASSERT_EQ(length, 3);
    std::wstring seen;
    ComPtr<IXMLDOMNode> node;
    while (list->nextNode(node.AddressOf()) == S_OK)
        seen += Text(node.Get());
    EXPECT_EQ(seen, L"123");
    EXPECT_EQ(list->get_item(3, node.AddressOf()), S_FALSE);
    list->reset();
    ASSERT_EQ(list->nextNode(node.AddressOf()), S_OK);
    EXPECT_EQ(Xml(node.Get()), L"id=\"1\"");

    // Relative paths start at the node they are asked on.
    auto x = Select(doc.Get(), L"/l/x");
    auto inner = Select(x.Get(), L"m");
    ASSERT_TRUE(inner);
    ComPtr<IXMLDOMElement> element;
    ASSERT_EQ(inner.As(&element), S_OK);
    std::wstring id;
    EXPECT_EQ(element->getAttribute(L"id", id), S_OK);
    EXPECT_EQ(id, L"2");
    ComPtr<IXMLDOMElement> notElement;
    auto attr = Select(doc.Get(), L"//m/@id");
    EXPECT_EQ(attr.As(&notElement), E_NOINTERFACE);
}

TEST(XmlElements, AttributesAndTextAreEscapedAndRoundTrip) {
    auto doc = NewDoc();
    auto a = Element(doc.Get(), L"a");
    ASSERT_EQ(doc->appendChild(a.Get(), nullptr), S_OK);
    const wchar_t* tricky = L"x<y & \"q\" 'z' > &amp; \u00e9\u4e2d\U0001F600\n";
    ASSERT_EQ(a->setAttribute(L"v", tricky), S_OK);
    ASSERT_EQ(a->put_text(tricky), S_OK);
    ASSERT_EQ(a->setAttribute(L"n", -5), S_OK);
    ASSERT_EQ(a->setAttribute(L"u", 4294967295u), S_OK);

    auto again = NewDoc(Xml(doc.Get()).c_str());
    auto root = Select(again.Get(), L"/a");
    ComPtr<IXMLDOMElement> element;
    ASSERT_EQ(root.As(&element), S_OK);
    std::wstring value;
    element->getAttribute(L"v", value);
    EXPECT_EQ(value, tricky);
    EXPECT_EQ(Text(root.Get()), tricky);
    element->getAttribute(L"n", value);
    EXPECT_EQ(value, L"-5");
    element->getAttribute(L"u", value);
    EXPECT_EQ(value, L"4294967295");

    // Replacing keeps one attribute; absent ones report S_FALSE; removal works once.
    ASSERT_EQ(a->setAttribute(L"n", L"7"), S_OK);
    EXPECT_EQ(Xml(a.Get()).find(L"n=\"-5\""), std::wstring::npos);
    EXPECT_EQ(a->getAttribute(L"missing", value), S_FALSE);
    EXPECT_TRUE(value.empty());
    EXPECT_EQ(a->removeAttribute(L"n"), S_OK);
    EXPECT_EQ(a->removeAttribute(L"n"), S_FALSE);

    // Names and text that XML cannot carry are refused rather than written broken.
    EXPECT_EQ(a->setAttribute(L"bad name", L"1"), E_INVALIDARG);
    EXPECT_EQ(a->setAttribute(L"ok", std::wstring_view(L"a\0b", 3)), E_INVALIDARG);
    ComPtr<IXMLDOMElement> bad;
    EXPECT_EQ(doc->createElement(L"1x", bad.AddressOf()), E_FAIL);
    EXPECT_EQ(doc->createElement(L"<x>", bad.AddressOf()), E_FAIL);
}

// Control characters, U+FFFE and U+FFFF cannot be written in XML at all (not even as references):
// stored text loses them, so that the document always reads back.
TEST(XmlElements, TextXmlCannotHoldIsReplacedAsItIsStored) {
    std::vector<size_t> repairs;
    Platform::Xml::SetTextRepairObserver([&](size_t cReplaced) { repairs.push_back(cReplaced); });
    auto doc = NewDoc();
    auto a = Element(doc.Get(), L"a");
    ASSERT_EQ(doc->appendChild(a.Get(), nullptr), S_OK);
    ASSERT_EQ(a->setAttribute(L"v", L"x\u0001y\u000Bz\uFFFF"), S_OK);
    ASSERT_EQ(a->put_text(L"soft\u000Bbreak\ttab\u001F\uFFFE"), S_OK);
    ComPtr<IXMLDOMNode> text;
    ASSERT_EQ(doc->createTextNode(L"\u0008", text.AddressOf()), S_OK);
    ASSERT_EQ(a->appendChild(text.Get(), nullptr), S_OK);
    ASSERT_EQ(a->put_text(L"kept\r\n\t\u00e9\U0001F600"), S_OK);
    Platform::Xml::SetTextRepairObserver(nullptr);
    EXPECT_EQ(repairs, (std::vector<size_t>{3, 3, 1}));

    ASSERT_EQ(a->put_text(L"soft\u000Bbreak\ttab\u001F\uFFFE"), S_OK);
    auto again = NewDoc(Xml(doc.Get()).c_str());
    auto root = Select(again.Get(), L"/a");
    ASSERT_TRUE(root);
    EXPECT_EQ(Text(root.Get()), L"soft\nbreak\ttab\uFFFD\uFFFD");
    ComPtr<IXMLDOMElement> element;
    ASSERT_EQ(root.As(&element), S_OK);
    std::wstring value;
    element->getAttribute(L"v", value);
    EXPECT_EQ(value, L"x\uFFFDy\nz\uFFFD");
}

TEST(XmlElements, NamespaceDeclarationsReadAsAttributesButCannotBeChanged) {
    auto doc = NewDoc(L"<r xmlns='urn:d' xmlns:p='urn:p'/>");
    ComPtr<IXMLDOMElement> root;
    ASSERT_EQ(doc->get_documentElement(root.AddressOf()), S_OK);
    std::wstring value;
    EXPECT_EQ(root->getAttribute(L"xmlns", value), S_OK);
    EXPECT_EQ(value, L"urn:d");
    EXPECT_EQ(root->getAttribute(L"xmlns:p", value), S_OK);
    EXPECT_EQ(value, L"urn:p");
    EXPECT_EQ(root->setAttribute(L"xmlns", L"urn:d"), S_OK);
    EXPECT_EQ(root->setAttribute(L"xmlns", L"urn:other"), E_FAIL);
    EXPECT_EQ(root->removeAttribute(L"xmlns:p"), E_FAIL);
}

TEST(XmlTree, StructureRulesAreEnforced) {
    auto doc = NewDoc(L"<a><b><c/></b></a>");
    auto a = Select(doc.Get(), L"/a");
    auto c = Select(doc.Get(), L"//c");
    EXPECT_EQ(c->appendChild(a.Get(), nullptr), E_FAIL) << "no cycles";
    EXPECT_EQ(a->appendChild(a.Get(), nullptr), E_FAIL);
    auto second = Element(doc.Get(), L"z");
    EXPECT_EQ(doc->appendChild(second.Get(), nullptr), E_FAIL) << "one document element";
    ComPtr<IXMLDOMNode> text;
    ASSERT_EQ(doc->createTextNode(L"t", text.AddressOf()), S_OK);
    EXPECT_EQ(doc->appendChild(text.Get(), nullptr), E_FAIL);
    auto stranger = Element(doc.Get(), L"s");
    EXPECT_EQ(a->removeChild(stranger.Get(), nullptr), E_INVALIDARG);

    // insertBefore and moves within the document.
    ASSERT_EQ(a->insertBefore(second.Get(), Select(doc.Get(), L"/a/b").Get(), nullptr), S_OK);
    ASSERT_EQ(a->appendChild(c.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.Get()), L"<a><z/><b/><c/></a>");
    ComPtr<IXMLDOMNode> first, next;
    ASSERT_EQ(a->get_firstChild(first.AddressOf()), S_OK);
    ASSERT_EQ(first->get_nextSibling(next.AddressOf()), S_OK);
    std::wstring name;
    next->get_nodeName(name);
    EXPECT_EQ(name, L"b");
    ComPtr<IXMLDOMNode> none;
    EXPECT_EQ(c->get_nextSibling(none.AddressOf()), S_FALSE);
    EXPECT_FALSE(none);
}

TEST(XmlTree, NodesMoveBetweenDocumentsAndOutliveTheirDocument) {
    auto source = NewDoc(L"<s><keep/><moved a='1'><inner>x</inner></moved></s>");
    auto target = NewDoc(L"<t/>");
    auto moved = Select(source.Get(), L"/s/moved");
    auto inner = Select(source.Get(), L"/s/moved/inner");
    auto t = Select(target.Get(), L"/t");
    ASSERT_EQ(t->appendChild(moved.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(source.Get()), L"<s><keep/></s>");
    EXPECT_EQ(Xml(target.Get()), L"<t><moved a=\"1\"><inner>x</inner></moved></t>");
    // The wrappers follow the node into its new document.
    EXPECT_EQ(Select(target.Get(), L"/t/moved").Get(), moved.Get());
    EXPECT_EQ(Select(target.Get(), L"//inner").Get(), inner.Get());
    ComPtr<IXMLDOMDocument> owner;
    inner->get_ownerDocument(owner.AddressOf());
    EXPECT_EQ(static_cast<IXMLDOMNode*>(owner.Get()), static_cast<IXMLDOMNode*>(target.Get()));

    source = nullptr;
    target = nullptr;
    t = nullptr;
    owner = nullptr;
    // The node keeps its document alive.
    ASSERT_EQ(inner->put_text(L"y"), S_OK);
    ComPtr<IXMLDOMNode> parent;
    ASSERT_EQ(inner->get_parentNode(parent.AddressOf()), S_OK);
    EXPECT_EQ(Xml(parent.Get()), L"<moved a=\"1\"><inner>y</inner></moved>");
}

TEST(XmlTree, DetachedAndReplacedNodesStayUsable) {
    auto doc = NewDoc(L"<a><b>one<c/>two</b></a>");
    auto b = Select(doc.Get(), L"/a/b");
    auto c = Select(doc.Get(), L"/a/b/c");
    ComPtr<IXMLDOMNodeList> children;
    ASSERT_EQ(b->get_childNodes(children.AddressOf()), S_OK);
    ASSERT_EQ(b->put_text(L"new"), S_OK);
    EXPECT_EQ(Xml(b.Get()), L"<b>new</b>");
    ComPtr<IXMLDOMNode> item;
    ASSERT_EQ(children->get_item(2, item.AddressOf()), S_OK);
    EXPECT_EQ(Text(item.Get()), L"two");
    ASSERT_EQ(c->put_text(L"still here"), S_OK);

    // Reloading the document does not invalidate what callers hold of the old content.
    ASSERT_EQ(doc->loadXML(L"<other/>"), S_OK);
    EXPECT_EQ(Text(c.Get()), L"still here");
    EXPECT_EQ(Xml(doc.Get()), L"<other/>");
    ASSERT_EQ(Select(doc.Get(), L"/other")->appendChild(c.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.Get()), L"<other><c>still here</c></other>");

    // Clones are independent of their original.
    ComPtr<IXMLDOMNode> clone;
    ASSERT_EQ(c->cloneNode(true, clone.AddressOf()), S_OK);
    ASSERT_EQ(clone->put_text(L"copy"), S_OK);
    EXPECT_EQ(Text(c.Get()), L"still here");
    ComPtr<IXMLDOMNode> docClone;
    ASSERT_EQ(doc->cloneNode(true, docClone.AddressOf()), S_OK);
    EXPECT_EQ(Xml(docClone.Get()), L"<other><c>still here</c></other>");
}

// Parsing keeps short texts and attribute values inside their nodes instead of allocating them: every
// change to such a node must still work (the sanitizers see a text freed that was never allocated).
TEST(XmlTree, ShortTextsOfAParsedDocumentChangeLikeAnyOther) {
    auto doc = NewDoc(L"<a x='1' y='22'><b>s</b><c>t</c><d>u<e/>v</d></a>");
    auto a = Select(doc.Get(), L"/a");
    ComPtr<IXMLDOMElement> element;
    ASSERT_EQ(a->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.AddressOf())), S_OK);
    ASSERT_EQ(element->setAttribute(L"x", L"a value longer than the node itself"), S_OK);
    ASSERT_EQ(Select(doc.Get(), L"/a/@y")->put_text(L"3"), S_OK);
    ASSERT_EQ(Select(doc.Get(), L"/a/b/text()")->put_text(L"grown well past sixteen bytes"), S_OK);
    ASSERT_EQ(Select(doc.Get(), L"/a/c")->put_text(L"w"), S_OK);
    auto d = Select(doc.Get(), L"/a/d");
    ComPtr<IXMLDOMNode> u;
    ASSERT_EQ(d->removeChild(Select(d.Get(), L"text()[1]").Get(), u.AddressOf()), S_OK);
    ASSERT_EQ(Select(doc.Get(), L"/a/c")->appendChild(u.Get(), nullptr), S_OK);  // next to another short text
    ComPtr<IXMLDOMNode> clone;
    ASSERT_EQ(d->cloneNode(true, clone.AddressOf()), S_OK);
    auto other = NewDoc(L"<z/>");
    ASSERT_EQ(Select(other.Get(), L"/z")->appendChild(d.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.Get()),
              L"<a x=\"a value longer than the node itself\" y=\"3\"><b>grown well past sixteen bytes</b>"
              L"<c>wu</c></a>");
    EXPECT_EQ(Xml(other.Get()), L"<z><d><e/>v</d></z>");
    EXPECT_EQ(Xml(clone.Get()), L"<d><e/>v</d>");
}

TEST(XmlTree, WhiteSpaceBetweenElementsIsDroppedUnlessPreserved) {
    const wchar_t* pretty = L"<a>\n  <b> x </b>\n  <c/>\n</a>";
    auto doc = NewDoc(pretty);
    ComPtr<IXMLDOMNode> first;
    ASSERT_EQ(Select(doc.Get(), L"/a")->get_firstChild(first.AddressOf()), S_OK);
    std::wstring name;
    first->get_nodeName(name);
    EXPECT_EQ(name, L"b");
    EXPECT_EQ(Text(first.Get()), L" x ") << "text content itself is kept as sent";

    auto kept = NewDoc();
    ASSERT_EQ(kept->put_preserveWhiteSpace(true), S_OK);
    ASSERT_EQ(kept->loadXML(pretty), S_OK);
    ASSERT_EQ(Select(kept.Get(), L"/a")->get_firstChild(first.AddressOf()), S_OK);
    first->get_nodeName(name);
    EXPECT_EQ(name, L"#text");
}

TEST(XmlTree, MovesAcrossDocumentsKeepEveryNodeAndNamespace) {
    auto source = NewDoc(L"<s xmlns='urn:d' xmlns:a='urn:a'><a:x a:k='1'><y>t</y></a:x></s>");
    ASSERT_EQ(source->setProperty(L"SelectionNamespaces", L"xmlns:a='urn:a' xmlns:d='urn:d'"), S_OK);
    auto x = Select(source.Get(), L"/d:s/a:x");
    // Two adjacent text nodes built in memory stay two nodes.
    ComPtr<IXMLDOMNode> first, second;
    ASSERT_EQ(source->createTextNode(L"one", first.AddressOf()), S_OK);
    ASSERT_EQ(source->createTextNode(L"two", second.AddressOf()), S_OK);
    ASSERT_EQ(x->appendChild(first.Get(), nullptr), S_OK);
    ASSERT_EQ(x->appendChild(second.Get(), nullptr), S_OK);
    ComPtr<IXMLDOMNodeList> snapshot;
    ASSERT_EQ(source->selectNodes(L"//d:y", snapshot.AddressOf()), S_OK);

    auto target = NewDoc(L"<t/>");
    ASSERT_EQ(target->setProperty(L"SelectionNamespaces", L"xmlns:a='urn:a' xmlns:d='urn:d'"), S_OK);
    ASSERT_EQ(Select(target.Get(), L"/t")->appendChild(x.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(target.Get()), L"<t><a:x xmlns:a=\"urn:a\" a:k=\"1\"><y xmlns=\"urn:d\">t</y>onetwo</a:x></t>");
    EXPECT_TRUE(Select(target.Get(), L"/t/a:x[@a:k='1']/d:y"));
    EXPECT_EQ(Text(second.Get()), L"two");
    ComPtr<IXMLDOMNode> before;
    ASSERT_EQ(second->get_previousSibling(before.AddressOf()), S_OK);
    EXPECT_EQ(before.Get(), first.Get());

    // A node whose document nobody else holds can move too.
    auto orphanDoc = NewDoc(L"<o><p>q</p></o>");
    auto p = Select(orphanDoc.Get(), L"/o/p");
    orphanDoc = nullptr;
    ASSERT_EQ(Select(target.Get(), L"/t")->appendChild(p.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(p.Get()), L"<p>q</p>");
    p = nullptr;

    // The source and anything selected from it before the move stay usable.
    x = nullptr;
    target = nullptr;
    first = nullptr;
    second = nullptr;
    ComPtr<IXMLDOMNode> y;
    ASSERT_EQ(snapshot->get_item(0, y.AddressOf()), S_OK);
    EXPECT_EQ(Text(y.Get()), L"t");
    EXPECT_EQ(Xml(source.Get()), L"<s xmlns=\"urn:d\" xmlns:a=\"urn:a\"/>");
}
