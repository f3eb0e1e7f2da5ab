// Waiting in tests: every wait for another thread or process has a deadline, so an event that
// never comes fails the test with a message instead of hanging the run.
#pragma once

#include <chrono>
#include <thread>

namespace TestSupport {

// Long enough for a loaded sanitizer build, short enough to end a stuck run.
constexpr std::chrono::milliseconds kWaitDeadline{30000};

// Polls `done` until it holds (true) or the deadline passes (false); use as
// EXPECT_TRUE(WaitUntil(...)) << "what did not happen".
template <class Predicate>
[[nodiscard]] bool WaitUntil(Predicate done, std::chrono::milliseconds deadline = kWaitDeadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace TestSupport
