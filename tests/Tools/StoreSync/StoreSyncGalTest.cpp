// `ostrel sync` keeps the global address list's folder to the server's list: entries the server
// reports deleted leave the folder and the GAL mapper, a whole listing (after a lost or refused
// token, or asked for with --full) removes what it no longer names, and a run repeated after a cut leaves it as it is.
#include "Tools/Cli/CliTestSupport.h"

#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/IdMap/StoreStamps.h"
#include "Ostrel/Store/NamedProps.h"
#include "ostrel-server/Contacts.h"

#include <map>
#include <regex>

namespace CliTest {

namespace {

using Platform::ComPtr;

size_t JsonNumber(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\":([0-9]+)")))
        return static_cast<size_t>(-1);
    return std::stoul(match[1]);
}

class StoreSyncGalTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        StartServer(2);
        ASSERT_EQ(Login().iExit, 0);
        Book().SetGalSize(kEntries);
    }

    static constexpr size_t kEntries = 6;

    OstrelServer::ContactBook& Book() { return server->State<OstrelServer::ContactBook>(); }

    // The list's indexes of the entries in the store's folder (by the key each is stored under),
    // each checked to be in the GAL mapper; SIZE_MAX for an entry the list never had.
    std::multiset<size_t> Held() {
        std::multiset<size_t> held;
        ComPtr<IMsgStore> pStore;
        ComPtr<IMAPIFolder> pGal;
        ComPtr<IMAPITable> pTable;
        EXPECT_EQ(Platform::OpenOsdStore(StorePath(), false, L"", false, pStore.AddressOf()), S_OK);
        if (!pStore || !Ostrel::Mapi::NamedPropsManager::SetNamedProps(pStore.Get()) ||
            FAILED(Ostrel::Mapi::OpenGalFolder(pStore.Get(), pGal.AddressOf())) ||
            FAILED(pGal->GetContentsTable(MAPI_UNICODE, pTable.AddressOf())))
            return held;
        // Without loading its cache, which would rebuild a map that disagrees with the folder.
        Ostrel::Mapi::IdMapper mapper(nullptr, pStore.Get(), Ostrel::Mapi::IdMapperTypeGalRefs);
        std::vector<std::wstring> keys;
        EXPECT_EQ(Ostrel::Mapi::ForEachStampedRow(pTable.Get(), mapper.GetTags(), true,
                                                  [&](const SRow& row) {
                                                      if (row.lpProps[2].ulPropTag == mapper.GetUniqueIdTag())
                                                          keys.push_back(row.lpProps[2].Value.lpszW);
                                                  }),
                  S_OK);
        for (const std::wstring& wsKey : keys) {
            EXPECT_TRUE(mapper.Contains(wsKey)) << Platform::ToUtf8(wsKey);
            size_t index = SIZE_MAX;
            for (size_t i = 0; i < kEntries && index == SIZE_MAX; ++i) {
                const OstrelServer::GalEntry entry = OstrelServer::ContactBook::MakeGalEntry(i);
                if (Platform::FromUtf8(entry.id) == wsKey || Platform::FromUtf8(entry.ref) == wsKey)
                    index = i;
            }
            held.insert(index);
        }
        return held;
    }

    // Each entry's display name and first e-mail address, by the key it is stored under.
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> Details() {
        std::map<std::wstring, std::pair<std::wstring, std::wstring>> details;
        ComPtr<IMsgStore> pStore;
        ComPtr<IMAPIFolder> pGal;
        ComPtr<IMAPITable> pTable;
        Ostrel::Mapi::NamedProps* pProps = nullptr;
        if (FAILED(Platform::OpenOsdStore(StorePath(), false, L"", false, pStore.AddressOf())) ||
            !(pProps = Ostrel::Mapi::NamedPropsManager::SetNamedProps(pStore.Get())) ||
            FAILED(Ostrel::Mapi::OpenGalFolder(pStore.Get(), pGal.AddressOf())) ||
            FAILED(pGal->GetContentsTable(MAPI_UNICODE, pTable.AddressOf())))
            return details;
        Ostrel::Mapi::IdMapper mapper(nullptr, pStore.Get(), Ostrel::Mapi::IdMapperTypeGalRefs);
        const ULONG ulEmail = pProps->GetPropTag(Ostrel::Mapi::NamedProps::ADDR_8083, PT_UNICODE);
        SizedSPropTagArray(3, columns) = {3, {mapper.GetUniqueIdTag(), PR_DISPLAY_NAME_W, ulEmail}};
        EXPECT_EQ(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0), S_OK);
        EXPECT_EQ(
            ForEachRow(pTable.Get(),
                       [&](const SRow& row) {
                           auto text = [&](ULONG i, ULONG ulTag) {
                               return row.lpProps[i].ulPropTag == ulTag ? std::wstring(row.lpProps[i].Value.lpszW)
                                                                        : std::wstring();
                           };
                           details[text(0, mapper.GetUniqueIdTag())] = {text(1, PR_DISPLAY_NAME_W), text(2, ulEmail)};
                       }),
            S_OK);
        return details;
    }

    // Whether the GAL mapper still maps the entry (by id or reference).
    bool Mapped(size_t index) {
        ComPtr<IMsgStore> pStore;
        if (FAILED(Platform::OpenOsdStore(StorePath(), false, L"", false, pStore.AddressOf())) ||
            !Ostrel::Mapi::NamedPropsManager::SetNamedProps(pStore.Get()))
            return false;
        Ostrel::Mapi::IdMapper mapper(nullptr, pStore.Get(), Ostrel::Mapi::IdMapperTypeGalRefs);
        const OstrelServer::GalEntry entry = OstrelServer::ContactBook::MakeGalEntry(index);
        return mapper.Contains(Platform::FromUtf8(entry.id)) || mapper.Contains(Platform::FromUtf8(entry.ref));
    }

    CommandRun SyncClean() {
        const CommandRun run = Sync();
        EXPECT_EQ(run.iExit, 0) << run.sErr;
        EXPECT_EQ(JsonNumber(run.sOut, "failed"), 0u) << run.sOut;
        return run;
    }

    void ExpectVerifyClean() {
        const CommandRun verify = Command("verify", {"--password-env", "CLI_TEST_PASSWORD"});
        EXPECT_EQ(verify.iExit, 0) << verify.sOut << verify.sErr;
    }

    std::string Log() const { return ReadFile(home.Path() / "home" / "logs" / "ostrel.log"); }
};

