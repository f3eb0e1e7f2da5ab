// The injectable clock and sleeper. Everything in the system that reads the wall clock, reads a
// monotonic tick count, sleeps or waits with a time-out goes through CurrentClock(), so tests can
// replace it with a ManualClock and run time-driven code without real waiting.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

class IClock {
public:
    virtual ~IClock() = default;

    // Wall-clock time, UTC, as FILETIME (100 ns since 1601) and as Unix milliseconds.
    virtual FILETIME GetSystemTimeAsFileTime() = 0;
    virtual int64_t GetUnixTimeMs() = 0;
    int64_t GetUnixTime() { return FloorDiv(GetUnixTimeMs(), 1000); }

    // Milliseconds of a monotonic clock, like GetTickCount64; never goes backwards.
    virtual ULONGLONG GetTickCount64() = 0;

    virtual void Sleep(DWORD dwMilliseconds) = 0;

    // Waits on cv (lock held by the caller, as for std::condition_variable_any::wait) until pred()
    // holds or dwTimeoutMs (INFINITE: no limit) has passed on this clock. Returns pred()'s last value.
    virtual bool WaitFor(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, DWORD dwTimeoutMs,
                         const std::function<bool()>& pred) = 0;

protected:
    static int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b) < 0 ? 1 : 0); }
};

// The process's real clock: system_clock, steady_clock and real sleeping.
class SystemClock final : public IClock {
public:
    FILETIME GetSystemTimeAsFileTime() override;
    int64_t GetUnixTimeMs() override;
    ULONGLONG GetTickCount64() override;
    void Sleep(DWORD dwMilliseconds) override;
    bool WaitFor(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, DWORD dwTimeoutMs,
                 const std::function<bool()>& pred) override;
};

// A clock for tests: time stands still until Advance() or Sleep() moves it. Sleep returns at once,
// moves time forward by the requested amount and is recorded. A WaitFor with a time-out returns
// false once the clock has been moved past its deadline; it wakes on its condition variable as usual.
// Thread-safe.
class ManualClock final : public IClock {
public:
    // Starts at 2024-01-01 00:00:00 UTC with a tick count of 1,000,000 ms.
    ManualClock();

    FILETIME GetSystemTimeAsFileTime() override;
    int64_t GetUnixTimeMs() override;
    ULONGLONG GetTickCount64() override;
    void Sleep(DWORD dwMilliseconds) override;
    bool WaitFor(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, DWORD dwTimeoutMs,
                 const std::function<bool()>& pred) override;

    // Moves wall clock and tick count forward together and wakes timed waiters.
    void Advance(ULONGLONG ullMilliseconds);
    // Sets the wall clock only (it may go backwards, as a real system clock can); ticks are unchanged.
    void SetUnixTimeMs(int64_t llUnixMs);

    std::vector<DWORD> GetSleeps() const;
    void ClearSleeps();
    // Number of threads currently inside WaitFor; lets a test wait until a worker is parked.
    size_t GetWaiterCount() const;

private:
    void NotifyWaiters();

    mutable std::mutex m_mutex;
    int64_t m_llUnixMs;
    ULONGLONG m_ullTicks;
    std::vector<DWORD> m_vecSleeps;
    std::multiset<std::condition_variable_any*> m_setWaiters;
};

// The clock in use. Defaults to a SystemClock that lives for the whole process.
IClock& CurrentClock();

// Replaces the clock in use (null restores the system clock); returns the previous one.
// The caller keeps ownership and must keep the clock alive while it is installed.
IClock* SetCurrentClock(IClock* pClock);

// Installs a clock for the lifetime of a scope, restoring the previous one afterwards.
class ScopedClock {
public:
    explicit ScopedClock(IClock& clock) : m_pPrevious(SetCurrentClock(&clock)) {}
    ~ScopedClock() { SetCurrentClock(m_pPrevious); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    IClock* m_pPrevious;
};

}  // namespace Ostrel::Util
