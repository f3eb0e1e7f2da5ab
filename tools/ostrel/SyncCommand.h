// The report lines of `ostrel sync`, shared with the demo.
#pragma once

#include "MailboxSync.h"

#include <string>

namespace OstrelCli {

// "synchronised ACCOUNT: N messages fetched, N updated, N other items, N deleted; now N messages in N
// folders of STORE; SIZE in TIME (rates)", then what failed, conflicted or was carried over, if any.
std::string SyncSummary(const std::string& account, const std::string& store, const SyncReport& report);
// The same as one JSON object.
std::string SyncJson(const std::string& profile, const std::string& account, const std::string& store,
                     const SyncReport& report);

}  // namespace OstrelCli