TEST_F(StoreSyncGalTest, EntriesDeletedOnTheServerLeaveFolderAndMapper) {
    const CommandRun first = SyncClean();
    EXPECT_EQ(JsonNumber(first.sOut, "gal"), kEntries) << first.sOut;
    ASSERT_EQ(Held(), (std::multiset<size_t>{0, 1, 2, 3, 4, 5}));
    const std::filesystem::path tokenFile = MailDir() / "gal";
    ASSERT_TRUE(std::filesystem::exists(tokenFile));
    const std::string sBefore = ReadFile(tokenFile);

    ASSERT_TRUE(Book().RemoveGalEntry(1));
    ASSERT_TRUE(Book().RemoveGalEntry(4));
    Book().TouchGalEntry(2);
    const CommandRun second = SyncClean();
    EXPECT_EQ(JsonNumber(second.sOut, "gal"), 1u) << second.sOut;
    EXPECT_EQ(JsonNumber(second.sOut, "galDeleted"), 2u) << second.sOut;
    EXPECT_EQ(Held(), (std::multiset<size_t>{0, 2, 3, 5}));
    EXPECT_FALSE(Mapped(1));
    EXPECT_FALSE(Mapped(4));
    EXPECT_NE(Log().find("Address list entry " + OstrelServer::ContactBook::MakeGalEntry(4).id + " deleted"),
              std::string::npos);
    ExpectVerifyClean();

    // Cut before the token was kept: the same deletions come again and find nothing left to do.
    std::ofstream(tokenFile, std::ios::trunc) << sBefore;
    const CommandRun again = SyncClean();
    EXPECT_EQ(JsonNumber(again.sOut, "galDeleted"), 0u) << again.sOut;
    EXPECT_EQ(Held(), (std::multiset<size_t>{0, 2, 3, 5}));
}

