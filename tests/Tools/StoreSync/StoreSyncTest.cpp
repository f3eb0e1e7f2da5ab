// `ostrel sync` into the profile's store against the simulator: folder changes, full listings that
// find everything again (also without the id map), the old file copy carried over, items that break
// the rules, and changes made on both sides.
#include "Tools/Cli/CliTestSupport.h"

#include "ostrel/StoreMailbox.h"

#include "Ostrel/IdMap/StoreStamps.h"
#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Util/OstrelReg.h"
#include "ostrel-server/Calendar.h"
#include "ostrel-server/Contacts.h"
#include "ostrel-server/Soap.h"

#include <algorithm>
#include <regex>

namespace CliTest {

namespace {

using Ostrel::Rpc::ActionRequest;
using Platform::ComPtr;

size_t JsonNumber(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\":([0-9]+)")))
        return static_cast<size_t>(-1);
    return std::stoul(match[1]);
}

// The name and bytes of each of the message's attachments.
std::vector<std::pair<std::wstring, std::string>> Files(IMessage* pMessage) {
    std::vector<std::pair<std::wstring, std::string>> files;
    ComPtr<IMAPITable> pTable;
    LPSRowSet pRows = nullptr;
    SizedSPropTagArray(2, columns) = {2, {PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME_W}};
    if (FAILED(pMessage->GetAttachmentTable(0, pTable.AddressOf())) ||
        FAILED(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0)) ||
        FAILED(pTable->QueryRows(100, 0, &pRows)))
        return files;
    for (ULONG r = 0; r < pRows->cRows; ++r) {
        const SPropValue* v = pRows->aRow[r].lpProps;
        ComPtr<IAttach> pAttach;
        ComPtr<IStream> pStream;
        std::string bytes;
        if (SUCCEEDED(pMessage->OpenAttach(v[0].Value.ul, nullptr, 0, pAttach.AddressOf())) &&
            SUCCEEDED(pAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0,
                                            reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf())))) {
            char buffer[4096];
            for (ULONG cb = 0; SUCCEEDED(pStream->Read(buffer, sizeof buffer, &cb)) && cb > 0;)
                bytes.append(buffer, cb);
        }
        files.emplace_back(v[1].ulPropTag == PR_ATTACH_LONG_FILENAME_W ? v[1].Value.lpszW : L"?", bytes);
    }
    FreeProws(pRows);
    return files;
}

class StoreSyncTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        Ostrel::Util::RegUtil listSize(L"ZipListSize", KEY_ALL_ACCESS);
        ASSERT_EQ(listSize.CreateKey(), ERROR_SUCCESS);
        ASSERT_EQ(listSize.SetValue(DWORD{10}), ERROR_SUCCESS);
    }

    void Send(ActionRequest& request) {
        Ostrel::Rpc::OstrelConnection connection(L"test", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0,
                                                 Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"default");
        Ostrel::Rpc::Response* pResponse = nullptr;
        connection.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
        delete pResponse;
    }
    void Act(Ostrel::Mail::MailItemType kind, long id, ActionRequest::OP op) {
        ActionRequest request(kind, id, op);
        Send(request);
    }
    void MoveFolder(long id, long parent) {
        ActionRequest request(Ostrel::Mail::MIT_FOLDER, id, ActionRequest::OP_MOVE, parent, nullptr);
        Send(request);
    }
    void RenameFolder(long id, const wchar_t* pwszName) {
        ActionRequest request(Ostrel::Mail::MIT_FOLDER, id, ActionRequest::OP_RENAME, pwszName);
        Send(request);
    }
    void Tag(long id, const wchar_t* pwszTag) {
        Ostrel::Mail::TagNameList names;
        names.push_back(pwszTag);
        ActionRequest request(Ostrel::Mail::MIT_MESSAGE, id, ActionRequest::OP_TAG, nullptr, &names, 0);
        Send(request);
    }

    // Counts the archive downloads the server answers.
    std::shared_ptr<std::atomic<int>> CountDownloads() {
        auto download = OstrelServer::RegisteredHttpEndpoints().at({"GET", "/service/download"});
        auto count = std::make_shared<std::atomic<int>>(0);
        server->SetHttpHandler("GET", "/service/download", [download, count](OstrelServer::HttpCall& call) {
            ++*count;
            download(call);
        });
        return count;
    }

    const StoredMessage* Find(const std::vector<StoredMessage>& messages, int32_t id) {
        auto it = std::find_if(messages.begin(), messages.end(), [id](const auto& m) { return m.iId == id; });
        return it == messages.end() ? nullptr : &*it;
    }

    // Changes a message in the store as a mail client would.
    void ChangeLocally(int32_t id, const std::function<void(IMessage*, ULONG ulKeywords)>& change) {
        OstrelCli::StoreMailbox mailbox("default");
        std::string why;
        ASSERT_EQ(mailbox.Open(true, why), S_OK) << why;
        ComPtr<IMessage> pMessage;
        ASSERT_EQ(mailbox.OpenItem(id, 0, pMessage.AddressOf()), S_OK) << id;
        change(pMessage.Get(),
               Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::KEYWORDS, PT_MV_UNICODE,
                                        Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(mailbox.Store())));
    }

    // The entries of the address list folder, beside the IPM subtree.
    size_t GalEntries() {
        ComPtr<IMsgStore> pStore;
        ComPtr<IMAPIFolder> pGal;
        ComPtr<IMAPITable> pTable;
        ULONG cRows = 0;
        if (FAILED(Platform::OpenOsdStore(StorePath(), false, L"", false, pStore.AddressOf())) ||
            FAILED(Ostrel::Mapi::OpenGalFolder(pStore.Get(), pGal.AddressOf())) || !pGal ||
            FAILED(pGal->GetContentsTable(0, pTable.AddressOf())) || FAILED(pTable->GetRowCount(0, &cRows)))
            return 0;
        return cRows;
    }

    std::string Log() const { return ReadFile(home.Path() / "home" / "logs" / "ostrel.log"); }

    void RemoveIdMaps() {
        for (const auto& entry : std::filesystem::directory_iterator(StorePath().parent_path()))
            if (entry.path().filename().string().find(".idm") != std::string::npos)
                std::filesystem::remove(entry.path());
    }
};

