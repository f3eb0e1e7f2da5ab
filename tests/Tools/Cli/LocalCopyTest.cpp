// The pieces under `ostrel sync`: its state on disk with damaged files, the old file copy, and
// reading synchronisation replies that break the rules.
#include "CliTestSupport.h"

#include "ostrel/LocalMailbox.h"
#include "ostrel/SyncChanges.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"

#include <stdexcept>

namespace CliTest {

namespace {

using OstrelCli::LocalMailbox;

class LocalCopyTest : public ::testing::Test {
protected:
    std::filesystem::path Dir() const { return home.Path() / "mail"; }

    TestSupport::TempHome home;
};

TEST_F(LocalCopyTest, PendingStateAndDamagedFiles) {
    LocalMailbox local(Dir());
    EXPECT_FALSE(local.Token());
    EXPECT_FALSE(local.Pending());
    local.SetPending({"41", {7, 8, 9}, {3}, {20}, {21, 22}, {23}});
    auto pending = local.Pending();
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->sToken, "41");
    EXPECT_EQ(pending->toFetch, (std::vector<int32_t>{7, 8, 9}));
    EXPECT_EQ(pending->toDelete, (std::vector<int32_t>{3}));
    EXPECT_EQ(pending->appointments, (std::vector<int32_t>{21, 22}));
    EXPECT_EQ(pending->tasks, (std::vector<int32_t>{23}));
    local.Commit("41");
    EXPECT_EQ(local.Token(), std::string("41"));
    EXPECT_FALSE(local.Pending()) << "committing ends the pending synchronisation";

    std::ofstream(Dir() / "pending") << "token=42\nfetch=7,x,9\n";
    try {
        local.Pending();
        ADD_FAILURE() << "a damaged pending record must not be taken for a good one";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("pending is damaged"), std::string::npos) << e.what();
    }
    std::ofstream(Dir() / "pending") << "fetch=7\n";
    EXPECT_THROW(local.Pending(), std::runtime_error);
    std::ofstream(Dir() / "folders.tsv") << "2\t1\tmessage\n";
    EXPECT_THROW(local.Folders(), std::runtime_error);
}

// The copy older versions kept as files is read for carrying it into the store, then removed with
// the token that went with it; logging in as another account removes the store too.
TEST_F(LocalCopyTest, LegacyFilesLockAndDiscard) {
    LocalMailbox local(Dir());
    EXPECT_FALSE(local.HasLegacyCopy());
    std::filesystem::create_directories(Dir() / "messages");
    std::ofstream(Dir() / "messages" / "300.eml") << "Subject: a\r\n\r\nx";
    std::ofstream(Dir() / "messages" / "300.meta") << "<m id=\"300\" l=\"2\"/>";
    std::ofstream(Dir() / "messages" / "301.eml") << "no metadata";
    std::ofstream(Dir() / "messages" / ".302.eml.Ab12Cd") << "half a message";
    ASSERT_TRUE(local.HasLegacyCopy());
    EXPECT_EQ(local.LegacyMessageIds(), (std::set<int32_t>{300, 301}));
    std::string mime, meta;
    ASSERT_TRUE(local.ReadLegacyMessage(300, mime, meta));
    EXPECT_EQ(meta, "<m id=\"300\" l=\"2\"/>");
    EXPECT_FALSE(local.ReadLegacyMessage(301, mime, meta)) << "a message without its metadata is fetched again";

    local.Commit("17");
    local.RemoveLegacyCopy();
    EXPECT_FALSE(local.HasLegacyCopy());
    EXPECT_FALSE(local.Token()) << "the next listing is a full one";

    LocalMailbox other(Dir());
    ASSERT_TRUE(local.Lock());
    EXPECT_FALSE(other.Lock()) << "one process synchronises a profile at a time";

    // A profile named "profile": its settings file must not pass for its store.
    const std::filesystem::path profile = home.Path() / "profile";
    std::filesystem::create_directories(profile / "mail");
    for (const char* name : {"profile.osd", "profile.idmv", "profile_GAL2.idm", "profile.conf"})
        std::ofstream(profile / name) << "x";
    std::string why;
    EXPECT_EQ(LocalMailbox::Discard(profile / "mail", why), LocalMailbox::DiscardResult::Removed) << why;
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(profile))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"profile.conf"}));
}

