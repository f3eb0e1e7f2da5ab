// The two-way synchronisation against the simulator: merging on the first run, changes from
// either side, failures that must not lose or send anything, and the client's damaged files.
#include "Ostrel/Rpc/Transport/ConnectionTestSupport.h"
#include "Ostrel/SenderLists/WhiteBlackListSync.h"
#include "Platform/Host/JunkMail.h"
#include "Support/Files.h"

#include <fstream>
#include <sstream>

using namespace ConnTest;
using namespace Ostrel::Mapi;
using Platform::Host::JunkMailLists;

namespace {

const wchar_t* const kProfile = L"work";

// The simulator's lists under limits the test sets (the account's limits come with a session).
class LimitedServer : public OstrelWhiteBlackListServer {
public:
    using OstrelWhiteBlackListServer::OstrelWhiteBlackListServer;
    void GetLimits(DWORD& dwBlackMax, DWORD& dwWhiteMax) override {
        dwBlackMax = m_dwBlackMax;
        dwWhiteMax = m_dwWhiteMax;
    }
    DWORD m_dwBlackMax = 0;
    DWORD m_dwWhiteMax = 0;
};

class WhiteBlackListSyncTest : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        Platform::Host::ResetToDefaults();
        server = StartServer();
        connection = std::make_unique<OstrelConnection>(L"senders", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0,
                                                        kProxyModeNone, nullptr, 0, kProfile);
        remote = std::make_unique<LimitedServer>(*connection);
        snapshots = home.Path() / "snapshots.lists";
    }
    void TearDown() override {
        Platform::Host::ResetToDefaults();
        ConnectionTest::TearDown();
    }

    HRESULT Sync(WhiteBlackListSyncReport* pReport = nullptr) {
        CWhiteBlackListSync sync(kProfile, remote.get(), snapshots);
        const HRESULT hr = sync.SyncWhiteBlackLists(pReport);
        problem = sync.GetLastProblem();
        return hr;
    }
    void SetLocal(SenderList safe, SenderList blocked, SenderList invalid = {}) {
        ASSERT_EQ(Platform::Host::WriteJunkMailLists(kProfile, {safe, blocked, invalid}), S_OK);
    }
    JunkMailLists Local() {
        JunkMailLists lists;
        EXPECT_EQ(Platform::Host::ReadJunkMailLists(kProfile, lists), S_OK);
        return lists;
    }
    // The server's lists, white then black, each sorted as the simulator keeps them.
    std::pair<SenderList, SenderList> Remote() {
        SenderList black, white;
        remote->GetLists(black, white);
        return {white, black};
    }
    void ChangeRemote(bool bWhite, std::vector<SenderChange> changes) { remote->SendChanges(bWhite, changes); }
    size_t ModifyCalls() {
        size_t n = 0;
        for (const auto& request : server->Requests())
            n += request.callName == "ModifyWhiteBlackListRequest";
        return n;
    }

    std::unique_ptr<OstrelServer::Server> server;
    std::unique_ptr<OstrelConnection> connection;
    std::unique_ptr<LimitedServer> remote;
    std::filesystem::path snapshots;
    std::wstring problem;
};

}  // namespace

