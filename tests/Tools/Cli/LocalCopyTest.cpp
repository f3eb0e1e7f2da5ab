// The pieces under `ostrel sync`: its state on disk with damaged files, the old file copy, and
// reading synchronisation replies that break the rules.
#include "CliTestSupport.h"

#include "ostrel/LocalMailbox.h"
#include "ostrel/SyncChanges.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Xml/Sax.h"

#include <stdexcept>

namespace CliTest {

namespace {

using OstrelCli::LocalMailbox;

class LocalCopyTest : public ::testing::Test {
protected:
    std::filesystem::path Dir() const { return home.Path() / "mail"; }

    TestSupport::TempHome home;
};

OstrelCli::PendingSync Plan(const std::string& token) {
    OstrelCli::PendingSync pending;
    pending.sToken = token;
    pending.toFetch = {7, 8, 9};
    pending.toDelete = {3};
    pending.contacts = {20};
    pending.appointments = {21, 22};
    pending.tasks = {23};
    pending.retried = {{22, OstrelCli::FetchKind::Appointment, 1}};
    return pending;
}

TEST_F(LocalCopyTest, PendingStateAndDamagedFiles) {
    LocalMailbox local(Dir());
    EXPECT_FALSE(local.Token());
    EXPECT_FALSE(local.Pending());
    local.SetPending(Plan("41"));
    auto pending = local.Pending();
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->sToken, "41");
    EXPECT_EQ(pending->toFetch, (std::vector<int32_t>{7, 8, 9}));
    EXPECT_EQ(pending->toDelete, (std::vector<int32_t>{3}));
    EXPECT_EQ(pending->appointments, (std::vector<int32_t>{21, 22}));
    EXPECT_EQ(pending->tasks, (std::vector<int32_t>{23}));
    EXPECT_EQ(pending->retried, Plan("41").retried);
    local.Commit("41");
    EXPECT_EQ(local.Token(), std::string("41"));
    EXPECT_FALSE(local.Pending()) << "committing ends the pending synchronisation";

    // The record an older version wrote, without the items asked for again.
    std::ofstream(Dir() / "pending") << "token=40\nfetch=5\ndelete=\ncontacts=\nappointments=\ntasks=\n";
    ASSERT_TRUE(local.Pending());
    EXPECT_EQ(local.Pending()->toFetch, (std::vector<int32_t>{5}));

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

// What is done of a pending synchronisation is appended batch by batch; a later process sees the
// plan without it, whatever a crash cut short, and never the record of another synchronisation.
TEST_F(LocalCopyTest, DoneRecordSurvivesCrashes) {
    {
        LocalMailbox local(Dir());
        local.SetPending(Plan("41"));
        local.MarkDone({7, 8}, {{8, OstrelCli::FetchKind::Message, 0}});
        local.MarkDone({20, 21}, {});
    }
    // A crash in the middle of the next line.
    std::ofstream(Dir() / "pending.done", std::ios::app) << "done=9,2";
    LocalMailbox local(Dir());
    auto pending = local.Pending();
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->toFetch, (std::vector<int32_t>{9})) << "the line cut short is not taken";
    EXPECT_TRUE(pending->contacts.empty());
    EXPECT_EQ(pending->appointments, (std::vector<int32_t>{22}));
    EXPECT_EQ(pending->toDelete, (std::vector<int32_t>{3})) << "deletions happen at the end";
    ASSERT_EQ(pending->retry.size(), 1u);
    EXPECT_EQ(pending->retry[0].iId, 8);
    // The next line appended after the repair is read.
    local.MarkDone({9}, {});
    EXPECT_TRUE(LocalMailbox(Dir()).Pending()->toFetch.empty());

    // A new plan forgets what was done of the old one, even when its record is left behind.
    const std::string oldRecord = ReadFile(Dir() / "pending.done");
    local.SetPending(Plan("43"));
    std::ofstream(Dir() / "pending.done") << oldRecord;
    EXPECT_EQ(local.Pending()->toFetch, (std::vector<int32_t>{7, 8, 9}));

    local.MarkDone({7}, {});
    std::ofstream(Dir() / "pending.done", std::ios::app) << "done=x\n";
    EXPECT_THROW(local.Pending(), std::runtime_error) << "a whole line that breaks the rules is damage";
    local.DropPending();
    EXPECT_FALSE(local.Pending());
    EXPECT_FALSE(std::filesystem::exists(Dir() / "pending.done"));

