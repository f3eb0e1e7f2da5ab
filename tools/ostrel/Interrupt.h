// SIGINT and SIGTERM while a command runs: the first asks the command to stop at its next safe
// point (it polls Interrupted()), says so on stderr and makes a wait on the network give up within a
// second; a second one ends the process at once, which is safe too, since the commands keep their
// files consistent at every step.
#pragma once

namespace OstrelCli {

class InterruptScope {
public:
    // `pszCommand` names the command in the line the first signal prints.
    explicit InterruptScope(const char* pszCommand);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

bool Interrupted();
// What the signal handler does; for tests.
void RequestInterrupt();
void ClearInterrupt();

}  // namespace OstrelCli
