#include "Platform/Ipc/NamedMutex.h"

#include "Platform/Base/HResult.h"
#include "Platform/Ipc/FileLock.h"
#include "Platform/Ipc/Names.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace Platform {

// One per mutex file and process, shared by every NamedMutex handle of that name.
// Byte 0 of the file is 1 while some process owns the mutex: finding it set when the flock
// is granted means the previous owner died without releasing.
struct NamedMutexState {
    std::string sPath;
    pid_t pid = 0;
    int fd = -1;
    std::mutex mutex;
    std::condition_variable cv;
    std::thread::id owner;  // set while a thread owns the mutex or is taking the file lock
    unsigned count = 0;     // recursion depth of the owner; 0 while still taking the file lock

    ~NamedMutexState() {
        if (fd >= 0)
            ::close(fd);  // releases the file lock if a handle was closed while owned
    }
};

namespace {

std::mutex g_registryMutex;
std::map<std::string, std::weak_ptr<NamedMutexState>>& Registry() {
    static std::map<std::string, std::weak_ptr<NamedMutexState>> registry;
    return registry;
}

std::shared_ptr<NamedMutexState> Attach(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_registryMutex);
    auto& registry = Registry();
    auto it = registry.find(path);
    if (it != registry.end()) {
        // A state inherited through fork shares the parent's open file description and so its
        // flock; the child needs a descriptor of its own.
        if (auto state = it->second.lock(); state && state->pid == ::getpid())
            return state;
    }
    const int fd = OpenNamedObjectFile(path);
    if (fd < 0)
        return nullptr;
    auto state = std::make_shared<NamedMutexState>();
    state->sPath = path;
    state->pid = ::getpid();
    state->fd = fd;
    registry[path] = state;
    return state;
}

using Clock = std::chrono::steady_clock;

DWORD RemainingMs(Clock::time_point deadline) {
    const auto now = Clock::now();
    if (now >= deadline)
        return 0;
    return static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

}  // namespace

NamedMutex::NamedMutex() = default;

NamedMutex::NamedMutex(std::wstring_view name) {
    Open(name);
}

NamedMutex::~NamedMutex() = default;

bool NamedMutex::Open(std::wstring_view name) {
    m_wsName = name;
    m_pState = Attach(NamedObjectPath("mutex", name).string());
    return m_pState != nullptr;
}

DWORD NamedMutex::Wait(DWORD dwMilliseconds) {
    if (m_pState && m_pState->pid != ::getpid())
        m_pState = Attach(m_pState->sPath);
    if (!m_pState)
        return WAIT_FAILED;
    NamedMutexState& s = *m_pState;
    const auto self = std::this_thread::get_id();
    const bool bInfinite = dwMilliseconds == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(bInfinite ? 0 : dwMilliseconds);

    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.owner == self && s.count > 0) {
        ++s.count;
        return WAIT_OBJECT_0;
    }
    while (s.owner != std::thread::id()) {
        if (bInfinite)
            s.cv.wait(lock);
        else if (s.cv.wait_until(lock, deadline) == std::cv_status::timeout && s.owner != std::thread::id())
            return WAIT_TIMEOUT;
    }
    s.owner = self;
    lock.unlock();

    const bool bLocked = FlockWait(s.fd, false, bInfinite ? INFINITE : RemainingMs(deadline));

    lock.lock();
    if (!bLocked) {
        s.owner = std::thread::id();
        s.cv.notify_one();
        return errno == EWOULDBLOCK ? WAIT_TIMEOUT : WAIT_FAILED;
    }
    char marker = 0;
    const bool bAbandoned = ::pread(s.fd, &marker, 1, 0) == 1 && marker == 1;
    marker = 1;
    (void)!::pwrite(s.fd, &marker, 1, 0);
    s.count = 1;
    return bAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool NamedMutex::Release() {
    if (!m_pState || m_pState->pid != ::getpid())
        return false;
    NamedMutexState& s = *m_pState;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.owner != std::this_thread::get_id() || s.count == 0)
        return false;
    if (--s.count > 0)
        return true;
    const char marker = 0;
    (void)!::pwrite(s.fd, &marker, 1, 0);
    ::flock(s.fd, LOCK_UN);
    s.owner = std::thread::id();
    s.cv.notify_one();
    return true;
}

}  // namespace Platform
