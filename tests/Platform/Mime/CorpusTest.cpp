// Every message of the corpus parses to its expected result (NN-name.expected beside NN-name.eml:
// structure, decoded headers, body text, attachment names and sizes) and is written back
// unchanged; after an edit it is still a message that parses to the same structure.
// OSTREL_REGEN_MIME_EXPECTED=1 rewrites the expected results (scripts/regen-mime-expected.sh).
#include "MimeTestUtil.h"

#include "Platform/Mime/Mime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace mimepp;

namespace {

std::vector<std::filesystem::path> CorpusFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(MimeTest::CorpusDir())) {
        if (entry.path().extension() == ".eml")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Touches every typed value of every field and decodes every leaf body, so that a walk reaches
// all parts; what it finds is checked against the expected results.
void Walk(Entity& entity);

// The body of a leaf after its transfer encoding.
String DecodedBody(Entity& entity) {
    Headers& headers = entity.headers();
    const auto encoding = headers.hasField("Content-Transfer-Encoding") ? headers.contentTransferEncoding().asEnum()
                                                                        : TransferEncodingType::NONE;
    String decoded;
    if (encoding == TransferEncodingType::BASE64)
        Base64Decoder().decode(entity.body().getString(), decoded);
    else if (encoding == TransferEncodingType::QUOTED_PRINTABLE)
        QuotedPrintableDecoder().decode(entity.body().getString(), decoded);
    else
        decoded = entity.body().getString();
    return decoded;
}

void Walk(Entity& entity) {
    Headers& headers = entity.headers();
    for (int i = 0; i < headers.numFields(); ++i) {
        FieldBody& value = headers.fieldAt(i).fieldBody();
        if (value.class_().isA(Text::kClass))
            static_cast<Text&>(value).textUtf8();
        if (value.class_().isA(AddressList::kClass)) {
            auto& list = static_cast<AddressList&>(value);
            for (int a = 0; a < list.numAddresses(); ++a)
                list.addressAt(a).getString();
        }
    }
    DecodedBody(entity);
    for (int i = 0; i < entity.body().numBodyParts(); ++i)
        Walk(entity.body().bodyPartAt(i));
    if (Message* inner = entity.body().message())
        Walk(*inner);
}

// Length of the well-formed UTF-8 sequence at `i` of at least two bytes, or 0.
size_t Utf8Length(const std::string& bytes, size_t i) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const size_t n = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > bytes.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    return n;
}

