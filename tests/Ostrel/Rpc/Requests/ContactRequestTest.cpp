#include "ItemTestSupport.h"

#include "Ostrel/Rpc/Requests/CreateContact.h"
#include "Ostrel/Rpc/Requests/ModifyContact.h"
#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Rpc;
using namespace Ostrel::Mail;
using namespace ItemTest;

namespace {

class ContactRequestTest : public ItemFixture {
protected:
    ContactRequestTest() {
        // The bag orders by name; entries of one name keep their order.
        attrs.put(L"lastName", L"Lee");
        attrs.put(L"email", L"ann@x.test");
        attrs.put(L"email", L"ann@home.test");
        members.put(L'C', L"257");
        members.put(L'I', L"carl@x.test");
    }

    ContactAttributes attrs;
    ContactGroupMembers members;
    TagIdList tagIds{5};
    TagNameList tagNames{L"VIP"};
};

const std::wstring kOpen = L" xmlns=\"urn:ostrelMail\">";
const std::wstring kAttrs = L"<a n=\"email\">ann@x.test</a><a n=\"email\">ann@home.test</a><a n=\"lastName\">Lee</a>";
const std::wstring kClearCerts = L"<a n=\"userCertificate\"/><a n=\"userSMIMECertificate\"/>";

}  // namespace

TEST_F(ContactRequestTest, CreateWritesAttributesMembersImageAndTags) {
    AttachmentDetails image;
    image.SetUploadToken(L"up-img");
    image.SetFileName("phötö.png");
    image.SetContentType("image/png");
    CreateContactRequest create(7, attrs, members, &image, tagIds, tagNames, 0);
    EXPECT_EQ(BodyXml(create), L"<CreateContactRequest" + kOpen + L"<cn l=\"7\" tn=\"VIP\">" + kAttrs +
                                   L"<m type=\"C\" value=\"257\"/><m type=\"I\" value=\"carl@x.test\"/>"
                                   L"<a n=\"image\" aid=\"up-img\" filename=\"phötö.png\" ct=\"image/png\"/></cn>"
                                   L"</CreateContactRequest>");

    // Before version 8 there are no members; an image that was not uploaded is left out.
    Features(0, 1, 0);
    AttachmentDetails notUploaded;
    Ostrel::Util::LogCapture log;
    CreateContactRequest old(7, attrs, members, &notUploaded, tagIds, tagNames, 0);
    EXPECT_EQ(BodyXml(old),
              L"<CreateContactRequest" + kOpen + L"<cn l=\"7\" t=\"5\">" + kAttrs + L"</cn></CreateContactRequest>");
    EXPECT_TRUE(log.Contains(L"Suppressing saving <m> nodes due to OSV version"));
    CreateContactRequest restricted(7, ContactAttributes(), members, nullptr, tagIds, tagNames, 1);
    EXPECT_EQ(BodyXml(restricted), L"<CreateContactRequest" + kOpen + L"<cn l=\"7\"/></CreateContactRequest>");
}

TEST_F(ContactRequestTest, ModifyClearsAndReAddsCertificatesOutsideReplaceMode) {
    ModifyContactRequest plain(0, 0, 300, attrs, ContactGroupMembers(), nullptr, TagNameList());
    EXPECT_EQ(BodyXml(plain), L"<ModifyContactRequest" + kOpen + L"<cn id=\"300\" tn=\"\">" + kAttrs + kClearCerts +
                                  L"</cn></ModifyContactRequest>");

    ContactAttributes certs;
    certs.put(L"userCertificate", L"MIIB1");
    certs.put(L"userCertificate", L"MIIB2");
    certs.put(L"zip", L"12345");
    ModifyContactRequest twoCerts(0, 1, 300, certs, ContactGroupMembers(), nullptr, tagNames);
    EXPECT_EQ(BodyXml(twoCerts),
              L"<ModifyContactRequest" + kOpen.substr(0, kOpen.size() - 1) +
                  L" force=\"1\"><cn id=\"300\" tn=\"VIP\"><a n=\"userCertificate\"/>"
                  L"<a n=\"userCertificate\" op=\"+\">MIIB1</a><a n=\"userCertificate\" op=\"+\">MIIB2</a>"
                  L"<a n=\"zip\">12345</a><a n=\"userSMIMECertificate\"/></cn></ModifyContactRequest>");

    // Replace mode sends the set as it is, without members.
    Ostrel::Util::LogCapture log;
    ModifyContactRequest replace(1, 0, 300, certs, members, nullptr, tagNames);
    EXPECT_EQ(BodyXml(replace),
              L"<ModifyContactRequest" + kOpen.substr(0, kOpen.size() - 1) +
                  L" replace=\"1\"><cn id=\"300\" tn=\"VIP\"><a n=\"userCertificate\">MIIB1</a>"
                  L"<a n=\"userCertificate\">MIIB2</a><a n=\"zip\">12345</a></cn></ModifyContactRequest>");
    EXPECT_TRUE(log.Contains(L"Replace mode. <m> nodes not persisted"));
}

TEST_F(ContactRequestTest, ModifyResetsMembersAndNeverSendsTagIds) {
    Features(0, 1, 1);
    ModifyContactRequest modify(0, 0, 300, ContactAttributes(), members, nullptr, tagNames);
    EXPECT_EQ(BodyXml(modify), L"<ModifyContactRequest" + kOpen + L"<cn id=\"300\">" + kClearCerts +
                                   L"<m op=\"reset\"/><m op=\"+\" type=\"C\" value=\"257\"/>"
                                   L"<m op=\"+\" type=\"I\" value=\"carl@x.test\"/></cn></ModifyContactRequest>");
    Features(1, 0, 0);
    ModifyContactRequest old(0, 0, 300, ContactAttributes(), members, nullptr, tagNames);
    EXPECT_EQ(BodyXml(old), L"<ModifyContactRequest" + kOpen + L"<cn id=\"300\" tn=\"VIP\">" + kClearCerts +
                                L"</cn></ModifyContactRequest>");
}

TEST(AttachmentDetailsTest, HoldsOneReferenceToItsStreamAndCopiesOfItsTexts) {
    Platform::ComPtr<IStream> first, second;
    ASSERT_EQ(Platform::CreateMemoryStream(first.AddressOf()), S_OK);
    ASSERT_EQ(Platform::CreateMemoryStream(second.AddressOf()), S_OK);
    {
        std::string preamble = "Content-Type: image/png\r\n";
        AttachmentDetails details(first.Get(), 10, preamble.c_str());
        preamble.clear();
        EXPECT_STREQ(details.GetPreamble(), "Content-Type: image/png\r\n");
        EXPECT_EQ(first->AddRef(), 3u);
        first->Release();
        details.SetStream(second.Get(), 20);
        EXPECT_EQ(first->AddRef(), 2u);
        first->Release();
        EXPECT_EQ(details.GetStreamSize(), 20u);
        details.SetFileName("a.png");
        details.SetFileName(nullptr);
        EXPECT_EQ(details.GetFileName(), nullptr);
    }
    EXPECT_EQ(second->AddRef(), 2u);
    second->Release();
}
