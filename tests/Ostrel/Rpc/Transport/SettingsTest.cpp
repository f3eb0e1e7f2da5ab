#include "ConnectionTestSupport.h"

#include "Util/OstrelReg.h"

using namespace ConnTest;

namespace {

void SetConnectionValue(const wchar_t* name, DWORD value) {
    Ostrel::Util::RegUtil reg(L"Connection", KEY_ALL_ACCESS, Ostrel::Util::kRegUtilSubkey);
    ASSERT_EQ(reg.CreateKey(), ERROR_SUCCESS);
    reg.SetName(name);
    ASSERT_EQ(reg.SetValue(value), ERROR_SUCCESS);
}

std::optional<DWORD> ConnectionValue(const wchar_t* name) {
    Ostrel::Util::RegUtil reg(L"Connection", KEY_READ, Ostrel::Util::kRegUtilSubkey);
    if (reg.OpenKey() != ERROR_SUCCESS)
        return std::nullopt;
    reg.SetName(name);
    DWORD value = 0;
    if (reg.QueryValue(value) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

Connection Make() {
    return Connection(L"settings", L"127.0.0.1", 80, 0, kProxyModeNone, nullptr, 0);
}

TEST_F(ConnectionTest, MissingSettingsAreWrittenWithTheirDefaults) {
    auto c = Make();
    DWORD connect, send, receive;
    c.GetConnTimeouts(connect, send, receive);
    EXPECT_EQ(connect, 900000u);
    EXPECT_EQ(send, 900000u);
    EXPECT_EQ(receive, 900000u);
    EXPECT_EQ(c.GetMaxWriteSize(), 65536u);
    EXPECT_EQ(ConnectionValue(L"MaxWriteSize"), 65536u);
    EXPECT_EQ(ConnectionValue(L"ConnectTimeout"), 900000u);
    EXPECT_EQ(ConnectionValue(L"SendTimeout"), 900000u);
    EXPECT_EQ(ConnectionValue(L"ReceiveTimeout"), 900000u);
}

TEST_F(ConnectionTest, RegistryTimeoutsApplyWithTheConnectFloor) {
    SetConnectionValue(L"ConnectTimeout", 5000);
    SetConnectionValue(L"ReceiveTimeout", 120000);
    SetConnectionValue(L"MaxWriteSize", 0);
    auto c = Make();
    DWORD connect, send, receive;
    c.GetConnTimeouts(connect, send, receive);
    EXPECT_EQ(connect, 60000u);
    EXPECT_EQ(send, 900000u);
    EXPECT_EQ(receive, 120000u);
    // A chunk size of 0 would stall uploads; the default stands in.
    EXPECT_EQ(c.GetMaxWriteSize(), 65536u);
    // Only missing values are written.
    EXPECT_EQ(ConnectionValue(L"ConnectTimeout"), 5000u);
    EXPECT_EQ(ConnectionValue(L"SendTimeout"), 900000u);

    SetConnectionValue(L"ConnectTimeout", 120000);
    auto d = Make();
    d.GetConnTimeouts(connect, send, receive);
    EXPECT_EQ(connect, 120000u);
}

TEST_F(ConnectionTest, SetConnTimeoutsChangesOnlyWhatIsGiven) {
    auto server = StartServer();
    auto c = Connect(*server);
    c->SetConnTimeouts(30, 0xFFFFFFFF, 60);
    DWORD connect, send, receive;
    c->GetConnTimeouts(connect, send, receive);
    EXPECT_EQ(connect, 30000u);
    EXPECT_EQ(send, 900000u);
    EXPECT_EQ(receive, 60000u);

    // With a request open, the new values reach it at once.
    TestRequest noop(L"NoOpRequest");
    Exchange(*c, noop);
    c->SetConnTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 1);
    DWORD value = 0, cb = sizeof value;
    ASSERT_TRUE(WinHttpQueryOption(c->GetRequestHandle(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &value, &cb));
    EXPECT_EQ(value, 1000u);
    // And a server slower than that is a time-out.
    server->Faults().Add(OstrelServer::Fault::For("NoOpRequest").Delay(20000));
    try {
        Exchange(*c, noop);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
        EXPECT_STREQ(e.ExcepText(), L"The request has timed out.");
    }
}

// The description heads every log line of a connection; a long owner name must not empty it.
TEST_F(ConnectionTest, DescriptionKeepsALongOwnerName) {
    const std::wstring owner(600, L'o');
    Connection c(owner.c_str(), L"127.0.0.1", 80, 0, kProxyModeNone, nullptr, 0);
    EXPECT_NE(c.GetDescription().find(L"owner:'" + owner + L"'"), std::wstring::npos) << c.GetDescription();
}

TEST_F(ConnectionTest, ManagerKnowsConnectionsPortsAndBytes) {
    auto& manager = ConnectionMgr::Get();
    size_t before = manager.GetCount();
    auto server = StartServer();
    ULONGLONG sent = manager.GetBytesSent(), received = manager.GetBytesReceived();
    {
        auto a = Connect(*server);
        auto b = Connect(*server);
        EXPECT_EQ(manager.GetCount(), before + 2);
        TestRequest noop(L"NoOpRequest");
        Exchange(*a, noop);
        EXPECT_GT(manager.GetBytesSent(), sent);
        EXPECT_GT(manager.GetBytesReceived(), received);

        // Moving every connection to another port: the next call goes there.
        auto other = StartServer();
        manager.RedirectAll(static_cast<DWORD>(other->Port()));
        EXPECT_EQ(a->GetPort(), static_cast<DWORD>(other->Port()));
        EXPECT_EQ(b->GetPort(), static_cast<DWORD>(other->Port()));
        Exchange(*a, noop);
        EXPECT_EQ(other->Requests().size(), 1u);
        manager.DisconnectAll();
        EXPECT_EQ(a->GetRequestHandle(), nullptr);
    }
    EXPECT_EQ(manager.GetCount(), before);
}

TEST_F(ConnectionTest, SessionPortWinsOverTheGivenOne) {
    session->port = 7070;
    auto c = Make();
    EXPECT_EQ(c.GetPort(), 7070u);
    session->port = 0;
    auto d = Make();
    EXPECT_EQ(d.GetPort(), 80u);
}

}  // namespace