    // Items to ask for again outlive the synchronisation; none leaves no file.
    EXPECT_TRUE(local.Retries().empty());
    const std::vector<OstrelCli::RetryItem> retries = {{5, OstrelCli::FetchKind::Task, 2},
                                                       {6, OstrelCli::FetchKind::Contact, 0}};
    local.SetRetries(retries);
    EXPECT_EQ(LocalMailbox(Dir()).Retries(), retries);
    local.SetRetries({});
    EXPECT_FALSE(std::filesystem::exists(Dir() / "retry"));
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
    static std::string Envelope(const std::string& body) {
        return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>" + body +
               "</soap:Body></soap:Envelope>";
    }

    OstrelCli::SyncChanges Read(const std::string& body) {
        return OstrelCli::ReadSyncChanges(Platform::MemStream::Create(Envelope(body)).Get());
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
    EXPECT_EQ(changes.items[1].kind, OstrelCli::SyncItemKind::Contact);
    // An item whose folder is no number is left out by itself, to be asked for again as a message.
    EXPECT_EQ(changes.skipped, (std::vector<int32_t>{302}));
    ASSERT_EQ(changes.skippedItems.size(), 1u);
    EXPECT_EQ(changes.skippedItems[0].second, OstrelCli::SyncItemKind::Message);
}

// The reply too large to hold is read twice: its listing first, then its items one by one; both
// readings agree with the document's.
TEST_F(SyncReplyTest, ReadInTwoPassesAsTheDocumentIs) {
    const std::string body = Sync(
        "<folder id=\"1\" name=\"USER_ROOT\"><m id=\"300\" l=\"1\" s=\"1234\"/><m id=\"301\" l=\"y\"/>"
        "<c id=\"-5\"><m id=\"302\" l=\"1\"/></c><folder id=\"2\" l=\"1\" name=\"Inbox\">"
        "<appt id=\"303\" l=\"2\" s=\"99\"/></folder></folder>");
    std::vector<std::string> events;
    const auto stream = Platform::MemStream::Create(Envelope(body));
    const auto listing = OstrelCli::ReadSyncChanges(
        stream.Get(),
        [&](const OstrelCli::SyncChanges& changes) {
            events.push_back("listing " + std::to_string(changes.folders.size()) + " folders, " +
                             std::to_string(changes.items.size()) + " items");
        },
        [&](const OstrelCli::SyncItem& item) {
            events.push_back("item " + std::to_string(item.iId) + " size " + std::to_string(item.iSize));
        });
    EXPECT_EQ(events,
              (std::vector<std::string>{"listing 2 folders, 0 items", "item 300 size 1234", "item 303 size -1"}))
        << "items inside other elements are not the mailbox's; only a message's s is its size";
    EXPECT_EQ(listing.skipped, (std::vector<int32_t>{301}));

    Platform::ComPtr<IXMLDOMDocument2> document;
    ASSERT_EQ(Platform::Xml::CreateDocument(document.AddressOf()), S_OK);
    ASSERT_EQ(document->loadXMLBytes(Envelope(body)), S_OK);
    const auto whole = OstrelCli::ReadSyncChanges(document.Get());
    ASSERT_EQ(whole.items.size(), 2u);
    EXPECT_EQ(whole.items[1].iId, 303);
    EXPECT_EQ(whole.skipped, listing.skipped);

    // Nothing of a reply that breaks the rules reaches the store, even what comes before the break.
    events.clear();
    const auto broken = Platform::MemStream::Create(Envelope(Sync("<m id=\"1\" l=\"1\"/><tag id=\"64\"/>")));
    EXPECT_THROW(OstrelCli::ReadSyncChanges(
                     broken.Get(), [&](const OstrelCli::SyncChanges&) { events.push_back("listing"); },
                     [&](const OstrelCli::SyncItem&) { events.push_back("item"); }),
                 std::runtime_error);
    EXPECT_TRUE(events.empty());
}

// A folder tree as deep as the reader allows is read without recursion; a deeper one is refused
// with a message, never a crash.
TEST_F(SyncReplyTest, DeepFolderTrees) {
    auto tree = [](int depth) {
        std::string open, close;
        for (int i = 0; i < depth; ++i) {
            const int32_t id = 1000 + i;
            open +=
                "<folder id=\"" + std::to_string(id) + "\" l=\"" + std::to_string(i ? id - 1 : 1) + "\" name=\"f\">";
            close += "</folder>";
        }
        return Sync(open + "<m id=\"7\" l=\"1000\"/>" + close);
    };
    const auto deep = Read(tree(200));
    EXPECT_EQ(deep.folders.size(), 200u);
    EXPECT_EQ(deep.items.size(), 1u);
    try {
        Read(tree(Platform::Xml::kMaxSaxDepth + 10));
        ADD_FAILURE() << "a tree deeper than the reader's limit must be refused";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("not well-formed"), std::string::npos) << e.what();
    }
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
