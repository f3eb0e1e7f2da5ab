// The client's junk-mail lists file: what it reads back, what counts as damaged (and is then left
// alone), writes that survive a killed writer, and the options-closed event.
#include "Platform/Host/JunkMail.h"
#include "Support/Files.h"
#include "Support/TempHome.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

JunkMailLists Numbered(const std::wstring& wsPrefix, int n) {
    JunkMailLists lists;
    for (int i = 0; i < n; ++i)
        lists.safeSenders.push_back(wsPrefix + std::to_wstring(i) + L"@example.com");
    lists.blockedSenders = {wsPrefix + L".example"};
    return lists;
}

}  // namespace

TEST_F(JunkMailTest, ListsComeBackAsWrittenAndHandEditsAreRead) {
    Read(S_FALSE);  // no lists yet
    JunkMailLists lists{{L"Ann@Example.com", L"  bob@x.org  ", L"ünï@cödé.de", L""}, {L"@spam.example"}, {L"bad"}};
    ASSERT_EQ(WriteJunkMailLists(L"work", lists), S_OK);
    const JunkMailLists back = Read();
    EXPECT_EQ(back.safeSenders, (std::vector<std::wstring>{L"Ann@Example.com", L"bob@x.org", L"ünï@cödé.de"}));
    EXPECT_EQ(back.blockedSenders, lists.blockedSenders);
    EXPECT_EQ(back.invalidDomains, lists.invalidDomains);

    TestSupport::WriteFile(Path(),
                           "# mine\r\n\r\n[blocked senders]\r\n  a.example \r\n[safe senders]\n"
                           "x@y\n[blocked senders]\nb.example\n[end]\n\n# trailing comment\n");
    const JunkMailLists edited = Read();
    EXPECT_EQ(edited.blockedSenders, (std::vector<std::wstring>{L"a.example", L"b.example"}));
    EXPECT_EQ(edited.safeSenders, std::vector<std::wstring>{L"x@y"});
}

TEST_F(JunkMailTest, ADamagedFileIsReportedAndLeftAsItIs) {
    ASSERT_EQ(WriteJunkMailLists(L"work", Numbered(L"a", 3)), S_OK);
    const std::string good = TestSupport::ReadFile(Path());
    const std::string damaged[] = {
        good.substr(0, good.find("[end]")),         // cut short
        good + "late@x\n",                          // after [end]
        "[safe senders]\na@x\n[friends]\n[end]\n",  // unknown heading
        "a@x\n[safe senders]\n[end]\n",             // before any heading
        "[safe senders]\na@x\n[end\n",              // heading without its bracket
        std::string("[safe senders]\na\0b\n[end]\n", 22),
        "[safe senders]\n\xC3\x28@x\n[end]\n",  // invalid UTF-8
    };
    for (const std::string& text : damaged) {
        TestSupport::WriteFile(Path(), text);
        const JunkMailLists lists = Read(kJunkMailListsDamaged);
        EXPECT_TRUE(lists.safeSenders.empty() && lists.blockedSenders.empty());
        EXPECT_NE(problem.find(L"damaged"), std::wstring::npos) << problem;
        EXPECT_EQ(TestSupport::ReadFile(Path()), text);
    }

    // Nothing but a regular file of our own is read.
    std::filesystem::remove(Path());
    std::filesystem::create_symlink(home.Path() / "elsewhere", Path());
    TestSupport::WriteFile(home.Path() / "elsewhere", good);
    Read(STG_E_READFAULT);
}

TEST_F(JunkMailTest, WhatCannotBeReadBackIsNeverWritten) {
    ASSERT_EQ(WriteJunkMailLists(L"work", Numbered(L"a", 2)), S_OK);
    const std::string before = TestSupport::ReadFile(Path());
    for (const wchar_t* pwsz : {L"a@x\nb@y", L"[end]", L"#x@y", L"a\x7F"}) {
        JunkMailLists lists;
        lists.blockedSenders = {pwsz};
        EXPECT_EQ(WriteJunkMailLists(L"work", lists), E_INVALIDARG) << pwsz;
    }
    EXPECT_EQ(TestSupport::ReadFile(Path()), before);
    JunkMailLists lists;
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
