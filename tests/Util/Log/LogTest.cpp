#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Support/Child.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

using namespace Ostrel::Util;
namespace fs = std::filesystem;

namespace {

// Gives each test its own log file and default switches, restoring the logger afterwards.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dwLevel = g_logger.GetLevelMask();
        m_dwCategory = g_logger.GetCategoryMask();
        m_bEnabled = g_logger.IsLoggingEnabled();
        g_logger.SetLoggingEnabled(true);
        g_logger.SetLevelMask(1 | 4);
        g_logger.SetCategoryMask(0xFFFFFFFF);
        g_logger.SetLogFilePath(LogPath());
    }
    void TearDown() override {
        g_logger.SetLevelMask(m_dwLevel);
        g_logger.SetCategoryMask(m_dwCategory);
        g_logger.SetLoggingEnabled(m_bEnabled);
        g_logger.SetMaxFileSize(10ull << 20);
        g_logger.SetMaxGenerations(4);
        g_logger.SetLogFilePath(fs::path());
    }

    fs::path LogPath() const { return m_home.Path() / "logs" / "test.log"; }

    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    TestSupport::TempHome m_home;
    DWORD m_dwLevel = 0;
    DWORD m_dwCategory = 0;
    bool m_bEnabled = true;
};

constexpr int kBurstThreads = 3;
constexpr int kBurstLines = 1500;

void LogBurst(int nThread) {
    for (int i = 0; i < kBurstLines; ++i)
        OSTLOG_INFO(1, L"burst %d %d %d %s", static_cast<int>(::getpid()), nThread, i,
                    L"padding that makes a line long enough to be torn");
}

// kBurstLines lines from each of kBurstThreads threads, one of them the calling thread.
void LogBurstFromThreads() {
    std::vector<std::thread> threads;
    for (int t = 1; t < kBurstThreads; ++t)
        threads.emplace_back(LogBurst, t);
    LogBurst(0);
    for (std::thread& thread : threads)
        thread.join();
}

}  // namespace

TEST_F(LogTest, LinesReachTheFileWithTheirOrigin) {
    OSTLOG_INFO(1, L"hello %s %S %d", L"w\u00e9de", "narrow", 42);
    OSTLOG_ERROR(L"failed with %08X", 0x80004005);
    OSTLOG_WARN("narrow format %s", "text");
    std::string sLog = Read(LogPath());
    EXPECT_NE(std::string::npos, sLog.find("hello w\xc3\xa9"
                                           "de narrow 42\n"));
    EXPECT_NE(std::string::npos, sLog.find("ERROR LogTest_LinesReachTheFileWithTheirOrigin_Test::TestBody: failed with "
                                           "80004005 (LogTest.cpp:"));
    EXPECT_NE(std::string::npos, sLog.find("WARN "));
    EXPECT_NE(std::string::npos, sLog.find("narrow format text (LogTest.cpp:"));
    // Information lines carry no location.
    EXPECT_EQ(std::string::npos, sLog.find("42 (LogTest.cpp"));
}

TEST_F(LogTest, MasksDecideWhatIsWrittenButErrorsAndWarningsAlwaysPass) {
    LogCapture capture(LogCapture::Mode::AsConfigured);
    g_logger.SetLevelMask(4);
    g_logger.SetCategoryMask(8192);
    OSTLOG(4, 8192, L"level 4 info");
    OSTLOG(16, 8192, L"level 16 info");
    OSTLOG(4, 1024, L"level 4 other category");
    OSTLOG(0, 8192, L"level 0 info");
    OSTLOG_ERROR(L"an error");
    OSTLOG_WARN(L"a warning");
    TraceVarArgs(TRUE, TRUE, 64, 8, __FILE__, __PRETTY_FUNCTION__, __LINE__, 0)(L"flagged error");
    TraceVarArgs(FALSE, TRUE, 0, 32768, __FILE__, __PRETTY_FUNCTION__, __LINE__, 0)(L"caller said no");
    EXPECT_EQ(
        (std::vector<std::wstring>{L"level 4 info", L"level 0 info", L"an error", L"a warning", L"flagged error"}),
        capture.Messages());
    EXPECT_TRUE(g_logger.IsLoggingCmntLevel(4));
    EXPECT_FALSE(g_logger.IsLoggingCmntLevel(16));

    // Logging switched off: nothing at all, not even errors.
    capture.Clear();
    g_logger.SetLoggingEnabled(false);
    OSTLOG_ERROR(L"an error");
    EXPECT_TRUE(capture.Records().empty());
    EXPECT_FALSE(g_logger.IsLoggingCmntLevel(0));
}

