// The pieces under `ostrel sync`: the local copy on disk with damaged files, and reading
// synchronisation replies that break the rules.
#include "CliTestSupport.h"

#include "ostrel/LocalMailbox.h"
#include "ostrel/SyncChanges.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"

#include <stdexcept>

namespace CliTest {

namespace {

using OstrelCli::LocalFolder;
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
    local.SetPending({"41", {7, 8, 9}, {3}});
    auto pending = local.Pending();
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->sToken, "41");
    EXPECT_EQ(pending->toFetch, (std::vector<int32_t>{7, 8, 9}));
    EXPECT_EQ(pending->toDelete, (std::vector<int32_t>{3}));
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

TEST_F(LocalCopyTest, FilesOfItemsAndLeftovers) {
    LocalMailbox local(Dir());
    local.PutMessage(300, "Subject: a\r\n\r\nx", "<m id=\"300\"/>");
    local.PutItemMeta(301, "<cn id=\"301\"/>");
    std::ofstream(Dir() / "messages" / ".302.eml.Ab12Cd") << "half a message";
    EXPECT_TRUE(local.HasMessage(300));
    EXPECT_FALSE(local.HasMessage(301));
    EXPECT_EQ(local.HeldIds(), (std::set<int32_t>{300, 301}));
    EXPECT_EQ(local.MessageCount(), 1u);

    // A message without its metadata is not held: it is fetched again.
    std::filesystem::remove(Dir() / "messages" / "300.meta");
    EXPECT_FALSE(local.HasMessage(300));

    local.RemoveLeftovers();
    EXPECT_FALSE(std::filesystem::exists(Dir() / "messages" / ".302.eml.Ab12Cd"));
    EXPECT_TRUE(local.Remove(301));
    EXPECT_FALSE(local.Remove(301));
    EXPECT_TRUE(local.Remove(300));
    EXPECT_TRUE(local.HeldIds().empty());

    LocalMailbox other(Dir());
    ASSERT_TRUE(local.Lock());
    EXPECT_FALSE(other.Lock()) << "one process synchronises a copy at a time";

    // A folder of the copy that cannot be read is named, with the reason, in words.
    std::filesystem::remove_all(Dir() / "messages");
    std::ofstream(Dir() / "messages") << "not a folder";
    try {
        local.MessageCount();
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot read " + (Dir() / "messages").string() + ": Not a directory");
    }
}

TEST_F(LocalCopyTest, FolderPaths) {
    LocalMailbox local(Dir());
    std::map<int32_t, LocalFolder> folders = {{1, {0, "USER_ROOT", ""}},
                                              {2, {1, "Inbox", "message"}},
                                              {300, {2, "Tab\tand\nnewline", "message"}},
                                              {400, {401, "Loop", ""}},
                                              {401, {400, "Back", ""}}};
    EXPECT_EQ(LocalMailbox::FolderPath(folders, 2), "Inbox");
    EXPECT_EQ(LocalMailbox::FolderPath(folders, 1), "");
    EXPECT_FALSE(LocalMailbox::FolderPath(folders, 400).empty()) << "a loop ends";
    local.SetFolders(folders);
    const auto read = local.Folders();
    ASSERT_EQ(read.size(), folders.size()) << "names never break the lines";
    EXPECT_EQ(read.at(300).iParent, 2);
    EXPECT_EQ(read.at(300).sName, "Tab and newline");
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
        Read(Sync("<tag id=\"64\" name=\"Work\"/><deleted ids=\"5,6\"/>"
                  "<folder id=\"1\" name=\"USER_ROOT\"><folder id=\"2\" l=\"1\" name=\"Inbox\" view=\"message\">"
                  "<m id=\"300\" l=\"2\" su=\"Grüße &amp;#xFC; &lt;x&gt;\"/><c id=\"-300\"/><folder id=\"500\" l=\"2\" "
                  "name=\"Sub\"><cn id=\"301\" l=\"500\"/>"
                  "</folder></folder></folder>"));
    EXPECT_EQ(changes.sToken, "9");
    EXPECT_EQ(changes.deleted, (std::vector<int32_t>{5, 6}));
    ASSERT_EQ(changes.folders.size(), 3u);
    EXPECT_EQ(changes.folders.at(500).iParent, 2);
    EXPECT_EQ(changes.folders.at(2).sView, "message");
    ASSERT_EQ(changes.items.size(), 2u) << "conversations and tags are not items of the copy";
    EXPECT_TRUE(changes.items[0].bMessage);
    EXPECT_EQ(changes.items[0].iId, 300);
    // Kept as UTF-8; text that merely looks like a character reference stays escaped.
    EXPECT_NE(changes.items[0].sMeta.find("su=\"Grüße &amp;#xFC; &lt;x&gt;\""), std::string::npos)
        << changes.items[0].sMeta;
    EXPECT_FALSE(changes.items[1].bMessage);
    // In the form the message archives have: the element alone, without the reply's namespace.
    EXPECT_EQ(changes.items[1].sMeta, "<cn id=\"301\" l=\"500\"/>");
}

TEST_F(SyncReplyTest, RepliesThatBreakTheRules) {
    EXPECT_THROW(Read("<NoOpResponse xmlns=\"urn:ostrelMail\"/>"), std::runtime_error);
    EXPECT_THROW(Read(Sync("", "")), std::runtime_error) << "no token";
    EXPECT_THROW(Read(Sync("<m l=\"2\"/>")), std::runtime_error) << "an item without id";
    EXPECT_THROW(Read(Sync("<m id=\"12x\"/>")), std::runtime_error);
    EXPECT_THROW(Read(Sync("<m id=\"99999999999\"/>")), std::runtime_error) << "beyond 32 bits";
    EXPECT_THROW(Read(Sync("<folder id=\"7\" name=\"x\"/>")), std::runtime_error) << "a folder without parent";
    EXPECT_THROW(Read(Sync("<deleted ids=\"1,,2\"/>")), std::runtime_error);
}

}  // namespace

}  // namespace CliTest
