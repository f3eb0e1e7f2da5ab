// The `ostrel` program as a user runs it: settings, usage and help, and `ostrel zip` on archives
// that are whole, broken or hostile.
#include "CliTestSupport.h"

#include "Platform/Registry/Registry.h"
#include "Support/Text.h"
#include "ostrel-server/ZipWriter.h"

#include <algorithm>

namespace CliTest {

namespace {

std::string Archive(const std::vector<std::pair<std::string, std::string>>& entries, bool bFinish = true) {
    std::string bytes;
    OstrelServer::ZipWriter writer([&](const char* data, size_t size) {
        bytes.append(data, size);
        return true;
    });
    for (const auto& [name, data] : entries) {
        if (name.size() > 5 && name.compare(name.size() - 4, 4, ".eml") == 0)
            writer.AddDeflated(name, data, 6);
        else
            writer.AddStored(name, data);
    }
    if (bFinish)
        writer.Finish();
    return bytes;
}

TEST(Program, ConfigPrintsEverySettingWithItsSource) {
    TestSupport::TempHome home;
    HKEY h = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
        ERROR_SUCCESS);
    const DWORD eight = 8;
    RegSetValueExW(h, L"MaxMimeBufferSizeMB", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&eight), sizeof eight);
    const std::wstring prefix = L"tab\there";
    RegSetValueExW(h, L"CalendarDeclinedPrefix", 0, REG_SZ, reinterpret_cast<const BYTE*>(prefix.c_str()),
                   static_cast<DWORD>((prefix.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);

    const CommandRun run = RunProgram("config");
    ASSERT_EQ(run.iExit, 0);
    const auto rows = TestSupport::TabSeparatedRows(run.sOut);
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

    const CommandRun verbose = RunProgram("--verbose config");
    ASSERT_EQ(verbose.iExit, 0);
    EXPECT_EQ(TestSupport::TabSeparatedRows(verbose.sOut).front().size(), 4u) << "with the location";

    const CommandRun json = RunProgram("config --json");
    ASSERT_EQ(json.iExit, 0);
    EXPECT_EQ(json.sOut.rfind("{\"settings\":[", 0), 0u);
    EXPECT_NE(json.sOut.find("{\"getter\":\"GetMaxMimeBufferSize\",\"value\":\"8388608\",\"source\":\"registry\""),
              std::string::npos);
    EXPECT_NE(json.sOut.find("\"value\":\"tab\\there\""), std::string::npos);
}

// A hive that does not parse is named with its line, not silently shown as defaults.
TEST(Program, ConfigNamesADamagedHive) {
    TestSupport::TempHome home;
    const CommandRun clean = RunProgram("config");
    ASSERT_EQ(clean.iExit, 0);
    EXPECT_EQ(clean.sErr, "");
    const std::filesystem::path hive = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    std::filesystem::create_directories(hive.parent_path());
    TestSupport::WriteFile(hive,
                           "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Ostrel]\n\"MaxMimeBufferSizeMB\"=dword:xyz\n");
    const CommandRun run = RunProgram("config");
    EXPECT_EQ(run.iExit, 0);
    EXPECT_NE(run.sErr.find("warning: " + hive.string() + " line 4 does not parse"), std::string::npos) << run.sErr;
    EXPECT_EQ(std::count(run.sErr.begin(), run.sErr.end(), '\n'), 1) << run.sErr;
}

TEST(Program, UsageErrorsAndHelp) {
    TestSupport::TempHome home;
    EXPECT_EQ(RunProgram("").iExit, 2);
    EXPECT_EQ(RunProgram("frobnicate").iExit, 2);
    EXPECT_EQ(RunProgram("config --bogus").iExit, 2);
    EXPECT_EQ(RunProgram("--bogus config").iExit, 2);
    const CommandRun help = RunProgram("--help");
    EXPECT_EQ(help.iExit, 0);
    EXPECT_NE(help.sOut.find("config"), std::string::npos);
    const CommandRun configHelp = RunProgram("config --help");
    EXPECT_EQ(configHelp.iExit, 0);
    EXPECT_NE(configHelp.sOut.find("--json"), std::string::npos);
    EXPECT_EQ(RunProgram("help demo").iExit, 0);
}

TEST(Program, EveryCommandHasHelp) {
    TestSupport::TempHome home;
    for (const char* command : {"config", "demo", "export", "login", "server", "store", "sync", "verify", "zip"}) {
        const CommandRun help = RunProgram(std::string(command) + " --help");
        EXPECT_EQ(help.iExit, 0) << command;
        EXPECT_EQ(help.sOut.rfind(std::string("usage: ostrel ") + command, 0), 0u) << help.sOut;
    }
}

TEST(Program, DemoRunsTheWholePathInItsOwnHome) {
    TestSupport::TempHome home;
    const CommandRun run = RunProgram("demo --messages 30");
    ASSERT_EQ(run.iExit, 0) << run.sOut << run.sErr;
    EXPECT_NE(run.sOut.find("synchronised user@ostrel.test (full): 30 messages fetched"), std::string::npos)
        << run.sOut;
    EXPECT_NE(run.sOut.find("synchronised user@ostrel.test: 5 messages fetched, 5 updated, 0 other items, 4 deleted"),
              std::string::npos);
    EXPECT_NE(run.sOut.find("exit status 1: ostrel sync: the connection to https://127.0.0.1:"), std::string::npos);
    EXPECT_NE(run.sOut.find("(resumed): 40 messages fetched"), std::string::npos);
    EXPECT_NE(run.sOut.find("exit status 0: the store matches the server"), std::string::npos) << run.sOut;
    EXPECT_NE(run.sOut.find("    71 messages in "), std::string::npos) << "the Maildir export";
    EXPECT_NE(run.sOut.find("\nRemoved /"), std::string::npos);
    // The caller's own home is untouched.
    EXPECT_FALSE(std::filesystem::exists(home.Path() / "home" / "profiles"));
}

TEST(Program, ZipListsAndExtractsEntries) {
    TestSupport::TempHome home;
    const std::string mime = "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n\r\nHallo\r\n";
    std::ofstream(home.Path() / "a.zip", std::ios::binary)
        << Archive({{"7.meta", "<m id=\"7\" l=\"2\"/>"}, {"7.eml", mime}, {"8.err", "no such message: 8\n"}});
    const std::string zip = (home.Path() / "a.zip").string();

    const CommandRun list = RunProgram("zip " + zip);
    ASSERT_EQ(list.iExit, 0) << list.sErr;
    EXPECT_EQ(list.sOut, "7.meta\tmeta\t17\n7.eml\tmessage\t" + std::to_string(mime.size()) +
                             "\n8.err\terror\t18\tno such message: 8\n");
    const CommandRun json = RunProgram("zip --json - ", ReadFile(home.Path() / "a.zip"));
    ASSERT_EQ(json.iExit, 0);
    EXPECT_NE(json.sOut.find("{\"name\":\"8.err\",\"kind\":\"error\",\"size\":18,\"text\":\"no such message: 8\"}"),
              std::string::npos);
    EXPECT_NE(json.sOut.find("\"count\":3,\"complete\":true}"), std::string::npos);

    const CommandRun extract = RunProgram("zip " + zip + " --extract " + (home.Path() / "out").string());
    ASSERT_EQ(extract.iExit, 0) << extract.sErr;
    EXPECT_EQ(ReadFile(home.Path() / "out" / "7.eml"), mime);
    EXPECT_EQ(ReadFile(home.Path() / "out" / "8.err"), "no such message: 8");
}

TEST(Program, ZipOnBrokenAndHostileArchives) {
    TestSupport::TempHome home;
    const std::string whole = Archive({{"1.meta", "<m/>"}, {"1.eml", std::string(5000, 'x')}, {"2.meta", "<m/>"}});
    // Cut inside the message: what was read is listed, then one line says what is wrong.
    const CommandRun cut = RunProgram("zip -", whole.substr(0, 200));
    EXPECT_EQ(cut.iExit, 1);
    EXPECT_EQ(cut.sOut, "1.meta\tmeta\t4\n");
    EXPECT_EQ(cut.ErrLines(), 1u) << cut.sErr;
    EXPECT_EQ(cut.sErr.rfind("ostrel zip: -: damaged archive: ", 0), 0u) << cut.sErr;
    // Without the central directory the end is not trusted either.
    EXPECT_EQ(RunProgram("zip -", Archive({{"1.meta", "<m/>"}}, false)).iExit, 1);
    EXPECT_EQ(RunProgram("zip -", "not a zip at all").iExit, 1);
    EXPECT_EQ(RunProgram("zip " + (home.Path() / "missing.zip").string()).iExit, 1);
    const CommandRun empty = RunProgram("zip -", "");
    EXPECT_EQ(empty.iExit, 1);
    EXPECT_EQ(empty.sErr, "ostrel zip: -: empty input, not an archive\n");

    // Entry names never leave the target directory.
    const std::filesystem::path out = home.Path() / "out";
    const CommandRun traversal = RunProgram("zip - --extract " + out.string(), Archive({{"../../escape.meta", "x"}}));
    EXPECT_EQ(traversal.iExit, 0) << traversal.sErr;
    EXPECT_TRUE(std::filesystem::exists(out / "escape.meta"));
    EXPECT_FALSE(std::filesystem::exists(home.Path() / "escape.meta"));
    const CommandRun dots = RunProgram("zip - --extract " + out.string(), Archive({{"a/..", "x"}}));
    EXPECT_EQ(dots.iExit, 1);
    EXPECT_NE(dots.sErr.find("cannot be a file name"), std::string::npos);
    const CommandRun control = RunProgram("zip -", Archive({{"a\tb\n.meta", "x"}}));
    EXPECT_EQ(control.sOut, "a\\tb\\n.meta\tmeta\t1\n") << "a listing line stays one line";
}

// Results that cannot be written are a failure, told in one line, never a silent success.
TEST(Program, ALostWriteToStandardOutputFailsInOneLine) {
    TestSupport::TempHome home;
    const std::string archive = Archive({{"1.meta", "<m/>"}, {"1.eml", "Subject: x\r\n\r\nx\r\n"}});
    for (const auto& [args, input] : std::vector<std::pair<std::string, std::string>>{
             {"config", ""}, {"config --json", ""}, {"zip -", archive}, {"zip --json -", archive}}) {
        const CommandRun run = RunProgram(args, input, "/dev/full");
        EXPECT_EQ(run.iExit, 1) << args;
        const std::string command = args.substr(0, args.find(' '));
        EXPECT_EQ(run.sErr, "ostrel " + command + ": cannot write to standard output: No space left on device\n")
            << args;
    }
}

}  // namespace

}  // namespace CliTest
