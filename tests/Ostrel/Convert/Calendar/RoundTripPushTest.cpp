// Store to server to store: every item of the server-to-store corpus (tests/data/calendar-convert),
// once written into the store, is pushed with SetAppointmentRequest or SetTaskRequest, read back
// from the simulator and written into a second store item. The two items' text views must be
// equal, except for the lines tests/data/calendar-push/corpus-differences.txt lists and the README
// beside it explains. OSTREL_REGEN_CALENDAR_PUSH=1 rewrites that list (scripts/regen-calendar-push.sh).
#include "PushTestSupport.h"

#include "Support/Files.h"
#include "Support/TempHome.h"
#include "ostrel-server/Calendar.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace CalendarTest {
namespace {

fs::path DifferencesFile() {
    return TestSupport::DataDir() / "calendar-push" / "corpus-differences.txt";
}

// "<file>\t<diff line>" per line: what may differ for that item, each explained in the README.
std::multimap<std::string, std::string> ReadDifferences() {
    std::multimap<std::string, std::string> out;
    std::istringstream in(TestSupport::ReadFile(DifferencesFile()));
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos)
            out.emplace(line.substr(0, tab), line.substr(tab + 1) + "\n");
    }
    return out;
}

class RoundTripPush : public PushStore {};

TEST_F(RoundTripPush, EveryCorpusItemComesBackAsItWent) {
    std::vector<fs::path> inputs;
    for (const fs::directory_entry& e : fs::directory_iterator(TestSupport::DataDir() / "calendar-convert"))
        if (e.path().extension() == ".xml")
            inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_GE(inputs.size(), 40u);
    const bool bRegen = std::getenv("OSTREL_REGEN_CALENDAR_PUSH") != nullptr;
    const auto allowed = ReadDifferences();
    std::string sRecorded;
    for (const fs::path& xml : inputs) {
        const std::string sName = xml.filename().string();
        SCOPED_TRACE(sName);
        const std::string reply = TestSupport::ReadFile(xml);
        Result first = Convert(reply);
        ASSERT_EQ(first.iResult, 1) << testing::PrintToString(first.wsError);
        const bool bTask = reply.find("GetTaskResponse") != std::string::npos;
        RoundTrip trip = PushAndBack(first.pMessage.Get(), bTask);
        EXPECT_EQ(trip.back.wsWarning, L"");
        const std::string sDiff = LineDiff(trip.sBefore, trip.sAfter);
        std::string sAllowed;
        for (auto [it, last] = allowed.equal_range(sName); it != last; ++it)
            sAllowed += it->second;
        std::istringstream lines(sDiff);
        for (std::string line; std::getline(lines, line);)
            sRecorded += sName + "\t" + line + "\n";
        if (!bRegen) {
            EXPECT_EQ(sDiff, sAllowed) << "reply:\n" << trip.sReply;
        }
    }
    if (bRegen) {
        TestSupport::WriteFile(DifferencesFile(), sRecorded);
    }
}

}  // namespace
}  // namespace CalendarTest
