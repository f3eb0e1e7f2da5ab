// Text from the user that XML cannot hold (control characters, U+FFFE, U+FFFF) never makes a
// request the server must refuse: every request built here reads back through a strict parser.
#include "ItemTestSupport.h"

#include "Ostrel/Rpc/Requests/CreateContact.h"
#include "Ostrel/Rpc/Requests/CreateFolder.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Rpc;
using namespace Ostrel::Mail;
using namespace ItemTest;

namespace {

class RequestTextTest : public ItemFixture {
protected:
    // The request's whole document, parsed again from its text.
    static Platform::ComPtr<IXMLDOMDocument2> Reparsed(Request& request) {
        std::wstring xml;
        EXPECT_EQ(request.GetDocument()->get_xml(xml), S_OK);
        Platform::ComPtr<IXMLDOMDocument2> doc;
        EXPECT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
        EXPECT_EQ(doc->loadXML(xml), S_OK) << Platform::ToUtf8(xml);
        return doc;
    }

    static std::wstring Value(IXMLDOMDocument2* doc, const wchar_t* xpath) {
        Platform::ComPtr<IXMLDOMNode> node;
        std::wstring text;
        if (doc && doc->selectSingleNode(xpath, node.AddressOf()) == S_OK)
            node->get_text(text);
        return text;
    }
};

// Every character XML 1.0 cannot hold, between letters.
std::wstring Unholdable() {
    std::wstring text = L"a";
    for (wchar_t c = 1; c < 0x20; ++c) {
        if (c != L'\t' && c != L'\n' && c != L'\r')
            text += std::wstring(1, c) + L"b";
    }
    return text + L"\uFFFE" + L"c\uFFFF";
}

// What the server receives instead.
std::wstring Repaired() {
    std::wstring text = L"a";
    for (wchar_t c = 1; c < 0x20; ++c) {
        if (c != L'\t' && c != L'\n' && c != L'\r')
            text += std::wstring(1, c == L'\v' ? L'\n' : L'\uFFFD') + L"b";
    }
    return text + L"\uFFFD" + L"c\uFFFD";
}

}  // namespace

TEST_F(RequestTextTest, TextXmlCannotHoldIsReplacedAndLogged) {
    Ostrel::Util::LogCapture log;
    // A contact note with a soft line break, as a mail client writes one.
    ContactAttributes attrs;
    attrs.put(L"notes", L"line one\vline two");
    attrs.put(L"company", Unholdable().c_str());
    CreateContactRequest contact(7, attrs, ContactGroupMembers(), nullptr, TagIdList(), TagNameList(), 0);
    auto doc = Reparsed(contact);
    EXPECT_EQ(Value(doc.Get(), L"//*[local-name()='a'][@n='notes']"), L"line one\nline two");
    EXPECT_EQ(Value(doc.Get(), L"//*[local-name()='a'][@n='company']"), Repaired());
    EXPECT_TRUE(log.Contains(L"character(s) that XML cannot hold were replaced"));

    // Names go into attributes.
    CreateTagRequest tag((L"tag" + Unholdable()).c_str(), 3);
    EXPECT_EQ(Value(Reparsed(tag).Get(), L"//*[local-name()='tag']/@name"), L"tag" + Repaired());
    CreateFolderRequest folder((L"folder" + Unholdable()).c_str(), 1, MIT_MESSAGE, nullptr, 0, 0);
    EXPECT_EQ(Value(Reparsed(folder).Get(), L"//*[local-name()='folder']/@name"), L"folder" + Repaired());
}
