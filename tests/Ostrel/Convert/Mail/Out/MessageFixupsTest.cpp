// Each fix-up repairs the defect it is for and leaves a text it need not touch byte for byte alone.
#include <functional>

#include "MailOutTestUtil.h"
#include "Ostrel/Convert/Mail/MessageFixups.h"
#include "Ostrel/Store/HostClient.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Host/Host.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/Profiles.h"
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/Entity.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"

namespace MailOutTest {

namespace {

class Fixups : public StoreFixture {
protected:
    void TearDown() override { Platform::Host::ResetToDefaults(); }

    static ComPtr<IStream> Stream(const std::string& text) {
        ComPtr<IStream> p;
        p.Attach(Platform::MemStream::Create(text).Detach());
        return p;
    }
};

const char kPlainMime[] =
    "From: Alice Example <alice@example.com>\r\n"
    "To: Bob Builder <bob@example.com>\r\n"
    "Cc: carol@example.com\r\n"
    "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "To: not a header\r\n";

const char kWithBcc[] =
    "subject: Blind\n"
    "to: Bob Builder <bob@example.com>\n"
    "bcc: Eve Secret <eve@example.com>\n"
    "bcc: mallory@example.com\n";

std::wstring RecipientName(IMessage* pMessage, ULONG index) {
    ComPtr<IMAPITable> pTable;
    LPSRowSet pRows = nullptr;
    SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_W}};
    std::wstring name;
    if (SUCCEEDED(pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf())) &&
        SUCCEEDED(
            HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows)) &&
        index < pRows->cRows && pRows->aRow[index].lpProps[0].ulPropTag == PR_DISPLAY_NAME_W)
        name = pRows->aRow[index].lpProps[0].Value.lpszW;
    FreeProws(pRows);
    return name;
}

using Fixup = std::function<HRESULT(IMessage*, IStream**, unsigned int&)>;

// The text after a fix-up that may hand back a new stream: its size must be reported with it, and
// *pbSame tells whether the stream given was kept.
std::string Apply(const Fixup& fixup, IMessage* pMessage, const std::string& mime, bool* pbSame = nullptr) {
    IStream* pOriginal = Platform::MemStream::Create(mime).Detach();
    IStream* pStream = pOriginal;
    unsigned int size = static_cast<unsigned int>(mime.size());
    EXPECT_EQ(fixup(pMessage, &pStream, size), S_OK);
    const std::string text = StreamText(pStream);
    EXPECT_EQ(size, text.size());
    if (pbSame)
        *pbSame = pStream == pOriginal;
    pStream->Release();
    return text;
}

}  // namespace

