#include "Util/Time/Clock.h"

#include <chrono>
#include <thread>

namespace Ostrel::Util {

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

FILETIME UnixMsToFileTime(int64_t llUnixMs) {
    uint64_t ull = static_cast<uint64_t>(llUnixMs * 10000 + kFileTimeUnixEpoch);
    return FILETIME{static_cast<DWORD>(ull & 0xFFFFFFFFu), static_cast<DWORD>(ull >> 32)};
}

// While a ManualClock waiter is parked it rechecks its deadline this often; Advance() also wakes it.
constexpr auto kManualWaitPoll = std::chrono::milliseconds(2);

std::atomic<IClock*> g_pClock{nullptr};

SystemClock& TheSystemClock() {
    static SystemClock* s_pClock = new SystemClock;  // never destroyed: usable during static teardown
    return *s_pClock;
}

}  // namespace

FILETIME SystemClock::GetSystemTimeAsFileTime() {
    return UnixMsToFileTime(GetUnixTimeMs());
}

int64_t SystemClock::GetUnixTimeMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

ULONGLONG SystemClock::GetTickCount64() {
    using namespace std::chrono;
    return static_cast<ULONGLONG>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

bool SystemClock::WaitFor(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, DWORD dwTimeoutMs,
                          const std::function<bool()>& pred) {
    if (dwTimeoutMs == INFINITE) {
        cv.wait(lock, pred);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), pred);
}

ManualClock::ManualClock() : m_llUnixMs(1704067200000LL), m_ullTicks(1000000) {}

FILETIME ManualClock::GetSystemTimeAsFileTime() {
    return UnixMsToFileTime(GetUnixTimeMs());
}

int64_t ManualClock::GetUnixTimeMs() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_llUnixMs;
}

ULONGLONG ManualClock::GetTickCount64() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_ullTicks;
}

void ManualClock::Sleep(DWORD dwMilliseconds) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_vecSleeps.push_back(dwMilliseconds);
        if (dwMilliseconds != INFINITE) {
            m_llUnixMs += dwMilliseconds;
            m_ullTicks += dwMilliseconds;
        }
    }
    NotifyWaiters();
}

bool ManualClock::WaitFor(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, DWORD dwTimeoutMs,
                          const std::function<bool()>& pred) {
    ULONGLONG ullDeadline = 0;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ullDeadline = m_ullTicks + dwTimeoutMs;
        m_setWaiters.insert(&cv);
    }
    bool bResult = pred();
    while (!bResult) {
        if (dwTimeoutMs != INFINITE && GetTickCount64() >= ullDeadline)
            break;
        cv.wait_for(lock, kManualWaitPoll);
        bResult = pred();
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    m_setWaiters.erase(m_setWaiters.find(&cv));
    return bResult;
}

void ManualClock::Advance(ULONGLONG ullMilliseconds) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_llUnixMs += static_cast<int64_t>(ullMilliseconds);
        m_ullTicks += ullMilliseconds;
    }
    NotifyWaiters();
}

void ManualClock::SetUnixTimeMs(int64_t llUnixMs) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_llUnixMs = llUnixMs;
}

std::vector<DWORD> ManualClock::GetSleeps() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_vecSleeps;
}

void ManualClock::ClearSleeps() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_vecSleeps.clear();
}

size_t ManualClock::GetWaiterCount() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_setWaiters.size();
}

void ManualClock::NotifyWaiters() {
    // Registered waiters stay alive while registered, because they unregister under this mutex.
    std::lock_guard<std::mutex> guard(m_mutex);
    for (std::condition_variable_any* pCv : m_setWaiters)
        pCv->notify_all();
}

IClock& CurrentClock() {
    IClock* pClock = g_pClock.load(std::memory_order_acquire);
    return pClock ? *pClock : TheSystemClock();
}

IClock* SetCurrentClock(IClock* pClock) {
    IClock* pPrevious = g_pClock.exchange(pClock, std::memory_order_acq_rel);
    return pPrevious ? pPrevious : &TheSystemClock();
}

}  // namespace Ostrel::Util
