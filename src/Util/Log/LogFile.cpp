#include "Util/Log/LogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Platform/Base/Paths.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Util {

namespace {

std::string Generation(const std::filesystem::path& path, unsigned uIndex) {
    return path.string() + "." + std::to_string(uIndex);
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
    Forget(true);
    m_bOpenFailed = false;
}

void RotatingLogFile::Forget(bool bClose) {
    if (bClose && m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void RotatingLogFile::MarkLooked() {
    m_cLinesSinceLook = 0;
    m_ullLookTick = m_ullNowTick;
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
    if (m_bOpenFailed)
        return false;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    m_ullSize = static_cast<ULONGLONG>(st.st_size);
    MarkLooked();
    return true;
}

bool RotatingLogFile::CheckDescriptor(struct stat& stOpen) {
    if (::fstat(m_fd, &stOpen) != 0) {
        // The descriptor was closed behind our back: nothing of ours is left to close.
        Forget(errno != EBADF);
        return false;
    }
    if (stOpen.st_dev != m_dev || stOpen.st_ino != m_ino) {
        // Closed behind our back and the number reused for another file, which is not ours to close
        // and must never receive a line: it may be somebody's data file.
        Forget(false);
        return false;
    }
    return true;
}

bool RotatingLogFile::LookAgain() {
    struct stat stOpen {};
    if (!CheckDescriptor(stOpen))
        return EnsureOpen();
    struct stat stPath {};
    if (::stat(m_path.c_str(), &stPath) != 0 || stPath.st_dev != m_dev || stPath.st_ino != m_ino) {
        // Rotated away (or removed) by another process: the lines belong in the file now at the path.
        Forget(true);
        return EnsureOpen();
    }
    m_ullSize = static_cast<ULONGLONG>(stOpen.st_size);
    MarkLooked();
    return true;
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
    Forget(true);
    EnsureOpen();

    if (fdLock >= 0) {
        ::flock(fdLock, LOCK_UN);
        ::close(fdLock);
    }
}

bool RotatingLogFile::Write(std::string_view sLine) {
    bool bReopened = false;
    size_t cbDone = 0;
    while (cbDone < sLine.size()) {
        ssize_t cb = ::write(m_fd, sLine.data() + cbDone, sLine.size() - cbDone);
        if (cb > 0) {
            cbDone += static_cast<size_t>(cb);
            m_ullSize += static_cast<ULONGLONG>(cb);
            continue;
        }
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb < 0 && errno == EBADF && cbDone == 0 && !bReopened) {
            // The descriptor was closed behind our back; the line is not lost for that.
            bReopened = true;
            Forget(false);
            if (EnsureOpen())
                continue;
            return false;
        }
        // Whatever went wrong, the next line looks at the file again instead of trusting what is known.
        m_cLinesSinceLook = kLookEveryLines;
        return false;
    }
    return true;
}

bool RotatingLogFile::Append(std::string_view sLine) {
    return Append(sLine, CurrentClock().GetTickCount64());
}

bool RotatingLogFile::Append(std::string_view sLine, ULONGLONG ullTick) {
    m_ullNowTick = ullTick;
    if (!EnsureOpen())
        return false;
    // Unsigned: a tick count that went backwards (another clock installed) also calls for a look.
    if (++m_cLinesSinceLook >= kLookEveryLines || ullTick - m_ullLookTick >= kLookEveryMs) {
        if (!LookAgain())
            return false;
    } else if (struct stat st{}; !CheckDescriptor(st) && !EnsureOpen()) {
        return false;
    }
    if (m_ullSize > 0 && m_ullSize + sLine.size() > m_ullMaxSize) {
        Rotate(sLine.size());
        if (m_fd < 0)
            return false;
    }
    return Write(sLine);
}

}  // namespace Ostrel::Util
