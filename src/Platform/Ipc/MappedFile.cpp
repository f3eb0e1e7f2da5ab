#include "Platform/Ipc/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Platform {

MappedFile::~MappedFile() {
    Close();
}

bool MappedFile::Map(int fd, bool bWritable, size_t cbMin) {
    Close();
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return false;
    m_fd = own;
    m_bWritable = bWritable;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 ||
        (bWritable && static_cast<size_t>(st.st_size) < cbMin && ::ftruncate(m_fd, static_cast<off_t>(cbMin)) != 0) ||
        !MapCurrentSize()) {
        const int saved = errno;
        Close();
        errno = saved;
        return false;
    }
    return true;
}

bool MappedFile::Open(const std::filesystem::path& path, bool bWritable, bool bCreate, size_t cbMin) {
    // O_NONBLOCK: a FIFO in the file's place is refused by the mapping, not waited on for a writer.
    const int flags = (bWritable ? O_RDWR : O_RDONLY) | (bCreate ? O_CREAT : 0) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    const int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0)
        return false;
    const bool bOk = Map(fd, bWritable, cbMin);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return bOk;
}

bool MappedFile::MapCurrentSize() {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return false;
    if (st.st_size == 0) {
        errno = EINVAL;
        return false;
    }
    const size_t cb = static_cast<size_t>(st.st_size);
    void* p = ::mmap(nullptr, cb, m_bWritable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, m_fd, 0);
    if (p == MAP_FAILED)
        return false;
    m_pData = p;
    m_cb = cb;
    return true;
}

bool MappedFile::Grow(size_t cb) {
    if (m_fd < 0 || !m_bWritable) {
        errno = EBADF;
        return false;
    }
    if (cb <= m_cb)
        return true;
    if (::ftruncate(m_fd, static_cast<off_t>(cb)) != 0)
        return false;
    if (m_pData)
        ::munmap(m_pData, m_cb);
    m_pData = nullptr;
    m_cb = 0;
    return MapCurrentSize();
}

bool MappedFile::Flush() {
    if (!m_pData) {
        errno = EBADF;
        return false;
    }
    if (!m_bWritable)
        return true;
    return ::msync(m_pData, m_cb, MS_SYNC) == 0 && ::fdatasync(m_fd) == 0;
}

void MappedFile::Close() {
    if (m_pData)
        ::munmap(m_pData, m_cb);
    if (m_fd >= 0)
        ::close(m_fd);
    m_pData = nullptr;
    m_fd = -1;
    m_cb = 0;
    m_bWritable = false;
}

}  // namespace Platform
