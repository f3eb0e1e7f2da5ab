// Typed header values decoded from real-world forms, and written back so that GMime (and we) read
// the same values again.
#include "MimeTestUtil.h"

#include <gtest/gtest.h>

#include <gmime/gmime.h>

#include <climits>
#include <cstdint>
#include <random>

using namespace mimepp;
using MimeTest::Corpus;
using MimeTest::Parsed;

namespace {

String DisplayName(AddressList& list, int i) {
    return static_cast<Mailbox&>(list.addressAt(i)).displayNameUtf8();
}

}  // namespace

// Names, groups and subjects read from the corpus are held in its expected results (CorpusTest).

TEST(MimeHeaders, WritesNamesAsEncodedWordsAndReadsThemBack) {
    Message m;
    Mailbox* box = new Mailbox();
    box->setDisplayNameUtf("Müller, Hans \"the boss\"");  // the writer's name for setDisplayNameUtf8
    box->setLocalPart("hans.mueller");
    box->setDomain("example.de");
    m.headers().to().addAddress(box);
    Mailbox* plain = new Mailbox();
    plain->setLocalPart("plain");
    plain->setDomain("example.com");
    m.headers().to().addAddress(plain);
    Group* group = new Group();
    group->setGroupNameUtf8("Équipe");
    Mailbox* member = new Mailbox();
    member->setLocalPart("a");
    member->setDomain("b.example");
    group->mailboxList().addMailbox(member);
    m.headers().cc().addAddress(group);
    m.assemble();

    const String& text = m.getString();
    String lower = text;
    lower.convertToLowerCase();
    EXPECT_NE(lower.find("=?utf-8?"), String::npos) << text.str();
    EXPECT_EQ(text.find("Müller"), String::npos);
    Message back = Parsed(text);
    ASSERT_EQ(back.headers().to().numAddresses(), 2);
    EXPECT_EQ(DisplayName(back.headers().to(), 0), "Müller, Hans \"the boss\"");
    EXPECT_EQ(static_cast<Mailbox&>(back.headers().to().addressAt(1)).localPart(), "plain");
    auto& g = static_cast<Group&>(back.headers().cc().addressAt(0));
    EXPECT_EQ(g.groupNameUtf8(), "Équipe");
    EXPECT_EQ(g.mailboxList().mailboxAt(0).domain(), "b.example");
}

TEST(MimeHeaders, GivesDatesAsUnixTime) {
    Message m = Parsed(Corpus("01-plain-ascii.eml"));
    EXPECT_TRUE(m.headers().date().isValid());
    EXPECT_EQ(m.headers().date().asUnixTime(), 1699863238);  // 2023-11-13 08:13:58 UTC
    EXPECT_EQ(m.headers().date().zone(), 60);
    // The first Received field, its date after the last ';'.
    EXPECT_EQ(m.headers().received().date().asUnixTime(), 1699863242);

    Message chain = Parsed(Corpus("25-received-chain.eml"));
    EXPECT_EQ(chain.headers().received().date().asUnixTime(), 1701680405);  // 09:00:05 UTC
    EXPECT_EQ(chain.headers().date().asUnixTime(), 1701680398);

    Message none = Parsed(Corpus("32-no-headers.eml"));
    EXPECT_FALSE(none.headers().date().isValid());
    EXPECT_EQ(none.headers().date().asUnixTime(), 0);

    DateTime bad(String("Someday soon"));
    bad.parse();
    EXPECT_FALSE(bad.isValid());
}

TEST(MimeHeaders, WritesDatesInRfc5322Form) {
    Message m;
    m.headers().date().fromUnixTime(1796288700);  // Thursday 2026-12-03 09:05:00 UTC
    DateTime zoned;
    zoned.fromUnixTime(1796288700, -300);
    zoned.assemble();
    m.assemble();
    EXPECT_EQ(m.headers().fieldBody("Date").getString(), "Thu, 3 Dec 2026 09:05:00 -0000");
    EXPECT_EQ(zoned.getString(), "Thu, 3 Dec 2026 04:05:00 -0500");
    Message back = Parsed(m.getString());
    EXPECT_EQ(back.headers().date().asUnixTime(), 1796288700);

    DateTime outOfRange;
    outOfRange.fromUnixTime(INT64_MAX, 60);
    outOfRange.assemble();
    EXPECT_EQ(outOfRange.getString(), "");
    outOfRange.fromUnixTime(0, INT_MIN);
    outOfRange.assemble();
    EXPECT_EQ(outOfRange.getString(), "");
}

