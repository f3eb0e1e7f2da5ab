#include "Platform/Ipc/Names.h"

#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Platform {

namespace {

constexpr size_t kMaxNameBytes = 160;

bool IsSafe(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-' || c == '{' || c == '}';
}

// FNV-1a, 64-bit: stable across processes and builds.
uint64_t Hash(std::string_view text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

std::filesystem::path NamedObjectPath(std::string_view kind, std::wstring_view name) {
    const std::string utf8 = ToUtf8(name);
    std::string safe;
    bool bChanged = utf8.empty() || utf8[0] == '.';
    for (unsigned char c : utf8) {
        if (IsSafe(c)) {
            safe += static_cast<char>(c);
        } else {
            safe += '_';
            bChanged = true;
        }
    }
    if (safe.size() > kMaxNameBytes) {
        safe.resize(kMaxNameBytes);
        bChanged = true;
    }
    if (bChanged) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(Hash(utf8)));
        safe += suffix;
    }
    return RuntimeDir() / (std::string(kind) + "-" + safe);
}

int OpenNamedObjectFile(const std::filesystem::path& path) {
    if (!EnsurePrivateDirectory(path.parent_path())) {
        errno = EACCES;
        return -1;
    }
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

}  // namespace Platform
