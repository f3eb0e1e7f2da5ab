// The client's junk-mail lists file: what it reads back, what counts as damaged (and is then left
// alone), writes that survive a killed writer, and the options-closed event.
#include "Platform/Base/Utf.h"
#include "Platform/Host/JunkMail.h"
#include "Support/Files.h"
#include "Support/TempHome.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <set>
#include <thread>

using namespace Platform::Host;

namespace {

class JunkMailTest : public ::testing::Test {
protected:
    JunkMailLists Read(HRESULT expected = S_OK) {
        JunkMailLists lists;
        EXPECT_EQ(ReadJunkMailLists(L"work", lists, &problem), expected) << TestSupport::ReadFile(Path());
        return lists;
    }
    static std::filesystem::path Path() { return JunkMailListsPath(L"work"); }

    TestSupport::TempHome home;
    std::wstring problem;
};

std::set<std::string> Names(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

JunkMailLists Numbered(const std::wstring& wsPrefix, int n) {
    JunkMailLists lists;
    for (int i = 0; i < n; ++i)
        lists.safeSenders.push_back(wsPrefix + std::to_wstring(i) + L"@example.com");
    lists.blockedSenders = {wsPrefix + L".example"};
    return lists;
}

}  // namespace

TEST_F(JunkMailTest, ListsComeBackAsWritten) {
    Read(S_FALSE);  // no lists yet
    JunkMailLists lists{{L"Ann@Example.com", L"  bob@x.org  ", L"ünï@cödé.de", L""}, {L"@spam.example"}, {L"bad"}};
    ASSERT_EQ(WriteJunkMailLists(L"work", lists), S_OK);
    const JunkMailLists back = Read();
    EXPECT_EQ(back.safeSenders, (std::vector<std::wstring>{L"Ann@Example.com", L"bob@x.org", L"ünï@cödé.de"}));
    EXPECT_EQ(back.blockedSenders, lists.blockedSenders);
    EXPECT_EQ(back.invalidDomains, lists.invalidDomains);
}

// Each file of tests/data/junk-mail read as the lists it holds or the damage found, beside the
// expected reading (*.ref). OSTREL_REGENERATE=1 rewrites those (regenerate.sh).
TEST(JunkMailFileTest, EveryListsFileReadsAsExpected) {
    const std::filesystem::path dir = TestSupport::DataDir() / "junk-mail";
    const bool bRegenerate = std::getenv("OSTREL_REGENERATE") != nullptr;
    int cCases = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".lists")
            continue;
        ++cCases;
        NamedLists lists;
        std::wstring wsProblem;
        const HRESULT hr = ReadListsFile(entry.path(), {"safe senders", "blocked senders", "invalid blocked domains"},
                                         lists, &wsProblem);
        std::string reading = hr == S_OK ? "read\n" : hr == kJunkMailListsDamaged ? "damaged\n" : "failed\n";
        if (!wsProblem.empty())  // without the path, which differs between checkouts
            reading += Platform::ToUtf8(wsProblem.substr(wsProblem.find(L": ") + 2)) + "\n";
        for (const auto& [name, entries] : lists) {
            reading += "[" + name + "] " + std::to_string(entries.size()) + "\n";
            for (const std::wstring& wsEntry : entries)
                reading += "  " + Platform::ToUtf8(wsEntry) + "\n";
        }
        const std::filesystem::path ref = entry.path().string() + ".ref";
        if (bRegenerate)
            std::ofstream(ref, std::ios::binary) << reading;
        else
            EXPECT_EQ(reading, TestSupport::ReadFile(ref)) << entry.path();
    }
    EXPECT_GE(cCases, 15);
}

