#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "Support/Wait.h"
#include "Util/Time/Clock.h"
#include "Util/Time/Stopwatch.h"

using namespace Ostrel::Util;

TEST(ManualClock, SleepAdvancesTimeAtOnceAndIsRecorded) {
    ManualClock clock;
    ScopedClock useClock(clock);
    int64_t llStart = CurrentClock().GetUnixTimeMs();
    ULONGLONG ullTicks = CurrentClock().GetTickCount64();
    CurrentClock().Sleep(500);
    CurrentClock().Sleep(30000);
    EXPECT_EQ(llStart + 30500, CurrentClock().GetUnixTimeMs());
    EXPECT_EQ(ullTicks + 30500, CurrentClock().GetTickCount64());
    EXPECT_EQ((std::vector<DWORD>{500, 30000}), clock.GetSleeps());
    clock.ClearSleeps();
    EXPECT_TRUE(clock.GetSleeps().empty());
}

TEST(ManualClock, WallClockFormsAgree) {
    ManualClock clock;
    clock.SetUnixTimeMs(1700000000123LL);
    FILETIME ft = clock.GetSystemTimeAsFileTime();
    ULONGLONG ull = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    EXPECT_EQ(1700000000123ULL * 10000 + 116444736000000000ULL, ull);
    EXPECT_EQ(1700000000, clock.GetUnixTime());
    clock.SetUnixTimeMs(-1500);  // before 1970: seconds round down
    EXPECT_EQ(-2, clock.GetUnixTime());
}

TEST(ManualClock, TimedWaitEndsWhenTheClockPassesTheDeadline) {
    ManualClock clock;
    std::mutex mutex;
    std::condition_variable_any cv;
    bool bStop = false;
    int nTimeouts = 0;
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!clock.WaitFor(cv, lock, 30000, [&] { return bStop; }))
            ++nTimeouts;
    });
    auto waitParked = [&] {
        EXPECT_TRUE(TestSupport::WaitUntil([&] { return clock.GetWaiterCount() != 0; }))
            << "the worker never waited on the clock";
    };
    waitParked();
    clock.Advance(29999);
    EXPECT_EQ(0, [&] {
        std::lock_guard<std::mutex> guard(mutex);
        return nTimeouts;
    }());
    clock.Advance(1);
    // The worker times out once, loops and parks again.
    EXPECT_TRUE(TestSupport::WaitUntil([&] {
        std::lock_guard<std::mutex> guard(mutex);
        return nTimeouts == 1;
    })) << "the wait did not time out when the clock passed its deadline";
    waitParked();
    {
        std::lock_guard<std::mutex> guard(mutex);
        bStop = true;
    }
    cv.notify_all();
    worker.join();
    EXPECT_EQ(1, nTimeouts);
    EXPECT_EQ(0u, clock.GetWaiterCount());
}

TEST(SystemClock, WaitWithSatisfiedPredicateReturnsAtOnce) {
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(CurrentClock().WaitFor(cv, lock, INFINITE, [] { return true; }));
    EXPECT_FALSE(CurrentClock().WaitFor(cv, lock, 0, [] { return false; }));
}

TEST(Clock, ScopedClockRestoresThePrevious) {
    IClock* pBefore = &CurrentClock();
    {
        ManualClock outer;
        ScopedClock useOuter(outer);
        EXPECT_EQ(&outer, &CurrentClock());
        {
            ManualClock inner;
            ScopedClock useInner(inner);
            EXPECT_EQ(&inner, &CurrentClock());
        }
        EXPECT_EQ(&outer, &CurrentClock());
    }
    EXPECT_EQ(pBefore, &CurrentClock());
}

TEST(Stopwatch, MeasuresOnTheInjectedClock) {
    ManualClock clock;
    ScopedClock useClock(clock);
    CStopwatch stopwatch;
    clock.Advance(1234);
    EXPECT_EQ(1234u, stopwatch.GetElapsedMillisecs());
    stopwatch.Restart();
    EXPECT_EQ(0u, stopwatch.GetElapsedMillisecs());
    clock.Advance(0x100000000ull);
    EXPECT_EQ(0xFFFFFFFFu, stopwatch.GetElapsedMillisecs());
}