TEST_F(WhiteBlackListSyncTest, FirstRunMergesThenChangesOnEitherSideReachTheOther) {
    SetLocal({L"a@x.org", L"b@x.org"}, {L"spam.example"});
    ChangeRemote(true, {{L"b@x.org", SenderChangeOp::Add}, {L"c@x.org", SenderChangeOp::Add}});
    ChangeRemote(false, {{L"@junk.example", SenderChangeOp::Add}, {L"@Spam.Example", SenderChangeOp::Add}});
    server->ClearRequests();

    WhiteBlackListSyncReport report;
    ASSERT_EQ(Sync(&report), S_OK) << problem;
    EXPECT_TRUE(report.bMerged);
    EXPECT_EQ(report.cChangesSent, 1u);  // only a@x.org: the blocked domain is there in another form
    EXPECT_EQ(ModifyCalls(), 1u);
    EXPECT_EQ(Remote().first, (SenderList{L"a@x.org", L"b@x.org", L"c@x.org"}));
    EXPECT_EQ(Local().safeSenders, (SenderList{L"a@x.org", L"b@x.org", L"c@x.org"}));
    EXPECT_EQ(Local().blockedSenders, (SenderList{L"@Spam.Example", L"@junk.example"}));

    // Nothing changed: nothing is sent.
    server->ClearRequests();
    ASSERT_EQ(Sync(&report), S_OK) << problem;
    EXPECT_FALSE(report.bMerged);
    EXPECT_EQ(ModifyCalls(), 0u);

    // The user removes a and adds d while the server gains e and loses c: both sides keep both.
    SetLocal({L"b@x.org", L"c@x.org", L"D@x.org"}, Local().blockedSenders);
    ChangeRemote(true, {{L"e@x.org", SenderChangeOp::Add}, {L"c@x.org", SenderChangeOp::Delete}});
    ASSERT_EQ(Sync(&report), S_OK) << problem;
    EXPECT_EQ(report.cChangesSent, 2u);
    EXPECT_EQ(Remote().first, (SenderList{L"D@x.org", L"b@x.org", L"e@x.org"}));
    EXPECT_EQ(Local().safeSenders, Remote().first);

    // A change of case alone is no change; the server's spelling wins.
    SetLocal({L"B@X.ORG", L"D@x.org", L"e@x.org"}, Local().blockedSenders);
    server->ClearRequests();
    ASSERT_EQ(Sync(), S_OK) << problem;
    EXPECT_EQ(ModifyCalls(), 0u);
    EXPECT_EQ(Local().safeSenders, (SenderList{L"D@x.org", L"b@x.org", L"e@x.org"}));
}

TEST_F(WhiteBlackListSyncTest, AdditionsBeyondTheAccountsLimitWaitInTheClientForRoom) {
    remote->m_dwWhiteMax = 3;
    SetLocal({L"a@x.org", L"b@x.org", L"c@x.org", L"d@x.org"}, {L"spam.example"});
    ChangeRemote(true, {{L"x@x.org", SenderChangeOp::Add}});
    WhiteBlackListSyncReport report;
    ASSERT_EQ(Sync(&report), S_OK) << problem;
    EXPECT_EQ(report.cSafeHeldBack, 2u);
    EXPECT_EQ(report.cBlockedHeldBack, 0u);
    EXPECT_EQ(Remote().first, (SenderList{L"a@x.org", L"b@x.org", L"x@x.org"}));
    EXPECT_EQ(Local().safeSenders, (SenderList{L"a@x.org", L"b@x.org", L"x@x.org", L"c@x.org", L"d@x.org"}));
    EXPECT_EQ(Remote().second, (SenderList{L"spam.example"}));

    // Still no room: nothing is sent and nothing is lost.
    server->ClearRequests();
    ASSERT_EQ(Sync(&report), S_OK) << problem;
    EXPECT_EQ(ModifyCalls(), 0u);
    EXPECT_EQ(report.cSafeHeldBack, 2u);
    EXPECT_EQ(Local().safeSenders.size(), 5u);

    // A removal makes room for one more.
    SetLocal({L"b@x.org", L"x@x.org", L"c@x.org", L"d@x.org"}, Local().blockedSenders);
    ASSERT_EQ(Sync(&report), S_OK) << problem;
    EXPECT_EQ(Remote().first, (SenderList{L"b@x.org", L"c@x.org", L"x@x.org"}));
    EXPECT_EQ(Local().safeSenders, (SenderList{L"b@x.org", L"c@x.org", L"x@x.org", L"d@x.org"}));

    // Without a limit the rest goes up.
    remote->m_dwWhiteMax = 0;
    ASSERT_EQ(Sync(&report), S_OK) << problem;
    EXPECT_EQ(report.cSafeHeldBack, 0u);
    EXPECT_EQ(Remote().first, (SenderList{L"b@x.org", L"c@x.org", L"d@x.org", L"x@x.org"}));
    EXPECT_EQ(Local().safeSenders, Remote().first);
}

