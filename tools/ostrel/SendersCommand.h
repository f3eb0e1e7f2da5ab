// `ostrel senders list|add|remove [--blocked]`: the profile's safe senders (or, with --blocked,
// blocked senders) as the client keeps them locally; `ostrel sync` carries them to and from the
// server's white and black lists.
#pragma once

#include "Cli.h"
#include "Profile.h"

namespace OstrelCli {

extern const char* const kSendersSummary;
extern const char* const kSendersUsage;
int RunSenders(const std::vector<std::string>& args, Context& context);

// The sender list part of `ostrel sync` for a signed-on profile: one summary line on stdout when
// a list changed on either side (none with `bQuiet` or `psJson`), or with `psJson` the outcome
// as a JSON object there; a failure, and entries the account's limits kept back, as lines on
// stderr. Returns kExitOk or kExitFailure.
int SyncSenderLists(const ProfileSettings& profile, bool bQuiet, Context& context, std::string* psJson = nullptr);

}  // namespace OstrelCli
