#include "ItemTestSupport.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "Ostrel/Rpc/Requests/MailboxMetadata.h"
#include "Ostrel/Rpc/Requests/WaitRequest.h"
#include "Util/Exception.h"
#include "Util/Text/Strings.h"

using namespace Ostrel::Rpc;
using namespace ItemTest;

namespace {

class MetadataTest : public ItemFixture {};
class WaitSetTest : public ItemFixture {};

// Values whose sizes (length + 8 each) add up to `total`.
BESConfigAttributes AttributesOfSize(size_t total) {
    BESConfigAttributes attrs;
    uint32_t key = 0x10;
    while (total > 0) {
        size_t length = std::min<size_t>(total - 8, 992);
        wchar_t fill = L"abcdefgh<&>"[key % 11];
        attrs[key++] = std::wstring(length, fill);
        total -= length + 8;
    }
    return attrs;
}

// Inflates what Compress made: the data ends in a sync-flush marker, not in a final block.
std::string Inflate(const std::wstring& wsHex) {
    std::vector<BYTE> bytes;
    EXPECT_TRUE(Ostrel::Util::HexDecode(wsHex, bytes));
    z_stream stream{};
    EXPECT_EQ(inflateInit(&stream), Z_OK);
    std::string out(4 << 20, '\0');
    stream.next_in = bytes.data();
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_SYNC_FLUSH), Z_OK);
    EXPECT_EQ(stream.avail_in, 0u);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

}  // namespace

TEST_F(MetadataTest, SmallSectionsAreSentAsPairs) {
    GetMailboxMetadataRequest get(L"bes");
    EXPECT_EQ(
        BodyXml(get),
        L"<GetMailboxMetadataRequest xmlns=\"urn:ostrelMail\"><meta section=\"bes\"/></GetMailboxMetadataRequest>");

    BESConfigAttributes attrs{{0xAB, L"x & y"}, {1, L"one"}};
    SetMailboxMetadataRequest set(L"bes", &attrs);
    EXPECT_EQ(BodyXml(set),
              L"<SetMailboxMetadataRequest xmlns=\"urn:ostrelMail\"><meta section=\"bes\">"
              L"<a n=\"1\">one</a><a n=\"ab\">x &amp; y</a></meta></SetMailboxMetadataRequest>");
}

TEST_F(MetadataTest, FromTheThresholdOnTheSectionIsOneCompressedEntryThatInflatesBack) {
    BESConfigAttributes below = AttributesOfSize(31999);
    EXPECT_FALSE(SetMailboxMetadataRequest::IsCompressionNeeded(&below));
    SetMailboxMetadataRequest plain(L"bes", &below);
    EXPECT_EQ(BodyXml(plain).find(L"compressed"), std::wstring::npos);

    // Lengths are counted in UTF-16 units, as the server counts them.
    BESConfigAttributes astral{{1, std::wstring(31990, L'a') + L"\U0001F600"}};
    EXPECT_TRUE(SetMailboxMetadataRequest::IsCompressionNeeded(&astral));

    BESConfigAttributes at = AttributesOfSize(32000);
    at[0x7f] = L"ünïcode \U0001F600";
    ASSERT_TRUE(SetMailboxMetadataRequest::IsCompressionNeeded(&at));
    SetMailboxMetadataRequest compressed(L"bes", &at);
    std::wstring body = BodyXml(compressed);
    const std::wstring open =
        L"<SetMailboxMetadataRequest xmlns=\"urn:ostrelMail\"><meta section=\"bes\"><a n=\"compressed\">";
    ASSERT_EQ(body.compare(0, open.size(), open), 0);
    std::wstring hex = body.substr(open.size(), body.find(L'<', open.size()) - open.size());
    EXPECT_EQ(body.substr(open.size() + hex.size()), L"</a></meta></SetMailboxMetadataRequest>");
    EXPECT_LT(hex.size(), 8000u);
    // A zlib header, then data ending in the sync-flush marker.
    EXPECT_EQ(hex.substr(0, 2), L"78");
    EXPECT_EQ(hex.substr(hex.size() - 8), L"0000FFFF");

    // The inflated text is the meta element the pairs make.
    Platform::ComPtr<IXMLDOMDocument2> doc;
    ASSERT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
    Platform::ComPtr<IXMLDOMElement> meta;
    ASSERT_EQ(doc->createElement(L"meta", meta.AddressOf()), S_OK);
    meta->setAttribute(L"section", L"bes");
    for (const auto& [key, value] : at) {
        Platform::ComPtr<IXMLDOMElement> a;
        ASSERT_EQ(doc->createElement(L"a", a.AddressOf()), S_OK);
        wchar_t wszKey[16];
        std::swprintf(wszKey, 16, L"%x", key);
        a->setAttribute(L"n", wszKey);
        a->put_text(value);
        meta->appendChild(a.Get(), nullptr);
    }
    std::string expected;
    ASSERT_EQ(meta->get_xmlUtf8(expected), S_OK);
    EXPECT_EQ(Inflate(hex), expected);
    EXPECT_EQ(Inflate(SetMailboxMetadataRequest::Compress(meta.Get())), expected);
    EXPECT_EQ(SetMailboxMetadataRequest::Compress(nullptr), L"");
}

