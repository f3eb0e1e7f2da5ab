#include "Cli.h"

#include "CliUi.h"
#include "ExportCommand.h"
#include "SendersCommand.h"
#include "StoreCommand.h"
#include "TrustCommand.h"
#include "VerifyCommand.h"

#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace OstrelCli {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"config", "show the effective registry settings and where they come from",
         "[--json]\n"
         "  --json             one JSON document instead of tab-separated lines\n"
         "  --verbose          add the registry location of each setting",
         RunConfig},
        {"demo", "run the simulator and sync a seed mailbox into the store both ways, then verify and export it",
         "[--messages N] [--keep]\n"
         "  --messages N       messages in the seed mailbox (default 300)\n"
         "  --keep             keep the temporary OSTREL_HOME instead of removing it",
         RunDemo},
        {"export", kExportSummary, kExportUsage, RunExport},
        {"login", "create or update a profile and sign on, printing the account",
         "[--profile NAME] [--server URL] [--account NAME] [password source] [options]\n"
         "  --profile NAME     the profile (default: $OSTREL_PROFILE, else \"default\")\n"
         "  --server URL       http[s]://host[:port] of the server\n"
         "  --account NAME     the account name, usually the mail address\n"
         "  --password-file F  read the password from the first line of F ('-': standard input)\n"
         "  --password-env V   read the password from the environment variable V\n"
         "                     (without either, the stored password or a prompt on the terminal)\n"
         "  --proxy MODE       none, system (http_proxy and friends) or host:port\n"
         "  --ca-file FILE     also trust the PEM certificates in FILE (a private CA, the simulator's)\n"
         "  --virtual-host H   the virtual host name sent with the sign-on\n"
         "  --store-password   keep the password (encrypted) for later syncs: sets StorePassword\n"
         "  --force            remove the local copy of another account's mailbox without asking\n"
         "  --json             print the account as JSON",
         RunLogin},
        {"server", "run the local Ostrel server simulator until interrupted",
         "[--port N] [--tls] [--mailbox DIR] [--generate N] [--account NAME:PASSWORD] [options]\n"
         "  --port N           listen on 127.0.0.1:N (default: a free port)\n"
         "  --tls              serve HTTPS with a self-signed certificate\n"
         "  --write-cert FILE  write that certificate (PEM) to FILE, for 'ostrel login --ca-file'\n"
         "  --mailbox DIR      load the seed mailbox DIR/mailbox.xml\n"
         "  --generate N       add N generated messages (plain, HTML, attachments, invitations)\n"
         "  --account N:P      the account and its password (default user@ostrel.test:secret)\n"
         "  --drop-call NAME   break off the next answer to the SOAP call NAME (e.g. SyncRequest)\n"
         "  --drop-download B  break off the next message archive after B bytes",
         RunServer},
        {"senders", kSendersSummary, kSendersUsage, RunSenders},
        {"store", kStoreSummary, kStoreUsage, RunStore},
        {"sync", "synchronise the profile's mailbox into its data directory",
         "[--profile NAME] [--full] [--json] [password source]\n"
         "  --profile NAME     the profile (default: $OSTREL_PROFILE, else \"default\")\n"
         "  --full             start again from nothing instead of from the saved token\n"
         "  --password-file F  as for login, when no password is stored\n"
         "  --password-env V   as for login, when no password is stored\n"
         "  --json             print the summary as JSON\n"
         "  --quiet            no progress, only the summary\n"
         "  --watch            stay connected and synchronise whenever the server reports a change,\n"
         "                     until interrupted",
         RunSync},
        {"trust", kTrustSummary, kTrustUsage, RunTrust},
        {"verify", kVerifySummary, kVerifyUsage, RunVerify},
        {"zip", "list or extract the entries of a message archive",
         "FILE [--extract DIR] [--json]\n"
         "  --extract DIR      write each entry into DIR (names are kept to plain file names)\n"
         "  --json             one JSON document instead of tab-separated lines",
         RunZip},
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
        std::fprintf(out, "  %-8s %s\n", command.pszName, command.pszSummary);
    std::fprintf(out,
                 "\noptions:\n"
                 "  --verbose   log everything (the log file is named on stderr)\n"
                 "  --help      this text\n\n"
                 "Settings, profiles and logs live under OSTREL_HOME (default ~/.local/share/ostrel).\n"
                 "exit status: 0 success, 1 failure, 2 usage error, 130 interrupted\n");
}

