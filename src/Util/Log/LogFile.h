// The log file: lines appended with one write each (O_APPEND, so several processes can share it),
// rotated by size into NAME.1 (newest) ... NAME.N. Rotation is done under an flock on NAME.lock.
//
// A line costs one fstat(2) and one write(2): the file's size is tracked from what this object writes, and only
// every kLookEveryLines lines or kLookEveryMs milliseconds (on the injectable clock) is the path
// looked at again, for what other processes appended and for a rotation done by one of them (the
// path then names another file, which is reopened). The descriptor's identity is checked (one
// fstat) before every line. A failed write makes the next line look again
// at once; a write that fails because the descriptor went away reopens the file and tries again.
// Not thread-safe by itself: OSNLogging serialises the calls.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

class RotatingLogFile {
public:
    static constexpr unsigned kLookEveryLines = 256;
    static constexpr ULONGLONG kLookEveryMs = 200;

    RotatingLogFile() = default;
    ~RotatingLogFile();
    RotatingLogFile(const RotatingLogFile&) = delete;
    RotatingLogFile& operator=(const RotatingLogFile&) = delete;

    // Takes effect with the next line; closes a file open at another path.
    void Configure(const std::filesystem::path& path, ULONGLONG ullMaxSize, unsigned uGenerations);
    const std::filesystem::path& GetPath() const { return m_path; }
    bool IsConfigured() const { return !m_path.empty(); }

    // Appends the bytes (a whole line including its newline); returns whether all of them were
    // written. A log that cannot be written must not disturb the caller, so nothing is thrown.
    // After a failed open no further attempt is made until Configure or Close.
    bool Append(std::string_view sLine);
    // The same with the tick count of the injectable clock read by the caller, for callers that
    // hold a lock of their own: an installed clock may lock, and must not be locked inside it.
    bool Append(std::string_view sLine, ULONGLONG ullTick);
    void Close();

private:
    bool EnsureOpen();
    // Whether the descriptor still refers to the file this object opened (checked before every
    // line: a number closed and reused elsewhere must not receive log lines); forgets it if not.
    bool CheckDescriptor(struct stat& stOpen);
    // Looks at the open file and the path again; reopens when the path names another file.
    bool LookAgain();
    void MarkLooked();
    void Rotate(size_t cbIncoming);
    bool Write(std::string_view sLine);
    void Forget(bool bClose);

    std::filesystem::path m_path;
    ULONGLONG m_ullMaxSize = 10ull << 20;
    unsigned m_uGenerations = 4;
    int m_fd = -1;
    bool m_bOpenFailed = false;
    dev_t m_dev = 0;  // identity of the open file
    ino_t m_ino = 0;
    ULONGLONG m_ullSize = 0;  // size when last looked at, plus what was written since
    unsigned m_cLinesSinceLook = 0;
    ULONGLONG m_ullLookTick = 0;  // tick count of the last look
    ULONGLONG m_ullNowTick = 0;   // tick count given with the line being appended
};

}  // namespace Ostrel::Util
