// Whole-file and whole-stream reads and writes for tests.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

struct IStream;

namespace TestSupport {

// The bytes of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Writes `bytes` as the whole file; a failed write fails the test that called it.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);

// What is left to read of a stream, from its current position.
std::string ReadStream(IStream* pStream);

}  // namespace TestSupport