TEST_F(StoreSyncTest, FolderChangesAndFullListingsWithoutSecondCopies) {
    StartServer(40);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Sync().iExit, 0);
    ExpectExactCopy();

    // A user folder renamed and moved below another, one deleted with what it holds, a new one.
    const auto& folders = OstrelServer::MessageGenerator::Folders();
    ASSERT_GE(folders.size(), 3u);
    const int32_t renamed = folders[1].id, removed = folders[2].id;
    {
        // A message made in the store inside the folder the server is about to delete.
        OstrelCli::StoreMailbox mailbox("default");
        std::string why;
        ASSERT_EQ(mailbox.Open(true, why), S_OK) << why;
        ComPtr<IMAPIFolder> pFolder;
        ComPtr<IMessage> pMessage;
        ASSERT_EQ(mailbox.OpenFolder(removed, pFolder.AddressOf()), S_OK);
        ASSERT_EQ(pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf()), S_OK);
        SPropValue subject{PR_SUBJECT_W, 0, {}};
        subject.Value.lpszW = const_cast<wchar_t*>(L"written here");
        ASSERT_EQ(pMessage->SetProps(1, &subject, nullptr), S_OK);
        ASSERT_EQ(pMessage->SaveChanges(0), S_OK);
    }
    MoveFolder(renamed, 2);
    RenameFolder(renamed, L"Renamed here");
    Act(Ostrel::Mail::MIT_FOLDER, removed, ActionRequest::OP_DELETE);
    OstrelServer::MailFolder added;
    added.name = "Brand new";
    added.view = "message";
    const int32_t addedId = Mailbox().AddFolder(added);
    OstrelServer::MailItem message;
    message.mime = "Subject: new\r\n\r\nbody\r\n";
    Mailbox().AddItem(message);

    const CommandRun second = Sync();
    ASSERT_EQ(second.iExit, 0) << second.sErr;
    EXPECT_EQ(JsonNumber(second.sOut, "fetched"), 1u) << second.sOut;
    EXPECT_EQ(JsonNumber(second.sOut, "failed"), 0u) << second.sOut;
    ExpectExactCopy();
    size_t cKept = 0;
    for (const StoredMessage& m : StoreMessages()) {
        if (m.iFolder == renamed) {
            EXPECT_EQ(m.wsFolder, L"Renamed here");
        }
        cKept += m.wsFolder == L"Conflicts" && m.wsSubject == L"written here";
    }
    EXPECT_EQ(cKept, 1u) << "what was made here outlives the server's deletion of its folder";
    {
        OstrelCli::StoreMailbox mailbox("default");
        std::string why;
        ASSERT_EQ(mailbox.Open(false, why), S_OK) << why;
        ComPtr<IMAPIFolder> pFolder, pParent;
        ASSERT_EQ(mailbox.OpenFolder(addedId, pFolder.AddressOf()), S_OK);
        EXPECT_EQ(mailbox.OpenFolder(removed, pFolder.AddressOf()), MAPI_E_NOT_FOUND);
        ASSERT_EQ(mailbox.OpenFolder(renamed, pFolder.AddressOf()), S_OK);
        LPSPropValue pParentEid = nullptr, pInboxEid = nullptr;
        ASSERT_EQ(mailbox.OpenFolder(2, pParent.AddressOf()), S_OK);
        ASSERT_EQ(HrGetOneProp(pFolder.Get(), PR_PARENT_ENTRYID, &pParentEid), S_OK);
        ASSERT_EQ(HrGetOneProp(pParent.Get(), PR_ENTRYID, &pInboxEid), S_OK);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pParentEid->Value.bin.lpb), pParentEid->Value.bin.cb),
                  std::string(reinterpret_cast<char*>(pInboxEid->Value.bin.lpb), pInboxEid->Value.bin.cb))
            << "moved below the inbox";
        MAPIFreeBuffer(pParentEid);
        MAPIFreeBuffer(pInboxEid);
    }

    // A full listing, then one without the id maps: everything is found again, nothing fetched.
    auto downloads = CountDownloads();
    for (bool bLoseMaps : {false, true}) {
        if (bLoseMaps)
            RemoveIdMaps();
        const CommandRun full = Sync({"--full"});
        ASSERT_EQ(full.iExit, 0) << full.sErr;
        EXPECT_EQ(JsonNumber(full.sOut, "fetched"), 0u) << full.sOut;
        EXPECT_EQ(JsonNumber(full.sOut, "deleted"), 0u) << full.sOut;
        ExpectExactCopy();
    }
    EXPECT_EQ(downloads->load(), 0);

    // Interrupted, then resumed without the id maps: the messages written before the interrupt are
    // found by their stamps.
    OstrelServer::GenerateInto(Mailbox(), 25, 5);
    auto count = std::make_shared<std::atomic<int>>(0);
    auto download = OstrelServer::RegisteredHttpEndpoints().at({"GET", "/service/download"});
    server->SetHttpHandler("GET", "/service/download", [download, count](OstrelServer::HttpCall& call) {
        if (++*count == 2)
            OstrelCli::RequestInterrupt();
        download(call);
    });
    EXPECT_EQ(Sync().iExit, 130);
    OstrelCli::ClearInterrupt();
    RemoveIdMaps();
    const CommandRun resumed = Sync();
    ASSERT_EQ(resumed.iExit, 0) << resumed.sErr;
    ExpectExactCopy();
}

TEST_F(StoreSyncTest, OldFileCopyIsCarriedOverWithoutDownloading) {
    StartServer(12);
    ASSERT_EQ(Login().iExit, 0);
    // The copy as older versions kept it.
    std::filesystem::create_directories(MailDir() / "messages");
    std::string tree;
    for (int32_t folder : AllFolders()) {
        auto f = Mailbox().Folder(folder);
        ASSERT_TRUE(f) << folder;
        tree += std::to_string(folder) + "\t" + std::to_string(f->parentId) + "\t" + f->view + "\t" + f->name + "\t" +
                f->name + "\n";
        for (int32_t id : Mailbox().ItemsIn(folder)) {
            auto item = Mailbox().Item(id);
            const std::string base = (MailDir() / "messages" / std::to_string(id)).string();
            std::ofstream(base + ".eml", std::ios::binary) << item->mime;
            std::ofstream(base + ".meta") << "<m id=\"" << id << "\" l=\"" << folder << "\" f=\"" << item->flags
                                          << "\" ms=\"" << item->rev << "\"/>";
        }
    }
    std::ofstream(MailDir() / "folders.tsv") << tree;
    std::ofstream(MailDir() / "state") << "token=" << Mailbox().Revision() << "\n";

    auto downloads = CountDownloads();
    const CommandRun run = Sync();
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_EQ(JsonNumber(run.sOut, "migrated"), 12u) << run.sOut;
    EXPECT_EQ(JsonNumber(run.sOut, "fetched"), 0u) << run.sOut;
    EXPECT_EQ(downloads->load(), 0);
    EXPECT_FALSE(std::filesystem::exists(MailDir() / "messages"));
    ExpectExactCopy();
}

