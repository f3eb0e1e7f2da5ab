// A named block of memory shared by every process of the user that opens the same name, with
// the lifetime of a page-file backed Windows section: its contents live while any process has
// it open, and the first process to open it after all others have closed it finds it zeroed.
//
// Backed by a file under RuntimeDir() mapped MAP_SHARED. Each open section holds a shared flock
// on that file; a process that can take it exclusively knows it is alone and clears the data, both
// when it opens the section and when it closes it, so nothing outlives the last user in the file.
#pragma once

#include <cstddef>
#include <string_view>

namespace Platform {

class SharedSection {
public:
    SharedSection() = default;
    ~SharedSection();
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;

    // Opens the section `name` with at least `cb` bytes (a section opened earlier with fewer bytes
    // grows; data already there stays). False on failure, with errno set.
    bool Open(std::wstring_view name, size_t cb);
    // Zeroes the data first when no other process (or other SharedSection) has the section open.
    void Close();
    // For sections holding secrets: also zero them (when this is the last user) at exit and on
    // SIGHUP, SIGINT, SIGQUIT and SIGTERM left at their default action, which would otherwise end
    // the process with the data still in the file. False (errno ENOSPC) when the fixed table the
    // signal handler reads is full, or (EBADF) when the section is not open: the data would
    // outlive the process, so the caller must not put its secret there.
    [[nodiscard]] bool WipeAtExitAndOnSignals();

    bool IsOpen() const { return m_pData != nullptr; }
    // True when this Open found no other user and started from zeroes (Windows: the creator,
    // GetLastError() != ERROR_ALREADY_EXISTS).
    bool Created() const { return m_bCreated; }
    void* Data() const { return m_pData; }
    size_t Size() const { return m_cb; }

private:
    int m_fd = -1;
    void* m_pData = nullptr;
    size_t m_cb = 0;
    bool m_bCreated = false;
};

}  // namespace Platform
