// The command dispatcher of `ostrel`: `ostrel [--verbose] <command> [options]`.
//
// Conventions every command keeps:
// - results go to Context::out (stdout), one record per line or one JSON document with --json;
//   messages, prompts and progress go to Context::err (stderr);
// - a failure prints one line "ostrel <command>: <what went wrong>" and exits 1; the details go
//   to the log file, which --verbose makes complete; a usage error exits 2; an interrupted
//   command exits 130 after leaving its data consistent.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace OstrelCli {

enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitInterrupted = 130 };

struct Context {
    bool bVerbose = false;
    std::FILE* out = stdout;  // results, for pipes
    std::FILE* err = stderr;  // messages, prompts and progress
    // Whether err is a terminal that can show a progress bar, and stdin one that can answer prompts.
    bool bErrIsTerminal = false;
    bool bInteractive = false;
};

struct Command {
    const char* pszName;
    const char* pszSummary;
    // The arguments part of the usage line, then one line per option.
    const char* pszUsage;
    int (*run)(const std::vector<std::string>& args, Context& context);
};

const std::vector<Command>& Commands();
// The command of that name; null when there is none.
const Command* FindCommand(const std::string& name);
// The whole program: parses the global options, sets up logging and the user interface, runs the
// command and turns an escaping exception into one error line.
int Main(int argc, char** argv);
// Runs one command in this process with the given streams, as Main would after its set-up.
int Run(const std::string& name, const std::vector<std::string>& args, Context& context);

// Prints "ostrel <command>: <message>" and the hint to --help; returns kExitUsage.
int UsageError(const char* pszCommand, const std::string& message, Context& context);
int UsageError(const Command& command, const std::string& message, Context& context);
// Prints "ostrel <command>: <message>", logs it as an error and returns kExitFailure.
int Failure(const char* pszCommand, const std::string& message, Context& context);
// Flushes the results on Context::out. When anything written there was lost (a full disk, an
// output that was closed) says so in one line and returns kExitFailure; otherwise `exitCode`.
int FinishOutput(const char* pszCommand, int exitCode, Context& context);

// Commands.
int RunConfig(const std::vector<std::string>& args, Context& context);
int RunDemo(const std::vector<std::string>& args, Context& context);
int RunLogin(const std::vector<std::string>& args, Context& context);
int RunServer(const std::vector<std::string>& args, Context& context);
int RunSync(const std::vector<std::string>& args, Context& context);
int RunZip(const std::vector<std::string>& args, Context& context);

}  // namespace OstrelCli
