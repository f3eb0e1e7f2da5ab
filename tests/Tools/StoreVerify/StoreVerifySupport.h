// Running `ostrel` commands in the tests of verify, export and watch: in this process with the
// streams captured, as the program runs them without a terminal.
#pragma once

#include "ostrel/Cli.h"
#include "ostrel/CliUi.h"

#include "Platform/Ui/Ui.h"
#include "Support/Files.h"
#include "Support/Process.h"
#include "Support/TempHome.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace StoreVerifyTest {

struct CommandRun {
    int iExit = -1;
    std::string sOut;
    std::string sErr;
};

inline CommandRun Command(const std::string& name, const std::vector<std::string>& args) {
    CommandRun run;
    char* pOut = nullptr;
    char* pErr = nullptr;
    size_t cbOut = 0, cbErr = 0;
    OstrelCli::Context context;
    context.out = open_memstream(&pOut, &cbOut);
    context.err = open_memstream(&pErr, &cbErr);
    Platform::Ui::SetCurrent(std::make_shared<OstrelCli::CliUi>(false, context.err));
    run.iExit = OstrelCli::Run(name, args, context);
    Platform::Ui::SetCurrent(nullptr);
    std::fclose(context.out);
    std::fclose(context.err);
    run.sOut.assign(pOut, cbOut);
    run.sErr.assign(pErr, cbErr);
    std::free(pOut);
    std::free(pErr);
    return run;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

using TestSupport::ReadFile;

}  // namespace StoreVerifyTest
