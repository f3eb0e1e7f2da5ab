// Sign-on with credentials: the password, two-factor and password-change prompts with OK and
// Cancel, trusted devices, refusals, and passwords kept out of the log.
#include <fstream>

#include "Ostrel/Rpc/Transport/ConnectionTestSupport.h"
#include "Ostrel/Settings/ProfileStore.h"
#include "Platform/Base/Utf.h"
#include "Platform/Http/WinHttp.h"
#include "SessionTestSupport.h"
#include "Util/Log/Log.h"
#include "Util/Text/Localized.h"

namespace SessionTest {
namespace {

using Kind = Platform::Ui::ScriptedUi::Kind;

class SignOnTest : public SessionFixture {
protected:
    void AddTwoFactorAccount(std::vector<std::string> codes) {
        OstrelServer::Account account{kUser, kPassword};
        account.twoFactor = true;
        account.codes = std::move(codes);
        Book().Add(account);
    }
};

TEST_F(SignOnTest, RightPasswordSignsOnAndFetchesTheAccount) {
    auto session = Create(Params());
    std::wstring token = session->AuthToken();
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(session->GetAuthState(), kAuthStateAuthenticated);
    EXPECT_EQ(session->AuthToken(), token);  // no second sign-on
    EXPECT_EQ(Sent("AuthRequest").size(), 1u);
    EXPECT_EQ(Sent("NoOpRequest").size(), 1u);  // the new token's check
    EXPECT_EQ(Sent("GetInfoRequest").size(), 1u);
    EXPECT_EQ(session->EmailAddress(), kUserW);
    EXPECT_TRUE(ui->History().empty());
}

TEST_F(SignOnTest, WrongPasswordPromptsAndOkRetriesWithTheTypedPassword) {
    ui->QueuePasswordAnswer({IDOK, kUserW, L"still wrong"});
    ui->QueuePasswordAnswer({IDOK, kUserW, kPasswordW});
    auto session = Create(Params(L"wrong"));
    EXPECT_FALSE(session->AuthToken().empty());
    EXPECT_EQ(Sent("AuthRequest").size(), 3u);
    auto history = ui->History();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].kind, Kind::Password);
    EXPECT_EQ(history[0].wsCaption, Ostrel::Util::GetLocalizedString("PASSWORD_DIALOG_CAPTION"));
}

TEST_F(SignOnTest, CancelledOrImpossiblePasswordPromptFailsTheToken) {
    ui->QueuePasswordAnswer({IDCANCEL, kUserW, L""});
    auto session = Create(Params(L"wrong"));
    EXPECT_TRUE(TokenFails(*session));
    EXPECT_EQ(session->GetAuthState(), kAuthStateNeedsUser);
    EXPECT_EQ(Shown(Kind::Password), 1u);

    // Without permission to show dialogs the refusal ends sign-on at once.
    UserSession::SetUIFlag(0);
    size_t before = Sent("AuthRequest").size();
    EXPECT_TRUE(TokenFails(*session));
    EXPECT_EQ(Sent("AuthRequest").size(), before + 1);
    EXPECT_EQ(Shown(Kind::Password), 1u);
}

TEST_F(SignOnTest, TwoFactorCodeWithTrustThisDeviceKeepsATrustedTokenForTheNextSignOn) {
    AddTwoFactorAccount({"111111", "222222"});
    ui->QueueTwoFactorAnswer({IDOK, L"999999", false});  // wrong code: asked again
    ui->QueueTwoFactorAnswer({IDOK, L"111111", true});
    auto session = Create(Params());
    ASSERT_FALSE(session->AuthToken().empty());
    EXPECT_EQ(Shown(Kind::TwoFactor), 2u);
    auto auths = Sent("AuthRequest");
    ASSERT_EQ(auths.size(), 3u);
    EXPECT_EQ(auths[0].body.find("twoFactorCode"), std::string::npos);
    EXPECT_NE(auths[2].body.find("<twoFactorCode>111111</twoFactorCode>"), std::string::npos);
    EXPECT_NE(auths[2].body.find("deviceTrusted=\"1\""), std::string::npos);
    EXPECT_NE(auths[2].body.find("<deviceId>"), std::string::npos);

    std::wstring trusted;
    ASSERT_EQ(Ostrel::Mapi::GetTrustedTokenFromProfile(L"Profile", trusted), S_OK);
    EXPECT_EQ(trusted, session->TrustedToken());
    EXPECT_FALSE(trusted.empty());

    // A new session of the profile signs on with the trusted device, without a prompt.
    UserSession::ReleaseSharedSessions();
    server->ClearRequests();
    auto again = Create(Params());
    ASSERT_FALSE(again->AuthToken().empty());
    EXPECT_EQ(Shown(Kind::TwoFactor), 2u);
    auths = Sent("AuthRequest");
    ASSERT_EQ(auths.size(), 1u);
    EXPECT_NE(auths[0].body.find("<trustedToken>" + Platform::ToUtf8(trusted) + "</trustedToken>"), std::string::npos);
    EXPECT_NE(auths[0].body.find("<deviceId>"), std::string::npos);
    EXPECT_EQ(auths[0].body.find("twoFactorCode"), std::string::npos);
}

