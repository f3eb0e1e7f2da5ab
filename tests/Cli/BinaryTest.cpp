#include "Platform/Registry/Registry.h"
#include "Support/TempHome.h"

#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct CliRun {
    int iExit = -1;
    std::string sOut;
};

// Runs the ostrel binary with the test's environment; stdout is captured, stderr discarded.
CliRun Ostrel(const std::string& args) {
    CliRun run;
    const std::string command = std::string(OSTREL_CLI) + " " + args + " 2>/dev/null </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.sOut.append(buffer, n);
    const int status = pclose(pipe);
    run.iExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<std::vector<std::string>> Rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t'))
            fields.push_back(cell);
        rows.push_back(fields);
    }
    return rows;
}

}  // namespace

TEST(OstrelCli, ConfigPrintsEverySettingWithItsSource) {
    TestSupport::TempHome home;
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD eight = 8;
    RegSetValueExW(h, L"MaxMimeBufferSizeMB", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&eight), sizeof eight);
    const std::wstring prefix = L"tab\there";
    RegSetValueExW(h, L"CalendarDeclinedPrefix", 0, REG_SZ, reinterpret_cast<const BYTE*>(prefix.c_str()),
                   static_cast<DWORD>((prefix.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);

    const CliRun run = Ostrel("config");
    ASSERT_EQ(run.iExit, 0);
    const auto rows = Rows(run.sOut);
    EXPECT_GE(rows.size(), 25u);
    bool bMime = false, bPrefix = false;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 3u) << "getter, value, source";
        EXPECT_TRUE(row[2] == "registry" || row[2] == "default") << row[2];
        if (row[0] == "GetMaxMimeBufferSize")
            bMime = row[1] == "8388608" && row[2] == "registry";
        if (row[0] == "GetCalendarDeclinedPrefix")
            bPrefix = row[1] == "tab\\there";
    }
    EXPECT_TRUE(bMime);
    EXPECT_TRUE(bPrefix);

    const CliRun verbose = Ostrel("--verbose config");
    ASSERT_EQ(verbose.iExit, 0);
    EXPECT_EQ(Rows(verbose.sOut).front().size(), 4u) << "with the location";

    const CliRun json = Ostrel("config --json");
    ASSERT_EQ(json.iExit, 0);
    EXPECT_EQ(json.sOut.rfind("{\"settings\":[", 0), 0u);
    EXPECT_NE(json.sOut.find("{\"getter\":\"GetMaxMimeBufferSize\",\"value\":\"8388608\",\"source\":\"registry\""),
              std::string::npos);
    EXPECT_NE(json.sOut.find("\"value\":\"tab\\there\""), std::string::npos);
}

TEST(OstrelCli, UsageErrorsAndHelp) {
    TestSupport::TempHome home;
    EXPECT_EQ(Ostrel("").iExit, 2);
    EXPECT_EQ(Ostrel("frobnicate").iExit, 2);
    EXPECT_EQ(Ostrel("config --bogus").iExit, 2);
    EXPECT_EQ(Ostrel("--bogus config").iExit, 2);
    const CliRun help = Ostrel("--help");
    EXPECT_EQ(help.iExit, 0);
    EXPECT_NE(help.sOut.find("config"), std::string::npos);
    const CliRun configHelp = Ostrel("config --help");
    EXPECT_EQ(configHelp.iExit, 0);
    EXPECT_NE(configHelp.sOut.find("--json"), std::string::npos);
    EXPECT_EQ(Ostrel("help demo").iExit, 0);
}

TEST(OstrelCli, DemoRunsInItsOwnHomeAndCleansUp) {
    TestSupport::TempHome home;
    const CliRun run = Ostrel("demo");
    ASSERT_EQ(run.iExit, 0) << run.sOut;
    EXPECT_NE(run.sOut.find("GetMaxMimeBufferSize\t8388608\tregistry"), std::string::npos);
    EXPECT_NE(run.sOut.find("GetGALSyncMode() returned 2"), std::string::npos);
    EXPECT_NE(run.sOut.find("DisableGalSync is gone"), std::string::npos);
    EXPECT_NE(run.sOut.find("GetOSDCorruptErrorCodes\t0x80040116,0x80040119\tregistry"), std::string::npos);
    // The caller's own home is untouched.
    EXPECT_FALSE(std::filesystem::exists(Platform::Registry::HivePath(HKEY_CURRENT_USER)));
}