TEST(MimeHeaders, DecodesMediaTypesAndFileNames) {
    Message odd = Parsed(Corpus("34-odd-parameters.eml"));
    MediaType& type = odd.headers().contentType();
    EXPECT_EQ(type.typeAsEnum(), MediaType::MULTIPART);
    EXPECT_EQ(Strcasecmp(type.subtype(), "mixed"), 0);
    EXPECT_EQ(type.boundary(), "odd;boundary");
    EXPECT_EQ(type.parameter("x-extra"), "value");
    EXPECT_EQ(odd.headers().contentTransferEncoding().asEnum(), TransferEncodingType::SEVEN_BIT);
    BodyPart& data = odd.body().bodyPartAt(1);
    EXPECT_EQ(data.headers().contentDisposition().asEnum(), DispositionType::ATTACHMENT);
    EXPECT_EQ(data.headers().contentDisposition().filename(), "data.bin");
    EXPECT_EQ(data.headers().contentTransferEncoding().asEnum(), TransferEncodingType::BASE64);

    // The disposition's file names are in the corpus's expected results; the type's name too.
    Message rfc2231 = Parsed(Corpus("05-rfc2231-filenames.eml"));
    EXPECT_EQ(rfc2231.body().bodyPartAt(1).headers().contentType().name(), "Prüfungsordnung Übersicht.docx");
    Message rfc2047 = Parsed(Corpus("06-rfc2047-filenames.eml"));
    EXPECT_EQ(rfc2047.body().bodyPartAt(2).headers().contentType().name(), "Résumé François.txt");
    EXPECT_EQ(rfc2047.body().bodyPartAt(1).headers().contentType().typeAsEnum(), MediaType::IMAGE);

    Message share = Parsed(Corpus("24-share-notification.eml"));
    EXPECT_EQ(share.body().bodyPartAt(1).headers().contentType().typeAsEnum(), MediaType::UNKNOWN);
    EXPECT_EQ(share.body().bodyPartAt(1).headers().contentType().type(), "xml");
}

TEST(MimeHeaders, WritesNonAsciiParametersInRfc2231Form) {
    BodyPart part;
    MediaType& type = part.headers().contentType();
    type.setType(MediaType::APPLICATION);
    type.setSubtype("pdf");
    type.setName("Überweisung März 2024 – Bestätigung für die Buchhaltung und das Archiv.pdf");
    DispositionType& disposition = part.headers().contentDisposition();
    disposition.setType(DispositionType::ATTACHMENT);
    disposition.setFilename("Überweisung März 2024 – Bestätigung für die Buchhaltung und das Archiv.pdf");
    part.headers().contentTransferEncoding().fromEnum(TransferEncodingType::BASE64);
    part.body().setString("JVBERi0xLjQK\r\n");
    part.assemble();

    const String& text = part.getString();
    String lower = text;
    lower.convertToLowerCase();
    EXPECT_NE(lower.find("filename*0*=utf-8''"), String::npos) << text.str();
    EXPECT_NE(text.find("Content-Transfer-Encoding: base64\r\n"), String::npos);
    for (size_t start = 0, nl; (nl = text.find('\n', start)) != String::npos; start = nl + 1) {
        EXPECT_LE(nl - start, 79u) << text.substr(start, nl - start).str();
    }
    BodyPart back(text);
    back.parse();
    EXPECT_EQ(back.headers().contentDisposition().filename(),
              "Überweisung März 2024 – Bestätigung für die Buchhaltung und das Archiv.pdf");
    EXPECT_EQ(back.headers().contentType().name(), disposition.filename());
    EXPECT_EQ(back.headers().contentType().typeAsEnum(), MediaType::APPLICATION);
    EXPECT_EQ(back.body().getString(), "JVBERi0xLjQK\r\n");
}

