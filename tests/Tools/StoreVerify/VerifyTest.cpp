// `ostrel verify`: clean after a synchronisation, and one line for each kind of difference a fault
// could leave (a changed flag or size, a lost item, a second copy, a renamed or moved folder). And
// the server's flags as `ostrel export` writes them after a synchronisation.
#include "StoreVerifySupport.h"

#include "ostrel/StoreMailbox.h"
#include "ostrel/SyncBaseline.h"
#include "ostrel/VerifyCommand.h"

#include <algorithm>
#include <map>

namespace StoreVerifyTest {

namespace {

using Platform::ComPtr;

bool Has(const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
}

class VerifyTest : public SignedOnTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        SignOn(60);
    }
};

// The entry id of the store message stamped with the server id.
std::string EntryIdOf(OstrelCli::StoreMailbox& mailbox, int32_t iId) {
    ComPtr<IMessage> pMessage;
    LPSPropValue pEid = nullptr;
    std::string eid;
    if (SUCCEEDED(mailbox.OpenItem(iId, 0, pMessage.AddressOf())) &&
        SUCCEEDED(HrGetOneProp(pMessage.Get(), PR_ENTRYID, &pEid)))
        eid.assign(reinterpret_cast<const char*>(pEid->Value.bin.lpb), pEid->Value.bin.cb);
    MAPIFreeBuffer(pEid);
    return eid;
}

}  // namespace

TEST_F(VerifyTest, NamesEveryDifferenceOnALineOfItsOwn) {
    const CommandRun sync = Command("sync", {"--quiet"});
    ASSERT_EQ(sync.iExit, 0) << sync.sErr;
    const CommandRun clean = Command("verify", {});
    ASSERT_EQ(clean.iExit, 0) << clean.sOut << clean.sErr;
    EXPECT_EQ(Lines(clean.sOut).size(), 1u) << clean.sOut;

    std::vector<int32_t> inbox = Mailbox().ItemsIn(OstrelCli::kServerInbox);
    // The message the server flags after the synchronisation: one that is not flagged yet.
    const auto unflagged = std::find_if(inbox.begin(), inbox.end(), [&](int32_t id) {
        return Mailbox().Item(id)->flags.find('f') == std::string::npos;
    });
    ASSERT_NE(unflagged, inbox.end());
    const int32_t flagged = *unflagged;
    inbox.erase(unflagged);
    ASSERT_GE(inbox.size(), 4u);
    const int32_t lost = inbox[0], copied = inbox[1], resized = inbox[2], unsized = inbox[3];
    const int64_t llSize = static_cast<int64_t>(Mailbox().Item(resized)->mime.size());
    {
        OstrelCli::StoreMailbox mailbox("default");
        std::string why;
        ASSERT_EQ(mailbox.Open(true, why), S_OK) << why;
        // One message lost from the store, another copied into a second folder.
        ComPtr<IMAPIFolder> pInbox, pSent;
        ASSERT_EQ(mailbox.OpenFolder(OstrelCli::kServerInbox, pInbox.AddressOf()), S_OK);
        ASSERT_EQ(mailbox.OpenFolder(OstrelCli::kServerSent, pSent.AddressOf()), S_OK);
        std::string eid = EntryIdOf(mailbox, lost);
        SBinary bin{static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(eid.data())};
        ENTRYLIST list{1, &bin};
        ASSERT_EQ(pInbox->DeleteMessages(&list, 0, nullptr, 0), S_OK);
        eid = EntryIdOf(mailbox, copied);
        bin = SBinary{static_cast<ULONG>(eid.size()), reinterpret_cast<BYTE*>(eid.data())};
        ASSERT_EQ(pInbox->CopyMessages(&list, nullptr, pSent.Get(), 0, nullptr, 0), S_OK);
        // One message holds other content than the server's; one was written before sizes were kept.
        ComPtr<IMessage> pMessage;
        ASSERT_EQ(mailbox.OpenItem(resized, 0, pMessage.AddressOf()), S_OK);
        SPropValue size{mailbox.Baseline().SizeTag(), 0, {}};
        size.Value.l = static_cast<LONG>(llSize + 7);
        ASSERT_EQ(HrSetOneProp(pMessage.Get(), &size), S_OK);
        ASSERT_EQ(pMessage->SaveChanges(0), S_OK);
        ASSERT_EQ(mailbox.OpenItem(unsized, 0, pMessage.AddressOf()), S_OK);
        SizedSPropTagArray(1, gone) = {1, {mailbox.Baseline().SizeTag()}};
        ASSERT_EQ(pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&gone), nullptr), S_OK);
        ASSERT_EQ(pMessage->SaveChanges(0), S_OK);
    }
    Ostrel::Rpc::ActionRequest flag(Ostrel::Mail::MIT_MESSAGE, flagged, Ostrel::Rpc::ActionRequest::OP_FLAG);
    ServerAction(flag);
    const std::string flags = Mailbox().Item(flagged)->flags.find('u') == std::string::npos ? "" : "u";

    const CommandRun dirty = Command("verify", {});
    EXPECT_EQ(dirty.iExit, 1);
    EXPECT_TRUE(Has(dirty.sOut, "item " + std::to_string(flagged) + ": flags \"" + flags + "\" in the store, \"" +
                                    (flags == "u" ? "fu" : "f") + "\" on the server"))
        << dirty.sOut;
    EXPECT_TRUE(Has(dirty.sOut, "item " + std::to_string(lost) + ": on the server (folder 2), not in the store"))
        << dirty.sOut;
    EXPECT_TRUE(Has(dirty.sOut, "item " + std::to_string(copied) + ": 2 copies in the store")) << dirty.sOut;
    EXPECT_TRUE(Has(dirty.sOut, "item " + std::to_string(resized) + ": size " + std::to_string(llSize + 7) +
                                    " in the store, " + std::to_string(llSize) + " on the server"))
        << dirty.sOut;
    EXPECT_EQ(dirty.sOut.find("item " + std::to_string(unsized) + ":"), std::string::npos) << dirty.sOut;
    EXPECT_TRUE(Has(dirty.sOut, "1 message(s) in the store carry no server size: their sizes were not compared"))
        << dirty.sOut;
    EXPECT_NE(dirty.sErr.find("difference(s) between the store and the server"), std::string::npos) << dirty.sErr;
}

