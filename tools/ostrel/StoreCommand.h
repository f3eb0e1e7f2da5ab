// `ostrel store`: inspects a .osd store file the way MAPI developers inspect a store.
#pragma once

#include <string>
#include <vector>

#include "Cli.h"

namespace OstrelCli {

extern const char* const kStoreSummary;
extern const char* const kStoreUsage;
int RunStore(const std::vector<std::string>& args, Context& context);

}  // namespace OstrelCli
