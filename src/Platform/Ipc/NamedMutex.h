// A named mutex shared by every process of the user, with the semantics of a Windows mutex:
// the owning thread may acquire it again (each Wait needs its Release), and when the owning
// process dies while holding it, the next waiter gets it with WAIT_ABANDONED.
//
// Backed by flock on a file under RuntimeDir() plus an in-process owner record: flock alone
// cannot tell threads of one process apart and is released by the kernel when a process dies.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <memory>
#include <string>
#include <string_view>

namespace Platform {

struct NamedMutexState;

class NamedMutex {
public:
    NamedMutex();
    explicit NamedMutex(std::wstring_view name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Opens (creating when needed) the mutex called `name`; false when its file cannot be made.
    bool Open(std::wstring_view name);
    bool IsOpen() const { return m_pState != nullptr; }
    const std::wstring& Name() const { return m_wsName; }

    // WAIT_OBJECT_0 or WAIT_ABANDONED when the calling thread owns the mutex afterwards,
    // WAIT_TIMEOUT when `dwMilliseconds` passed first, WAIT_FAILED when not open.
    DWORD Wait(DWORD dwMilliseconds = INFINITE);
    // False when the calling thread does not own the mutex (ERROR_NOT_OWNER on Windows).
    bool Release();

private:
    std::shared_ptr<NamedMutexState> m_pState;
    std::wstring m_wsName;
};

}  // namespace Platform