TEST_F(MetadataTest, ASectionTooLargeToCompressIsRefusedNotEmptied) {
    BESConfigAttributes huge = AttributesOfSize(400000);
    EXPECT_THROW(SetMailboxMetadataRequest(L"bes", &huge), Ostrel::Util::C_Exception);
}

TEST_F(WaitSetTest, BodiesAndAccountEntries) {
    CreateWaitSetRequest create(L"all", 0);
    EXPECT_EQ(create.AddWaitAccount1(nullptr, L"m", nullptr), E_INVALIDARG);
    EXPECT_EQ(create.AddWaitAccount1(L"acc-1", nullptr, L"12"), S_OK);
    EXPECT_EQ(BodyXml(create),
              L"<CreateWaitSetRequest xmlns=\"urn:ostrelMail\" defTypes=\"all\">"
              L"<add><a id=\"acc-1\" token=\"12\"/></add></CreateWaitSetRequest>");
    CreateWaitSetRequest admin(L"m,c", 1);
    EXPECT_EQ(BodyXml(admin), L"<AdminCreateWaitSetRequest xmlns=\"urn:ostrelAdmin\" defTypes=\"m,c\"/>");
    EXPECT_STREQ(admin.CallName(), L"AdminCreateWaitSetRequest");

    WaitSetRequest wait(L"ws-1", L"3", L"all", 0, L"1");
    EXPECT_EQ(wait.InsertAddNode(L"acc-1", L"m", L"10"), S_OK);
    EXPECT_EQ(wait.InsertAddNode(L"acc-2", nullptr, nullptr), S_OK);
    EXPECT_EQ(wait.InsertUpdateNode(L"acc-3", L"c", nullptr), E_INVALIDARG);
    EXPECT_EQ(wait.InsertUpdateNode(nullptr, L"c", L"4"), E_INVALIDARG);
    EXPECT_EQ(wait.InsertUpdateNode(L"acc-3", L"c", L"4"), S_OK);
    EXPECT_EQ(wait.InsertRemoveNode(L"acc-4"), S_OK);
    EXPECT_EQ(BodyXml(wait),
              L"<WaitSetRequest xmlns=\"urn:ostrelMail\" waitSet=\"ws-1\" seq=\"3\" block=\"1\" defTypes=\"all\">"
              L"<add><a id=\"acc-1\" types=\"m\" token=\"10\"/><a id=\"acc-2\"/></add>"
              L"<update><a id=\"acc-3\" types=\"c\" token=\"4\"/></update>"
              L"<remove><a id=\"acc-4\" types=\"all\"/></remove></WaitSetRequest>");

    WaitSetRequest adminWait(L"ws-2", L"0", nullptr, 1, nullptr);
    EXPECT_EQ(adminWait.InsertRemoveNode(L"acc-9"), S_OK);
    EXPECT_EQ(BodyXml(adminWait),
              L"<AdminWaitSetRequest xmlns=\"urn:ostrelAdmin\" waitSet=\"ws-2\" seq=\"0\">"
              L"<remove><a id=\"acc-9\" types=\"all\"/></remove></AdminWaitSetRequest>");

    DestroyWaitSetRequest destroy(L"ws-1", 0);
    EXPECT_EQ(BodyXml(destroy), L"<DestroyWaitSetRequest xmlns=\"urn:ostrelMail\" waitSet=\"ws-1\"/>");
    DestroyWaitSetRequest adminDestroy(L"ws-2", 1);
    EXPECT_EQ(BodyXml(adminDestroy), L"<AdminDestroyWaitSetRequest xmlns=\"urn:ostrelAdmin\" waitSet=\"ws-2\"/>");
}