TEST_F(LogTest, ErrorsRecordFileFunctionAndLine) {
    LogCapture capture;
    int nLine = __LINE__ + 1;
    OSTLOG_ERROR(L"boom %d", 1);
    std::vector<LogRecord> records = capture.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(records[0].bError);
    EXPECT_EQ(32768u, records[0].dwCategory);
    EXPECT_EQ("LogTest.cpp", records[0].sFile);
    EXPECT_EQ(nLine, records[0].nLine);
    EXPECT_EQ(L"LogTest_ErrorsRecordFileFunctionAndLine_Test::TestBody", records[0].wsFunction);
    EXPECT_NE(std::wstring::npos, records[0].wsLine.find(L"(LogTest.cpp:" + std::to_wstring(nLine) + L")"));
}

TEST_F(LogTest, EverythingCaptureSeesLinesTheMasksHide) {
    g_logger.SetLevelMask(0);
    g_logger.SetLoggingEnabled(false);
    LogCapture capture;
    EXPECT_TRUE(g_logger.IsLoggingCmntLevel(512));
    OSTLOG(512, 16, L"deep detail");
    ASSERT_EQ(1u, capture.Records().size());
    EXPECT_EQ(512u, capture.Records()[0].dwLevel);
    EXPECT_EQ(16u, capture.Records()[0].dwCategory);
    EXPECT_FALSE(fs::exists(LogPath()));  // the file still follows the switches
}

TEST_F(LogTest, PerThreadSwitchAndThreadNames) {
    LogCapture capture;
    std::thread worker([] {
        g_logger.SetThreadName(L"IDMSOLID");
        OSTLOG_INFO(1, L"from worker");
        g_logger.DisableLoggingForThisThread();
        OSTLOG_ERROR(L"silenced");
        EXPECT_FALSE(g_logger.IsLoggingForThisThread());
        g_logger.EnableLoggingForThisThread();
        OSTLOG_INFO(1, L"back on");
    });
    worker.join();
    OSTLOG_INFO(1, L"from main");
    std::vector<LogRecord> records = capture.Records();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(L"from worker", records[0].wsMessage);
    EXPECT_EQ(L"IDMSOLID", records[0].wsThreadName);
    EXPECT_NE(std::wstring::npos, records[0].wsLine.find(L" IDMSOLID] "));
    EXPECT_EQ(L"back on", records[1].wsMessage);
    EXPECT_EQ(L"", records[2].wsThreadName);
}

TEST_F(LogTest, LogBlockLogsEntryAndExitWithElapsedTime) {
    ManualClock clock;
    ScopedClock useClock(clock);
    LogCapture capture;
    {
        CLogBlock block(4, 8192, L"Ostrel::Mapi::Folder::~Folder", L"Inbox");
        clock.Advance(25);
    }
    { CLogBlock block(4, 8192, "Ostrel::Rpc::Connection::Send"); }
    std::vector<LogRecord> records = capture.Records();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ(L"Ostrel::Mapi::Folder::~Folder", records[0].wsFunction);
    EXPECT_EQ(L"Enter (Inbox)", records[0].wsMessage);
    EXPECT_EQ(L"Exit (Inbox) after 25 ms", records[1].wsMessage);
    EXPECT_EQ(L"Enter", records[2].wsMessage);
    EXPECT_EQ(L"Exit after 0 ms", records[3].wsMessage);

    // A block that starts while the thread is silenced logs neither half.
    capture.Clear();
    g_logger.DisableLoggingForThisThread();
    {
        CLogBlock block(4, 8192, L"F", nullptr);
        g_logger.EnableLoggingForThisThread();
    }
    EXPECT_TRUE(capture.Records().empty());
}

