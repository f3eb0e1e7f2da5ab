#include "Platform/Base/HResult.h"
#include "Platform/Base/Paths.h"
#include "Platform/Ipc/Event.h"
#include "Platform/Ipc/MappedFile.h"
#include "Platform/Ipc/NamedMutex.h"
#include "Platform/Ipc/Names.h"
#include "Platform/Ipc/SharedSection.h"
#include "Support/TempHome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

namespace {

// A pipe used to step a forked child and its parent through a scenario without sleeping.
struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        close(fd[0]);
        close(fd[1]);
    }
    void Signal() { EXPECT_EQ(write(fd[1], "x", 1), 1); }
    bool Wait() {
        char c;
        return read(fd[0], &c, 1) == 1;
    }
};

int WaitChild(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(NamedMutex, OwnerThreadReentersOthersWait) {
    TestSupport::TempHome home;
    Platform::NamedMutex mutex(L"OSN-CRED-MUTEX");
    Platform::NamedMutex sameName(L"OSN-CRED-MUTEX");
    ASSERT_TRUE(mutex.IsOpen());
    EXPECT_EQ(mutex.Wait(0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(sameName.Wait(0), static_cast<DWORD>(WAIT_OBJECT_0)) << "same thread, second handle";

    DWORD other = 99;
    std::thread([&] { other = sameName.Wait(0); }).join();
    EXPECT_EQ(other, static_cast<DWORD>(WAIT_TIMEOUT));
    bool bReleasedByOther = true;
    std::thread([&] { bReleasedByOther = mutex.Release(); }).join();
    EXPECT_FALSE(bReleasedByOther);

    EXPECT_TRUE(mutex.Release());
    std::thread([&] { other = sameName.Wait(0); }).join();
    EXPECT_EQ(other, static_cast<DWORD>(WAIT_TIMEOUT)) << "still held once";
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release());

    std::thread([&] {
        other = sameName.Wait(INFINITE);
        sameName.Release();
    }).join();
    EXPECT_EQ(other, static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(NamedMutex, ExcludesOtherProcessesAndReportsAbandonment) {
    TestSupport::TempHome home;
    Pipe held, release;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Platform::NamedMutex mutex(L"Global\\shared lock");
        if (mutex.Wait(INFINITE) != WAIT_OBJECT_0)
            _exit(1);
        held.Signal();
        release.Wait();
        mutex.Release();
        if (mutex.Wait(INFINITE) != WAIT_OBJECT_0)
            _exit(2);
        held.Signal();
        _exit(0);  // dies holding it
    }
    Platform::NamedMutex mutex(L"Global\\shared lock");
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(mutex.Wait(0), static_cast<DWORD>(WAIT_TIMEOUT));
    release.Signal();
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_EQ(mutex.Wait(INFINITE), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_TRUE(mutex.Release());
    EXPECT_EQ(mutex.Wait(0), static_cast<DWORD>(WAIT_OBJECT_0)) << "a clean release is not abandonment";
    EXPECT_TRUE(mutex.Release());
}

// A forked child inherits the parent's mutex object and its lock file's descriptor, and its only
// thread has the id of the parent's thread that held the mutex: it must still wait like any other
// process, and its Release must not let go of the parent's lock.
TEST(NamedMutex, AForkedChildIsAnotherProcessToo) {
    TestSupport::TempHome home;
    Platform::NamedMutex mutex(L"OSN-FORKED");
    ASSERT_EQ(mutex.Wait(0), static_cast<DWORD>(WAIT_OBJECT_0));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(!mutex.Release() && mutex.Wait(0) == WAIT_TIMEOUT ? 0 : 1);
    EXPECT_EQ(WaitChild(child), 0) << "the child took a mutex its parent holds";
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Platform::NamedMutex other(L"OSN-FORKED");
        _exit(other.Wait(0) == WAIT_TIMEOUT ? 0 : 1);
    }
    EXPECT_EQ(WaitChild(child), 0) << "the parent's lock did not survive the child";
    EXPECT_TRUE(mutex.Release());
}

TEST(SharedSection, SharedWhileOpenFreshWhenLastUserLeft) {
    TestSupport::TempHome home;
    {
        Platform::SharedSection section;
        ASSERT_TRUE(section.Open(L"OSN-CRED-SHARE", 260));
        EXPECT_TRUE(section.Created());
        std::strcpy(static_cast<char*>(section.Data()), "from parent");

        Platform::SharedSection again;
        ASSERT_TRUE(again.Open(L"OSN-CRED-SHARE", 260));
        EXPECT_FALSE(again.Created());
        EXPECT_STREQ(static_cast<char*>(again.Data()), "from parent");

        Pipe done;
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Platform::SharedSection mine;
            if (!mine.Open(L"OSN-CRED-SHARE", 260) || mine.Created() ||
                std::strcmp(static_cast<char*>(mine.Data()), "from parent") != 0)
                _exit(1);
            std::strcpy(static_cast<char*>(mine.Data()), "from child");
            _exit(0);
        }
        EXPECT_EQ(WaitChild(child), 0);
        EXPECT_STREQ(static_cast<char*>(section.Data()), "from child");
    }
    Platform::SharedSection fresh;
    ASSERT_TRUE(fresh.Open(L"OSN-CRED-SHARE", 260));
    EXPECT_TRUE(fresh.Created());
    EXPECT_EQ(static_cast<char*>(fresh.Data())[0], '\0');
}

TEST(MappedFile, MapsGrowsAndFlushes) {
    TestSupport::TempHome home;
    const auto path = home.Path() / "data.idm";
    Platform::MappedFile empty;
    std::ofstream(path).close();
    EXPECT_FALSE(empty.Open(path, false, false));

    Platform::MappedFile file;
    ASSERT_TRUE(file.Open(path, true, true, 48));
    ASSERT_EQ(file.Size(), 48u);
    EXPECT_EQ(static_cast<char*>(file.Data())[47], '\0');
    std::memcpy(file.Data(), "OAPI", 4);
    ASSERT_TRUE(file.Grow(48 + 12 * 1000));
    EXPECT_EQ(file.Size(), 48u + 12 * 1000);
    EXPECT_EQ(std::memcmp(file.Data(), "OAPI", 4), 0);
    static_cast<char*>(file.Data())[file.Size() - 1] = 'Z';
    ASSERT_TRUE(file.Flush());

    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(content.size(), file.Size());
    EXPECT_EQ(content.substr(0, 4), "OAPI");
    EXPECT_EQ(content.back(), 'Z');

    Platform::MappedFile reader;
    ASSERT_TRUE(reader.Open(path, false, false));
    EXPECT_FALSE(reader.Grow(100000));
    EXPECT_EQ(reader.Size(), file.Size());

    // A link planted where a data file belongs is not followed, not even to create the file.
    const auto victim = home.Path() / "victim";
    std::ofstream(victim) << "keep";
    const auto planted = home.Path() / "planted.idm";
    std::filesystem::create_symlink(victim, planted);
    Platform::MappedFile linked;
    EXPECT_FALSE(linked.Open(planted, true, true, 4096));
    EXPECT_FALSE(linked.Flush());
    EXPECT_EQ(std::filesystem::file_size(victim), 4u);

    // Nor is a FIFO waited on for a writer: it is refused at once (in a child with a deadline, so
    // that a blocking open fails the test instead of hanging it).
    const auto fifo = home.Path() / "fifo.idm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        Platform::MappedFile mapped;
        _exit(mapped.Open(fifo, false, false) ? 1 : 0);
    }
    EXPECT_EQ(WaitChild(child), 0) << "opening a FIFO blocked or mapped it";
}

TEST(Event, AutoAndManualReset) {
    Platform::Event autoReset(false, true);
    EXPECT_EQ(autoReset.Wait(0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(autoReset.Wait(0), static_cast<DWORD>(WAIT_TIMEOUT));

    Platform::Event manual(true, false);
    EXPECT_EQ(manual.Wait(0), static_cast<DWORD>(WAIT_TIMEOUT));
    std::thread waiter1([&] { EXPECT_EQ(manual.Wait(INFINITE), static_cast<DWORD>(WAIT_OBJECT_0)); });
    std::thread waiter2([&] { EXPECT_EQ(manual.Wait(INFINITE), static_cast<DWORD>(WAIT_OBJECT_0)); });
    manual.Set();
    waiter1.join();
    waiter2.join();
    EXPECT_TRUE(manual.IsSet());
    manual.Reset();
    EXPECT_EQ(manual.Wait(0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Names, DistinctNamesNeverShareAFile) {
    TestSupport::TempHome home;
    const auto plain = Platform::NamedObjectPath("lock", L"OSTREL_ID_MAPPER_{0A1B}");
    EXPECT_EQ(plain.filename(), "lock-OSTREL_ID_MAPPER_{0A1B}");
    EXPECT_EQ(plain.parent_path(), Platform::RuntimeDir());
    EXPECT_NE(Platform::NamedObjectPath("lock", L"a/b"), Platform::NamedObjectPath("lock", L"a_b"));
    EXPECT_NE(Platform::NamedObjectPath("lock", L".."), Platform::NamedObjectPath("lock", L"__"));
    const auto longName = Platform::NamedObjectPath("lock", std::wstring(1000, L'x'));
    EXPECT_LT(longName.filename().string().size(), 200u);
    EXPECT_NE(longName, Platform::NamedObjectPath("lock", std::wstring(1001, L'x')));
}

// A later user asking for more room grows the section under the earlier one without losing what
// it holds; the earlier mapping keeps working. An empty section is refused.
TEST(SharedSection, GrowsForALaterUserAndKeepsTheData) {
    TestSupport::TempHome home;
    Platform::SharedSection small;
    ASSERT_TRUE(small.Open(L"OSN-GROW", 16));
    std::strcpy(static_cast<char*>(small.Data()), "kept");
    Platform::SharedSection large;
    ASSERT_TRUE(large.Open(L"OSN-GROW", 8192));
    EXPECT_FALSE(large.Created());
    EXPECT_EQ(large.Size(), 8192u);
    EXPECT_STREQ(static_cast<char*>(large.Data()), "kept");
    static_cast<char*>(large.Data())[8191] = 'z';  // the new room is really there
    std::strcpy(static_cast<char*>(small.Data()), "both");
    EXPECT_STREQ(static_cast<char*>(large.Data()), "both");

    Platform::SharedSection empty;
    errno = 0;
    EXPECT_FALSE(empty.Open(L"OSN-GROW", 0));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(empty.IsOpen());
}
