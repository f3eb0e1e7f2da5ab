// Locks of the utility library.
//
// CriticalSection: a recursive in-process lock, as a Windows critical section (the owning thread
// may enter again and must leave as often). CrossProcessLock: a named lock shared by every process
// of the user; a process that dies while holding it never leaves it held (the next owner is told,
// see Lock). Both have a scoped holder.
#pragma once

#include "Platform/Base/WinTypes.h"
#include "Platform/Ipc/NamedMutex.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace Ostrel::Util {

class CriticalSection {
public:
    // The name is for diagnostics; the spin count is accepted for compatibility (waiting threads
    // block at once).
    explicit CriticalSection(const wchar_t* pwszName = nullptr, DWORD dwSpinCount = 0);
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();
    // Leaving a section the calling thread does not hold does nothing.
    void Leave();
    BOOL TryEnter();
    // Whether the calling thread holds the section.
    bool IsOwned() const;
    const std::wstring& GetName() const { return m_wsName; }

private:
    std::wstring m_wsName;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::thread::id m_owner;
    unsigned m_uCount = 0;
};

// Enters on construction and leaves on destruction, unless left earlier.
class AutoCriticalSection {
public:
    explicit AutoCriticalSection(CriticalSection& cs);
    explicit AutoCriticalSection(CriticalSection* pcs);
    ~AutoCriticalSection();
    AutoCriticalSection(const AutoCriticalSection&) = delete;
    AutoCriticalSection& operator=(const AutoCriticalSection&) = delete;

    void Leave();
    void Enter();

private:
    CriticalSection* m_pcs;
    bool m_bHeld = false;
};

class CrossProcessLock {
public:
    // `pwszLogName` names the lock in log lines. Lock() waits up to `dwTimeoutMs` per attempt
    // (INFINITE: one attempt without limit) and, after an attempt times out, logs that it is still
    // waiting and tries again, `lRetries` more times (-1: without limit).
    explicit CrossProcessLock(const wchar_t* pwszLogName = L"CrossProcessLock", DWORD dwTimeoutMs = INFINITE,
                              LONG lRetries = -1);
    CrossProcessLock(const CrossProcessLock&) = delete;
    CrossProcessLock& operator=(const CrossProcessLock&) = delete;

    // Names the system-wide lock; every process that uses the same name shares it.
    // FALSE (and logged) when it cannot be created.
    BOOL Init(const wchar_t* pwszName);
    BOOL IsInitialized() const { return m_mutex.IsOpen(); }
    // Stops the lock's own log lines (for locks taken inside logging-heavy paths).
    void SetNoLog(BOOL bNoLog) { m_bNoLog = bNoLog != FALSE; }

    // TRUE when the calling thread holds the lock afterwards; the owning thread may lock again.
    // If the previous holder died while holding it, the lock is still granted (and logged): what
    // it protects may be half-changed, which users of the lock must tolerate.
    // FALSE when not initialised or when every attempt timed out.
    BOOL Lock();
    void Unlock();
    // Whether the last successful Lock found the lock abandoned by a dead process.
    bool WasAbandoned() const { return m_bAbandoned; }
    const std::wstring& GetName() const { return m_mutex.Name(); }

private:
    Platform::NamedMutex m_mutex;
    std::wstring m_wsLogName;
    DWORD m_dwTimeoutMs;
    LONG m_lRetries;
    bool m_bNoLog = false;
    bool m_bAbandoned = false;
};

class AutoCrossProcessLock {
public:
    explicit AutoCrossProcessLock(CrossProcessLock& lock);
    explicit AutoCrossProcessLock(CrossProcessLock* pLock);
    ~AutoCrossProcessLock();
    AutoCrossProcessLock(const AutoCrossProcessLock&) = delete;
    AutoCrossProcessLock& operator=(const AutoCrossProcessLock&) = delete;

    bool IsLocked() const { return m_bLocked; }

private:
    CrossProcessLock* m_pLock;
    bool m_bLocked = false;
};

}  // namespace Ostrel::Util
