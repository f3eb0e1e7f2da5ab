// `ostrel store`: inspects a .osd store file the way MAPI developers inspect a store, and moves MIME
// messages into and out of it through the converters.
#pragma once

#include <string>
#include <vector>

#include "Args.h"
#include "Cli.h"

namespace OstrelCli {

extern const char* const kStoreSummary;
extern const char* const kStoreUsage;
int RunStore(const std::vector<std::string>& args, Context& context);

// The subcommands of their own files; `parsed` has been checked for their operands and options.
int RunStoreImport(const ParsedArgs& parsed, Context& context);
int RunStoreMime(const ParsedArgs& parsed, Context& context);

}  // namespace OstrelCli
