// `ostrel config`: every registry setting's effective value and whether the registry or a
// default supplied it. Tab-separated lines (getter, value, source[, location]) or JSON. A hive
// file that does not parse is named on stderr: its values after the fault read as defaults.
#include "Args.h"
#include "Output.h"

#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Registry/Registry.h"

#include <cstdio>

namespace OstrelCli {

namespace {

const char* Source(const Ostrel::Mapi::SettingReport& setting) {
    return setting.bFromRegistry ? "registry" : "default";
}

}  // namespace

int RunConfig(const std::vector<std::string>& args, Context& context) {
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("config", args, {{"--json"}}, 0, 0, context, parsed, exitCode))
        return exitCode;

    const auto settings = Ostrel::Mapi::DescribeSettings();
    if (const auto fault = Platform::Registry::LastParseError())
        std::fprintf(context.err,
                     "ostrel config: warning: %s line %u does not parse (%s); what it holds is shown as defaults\n",
                     fault->path.string().c_str(), fault->uLine, fault->sMessage.c_str());
    if (parsed.Has("--json")) {
        std::fprintf(context.out, "{\"settings\":[");
        for (size_t i = 0; i < settings.size(); ++i) {
            const auto& s = settings[i];
            std::fprintf(context.out, "%s\n  {\"getter\":%s,\"value\":%s,\"source\":\"%s\",\"location\":%s}",
                         i ? "," : "", JsonString(s.wsGetter).c_str(), JsonString(s.wsValue).c_str(), Source(s),
                         JsonString(s.wsLocation).c_str());
        }
        std::fprintf(context.out, "\n]}\n");
    } else {
        for (const auto& s : settings) {
            std::fprintf(context.out, "%s\t%s\t%s", TsvField(s.wsGetter).c_str(), TsvField(s.wsValue).c_str(),
                         Source(s));
            if (context.bVerbose)
                std::fprintf(context.out, "\t%s", TsvField(s.wsLocation).c_str());
            std::fprintf(context.out, "\n");
        }
    }
    return kExitOk;
}

}  // namespace OstrelCli
