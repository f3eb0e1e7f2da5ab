// Runs a program as a child process and collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace TestSupport {

struct ProgramRun {
    int iExit = -1;   // the exit status; -1 when the program did not exit normally
    int iSignal = 0;  // the signal that ended it, if one did
    std::string sOut;
    std::string sErr;
};

// Runs `program` with `args` (no shell: arguments are passed as they are) in the test's
// environment, with `input` as its standard input, and waits for it. With `stdoutPath` the
// program writes its standard output to that file (created or truncated) instead.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input = std::string(), const std::string& stdoutPath = std::string());

}  // namespace TestSupport
