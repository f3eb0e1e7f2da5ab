#include "Platform/Ipc/SharedSection.h"

#include "Platform/Base/WinTypes.h"
#include "Platform/Ipc/FileLock.h"
#include "Platform/Ipc/Names.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Platform {

namespace {

// Zeroes the mapping when the caller holds the only lock left on the file. The kernel drops the
// locks of a process however it ends, so a killed user never keeps the data alive, which a count
// kept in the file would. The failed attempt may drop the caller's shared lock (flock conversion
// is not atomic): only called when leaving.
void WipeIfLast(int fd, void* pData, size_t cb) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return;
    // Zeroed, never truncated: a mapping of a truncated file faults on its next touch, and the same
    // section may be wiped twice (at exit, then by a static owner's Close).
    std::memset(pData, 0, cb);
}

// Sections registered by WipeAtExitAndOnSignals, read by a signal handler: plain atomics only.
// A slot is claimed (kFree -> kBusy) before its fields are written and published (kReady) after,
// so neither a concurrent registration nor the handler ever pairs one section's fd with another's
// memory. kBusy also keeps the handler off a slot that Close is taking back.
enum SlotState : int { kFree, kBusy, kReady };
struct Registered {
    std::atomic<int> state{kFree};
    std::atomic<int> fd{-1};
    std::atomic<void*> pData{nullptr};
    std::atomic<size_t> cb{0};
};
constexpr size_t kMaxRegistered = 8;
Registered g_registered[kMaxRegistered];
std::once_flag g_hooksOnce;
constexpr int kWipeSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Each slot is wiped once, even when a signal arrives during the exit wipe; the slot stays
// claimed afterwards because the section may be unmapped at any time from then on.
void WipeRegistered() {
    for (auto& entry : g_registered) {
        int expected = kReady;
        if (entry.state.compare_exchange_strong(expected, kBusy))
            WipeIfLast(entry.fd.load(), entry.pData.load(), entry.cb.load());
    }
}

void OnFatalSignal(int signal) {
    WipeRegistered();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void InstallHooks() {
    std::atexit(WipeRegistered);
    for (int signal : kWipeSignals) {
        struct sigaction current {};
        // A handler the program installed itself decides how it ends: it is left alone.
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction action {};
        action.sa_handler = OnFatalSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

// An fd number belongs to one open section at a time, so it identifies the slot.
Registered* FindRegistered(int fd) {
    for (auto& entry : g_registered) {
        if (fd >= 0 && entry.state.load() == kReady && entry.fd.load() == fd)
            return &entry;
    }
    return nullptr;
}

void Unregister(int fd) {
    Registered* pEntry = FindRegistered(fd);
    int expected = kReady;
    if (!pEntry || !pEntry->state.compare_exchange_strong(expected, kBusy))
        return;
    pEntry->fd = -1;
    pEntry->pData = nullptr;
    pEntry->cb = 0;
    pEntry->state = kFree;
}

}  // namespace

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
    const int fd = OpenNamedObjectFile(path);
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

bool SharedSection::WipeAtExitAndOnSignals() {
    if (!IsOpen()) {
        errno = EBADF;
        return false;
    }
    if (FindRegistered(m_fd))
        return true;
    std::call_once(g_hooksOnce, InstallHooks);
    for (auto& entry : g_registered) {
        int expected = kFree;
        if (!entry.state.compare_exchange_strong(expected, kBusy))
            continue;
        entry.fd = m_fd;
        entry.pData = m_pData;
        entry.cb = m_cb;
        entry.state = kReady;
        return true;
    }
    errno = ENOSPC;
    return false;
}

void SharedSection::Close() {
    Unregister(m_fd);
    if (m_pData) {
        // The last one to detach zeroes the data, even when the process goes on running.
        WipeIfLast(m_fd, m_pData, m_cb);
        ::munmap(m_pData, m_cb);
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_pData = nullptr;
    m_fd = -1;
    m_cb = 0;
    m_bCreated = false;
}

}  // namespace Platform
