// Hive files are edited by hand and may be damaged: parsing any text must end with a tree and,
// for text that parses, formatting and parsing again must give the same text.
#include "Platform/Registry/RegFile.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = Platform::RegFile::Parse(text, L"HKEY_CURRENT_USER");
    if (!parsed.pRoot)
        std::abort();
    if (parsed.uErrorLine == 0) {
        const std::string formatted = Platform::RegFile::Format(*parsed.pRoot, L"HKEY_CURRENT_USER");
        auto again = Platform::RegFile::Parse(formatted, L"HKEY_CURRENT_USER");
        if (again.uErrorLine != 0 || Platform::RegFile::Format(*again.pRoot, L"HKEY_CURRENT_USER") != formatted)
            std::abort();
    }
    return 0;
}
