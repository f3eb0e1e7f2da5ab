// The log file looks at itself only now and then; these are the changes it must still notice.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "Support/Child.h"
#include "Support/Files.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "Util/Log/LogFile.h"
#include "Util/Time/Clock.h"

using namespace Ostrel::Util;
using TestSupport::ReadFile;
namespace fs = std::filesystem;

namespace {

class LogFileTest : public ::testing::Test {
protected:
    fs::path Path() const { return m_home.Path() / "logs" / "file.log"; }
    fs::path Generation(int n) const { return Path().string() + "." + std::to_string(n); }

    TestSupport::TempHome m_home;
    ManualClock m_clock;
    ScopedClock m_useClock{m_clock};
};

// The descriptor of this process that names the file, or -1.
int DescriptorOf(const fs::path& path) {
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) == path && !ec)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}

}  // namespace

TEST_F(LogFileTest, ARotationByAnotherProcessIsNoticedAfterTheIntervalOrTheLineCount) {
    RotatingLogFile file;
    file.Configure(Path(), 1 << 20, 3);
    ASSERT_TRUE(file.Append("one\n"));
    fs::rename(Path(), Generation(1));  // what another process's rotation does
    ASSERT_TRUE(file.Append("two\n"));
    m_clock.Advance(RotatingLogFile::kLookEveryMs);
    ASSERT_TRUE(file.Append("three\n"));
    EXPECT_EQ("one\ntwo\nthree\n", ReadFile(Generation(1)) + ReadFile(Path()));
    EXPECT_TRUE(ReadFile(Path()).ends_with("three\n"));

    // With the clock standing still, a number of lines brings the look as well.
    fs::rename(Path(), Generation(2));
    for (unsigned u = 0; u < RotatingLogFile::kLookEveryLines; ++u)
        ASSERT_TRUE(file.Append("x\n"));
    EXPECT_EQ(RotatingLogFile::kLookEveryLines * 2 + 6, fs::file_size(Path()) + fs::file_size(Generation(2)));
    EXPECT_GT(fs::file_size(Path()), 0u);
}

TEST_F(LogFileTest, LinesOfOtherProcessesCountTowardsTheSizeLimit) {
    RotatingLogFile file;
    file.Configure(Path(), 1000, 2);
    const std::string sOurs(99, 'a');
    ASSERT_TRUE(file.Append(sOurs + "\n"));
    std::ofstream(Path(), std::ios::app | std::ios::binary) << std::string(850, 'b');  // another process
    m_clock.Advance(RotatingLogFile::kLookEveryMs);
    ASSERT_TRUE(file.Append(sOurs + "\n"));
    EXPECT_EQ(100u, fs::file_size(Path()));
    EXPECT_EQ(950u, fs::file_size(Generation(1)));
}

TEST_F(LogFileTest, ADescriptorClosedBehindItsBackLosesNoLineAndNoForeignFile) {
    RotatingLogFile file;
    file.Configure(Path(), 1 << 20, 3);
    ASSERT_TRUE(file.Append("one\n"));
    int fd = DescriptorOf(Path());
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_TRUE(file.Append("two\n"));
    EXPECT_EQ("one\ntwo\n", ReadFile(Path()));

    // Closed and its number taken by another file: the very next line goes back to the log's own
    // file, nothing reaches the other one, and its descriptor stays open for its owner.
    fd = DescriptorOf(Path());
    ASSERT_GE(fd, 0);
    const fs::path other = m_home.Path() / "other";
    int fdOther = ::open(other.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fdOther, 0);
    ASSERT_EQ(fd, ::dup2(fdOther, fd));
    ::close(fdOther);
    EXPECT_TRUE(file.Append("three\n"));
    EXPECT_EQ("one\ntwo\nthree\n", ReadFile(Path()));
    EXPECT_EQ("", ReadFile(other));
    struct stat stFd {};
    struct stat stOther {};
    ASSERT_EQ(0, ::stat(other.c_str(), &stOther));
    EXPECT_TRUE(::fstat(fd, &stFd) == 0 && stFd.st_ino == stOther.st_ino) << "the other file's descriptor was closed";
    ::close(fd);
}

// A full disk or a file size limit drops lines; when the file takes lines again, it says so.
TEST_F(LogFileTest, LinesTheFileRefusedAreCountedInTheLog) {
    auto logPastALimit = [&] {
        g_logger.SetLogFilePath(Path());
        OSTLOG_INFO(1, L"fits");
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t cbWas = limit.rlim_cur;
        limit.rlim_cur = static_cast<rlim_t>(fs::file_size(Path()));
        ::setrlimit(RLIMIT_FSIZE, &limit);
        OSTLOG_INFO(1, L"refused one");
        OSTLOG_INFO(1, L"refused two");
        limit.rlim_cur = cbWas;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        OSTLOG_INFO(1, L"taken again");
        return true;
    };
    ASSERT_EQ(TestSupport::RunInChild(logPastALimit), TestSupport::ChildOutcome::Succeeded);
    const std::string sLog = ReadFile(Path());
    EXPECT_EQ(std::string::npos, sLog.find("refused"));
    const size_t posNote = sLog.find("] WARN 2 earlier log line(s) could not be written\n");
    EXPECT_NE(std::string::npos, posNote) << sLog;
    EXPECT_LT(posNote, sLog.find("taken again"));
}
