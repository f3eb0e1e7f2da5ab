// `ostrel config`: every registry setting's effective value and whether the registry or a
// default supplied it. Tab-separated lines (getter, value, source[, location]) or JSON.
#include "Cli.h"

#include "Ostrel/RegistryConfig.h"
#include "Platform/Base/Utf.h"

#include <cstdio>

namespace OstrelCli {

namespace {

// Keeps one setting on one line and its fields apart: control characters are escaped.
std::string Field(const std::wstring& text) {
    std::string out;
    for (char c : Platform::ToUtf8(text)) {
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Json(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Platform::ToUtf8(text)) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

const char* Source(const Ostrel::Mapi::SettingReport& setting) { return setting.bFromRegistry ? "registry" : "default"; }

}  // namespace

int RunConfig(const std::vector<std::string>& args, Context& context) {
    const Command& self = *FindCommand("config");
    bool bJson = false;
    for (const auto& arg : args) {
        if (arg == "--json")
            bJson = true;
        else
            return UsageError(self, "unexpected argument '" + arg + "'", context);
    }

    const auto settings = Ostrel::Mapi::DescribeSettings();
    if (bJson) {
        std::fprintf(context.out, "{\"settings\":[");
        for (size_t i = 0; i < settings.size(); ++i) {
            const auto& s = settings[i];
            std::fprintf(context.out, "%s\n  {\"getter\":%s,\"value\":%s,\"source\":\"%s\",\"location\":%s}",
                         i ? "," : "", Json(s.wsGetter).c_str(), Json(s.wsValue).c_str(), Source(s),
                         Json(s.wsLocation).c_str());
        }
        std::fprintf(context.out, "\n]}\n");
    } else {
        for (const auto& s : settings) {
            std::fprintf(context.out, "%s\t%s\t%s", Field(s.wsGetter).c_str(), Field(s.wsValue).c_str(), Source(s));
            if (context.bVerbose)
                std::fprintf(context.out, "\t%s", Field(s.wsLocation).c_str());
            std::fprintf(context.out, "\n");
        }
    }
    return std::fflush(context.out) == 0 ? kExitOk : kExitFailure;
}

}  // namespace OstrelCli
