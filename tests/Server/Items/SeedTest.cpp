// Seed mailboxes: what a seed holds, and damaged seeds that are refused without touching the mailbox.
#include "MailboxTestSupport.h"

#include "Ostrel/Rpc/Requests/ItemRequests.h"

#include <cstdlib>
#include <fstream>

using namespace ItemTest;

namespace {

class SeedTest : public ::testing::Test {
protected:
    void SetUp() override { server.Start(); }

    // Writes mailbox.xml (and the named files) into a fresh directory.
    std::filesystem::path Seed(const std::string& xml, const std::map<std::string, std::string>& files = {}) {
        std::filesystem::path dir = home.Path() / ("seed" + std::to_string(++m_seeds));
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "mailbox.xml") << xml;
        for (const auto& [name, content] : files)
            std::ofstream(dir / name) << content;
        return dir;
    }

    TestSupport::TempHome home;
    OstrelServer::Server server;
    int m_seeds = 0;
};

}  // namespace

TEST_F(SeedTest, TheTestSeedHoldsWhatItLists) {
    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(server);
    mailbox.LoadSeed(TestSupport::DataDir() / "mailbox");
    EXPECT_EQ(mailbox.ItemCount(), 12u);
    EXPECT_EQ(mailbox.Item(401)->subject, "Quarterly report");
    EXPECT_EQ(mailbox.Item(440)->content, "Plan\n====\n1. Start.\n2. Finish.\n");
    EXPECT_EQ(mailbox.Item(402)->tags, (std::vector<int32_t>{64, 65}));
    EXPECT_EQ(mailbox.Folder(300)->acl.at(0).d, "bob@ostrel.test");
    EXPECT_EQ(mailbox.Metadata("bes").at("ff"), "server=mail.ostrel.test");
    // The seed's contacts replace the contact book's.
    auto reply = server.State<OstrelServer::ContactBook>().GetContacts(*OstrelServer::SoapDocument::Parse(
        OstrelServer::SoapEnvelope("<GetContactsRequest xmlns=\"urn:ostrelMail\"/>")));
    EXPECT_NE(reply.bodyXml.find("Carla"), std::string::npos);
    EXPECT_EQ(reply.bodyXml.find("Ann"), std::string::npos);
}

TEST_F(SeedTest, DamagedSeedsAreRefusedAndChangeNothing) {
    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(server);
    mailbox.LoadSeed(Seed("<mailbox><m l=\"2\" file=\"a.eml\"/></mailbox>", {{"a.eml", "Subject: kept\r\n\r\n"}}));
    uint64_t rev = mailbox.Revision();
    const std::string bad[] = {
        "<mailbox><m l=\"2\"></mailbox>",                                     // malformed
        "<!DOCTYPE mailbox [<!ENTITY x \"y\">]><mailbox/>",                   // DTD
        "<box/>",                                                             // wrong root
        "<mailbox><folder name=\"A\"/><spam/></mailbox>",                     // unknown element
        "<mailbox><m l=\"2\" file=\"../secret.eml\"/></mailbox>",             // outside the directory
        "<mailbox><m l=\"2\" file=\"missing.eml\"/></mailbox>",               // no such file
        "<mailbox><m id=\"300\" l=\"2\"/><m id=\"300\" l=\"2\"/></mailbox>",  // id twice
        "<mailbox><m l=\"77\"/></mailbox>",                                   // no such folder
        "<mailbox><m l=\"2\" t=\"99\"/></mailbox>",                           // no such tag
        "<mailbox><doc name=\"a\"/><doc name=\"A\"/></mailbox>",              // name twice
    };
    for (const std::string& xml : bad) {
        EXPECT_THROW(mailbox.LoadSeed(Seed(xml)), std::runtime_error) << xml;
        EXPECT_EQ(mailbox.Revision(), rev);
        EXPECT_EQ(mailbox.ItemCount(), 1u);
    }
    try {
        mailbox.LoadSeed(Seed("<mailbox>\n<tag name=\"A\"/>\n<m l=\"2\" t=\"99\"/>\n</mailbox>"));
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("line 3: no such tag: 99"), std::string::npos) << e.what();
    }
    EXPECT_THROW(mailbox.LoadSeed(home.Path() / "nowhere"), std::runtime_error);
}

TEST_F(SeedTest, TheServerLoadsTheSeedNamedInItsEnvironment) {
    std::filesystem::path dir = Seed("<mailbox><folder id=\"500\" name=\"From the environment\"/></mailbox>");
    setenv("OSTREL_SERVER_MAILBOX", dir.c_str(), 1);
    OstrelServer::Server other;
    EXPECT_EQ(OstrelServer::DefaultMailbox(other).Folder(500)->name, "From the environment");
    unsetenv("OSTREL_SERVER_MAILBOX");
}
