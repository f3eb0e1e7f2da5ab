// `ostrel sync` against the simulator: items a run leaves out are asked for again by the next
// incremental runs, a bounded number of times.
#include "Tools/Cli/CliTestSupport.h"

#include "ostrel/MailboxSync.h"

#include "ostrel-server/Soap.h"

#include <map>
#include <mutex>
#include <regex>

namespace CliTest {

namespace {

size_t JsonNumber(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\":([0-9]+)")))
        return static_cast<size_t>(-1);
    return std::stoul(match[1]);
}

class SyncRetryTest : public SimulatorTest {
protected:
    // Serves archives without the messages `missing` names, counting how often each id is asked for.
    void ServeArchivesWithout(const std::set<int32_t>* pMissing) {
        ServeArchives([this, pMissing](OstrelServer::ZipWriter& writer, int32_t id, const std::string& text) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_asked[id];
            }
            auto item = Mailbox().Item(id);
            if (!item || pMissing->count(id))
                return;
            writer.AddStored(text + ".meta", "<m id=\"" + text + "\" l=\"" + std::to_string(item->folderId) + "\"/>");
            writer.AddStored(text + ".eml", item->mime);
        });
    }

    int Asked(int32_t id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_asked[id];
    }

    std::string Log() const { return ReadFile(home.Path() / "home" / "logs" / "ostrel.log"); }

    std::mutex m_mutex;
    std::map<int32_t, int> m_asked;
};

TEST_F(SyncRetryTest, ItemsLeftOutAreAskedForAgainABoundedNumberOfTimes) {
    StartServer(6);
    ASSERT_EQ(Login().iExit, 0);
    std::vector<int32_t> ids;
    for (int32_t folder : AllFolders())
        for (int32_t id : Mailbox().ItemsIn(folder))
            ids.push_back(id);
    ASSERT_EQ(ids.size(), 6u);
    const int32_t flaky = ids[0], broken = ids[1], badListing = ids[2];
    std::set<int32_t> missing = {flaky, broken};
    ServeArchivesWithout(&missing);
    // The first listing names one message with a folder that is no number.
    std::string reply = Mailbox().Sync({});
    const std::string element = "id=\"" + std::to_string(badListing) + "\" l=\"";
    const size_t at = reply.find(element);
    ASSERT_NE(at, std::string::npos);
    reply.replace(at + element.size(), reply.find('"', at + element.size()) - at - element.size(), "x");
    server->Faults().Add(OstrelServer::Fault::For("SyncRequest", 1).Status(200, OstrelServer::SoapEnvelope(reply)));

    const CommandRun first = Sync();
    ASSERT_EQ(first.iExit, 0) << first.sErr;
    EXPECT_EQ(JsonNumber(first.sOut, "fetched"), 3u) << first.sOut;
    EXPECT_EQ(JsonNumber(first.sOut, "failed"), 3u) << first.sOut;
    EXPECT_TRUE(std::filesystem::exists(MailDir() / "retry"));

    // Nothing changed on the server, yet the next run fetches what the first left out.
    missing.erase(flaky);
    const CommandRun second = Sync();
    ASSERT_EQ(second.iExit, 0) << second.sErr;
    EXPECT_EQ(JsonNumber(second.sOut, "fetched"), 2u) << second.sOut;
    EXPECT_EQ(LocalMessages().size(), 5u);
    EXPECT_EQ(Asked(flaky), 2);

    // One the server never delivers is given up after a bounded number of attempts, with a line.
    for (int run = 0; run < 3; ++run)
        ASSERT_EQ(Sync().iExit, 0);
    EXPECT_EQ(Asked(broken), 1 + OstrelCli::kMaxRetries);
    EXPECT_NE(Log().find("Message " + std::to_string(broken) + " is still missing"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(MailDir() / "retry"));
    EXPECT_FALSE(std::filesystem::exists(MailDir() / "pending"));
    EXPECT_EQ(Asked(flaky) + Asked(badListing), 3) << "what arrived is not asked for again";
}

}  // namespace

}  // namespace CliTest
