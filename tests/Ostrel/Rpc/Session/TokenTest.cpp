// The token's life: validation with back-off, the invalidation throttle, one re-authentication
// for many threads, and sessions re-created when logon parameters change.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Ostrel/Rpc/Session/Auth.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "SessionTestSupport.h"
#include "Support/Wait.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "ostrel-server/Endpoint.h"

namespace SessionTest {
namespace {

using OstrelServer::Fault;

class TokenTest : public SessionFixture {};

TEST_F(TokenTest, NoOpBackOffWaitsOneTwoFourEightSecondsThenGivesUp) {
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    auto session = Create(Params());

    server->Faults().Add(Fault::For("NoOpRequest", 2).SoapFault("service.AUTH_EXPIRED"));
    ASSERT_FALSE(session->AuthToken().empty());
    EXPECT_EQ(clock.GetSleeps(), (std::vector<DWORD>{1000, 2000}));

    clock.ClearSleeps();
    server->Faults().Add(Fault::For("NoOpRequest", 5).SoapFault("service.AUTH_EXPIRED"));
    Ostrel::Util::LogCapture log;
    EXPECT_EQ(session->WaitForValidToken(), E_FAIL);
    EXPECT_EQ(clock.GetSleeps(), (std::vector<DWORD>{1000, 2000, 4000, 8000}));
    EXPECT_EQ(log.Count(L"Auth expired - retrying"), 4u);

    // Any other fault ends the check at once.
    clock.ClearSleeps();
    server->Faults().Add(Fault::For("NoOpRequest").SoapFault("service.PERM_DENIED"));
    EXPECT_EQ(session->WaitForValidToken(), E_FAIL);
    EXPECT_TRUE(clock.GetSleeps().empty());

    // A token that never becomes valid is no token.
    UserSession::ReleaseSharedSessions();
    server->Faults().Add(Fault::For("NoOpRequest", 5).SoapFault("service.AUTH_EXPIRED"));
    EXPECT_TRUE(TokenFails(*Create(Params())));
}

TEST_F(TokenTest, InvalidationSignsOnAtMostOnceInThirtySeconds) {
    SetSetting(HKEY_CURRENT_USER, L"StorePassword", 1);  // signing on again needs nobody
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    auto session = Create(Params());
    std::wstring first = session->AuthToken();

    Book().ExpireTokens();
    session->InvalidateAuthToken(1);
    std::wstring second = session->AuthToken();
    EXPECT_NE(second, first);
    EXPECT_TRUE(session->LastInvalidationExpired());
    EXPECT_EQ(Sent("AuthRequest").size(), 2u);

    clock.Advance(10000);
    session->InvalidateAuthToken(0);  // only checks that there is a token
    EXPECT_EQ(session->AuthToken(), second);
    EXPECT_EQ(Sent("AuthRequest").size(), 2u);

    clock.Advance(20000);
    session->InvalidateAuthToken(0);
    EXPECT_NE(session->AuthToken(), second);
    EXPECT_FALSE(session->LastInvalidationExpired());
    EXPECT_EQ(Sent("AuthRequest").size(), 3u);

    // A failed sign-on leaves no token: the caller is told it cannot connect.
    clock.Advance(30000);
    Book().Add(OstrelServer::Account{kUser, "changed elsewhere"});
    UserSession::SetUIFlag(0);
    EXPECT_THROW(session->InvalidateAuthToken(1), WinHttpException);
    EXPECT_FALSE(session->GotAuthToken());
}

TEST_F(TokenTest, ExpiredTokenOnManyThreadsMeansOneSignOnAndTheRestThrottled) {
    SetSetting(HKEY_CURRENT_USER, L"StorePassword", 1);  // signing on again needs nobody
    auto session = Create(Params());
    session->AuthToken();
    Book().ExpireTokens();
    server->ClearRequests();

    // The server holds the first answers until every thread has sent its call, so that each of
    // them meets the expired token.
    constexpr int kThreads = 6;
    std::mutex mutex;
    std::condition_variable arrived;
    int cHeld = 0;
    const OstrelServer::SoapHandler noOp = OstrelServer::RegisteredSoapEndpoints().at("NoOpRequest");
    server->SetSoapHandler("NoOpRequest", [&](const OstrelServer::SoapCall& call) {
        std::unique_lock<std::mutex> lock(mutex);
        if (cHeld < kThreads) {
            ++cHeld;
            arrived.notify_all();
            arrived.wait_for(lock, TestSupport::kWaitDeadline, [&] { return cHeld == kThreads; });
        }
        lock.unlock();
        return noOp(call);
    });

    Ostrel::Util::LogCapture log;
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            OstrelConnection connection(L"worker", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0, kProxyModeNone,
                                        nullptr, 0, L"Profile");
            NoOpRequest request;
            Response* pResponse = nullptr;
            try {
                connection.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
                succeeded += pResponse && !dynamic_cast<SoapFaultResponse*>(pResponse);
            } catch (const RpcException&) {
            }
            Response::Manager::DeleteResponse(pResponse);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(cHeld, kThreads) << "not every thread's first call reached the server";
    EXPECT_EQ(succeeded.load(), kThreads);
    EXPECT_EQ(Sent("AuthRequest").size(), 1u);
    EXPECT_EQ(log.Count(L"Invalidating the auth token (expired)"), 1u);
    EXPECT_EQ(log.Count(L"not signing on again"), static_cast<size_t>(kThreads - 1));
    // Each worker sent twice, plus the new token's own check.
    EXPECT_LE(Sent("NoOpRequest").size(), 2u * kThreads + 1);
    EXPECT_GE(Sent("NoOpRequest").size(), 2u * kThreads);
}

TEST_F(TokenTest, ChangedLogonParametersReplaceTheSessionAndConnectionsFollow) {
    auto session = Create(Params());
    EXPECT_EQ(Create(Params()), session);
    LogonParams sameButHost = Params();
    sameButHost.wsVirtualHost = L"other.example";
    EXPECT_EQ(Create(sameButHost), session);

    OstrelConnection connection(L"follower", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0, kProxyModeNone,
                                nullptr, 0, L"Profile");
    std::wstring oldToken = session->AuthToken();

    Ostrel::Util::LogCapture log;
    LogonParams changed = Params(L"another password");
    changed.dwPort = 1;
    auto replaced = Create(changed);
    EXPECT_NE(replaced, session);
    EXPECT_EQ(UserSession::GetInstance(L"Profile"), replaced);
    EXPECT_TRUE(log.Contains(L"UserSession parameters changed"));
    EXPECT_TRUE(log.Contains(L"New UserSession created due to new logon parameters"));
    EXPECT_EQ(log.Count(L"another password"), 0u);

    // The old object lives on for whoever holds it; connections reach the new one.
    EXPECT_EQ(session->AuthToken(), oldToken);
    EXPECT_EQ(connection.GetUserSession()->Port(), 1u);

    UserSession::ReleaseSharedSession(L"Profile");
    EXPECT_EQ(UserSession::GetInstance(L"Profile"), nullptr);
    EXPECT_EQ(connection.GetUserSession()->Port(), 0u);
    EXPECT_THROW(connection.GetUserSession()->AuthToken(), WinHttpException);
}

// A connection for another profile goes to that profile's session's port, not the global
// profile's; without a session it keeps the port it was given.
TEST_F(TokenTest, ConnectionOfAnotherProfileUsesThatProfilesPort) {
    auto main = Create(Params(), L"Main");
    OstrelServer::Server other;
    other.Start();
    OstrelServer::Account account{kUser, kPassword};
    other.State<OstrelServer::AccountBook>().Add(account);
    LogonParams params = Params();
    params.dwPort = static_cast<DWORD>(other.Port());
    auto second = Create(params, L"Second");
    ASSERT_EQ(UserSession::GetGlobalProfileName(), L"Main");

    OstrelConnection connection(L"second", L"127.0.0.1", 1, 0, kProxyModeNone, nullptr, 0, L"Second");
    EXPECT_EQ(connection.GetConnection()->GetPort(), static_cast<DWORD>(other.Port()));
    NoOpRequest noOp;
    Response* pResponse = nullptr;
    connection.SendRequestSynchronousOC(&noOp, pResponse, __func__, __LINE__);
    Response::Manager::DeleteResponse(pResponse);
    EXPECT_TRUE(Sent("NoOpRequest").empty()) << "nothing went to the global profile's server";

    OstrelConnection lone(L"lone", L"127.0.0.1", 4711, 0, kProxyModeNone, nullptr, 0, L"No Such Profile");
    EXPECT_EQ(lone.GetConnection()->GetPort(), 4711u);
}

TEST_F(TokenTest, GlobalProfileAndProcessWideSettings) {
    UserSession::SetGlobalProfileName(L"Second");
    auto first = Create(Params(), L"First");
    auto second = Create(Params(), L"Second");
    EXPECT_EQ(UserSession::GetInstance(), second);
    EXPECT_EQ(UserSession::GetAuthStatus(), kAuthStateNone);
    second->AuthToken();
    EXPECT_EQ(UserSession::GetAuthStatus(), kAuthStateAuthenticated);
    UserSession::ReleaseSharedSession();
    EXPECT_EQ(UserSession::GetInstance(), nullptr);
    EXPECT_EQ(UserSession::GetInstance(L"First"), first);

    // The preferences' UID: a waiter times out on the injected clock, or gets it once set.
    GUID uid{};
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    ASSERT_FALSE(UserSession::GetAccountPrefsUID(uid));
    std::atomic<bool> timedOut{true}, done{false};
    std::thread waiter([&] {
        timedOut = !UserSession::WaitForAccountPrefsGUID(60000, uid);
        done = true;
    });
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return clock.GetWaiterCount() != 0 || done; }))
        << "the waiter never waited on the clock";
    clock.Advance(60000);
    waiter.join();
    EXPECT_TRUE(timedOut);

    done = false;
    std::thread setter([&] {
        timedOut = !UserSession::WaitForAccountPrefsGUID(60000, uid);
        done = true;
    });
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return clock.GetWaiterCount() != 0 || done; }))
        << "the waiter never waited on the clock";
    UserSession::SetAccountPrefsUID(GUID{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}});
    setter.join();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(uid.Data1, 0x12345678u);
}

}  // namespace
}  // namespace SessionTest
