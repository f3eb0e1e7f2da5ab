// `ostrel export`: a store's mail as files other programs read.
#pragma once

#include <string>
#include <vector>

#include "Cli.h"

namespace OstrelCli {

extern const char* const kExportSummary;
extern const char* const kExportUsage;
int RunExport(const std::vector<std::string>& args, Context& context);

}  // namespace OstrelCli
