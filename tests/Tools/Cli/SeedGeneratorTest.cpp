// The generated seed mail: deterministic, varied, and well-formed enough for any MIME reader.
#include "CliTestSupport.h"

#include "Platform/Mime/Entity.h"
#include "Platform/Mime/FieldBody.h"

#include <map>

namespace CliTest {

namespace {

using OstrelServer::GeneratedMessage;
using OstrelServer::MessageGenerator;

// Every line ends in CR LF and stays within the 998 characters of RFC 5322; the header section
// is 7-bit.
void ExpectWellFormed(const GeneratedMessage& message, size_t index) {
    const std::string& mime = message.mime;
    const size_t headerEnd = mime.find("\r\n\r\n");
    ASSERT_NE(headerEnd, std::string::npos) << index;
    for (size_t i = 0; i < headerEnd; ++i)
        ASSERT_LT(static_cast<unsigned char>(mime[i]), 0x80) << "8-bit header in message " << index;
    size_t lineStart = 0;
    for (size_t i = 0; i < mime.size(); ++i) {
        if (mime[i] == '\n') {
            ASSERT_TRUE(i > 0 && mime[i - 1] == '\r') << "bare LF in message " << index;
            ASSERT_LE(i - lineStart, 999u) << "long line in message " << index;
            lineStart = i + 1;
        } else if (mime[i] == '\r') {
            ASSERT_TRUE(i + 1 < mime.size() && mime[i + 1] == '\n') << "bare CR in message " << index;
        }
    }
}

TEST(SeedGenerator, SameSeedSameMailAndEveryKind) {
    MessageGenerator first(5), second(5), other(6);
    std::map<std::string, int> kinds;
    bool bDiffers = false;
    for (size_t i = 0; i < 300; ++i) {
        const GeneratedMessage a = first.Next();
        const GeneratedMessage b = second.Next();
        ASSERT_EQ(a.mime, b.mime) << i;
        bDiffers |= other.Next().mime != a.mime;
        ++kinds[a.kind];
        ExpectWellFormed(a, i);

        mimepp::Message message{mimepp::String(a.mime)};
        message.parse();
        EXPECT_EQ(message.headers().subject().textUtf8().c_str(), a.subject) << i;
        const int parts = message.body().numBodyParts();
        if (a.kind == "html" || a.kind == "invitation")
            EXPECT_EQ(parts, 2) << i;
        else if (a.kind == "attachment" || a.kind == "large")
            EXPECT_GE(parts, 2) << i;
        else
            EXPECT_EQ(parts, 0) << i;
    }
    EXPECT_TRUE(bDiffers);
    for (const char* kind : {"plain", "html", "attachment", "invitation", "reply", "large"})
        EXPECT_GT(kinds[kind], 0) << kind;
}

TEST(SeedGenerator, SeedDirectoryLoadsAsAMailbox) {
    TestSupport::TempHome home;
    OstrelServer::WriteSeedMailbox(home.Path() / "seed", 40, 3);
    OstrelServer::Server server;
    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(server);
    const size_t before = mailbox.ItemCount();
    mailbox.LoadSeed(home.Path() / "seed");
    EXPECT_EQ(mailbox.ItemCount(), 40u) << "the seed replaces the mailbox (" << before << " items before)";
    ASSERT_TRUE(mailbox.Folder(504));
    EXPECT_EQ(mailbox.Folder(504)->name, "Reisen & Ferien");
    EXPECT_TRUE(mailbox.TagByName("Später"));

    // Generating into a live mailbox whose folder ids are taken uses other ids, never failing.
    const size_t added = OstrelServer::GenerateInto(mailbox, 10, 4);
    EXPECT_EQ(added, 10u);
    EXPECT_EQ(mailbox.ItemCount(), 50u);
}

}  // namespace

}  // namespace CliTest