// The export shows what the server says of a message beyond read and flagged: replied and
// forwarded through the conversion, deleted (trashed) only through what sync recorded.
TEST_F(VerifyTest, ExportWritesTheServersFlags) {
    const auto add = [&](const std::string& subject, const std::string& flags) {
        OstrelServer::MailItem item;
        item.flags = flags;
        item.mime = "From: ann@example.com\r\nTo: bob@example.com\r\nSubject: " + subject +
                    "\r\nDate: Tue, 3 Dec 2024 09:05:00 +0000\r\n\r\nBody\r\n";
        Mailbox().AddItem(std::move(item));
    };
    add("Gone", "x");
    add("Answered", "ru");
    add("Passed on", "wf");
    const CommandRun sync = Command("sync", {"--quiet"});
    ASSERT_EQ(sync.iExit, 0) << sync.sErr;
    const std::filesystem::path dir = home.Path() / "maildir";
    const CommandRun run = Command("export", {"--maildir", dir.string(), "--profile", "default"});
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    std::map<std::string, std::string> flags;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "cur")) {
        const std::string name = entry.path().filename().string();
        for (const char* subject : {"Gone", "Answered", "Passed on"})
            if (ReadFile(entry.path()).find(std::string("Subject: ") + subject + "\r\n") != std::string::npos)
                flags[subject] = name.substr(name.find(":2,") + 3);
    }
    const std::map<std::string, std::string> expected = {{"Gone", "ST"}, {"Answered", "R"}, {"Passed on", "FPS"}};
    EXPECT_EQ(flags, expected);
}

// What a full listing says, compared with store listings a fault could leave.
TEST(CompareListings, FoldersAndItemsInServerTerms) {
    using OstrelCli::ListedFolder;
    using OstrelCli::ListedItem;
    OstrelCli::Listing server;
    server.folders.emplace(2, ListedFolder{1, "Inbox", ""});
    server.folders.emplace(300, ListedFolder{1, "Work", ""});
    server.folders.emplace(301, ListedFolder{300, "Plans", ""});
    server.items.emplace(1000, ListedItem{2, true, "u", "3,5", 4200});
    server.items.emplace(1001, ListedItem{300, true, "", "", 900});
    server.items.emplace(1004, ListedItem{2, true, "", "", 300});
    server.items.emplace(1002, ListedItem{301, false, "u", ""});

    OstrelCli::Listing store = server;
    // The store's names for the server's own folders, and a name sync chose to avoid a collision.
    store.folders.find(2)->second.sName = "Posteingang";
    auto& plans = store.folders.find(301)->second;
    plans.sName = plans.sSyncName = "Plans2";
    // Flags of items other than mail are not kept in step.
    store.items.find(1002)->second.sFlags = "";
    // A message written before sizes were kept is counted, not compared.
    store.items.find(1004)->second.llSize = -1;
    EXPECT_TRUE(OstrelCli::CompareListings(server, store).empty());
    EXPECT_EQ(OstrelCli::CountUnsized(server, store), 1u);

    store.folders.find(300)->second.sName = "Work (mine)";
    store.folders.find(301)->second.iParent = 2;
    store.folders.emplace(302, ListedFolder{1, "Gone", ""});
    store.items.find(1000)->second.sFlags = "f";
    store.items.find(1000)->second.sTags = "3";
    store.items.find(1000)->second.llSize = 4100;
    store.items.find(1001)->second.iFolder = 2;
    store.items.emplace(1001, ListedItem{300, true, "", ""});
    store.items.emplace(1003, ListedItem{2, true, "", ""});
    store.items.erase(1002);
    store.unstamped.push_back("Drafts");
    const std::vector<std::string> expected = {
        "folder 300: named \"Work (mine)\" in the store, \"Work\" on the server",
        "folder 301 \"Plans\": below folder 2 in the store, below 300 on the server",
        "folder 302 \"Gone\": in the store, not on the server",
        "item 1000: flags \"f\" in the store, \"u\" on the server",
        "item 1000: tags \"3\" in the store, \"3,5\" on the server",
        "item 1000: size 4100 in the store, 4200 on the server",
        "item 1001: 2 copies in the store",
        "item 1001: in folder 2 in the store, in 300 on the server",
        "item 1002: on the server (folder 301), not in the store",
        "item 1003: in the store (folder 2), not on the server",
        "an item in \"Drafts\" has no server id: it is not on the server",
    };
    EXPECT_EQ(OstrelCli::CompareListings(server, store), expected);
}

}  // namespace StoreVerifyTest