TEST_F(SignOnTest, RevokedDeviceIsForgottenAndCancelledCodeSwitchesOffline) {
    AddTwoFactorAccount({"111111"});
    ASSERT_EQ(Ostrel::Mapi::SetTrustedTokenInProfile(L"Profile", L"revoked-token"), S_OK);
    ui->QueueTwoFactorAnswer({IDCANCEL, L"", false});
    auto session = Create(Params());
    EXPECT_TRUE(TokenFails(*session));
    EXPECT_TRUE(Platform::Host::IsOffline());
    EXPECT_TRUE(ConnectionMgr::Get().IsOffline());
    auto history = ui->History();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[1].kind, Kind::MessageBox);
    EXPECT_EQ(history[1].wsText, Ostrel::Util::GetLocalizedString("TWOFACTOR_SWITCHING_OFFLINE"));
    std::wstring trusted;
    EXPECT_EQ(Ostrel::Mapi::GetTrustedTokenFromProfile(L"Profile", trusted), Ostrel::Mapi::kProfileValueNotFound);
    EXPECT_TRUE(session->TrustedToken().empty());
}

// The host may take its time to go offline; this library is offline from the cancel on, so no
// request signs on again meanwhile, and online again as soon as the host says so.
TEST_F(SignOnTest, CancelledCodeKeepsRequestsOffUntilTheHostIsOnlineAgain) {
    AddTwoFactorAccount({"111111"});
    int switches = 0;
    Platform::Host::SetOfflineSwitcher([&](bool) {
        ++switches;  // the host switches later, on its own
        return S_OK;
    });
    ui->QueueTwoFactorAnswer({IDCANCEL, L"", false});
    auto session = Create(Params());
    EXPECT_TRUE(TokenFails(*session));
    EXPECT_EQ(switches, 1);
    EXPECT_FALSE(Platform::Host::IsOffline());
    EXPECT_TRUE(ConnectionMgr::Get().IsOffline());
    size_t sent = server->Requests().size();
    EXPECT_TRUE(TokenFails(*session));
    EXPECT_EQ(server->Requests().size(), sent);
    EXPECT_EQ(Shown(Kind::TwoFactor), 1u);

    Platform::Host::SetOffline(true);
    Platform::Host::SetOffline(false);
    EXPECT_FALSE(ConnectionMgr::Get().IsOffline());
    ui->QueueTwoFactorAnswer({IDOK, L"111111", false});
    EXPECT_FALSE(session->AuthToken().empty());

    // A switch the host refuses leaves everything online.
    UserSession::ReleaseSharedSessions();
    Platform::Host::SetOfflineSwitcher([](bool) { return E_ACCESSDENIED; });
    ui->QueueTwoFactorAnswer({IDCANCEL, L"", false});
    EXPECT_TRUE(TokenFails(*Create(Params())));
    EXPECT_FALSE(ConnectionMgr::Get().IsOffline());
}

