// `ostrel sync`: synchronises the profile's mailbox into its store OSTREL_HOME/profiles/NAME/NAME.osd
// (see StoreMailbox.h and MailboxSync.h), with a progress bar on a terminal and a one-line summary on
// stdout (or JSON). SIGINT stops it at the next safe point with exit status 130; the next run
// finishes what it left. With --watch it then waits for the server's changes (Watch.h) and runs
// again after each.
#include "SyncCommand.h"
#include "Args.h"
#include "CliUi.h"
#include "Errors.h"
#include "Interrupt.h"
#include "MailboxSync.h"
#include "Output.h"
#include "SendersCommand.h"
#include "SignOn.h"
#include "StorePush.h"
#include "Watch.h"

#include "Platform/Base/Utf.h"

namespace OstrelCli {

namespace {

double PerSecond(double amount, uint64_t ullMs) {
    return ullMs ? amount * 1000.0 / static_cast<double>(ullMs) : 0.0;
}

}  // namespace

std::string SyncSummary(const std::string& account, const std::string& store, const SyncReport& report) {
    char rates[96] = "";
    if (report.cFetched)
        std::snprintf(rates, sizeof rates, " (%.0f msg/s, %s/s)", PerSecond(report.cFetched, report.ullDownloadMs),
                      HumanBytes(static_cast<uint64_t>(PerSecond(report.ullBytes, report.ullDownloadMs))).c_str());
    return "synchronised " + account + (report.bFull ? " (full)" : "") + (report.bResumed ? " (resumed)" : "") + ": " +
           std::to_string(report.cFetched) + " messages fetched, " + std::to_string(report.cUpdated) + " updated, " +
           std::to_string(report.cItems) + " other items, " + std::to_string(report.cDeleted) + " deleted; now " +
           std::to_string(report.cMessages) + " messages in " + std::to_string(report.cFolders) + " folders of " +
           store + "; " + HumanBytes(report.ullBytes) + " in " +
           HumanSeconds(static_cast<double>(report.ullMs) / 1000.0) + rates +
           (report.cFailed ? "; " + std::to_string(report.cFailed) + " items failed (see the log)" : "") +
           (report.cConflicts ? "; " + std::to_string(report.cConflicts) + " conflicts kept in Sync Issues/Conflicts"
                              : "") +
           (report.cMigrated ? "; " + std::to_string(report.cMigrated) + " messages carried over from the old copy"
                             : "");
}

std::string SyncJson(const std::string& profile, const std::string& account, const std::string& store,
                     const SyncReport& report) {
    char text[640];
    std::snprintf(
        text, sizeof text,
        "\"full\":%s,\"resumed\":%s,\"fetched\":%zu,\"updated\":%zu,\"items\":%zu,\"deleted\":%zu,\"unavailable\":%zu,"
        "\"batches\":%zu,\"messages\":%zu,\"folders\":%zu,\"failed\":%zu,\"conflicts\":%zu,\"migrated\":%zu,"
        "\"gal\":%zu,\"galDeleted\":%zu,"
        "\"bytes\":%llu,\"ms\":%llu,\"downloadMs\":%llu}",
        report.bFull ? "true" : "false", report.bResumed ? "true" : "false", report.cFetched, report.cUpdated,
        report.cItems, report.cDeleted, report.cUnavailable, report.cBatches, report.cMessages, report.cFolders,
        report.cFailed, report.cConflicts, report.cMigrated, report.cGal, report.cGalDeleted,
        static_cast<unsigned long long>(report.ullBytes), static_cast<unsigned long long>(report.ullMs),
        static_cast<unsigned long long>(report.ullDownloadMs));
    return "{\"profile\":" + JsonString(profile) + ",\"account\":" + JsonString(account) +
           ",\"store\":" + JsonString(store) + "," + text;
}

int RunSync(const std::vector<std::string>& args, Context& context) {
    std::vector<OptionSpec> options = {{"--profile", true}, {"--full"}, {"--json"}, {"--quiet"}, {"--watch"}};
    options.insert(options.end(), kPasswordOptions.begin(), kPasswordOptions.end());
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("sync", args, options, 0, 0, context, parsed, exitCode))
        return exitCode;

    const std::string name = parsed.Value("--profile").value_or(DefaultProfileName());
    if (!IsValidProfileName(name))
        return UsageError("sync", "'" + name + "' cannot be a profile name", context);
    std::string why;
    std::optional<ProfileSettings> profile = LoadProfile(name, why);
    if (!profile)
        return Failure("sync", why.empty() ? "no profile '" + name + "': run 'ostrel login' first" : why, context);

