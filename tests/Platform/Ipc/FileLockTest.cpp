// File locks: exclusion between objects and processes, time-outs, a dead holder's lock coming
// free, and a lock path that is a planted link.
#include "Platform/Ipc/FileLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

using Platform::FileLock;

namespace {

class FileLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir =
            std::filesystem::temp_directory_path() / ("filelock-" + std::to_string(getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::filesystem::path m_dir;
};

}  // namespace

TEST_F(FileLockTest, TwoObjectsExcludeEachOtherUntilUnlocked) {
    FileLock first(m_dir / "lock"), second(m_dir / "lock");
    ASSERT_TRUE(first.Lock());
    EXPECT_TRUE(first.Lock(0)) << "locking again while holding is not a wait on oneself";
    errno = 0;
    EXPECT_FALSE(second.Lock(30));
    EXPECT_EQ(errno, EWOULDBLOCK) << "a time-out, not an error";
    EXPECT_FALSE(second.IsLocked());
    first.Unlock();
    EXPECT_TRUE(second.Lock(0));

    // Shared holders coexist; an exclusive one waits for them.
    const int a = open((m_dir / "shared").c_str(), O_RDWR | O_CREAT, 0600);
    const int b = open((m_dir / "shared").c_str(), O_RDWR);
    ASSERT_TRUE(Platform::FlockWait(a, true, 0));
    EXPECT_TRUE(Platform::FlockWait(b, true, 0));
    FileLock exclusive(m_dir / "shared");
    EXPECT_FALSE(exclusive.Lock(20));
    close(a);
    close(b);
    EXPECT_TRUE(exclusive.Lock(0));
}

TEST_F(FileLockTest, AKilledHolderLeavesTheLockFree) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileLock held(m_dir / "lock");
        const char c = held.Lock() ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    FileLock mine(m_dir / "lock");
    EXPECT_FALSE(mine.Lock(0));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(mine.Lock(5000));
    close(ready[0]);
    close(ready[1]);
}

TEST_F(FileLockTest, APlantedLinkIsNotFollowed) {
    const auto target = m_dir / "precious";
    std::ofstream(target) << "data";
    std::filesystem::create_symlink(target, m_dir / "lock");
    FileLock lock(m_dir / "lock");
    EXPECT_FALSE(lock.Lock(0));
    std::ifstream in(target);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "data");
    EXPECT_FALSE(FileLock(m_dir / "missing" / "lock").Lock(0)) << "no folder, no lock";
}
