#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Dom.h"
#include "Support/Child.h"
#include "Support/TempHome.h"

#include <sys/stat.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

using Platform::ComPtr;

namespace {

ComPtr<IXMLDOMDocument2> NewDoc() {
    ComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
    return doc;
}

// Loads bytes that must be refused and checks that the document is left empty with a reason.
XmlParseError ExpectRefused(std::string_view bytes) {
    auto doc = NewDoc();
    EXPECT_EQ(doc->loadXML(L"<previous/>"), S_OK);
    EXPECT_EQ(doc->loadXMLBytes(bytes), S_FALSE);
    ComPtr<IXMLDOMElement> root;
    EXPECT_EQ(doc->get_documentElement(root.AddressOf()), S_FALSE);
    XmlParseError error;
    doc->get_parseError(error);
    EXPECT_TRUE(FAILED(error.errorCode));
    EXPECT_FALSE(error.reason.empty());
    return error;
}

}  // namespace

TEST(XmlParsing, DocumentTypeDeclarationsAreRefusedSoEntitiesCannotExpand) {
    std::string laughs = "<?xml version='1.0'?><!DOCTYPE l [<!ENTITY a 'aaaaaaaaaa'>";
    for (char c = 'b'; c <= 'k'; ++c)
        laughs += std::string("<!ENTITY ") + c + " '" + std::string(10, '&') + "'>";
    laughs += "]><l>&k;</l>";
    XmlParseError error = ExpectRefused(laughs);
    EXPECT_NE(error.reason.find(L"document type"), std::wstring::npos);

    ExpectRefused("<!DOCTYPE r SYSTEM 'file:///etc/passwd'><r/>");
    ExpectRefused("<!DOCTYPE r [<!ENTITY x SYSTEM 'file:///etc/hostname'>]><r>&x;</r>");
    ExpectRefused("<!DOCTYPE r PUBLIC '-//x//y' 'http://127.0.0.1:9/x.dtd'><r/>");
}

TEST(XmlParsing, MalformedTextIsAnErrorWithAPosition) {
    XmlParseError error = ExpectRefused("<a>\n<b></a>");
    EXPECT_EQ(error.line, 2);
    ExpectRefused("");
    ExpectRefused("   ");
    ExpectRefused("<a>&undefined;</a>");
    ExpectRefused("<a></a><b/>");
    ExpectRefused("<a xmlns:p='urn:p'><q:b/></a>");
    ExpectRefused(std::string("<a>\0</a>", 8));
    ExpectRefused("\xff\xfe<\x00");
    ExpectRefused("<a b='1' b='2'/>");
}

TEST(XmlParsing, NestingIsBounded) {
    std::string deep;
    for (int i = 0; i < 5000; ++i)
        deep += "<d>";
    for (int i = 0; i < 5000; ++i)
        deep += "</d>";
    ExpectRefused(deep);

    std::string fine;
    for (int i = 0; i < 200; ++i)
        fine += "<d>";
    for (int i = 0; i < 200; ++i)
        fine += "</d>";
    EXPECT_EQ(NewDoc()->loadXMLBytes(fine), S_OK);
}

TEST(XmlParsing, EncodingsFollowTheDeclarationForBytesButNotForWideText) {
    auto doc = NewDoc();
    ASSERT_EQ(doc->loadXMLBytes("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xe9</a>"), S_OK);
    std::wstring text;
    ComPtr<IXMLDOMElement> root;
    doc->get_documentElement(root.AddressOf());
    root->get_text(text);
    EXPECT_EQ(text, L"\u00e9");

    ASSERT_EQ(doc->loadXMLBytes("\xef\xbb\xbf<a>\xc3\xa9</a>"), S_OK);
    doc->get_documentElement(root.AddressOf());
    root->get_text(text);
    EXPECT_EQ(text, L"\u00e9");

    // Wide text is already decoded: a declared encoding does not apply to it.
    ASSERT_EQ(doc->loadXML(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>\u00e9\u4e2d</a>"), S_OK);
    doc->get_documentElement(root.AddressOf());
    root->get_text(text);
    EXPECT_EQ(text, L"\u00e9\u4e2d");
}

TEST(XmlParsing, FilesLoadAndMissingOversizedOrSpecialFilesAreErrors) {
    TestSupport::TempHome home;
    auto path = home.Path() / "doc.xml";
    std::ofstream(path) << "<zones><z id='1'/></zones>";
    auto doc = NewDoc();
    ASSERT_EQ(doc->load(path), S_OK);
    ComPtr<IXMLDOMNode> z;
    EXPECT_EQ(doc->selectSingleNode(L"/zones/z[@id='1']", z.AddressOf()), S_OK);

    EXPECT_EQ(doc->load(home.Path() / "missing.xml"), S_FALSE);
    XmlParseError error;
    doc->get_parseError(error);
    EXPECT_EQ(error.errorCode, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

    auto big = home.Path() / "big.xml";
    std::ofstream(big).close();
    std::filesystem::resize_file(big, Platform::Xml::kMaxDocumentBytes + 1);  // sparse: nothing is written
    EXPECT_EQ(doc->load(big), S_FALSE);
    doc->get_parseError(error);
    EXPECT_EQ(error.errorCode, E_INVALIDARG);

    // A FIFO is no file to load: refused at once, not waited on for a writer.
    auto fifo = home.Path() / "fifo.xml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(TestSupport::RunInChild([&] {
                  XmlParseError fifoError;
                  return doc->load(fifo) == S_FALSE && doc->get_parseError(fifoError) == S_OK &&
                         fifoError.errorCode == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
              }),
              TestSupport::ChildOutcome::Succeeded);
}

TEST(XmlParsing, ExternalResourceSwitchesCannotBeTurnedOn) {
    auto doc = NewDoc();
    EXPECT_EQ(doc->put_async(false), S_OK);
    EXPECT_EQ(doc->put_validateOnParse(false), S_OK);
    EXPECT_EQ(doc->put_resolveExternals(false), S_OK);
    EXPECT_EQ(doc->put_resolveExternals(true), E_INVALIDARG);
    EXPECT_EQ(doc->put_validateOnParse(true), E_INVALIDARG);
    EXPECT_EQ(doc->setProperty(L"ProhibitDTD", L"false"), E_INVALIDARG);
}