// A server certificate that does not verify goes to the trust decision on sign-on too: refused,
// the session remembers the certificate error; accepted, sign-on goes on, and its success clears
// the error so that later failures are not reported as certificate errors.
TEST_F(SignOnTest, UnverifiedCertificateGoesToTheTrustDecisionAndSuccessClearsTheError) {
    OstrelServer::ServerOptions options;
    options.tls = true;
    OstrelServer::Server tls(options);
    tls.Start();
    OstrelServer::Account account{kUser, kPassword};
    tls.State<OstrelServer::AccountBook>().Add(account);
    auto trust = std::make_shared<ConnTest::TestTrustManager>();
    trust->acceptDialog = false;
    SetCertTrustManager(trust);
    LogonParams params = Params();
    params.dwPort = static_cast<DWORD>(tls.Port());
    params.useSSL = 1;
    auto session = Create(params);

    bool bRefused = TokenFails(*session);
    bool bCertError = session->GotServerCertError();
    trust->acceptDialog = true;
    bool bSignedOn = bRefused && !session->AuthToken().empty();
    SetCertTrustManager(nullptr);
    EXPECT_TRUE(bRefused);
    EXPECT_TRUE(bCertError);
    EXPECT_TRUE(tls.Requests().size() >= 1u);
    EXPECT_TRUE(bSignedOn);
    EXPECT_EQ(trust->dialogs, 2);
    EXPECT_FALSE(session->GotServerCertError());
}

TEST_F(SignOnTest, PasswordChangeOkSendsTheChangeAndSignsOnWithTheNewPassword) {
    OstrelServer::Account account{kUser, kPassword};
    account.mustChangePassword = true;
    Book().Add(account);
    ui->QueueNewPasswordAnswer({IDOK, kPasswordW});  // the same password is refused
    ui->QueueNewPasswordAnswer({IDOK, L"N3w-password"});
    auto session = Create(Params());
    ASSERT_FALSE(session->AuthToken().empty());
    auto changes = Sent("ChangePasswordRequest");
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_NE(changes[1].body.find("<password>N3w-password</password>"), std::string::npos);
    EXPECT_EQ(Book().CheckPassword(kUser, "N3w-password"), "");
    auto history = ui->History();
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[1].kind, Kind::MessageBox);
    EXPECT_EQ(history[1].wsText.rfind(L"Ostrel Password error: ", 0), 0u);
}

// A change that fails on the way is shown to the user who asked for it, like a refused one.
TEST_F(SignOnTest, PasswordChangeLostInTransportIsShown) {
    OstrelServer::Account account{kUser, kPassword};
    account.mustChangePassword = true;
    Book().Add(account);
    server->Faults().Add(OstrelServer::Fault::For("ChangePasswordRequest").Status(503));
    ui->QueueNewPasswordAnswer({IDOK, L"N3w-password"});
    auto session = Create(Params());
    EXPECT_TRUE(TokenFails(*session));
    auto history = ui->History();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[1].kind, Kind::MessageBox);
    EXPECT_EQ(history[1].wsText.rfind(L"Ostrel Password error: ", 0), 0u) << Platform::ToUtf8(history[1].wsText);
    EXPECT_EQ(history[1].wsCaption, Ostrel::Util::GetLocalizedString("CHANGE_PASSWORD_CAPTION"));
}

TEST_F(SignOnTest, PasswordChangeCancelFailsAndSetupRequiredTellsTheUser) {
    OstrelServer::Account account{kUser, kPassword};
    account.mustChangePassword = true;
    Book().Add(account);
    Ostrel::Util::LogCapture log;
    ui->QueueNewPasswordAnswer({IDCANCEL, L""});
    auto session = Create(Params());
    EXPECT_TRUE(TokenFails(*session));
    EXPECT_TRUE(log.Contains(L"User was prompted for new password during signon. IDCANCEL returned."));
    EXPECT_TRUE(Sent("ChangePasswordRequest").empty());

    account.mustChangePassword = false;
    account.twoFactorSetupRequired = true;
    Book().Add(account);
    ui->QueueMessageBoxAnswer(IDOK);
    EXPECT_TRUE(TokenFails(*session));
    auto history = ui->History();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[1].wsText, Ostrel::Util::GetLocalizedString("TWOFACTOR_SETUP_REQUIRED"));
}