// One bad entry of an archive and one bad item of a listing cost those items only, each named in
// the log; the rest of the run completes and a later run does not trip over them.
TEST_F(StoreSyncTest, AnItemThatBreaksTheRulesStopsOnlyItself) {
    StartServer(6);
    ASSERT_EQ(Login().iExit, 0);
    std::vector<int32_t> ids;
    for (int32_t folder : AllFolders())
        for (int32_t id : Mailbox().ItemsIn(folder))
            ids.push_back(id);
    ASSERT_EQ(ids.size(), 6u);
    const int32_t badMeta = ids[0], noMeta = ids[1];
    ServeArchives([&](OstrelServer::ZipWriter& writer, int32_t id, const std::string& text) {
        auto item = Mailbox().Item(id);
        if (id == badMeta)
            writer.AddStored(text + ".meta", "<m id=\"" + text + "\" l=\"not a folder\"/>");
        else if (id != noMeta)
            writer.AddStored(text + ".meta", "<m id=\"" + text + "\" l=\"" + std::to_string(item->folderId) +
                                                 "\" f=\"" + item->flags + "\"/>");
        writer.AddStored(text + ".eml", item->mime);
    });
    // The listing also holds an item whose folder is no number.
    std::string reply = Mailbox().Sync({});
    reply.insert(reply.rfind("</SyncResponse>"), "<m id=\"4242\" l=\"x\"/>");
    server->Faults().Add(OstrelServer::Fault::For("SyncRequest", 1).Status(200, OstrelServer::SoapEnvelope(reply)));

    const CommandRun run = Sync();
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_EQ(JsonNumber(run.sOut, "fetched"), 4u) << run.sOut;
    EXPECT_EQ(JsonNumber(run.sOut, "failed"), 3u) << run.sOut;
    const std::string log = Log();
    for (int32_t id : {badMeta, noMeta, 4242}) {
        const std::string text = std::to_string(id) + " skipped";
        EXPECT_TRUE(log.find("Message " + text) != std::string::npos || log.find("Item " + text) != std::string::npos)
            << id;
    }
    EXPECT_EQ(LocalMessages().size(), 4u);
    EXPECT_FALSE(std::filesystem::exists(MailDir() / "pending"));
}

