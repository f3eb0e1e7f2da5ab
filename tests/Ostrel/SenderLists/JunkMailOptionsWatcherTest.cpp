// The synchronisation started when the junk-mail options close: half a second later, on a
// thread of its own, and not at all when the watcher goes away first.
#include "Ostrel/SenderLists/JunkMailOptionsWatcher.h"
#include "Platform/Host/JunkMail.h"
#include "Util/Time/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace Ostrel::Mapi;

namespace {

void WaitForWaiters(Ostrel::Util::ManualClock& clock, size_t n) {
    for (int i = 0; i < 5000 && clock.GetWaiterCount() != n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(clock.GetWaiterCount(), n);
}

}  // namespace

TEST(JunkMailOptionsWatcherTest, SyncsTheProfileHalfASecondAfterTheDialogCloses) {
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    std::mutex mutex;
    std::vector<std::wstring> synced;
    std::atomic<int> cRuns{0};
    {
        JunkMailOptionsWatcher watcher([&](const std::wstring& wsProfile) {
            std::lock_guard<std::mutex> lock(mutex);
            synced.push_back(wsProfile);
            ++cRuns;
        });
        Platform::Host::JunkMailOptionsClosed(L"work");
        WaitForWaiters(clock, 1);
        clock.Advance(499);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(cRuns, 0);
        clock.Advance(1);
        for (int i = 0; i < 5000 && cRuns == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(cRuns, 1);
        EXPECT_EQ(synced, std::vector<std::wstring>{L"work"});

        // Closed again, then the watcher ends while it waits: that run is dropped.
        Platform::Host::JunkMailOptionsClosed(L"home");
        WaitForWaiters(clock, 1);
    }
    EXPECT_EQ(cRuns, 1);
    // Gone with the watcher: a later closing reaches nobody.
    Platform::Host::JunkMailOptionsClosed(L"work");
    EXPECT_EQ(cRuns, 1);
}