TEST_F(LogTest, FileRotatesBySizeKeepingGenerations) {
    g_logger.SetMaxFileSize(400);
    g_logger.SetMaxGenerations(2);
    for (int i = 0; i < 40; ++i)
        OSTLOG_INFO(1, L"line %02d %s", i, L"padding padding padding padding");
    fs::path dir = LogPath().parent_path();
    EXPECT_TRUE(fs::exists(LogPath()));
    EXPECT_TRUE(fs::exists(dir / "test.log.1"));
    EXPECT_TRUE(fs::exists(dir / "test.log.2"));
    EXPECT_FALSE(fs::exists(dir / "test.log.3"));
    EXPECT_LE(fs::file_size(LogPath()), 400u);
    // The newest line is in the current file, the one before the last rotation in generation 1.
    std::string sCurrent = Read(LogPath());
    EXPECT_NE(std::string::npos, sCurrent.find("line 39"));
    EXPECT_EQ(std::string::npos, Read(dir / "test.log.1").find("line 39"));
    EXPECT_EQ(0600u, static_cast<unsigned>(fs::status(LogPath()).permissions() & fs::perms::all));
}

// Threads of two processes share one file that rotates under them: every line arrives whole and
// once, and names the process that wrote it (also in the child, whose forking thread logged before).
TEST_F(LogTest, LinesOfThreadsAndProcessesStayWholeAcrossRotations) {
    g_logger.SetMaxFileSize(32 << 10);
    g_logger.SetMaxGenerations(100);
    OSTLOG_INFO(1, L"before the fork");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        LogBurstFromThreads();
        ::_exit(0);
    }
    LogBurstFromThreads();
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const std::regex line(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\d+):\d+\] INFO1 \S+: burst (\d+) (\d+) (\d+) padding that makes a line long enough to be torn)");
    std::map<std::pair<int, int>, std::set<int>> seen;  // (process, thread) -> line numbers
    int cFiles = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(LogPath().parent_path())) {
        const std::string sName = entry.path().filename().string();
        if (!sName.starts_with("test.log") || sName.ends_with(".lock"))
            continue;
        ++cFiles;
        std::istringstream in(Read(entry.path()));
        for (std::string sLine; std::getline(in, sLine);) {
            if (sLine.find("before the fork") != std::string::npos)
                continue;
            std::smatch match;
            if (!std::regex_match(sLine, match, line)) {
                ADD_FAILURE() << "torn line in " << sName << ": " << sLine;
                continue;
            }
            EXPECT_EQ(match[1], match[2]) << "a line names another process: " << sLine;
            seen[{std::stoi(match[2]), std::stoi(match[3])}].insert(std::stoi(match[4]));
        }
    }
    EXPECT_GT(cFiles, 10);
    for (int pid : {static_cast<int>(::getpid()), static_cast<int>(child)})
        for (int t = 0; t < kBurstThreads; ++t)
            EXPECT_EQ(static_cast<size_t>(kBurstLines), seen[std::make_pair(pid, t)].size())
                << "process " << pid << " thread " << t;
}

// A log file named in a shared folder: a link planted under its name is not written through.
TEST_F(LogTest, ALinkOrFifoPlantedAsTheLogFileIsNotWritten) {
    const fs::path victim = m_home.Path() / "victim";
    std::ofstream(victim) << "precious\n";
    const fs::path shared = m_home.Path() / "shared";
    fs::create_directories(shared);
    fs::create_symlink(victim, shared / "ostrel.log");
    g_logger.SetLogFilePath(shared / "ostrel.log");
    OSTLOG_INFO(1, L"injected line");
    g_logger.SetLogFilePath(LogPath());
    EXPECT_EQ(Read(victim), "precious\n");

    // Nor is a FIFO written to: without a reader logging does not wait for one, with a reader
    // nothing reaches it.
    const fs::path fifo = shared / "fifo.log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto logToFifo = [&] {
        g_logger.SetLogFilePath(fifo);
        OSTLOG_INFO(1, L"injected line");
        return true;
    };
    EXPECT_EQ(TestSupport::RunInChild(logToFifo), TestSupport::ChildOutcome::Succeeded);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(TestSupport::RunInChild(logToFifo), TestSupport::ChildOutcome::Succeeded);
    char c = 0;
    EXPECT_LE(::read(reader, &c, 1), 0) << "a line was written into the FIFO";
    ::close(reader);
}

