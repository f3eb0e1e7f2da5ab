// What the outgoing conversion does around the writers: copies for the changes it makes, vCards for
// contacts, exception attachments left out, the store's 8-bit strings, failures reported.
#include "MailOutTestUtil.h"
#include "Ostrel/Convert/Mail/ConvertMessageToMime.h"
#include "Ostrel/Convert/Mail/MapiToMimeConverter.h"
#include "Ostrel/Store/Attachments.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mime/Field.h"

namespace MailOutTest {

namespace {

class ConvertOut : public StoreFixture {
protected:
    void TearDown() override { Ostrel::Mapi::SetContactAttachmentConverter(nullptr); }

    std::string Convert(IMessage* pMessage, bool bOwn) {
        IStream* pStream = nullptr;
        unsigned int size = 0;
        EXPECT_EQ(ConvertMessageToMimeWith(bOwn, pMessage, nullptr, &pStream, size, nullptr), S_OK);
        if (!pStream)
            return std::string();
        const std::string text = StreamText(pStream);
        EXPECT_EQ(size, text.size());
        pStream->Release();
        return text;
    }
};

LONG AttachMethod(IMessage* pMessage, ULONG ulNum) {
    ComPtr<IAttach> pAttach;
    void* p = nullptr;
    LONG lMethod = -1;
    if (SUCCEEDED(pMessage->OpenAttach(ulNum, nullptr, 0, pAttach.AddressOf())) &&
        SUCCEEDED(HrGetOneProp(pAttach.Get(), PR_ATTACH_METHOD, reinterpret_cast<LPSPropValue*>(&p))))
        lMethod = static_cast<LPSPropValue>(p)->Value.l;
    MAPIFreeBuffer(p);
    return lMethod;
}

ULONG AttachmentCount(IMessage* pMessage) {
    ComPtr<IMAPITable> pTable;
    ULONG count = 0;
    if (SUCCEEDED(pMessage->GetAttachmentTable(0, pTable.AddressOf())))
        pTable->GetRowCount(0, &count);
    return count;
}

}  // namespace

TEST_F(ConvertOut, ContactsGoAsVCardsWithoutChangingTheUsersMessage) {
    Ostrel::Mapi::SetContactAttachmentConverter([](IMessage*, std::string& vcard) {
        vcard = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:J\xC3\xBCrgen\r\nEND:VCARD\r\n";
        return S_OK;
    });
    ComPtr<IMessage> pMessage = FromDescription(
        "subject: Card\nbody: See the card.\\r\\n\nattach:\n  display-name: Jürgen\n  embedded:\n"
        "    class: IPM.Contact\n    subject: Jürgen\n");
    for (const bool bOwn : {false, true}) {
        SCOPED_TRACE(bOwn ? "own" : "session");
        const std::string mime = Convert(pMessage.Get(), bOwn);
        EXPECT_NE(mime.find("text/x-vcard"), std::string::npos) << mime;
        EXPECT_NE(mime.find(".vcf"), std::string::npos);
        EXPECT_EQ(mime.find("message/rfc822"), std::string::npos);
        EXPECT_EQ(AttachMethod(pMessage.Get(), 0), static_cast<LONG>(ATTACH_EMBEDDED_MSG)) << "still embedded";
    }
    // The own writer labels the vCard as the UTF-8 it is and encodes its 8-bit bytes.
    const std::string own = Convert(pMessage.Get(), true);
    EXPECT_NE(own.find("charset=utf-8"), std::string::npos);
    EXPECT_NE(own.find("FN:J=C3=BCrgen"), std::string::npos) << own;
}

TEST_F(ConvertOut, AppointmentExceptionsStayHomeAndTheItemKeepsThem) {
    ComPtr<IMessage> pMessage = FromDescription(
        "class: IPM.Appointment\nsubject: Weekly\nbody: Weekly.\\r\\n\n"
        "attach:\n  long-name: agenda.txt\n  data: agenda\n"
        "attach:\n  attachment-flags: 2\n  embedded:\n    class: IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}\n"
        "    subject: Weekly (moved)\n");
    for (const bool bOwn : {false, true}) {
        const std::string mime = Convert(pMessage.Get(), bOwn);
        EXPECT_NE(mime.find("agenda.txt"), std::string::npos) << mime;
        EXPECT_EQ(mime.find("Weekly (moved)"), std::string::npos) << mime;
    }
    EXPECT_EQ(AttachmentCount(pMessage.Get()), 2u);
}

TEST_F(ConvertOut, EightBitStringsAreReadInTheMessagesCodePage) {
    // "résumé.txt" stored as windows-1252 bytes, and "naïve.txt" stored as Unicode.
    ComPtr<IMessage> pMessage = FromDescription(
        "subject: x\ncodepage: 1252\nattach:\n  long-name8: r\\xE9sum\\xE9.txt\n  data: a\n"
        "attach:\n  long-name: naïve.txt\n  data: b\n");
    std::string mime;
    AddrBookConvertSupport support(nullptr);
    ASSERT_EQ(MapiToMimeText(pMessage.Get(), &support, mime), S_OK);
    EXPECT_NE(mime.find("filename*=utf-8''r%C3%A9sum%C3%A9.txt"), std::string::npos) << mime;
    EXPECT_NE(mime.find("filename*=utf-8''na%C3%AFve.txt"), std::string::npos) << mime;
}

TEST_F(ConvertOut, DeliveryTimeInTheFormTheIncomingSideReads) {
    ComPtr<IMessage> pMessage = FromDescription("subject: x\ndelivery: 2026-12-03T09:05:00Z\n");
    MapiMessageWrapper wrapper(nullptr);
    ASSERT_EQ(wrapper.Initialize(pMessage.Get()), S_OK);
    mimepp::Message target;
    wrapper.SetDeliveryDate(target);
    target.assemble();
    EXPECT_EQ(target.headers().findField("X-Ostrel-Received")->fieldBody().getString(), "1796288700000");
    EXPECT_EQ(wrapper.DateString(), "No Date");

    ComPtr<IMessage> pSent = FromDescription("subject: x\nsubmit: 2026-12-03T09:05:00Z\n");
    MapiMessageWrapper sent(nullptr);
    ASSERT_EQ(sent.Initialize(pSent.Get()), S_OK);
    EXPECT_EQ(sent.DateString(), "Thu, 3 Dec 2026 09:05:00 -0000");
}

TEST_F(ConvertOut, BadArgumentsAndMissingMessagesFail) {
    IStream* pStream = nullptr;
    unsigned int size = 7;
    EXPECT_EQ(ConvertMessageToMime(nullptr, nullptr, &pStream, size, nullptr), E_INVALIDARG);
    ComPtr<IMessage> pMessage = FromDescription("subject: x\n");
    EXPECT_EQ(ConvertMessageToMime(pMessage.Get(), nullptr, nullptr, size, nullptr), E_POINTER);
    mimepp::Message target;
    AddrBookConvertSupport support(nullptr);
    MapiToMimeConverter converter(target, &support);
    EXPECT_EQ(converter.Convert(nullptr), E_INVALIDARG);
}

}  // namespace MailOutTest
