// Category lists as stored, beside the expected reading of each (tests/data/categories/*.xml.ref):
// the root's and every category's attributes as the list reads them, then the document as it is
// written back. OSTREL_REGENERATE=1 rewrites the expected files (regenerate.sh there).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Ostrel/Store/Categories/CategoryList.h"
#include "Platform/Base/Utf.h"
#include "Support/Files.h"
#include "Support/TempHome.h"

using TestSupport::ReadFile;
using TestSupport::WriteFile;

using namespace Ostrel::Mapi;

namespace {

std::string Dump(const XmlAttributes& attributes) {
    std::string out;
    for (const auto& [wsName, wsValue] : attributes)
        out += " " + Platform::ToUtf8(wsName) + "=[" + Platform::ToUtf8(wsValue) + "]";
    return out;
}

std::string DumpList(const std::string& bytes, std::string* pWritten) {
    CategoryListDocument doc;
    const HRESULT hr = ParseCategoryList(bytes, doc);
    if (FAILED(hr)) {
        char buf[32];
        std::snprintf(buf, sizeof(buf), "error 0x%08X\n", static_cast<unsigned>(hr));
        return buf;
    }
    std::string out = "root" + Dump(doc.rootAttributes) + "\n";
    for (const OutlookCategory& category : doc.categories)
        out += "category" + Dump(category.Attributes()) + "\n";
    for (const XmlAttributes& attributes : doc.unreadable)
        out += "kept as it was" + Dump(attributes) + "\n";
    std::string written;
    if (FAILED(WriteCategoryList(doc, written)))
        return out + "not writable\n";
    if (pWritten)
        *pWritten = written;
    return out + "--- written ---\n" + written;
}

TEST(CategoryListGoldenTest, EveryListReadsAndWritesAsExpected) {
    const std::filesystem::path dir = TestSupport::DataDir() / "categories";
    const bool bRegenerate = std::getenv("OSTREL_REGENERATE") != nullptr;
    int cCases = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".xml")
            continue;
        ++cCases;
        std::string written;
        const std::string dump = DumpList(ReadFile(entry.path()), &written);
        const std::filesystem::path ref = entry.path().string() + ".ref";
        if (bRegenerate) {
            WriteFile(ref, dump);
            continue;
        }
        EXPECT_EQ(dump, ReadFile(ref)) << entry.path();
        // What is written reads back to the same list and writes the same bytes again.
        if (!written.empty()) {
            std::string again;
            EXPECT_EQ(DumpList(written, &again), DumpList(ReadFile(entry.path()), nullptr)) << entry.path();
            EXPECT_EQ(again, written) << entry.path();
        }
    }
    EXPECT_GE(cCases, 7);
}

}  // namespace
