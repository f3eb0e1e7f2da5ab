// The calendar conversion corpus: each NN-name.xml under tests/data/calendar-convert is a reply of
// the simulator to GetAppointmentRequest or GetTaskRequest, beside NN-name.store.ref, the text view
// of the store item it converts into. OSTREL_REGEN_CALENDAR_GOLDENS=1 fetches the replies from the
// simulator again and rewrites both files (scripts/regen-calendar-goldens.sh); review the diff.
#include "CalendarTestSupport.h"

#include "Support/Files.h"
#include "Support/TempHome.h"
#include "ostrel-server/Calendar.h"
#include "ostrel-server/Server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

fs::path CorpusDir() {
    return TestSupport::DataDir() / "calendar-convert";
}

// A file name from the item's uid: "uid-weekly-london-dst" becomes "weekly-london-dst".
std::string NameOf(const OstrelServer::CalendarItem& item) {
    std::string name = item.Uid();
    if (name.rfind("uid-", 0) == 0)
        name = name.substr(4);
    return name;
}

class CalendarGolden : public CalendarTest::CalendarStore {};

// The simulator's reply for each of its seeded items, over HTTP, named as in the corpus.
std::vector<std::pair<std::string, std::string>> ServedReplies() {
    OstrelServer::Server server;
    server.Start();
    auto& book = server.State<OstrelServer::CalendarBook>();
    std::vector<std::pair<std::string, std::string>> replies;
    for (int32_t id : book.Ids()) {
        const OstrelServer::CalendarItem item = *book.Get(id);
        const char* pszCall = item.task ? "GetTaskRequest" : "GetAppointmentRequest";
        const std::string reply = CalendarTest::Post(
            server, pszCall,
            std::string("<") + pszCall + " xmlns=\"urn:ostrelMail\" id=\"" + std::to_string(id) + "\" sync=\"1\"/>");
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02zu-", replies.size() + 1);
        replies.emplace_back(prefix + NameOf(item) + ".xml", reply + "\n");
    }
    server.Stop();
    return replies;
}

}  // namespace

// Rewrites the corpus from the simulator's seeded items (only with OSTREL_REGEN_CALENDAR_GOLDENS=1).
TEST_F(CalendarGolden, RegenerateFromTheSimulator) {
    if (!std::getenv("OSTREL_REGEN_CALENDAR_GOLDENS"))
        GTEST_SKIP() << "set OSTREL_REGEN_CALENDAR_GOLDENS=1 to rewrite the corpus";
    const auto replies = ServedReplies();
    for (const fs::directory_entry& e : fs::directory_iterator(CorpusDir()))
        fs::remove(e.path());
    for (const auto& [name, reply] : replies) {
        const fs::path xml = CorpusDir() / name;
        TestSupport::WriteFile(xml, reply);
        Result result = Convert(reply);
        ASSERT_EQ(result.iResult, 1) << xml << ": " << testing::PrintToString(result.wsError);
        fs::path ref = xml;
        ref.replace_extension(".store.ref");
        TestSupport::WriteFile(ref, Dump(result.pMessage.Get()));
    }
}

// The corpus is what the simulator serves: a change to its data set shows up here first.
TEST_F(CalendarGolden, TheCorpusIsWhatTheSimulatorServes) {
    for (const auto& [name, reply] : ServedReplies())
        EXPECT_EQ(TestSupport::ReadFile(CorpusDir() / name), reply) << name;
}

TEST_F(CalendarGolden, EveryServerItemConvertsAsRecorded) {
    std::vector<fs::path> inputs;
    for (const fs::directory_entry& e : fs::directory_iterator(CorpusDir()))
        if (e.path().extension() == ".xml")
            inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_GE(inputs.size(), 40u);
    int cTasks = 0;
    for (const fs::path& xml : inputs) {
        SCOPED_TRACE(xml.filename().string());
        const std::string reply = TestSupport::ReadFile(xml);
        cTasks += reply.find("GetTaskResponse") != std::string::npos;
        Result result = Convert(reply);
        ASSERT_EQ(result.iResult, 1) << testing::PrintToString(result.wsError);
        EXPECT_EQ(result.wsWarning, L"");
        fs::path ref = xml;
        ref.replace_extension(".store.ref");
        EXPECT_EQ(Dump(result.pMessage.Get()), TestSupport::ReadFile(ref));
    }
    EXPECT_GE(cTasks, 5);
}