TEST_F(WhiteBlackListSyncTest, AFailedSendKeepsTheChangeForTheNextRun) {
    SetLocal({L"a@x.org"}, {});
    ASSERT_EQ(Sync(), S_OK) << problem;
    SetLocal({}, {L"bad@x.org"});
    const std::string before = TestSupport::ReadFile(snapshots);

    server->Faults().Add(OstrelServer::Fault::For("ModifyWhiteBlackListRequest", 1).SoapFault("service.FAILURE"));
    EXPECT_EQ(Sync(), E_FAIL);
    EXPECT_NE(problem.find(L"injected fault"), std::wstring::npos) << problem;
    EXPECT_EQ(TestSupport::ReadFile(snapshots), before);
    EXPECT_EQ(Local().blockedSenders, (SenderList{L"bad@x.org"}));

    ASSERT_EQ(Sync(), S_OK) << problem;
    EXPECT_EQ(Remote(), (std::pair<SenderList, SenderList>{{}, {L"bad@x.org"}}));
    EXPECT_EQ(Local().safeSenders, SenderList{});
}

TEST_F(WhiteBlackListSyncTest, DamagedOrMissingClientListsNeverEmptyTheServer) {
    SetLocal({L"a@x.org", L"b@x.org"}, {L"@spam.example"});
    ASSERT_EQ(Sync(), S_OK) << problem;
    const auto remoteBefore = Remote();

    // Cut short, as a crash of a writer that did not write atomically would leave it.
    const std::filesystem::path path = Platform::Host::JunkMailListsPath(kProfile);
    std::string text = TestSupport::ReadFile(path);
    text.resize(text.find("[end]"));
    TestSupport::WriteFile(path, text);
    server->ClearRequests();
    EXPECT_EQ(Sync(), Platform::Host::kJunkMailListsDamaged);
    EXPECT_NE(problem.find(L"damaged"), std::wstring::npos) << problem;
    EXPECT_EQ(TestSupport::ReadFile(path), text);
    EXPECT_EQ(ModifyCalls(), 0u);

    // A file that has gone is merged, not taken as "the user removed everything".
    std::filesystem::remove(path);
    ASSERT_EQ(Sync(), S_OK) << problem;
    EXPECT_EQ(Remote(), remoteBefore);
    EXPECT_EQ(Local().safeSenders, remoteBefore.first);

    // Damaged snapshots are merged too.
    TestSupport::WriteFile(snapshots, "garbage");
    SetLocal({L"a@x.org"}, {L"@spam.example"});
    ASSERT_EQ(Sync(), S_OK) << problem;
    EXPECT_EQ(Remote(), remoteBefore);
}

TEST_F(WhiteBlackListSyncTest, InvalidDomainsJoinTheBlockedListAndOddServerEntriesAreLeftOut) {
    SetLocal({}, {L"@a.example"}, {L"b.example", L"@A.example"});
    ChangeRemote(true, {{L"ok@x.org", SenderChangeOp::Add},
                        {L"#not-an-address", SenderChangeOp::Add},
                        {L"two@x.org;three@x.org", SenderChangeOp::Add}});
    ASSERT_EQ(Sync(), S_OK) << problem;
    EXPECT_EQ(Remote().second, (SenderList{L"@a.example", L"b.example"}));
    const JunkMailLists local = Local();
    EXPECT_EQ(local.blockedSenders, (SenderList{L"@a.example", L"b.example"}));
    EXPECT_TRUE(local.invalidDomains.empty());
    EXPECT_EQ(local.safeSenders, (SenderList{L"ok@x.org"}));
}

TEST_F(WhiteBlackListSyncTest, NoRunOfflineOrOutsideTheClient) {
    SetLocal({L"a@x.org"}, {});
    Platform::Host::SetOffline(true);
    EXPECT_EQ(Sync(), S_FALSE);
    Platform::Host::SetOffline(false);
    Platform::Host::SetApplicationType(Platform::Host::kApplicationOther);
    EXPECT_EQ(Sync(), S_FALSE);
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_FALSE(std::filesystem::exists(snapshots));
}
