// Running a call that might block for ever (an open of a FIFO, a read nobody answers) in a forked
// child with a deadline, so that it fails the test instead of hanging the run.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>

namespace TestSupport {

enum class ChildOutcome { Succeeded, Failed, TimedOut };

inline void PrintTo(ChildOutcome outcome, std::ostream* pOut) {
    *pOut << (outcome == ChildOutcome::Succeeded ? "succeeded"
              : outcome == ChildOutcome::Failed  ? "failed"
                                                 : "did not return before the deadline");
}

// Runs `work` (returning bool) in a child process killed after `uSeconds`; the child ends with
// _exit, so it runs no destructors or exit handlers of the parent's objects.
template <class Work>
ChildOutcome RunInChild(Work work, unsigned uSeconds = 10) {
    const pid_t pid = ::fork();
    if (pid < 0)
        return ChildOutcome::Failed;
    if (pid == 0) {
        ::alarm(uSeconds);
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return ChildOutcome::Failed;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return ChildOutcome::TimedOut;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ChildOutcome::Succeeded : ChildOutcome::Failed;
}

}  // namespace TestSupport