TEST_F(JunkMailTest, ADamagedFileIsReportedAndLeftAsItIs) {
    ASSERT_EQ(WriteJunkMailLists(L"work", Numbered(L"a", 3)), S_OK);
    const std::string text = "[safe senders]\nann@example.com\n";  // cut short
    TestSupport::WriteFile(Path(), text);
    const JunkMailLists lists = Read(kJunkMailListsDamaged);
    EXPECT_TRUE(lists.safeSenders.empty());
    EXPECT_NE(problem.find(Platform::FromUtf8(Path().string()) + L": damaged"), std::wstring::npos);
    EXPECT_EQ(TestSupport::ReadFile(Path()), text);

    // Nothing but a regular file of our own is read.
    std::filesystem::remove(Path());
    ASSERT_EQ(WriteJunkMailLists(L"elsewhere", Numbered(L"a", 3)), S_OK);
    std::filesystem::create_symlink(JunkMailListsPath(L"elsewhere"), Path());
    Read(STG_E_READFAULT);
}

// Whatever else sits where the lists belong is refused at once: a FIFO nobody writes to is not
// waited on, a sparse file far beyond any real list is not read into memory, and a folder can be
// neither read nor replaced (the failed write leaves no temporary file behind).
TEST_F(JunkMailTest, WhatIsNoListsFileIsRefusedAtOnce) {
    const std::filesystem::path dir = Path().parent_path();
    std::filesystem::create_directories(dir);
    ASSERT_EQ(::mkfifo(Path().c_str(), 0600), 0);
    // Read in a child, so that a read that blocks fails the test instead of hanging the run.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(10);
        JunkMailLists lists;
        ::_exit(ReadJunkMailLists(L"work", lists) == STG_E_READFAULT ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "the read blocked on a FIFO" : "the FIFO was not refused");
    std::filesystem::remove(Path());

    TestSupport::WriteFile(Path(), "");
    ASSERT_EQ(::truncate(Path().c_str(), (off_t(64) << 20) + 1), 0);
    Read(STG_E_READFAULT);
    EXPECT_NE(problem.find(L"larger than 64 MiB"), std::wstring::npos) << Platform::ToUtf8(problem);
    std::filesystem::remove(Path());

    std::filesystem::create_directory(Path());
    Read(STG_E_READFAULT);
    EXPECT_NE(problem.find(L"not a regular file"), std::wstring::npos) << Platform::ToUtf8(problem);
    EXPECT_EQ(WriteJunkMailLists(L"work", Numbered(L"a", 2)), STG_E_WRITEFAULT);
    EXPECT_EQ(Names(dir), std::set<std::string>{"work.lists"});
    EXPECT_TRUE(std::filesystem::is_directory(Path()));
}

TEST_F(JunkMailTest, WhatCannotBeReadBackIsNeverWritten) {
    ASSERT_EQ(WriteJunkMailLists(L"work", Numbered(L"a", 2)), S_OK);
    const std::string before = TestSupport::ReadFile(Path());
    const std::wstring wsSurrogate{L'a', static_cast<wchar_t>(0xD800)}, wsBeyond{static_cast<wchar_t>(0x110000)};
    for (const wchar_t* pwsz : {L"a@x\nb@y", L"[end]", L"#x@y", L"a\x7F", wsSurrogate.c_str(), wsBeyond.c_str()}) {
        JunkMailLists lists;
        lists.blockedSenders = {pwsz};
        EXPECT_EQ(WriteJunkMailLists(L"work", lists), E_INVALIDARG) << pwsz;
    }
    EXPECT_EQ(TestSupport::ReadFile(Path()), before);
    JunkMailLists lists;
    EXPECT_TRUE(IsValidJunkMailProfile(std::wstring(62, L'a') + L"@x"));
    for (const std::wstring& ws : {std::wstring(65, L'a'), std::wstring(L"w\u00f6rk")})
        EXPECT_FALSE(IsValidJunkMailProfile(ws)) << Platform::ToUtf8(ws);
    for (const wchar_t* pwsz : {L"../work", L".work", L"a/b", L""}) {
        EXPECT_EQ(WriteJunkMailLists(pwsz, lists), E_INVALIDARG) << pwsz;
        EXPECT_EQ(ReadJunkMailLists(pwsz, lists), E_INVALIDARG) << pwsz;
    }
}

