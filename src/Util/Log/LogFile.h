// The log file: lines appended with one write each (O_APPEND, so several processes can share it),
// rotated by size into NAME.1 (newest) ... NAME.N. Rotation is done under an flock on NAME.lock;
// a process whose file was rotated away by another one notices the new file and reopens it.
// Not thread-safe by itself: OSNLogging serialises the calls.
#pragma once

#include <filesystem>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

class RotatingLogFile {
public:
    RotatingLogFile() = default;
    ~RotatingLogFile();
    RotatingLogFile(const RotatingLogFile&) = delete;
    RotatingLogFile& operator=(const RotatingLogFile&) = delete;

    // Takes effect with the next line; closes a file open at another path.
    void Configure(const std::filesystem::path& path, ULONGLONG ullMaxSize, unsigned uGenerations);
    const std::filesystem::path& GetPath() const { return m_path; }
    bool IsConfigured() const { return !m_path.empty(); }

    // Appends the bytes (a whole line including its newline). Failures are swallowed: a log that
    // cannot be written must not disturb the caller. After a failed open no further attempt is made
    // until Configure or Close.
    void Append(std::string_view sLine);
    void Close();

private:
    bool EnsureOpen();
    bool WasRotatedAway() const;
    void Rotate(size_t cbIncoming);

    std::filesystem::path m_path;
    ULONGLONG m_ullMaxSize = 10ull << 20;
    unsigned m_uGenerations = 4;
    int m_fd = -1;
    bool m_bOpenFailed = false;
};

}  // namespace Ostrel::Util
