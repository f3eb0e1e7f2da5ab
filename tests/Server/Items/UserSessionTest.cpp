// The item requests with a real user session signed on to the simulator: the server's version
// decides between tag names and ids and whether version 8 content is written.
#include "Ostrel/Rpc/Requests/ItemTestSupport.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Requests/CreateFolder.h"
#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Host/Host.h"
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/Soap.h"

// After the system's headers: fcntl.h, which they pull in, defines LOCK_WRITE as a macro.
#include <httplib.h>

using namespace Ostrel::Rpc;
using namespace Ostrel::Mail;
using namespace ItemTest;

namespace {

class UserSessionItemsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
        Platform::Host::ResetToDefaults();
        ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
        server.Start();
        OstrelServer::Account account;
        account.name = "user@ostrel.test";
        account.password = "pw";
        account.id = OstrelServer::Mailboxes::kDefaultAccountId;
        server.State<OstrelServer::AccountBook>().Add(account);
        OstrelServer::DefaultMailbox(server).LoadSeed(TestSupport::DataDir() / "mailbox");
    }
    void TearDown() override {
        UserSession::ReleaseSharedSessions();
        UserSession::SetGlobalProfileName(nullptr);
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    }

    std::shared_ptr<UserSession> SignOn(const char* version, const wchar_t* pwszAccount = L"user@ostrel.test") {
        server.State<OstrelServer::AccountBook>().SetVersion(version);
        LogonParams params;
        params.wsAccount = pwszAccount;
        params.wsPassword = L"pw";
        params.wsServer = L"127.0.0.1";
        params.dwPort = static_cast<DWORD>(server.Port());
        UserSession::ReleaseSharedSessions();
        UserSession::SetGlobalProfileName(L"Items");
        return UserSession::CreateInstance(L"Items", params);
    }

    std::unique_ptr<Response> Send(Request& request) {
        OstrelConnection oc(L"items", L"127.0.0.1", static_cast<DWORD>(server.Port()), 0, kProxyModeNone, nullptr, 0,
                            L"Items");
        Response* pResponse = nullptr;
        oc.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
        return std::unique_ptr<Response>(pResponse);
    }

    TestSupport::TempHome home;
    OstrelServer::Server server;
};

}  // namespace

TEST_F(UserSessionItemsTest, TheServerVersionChoosesTagsAndViews) {
    TagIdList ids{64};
    TagNameList names{L"Work"};

    auto v8 = SignOn("8.0.0_GA_1234");
    ActionRequest byName(MIT_MESSAGE, 401, ActionRequest::OP_TAG, &ids, &names, 0);
    EXPECT_EQ(BodyXml(byName),
              L"<MsgActionRequest xmlns=\"urn:ostrelMail\"><action id=\"401\" op=\"tag\" tn=\"Work\"/>"
              L"</MsgActionRequest>");
    CreateFolderRequest documents(L"Docs", 1, MIT_DOCUMENT, nullptr, 0, 0);
    EXPECT_NE(BodyXml(documents).find(L"view=\"document\""), std::wstring::npos);

    // Sent on a connection of the profile: the session's token goes with it.
    auto response = Send(byName);
    EXPECT_NE(dynamic_cast<ActionResponse*>(response.get()), nullptr);
    EXPECT_EQ(OstrelServer::DefaultMailbox(server).Item(401)->tags, std::vector<int32_t>{64});

    auto v7 = SignOn("7.2.4_GA_99");
    ActionRequest byId(MIT_MESSAGE, 401, ActionRequest::OP_TAG, &ids, &names, 0);
    EXPECT_EQ(BodyXml(byId),
              L"<MsgActionRequest xmlns=\"urn:ostrelMail\"><action id=\"401\" op=\"tag\" t=\"64\"/>"
              L"</MsgActionRequest>");
    CreateFolderRequest noView(L"Docs", 1, MIT_DOCUMENT, nullptr, 0, 0);
    EXPECT_EQ(BodyXml(noView).find(L"view"), std::wstring::npos);
}

TEST_F(UserSessionItemsTest, EachAccountHasItsOwnMailboxAndCallsNeedAToken) {
    OstrelServer::Account other;
    other.name = "other@ostrel.test";
    other.password = "pw";
    server.State<OstrelServer::AccountBook>().Add(other);
    auto session = SignOn("9.0.0", L"other@ostrel.test");
    CreateFolderRequest create(L"Mine", 1, MIT_MESSAGE, nullptr, 0, 0);
    auto created = Send(create);
    auto* folder = dynamic_cast<CreateFolderResponse*>(created.get());
    ASSERT_NE(folder, nullptr);
    auto mailbox = OstrelServer::MailboxesOf(server).Find("other@ostrel.test");
    ASSERT_TRUE(mailbox);
    EXPECT_EQ(mailbox->Folder(static_cast<int32_t>(folder->FolderId()))->name, "Mine");
    EXPECT_FALSE(OstrelServer::DefaultMailbox(server).Folder(static_cast<int32_t>(folder->FolderId())));

    httplib::Client client("127.0.0.1", server.Port());
    auto res =
        client.Post("/service/soap/SyncRequest", OstrelServer::SoapEnvelope("<SyncRequest xmlns=\"urn:ostrelMail\"/>"),
                    "application/soap+xml");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("service.AUTH_REQUIRED"), std::string::npos);
}
