// Every message of tests/data/convert becomes a store message whose dump matches the golden file
// beside it (NN-name.eml and NN-name.props.ref). OSTREL_REGEN_CONVERT_GOLDENS=1 rewrites the golden
// files instead (scripts/regen-convert-goldens.sh), for review as a diff.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "ConvertTestUtil.h"

namespace ConvertTest {

namespace {

std::vector<std::filesystem::path> CorpusFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(CorpusDir()))
        if (entry.path().extension() == ".eml")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string Result(HRESULT hr) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

class ConvertCorpus : public StoreFixture {};

}  // namespace

TEST_F(ConvertCorpus, HasSixtyMessagesEachWithItsGolden) {
    const auto files = CorpusFiles();
    EXPECT_GE(files.size(), 60u);
    if (std::getenv("OSTREL_REGEN_CONVERT_GOLDENS"))
        return;
    for (const auto& file : files) {
        std::filesystem::path ref = file;
        ref.replace_extension(".props.ref");
        EXPECT_TRUE(std::filesystem::exists(ref)) << ref;
    }
}

TEST_F(ConvertCorpus, EveryMessageMatchesItsGolden) {
    const bool bRegen = std::getenv("OSTREL_REGEN_CONVERT_GOLDENS") != nullptr;
    for (const auto& file : CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        HRESULT hr = E_FAIL;
        ComPtr<IMessage> pMessage = FromMime(ReadFile(file), CCSF_SMTP | CCSF_INCLUDE_BCC, &hr);
        ASSERT_TRUE(SUCCEEDED(hr)) << Result(hr);
        const std::string dump = "# result " + Result(hr) + "\n" + Dump(pMessage.Get());
        std::filesystem::path ref = file;
        ref.replace_extension(".props.ref");
        if (bRegen) {
            std::ofstream out(ref, std::ios::binary | std::ios::trunc);
            out << dump;
            ASSERT_TRUE(out.flush()) << ref;
            continue;
        }
        const std::string expected = ReadFile(ref);
        EXPECT_EQ(dump, expected) << "regenerate with scripts/regen-convert-goldens.sh and review the diff";
    }
}

}  // namespace ConvertTest