// Contacts, appointments, tasks and the global address list are read from the server into their
// folders, read again only when they change there, and never copied twice.
TEST_F(StoreSyncTest, ContactsAppointmentsAndTasksGoIntoTheirFolders) {
    StartServer(2);
    ASSERT_EQ(Login().iExit, 0);
    OstrelServer::MailItem contact;
    contact.kind = OstrelServer::ItemKind::Contact;
    contact.folderId = 7;
    contact.contact.attrs = {{"firstName", "Anna"}, {"lastName", "Berg"}, {"email", "anna@example.org"}};
    const std::string sPhoto = "\xFF\xD8\xFF\xE0 a small photo of Anna";
    contact.contact.image =
        OstrelServer::ContactImage{2, static_cast<int64_t>(sPhoto.size()), "anna.jpg", "image/jpeg", sPhoto};
    const int32_t contactId = Mailbox().AddItem(contact);
    // The seeded calendar's items and the contact, by the store folder each belongs in.
    std::map<int32_t, std::wstring> expected;
    for (const auto& [folder, name] : {std::pair<int32_t, std::wstring>{7, L"Contacts"},
                                       {13, L"Emailed Contacts"},
                                       {10, L"Calendar"},
                                       {15, L"Tasks"}}) {
        for (int32_t id : Mailbox().ItemsIn(folder))
            expected[id] = name;
    }
    // The simulator's calendar answers for its items; the mailbox lists them.
    auto& book = server->State<OstrelServer::CalendarBook>();
    for (int32_t id : book.Ids()) {
        const auto item = book.Get(id);
        // Items with tags are left out: the listing made here would not name them.
        if (Mailbox().Item(id) || !item->tagIds.empty() || !item->tagNames.empty())
            continue;
        OstrelServer::MailItem listed;
        listed.id = id;
        listed.kind = item->folderId == 15 ? OstrelServer::ItemKind::Task : OstrelServer::ItemKind::Appointment;
        listed.folderId = item->folderId;
        listed.name = "listed";
        listed.date = 4102444800000;  // in 2100
        Mailbox().AddItem(listed);
        expected[id] = item->folderId == 15 ? L"Tasks" : L"Calendar";
    }
    ASSERT_GE(expected.size(), 3u);
    // One appointment keeps a file on the server.
    const std::string sAgenda = "Agenda\r\n1. Budget\r\n";
    int32_t withFile = 0;
    for (const auto& [id, folder] : expected) {
        std::optional<OstrelServer::CalendarItem> item = folder == L"Calendar" ? book.Get(id) : std::nullopt;
        OstrelServer::CalNode* pM = item ? item->series.Child("m") : nullptr;
        if (!pM)
            continue;
        pM->Add("mp")
            .Set("part", "2")
            .Set("ct", "text/plain")
            .Set("filename", "agenda.txt")
            .Set("s", std::to_string(sAgenda.size()))
            .Set("cd", "attachment");
        item->parts["2"] = OstrelServer::CalAttachment{"agenda.txt", "text/plain", sAgenda};
        book.Put(*item);
        withFile = id;
        break;
    }
    ASSERT_NE(withFile, 0);

    server->State<OstrelServer::ContactBook>().SetGalSize(5);

    auto expectOnce = [&](const std::string& when) {
        std::map<int32_t, std::vector<std::wstring>> seen;
        for (const StoredMessage& m : StoreMessages())
            seen[m.iId].push_back(m.wsFolder);
        for (const auto& [id, folder] : expected)
            EXPECT_EQ(seen[id], std::vector<std::wstring>{folder}) << when << " " << id;
        EXPECT_EQ(GalEntries(), 5u) << when;
    };
    const CommandRun first = Sync();
    ASSERT_EQ(first.iExit, 0) << first.sErr;
    EXPECT_EQ(JsonNumber(first.sOut, "gal"), 5u) << first.sOut;
    EXPECT_EQ(JsonNumber(first.sOut, "items"), expected.size()) << first.sOut;
    EXPECT_EQ(JsonNumber(first.sOut, "failed"), 0u) << first.sOut;
    expectOnce("first");
    {
        OstrelCli::StoreMailbox mailbox("default");
        std::string why;
        ASSERT_EQ(mailbox.Open(false, why), S_OK) << why;
        ComPtr<IMessage> pMessage;
        ASSERT_EQ(mailbox.OpenItem(withFile, 0, pMessage.AddressOf()), S_OK);
        EXPECT_EQ(Files(pMessage.Get()), (std::vector<std::pair<std::wstring, std::string>>{{L"agenda.txt", sAgenda}}));
        // The contact's photo comes from the server with it.
        ComPtr<IMessage> pContact;
        ASSERT_EQ(mailbox.OpenItem(contactId, 0, pContact.AddressOf()), S_OK);
        const auto files = Files(pContact.Get());
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].second, sPhoto);
    }

    // Nothing changed on either side: nothing comes down, nothing goes up.
    const CommandRun same = Sync();
    EXPECT_EQ(JsonNumber(same.sOut, "items"), 0u) << same.sOut;
    EXPECT_EQ(JsonNumber(same.sOut, "gal"), 0u) << same.sOut;
    EXPECT_NE(same.sOut.find("\"pushed\":{\"sent\":0,\"drafts\":0,\"folders\":0,\"changed\":0,\"moved\":0,"
                             "\"deleted\":0,\"contacts\":0,\"calendar\":0,\"failed\":0,\"conflicts\":0}"),
              std::string::npos)
        << same.sOut;
    server->State<OstrelServer::ContactBook>().TouchGalEntry(2);

    OstrelServer::MailboxContact changed = Mailbox().Item(contactId)->contact;
    changed.attrs = {{"firstName", "Anna"}, {"lastName", "Berg-Lund"}, {"email", "anna@example.org"}};
    Mailbox().ChangeContact(contactId, changed);
    const CommandRun second = Sync();
    EXPECT_EQ(JsonNumber(second.sOut, "items"), 1u) << second.sOut;
    EXPECT_EQ(JsonNumber(second.sOut, "gal"), 1u) << second.sOut;
    expectOnce("changed");

    RemoveIdMaps();
    const CommandRun full = Sync({"--full"});
    ASSERT_EQ(full.iExit, 0) << full.sErr;
    EXPECT_EQ(JsonNumber(full.sOut, "items"), 0u) << full.sOut;
    expectOnce("full");
}