TEST_F(LogTest, EnvironmentSettings) {
    setenv("OSTREL_LOG_LEVEL", "0x50", 1);
    setenv("OSTREL_LOG_CATEGORY", "all", 1);
    setenv("OSTREL_LOG_DETAIL", "http", 1);
    setenv("OSTREL_LOG", "off", 1);
    g_logger.ReloadSettingsFromEnvironment();
    EXPECT_EQ(0x50u, g_logger.GetLevelMask());
    EXPECT_EQ(0xFFFFFFFFu, g_logger.GetCategoryMask());
    EXPECT_TRUE(g_logger.GetLogDetailCmntHTTP());
    EXPECT_FALSE(g_logger.GetLogDetailCmntMsgInfo());
    EXPECT_FALSE(g_logger.IsLoggingEnabled());

    setenv("OSTREL_LOG_LEVEL", "bogus", 1);
    setenv("OSTREL_LOG_DETAIL", "msginfo,http", 1);
    unsetenv("OSTREL_LOG");
    g_logger.ReloadSettingsFromEnvironment();
    EXPECT_EQ(5u, g_logger.GetLevelMask());  // unparsable: the default
    EXPECT_TRUE(g_logger.GetLogDetailCmntMsgInfo());
    EXPECT_TRUE(g_logger.IsLoggingEnabled());

    for (const char* pszName : {"OSTREL_LOG_LEVEL", "OSTREL_LOG_CATEGORY", "OSTREL_LOG_DETAIL"})
        unsetenv(pszName);
    g_logger.ReloadSettingsFromEnvironment();
    EXPECT_EQ(0u, g_logger.GetLogDetail());
}

TEST_F(LogTest, DefaultFileFollowsTheHome) {
    g_logger.SetLogFilePath(fs::path());
    fs::path outerLog = fs::path(getenv("OSTREL_HOME")) / "logs" / "ostrel.log";
    EXPECT_EQ(outerLog, g_logger.GetLogFilePath());
    OSTLOG_INFO(1, L"outer one");
    fs::path innerRoot;
    {
        TestSupport::TempHome inner;
        innerRoot = inner.Path();
        OSTLOG_INFO(1, L"inner");
        EXPECT_NE(std::string::npos, Read(inner.Path() / "home" / "logs" / "ostrel.log").find("inner"));
    }
    OSTLOG_INFO(1, L"outer two");
    EXPECT_NE(std::string::npos, Read(outerLog).find("outer two"));
    EXPECT_EQ(std::string::npos, Read(outerLog).find("inner"));
    EXPECT_FALSE(fs::exists(innerRoot));  // a removed home is not brought back by the logger
}

TEST(QualifiedFunctionName, ReducesPrettyFunctionTexts) {
    EXPECT_EQ("Ostrel::Mapi::Folder::~Folder", QualifiedFunctionName("Ostrel::Mapi::Folder::~Folder()"));
    EXPECT_EQ("Ostrel::Rpc::Connection::Send",
              QualifiedFunctionName("virtual HRESULT Ostrel::Rpc::Connection::Send(const wchar_t*, int) const"));
    EXPECT_EQ("{anonymous}::Helper", QualifiedFunctionName("int {anonymous}::Helper(std::map<int, int>&)"));
    EXPECT_EQ("A::B<T>::f", QualifiedFunctionName("std::vector<int> A::B<T>::f(T) [with T = int]"));
    EXPECT_EQ("Foo::operator()", QualifiedFunctionName("void Foo::operator()(int)"));
    EXPECT_EQ("plain", QualifiedFunctionName("plain"));
}
