// The runtime and data folders as another local user could prepare them: a symbolic link, a folder
// open to others, a folder made first by someone else. None of them may be used, and no named
// object may be opened through a link planted in them.
#include "Platform/Base/Paths.h"
#include "Platform/Ipc/FileLock.h"
#include "Platform/Ipc/NamedMutex.h"
#include "Platform/Ipc/Names.h"
#include "Platform/Ipc/SharedSection.h"
#include "Support/TempHome.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A uid that no account uses, for acting as "another local user".
uid_t UnusedUid() {
    for (uid_t uid = 54321; uid < 54400; ++uid) {
        if (!getpwuid(uid))
            return uid;
    }
    return 0;
}

// Runs `body` in a forked child that has become another user; true when it exited with 0.
template <typename Body>
bool AsOtherUser(uid_t uid, Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(uid) != 0 || setuid(uid) != 0)
            _exit(2);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class PrivateFolder : public ::testing::Test {
protected:
    TestSupport::TempHome m_home;
    std::filesystem::path m_dir = m_home.Path() / "probe";
};

}  // namespace

TEST_F(PrivateFolder, MissingIsCreatedPrivateAndExistingPrivateIsAccepted) {
    std::string problem;
    ASSERT_TRUE(Platform::EnsurePrivateDirectory(m_dir / "a" / "b", &problem)) << problem;
    struct stat st {};
    ASSERT_EQ(lstat((m_dir / "a" / "b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(Platform::EnsurePrivateDirectory(m_dir / "a" / "b", &problem)) << problem;
    EXPECT_EQ(Platform::PrivateFoldersProblem(), "");
}

TEST_F(PrivateFolder, SymlinkFileAndOpenModeAreRefusedWithOneLine) {
    const auto target = m_home.Path() / "elsewhere";
    ASSERT_TRUE(Platform::EnsurePrivateDirectory(target));
    std::filesystem::create_directory_symlink(target, m_dir);
    std::string problem;
    EXPECT_FALSE(Platform::EnsurePrivateDirectory(m_dir, &problem));
    EXPECT_NE(problem.find("symbolic link"), std::string::npos) << problem;
    EXPECT_NE(problem.find(m_dir.string()), std::string::npos) << problem;
    EXPECT_EQ(problem.find('\n'), std::string::npos);

    std::filesystem::remove(m_dir);
    WriteText(m_dir, "x");
    EXPECT_FALSE(Platform::EnsurePrivateDirectory(m_dir, &problem));
    EXPECT_NE(problem.find("not a folder"), std::string::npos) << problem;

    std::filesystem::remove(m_dir);
    ASSERT_EQ(mkdir(m_dir.c_str(), 0700), 0);
    for (mode_t mode : {0770, 0722, 0703, 01777}) {
        ASSERT_EQ(chmod(m_dir.c_str(), mode), 0);
        problem.clear();
        EXPECT_FALSE(Platform::EnsurePrivateDirectory(m_dir, &problem)) << std::oct << mode;
        EXPECT_NE(problem.find("not 0700"), std::string::npos) << problem;
    }
    // Readable by others only: nothing can have been planted, the folder is made private.
    ASSERT_EQ(chmod(m_dir.c_str(), 0755), 0);
    EXPECT_TRUE(Platform::EnsurePrivateDirectory(m_dir, &problem)) << problem;
    struct stat st {};
    ASSERT_EQ(lstat(m_dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(PrivateFolder, UnsafeRuntimeFolderStopsTheProgramAndItsNamedObjects) {
    const auto run = m_home.Path() / "run" / "ostrel";
    ASSERT_TRUE(Platform::EnsurePrivateDirectory(run));
    ASSERT_EQ(chmod(run.c_str(), 0777), 0);
    EXPECT_NE(Platform::PrivateFoldersProblem().find(run.string()), std::string::npos);
    Platform::SharedSection section;
    EXPECT_FALSE(section.Open(L"Probe", 64));
    Platform::NamedMutex mutex;
    EXPECT_FALSE(mutex.Open(L"Probe"));
}

TEST_F(PrivateFolder, NamedObjectsNeverFollowALinkPlantedInTheFolder) {
    const auto victim = m_home.Path() / "victim.txt";
    WriteText(victim, "precious");
    const auto shm = Platform::NamedObjectPath("shm", L"Planted");
    std::filesystem::create_symlink(victim, shm);
    Platform::SharedSection section;
    EXPECT_FALSE(section.Open(L"Planted", 4096));
    std::filesystem::create_symlink(victim, m_home.Path() / "lock");
    Platform::FileLock lock(m_home.Path() / "lock");
    EXPECT_FALSE(lock.Lock(0));
    EXPECT_EQ(ReadAll(victim), "precious");
}

// The attack as another local user would run it: with XDG_RUNTIME_DIR unset the runtime folder
// is a fixed name in a shared folder, made first by the attacker, with the shared section's file
// a link to a file of the victim's.
TEST_F(PrivateFolder, FolderMadeFirstByAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a second local user (setuid in a forked child)";
    const uid_t other = UnusedUid();
    if (other == 0)
        GTEST_SKIP() << "no unused uid found to act as a second local user";
    const auto shared = m_home.Path() / "tmp";
    ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(m_home.Path().c_str(), 0755), 0);
    const auto victim = m_home.Path() / "victim.txt";
    WriteText(victim, "precious");
    const auto run = shared / "ostrel";
    ASSERT_TRUE(AsOtherUser(other, [&] {
        return mkdir(run.c_str(), 0700) == 0 && symlink(victim.c_str(), (run / "shm-Session").c_str()) == 0;
    }));
    setenv("XDG_RUNTIME_DIR", shared.c_str(), 1);

    const std::string problem = Platform::PrivateFoldersProblem();
    EXPECT_NE(problem.find("another user"), std::string::npos) << problem;
    Platform::SharedSection section;
    EXPECT_FALSE(section.Open(L"Session", 4096));
    EXPECT_EQ(ReadAll(victim), "precious");
}

// Without HOME the data folder must not sit below a shared, attacker-creatable path such as
// /tmp/.local; it is a per-user folder judged like the runtime folder.
TEST_F(PrivateFolder, DataFolderWithoutHomeIsPerUserAndPrivate) {
    const char* saved = std::getenv("HOME");
    const std::string home = saved ? saved : "";
    unsetenv("HOME");
    unsetenv("OSTREL_HOME");
    unsetenv("XDG_DATA_HOME");
    const auto expected = std::filesystem::path("/tmp") / ("ostrel-home-" + std::to_string(geteuid()));
    const bool bExisted = std::filesystem::exists(expected);
    const auto dir = Platform::OstrelHome();
    if (saved)
        setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(dir, expected);
    std::string problem;
    EXPECT_TRUE(Platform::EnsurePrivateDirectory(dir, &problem)) << problem;
    if (!bExisted)
        std::filesystem::remove(dir);
}