// Printable text and well-formed UTF-8 stay; line ends become "\n" (a CR before LF is dropped),
// other bytes "\xNN", so that the expected results are text that shows every byte.
std::string Escaped(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            continue;
        if (c == '\n' || (c >= 0x20 && c < 0x7f && c != '\\')) {
            out += static_cast<char>(c);
        } else if (const size_t n = c >= 0x80 ? Utf8Length(bytes, i) : 0) {
            out.append(bytes, i, n);
            i += n - 1;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
        if (c == ' ' && !out.empty() && out.back() == ' ')
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    while (!out.empty() && out.front() == ' ')
        out.erase(0, 1);
    return Escaped(out);
}

std::string MailboxText(const Mailbox& mailbox) {
    std::string out = mailbox.localPart().str();
    if (!mailbox.domain().empty())
        out += "@" + mailbox.domain().str();
    return mailbox.displayNameUtf8().empty() ? "<" + out + ">"
                                             : "\"" + mailbox.displayNameUtf8().str() + "\" <" + out + ">";
}

std::string MailboxesText(const MailboxList& list) {
    std::string out;
    for (int m = 0; m < list.numMailboxes(); ++m)
        out += (m ? ", " : "") + MailboxText(list.mailboxAt(m));
    return out;
}

// A field's value as a reader sees it: encoded words decoded, addresses taken apart.
std::string DecodedValue(FieldBody& value) {
    if (value.class_().isA(Text::kClass))
        return OneLine(static_cast<Text&>(value).textUtf8().str());
    if (value.class_().isA(MailboxList::kClass))
        return OneLine(MailboxesText(static_cast<MailboxList&>(value)));
    if (value.class_().isA(Mailbox::kClass))
        return OneLine(MailboxText(static_cast<Mailbox&>(value)));
    if (value.class_().isA(AddressList::kClass)) {
        auto& list = static_cast<AddressList&>(value);
        std::string out;
        for (int a = 0; a < list.numAddresses(); ++a) {
            Address& address = list.addressAt(a);
            out += a ? ", " : "";
            if (address.class_().isA(Group::kClass)) {
                const auto& group = static_cast<Group&>(address);
                out += "\"" + group.groupNameUtf8().str() + "\": " + MailboxesText(group.mailboxList()) + ";";
            } else if (address.class_().isA(Mailbox::kClass)) {
                out += MailboxText(static_cast<Mailbox&>(address));
            }
        }
        return OneLine(out);
    }
    return OneLine(value.getString().str());
}

// The expected-result text of an entity and everything below it.
void Describe(Entity& entity, const std::string& indent, std::string& out) {
    Headers& headers = entity.headers();
    std::string type = "-";
    if (headers.hasField("Content-Type")) {
        MediaType& media = headers.contentType();
        String text = media.type() + "/" + media.subtype();
        text.convertToLowerCase();
        type = text.str();
    }
    out += indent + "entity " + type + "\n";
    for (int i = 0; i < headers.numFields(); ++i) {
        Field& field = headers.fieldAt(i);
        out += indent + "  " + OneLine(field.fieldName().str()) + ": " + DecodedValue(field.fieldBody()) + "\n";
    }
    Body& body = entity.body();
    if (body.numBodyParts() > 0 || body.message()) {
        for (int i = 0; i < body.numBodyParts(); ++i)
            Describe(body.bodyPartAt(i), indent + "    ", out);
        if (Message* inner = body.message())
            Describe(*inner, indent + "    ", out);
        return;
    }
    std::string name;
    if (headers.hasField("Content-Disposition"))
        name = headers.contentDisposition().filename().str();
    if (name.empty() && headers.hasField("Content-Type"))
        name = headers.contentType().name().str();
    const std::string decoded = DecodedBody(entity).str();
    if (!name.empty())
        out += indent + "  attachment \"" + Escaped(name) + "\"\n";
    out += indent + "  body " + std::to_string(decoded.size()) + " bytes\n";
    if (type == "-" || type.starts_with("text/")) {
        std::string text = Escaped(decoded);
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            out += indent + "  | " + text.substr(start, end == std::string::npos ? end : end - start) + "\n";
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
}

std::string Expected(const std::filesystem::path& eml) {
    std::filesystem::path path = eml;
    path.replace_extension(".expected");
    return MimeTest::ReadFile(path).str();
}

}  // namespace

TEST(MimeCorpus, EveryMessageParsesToItsExpectedResult) {
    const bool bRegen = std::getenv("OSTREL_REGEN_MIME_EXPECTED") != nullptr;
    ASSERT_GE(CorpusFiles().size(), 30u);
    for (const auto& file : CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        Message message(MimeTest::ReadFile(file));
        message.parse();
        std::string actual;
        Describe(message, "", actual);
        if (bRegen) {
            std::filesystem::path path = file;
            path.replace_extension(".expected");
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << actual;
            ASSERT_TRUE(out.flush()) << "cannot write " << path;
            continue;
        }
        ASSERT_TRUE(std::filesystem::exists(std::filesystem::path(file).replace_extension(".expected")))
            << "no expected result; run scripts/regen-mime-expected.sh and review it";
        EXPECT_EQ(actual, Expected(file));
    }
}

TEST(MimeCorpus, EveryMessageRoundTripsByteForByte) {
    for (const auto& file : CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        const String text = MimeTest::ReadFile(file);
        Message message(text);
        message.parse();
        Walk(message);
        message.assemble();
        EXPECT_EQ(message.getString(), text);
        // Every node's text is its share of the original.
        EXPECT_EQ(message.headers().getString() + message.body().getString(), text);
    }
}

// A field added at the top and one in the first leaf: the message still parses to the same tree.
TEST(MimeCorpus, EditedMessagesStillParseToTheSameStructure) {
    for (const auto& file : CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        Message message(MimeTest::ReadFile(file));
        message.parse();
        const String shape = MimeTest::Shape(message);
        message.headers().addField(Field::newField("X-Corpus-Check", "edited"));
        MimeTest::FirstLeaf(message)->headers().addField(Field::newField("X-Leaf", "1"));
        message.assemble();

        Message again(message.getString());
        again.parse();
        EXPECT_EQ(MimeTest::Shape(again), shape);
        ASSERT_NE(again.headers().findField("x-corpus-check"), nullptr);
        EXPECT_EQ(again.headers().fieldBody("X-Corpus-Check").getString(), "edited");
        EXPECT_TRUE(MimeTest::FirstLeaf(again)->headers().hasField("X-Leaf"));
    }
}

TEST(MimeCorpus, ParsesOnSeveralThreadsAtOnce) {
    std::vector<String> texts;
    for (const auto& file : CorpusFiles())
        texts.push_back(MimeTest::ReadFile(file));
    std::vector<std::string> shapes;
    for (const String& text : texts) {
        Message message = MimeTest::Parsed(text);
        shapes.push_back(MimeTest::Shape(message).str());
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                for (size_t i = 0; i < texts.size(); ++i) {
                    Message message = MimeTest::Parsed(texts[i]);
                    Walk(message);
                    if (MimeTest::Shape(message).str() != shapes[i])
                        ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}
