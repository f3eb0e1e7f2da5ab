// The MIME stream of the outgoing conversions: in memory while small, a temporary file once large,
// with nothing lost at the move and nothing left in the folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Ostrel/Convert/Mail/SpillStream.h"
#include "Platform/Com/ComPtr.h"
#include "Support/Files.h"
#include "Support/TempHome.h"

namespace {

using Ostrel::Convert::SpillStream;

size_t FilesIn(const std::filesystem::path& dir) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename().string().rfind("osn", 0), 0u) << entry.path();
        ++count;
    }
    return count;
}

// The whole content, from the start.
std::string Content(IStream* pStream) {
    LARGE_INTEGER zero{};
    EXPECT_EQ(pStream->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
    return TestSupport::ReadStream(pStream);
}

std::string Pattern(size_t size, char first) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>(first + i % 23);
    return text;
}

TEST(SpillStream, MovesIntoAFileOnlyPastTheLimitKeepingContentAndPosition) {
    TestSupport::TempHome home;
    const std::filesystem::path dir = home.Path() / "spool";
    std::filesystem::create_directory(dir);
    Platform::ComPtr<IStream> pStream;
    ASSERT_EQ(SpillStream::Create(dir.wstring().c_str(), pStream.AddressOf()), S_OK);
    auto* pSpill = static_cast<SpillStream*>(pStream.Get());

    const std::string first = Pattern(SpillStream::kMemoryLimit, 'a');
    ULONG cbWritten = 0;
    ASSERT_EQ(pStream->Write(first.data(), static_cast<ULONG>(first.size()), &cbWritten), S_OK);
    EXPECT_FALSE(pSpill->InFile());
    EXPECT_EQ(FilesIn(dir), 0u);

    // One byte more moves the text into a file; the write lands after what was there.
    const std::string second = Pattern(70000, 'A');
    ASSERT_EQ(pStream->Write(second.data(), static_cast<ULONG>(second.size()), &cbWritten), S_OK);
    EXPECT_EQ(cbWritten, second.size());
    EXPECT_TRUE(pSpill->InFile());
    EXPECT_EQ(Content(pStream.Get()), first + second);

    // A clone shares the file.
    Platform::ComPtr<IStream> pClone;
    ASSERT_EQ(pStream->Clone(pClone.AddressOf()), S_OK);
    EXPECT_EQ(Content(pClone.Get()), first + second);
    pClone.Reset();
    pStream.Reset();
    EXPECT_EQ(FilesIn(dir), 0u);
}

TEST(SpillStream, GrowingBySizeOrCloningMovesIntoAFileToo) {
    TestSupport::TempHome home;
    const std::filesystem::path dir = home.Path() / "spool";
    std::filesystem::create_directory(dir);
    Platform::ComPtr<IStream> pStream;
    ASSERT_EQ(SpillStream::Create(dir.wstring().c_str(), pStream.AddressOf()), S_OK);
    ULONG cbWritten = 0;
    ASSERT_EQ(pStream->Write("head", 4, &cbWritten), S_OK);
    ULARGE_INTEGER size{};
    size.QuadPart = SpillStream::kMemoryLimit + 1;
    ASSERT_EQ(pStream->SetSize(size), S_OK);
    EXPECT_TRUE(static_cast<SpillStream*>(pStream.Get())->InFile());
    EXPECT_EQ(Content(pStream.Get()), "head" + std::string(SpillStream::kMemoryLimit - 3, '\0'));

    // A clone of a small stream must see later writes, so it cannot stay a copy in memory.
    Platform::ComPtr<IStream> pSmall;
    ASSERT_EQ(SpillStream::Create(dir.wstring().c_str(), pSmall.AddressOf()), S_OK);
    ASSERT_EQ(pSmall->Write("abc", 3, &cbWritten), S_OK);
    Platform::ComPtr<IStream> pClone;
    ASSERT_EQ(pSmall->Clone(pClone.AddressOf()), S_OK);
    ASSERT_EQ(pSmall->Write("def", 3, &cbWritten), S_OK);
    EXPECT_EQ(Content(pClone.Get()), "abcdef");
}

}  // namespace
