#include "Util/Locks/Locks.h"

#include "Platform/Base/HResult.h"
#include "Util/Log/Log.h"

namespace Ostrel::Util {

CriticalSection::CriticalSection(const wchar_t* pwszName, DWORD /*dwSpinCount*/)
    : m_wsName(pwszName ? pwszName : L"") {}

void CriticalSection::Enter() {
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_owner == self) {
        ++m_uCount;
        return;
    }
    m_cv.wait(lock, [this] { return m_uCount == 0; });
    m_owner = self;
    m_uCount = 1;
}

void CriticalSection::Leave() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_owner != std::this_thread::get_id() || m_uCount == 0)
        return;
    if (--m_uCount == 0) {
        m_owner = std::thread::id();
        m_cv.notify_one();
    }
}

BOOL CriticalSection::TryEnter() {
    const auto self = std::this_thread::get_id();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_uCount > 0 && m_owner != self)
        return FALSE;
    m_owner = self;
    ++m_uCount;
    return TRUE;
}

bool CriticalSection::IsOwned() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uCount > 0 && m_owner == std::this_thread::get_id();
}

AutoCriticalSection::AutoCriticalSection(CriticalSection& cs) : m_pcs(&cs) {
    Enter();
}

AutoCriticalSection::AutoCriticalSection(CriticalSection* pcs) : m_pcs(pcs) {
    Enter();
}

AutoCriticalSection::~AutoCriticalSection() {
    Leave();
}

void AutoCriticalSection::Enter() {
    if (m_pcs && !m_bHeld) {
        m_pcs->Enter();
        m_bHeld = true;
    }
}

void AutoCriticalSection::Leave() {
    if (m_pcs && m_bHeld) {
        m_bHeld = false;
        m_pcs->Leave();
    }
}

CrossProcessLock::CrossProcessLock(const wchar_t* pwszLogName, DWORD dwTimeoutMs, LONG lRetries)
    : m_wsLogName(pwszLogName ? pwszLogName : L"CrossProcessLock"), m_dwTimeoutMs(dwTimeoutMs), m_lRetries(lRetries) {}

BOOL CrossProcessLock::Init(const wchar_t* pwszName) {
    if (!pwszName || !*pwszName || !m_mutex.Open(pwszName)) {
        if (!m_bNoLog)
            OSTLOG_ERROR(L"%s: cannot create the cross-process lock '%s' (errno %d)", m_wsLogName.c_str(),
                         pwszName ? pwszName : L"", errno);
        return FALSE;
    }
    return TRUE;
}

BOOL CrossProcessLock::Lock() {
    if (!m_mutex.IsOpen())
        return FALSE;
    for (LONG attempt = 0;; ++attempt) {
        const DWORD result = m_mutex.Wait(m_dwTimeoutMs);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            m_bAbandoned = result == WAIT_ABANDONED;
            if (m_bAbandoned && !m_bNoLog)
                OSTLOG_WARN(L"%s: lock '%s' was held by a process that ended without releasing it", m_wsLogName.c_str(),
                            m_mutex.Name().c_str());
            return TRUE;
        }
        if (result != WAIT_TIMEOUT) {
            if (!m_bNoLog)
                OSTLOG_ERROR(L"%s: waiting for lock '%s' failed (errno %d)", m_wsLogName.c_str(),
                             m_mutex.Name().c_str(), errno);
            return FALSE;
        }
        if (m_lRetries >= 0 && attempt >= m_lRetries) {
            if (!m_bNoLog)
                OSTLOG_ERROR(L"%s: gave up waiting for lock '%s' after %d attempts of %u ms", m_wsLogName.c_str(),
                             m_mutex.Name().c_str(), attempt + 1, m_dwTimeoutMs);
            return FALSE;
        }
        if (!m_bNoLog)
            OSTLOG_WARN(L"%s: still waiting for lock '%s' (%u ms)", m_wsLogName.c_str(), m_mutex.Name().c_str(),
                        m_dwTimeoutMs * static_cast<DWORD>(attempt + 1));
    }
}

void CrossProcessLock::Unlock() {
    if (!m_mutex.Release() && !m_bNoLog)
        OSTLOG_ERROR(L"%s: unlock of '%s' by a thread that does not hold it", m_wsLogName.c_str(),
                     m_mutex.Name().c_str());
}

AutoCrossProcessLock::AutoCrossProcessLock(CrossProcessLock& lock) : AutoCrossProcessLock(&lock) {}

AutoCrossProcessLock::AutoCrossProcessLock(CrossProcessLock* pLock) : m_pLock(pLock) {
    m_bLocked = m_pLock && m_pLock->Lock();
}

AutoCrossProcessLock::~AutoCrossProcessLock() {
    if (m_bLocked)
        m_pLock->Unlock();
}

}  // namespace Ostrel::Util
