// `ostrel server`: the local Ostrel server simulator in the foreground, until SIGINT or SIGTERM.
// Its address, account and mailbox size go to stdout as "key<TAB>value" lines, so a script can
// read them; `ostrel login --server URL` then points a profile at it.
#include "Args.h"
#include "LocalFiles.h"
#include "LocalServer.h"
#include "Output.h"

#include "ostrel-server/Mailbox.h"

#include <pthread.h>
#include <csignal>
#include <cstdint>

namespace OstrelCli {

int RunServer(const std::vector<std::string>& args, Context& context) {
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("server", args,
                   {{"--port", true},
                    {"--tls"},
                    {"--write-cert", true},
                    {"--mailbox", true},
                    {"--generate", true},
                    {"--account", true},
                    {"--drop-call", true},
                    {"--drop-download", true}},
                   0, 0, context, parsed, exitCode))
        return exitCode;

    LocalServerOptions options;
    options.bTls = parsed.Has("--tls");
    if (auto port = parsed.Value("--port")) {
        auto value = ParseInteger(*port, 1, 65535);
        if (!value)
            return UsageError("server", "--port takes 1 to 65535", context);
        options.iPort = static_cast<int>(*value);
    }
    if (auto count = parsed.Value("--generate")) {
        auto value = ParseInteger(*count, 0, 10000000);
        if (!value)
            return UsageError("server", "--generate takes a number of messages", context);
        options.cGenerate = static_cast<size_t>(*value);
    }
    if (auto dir = parsed.Value("--mailbox"))
        options.seedDir = *dir;
    if (auto account = parsed.Value("--account")) {
        const size_t colon = account->find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == account->size())
            return UsageError("server", "--account takes NAME:PASSWORD", context);
        options.sAccount = account->substr(0, colon);
        options.sPassword = account->substr(colon + 1);
    }
    std::optional<int64_t> dropAfter;
    if (auto bytes = parsed.Value("--drop-download")) {
        dropAfter = ParseInteger(*bytes, 0, INT64_MAX);
        if (!dropAfter)
            return UsageError("server", "--drop-download takes a number of bytes", context);
    }
    const std::optional<std::string> certFile = parsed.Value("--write-cert");
    if (certFile && !options.bTls)
        return UsageError("server", "--write-cert goes with --tls", context);

    // Only the waiting thread below takes the stop signals; the server's threads inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    struct Restore {
        sigset_t mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};

    std::unique_ptr<OstrelServer::Server> server;
    try {
        server = StartLocalServer(options);
    } catch (const OstrelServer::MailboxError& e) {
        return Failure("server", std::string("the mailbox was not loaded: ") + e.what(), context);
    } catch (const std::exception& e) {
        return Failure("server", e.what(), context);
    }
    if (auto call = parsed.Value("--drop-call"))
        server->Faults().Add(OstrelServer::Fault::For(*call, 1).DropMidBody());
    if (dropAfter)
        BreakDownloads(*server, 1, static_cast<size_t>(*dropAfter));
    if (certFile) {
        std::string why;
        if (!WriteFileAtomically(*certFile, server->GetCertificate().CertPem(), false, why))
            return Failure("server", why, context);
    }

    std::fprintf(context.out, "url\t%s\naccount\t%s\npassword\t%s\nitems\t%zu\n", server->BaseUrl().c_str(),
                 TsvField(options.sAccount).c_str(), TsvField(options.sPassword).c_str(),
                 OstrelServer::DefaultMailbox(*server).ItemCount());
    if (certFile)
        std::fprintf(context.out, "certificate\t%s\n", TsvField(*certFile).c_str());
    std::fflush(context.out);
    std::fprintf(context.err, "ostrel server: serving %s until interrupted\n", server->BaseUrl().c_str());

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server->Stop();
    std::fprintf(context.err, "ostrel server: stopped\n");
    return kExitOk;
}

}  // namespace OstrelCli
