// Every message of the corpus parses, walks and is written back unchanged; after an edit it is
// still a message that parses to the same structure.
#include "MimeTestUtil.h"

#include "Platform/Mime/Mime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
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

// Touches every typed value of every field, decodes every leaf body and returns the number of
// entities, so that a walk reaches all parts.
int Walk(Entity& entity) {
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
    const auto encoding = headers.hasField("Content-Transfer-Encoding") ? headers.contentTransferEncoding().asEnum()
                                                                        : TransferEncodingType::NONE;
    String decoded;
    if (encoding == TransferEncodingType::BASE64)
        Base64Decoder().decode(entity.body().getString(), decoded);
    if (encoding == TransferEncodingType::QUOTED_PRINTABLE) {
        QuotedPrintableDecoder().decode(entity.body().getString(), decoded);
    }
    int count = 1;
    for (int i = 0; i < entity.body().numBodyParts(); ++i)
        count += Walk(entity.body().bodyPartAt(i));
    if (Message* inner = entity.body().message())
        count += Walk(*inner);
    return count;
}

}  // namespace

TEST(MimeCorpus, HasAtLeastThirtyMessages) {
    EXPECT_GE(CorpusFiles().size(), 30u);
}

TEST(MimeCorpus, EveryMessageRoundTripsByteForByte) {
    for (const auto& file : CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        const String text = MimeTest::ReadFile(file);
        Message message(text);
        message.parse();
        EXPECT_GE(Walk(message), 1);
        message.assemble();
        EXPECT_EQ(message.getString(), text);
        // Every node's text is its share of the original.
        EXPECT_EQ(message.headers().getString() + message.body().getString(), text);
    }
}

TEST(MimeCorpus, EditedMessagesStillParseToTheSameStructure) {
    for (const auto& file : CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        Message message(MimeTest::ReadFile(file));
        message.parse();
        const String shape = MimeTest::Shape(message);
        message.headers().addField(Field::newField("X-Corpus-Check", "edited"));
        message.assemble();

        Message again(message.getString());
        again.parse();
        EXPECT_EQ(MimeTest::Shape(again), shape);
        ASSERT_NE(again.headers().findField("x-corpus-check"), nullptr);
        EXPECT_EQ(again.headers().fieldBody("X-Corpus-Check").getString(), "edited");
    }
}

TEST(MimeCorpus, DeepEditsRewriteOnlyTheChangedBranch) {
    for (const auto& file : CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        Message message(MimeTest::ReadFile(file));
        message.parse();
        Entity* leaf = MimeTest::FirstLeaf(message);
        if (leaf == &message)
            continue;
        const String shape = MimeTest::Shape(message);
        leaf->headers().addField(Field::newField("X-Leaf", "1"));
        message.assemble();
        Message again(message.getString());
        again.parse();
        EXPECT_EQ(MimeTest::Shape(again), shape);
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
