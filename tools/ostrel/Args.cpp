#include "Args.h"

#include <charconv>

namespace OstrelCli {

std::optional<std::string> ParsedArgs::Value(const std::string& name) const {
    auto it = m_values.find(name);
    if (it == m_values.end() || it->second.empty())
        return std::nullopt;
    return it->second.back();
}

std::vector<std::string> ParsedArgs::Values(const std::string& name) const {
    auto it = m_values.find(name);
    return it == m_values.end() ? std::vector<std::string>() : it->second;
}

bool ParseArgs(const char* pszCommand, const std::vector<std::string>& args, const std::vector<OptionSpec>& options,
               size_t minOperands, size_t maxOperands, Context& context, ParsedArgs& parsed, int& exitCode) {
    auto fail = [&](const std::string& message) {
        exitCode = UsageError(pszCommand, message, context);
        return false;
    };
    bool bOptionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (bOptionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            bOptionsEnded = true;
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionSpec* pMatch = nullptr;
        for (const auto& option : options) {
            if (name == option.pszName)
                pMatch = &option;
        }
        if (!pMatch)
            return fail("unknown option '" + name + "'");
        auto& values = parsed.m_values[name];
        if (!pMatch->bTakesValue) {
            if (equals != std::string::npos)
                return fail("option '" + name + "' takes no value");
            values.emplace_back();
        } else if (equals != std::string::npos) {
            values.push_back(arg.substr(equals + 1));
        } else if (i + 1 < args.size()) {
            values.push_back(args[++i]);
        } else {
            return fail("option '" + name + "' needs a value");
        }
    }
    if (parsed.operands.size() < minOperands)
        return fail(minOperands == 1 && maxOperands == 1 ? "one argument expected" : "missing arguments");
    if (parsed.operands.size() > maxOperands)
        return fail("unexpected argument '" + parsed.operands[maxOperands] + "'");
    return true;
}

std::optional<int64_t> ParseInteger(const std::string& text, int64_t min, int64_t max) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
        return std::nullopt;
    return value;
}

}  // namespace OstrelCli
