#include "Util/Log/LogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Platform/Base/Paths.h"

namespace Ostrel::Util {

namespace {

std::string Generation(const std::filesystem::path& path, unsigned uIndex) {
    return path.string() + "." + std::to_string(uIndex);
}

void WriteAll(int fd, std::string_view s) {
    while (!s.empty()) {
        ssize_t cb = ::write(fd, s.data(), s.size());
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb <= 0)
            return;
        s.remove_prefix(static_cast<size_t>(cb));
    }
}

}  // namespace

RotatingLogFile::~RotatingLogFile() {
    Close();
}

void RotatingLogFile::Configure(const std::filesystem::path& path, ULONGLONG ullMaxSize, unsigned uGenerations) {
    if (path != m_path)
        Close();
    m_path = path;
    m_ullMaxSize = ullMaxSize;
    m_uGenerations = uGenerations;
    m_bOpenFailed = false;
}

void RotatingLogFile::Close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_bOpenFailed = false;
}

bool RotatingLogFile::EnsureOpen() {
    if (m_fd >= 0)
        return true;
    if (m_bOpenFailed || m_path.empty())
        return false;
    if (m_path.has_parent_path())
        Platform::EnsurePrivateDirectory(m_path.parent_path());
    // The file may be named in a shared folder (OSTREL_LOG_FILE): never append through a planted link,
    // and never into anything but a regular file. O_NONBLOCK keeps the open of a planted FIFO from
    // waiting for a reader, which would stop every thread that logs.
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat st {};
    if (m_fd >= 0 && (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_bOpenFailed = m_fd < 0;
    return m_fd >= 0;
}

bool RotatingLogFile::WasRotatedAway() const {
    struct stat stOpen {};
    struct stat stPath {};
    if (::fstat(m_fd, &stOpen) != 0)
        return true;
    if (::stat(m_path.c_str(), &stPath) != 0)
        return true;
    return stOpen.st_ino != stPath.st_ino || stOpen.st_dev != stPath.st_dev;
}

void RotatingLogFile::Rotate(size_t cbIncoming) {
    std::string sLock = m_path.string() + ".lock";
    int fdLock = ::open(sLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fdLock >= 0)
        ::flock(fdLock, LOCK_EX);

    // Another process may have rotated while we waited for the lock: look at the file again.
    struct stat st {};
    bool bStillTooBig = ::stat(m_path.c_str(), &st) == 0 && st.st_size > 0 &&
                        static_cast<ULONGLONG>(st.st_size) + cbIncoming > m_ullMaxSize;
    if (bStillTooBig) {
        if (m_uGenerations == 0) {
            ::unlink(m_path.c_str());
        } else {
            ::unlink(Generation(m_path, m_uGenerations).c_str());
            for (unsigned u = m_uGenerations - 1; u >= 1; --u)
                ::rename(Generation(m_path, u).c_str(), Generation(m_path, u + 1).c_str());
            ::rename(m_path.c_str(), Generation(m_path, 1).c_str());
        }
    }
    ::close(m_fd);
    m_fd = -1;
    EnsureOpen();

    if (fdLock >= 0) {
        ::flock(fdLock, LOCK_UN);
        ::close(fdLock);
    }
}

void RotatingLogFile::Append(std::string_view sLine) {
    if (!EnsureOpen())
        return;
    if (WasRotatedAway()) {
        ::close(m_fd);
        m_fd = -1;
        if (!EnsureOpen())
            return;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && st.st_size > 0 && static_cast<ULONGLONG>(st.st_size) + sLine.size() > m_ullMaxSize) {
        Rotate(sLine.size());
        if (m_fd < 0)
            return;
    }
    WriteAll(m_fd, sLine);
}

}  // namespace Ostrel::Util
