// `ostrel sync --watch`: after a synchronisation, waits on a wait set of the server for changes to
// the account and synchronises again whenever one is reported, until SIGINT or SIGTERM. A dropped
// connection is retried with a growing pause (at most a minute, through the injectable clock); the
// wait set is then made anew and a synchronisation runs first, since changes may have come meanwhile.
#pragma once

#include <functional>
#include <string>

#include "Cli.h"
#include "Profile.h"

namespace OstrelCli {

struct WatchHooks {
    // One synchronisation (pull and push) with its summary printed; returns its exit code.
    std::function<int()> sync;
    // The sync token the store is complete for; empty when there is none.
    std::function<std::string()> token;
};

// Returns kExitInterrupted after the interrupt, or the exit code of a synchronisation that was
// interrupted; never returns on its own otherwise. The caller holds an InterruptScope.
int WatchMailbox(const ProfileSettings& profile, const WatchHooks& hooks, Context& context);

}  // namespace OstrelCli
