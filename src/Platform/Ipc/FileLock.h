// An exclusive cross-process lock on a file, held with flock(2): the kernel drops it when the
// holder exits or crashes, so a lock is never left held by a dead process.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <filesystem>

namespace Platform {

// Takes an flock on `fd`, waiting at most `dwMilliseconds` (INFINITE blocks). Exclusive unless
// `bShared`. Returns false on time-out (errno EWOULDBLOCK) or error.
bool FlockWait(int fd, bool bShared, DWORD dwMilliseconds);

// Locks on a path of its own choosing (usually beside the data it protects, so that every process
// that sees the data also sees the lock). Each Lock() opens the file afresh, so two FileLock objects
// exclude each other even inside one process. Not recursive.
class FileLock {
public:
    explicit FileLock(std::filesystem::path path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False on time-out or when the lock file cannot be created.
    bool Lock(DWORD dwMilliseconds = INFINITE);
    void Unlock();
    bool IsLocked() const { return m_fd >= 0; }
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
    int m_fd = -1;
};

}  // namespace Platform
