// Archives written to pipes by other tools (tests/data/zip, made by make-archives.sh there).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "Support/Files.h"
#include "ZipTestSupport.h"

using namespace ZipTest;

namespace {

std::filesystem::path ZipData() {
    return TestSupport::DataDir() / "zip";
}

using OtherToolsTest = ZipFixture;

// Reads every entry (names and content) until the central directory.
std::vector<std::pair<std::wstring, std::string>> ReadArchive(Ostrel::Rpc::ZipInputStream* pReader) {
    std::vector<std::pair<std::wstring, std::string>> entries;
    try {
        for (;;) {
            Ostrel::Rpc::ZipEntry* pEntry = pReader->GetNextEntry();
            std::wstring name = pEntry->GetName();
            bool meta = name.size() > 5 && name.ends_with(L".meta");
            entries.emplace_back(name, meta ? MetaOf(pEntry) : MimeOf(pEntry));
        }
    } catch (const ZipInputStreamImpl::Exception& e) {
        EXPECT_EQ(e.GetMessage(), kEndOfArchive);
    }
    return entries;
}

TEST_F(OtherToolsTest, ArchivesWrittenToPipes) {
    const std::filesystem::path src = ZipData() / "src";
    std::vector<std::pair<std::wstring, std::string>> messages;
    for (const char* n : {"1", "2", "3"}) {
        messages.emplace_back(std::wstring(n, n + 1) + L".meta",
                              TestSupport::ReadFile(src / (std::string(n) + ".meta")));
        messages.emplace_back(std::wstring(n, n + 1) + L".eml", TestSupport::ReadFile(src / (std::string(n) + ".eml")));
    }
    ASSERT_GT(messages.back().second.size(), 100000u);

    std::vector<std::pair<std::wstring, std::string>> python = messages;
    python.emplace_back(L"empty.meta", "");

    struct Case {
        const char* file;
        std::vector<std::pair<std::wstring, std::string>> expected;
    } cases[] = {
        {"infozip-pipe.zip", messages},
        {"infozip-stdin.zip", {{L"-", TestSupport::ReadFile(src / "3.eml")}}},
        {"python-unseekable.zip", python},
    };
    for (const Case& c : cases) {
        for (size_t piece : {0u, 13u}) {
            SCOPED_TRACE(testing::Message() << c.file << " in pieces of " << piece);
            std::string archive = TestSupport::ReadFile(ZipData() / c.file);
            ASSERT_FALSE(archive.empty());
            Reader reader = Open(archive, piece);
            auto entries = ReadArchive(reader.get());
            ASSERT_EQ(entries.size(), c.expected.size());
            for (size_t i = 0; i < entries.size(); ++i) {
                EXPECT_EQ(entries[i].first, c.expected[i].first);
                EXPECT_TRUE(entries[i].second == c.expected[i].second) << i;
            }
        }
    }
}

}  // namespace