// Changes made in the store and on the server meet: different fields merge, the same field goes
// to the server with the local version kept as a copy, and a local deletion of an item the server
// changed is undone.
TEST_F(StoreSyncTest, ChangesOnBothSidesLoseNothing) {
    StartServer(8);
    ASSERT_EQ(Login().iExit, 0);
    ASSERT_EQ(Sync().iExit, 0);
    std::vector<int32_t> unread;
    for (int32_t id : Mailbox().ItemsIn(2)) {
        auto item = Mailbox().Item(id);
        if (item->flags.find('u') != std::string::npos && item->flags.find('f') == std::string::npos)
            unread.push_back(id);
    }
    ASSERT_GE(unread.size(), 2u);
    const int32_t both = unread[0], deleted = unread[1];

    ChangeLocally(both, [](IMessage* pMessage, ULONG ulKeywords) {
        SPropValue values[2] = {};
        values[0].ulPropTag = PR_MESSAGE_FLAGS;
        values[0].Value.l = MSGFLAG_READ;
        const wchar_t* categories[] = {L"Local"};
        values[1].ulPropTag = ulKeywords;
        values[1].Value.MVszW = {1, const_cast<wchar_t**>(categories)};
        ASSERT_EQ(pMessage->SetProps(2, values, nullptr), S_OK);
        ASSERT_EQ(pMessage->SaveChanges(0), S_OK);
    });
    {
        OstrelCli::StoreMailbox mailbox("default");
        std::string why;
        ASSERT_EQ(mailbox.Open(true, why), S_OK) << why;
        ComPtr<IMAPIFolder> pInbox;
        ComPtr<IMessage> pMessage;
        ASSERT_EQ(mailbox.OpenFolder(2, pInbox.AddressOf()), S_OK);
        ASSERT_EQ(mailbox.OpenItem(deleted, 2, pMessage.AddressOf()), S_OK);
        LPSPropValue pEid = nullptr;
        ASSERT_EQ(HrGetOneProp(pMessage.Get(), PR_ENTRYID, &pEid), S_OK);
        ENTRYLIST list{1, &pEid->Value.bin};
        EXPECT_EQ(pInbox->DeleteMessages(&list, 0, nullptr, 0), S_OK);
        MAPIFreeBuffer(pEid);
    }
    Act(Ostrel::Mail::MIT_MESSAGE, both, ActionRequest::OP_FLAG);
    Tag(both, L"Server");
    Act(Ostrel::Mail::MIT_MESSAGE, deleted, ActionRequest::OP_FLAG);

    const CommandRun run = Sync();
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_EQ(JsonNumber(run.sOut, "conflicts"), 1u) << run.sOut;
    const auto stored = StoreMessages();
    const StoredMessage* pBoth = Find(stored, both);
    ASSERT_TRUE(pBoth);
    EXPECT_TRUE(pBoth->bRead) << "read here";
    EXPECT_TRUE(pBoth->bFlagged) << "flagged there";
    // Tagged on both sides: the server's tags win.
    EXPECT_EQ(std::count(pBoth->categories.begin(), pBoth->categories.end(), L"Server"), 1);
    EXPECT_EQ(std::count(pBoth->categories.begin(), pBoth->categories.end(), L"Local"), 0);
    size_t cCopies = 0;
    for (const StoredMessage& m : stored) {
        if (m.wsFolder == L"Conflicts") {
            ++cCopies;
            EXPECT_EQ(m.iId, 0) << "the copy is never taken for the item";
            EXPECT_EQ(m.categories, std::vector<std::wstring>{L"Local"});
        }
    }
    EXPECT_EQ(cCopies, 1u);
    ASSERT_TRUE(Find(stored, deleted)) << "changed on the server, so it comes back";
    EXPECT_TRUE(Find(stored, deleted)->bFlagged);
}

}  // namespace

}  // namespace CliTest