TEST(MimeHeaders, ReadsMessageIdsAndTransferEncodings) {
    Message m = Parsed(Corpus("04-mixed-pdf-attachment.eml"));
    EXPECT_EQ(m.headers().messageId().localPart(), "CAF3x9Qa+invoice117");
    EXPECT_EQ(m.headers().messageId().domain(), "mail.example.com");
    EXPECT_EQ(m.body().bodyPartAt(1).headers().contentId().id(), "f_lp1x2y3z0");
    EXPECT_EQ(m.body().bodyPartAt(0).headers().contentTransferEncoding().asEnum(), TransferEncodingType::NONE);

    TransferEncodingType cte(String(" Quoted-Printable (comment)"));
    cte.parse();
    EXPECT_EQ(cte.asEnum(), TransferEncodingType::QUOTED_PRINTABLE);
    cte.fromEnum(TransferEncodingType::EIGHT_BIT);
    EXPECT_EQ(cte.getString(), "8bit");
    TransferEncodingType other(String("x-uuencode"));
    other.parse();
    EXPECT_EQ(other.asEnum(), TransferEncodingType::UNKNOWN);
}

TEST(MimeHeaders, NamesAreCaseInsensitiveAndSubjectsFoldAndRoundTrip) {
    Message m = Parsed(Corpus("34-odd-parameters.eml"));
    EXPECT_NE(m.headers().findField("content-type"), nullptr);
    EXPECT_TRUE(m.headers().hasField("Mime-Version"));
    EXPECT_EQ(m.headers().findField("X-Nope"), nullptr);

    const String subject =
        "Résumé of the quarterly planning meeting with all department heads, including the budget "
        "discussion, hiring plans, and the follow-up items — please read before Friday";
    m.headers().subject().setTextUtf8(subject);
    m.assemble();
    Field* field = m.headers().findField("subject");
    ASSERT_NE(field, nullptr);
    const String& line = field->getString();
    EXPECT_NE(line.find("\r\n "), String::npos) << "long subject is folded";
    for (size_t start = 0, nl; (nl = line.find('\n', start)) != String::npos; start = nl + 1) {
        EXPECT_LE(nl - start, 79u);
    }
    EXPECT_EQ(Parsed(m.getString()).headers().subject().textUtf8(), subject);
}

TEST(MimeHeaders, PlainMailboxesAreWrittenAsGMimeWritesThem) {
    // Plain ASCII mailboxes are written without GMime; names near and past the length where GMime
    // starts splitting, specials that need quoting, and addresses it may rewrite must all come out
    // as GMime writes them.
    g_mime_init();
    GMimeFormatOptions* pOptions = g_mime_format_options_new();
    const std::string kNameBytes = "abcXYZ09 ()<>[]:;@\\,.\"!#$%&'*+/=?^_`{|}~-\t\xc3\xa9";
    std::mt19937 random(2027);
    auto pick = [&](const std::string& from, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += random() % 2 ? from[random() % from.size()] : "abcdefghij"[random() % 10];
        return out;
    };
    for (int round = 0; round < 6000; ++round) {
        const size_t nameLength = random() % 2 == 0 ? 50 + random() % 30 : random() % 20;
        const std::string name = random() % 4 == 0 ? std::string(nameLength, "w\"x,"[random() % 4])
                                                   : pick(random() % 2 ? kNameBytes : " ", nameLength);
        const std::string local = pick("aB9._+-", 1 + random() % 8);
        const std::string domain = pick("aX9.-_", random() % 10);
        Mailbox box;
        box.setDisplayNameUtf8(name);
        box.setLocalPart(local);
        box.setDomain(domain);
        box.assemble();

        const std::string addr = domain.empty() ? local : local + "@" + domain;
        InternetAddress* pAddress = internet_address_mailbox_new(name.empty() ? nullptr : name.c_str(), addr.c_str());
        internet_address_set_charset(pAddress, "utf-8");
        char* psz = internet_address_to_string(pAddress, pOptions, TRUE);
        EXPECT_EQ(box.getString().str(), psz) << "name [" << name << "] address [" << addr << "]";
        g_free(psz);
        g_object_unref(pAddress);
    }
    g_mime_format_options_free(pOptions);
}
