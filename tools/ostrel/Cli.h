// The command dispatcher of `ostrel`: `ostrel [--verbose] <command> [options]`.
// Each command is a function in its own file, listed in the table in Cli.cpp.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace OstrelCli {

enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct Context {
    bool bVerbose = false;
    std::FILE* out = stdout;  // results, for pipes
    std::FILE* err = stderr;  // messages and dialogs
};

struct Command {
    const char* pszName;
    const char* pszSummary;
    const char* pszUsage;  // the options part of the usage line, then one line per option
    int (*run)(const std::vector<std::string>& args, Context& context);
};

const std::vector<Command>& Commands();
// The command of that name; null when there is none.
const Command* FindCommand(const std::string& name);
int Main(int argc, char** argv);

// Prints "ostrel <command>: <message>" and the hint to --help; returns kExitUsage.
int UsageError(const Command& command, const std::string& message, Context& context);

// Commands.
int RunConfig(const std::vector<std::string>& args, Context& context);
int RunDemo(const std::vector<std::string>& args, Context& context);

}  // namespace OstrelCli
