#include "Support/Files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "Platform/Com/Stream.h"

namespace TestSupport {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
}

std::string ReadStream(IStream* pStream) {
    std::string bytes;
    char buffer[65536];
    ULONG cbRead = 0;
    while (SUCCEEDED(pStream->Read(buffer, sizeof buffer, &cbRead)) && cbRead > 0)
        bytes.append(buffer, cbRead);
    return bytes;
}

}  // namespace TestSupport