TEST_F(JunkMailTest, ReadersAndAKilledWriterSeeTheOldOrTheNewListsWhole) {
    const JunkMailLists first = Numbered(L"first", 3000), second = Numbered(L"second", 2000);
    ASSERT_EQ(WriteJunkMailLists(L"work", first), S_OK);
    for (int round = 0; round < 6; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i)
                if (FAILED(WriteJunkMailLists(L"work", i % 2 ? first : second)))
                    ::_exit(3);
        }
        // Ends the writer however this round ends; Kill gives how it ended.
        struct Writer {
            pid_t pid;
            int Kill() {
                int status = 0;
                if (pid > 0) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, &status, 0);
                    pid = 0;
                }
                return status;
            }
            ~Writer() { Kill(); }
        } writer{child};
        // Readers meanwhile only ever see whole lists, too.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 + 20 * round);
        while (std::chrono::steady_clock::now() < until) {
            JunkMailLists seen;
            ASSERT_EQ(ReadJunkMailLists(L"work", seen, &problem), S_OK) << problem;
        }
        const int status = writer.Kill();
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own";
        const JunkMailLists lists = Read();
        EXPECT_TRUE(lists.safeSenders == first.safeSenders || lists.safeSenders == second.safeSenders);
        EXPECT_EQ(lists.blockedSenders.size(), 1u);
    }
    // Whatever the killed writers left is gone once the file is written again.
    ASSERT_EQ(WriteJunkMailLists(L"work", first), S_OK);
    EXPECT_EQ(Names(Path().parent_path()), std::set<std::string>{"work.lists"});
}

TEST_F(JunkMailTest, AWriteRemovesOnlyTheTemporariesOfDeadWriters) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    ASSERT_EQ(WriteJunkMailLists(L"home", Numbered(L"h", 1)), S_OK);
    const std::filesystem::path dir = Path().parent_path();
    const std::string dead = std::to_string(child), alive = std::to_string(::getpid());
    for (const std::string& name : {"work.lists.tmp-" + dead + "-aB3xYz", "work.lists.tmp-" + alive + "-aB3xYz",
                                    "home.lists.tmp-" + dead + "-aB3xYz", "work.lists.tmp-x" + dead + "-aB3xYz"})
        TestSupport::WriteFile(dir / name, "[safe senders]\n");

    ASSERT_EQ(WriteJunkMailLists(L"work", Numbered(L"a", 2)), S_OK);
    EXPECT_EQ(Names(dir),
              (std::set<std::string>{"home.lists", "work.lists", "work.lists.tmp-" + alive + "-aB3xYz",
                                     "home.lists.tmp-" + dead + "-aB3xYz", "work.lists.tmp-x" + dead + "-aB3xYz"}));
}

TEST_F(JunkMailTest, ClosingTheOptionsReachesEveryObserverStillRegistered) {
    std::vector<std::wstring> heard;
    const int first = AddJunkMailOptionsObserver([&](const std::wstring& p) { heard.push_back(L"1:" + p); });
    const int second = AddJunkMailOptionsObserver([&](const std::wstring& p) { heard.push_back(L"2:" + p); });
    JunkMailOptionsClosed(L"work");
    RemoveJunkMailOptionsObserver(first);
    JunkMailOptionsClosed(L"home");
    RemoveJunkMailOptionsObserver(second);
    JunkMailOptionsClosed(L"none");
    EXPECT_EQ(heard, (std::vector<std::wstring>{L"1:work", L"2:work", L"2:home"}));
}

TEST_F(JunkMailTest, RemovingAnObserverWaitsForItsCallOnAnotherThread) {
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    const int handle = AddJunkMailOptionsObserver([&](const std::wstring&) {
        entered.set_value();
        released.wait();
    });
    std::thread host([] { JunkMailOptionsClosed(L"work"); });
    entered.get_future().wait();
    auto removed = std::async(std::launch::async, [&] { RemoveJunkMailOptionsObserver(handle); });
    EXPECT_EQ(removed.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release.set_value();
    removed.get();
    host.join();

    // An observer may remove itself from its own call.
    int self = 0, calls = 0;
    self = AddJunkMailOptionsObserver([&](const std::wstring&) {
        ++calls;
        RemoveJunkMailOptionsObserver(self);
    });
    JunkMailOptionsClosed(L"work");
    JunkMailOptionsClosed(L"work");
    EXPECT_EQ(calls, 1);
}