void PrintCommandHelp(const Command& command, std::FILE* out) {
    const char* usage = command.pszUsage;
    const char* newline = std::strchr(usage, '\n');
    const std::string first = newline ? std::string(usage, newline) : std::string(usage);
    std::fprintf(out, "usage: ostrel %s %s\n\n%c%s.\n", command.pszName, first.c_str(),
                 static_cast<char>(std::toupper(static_cast<unsigned char>(command.pszSummary[0]))),
                 command.pszSummary + 1);
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

int UsageError(const char* pszCommand, const std::string& message, Context& context) {
    std::fprintf(context.err, "ostrel %s: %s\nTry 'ostrel %s --help'.\n", pszCommand, message.c_str(), pszCommand);
    return kExitUsage;
}

int UsageError(const Command& command, const std::string& message, Context& context) {
    return UsageError(command.pszName, message, context);
}

int Failure(const char* pszCommand, const std::string& message, Context& context) {
    OSTLOG_ERROR(L"ostrel %hs: %hs", pszCommand, message.c_str());
    std::fprintf(context.err, "ostrel %s: %s\n", pszCommand, message.c_str());
    return kExitFailure;
}

int FinishOutput(const char* pszCommand, int exitCode, Context& context) {
    errno = 0;
    const bool bFlushed = std::fflush(context.out) == 0;
    const int error = errno;
    if (bFlushed && !std::ferror(context.out))
        return exitCode;
    std::clearerr(context.out);
    if (exitCode != kExitOk && exitCode != kExitInterrupted)
        return exitCode;  // the failure that stopped the command has been reported already
    return Failure(
        pszCommand,
        std::string("cannot write to standard output") + (error ? ": " + std::string(std::strerror(error)) : ""),
        context);
}

int Run(const std::string& name, const std::vector<std::string>& args, Context& context) {
    const Command* command = FindCommand(name);
    if (!command) {
        std::fprintf(context.err, "ostrel: unknown command '%s'\n", name.c_str());
        return kExitUsage;
    }
    for (const auto& arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            PrintCommandHelp(*command, context.out);
            return kExitOk;
        }
    }
    int exitCode = kExitFailure;
    try {
        exitCode = command->run(args, context);
    } catch (const std::exception& e) {
        exitCode = Failure(command->pszName, e.what(), context);
    }
    return FinishOutput(command->pszName, exitCode, context);
}

int Main(int argc, char** argv) {
    Context context;
    context.bErrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    context.bInteractive = ::isatty(STDIN_FILENO) == 1;
    std::string name;
    std::vector<std::string> args;
    bool bHelp = false;
    bool bOperandsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!name.empty()) {
            // --verbose is taken wherever it stands, up to a "--".
            bOperandsOnly = bOperandsOnly || arg == "--";
            if (!bOperandsOnly && (arg == "--verbose" || arg == "-v"))
                context.bVerbose = true;
            else
                args.push_back(arg);
        } else if (arg == "--verbose" || arg == "-v") {
            context.bVerbose = true;
        } else if (arg == "--help" || arg == "-h" || arg == "help") {
            bHelp = true;
        } else if (arg.rfind("-", 0) == 0) {
            std::fprintf(context.err, "ostrel: unknown option '%s'\n\n", arg.c_str());
            PrintUsage(context.err);
            return kExitUsage;
        } else if (!FindCommand(arg)) {
            std::fprintf(context.err, "ostrel: unknown command '%s'\n\n", arg.c_str());
            PrintUsage(context.err);
            return kExitUsage;
        } else {
            name = arg;
        }
    }
    if (bHelp) {
        if (name.empty())
            PrintUsage(context.out);
        else
            PrintCommandHelp(*FindCommand(name), context.out);
        return kExitOk;
    }
    if (name.empty()) {
        PrintUsage(context.err);
        return kExitUsage;
    }

    // Another local user may have prepared the data or runtime folder; nothing is used from it.
    if (const std::string problem = Platform::PrivateFoldersProblem(); !problem.empty()) {
        std::fprintf(context.err, "ostrel: %s\n", problem.c_str());
        return kExitFailure;
    }
    Platform::Ui::SetCurrent(std::make_shared<CliUi>(context.bInteractive, context.err));
    InstallCertTrust();
    if (context.bVerbose) {
        Ostrel::Util::g_logger.SetLoggingEnabled(true);
        Ostrel::Util::g_logger.SetLevelMask(0xFFFFFFFF);
        Ostrel::Util::g_logger.SetCategoryMask(0xFFFFFFFF);
        std::fprintf(context.err, "ostrel: logging everything to %s\n",
                     Ostrel::Util::g_logger.GetLogFilePath().c_str());
    }
    return Run(name, args, context);
}

}  // namespace OstrelCli