TEST_F(SignOnTest, UnexpectedFaultShowsTheInvalidAnswerBoxAndTransportFailureDoesNot) {
    server->Faults().Add(OstrelServer::Fault::For("AuthRequest").SoapFault("account.NO_SUCH_DOMAIN"));
    auto session = Create(Params());
    EXPECT_TRUE(TokenFails(*session));
    auto history = ui->History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_NE(history[0].wsText.find(kUserW), std::wstring::npos);
    EXPECT_EQ(history[0].wsCaption, Ostrel::Util::GetLocalizedString("MBOX_CAPTION_ERR"));
    EXPECT_EQ(session->GetAuthState(), kAuthStateNeedsUser);

    UserSession::ReleaseSharedSessions();
    auto fresh = Create(Params());
    server->Stop();
    EXPECT_TRUE(TokenFails(*fresh));
    EXPECT_EQ(fresh->GetAuthState(), kAuthStateNone);
    EXPECT_EQ(ui->History().size(), 1u);
}

TEST_F(SignOnTest, HandheldServerAdministratorSignsOnAtTheAdminPathAndFindsTheMailboxPort) {
    // The admin port speaks HTTPS: a server certificate from a root the test trusts.
    OstrelServer::CertificateOptions rootOptions;
    rootOptions.commonName = "Session Test Root";
    rootOptions.isCA = true;
    auto root = OstrelServer::Certificate::Generate(rootOptions);
    std::filesystem::path rootsFile = home.Path() / "roots.pem";
    std::ofstream(rootsFile) << root.CertPem();
    Platform::Http::SetTrustedRootsFile(rootsFile.string());
    OstrelServer::ServerOptions options;
    options.tls = true;
    options.certificate = OstrelServer::Certificate::Generate({}, &root);
    OstrelServer::Server admin(options);
    admin.Start();
    auto& book = admin.State<OstrelServer::AccountBook>();
    OstrelServer::Account account;
    account.name = "admin@example.test";
    account.password = kPassword;
    account.admin = true;
    book.Add(account);
    book.SetMailPorts(7025, 7026);
    SetSetting(HKEY_LOCAL_MACHINE, L"isBES", 1);

    LogonParams params = Params(kPasswordW, L"admin@example.test");
    params.useSSL = 1;
    params.dwPort = params.dwAdminPort = static_cast<DWORD>(admin.Port());
    Ostrel::Util::LogCapture log;
    auto session = Create(params);
    bool bSignedOn = !session->AuthToken().empty();
    Platform::Http::SetTrustedRootsFile("");
    ASSERT_TRUE(bSignedOn);
    EXPECT_EQ(session->MailPort(), 7026u);
    EXPECT_EQ(session->Port(), 7026u);
    EXPECT_EQ(session->AdminPort(), static_cast<DWORD>(admin.Port()));
    EXPECT_TRUE(log.Contains(L"BES - don't share"));
    EXPECT_FALSE(log.Contains(L"Attempting SSO authorization."));

    std::vector<OstrelServer::RecordedRequest> auths;
    for (auto& request : admin.Requests())
        if (request.callName == "AuthRequest")
            auths.push_back(request);
    ASSERT_EQ(auths.size(), 1u);
    EXPECT_EQ(auths[0].path, "/service/admin/soap//AuthRequest");
    EXPECT_NE(auths[0].body.find("<name>admin@example.test</name>"), std::string::npos);
    EXPECT_NE(auths[0].body.find("urn:ostrelAdmin"), std::string::npos);
}

TEST_F(SignOnTest, PasswordsNeverReachTheLogEvenAtFullDetail) {
    StartFullLog();
    OstrelServer::Account account{kUser, kPassword};
    account.mustChangePassword = true;
    Book().Add(account);
    const std::wstring newPassword = L"Brand-New-Sécret-7";
    ui->QueuePasswordAnswer({IDOK, kUserW, kPasswordW});
    ui->QueueNewPasswordAnswer({IDOK, newPassword});
    auto session = Create(Params(L"Typo-Password-1"));
    bool bSignedOn = !session->AuthToken().empty();
    Create(Params(L"Other-Password-2"));  // the parameter table shows no passwords either

    const std::string log = StopFullLog();
    ASSERT_TRUE(bSignedOn);
    ASSERT_NE(log.find("Auth succeeded"), std::string::npos);
    ASSERT_NE(log.find("UserSession parameters changed"), std::string::npos);
    for (const std::wstring& password :
         {std::wstring(kPasswordW), newPassword, std::wstring(L"Typo-Password-1"), std::wstring(L"Other-Password-2")})
        EXPECT_EQ(log.find(Platform::ToUtf8(password)), std::string::npos) << Platform::ToUtf8(password);
}

}  // namespace
}  // namespace SessionTest
