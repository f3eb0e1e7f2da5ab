#include "Cli.h"
#include "StoreCommand.h"

#include "Platform/Ui/ConsoleUi.h"
#include "Util/Log.h"

#include <cstring>
#include <memory>

namespace OstrelCli {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"config", "show the effective registry settings and where they come from",
         "[--json]\n"
         "  --json      print one JSON document instead of tab-separated lines\n"
         "  --verbose   add the registry location of each setting",
         RunConfig},
        {"demo", "show the settings of a fresh, temporary OSTREL_HOME with a few values set",
         "[--keep]\n"
         "  --keep      keep the temporary OSTREL_HOME instead of removing it",
         RunDemo},
        {"store", kStoreSummary, kStoreUsage, RunStore},
    };
    return commands;
}

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: ostrel [--verbose] <command> [options]\n"
                 "       ostrel <command> --help\n\n"
                 "commands:\n");
    for (const auto& command : Commands())
        std::fprintf(out, "  %-10s %s\n", command.pszName, command.pszSummary);
    std::fprintf(out,
                 "\noptions:\n"
                 "  --verbose   log everything (the log file is named on stderr)\n"
                 "  --help      this text\n\n"
                 "exit status: 0 success, 1 failure, 2 usage error\n");
}

void PrintCommandHelp(const Command& command, std::FILE* out) {
    const char* usage = command.pszUsage;
    const char* newline = std::strchr(usage, '\n');
    const std::string first = newline ? std::string(usage, newline) : std::string(usage);
    std::fprintf(out, "usage: ostrel %s %s\n\n%s.\n", command.pszName, first.c_str(), command.pszSummary);
    if (newline)
        std::fprintf(out, "\noptions:%s\n", newline);
}

}  // namespace

const Command* FindCommand(const std::string& name) {
    for (const auto& command : Commands()) {
        if (name == command.pszName)
            return &command;
    }
    return nullptr;
}

int UsageError(const Command& command, const std::string& message, Context& context) {
    std::fprintf(context.err, "ostrel %s: %s\nTry 'ostrel %s --help'.\n", command.pszName, message.c_str(),
                 command.pszName);
    return kExitUsage;
}

int Main(int argc, char** argv) {
    Context context;
    const Command* command = nullptr;
    std::vector<std::string> args;
    bool bHelp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose" || arg == "-v")
            context.bVerbose = true;
        else if (arg == "--help" || arg == "-h")
            bHelp = true;
        else if (!command && arg == "help")
            bHelp = true;  // "ostrel help <command>"
        else if (!command && arg.rfind("-", 0) != 0) {
            command = FindCommand(arg);
            if (!command) {
                std::fprintf(context.err, "ostrel: unknown command '%s'\n\n", arg.c_str());
                PrintUsage(context.err);
                return kExitUsage;
            }
        } else if (!command) {
            std::fprintf(context.err, "ostrel: unknown option '%s'\n\n", arg.c_str());
            PrintUsage(context.err);
            return kExitUsage;
        } else {
            args.push_back(arg);
        }
    }
    if (bHelp) {
        if (command)
            PrintCommandHelp(*command, context.out);
        else
            PrintUsage(context.out);
        return kExitOk;
    }
    if (!command) {
        PrintUsage(context.err);
        return kExitUsage;
    }

    Platform::Ui::SetCurrent(std::make_shared<Platform::Ui::ConsoleUi>());
    if (context.bVerbose) {
        Ostrel::Util::g_logger.SetLoggingEnabled(true);
        Ostrel::Util::g_logger.SetLevelMask(0xFFFFFFFF);
        Ostrel::Util::g_logger.SetCategoryMask(0xFFFFFFFF);
        std::fprintf(context.err, "ostrel: logging everything to %s\n",
                     Ostrel::Util::g_logger.GetLogFilePath().c_str());
    }
    try {
        return command->run(args, context);
    } catch (const std::exception& e) {
        std::fprintf(context.err, "ostrel %s: %s\n", command->pszName, e.what());
        return kExitFailure;
    }
}

}  // namespace OstrelCli

int main(int argc, char** argv) { return OstrelCli::Main(argc, argv); }
