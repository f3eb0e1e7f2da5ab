// Child processes of a test: a call that might block for ever (an open of a FIFO, a read nobody
// answers) run in a forked child with a deadline, so that it fails the test instead of hanging the
// run; and the test program started again to work on a store beside the test.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

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

// The test program started again, its standard input and output piped to the test. `pszVariable`
// set to `command` tells the child's start-up code what to do instead of running the tests; leak
// reports are off, as such children are killed on purpose.
struct SelfChild {
    pid_t pid = -1;
    std::FILE* pIn = nullptr;
    std::FILE* pOut = nullptr;
};

inline SelfChild StartSelf(const char* pszVariable, const std::string& command,
                           const std::vector<std::pair<const char*, std::string>>& env = {}) {
    int in[2], out[2];
    SelfChild child;
    if (::pipe(in) != 0 || ::pipe(out) != 0)
        return child;
    child.pid = ::fork();
    if (child.pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]})
            ::close(fd);
        ::setenv(pszVariable, command.c_str(), 1);
        for (const auto& [pszName, value] : env)
            ::setenv(pszName, value.c_str(), 1);
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        ::execl("/proc/self/exe", "test_child", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    child.pIn = ::fdopen(in[1], "w");
    child.pOut = ::fdopen(out[0], "r");
    return child;
}

// The next line the child printed, or "" at the end of its output.
inline std::string ReadLine(SelfChild& child) {
    char buf[512];
    return std::fgets(buf, sizeof buf, child.pOut) ? std::string(buf) : std::string();
}

// Reads what the child still prints and waits for it: its exit status, or 128 + the signal that
// ended it.
inline int FinishSelf(SelfChild& child, std::string* pOut = nullptr) {
    std::string text;
    for (std::string line = ReadLine(child); !line.empty(); line = ReadLine(child))
        text += line;
    for (std::FILE** ppFile : {&child.pIn, &child.pOut})
        if (*ppFile)
            std::fclose(std::exchange(*ppFile, nullptr));
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    if (pOut)
        *pOut = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace TestSupport
