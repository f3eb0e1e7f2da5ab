#include "Ostrel/Trust/CertTrustMgr.h"
#include "Ostrel/Trust/TrustStore.h"
#include "Support/Child.h"
#include "Support/TempHome.h"
#include "Util/Time/Clock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace Ostrel::Mapi;

namespace {

TrustRecord Record(const wchar_t* pwszServer, BYTE fill, int64_t llUntil) {
    TrustRecord record{pwszServer, {}, llUntil};
    record.sha1.fill(fill);
    return record;
}

// Runs `work` in a child process; returns its pid.
template <class Work>
pid_t Child(Work work) {
    pid_t pid = ::fork();
    if (pid == 0) {
        work();
        ::_exit(0);
    }
    return pid;
}

class TrustStoreTest : public ::testing::Test {
protected:
    TestSupport::TempHome home;
    std::filesystem::path path = home.Path() / "cert-trust";
    TrustStore store{path};
};

// A store that is not whole or not ours is reported and trusts nothing.
TEST_F(TrustStoreTest, DamagedStoreIsReportedAndTrustsNothing) {
    TrustRecord record;
    EXPECT_EQ(store.Read(record), TrustStoreState::Empty);
    TrustRecord written = Record(L"mail.example", 0xAB, 1700000000);
    ASSERT_TRUE(store.Write(written));
    ASSERT_EQ(store.Read(record), TrustStoreState::Valid);
    EXPECT_EQ(record.wsServer, written.wsServer);
    EXPECT_EQ(record.sha1, written.sha1);
    EXPECT_EQ(record.llUntil, written.llUntil);
    const std::string good = FormatTrustRecord(written);

    auto writeRaw = [&](const std::string& text) {
        std::filesystem::remove(path);
        std::ofstream(path, std::ios::binary) << text;
    };
    std::string flipped = good;
    flipped[good.find("sha1 ") + 5] = 'C';  // another certificate, check no longer matches
    std::string otherUntil = good;
    otherUntil[good.find("until ") + 6] = '9';
    for (const std::string& text :
         {flipped, otherUntil, good.substr(0, good.size() / 2), good.substr(0, good.size() - 1),
          std::string("\x00\xff", 2), std::string(), good + "extra\n", std::string(5000, 'x')}) {
        writeRaw(text);
        EXPECT_EQ(store.Read(record), TrustStoreState::Damaged) << text;
        EXPECT_TRUE(record.wsServer.empty());
    }

    // The manager reports it and trusts nothing from it.
    CertTrustMgr manager(path, home.Path() / "session-trust");
    TrustState state = manager.State();
    EXPECT_TRUE(state.bDamaged);
    EXPECT_FALSE(state.record);
    EXPECT_FALSE(manager.IsFingerprintTrusted(written.sha1));

    // A link in place of the store is not followed.
    std::filesystem::path target = home.Path() / "elsewhere";
    {
        TrustStore other(target);
        ASSERT_TRUE(other.Write(written));
    }
    std::filesystem::remove(path);
    std::filesystem::create_symlink(target, path);
    EXPECT_EQ(store.Read(record), TrustStoreState::Damaged);

    // Nor is a FIFO waited on for a writer.
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(TestSupport::RunInChild([&] { return store.Read(record) == TrustStoreState::Damaged; }),
              TestSupport::ChildOutcome::Succeeded);

    // Nor is a whole record in a folder that others may write to.
    const std::filesystem::path shared = home.Path() / "shared";
    std::filesystem::create_directory(shared);
    TrustStore planted(shared / "cert-trust");
    ASSERT_TRUE(planted.Write(written));
    std::filesystem::permissions(shared, std::filesystem::perms::others_write, std::filesystem::perm_options::add);
    EXPECT_EQ(planted.Read(record), TrustStoreState::Damaged);
}

// A writer killed at any moment leaves the old or the new record, never a damaged one.
TEST_F(TrustStoreTest, KilledWriterLeavesAWholeRecord) {
    ASSERT_TRUE(store.Write(Record(L"mail.example", 0, 100)));
    for (int round = 0; round < 20; ++round) {
        pid_t pid = Child([&] {
            for (int i = 0;; ++i)
                store.Write(Record(L"mail.example", static_cast<BYTE>(i), 100 + i));
        });
        ::usleep(2000 + 1500 * round);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        TrustRecord record;
        ASSERT_EQ(store.Read(record), TrustStoreState::Valid) << "round " << round;
        EXPECT_EQ(static_cast<BYTE>(record.llUntil - 100), record.sha1[0]);
    }
}

// Two processes writing at once: a reader always finds one whole record of either.
TEST_F(TrustStoreTest, TwoWritersAtOnceNeverDamageTheStore) {
    ASSERT_TRUE(store.Write(Record(L"first.example", 1, 1)));
    auto writer = [&](const wchar_t* pwszServer, BYTE fill) {
        return Child([&, pwszServer, fill] {
            for (int i = 0; i < 300; ++i)
                if (!store.Write(Record(pwszServer, fill, 1 + i)))
                    ::_exit(1);
        });
    };
    pid_t a = writer(L"first.example", 1);
    pid_t b = writer(L"second.example", 2);
    int damaged = 0;
    for (int i = 0; i < 300; ++i) {
        TrustRecord record;
        TrustStoreState state = store.Read(record);
        damaged += state != TrustStoreState::Valid;
        if (state == TrustStoreState::Valid) {
            EXPECT_EQ(record.sha1[0], record.wsServer == L"first.example" ? 1 : 2);
        }
    }
    int statusA = 0, statusB = 0;
    ::waitpid(a, &statusA, 0);
    ::waitpid(b, &statusB, 0);
    EXPECT_EQ(damaged, 0);
    EXPECT_TRUE(WIFEXITED(statusA) && WEXITSTATUS(statusA) == 0);
    EXPECT_TRUE(WIFEXITED(statusB) && WEXITSTATUS(statusB) == 0);
    TrustRecord record;
    EXPECT_EQ(store.Read(record), TrustStoreState::Valid);
    EXPECT_EQ(record.llUntil, 300);
}

// Trust follows the injectable clock; a second server cannot take over a held trust; session
// trust is kept apart from period trust.
TEST_F(TrustStoreTest, TrustPeriodsFollowTheClock) {
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    std::filesystem::path sessionPath = home.Path() / "session-trust";
    CertTrustMgr manager(path, sessionPath);
    Platform::CertFingerprint fp;
    fp.fill(7);
    bool bExpired = true;
    EXPECT_FALSE(manager.IsWithinTrustPeriod(bExpired));
    EXPECT_FALSE(bExpired);
    EXPECT_FALSE(manager.TrustTimeExists());

    ASSERT_TRUE(manager.SetTrust(L"mail.example", nullptr, fp, 5));
    EXPECT_FALSE(manager.SetTrust(L"other.example", nullptr, Platform::CertFingerprint{}, 60));
    EXPECT_TRUE(manager.IsFingerprintTrusted(fp));
    clock.Advance(4 * 60 * 1000);
    EXPECT_TRUE(manager.IsWithinTrustPeriod(bExpired));
    clock.Advance(61 * 1000);
    EXPECT_FALSE(manager.IsWithinTrustPeriod(bExpired));
    EXPECT_TRUE(bExpired);
    EXPECT_TRUE(manager.TrustTimeExists());

    // Another process's manager sees the same decision.
    ASSERT_TRUE(manager.SetTrust(L"mail.example", nullptr, fp, TrustPeriod::kThisSession));
    EXPECT_FALSE(std::filesystem::exists(path));
    CertTrustMgr other(path, sessionPath);
    clock.Advance(365LL * 24 * 3600 * 1000);
    EXPECT_TRUE(other.IsWithinTrustPeriod(bExpired));
    EXPECT_TRUE(other.IsFingerprintTrusted(fp));

    other.ClearTrust();
    EXPECT_FALSE(manager.TrustTimeExists());
    EXPECT_FALSE(std::filesystem::exists(sessionPath));

    // Once: this process only.
    ASSERT_TRUE(manager.SetTrust(L"mail.example", nullptr, fp, TrustPeriod::kOnce));
    EXPECT_TRUE(manager.IsFingerprintTrusted(fp));
    EXPECT_FALSE(other.IsFingerprintTrusted(fp));
}

}  // namespace
