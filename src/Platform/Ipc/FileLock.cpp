#include "Platform/Ipc/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace Platform {

bool FlockWait(int fd, bool bShared, DWORD dwMilliseconds) {
    const int op = bShared ? LOCK_SH : LOCK_EX;
    if (dwMilliseconds == INFINITE) {
        while (::flock(fd, op) != 0) {
            if (errno != EINTR)
                return false;
        }
        return true;
    }
    // flock has no time-out of its own: poll with a short, growing back-off.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        if (::flock(fd, op | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            errno = EWOULDBLOCK;
            return false;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::microseconds(16000));
    }
}

FileLock::FileLock(std::filesystem::path path) : m_path(std::move(path)) {}

FileLock::~FileLock() {
    Unlock();
}

bool FileLock::Lock(DWORD dwMilliseconds) {
    if (m_fd >= 0)
        return true;
    const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (!FlockWait(fd, false, dwMilliseconds)) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    m_fd = fd;
    return true;
}

void FileLock::Unlock() {
    if (m_fd < 0)
        return;
    ::close(m_fd);  // closing the only descriptor releases the flock
    m_fd = -1;
}

}  // namespace Platform