TEST_F(Fixups, BccGoesInAfterToForClientsBeforeVersion12) {
    ComPtr<IMessage> pMessage = FromDescription(kWithBcc);
    Platform::Host::SetClientVersion(11, 0);
    ComPtr<IStream> pStream = Stream(kPlainMime);
    EXPECT_EQ(WorkaroundBCC(pMessage.Get(), pStream.Get()), S_OK);
    const std::string text = StreamText(pStream.Get());
    EXPECT_NE(text.find("To: Bob Builder <bob@example.com>\r\n"
                        "Bcc: Eve Secret <eve@example.com>, mallory@example.com\r\n"
                        "Cc: carol@example.com\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.find("\r\n\r\n")), "\r\n\r\nTo: not a header\r\n") << "the body stays as it was";

    // Without To the header follows Cc.
    std::string noTo = kPlainMime;
    noTo.erase(noTo.find("To: Bob"), std::string("To: Bob Builder <bob@example.com>\r\n").size());
    pStream = Stream(noTo);
    EXPECT_EQ(WorkaroundBCC(pMessage.Get(), pStream.Get()), S_OK);
    EXPECT_NE(StreamText(pStream.Get()).find("Cc: carol@example.com\r\nBcc: "), std::string::npos);
}

TEST_F(Fixups, BccLeftAloneWhenNotNeeded) {
    ComPtr<IMessage> pWithBcc = FromDescription(kWithBcc);
    ComPtr<IMessage> pWithout = FromDescription("subject: Open\nto: bob@example.com\n");
    std::string hasBcc = kPlainMime;
    hasBcc.insert(hasBcc.find("Subject:"), "Bcc: eve@example.com\r\n");
    struct Case {
        int iMajor;
        IMessage* pMessage;
        std::string mime;
    } cases[] = {{12, pWithBcc.Get(), kPlainMime},
                 {16, pWithBcc.Get(), kPlainMime},
                 {11, pWithBcc.Get(), hasBcc},
                 {11, pWithout.Get(), kPlainMime}};
    for (const Case& c : cases) {
        Platform::Host::SetClientVersion(c.iMajor, 0);
        ComPtr<IStream> pStream = Stream(c.mime);
        EXPECT_EQ(WorkaroundBCC(c.pMessage, pStream.Get()), S_OK);
        EXPECT_EQ(StreamText(pStream.Get()), c.mime) << "version " << c.iMajor;
    }
}

TEST_F(Fixups, ThreadTopicFromTheTopicOrTheSubject) {
    // With a conversation topic: the topic, as an encoded word when it is not ASCII.
    ComPtr<IMessage> pTopic = FromDescription("subject: Re: Grüße\ntopic: Grüße\n");
    std::string text = Apply(SetThreadTopic, pTopic.Get(), kPlainMime);
    EXPECT_NE(text.find("Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\nThread-Topic: =?UTF-8?"), std::string::npos) << text;
    mimepp::Message parsed{mimepp::String(text)};
    parsed.parse();
    EXPECT_EQ(parsed.headers().findField("Thread-Topic")->fieldBody().getString().str().find("=?"), 0u);

    // Without one: the subject's own encoded text.
    ComPtr<IMessage> pNoTopic = FromDescription("subject: Grüße\n");
    text = Apply(SetThreadTopic, pNoTopic.Get(), kPlainMime);
    EXPECT_NE(text.find("Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\nThread-Topic: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.find("\r\n\r\n")), "\r\n\r\nTo: not a header\r\n");
}

TEST_F(Fixups, ThreadTopicGoesInAfterAFoldedSubjectAndTouchesNothingElse) {
    // The field names in any case; the subject's folded lines are reused as they are.
    const std::string mime =
        "from:  Alice <alice@example.com>\r\nsubject: Part one\r\n\tpart two\r\nX-Odd:x\r\n continued\r\n"
        "\r\nThread-Topic: in the body\r\n";
    ComPtr<IMessage> pMessage = FromDescription("subject: Part one part two\n");
    EXPECT_EQ(Apply(SetThreadTopic, pMessage.Get(), mime),
              "from:  Alice <alice@example.com>\r\nsubject: Part one\r\n\tpart two\r\n"
              "Thread-Topic: Part one\r\n\tpart two\r\nX-Odd:x\r\n continued\r\n\r\nThread-Topic: in the body\r\n");
}

TEST_F(Fixups, ThreadTopicLeftAloneWhenPresentOrWithoutSubject) {
    ComPtr<IMessage> pMessage = FromDescription("subject: Hello\ntopic: Hello\n");
    std::string present = kPlainMime;
    present.insert(present.find("MIME-Version"), "Thread-Topic: Old\r\n");
    std::string noSubject = kPlainMime;
    noSubject.erase(noSubject.find("Subject:"), noSubject.find("MIME-Version") - noSubject.find("Subject:"));
    for (const std::string& mime : {present, noSubject, "thread-topic: Old\r\n" + std::string(kPlainMime)}) {
        bool bSame = false;
        EXPECT_EQ(Apply(SetThreadTopic, pMessage.Get(), mime, &bSame), mime);
        EXPECT_TRUE(bSame);
    }
    IStream* pStream = nullptr;
    unsigned int size = 0;
    EXPECT_EQ(SetThreadTopic(nullptr, &pStream, size), E_INVALIDARG);
}

namespace {

std::string PdfMime(const char* pszName, const char* pszEncoding, const std::string& content) {
    return std::string(
               "MIME-Version: 1.0\r\nSubject: Report\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
               "--b1\r\nContent-Type: text/plain\r\n\r\nSee attached.\r\n"
               "--b1\r\nContent-Type: application/pdf; name=\"") +
           pszName + "\"\r\nContent-Disposition: attachment; filename=\"" + pszName +
           "\"\r\nContent-Transfer-Encoding: " + pszEncoding + "\r\n\r\n" + content + "\r\n--b1--\r\n";
}

std::string DecodedPart(const std::string& mime, int index) {
    mimepp::Message message{mimepp::String(mime)};
    message.parse();
    mimepp::BodyPart& part = message.body().bodyPartAt(index);
    mimepp::String out;
    mimepp::Base64Decoder().decode(part.body().getString(), out);
    return part.headers().contentTransferEncoding().getString().str() + ":" + out.str();
}

}  // namespace

TEST_F(Fixups, QuotedPrintablePdfBecomesBase64) {
    const std::string pdf = std::string("%PDF-1.4\r\n\xE2\xE3\xCF\xD3 binary=stuff\r\n", 27);
    mimepp::String qp;
    mimepp::QuotedPrintableEncoder().encode(mimepp::String(pdf), qp);
    for (const char* pszName : {"report.pdf", "REPORT.PDF.txt"}) {
        ComPtr<IMessage> pMessage =
            FromDescription(std::string("subject: Report\nattach:\n  long-name: ") + pszName + "\n  data: x\n");
        const std::string mime = PdfMime(pszName, "quoted-printable", qp.str());
        const std::string text = Apply(FixMimeForSpecialAttachments, pMessage.Get(), mime);
        EXPECT_EQ(DecodedPart(text, 1), "base64:" + pdf) << pszName;
        EXPECT_EQ(text.substr(0, text.find("--b1\r\nContent-Type: application")),
                  mime.substr(0, mime.find("--b1\r\nContent-Type: application")))
            << "the parts before stay as they were";
    }
}

TEST_F(Fixups, PdfFixLeavesOtherMessagesAlone) {
    ComPtr<IMessage> pPdf = FromDescription("subject: Report\nattach:\n  long-name: report.pdf\n  data: x\n");
    ComPtr<IMessage> pNoPdf = FromDescription("subject: Report\nattach:\n  long-name: report.doc\n  data: x\n");
    mimepp::String b64;
    mimepp::Base64Encoder().encode(mimepp::String("%PDF-1.4"), b64);
    const std::string alreadyBase64 = PdfMime("report.pdf", "base64", b64.str());
    const std::string qpButNoPdfAttachment = PdfMime("report.pdf", "quoted-printable", "%PDF-1.4");
    EXPECT_EQ(Apply(FixMimeForSpecialAttachments, pPdf.Get(), alreadyBase64), alreadyBase64);
    EXPECT_EQ(Apply(FixMimeForSpecialAttachments, pNoPdf.Get(), qpButNoPdfAttachment), qpButNoPdfAttachment);
    IStream* pStream = nullptr;
    unsigned int size = 0;
    EXPECT_EQ(FixMimeForSpecialAttachments(nullptr, &pStream, size), E_INVALIDARG);
    EXPECT_EQ(FixMimeForSpecialAttachments(pPdf.Get(), nullptr, size), E_POINTER);
}

namespace {

const char kMeeting[] =
    "class: IPM.Schedule.Meeting.Request\n"
    "subject: Planning\n"
    "from: Alice Example <alice@example.com>\n"
    "to: Bob Builder <bob@example.com>\n"
    "body: Let us plan.\\r\\n\n"
    "html: <html><body>Let us plan.</body></html>\n"
    "cpid: 28591\n";

const char kCalendar[] =
    "BEGIN:VCALENDAR\r\nMETHOD:REQUEST\r\nBEGIN:VEVENT\r\n"
    "ORGANIZER;CN=Alice Example:mailto:alice@example.com\r\n"
    "ATTENDEE;CN=\"Bob Builder\";ROLE=REQ-PARTICIPANT:invalid:nomail\r\n"
    "ATTENDEE;CN=Nobody Known:invalid:nomail\r\n"
    "ATTENDEE;CN=Carol:mailto:carol@example.com\r\n"
    "END:VEVENT\r\nEND:VCALENDAR\r\n";

std::string CalendarOnly() {
    return std::string(
               "Subject: Planning\r\nMIME-Version: 1.0\r\n"
               "Content-Type: text/calendar; method=REQUEST; charset=utf-8\r\n"
               "Content-Transfer-Encoding: 7bit\r\n\r\n") +
           kCalendar;
}

std::string Alternative(const char* pszCalendar) {
    return std::string(
               "Subject: Planning\r\nMIME-Version: 1.0\r\n"
               "Content-Type: multipart/alternative; boundary=\"b2\"\r\n\r\n"
               "--b2\r\nContent-Type: text/plain\r\n\r\nLet us plan.\r\n"
               "--b2\r\nContent-Type: text/calendar; method=REQUEST\r\n\r\n") +
           pszCalendar + "\r\n--b2--\r\n";
}

// iCalendar text with its folded lines joined.
std::string Unfolded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, "\r\n ") == 0) {
            i += 2;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string Fixed(IMessage* pMessage, const std::string& mime, const wchar_t* pwszSender = nullptr) {
    return Apply(
        [&](IMessage* p, IStream** pp, unsigned int& size) { return MtgRequestFix(p, pp, size, pwszSender, nullptr); },
        pMessage, mime);
}

}  // namespace

TEST_F(Fixups, LoneCalendarBecomesAlternativeWithRepairedAttendees) {
    ComPtr<IMessage> pMessage = FromDescription(kMeeting);
    const std::string text = Fixed(pMessage.Get(), CalendarOnly());
    mimepp::Message parsed{mimepp::String(text)};
    parsed.parse();
    EXPECT_EQ(parsed.headers().contentType().subtype(), "alternative") << text;
    ASSERT_EQ(parsed.body().numBodyParts(), 3) << text;
    EXPECT_EQ(parsed.body().bodyPartAt(0).headers().contentType().subtype(), "plain");
    EXPECT_EQ(parsed.body().bodyPartAt(0).headers().contentType().charset(), "utf-8");
    EXPECT_EQ(parsed.body().bodyPartAt(1).headers().contentType().subtype(), "html");
    EXPECT_EQ(parsed.body().bodyPartAt(1).headers().contentType().charset(), "iso-8859-1");
    EXPECT_NE(parsed.body().bodyPartAt(1).body().getString().str().find("Let us plan."), std::string::npos);
    const std::string calendar = Unfolded(parsed.body().bodyPartAt(2).body().getString().str());
    EXPECT_NE(calendar.find("ATTENDEE;CN=\"Bob Builder\";ROLE=REQ-PARTICIPANT;RSVP=TRUE:mailto:bob@example.com"),
              std::string::npos)
        << calendar;
    EXPECT_EQ(calendar.find("Nobody Known"), std::string::npos) << "no recipient matches: the line goes";
    EXPECT_NE(calendar.find("ATTENDEE;CN=Carol:mailto:carol@example.com\r\n"), std::string::npos);
    EXPECT_EQ(parsed.headers().findField("Subject")->fieldBody().getString(), "Planning");

    // A meeting sent by someone else than its organizer names the sender.
    const std::string delegated = Unfolded(Fixed(pMessage.Get(), CalendarOnly(), L"assistant@example.com"));
    EXPECT_NE(delegated.find("ORGANIZER;CN=Alice Example;SENT-BY=\"mailto:assistant@example.com\":mailto:alice@"),
              std::string::npos)
        << delegated;
}

TEST_F(Fixups, MeetingFixKeepsAlternativesAndLeavesOthersAlone) {
    ComPtr<IMessage> pMessage = FromDescription(kMeeting);
    // Already an alternative: the structure stays, the attendee is still repaired.
    const std::string text = Fixed(pMessage.Get(), Alternative(kCalendar));
    EXPECT_EQ(text.substr(0, text.find("ORGANIZER")), Alternative(kCalendar).substr(0, text.find("ORGANIZER")));
    EXPECT_NE(Unfolded(text).find(":mailto:bob@example.com"), std::string::npos);

    // Nothing to repair: byte for byte.
    const std::string clean =
        Alternative("BEGIN:VCALENDAR\r\nATTENDEE;CN=Carol:mailto:carol@example.com\r\nEND:VCALENDAR");
    EXPECT_EQ(Fixed(pMessage.Get(), clean), clean);
    // Not a meeting, or a response (no attendee repair): byte for byte.
    ComPtr<IMessage> pNote = FromDescription("class: IPM.Note\nsubject: x\n");
    EXPECT_EQ(Fixed(pNote.Get(), CalendarOnly()), CalendarOnly());
    ComPtr<IMessage> pResponse = FromDescription("class: IPM.Schedule.Meeting.Resp.Pos\nsubject: x\n");
    EXPECT_EQ(Fixed(pResponse.Get(), Alternative(kCalendar)), Alternative(kCalendar));
}

TEST_F(Fixups, ColonsInRecipientNamesAreReplacedAndResolvedAgain) {
    ASSERT_EQ(Platform::MapiCreateProfile(L"Fixups", true), S_OK);
    ComPtr<IMessage> pMessage =
        FromDescription("subject: x\nto: Smith: John <john@example.com>\ncc: Plain <p@example.com>\n");
    IMessage* pRaw = pMessage.Get();
    EXPECT_EQ(WorkAroundRecepientForSpecialChars(&pRaw, nullptr), 1);
    EXPECT_EQ(RecipientName(pMessage.Get(), 0), L"Smith_ John");
    EXPECT_EQ(RecipientName(pMessage.Get(), 1), L"Plain");
    // The entry id was made again for the new name.
    ComPtr<IMAPITable> pTable;
    LPSRowSet pRows = nullptr;
    SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_EMAIL_ADDRESS_W}};
    ASSERT_EQ(pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf()), S_OK);
    ASSERT_EQ(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows),
              S_OK);
    const SBinary& eid = pRows->aRow[0].lpProps[0].Value.bin;
    const std::string bytes(reinterpret_cast<const char*>(eid.lpb), eid.cb);
    EXPECT_EQ(bytes.find(std::string("h\0:\0", 4)), std::string::npos);
    EXPECT_NE(bytes.find(std::string("h\0_\0", 4)), std::string::npos);
    EXPECT_EQ(std::wstring(pRows->aRow[0].lpProps[1].Value.lpszW), L"john@example.com");
    FreeProws(pRows);

    // Nothing left to change.
    EXPECT_EQ(WorkAroundRecepientForSpecialChars(&pRaw, nullptr), 0);
    Ostrel::Mapi::ReleaseGlobalMAPISession();
}

}  // namespace MailOutTest
