// Sign-on without a password: Negotiate single sign-on against "/service/spnego" (with a double
// for the token source, and the real GSSAPI provider on a machine in no realm), and the client
// certificate's redirect through "/certauth".
#include <openssl/evp.h>

#include <cstdlib>
#include <fstream>

#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Base/Utf.h"
#include "Platform/Sspi/Sspi.h"
#include "SessionTestSupport.h"
#include "Util/Log/Log.h"

namespace SessionTest {
namespace {

std::string Base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

class SsoTest : public SessionFixture {
protected:
    void SignedOnToRealm() {
        security->principal = L"USER@example.test";
        Book().AcceptNegotiateToken(Base64(security->token), kUser);
    }
};

TEST_F(SsoTest, NegotiateTokenIsExchangedForASessionWithoutAnyPassword) {
    SignedOnToRealm();
    Ostrel::Util::LogCapture log;
    auto session = Create(Params(L""));
    ASSERT_FALSE(session->AuthToken().empty());
    EXPECT_TRUE(log.Contains(L"Request resulted in expected HTTP_STATUS_DENIED."));
    EXPECT_TRUE(log.Contains(L"SSO authorization succeeded."));
    EXPECT_TRUE(log.Contains(L"SSO - don't share"));
    EXPECT_EQ(security->spn, L"HTTP/127.0.0.1@EXAMPLE.TEST");
    EXPECT_EQ(security->openHandles, 0);

    auto gets = Sent("/service/spnego");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_FALSE(gets[0].HasHeader("Authorization"));
    EXPECT_EQ(gets[1].Header("Authorization"), "Negotiate " + Base64(security->token));
    auto auths = Sent("AuthRequest");
    ASSERT_EQ(auths.size(), 1u);
    EXPECT_NE(auths[0].body.find("<authToken>sso-"), std::string::npos);
    EXPECT_EQ(auths[0].body.find("password"), std::string::npos);
}

TEST_F(SsoTest, AnyFailedStepFallsBackToThePassword) {
    Book().AcceptNegotiateToken(Base64("known-token"), kUser);
    struct Case {
        const wchar_t* profile;
        const wchar_t* principal;
        const char* token;
        const wchar_t* logged;
    };
    for (const Case& c : {Case{L"p1", L"", "known-token", L"Not on a domain."},
                          Case{L"p2", L"someone.else@example.test", "known-token",
                               L"Name in profile (user@example.test) doesn't match Windows user"},
                          Case{L"p3", kUserW, "unknown-token", L"Couldn't obtain Ostrel SSO auth token."}}) {
        security->principal = c.principal;
        security->token = c.token;
        Ostrel::Util::LogCapture log;
        auto session = Create(Params(), c.profile);
        EXPECT_FALSE(session->AuthToken().empty()) << c.logged;
        EXPECT_TRUE(log.Contains(c.logged)) << c.logged;
        EXPECT_FALSE(log.Contains(L"SSO authorization succeeded."));
        EXPECT_EQ(security->openHandles, 0);
    }
    // The token the server rejects: the exchange fails and the password signs on.
    SignedOnToRealm();
    server->Faults().Add(OstrelServer::Fault::For("AuthRequest").SoapFault("account.AUTH_FAILED"));
    Ostrel::Util::LogCapture log;
    auto session = Create(Params(), L"rejected");
    EXPECT_FALSE(session->AuthToken().empty());
    EXPECT_TRUE(log.Contains(L"SSO Auth failed for supplied token."));
    EXPECT_EQ(Shown(Platform::Ui::ScriptedUi::Kind::Password), 0u);
}

// The process's own provider on a machine in no realm and without tickets (the provider's
// answers there have tests of their own): the session signs on with the password.
TEST_F(SsoTest, GssapiWithoutRealmOrCredentialsIsNotOnADomain) {
    std::filesystem::path config = home.Path() / "krb5.conf";
    std::ofstream(config) << "[libdefaults]\n";
    setenv("KRB5_CONFIG", config.c_str(), 1);
    setenv("KRB5CCNAME", ("FILE:" + (home.Path() / "no-cache").string()).c_str(), 1);
    Platform::Sspi::SetCurrent(nullptr);
    Ostrel::Util::LogCapture log;
    EXPECT_FALSE(Create(Params())->AuthToken().empty());
    EXPECT_TRUE(log.Contains(L"Not on a domain."));
    unsetenv("KRB5_CONFIG");
    unsetenv("KRB5CCNAME");
}

TEST_F(SsoTest, CertificateSignOnRedirectsEveryConnectionUntilTheNextSignOn) {
    SetSetting(HKEY_CURRENT_USER, L"StorePassword", 1);  // the later password sign-on keeps it
    auto session = Create(Params());
    EXPECT_EQ(session->CertAuth(), E_FAIL);  // the server offers no certificate sign-on
    EXPECT_FALSE(session->GotAuthToken());

    OstrelConnection other(L"other", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0, kProxyModeNone, nullptr, 0,
                           L"Profile");
    Book().EnableCertAuth(kUser, 45678);
    Ostrel::Util::LogCapture log;
    ASSERT_EQ(session->CertAuth(), S_OK);
    EXPECT_TRUE(log.Contains(L"Successfully read redirect port (45678) and token."));
    EXPECT_TRUE(session->GotAuthToken());
    EXPECT_EQ(session->Port(), 45678u);
    EXPECT_EQ(other.GetConnection()->GetPort(), 45678u);
    EXPECT_EQ(Book().CheckToken(Platform::ToUtf8(session->AuthToken())), OstrelServer::AccountBook::TokenState::Valid);

    // Signing on again puts the session's connection back on its own port first.
    session->InvalidateAuthToken(1);
    EXPECT_TRUE(log.Contains(L"Redirect (port 45678) removed prior to reauth."));
    EXPECT_EQ(session->Port(), static_cast<DWORD>(server->Port()));
    EXPECT_TRUE(session->GotAuthToken());
}

}  // namespace
}  // namespace SessionTest
