// Option parsing shared by the commands: "--name value", "--name=value", flags, "--" before
// operands that start with a dash, and a range for the number of operands.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Cli.h"

namespace OstrelCli {

struct OptionSpec {
    const char* pszName;  // with its dashes: "--port"
    bool bTakesValue = false;
};

class ParsedArgs {
public:
    bool Has(const std::string& name) const { return m_values.count(name) > 0; }
    // The last value given for the option.
    std::optional<std::string> Value(const std::string& name) const;
    // Every value given for a repeatable option, in order.
    std::vector<std::string> Values(const std::string& name) const;

    std::vector<std::string> operands;

private:
    friend bool ParseArgs(const char*, const std::vector<std::string>&, const std::vector<OptionSpec>&, size_t, size_t,
                          Context&, ParsedArgs&, int&);
    std::map<std::string, std::vector<std::string>> m_values;
};

// Parses `args` of the command; on a usage error prints it and returns false with the exit code.
bool ParseArgs(const char* pszCommand, const std::vector<std::string>& args, const std::vector<OptionSpec>& options,
               size_t minOperands, size_t maxOperands, Context& context, ParsedArgs& parsed, int& exitCode);

// A whole decimal number within [min, max].
std::optional<int64_t> ParseInteger(const std::string& text, int64_t min, int64_t max);

}  // namespace OstrelCli