    std::optional<std::wstring> wsPassword;
    if (!ReadPasswordOption(parsed, wsPassword, why))
        return Failure("sync", why, context);
    if (!wsPassword)
        wsPassword = StoredPassword(name);
    if (!wsPassword)
        wsPassword = PromptForPassword(*profile, context);
    if (!wsPassword) {
        const std::string problem = StoredPasswordProblem(name);
        return Failure("sync",
                       problem.empty()
                           ? "no password is stored for profile '" + name + "': give --password-file or --password-env"
                           : problem,
                       context);
    }
    if (!ApplyTrustedRoots(*profile, why))
        return Failure("sync", why, context);

    const ServerTarget target{profile->server.Url(), profile->sAccount};
    std::shared_ptr<Ostrel::Rpc::UserSession> session;
    try {
        std::unique_ptr<StoreMailbox> mailbox = std::make_unique<StoreMailbox>(name);
        if (!mailbox->Lock())
            return Failure("sync", "another 'ostrel sync' of profile '" + name + "' is running", context);
        if (FAILED(mailbox->Open(true, why)))
            return Failure("sync", why, context);
        const std::string store = mailbox->Path().string();
        SignOnProfile(*profile, *wsPassword, context, session);
        // A sign-on later in the run that needs the password asks the interface, which answers
        // with the run's own password even without a terminal (a wrong one failed just above).
        if (std::shared_ptr<CliUi> ui = CurrentCliUi()) {
            ui->SetRunPassword(*wsPassword);
            Ostrel::Rpc::UserSession::SetUIFlag(1);
        }

        InterruptScope interruptScope("sync");
        const bool bJson = parsed.Has("--json");
        // One run: the pull, then what was changed in the store goes up, after the pull settled what
        // both sides changed. Its summary line, or its JSON object (returned, not printed).
        auto syncOnce = [&](bool bFull) {
            Progress progress(context, !parsed.Has("--quiet") && !bJson);
            MailboxSync sync(*profile, *session, *mailbox);
            sync.SetProgress(&progress);
            sync.SetInterruptCheck(Interrupted);
            const SyncReport report = sync.Run(bFull);
            progress.Clear();
            const Ostrel::Rpc::LogonParams params = LogonParamsOf(*profile, std::wstring());
            Ostrel::Rpc::OstrelConnection pushConnection(L"ostrel sync", params.wsServer.c_str(), params.dwPort,
                                                         params.useSSL, params.dwProxySelection, params.wsProxy.c_str(),
                                                         0, Platform::FromUtf8(name).c_str());
            const std::wstring wsAccount = Platform::FromUtf8(profile->sAccount);
            const PushReport pushed = StorePush(*mailbox, nullptr, pushConnection, wsAccount, wsAccount).Run();
            if (!bJson) {
                std::fprintf(context.out, "%s%s\n", SyncSummary(profile->sAccount, store, report).c_str(),
                             PushSummary(pushed).c_str());
                return std::string();
            }
            std::string json = SyncJson(name, profile->sAccount, store, report);
            json.insert(json.size() - 1, ",\"pushed\":" + PushJson(pushed));
            return json;
        };
        std::string json = syncOnce(parsed.Has("--full"));
        int result = kExitOk;
        if (bJson) {
            // One object: the mailbox's figures and, as "senderLists", the sender lists' outcome.
            std::string senderLists;
            result = SyncSenderLists(*profile, true, context, &senderLists);
            json.insert(json.size() - 1, ",\"senderLists\":" + senderLists);
            std::fprintf(context.out, "%s\n", json.c_str());
        } else if (SyncSenderLists(*profile, false, context) != kExitOk) {
            result = kExitFailure;
        }
        if (!parsed.Has("--watch"))
            return result;
        std::fflush(context.out);
        WatchHooks hooks;
        hooks.sync = [&] {
            try {
                const std::string again = syncOnce(false);
                if (bJson)
                    std::fprintf(context.out, "%s\n", again.c_str());
                std::fflush(context.out);
                return static_cast<int>(kExitOk);
            } catch (...) {
                if (Interrupted())
                    return static_cast<int>(kExitInterrupted);
                // A run that failed is named; the watch goes on and the next change tries again.
                return Failure("sync", DescribeServerFailure(std::current_exception(), target, session.get()), context);
            }
        };
        hooks.token = [&] { return mailbox->State().Token().value_or(std::string()); };
        return WatchMailbox(*profile, hooks, context);
    } catch (...) {
        // A transfer that gave up because of the interrupt is the interrupt, not a failure.
        if (Interrupted()) {
            std::fprintf(context.err, "ostrel sync: interrupted; the next 'ostrel sync' finishes what is left\n");
            return kExitInterrupted;
        }
        return Failure("sync", DescribeServerFailure(std::current_exception(), target, session.get()), context);
    }
    return kExitOk;
}

}  // namespace OstrelCli