class SyncReplyTest : public ::testing::Test {
protected:
    OstrelCli::SyncChanges Read(const std::string& body) {
        Platform::ComPtr<IXMLDOMDocument2> document;
        EXPECT_EQ(Platform::Xml::CreateDocument(document.AddressOf()), S_OK);
        const std::string xml = "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>" +
                                body + "</soap:Body></soap:Envelope>";
        EXPECT_EQ(document->loadXMLBytes(xml), S_OK);
        document->setProperty(L"SelectionNamespaces", Ostrel::Rpc::Soap::kSelectionNamespaces);
        return OstrelCli::ReadSyncChanges(document.Get());
    }

    static std::string Sync(const std::string& inner, const std::string& token = "token=\"9\"") {
        return "<SyncResponse xmlns=\"urn:ostrelMail\" " + token + ">" + inner + "</SyncResponse>";
    }
};

TEST_F(SyncReplyTest, TreeItemsAndDeletions) {
    const auto changes =
        Read(Sync("<tag id=\"64\" name=\"Work\" rgb=\"#FF0000\"/><deleted ids=\"5,6\"/>"
                  "<folder id=\"1\" name=\"USER_ROOT\"><folder id=\"2\" l=\"1\" name=\"Inbox\" view=\"message\" "
                  "ms=\"4\"><m id=\"300\" l=\"2\" f=\"uf\" t=\"64\" tn=\"Work\" ms=\"8\"/><c id=\"-300\"/>"
                  "<folder id=\"500\" l=\"2\" name=\"Sub\"><cn id=\"301\" l=\"500\" su=\"Grüße &amp;#xFC; &lt;x&gt;\"/>"
                  "<m id=\"302\" l=\"x\"/></folder></folder></folder>"));
    EXPECT_EQ(changes.sToken, "9");
    EXPECT_EQ(changes.deleted, (std::vector<int32_t>{5, 6}));
    ASSERT_EQ(changes.tags.size(), 1u);
    EXPECT_EQ(changes.tags[0].sRgb, "#FF0000");
    ASSERT_EQ(changes.folders.size(), 3u);
    EXPECT_EQ(changes.folders[1].first, 2) << "parents before children";
    EXPECT_EQ(changes.folders[1].second.iSeq, 4);
    EXPECT_EQ(changes.folders[2].second.iParent, 2);
    ASSERT_EQ(changes.items.size(), 2u) << "conversations are not items";
    const OstrelCli::SyncItem& message = changes.items[0];
    EXPECT_EQ(message.kind, OstrelCli::SyncItemKind::Message);
    EXPECT_EQ(message.iFolder, 2);
    EXPECT_EQ(message.iSeq, 8);
    EXPECT_EQ(message.sFlags + "|" + message.sTagIds + "|" + message.sTagNames, "uf|64|Work");
    const OstrelCli::SyncItem& contact = changes.items[1];
    EXPECT_EQ(contact.kind, OstrelCli::SyncItemKind::Contact);
    // Kept as UTF-8 and without the reply's namespace; text that merely looks like a character
    // reference stays escaped.
    EXPECT_EQ(contact.sMeta, "<cn id=\"301\" l=\"500\" su=\"Grüße &amp;#xFC; &lt;x&gt;\"/>");
    // An item whose folder is no number is left out by itself.
    EXPECT_EQ(changes.skipped, (std::vector<int32_t>{302}));
}

TEST_F(SyncReplyTest, RepliesThatBreakTheRules) {
    EXPECT_THROW(Read("<NoOpResponse xmlns=\"urn:ostrelMail\"/>"), std::runtime_error);
    EXPECT_THROW(Read(Sync("", "")), std::runtime_error) << "no token";
    EXPECT_THROW(Read(Sync("<m l=\"2\"/>")), std::runtime_error) << "an item without id";
    EXPECT_THROW(Read(Sync("<m id=\"12x\"/>")), std::runtime_error);
    EXPECT_THROW(Read(Sync("<m id=\"99999999999\"/>")), std::runtime_error) << "beyond 32 bits";
    // A folder that breaks the rules is left out by itself, its contents still read.
    const auto folders =
        Read(Sync("<folder id=\"7\" name=\"x\"><m id=\"70\" l=\"7\"/></folder>"
                  "<folder id=\"8\" l=\"8\" name=\"x\"/><folder id=\"9\" l=\"1\" name=\"ok\"/>"));
    EXPECT_EQ(folders.skipped, (std::vector<int32_t>{7, 8}));
    ASSERT_EQ(folders.folders.size(), 1u);
    EXPECT_EQ(folders.items.size(), 1u);
    EXPECT_THROW(Read(Sync("<deleted ids=\"1,,2\"/>")), std::runtime_error);
}

}  // namespace

}  // namespace CliTest
