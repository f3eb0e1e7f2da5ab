// SIGINT and SIGTERM while a command runs: the first asks the command to stop at its next safe
// point (it polls Interrupted()); a second one ends the process at once, which is safe too, since
// the commands keep their files consistent at every step.
#pragma once

namespace OstrelCli {

class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

bool Interrupted();
// What the signal handler does; for tests.
void RequestInterrupt();
void ClearInterrupt();

}  // namespace OstrelCli
