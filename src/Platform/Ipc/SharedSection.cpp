#include "Platform/Ipc/SharedSection.h"

#include "Platform/Base/WinTypes.h"
#include "Platform/Ipc/FileLock.h"
#include "Platform/Ipc/Names.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Platform {

SharedSection::~SharedSection() {
    Close();
}

bool SharedSection::Open(std::wstring_view name, size_t cb) {
    Close();
    if (cb == 0) {
        errno = EINVAL;
        return false;
    }
    const auto path = NamedObjectPath("shm", name);
    // The guard serialises the attach steps below: without it, a process could find itself alone
    // and clear the data while another one is between opening the file and taking its shared lock.
    FileLock guard(path.string() + ".guard");
    if (!guard.Lock())
        return false;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    auto fail = [fd]() {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    };
    const bool bAlone = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (bAlone && ::ftruncate(fd, 0) != 0)
        return fail();
    // Converting the lock is not atomic, which the guard makes harmless.
    if (!FlockWait(fd, true, INFINITE))
        return fail();
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail();
    if (static_cast<size_t>(st.st_size) < cb && ::ftruncate(fd, static_cast<off_t>(cb)) != 0)
        return fail();
    void* p = ::mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return fail();
    m_fd = fd;
    m_pData = p;
    m_cb = cb;
    m_bCreated = bAlone;
    return true;
}

void SharedSection::Close() {
    if (m_pData)
        ::munmap(m_pData, m_cb);
    if (m_fd >= 0)
        ::close(m_fd);
    m_pData = nullptr;
    m_fd = -1;
    m_cb = 0;
    m_bCreated = false;
}

}  // namespace Platform