// The listing names the entries by id alone; each comes into the store with its details, under
// the key the listing names it by. When the server refuses a request for details, the entries are
// asked for one by one; one it still refuses is written as listed, or kept as it was.
TEST_F(StoreSyncGalTest, EntriesComeWithTheirDetails) {
    auto key = [](size_t i) { return Platform::FromUtf8(OstrelServer::ContactBook::MakeGalEntry(i).id); };
    auto expected = [](size_t i) {
        const OstrelServer::GalEntry entry = OstrelServer::ContactBook::MakeGalEntry(i);
        auto attr = [&](const char* pszName) {
            for (const auto& [name, value] : entry.attrs)
                if (name == pszName)
                    return Platform::FromUtf8(value);
            return std::wstring();
        };
        return std::make_pair(attr("fullName"), attr("email"));
    };
    auto refuseDetails = [this](int times) {
        server->Faults().Add(OstrelServer::Fault::For("GetContactsRequest", times).SoapFault("mail.NO_SUCH_CONTACT"));
    };
    // The mailbox's own contacts first, whose requests must not meet the refusals.
    SyncClean();
    Book().SetGalSize(250);  // made anew, so listed whole: three requests' worth of details

    // The first chunk refused, then its first seven entries alone: the six the store holds keep
    // their details, the new one is written as listed.
    refuseDetails(8);
    SyncClean();
    auto details = Details();
    ASSERT_EQ(details.size(), 250u);
    EXPECT_EQ(details[key(6)].first, L"");
    for (size_t i : {0u, 5u, 7u, 23u, 98u, 100u, 248u})  // people: a room's display name adds its kind
        EXPECT_EQ(details[key(i)], expected(i)) << i;
    const std::string log = Log();
    for (const auto& [index, pszOutcome] : {std::pair{0, "kept as it was"}, std::pair{6, "written as listed"}})
        EXPECT_NE(log.find("Address list entry " + OstrelServer::ContactBook::MakeGalEntry(index).id +
                           ": the server sent no details; " + pszOutcome),
                  std::string::npos)
            << index;

    Book().TouchGalEntry(6);
    SyncClean();
    EXPECT_EQ(Details()[key(6)], expected(6));
    EXPECT_EQ(Held().size(), 250u);
}

// A connection lost while the details are read (here those of the page's first hundred, asked for
// while the page is still being read) ends the run; the page's token is not kept, so the next run
// lists the entries again.
TEST_F(StoreSyncGalTest, ALostConnectionDuringTheDetailsKeepsTheTokenBack) {
    SyncClean();
    const std::string sToken = ReadFile(MailDir() / "gal");
    Book().SetGalSize(150);
    server->Faults().Add(OstrelServer::Fault::For("GetContactsRequest", 1).Pad(100000).DropMidBody());
    EXPECT_NE(Sync().iExit, 0);
    EXPECT_EQ(ReadFile(MailDir() / "gal"), sToken);
    // The connection's failure, not the listing's: the page itself was sound.
    EXPECT_EQ(Log().find("reply breaks the rules"), std::string::npos);
    const CommandRun again = SyncClean();
    EXPECT_EQ(JsonNumber(again.sOut, "gal"), 150u) << again.sOut;
    EXPECT_NE(ReadFile(MailDir() / "gal"), sToken);
}

TEST_F(StoreSyncGalTest, WholeListingRemovesWhatItNoLongerNames) {
    SyncClean();
    ASSERT_EQ(Held().size(), kEntries);

    // The token is lost here while the server drops an entry: the list comes whole.
    ASSERT_TRUE(Book().RemoveGalEntry(0));
    std::filesystem::remove(MailDir() / "gal");
    const CommandRun lost = SyncClean();
    EXPECT_EQ(JsonNumber(lost.sOut, "galDeleted"), 1u) << lost.sOut;
    EXPECT_EQ(Held(), (std::multiset<size_t>{1, 2, 3, 4, 5}));
    EXPECT_FALSE(Mapped(0));

    // The server makes its list anew and refuses the old token: listed whole again, the three
    // entries it no longer has go, the one it has again comes back.
    Book().SetGalSize(3);
    const CommandRun refused = SyncClean();
    EXPECT_EQ(JsonNumber(refused.sOut, "gal"), 3u) << refused.sOut;
    EXPECT_EQ(JsonNumber(refused.sOut, "galDeleted"), 3u) << refused.sOut;
    EXPECT_EQ(Held(), (std::multiset<size_t>{0, 1, 2}));
    for (size_t i = 3; i < kEntries; ++i)
        EXPECT_FALSE(Mapped(i)) << i;
    ExpectVerifyClean();

    // --full lists the address list whole too, though its token is still good.
    const CommandRun full = Sync({"--full"});
    ASSERT_EQ(full.iExit, 0) << full.sErr;
    EXPECT_EQ(JsonNumber(full.sOut, "gal"), 3u) << full.sOut;
    EXPECT_EQ(Held(), (std::multiset<size_t>{0, 1, 2}));
}

}  // namespace

}  // namespace CliTest
