#include "Support/TempHome.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

using Ostrel::Util::AutoCriticalSection;
using Ostrel::Util::AutoCrossProcessLock;
using Ostrel::Util::CriticalSection;
using Ostrel::Util::CrossProcessLock;

namespace {

int WaitChild(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool TryFromOtherThread(CriticalSection& cs) {
    BOOL bEntered = FALSE;
    std::thread([&] {
        bEntered = cs.TryEnter();
        if (bEntered)
            cs.Leave();
    }).join();
    return bEntered;
}

}  // namespace

TEST(CriticalSection, RecursiveForTheOwnerOnly) {
    CriticalSection cs(L"m_csTentativeList", 500);
    {
        AutoCriticalSection outer(cs);
        AutoCriticalSection inner(&cs);
        EXPECT_TRUE(cs.IsOwned());
        EXPECT_FALSE(TryFromOtherThread(cs));
        inner.Leave();
        EXPECT_FALSE(TryFromOtherThread(cs)) << "still entered once";
        std::thread([&] { cs.Leave(); }).join();  // a stranger's Leave changes nothing
        EXPECT_TRUE(cs.IsOwned());
        outer.Leave();
        EXPECT_TRUE(TryFromOtherThread(cs));
    }  // early-left holders do not leave again
    EXPECT_FALSE(cs.IsOwned());
    EXPECT_TRUE(cs.TryEnter());
    cs.Leave();
}

TEST(CrossProcessLock, SerialisesProcessesThatShareTheName) {
    TestSupport::TempHome home;
    const auto counterPath = home.Path() / "counter";
    {
        const int fd = open(counterPath.c_str(), O_RDWR | O_CREAT, 0600);
        const int zero = 0;
        ASSERT_EQ(pwrite(fd, &zero, sizeof zero, 0), static_cast<ssize_t>(sizeof zero));
        close(fd);
    }
    constexpr int kIncrements = 200;
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CrossProcessLock lock(L"cplFileMapperLock", 600, -1);
            lock.SetNoLog(TRUE);
            if (!lock.Init(L"OSTREL_ID_MAPPER_{TEST}"))
                _exit(1);
            const int fd = open(counterPath.c_str(), O_RDWR);
            for (int i = 0; i < kIncrements; ++i) {
                AutoCrossProcessLock hold(lock);
                AutoCrossProcessLock again(lock);  // re-entry by the owner
                if (!hold.IsLocked() || !again.IsLocked())
                    _exit(2);
                int value = 0;
                if (pread(fd, &value, sizeof value, 0) != sizeof value)
                    _exit(3);
                ++value;
                if (pwrite(fd, &value, sizeof value, 0) != sizeof value)
                    _exit(4);
            }
            close(fd);
            _exit(0);
        }
    }
    for (pid_t child : children)
        EXPECT_EQ(WaitChild(child), 0);
    const int fd = open(counterPath.c_str(), O_RDONLY);
    int value = 0;
    ASSERT_EQ(pread(fd, &value, sizeof value, 0), static_cast<ssize_t>(sizeof value));
    close(fd);
    EXPECT_EQ(value, 2 * kIncrements);
}

TEST(CrossProcessLock, ACrashedHolderNeverKeepsIt) {
    TestSupport::TempHome home;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CrossProcessLock lock(L"m_cplCertTrustMgr", 300);
        if (!lock.Init(L"OSTREL_CERT_TRUST_SHARED_MEM_PROTECT") || !lock.Lock())
            _exit(1);
        (void)!write(ready[1], "x", 1);
        _exit(0);  // dies holding the lock
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(WaitChild(child), 0);
    close(ready[0]);
    close(ready[1]);

    Ostrel::Util::LogCapture capture;
    CrossProcessLock lock(L"m_cplCertTrustMgr", 300);
    ASSERT_TRUE(lock.Init(L"OSTREL_CERT_TRUST_SHARED_MEM_PROTECT"));
    {
        AutoCrossProcessLock hold(lock);
        EXPECT_TRUE(hold.IsLocked());
        EXPECT_TRUE(lock.WasAbandoned());
    }
    EXPECT_TRUE(capture.Contains(L"was held by a process that ended without releasing it"));
    AutoCrossProcessLock again(lock);
    EXPECT_FALSE(lock.WasAbandoned());
}

TEST(CrossProcessLock, GivesUpAfterItsRetries) {
    TestSupport::TempHome home;
    CrossProcessLock holder(L"holder");
    ASSERT_TRUE(holder.Init(L"busy"));
    ASSERT_TRUE(holder.Lock());

    Ostrel::Util::LogCapture capture;
    BOOL bLocked = TRUE;
    std::thread([&] {
        CrossProcessLock waiter(L"waiter", 0, 2);
        waiter.Init(L"busy");
        bLocked = waiter.Lock();
    }).join();
    EXPECT_FALSE(bLocked);
    EXPECT_EQ(capture.Count(L"waiter: still waiting for lock 'busy'"), 2u);
    EXPECT_TRUE(capture.Contains(L"waiter: gave up waiting for lock 'busy' after 3 attempts"));
    holder.Unlock();

    CrossProcessLock unnamed;
    EXPECT_FALSE(unnamed.Lock());
}
