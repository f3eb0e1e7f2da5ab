// The trust manager against real TLS over loopback: the simulator serves HTTPS with generated
// certificates.
#include "Ostrel/Rpc/Transport/ConnectionSession.h"
#include "Ostrel/Rpc/Transport/ConnectionTestSupport.h"
#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Ostrel/Trust/CertTrustMgr.h"
#include "Ostrel/Trust/CertTrustPrompt.h"
#include "Ostrel/Trust/ProfileTrustRecord.h"
#include "Platform/Registry/Registry.h"
#include "Support/Process.h"
#include "Util/Log/Log.h"
#include "Util/Text/Localized.h"
#include "Util/Time/Clock.h"

#include <chrono>
#include <cstdlib>
#include <fstream>

using namespace ConnTest;
using Ostrel::Mapi::CertTrustMgr;

namespace {

std::wstring ColonHex(const std::vector<unsigned char>& bytes) {
    return Ostrel::Mapi::ColonHex(bytes.data(), bytes.size());
}

Platform::Ui::CertTrustAnswer Choose(size_t iPeriod) {
    return Platform::Ui::CertTrustAnswer{IDOK, iPeriod};
}

constexpr size_t kFiveMinutes = 2;

std::wstring Text(const char* pszKey) {
    return Ostrel::Util::GetLocalizedString(pszKey);
}

Platform::CertFingerprint Fingerprint(const std::vector<unsigned char>& sha1) {
    Platform::CertFingerprint fp{};
    std::copy(sha1.begin(), sha1.end(), fp.begin());
    return fp;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class CertTrustTest : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        // A refusal in the mail client itself takes it offline; most tests run as another program.
        Platform::Host::SetApplicationType(Platform::Host::kApplicationOther);
        manager = std::make_shared<CertTrustMgr>();
        SetCertTrustManager(manager);
    }
    void TearDown() override {
        Platform::Http::SetTrustedRootsFile("");
        SetCurrentProfileNameSource(nullptr);
        ConnectionTest::TearDown();
        Platform::Host::ResetToDefaults();
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    }
    // A certificate authority the client trusts from now on.
    OstrelServer::Certificate TrustedCa() {
        OstrelServer::CertificateOptions options;
        options.commonName = "Trust Test Root";
        options.isCA = true;
        auto ca = OstrelServer::Certificate::Generate(options);
        std::string file = (home.Path() / "roots.pem").string();
        std::ofstream(file) << ca.CertPem();
        Platform::Http::SetTrustedRootsFile(file);
        return ca;
    }
    std::shared_ptr<CertTrustMgr> manager;
};

// Each kind of bad certificate reaches the question with its own problems, the certificate's
// names and both fingerprints; refused, nothing reaches the server.
TEST_F(CertTrustTest, EachProblemReachesTheDialog) {
    auto ca = TrustedCa();
    OstrelServer::CertificateOptions unknownCaOptions;
    unknownCaOptions.commonName = "Unknown Root";
    unknownCaOptions.isCA = true;
    auto unknownCa = OstrelServer::Certificate::Generate(unknownCaOptions);
    OstrelServer::CertificateOptions expired;
    expired.validFromSeconds = -7200;
    expired.validToSeconds = -60;
    OstrelServer::CertificateOptions wrongHost;
    wrongHost.commonName = "other.example";
    wrongHost.dnsNames = {"other.example"};
    wrongHost.ipAddresses = {};
    struct Case {
        const char* pszName;
        OstrelServer::Certificate cert;
        DWORD dwIssues;
    } cases[] = {
        {"self-signed", OstrelServer::Certificate::Generate({}), WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA},
        {"expired", OstrelServer::Certificate::Generate(expired, &ca), WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID},
        {"wrong host", OstrelServer::Certificate::Generate(wrongHost, &ca),
         WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID},
        {"unknown CA", OstrelServer::Certificate::Generate({}, &unknownCa), WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA},
    };
    for (Case& item : cases) {
        SCOPED_TRACE(item.pszName);
        manager = std::make_shared<CertTrustMgr>();
        SetCertTrustManager(manager);
        auto server = StartServer(true, item.cert);
        auto c = Connect(*server);
        size_t asked = ui->CertTrustPrompts().size();
        EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
        auto prompts = ui->CertTrustPrompts();
        ASSERT_EQ(prompts.size(), asked + 1);
        const auto& prompt = prompts.back();
        EXPECT_EQ(prompt.problems, Ostrel::Mapi::CertIssueTexts(item.dwIssues));
        EXPECT_EQ(prompt.wsSha1, ColonHex(server->GetCertificate().Sha1()));
        EXPECT_EQ(prompt.wsSha256.size(), 32u * 3 - 1);
        EXPECT_NE(prompt.wsSubject.find(L"CN="), std::wstring::npos);
        EXPECT_NE(prompt.wsIssuer.find(L"CN="), std::wstring::npos);
        EXPECT_NE(prompt.wsValidity.find(L"UTC"), std::wstring::npos);
        EXPECT_EQ(prompt.periods.size(), CertTrustMgr::Periods().size());
        EXPECT_TRUE(server->Requests().empty());
        EXPECT_FALSE(manager->TrustTimeExists());
    }
}

// The child half of TrustForAPeriodHoldsInAnotherProcess: runs only when started by it.
TEST(CertTrustChild, UsesTheTrustOfAnotherProcess) {
    const char* pszPort = std::getenv("OSTREL_TRUST_TEST_PORT");
    if (!pszPort)
        GTEST_SKIP() << "started by TrustForAPeriodHoldsInAnotherProcess";
    auto manager = std::make_shared<CertTrustMgr>();
    SetCertTrustManager(manager);
    Connection c(L"test", L"127.0.0.1", static_cast<DWORD>(std::atoi(pszPort)), 1, kProxyModeNone, nullptr, 0);
    EXPECT_EQ(TryNoOp(c), 0u);  // the silent interface refuses any question: none may come
    SetCertTrustManager(nullptr);
}

TEST_F(CertTrustTest, TrustForAPeriodHoldsInAnotherProcess) {
    auto server = StartServer(true);
    auto c = Connect(*server);
    ui->QueueCertTrustAnswer(Choose(kFiveMinutes));
    ASSERT_EQ(TryNoOp(*c), 0u);
    EXPECT_EQ(ui->CertTrustPrompts().size(), 1u);

    setenv("OSTREL_TRUST_TEST_PORT", std::to_string(server->Port()).c_str(), 1);
    TestSupport::ProgramRun run =
        TestSupport::RunProgram(std::filesystem::read_symlink("/proc/self/exe"),
                                {"--gtest_filter=CertTrustChild.UsesTheTrustOfAnotherProcess"});
    unsetenv("OSTREL_TRUST_TEST_PORT");
    EXPECT_EQ(run.iExit, 0) << run.sOut;
    EXPECT_EQ(server->Requests().size(), 2u);
}

// When the period ends, the next request is stopped before it is sent, kept-alive connection or
// not; the one after that is verified afresh and asks again, and the trust is not dropped as if
// the certificate had been verified.
TEST_F(CertTrustTest, ExpiredTrustStopsTheNextRequestAndAsksAgain) {
    Ostrel::Util::ManualClock clock;
    clock.SetUnixTimeMs(NowMs());
    Ostrel::Util::ScopedClock scoped(clock);
    auto server = StartServer(true);
    auto c = Connect(*server);
    ui->QueueCertTrustAnswer(Choose(kFiveMinutes));
    ASSERT_EQ(TryNoOp(*c), 0u);
    ASSERT_EQ(TryNoOp(*c), 0u);  // kept alive, trusted
    ASSERT_EQ(server->Requests().size(), 2u);

    clock.Advance(6 * 60 * 1000);
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(server->Requests().size(), 2u);
    EXPECT_FALSE(c->IsTrusted());

    // Refused: nothing is sent on the kept-alive connection either.
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(server->Requests().size(), 2u);
    auto prompts = ui->CertTrustPrompts();
    ASSERT_EQ(prompts.size(), 2u);
    EXPECT_NE(prompts.back().wsMessage.find(Text("DLG_CERT_TRUST_LBL_LIST_ADDITIONAL_TIME_EXPIRED")),
              std::wstring::npos);

    // A fresh manager (the refusal silences this one) and a renewed trust.
    manager = std::make_shared<CertTrustMgr>();
    SetCertTrustManager(manager);
    auto again = Connect(*server);
    ui->QueueCertTrustAnswer(Choose(kFiveMinutes));
    EXPECT_EQ(TryNoOp(*again), 0u);
    EXPECT_TRUE(manager->TrustTimeExists());
    EXPECT_EQ(server->Requests().size(), 3u);
}

// Trust that runs out while a reply is being read stops that reply; the kept-alive connection
// then carries nothing more: the next request is verified afresh and asks, and the expired
// trust is not taken for a verified certificate.
TEST_F(CertTrustTest, ExpiryWhileReadingClosesTheKeptAliveConnection) {
    Ostrel::Util::ManualClock clock;
    clock.SetUnixTimeMs(NowMs());
    Ostrel::Util::ScopedClock scoped(clock);
    auto server = StartServer(true);
    auto c = Connect(*server);
    ui->QueueCertTrustAnswer(Choose(kFiveMinutes));
    ASSERT_EQ(TryNoOp(*c), 0u);
    ASSERT_EQ(server->Requests().size(), 1u);

    // Each read waits half a second on the clock: the period ends between send and read.
    clock.Advance(5 * 60 * 1000 - 300);
    Platform::Host::SetTestOption(L"ThrottleWinHTTPReads", true);
    DWORD dwError = TryNoOp(*c);
    Platform::Host::SetTestOption(L"ThrottleWinHTTPReads", false);
    EXPECT_EQ(dwError, static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    size_t sent = server->Requests().size();

    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(server->Requests().size(), sent);
    EXPECT_EQ(ui->CertTrustPrompts().size(), 2u);
}

// A server that changed its certificate is asked about as a new certificate; refused, neither
// the password nor any token has left the client.
TEST_F(CertTrustTest, ChangedCertificateIsRefusedBeforeCredentialsAreSent) {
    auto trusted = OstrelServer::Certificate::Generate({});
    std::vector<unsigned char> sha1 = trusted.Sha1();
    Platform::CertFingerprint fp{};
    std::copy(sha1.begin(), sha1.end(), fp.begin());
    ASSERT_TRUE(manager->SetTrust(L"127.0.0.1", nullptr, fp, 60));

    auto server = StartServer(true);  // another certificate
    auto c = Connect(*server);
    TestRequest auth(L"AuthRequest", L"urn:ostrelAccount");
    auth.AddChild(L"password", L"secret");
    IXMLDOMDocument2* pDoc = nullptr;
    EXPECT_THROW(c->SendRequestSynchronous(&auth, pDoc, __func__, __LINE__), WinHttpException);
    auto prompts = ui->CertTrustPrompts();
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_NE(prompts[0].wsMessage.find(Text("DLG_CERT_TRUST_LBL_LIST_ADDITIONAL_NEW_CERT")), std::wstring::npos);
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_FALSE(manager->TrustTimeExists());
}

// In the mail client a refusal is confirmed ("No" goes back to the question) and takes the
// client offline; the question names what was running and offers the periods by their texts.
TEST_F(CertTrustTest, ARefusalInTheClientIsConfirmedAndGoesOffline) {
    Platform::Host::SetApplicationType(Platform::Host::kApplicationClient);
    auto server = StartServer(true);
    auto c = Connect(*server);
    c->SetPurpose(CONNECTION_PURPOSE_SYNC);
    ui->QueueCertTrustAnswer({IDCANCEL, 0});
    ui->QueueMessageBoxAnswer(IDNO);
    ui->QueueCertTrustAnswer({IDCANCEL, 0});
    ui->QueueMessageBoxAnswer(IDYES);
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));

    auto prompts = ui->CertTrustPrompts();
    ASSERT_EQ(prompts.size(), 2u);
    EXPECT_EQ(prompts[0].wsCaption, Text("DLG_CERT_TRUST_TITLE"));
    EXPECT_EQ(prompts[0].wsMessage.rfind(Text("DLG_CERT_TRUST_LBL_LIST_SYNC"), 0), 0u);
    EXPECT_NE(prompts[0].wsMessage.find(Text("DLG_CERT_TRUST_LBL_WARNING")), std::wstring::npos);
    EXPECT_EQ(prompts[0].problems, std::vector<std::wstring>{Text("DLG_CERT_TRUST_LBSTRING_UNKNOWN_CA")});
    ASSERT_EQ(prompts[0].periods.size(), 7u);
    EXPECT_EQ(prompts[0].periods[1], Text("DLG_CERT_TRUST_CBSTRING_THIS_SESSION"));
    EXPECT_EQ(prompts[0].periods[6], Text("DLG_CERT_TRUST_CBSTRING_1_MONTH"));
    size_t boxes = 0;
    for (const auto& shown : ui->History())
        if (shown.kind == Platform::Ui::ScriptedUi::Kind::MessageBox) {
            ++boxes;
            EXPECT_EQ(shown.wsCaption, Text("MBOX_CAPTION_CONFIRM_OFFLINE"));
            EXPECT_EQ(shown.wsText, Text("MBOX_CONFIRM_OFFLINE"));
        }
    EXPECT_EQ(boxes, 2u);
    EXPECT_TRUE(Platform::Host::IsOffline());
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_FALSE(manager->TrustTimeExists());
}

// Outside the client a refusal silences the question for the rest of the process, and a session
// whose interface flag is off is never asked.
TEST_F(CertTrustTest, ARefusalElsewhereOrAnInterfaceFlagOffAsksNoMore) {
    auto server = StartServer(true);
    auto c = Connect(*server);
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));  // nothing queued: refused
    EXPECT_EQ(ui->CertTrustPrompts().size(), 1u);
    EXPECT_FALSE(Platform::Host::IsOffline());
    auto again = Connect(*server);
    EXPECT_EQ(TryNoOp(*again), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(ui->CertTrustPrompts().size(), 1u);

    manager = std::make_shared<CertTrustMgr>();
    SetCertTrustManager(manager);
    int iFlag = 0;
    manager->SetUiFlagSource([&] { return iFlag; });
    Ostrel::Util::LogCapture capture;
    auto third = Connect(*server);
    EXPECT_EQ(TryNoOp(*third), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(ui->CertTrustPrompts().size(), 1u);
    EXPECT_TRUE(capture.Contains(L"Cert Trust UI suppressed due to UI flag"));
    iFlag = 1;
    ui->QueueCertTrustAnswer(Choose(kFiveMinutes));
    auto fourth = Connect(*server);
    EXPECT_EQ(TryNoOp(*fourth), 0u);
}

// A handheld server asks only through its own interface, and for its one long period.
TEST_F(CertTrustTest, HandheldServerModeAsksOnlyItsOwnInterfaceForItsOwnPeriod) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                              nullptr),
              ERROR_SUCCESS);
    DWORD dwOne = 1;
    RegSetValueExW(hKey, L"isBES", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwOne), sizeof dwOne);
    RegCloseKey(hKey);
    Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    Ostrel::Util::ManualClock clock;
    clock.SetUnixTimeMs(NowMs());
    Ostrel::Util::ScopedClock scoped(clock);

    auto server = StartServer(true);
    auto c = Connect(*server);
    EXPECT_EQ(TryNoOp(*c), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_TRUE(ui->CertTrustPrompts().empty());

    Platform::Host::SetHandheldServerAgent(true);
    ui->QueueCertTrustAnswer(Choose(0));
    auto agent = Connect(*server);
    EXPECT_EQ(TryNoOp(*agent), 0u);
    ASSERT_EQ(ui->CertTrustPrompts().size(), 1u);
    EXPECT_EQ(ui->CertTrustPrompts()[0].periods.size(), 1u);
    auto state = manager->State();
    ASSERT_TRUE(state.record);
    EXPECT_EQ(state.record->llUntil, clock.GetUnixTime() + int64_t{4838400} * 60);
}

// A decision for a period is mirrored into the profile; the status text follows the connection.
TEST_F(CertTrustTest, TheProfileKeepsThePeriodAndTheStatusTellsTheState) {
    SetCurrentProfileNameSource([] { return std::wstring(L"Work"); });
    Ostrel::Util::ManualClock clock;
    clock.SetUnixTimeMs(NowMs());
    Ostrel::Util::ScopedClock scoped(clock);
    auto server = StartServer(true);
    auto c = Connect(*server);
    EXPECT_EQ(manager->GetLocalizedTrustString(nullptr), Text("IDT_OSTREL_HTTP_CONNECTION_OFFLINE"));
    ui->QueueCertTrustAnswer(Choose(kFiveMinutes));
    ASSERT_EQ(TryNoOp(*c), 0u);

    std::wstring wsRecord;
    ASSERT_EQ(Ostrel::Mapi::ReadPR_OSTREL_TRUST_CERT_UNTILFromProfile(L"Work", wsRecord), S_OK);
    EXPECT_EQ(wsRecord, manager->GetTrustString());
    auto trust = Ostrel::Mapi::ParseProfileTrustRecord(wsRecord);
    ASSERT_TRUE(trust);
    EXPECT_EQ(trust->sha1, Fingerprint(server->GetCertificate().Sha1()));
    EXPECT_EQ(trust->llUntil, clock.GetUnixTime() + 300);
    std::wstring wsTrusting = Text("IDT_OSTREL_HTTP_CONNECTION_TRUSTING");
    wsTrusting.resize(wsTrusting.find(L"%s"));
    std::wstring wsStatus = manager->GetLocalizedTrustString(c.get());
    EXPECT_EQ(wsStatus.rfind(wsTrusting, 0), 0u);
    EXPECT_GT(wsStatus.size(), wsTrusting.size());

    // Trust until the session ends is not kept in the profile.
    ASSERT_TRUE(manager->SetTrust(L"127.0.0.1", nullptr, trust->sha1, Ostrel::Mapi::TrustPeriod::kThisSession));
    ASSERT_EQ(Ostrel::Mapi::ReadPR_OSTREL_TRUST_CERT_UNTILFromProfile(L"Work", wsRecord), S_OK);
    EXPECT_EQ(wsRecord, L"");
    EXPECT_EQ(manager->GetLocalizedTrustString(c.get()), wsTrusting + Text("IDC_OSTREL_HTTP_TRUST_UNTIL_RESTART"));

    // Without trust: a plain connection is insecure, a verified one secure.
    manager->ClearTrust();
    auto plain = StartServer(false);
    auto p = Connect(*plain);
    EXPECT_EQ(manager->GetLocalizedTrustString(p.get()), Text("IDT_OSTREL_HTTP_CONNECTION_INSECURE"));
    auto ca = TrustedCa();
    auto verified = StartServer(true, OstrelServer::Certificate::Generate({}, &ca));
    auto v = Connect(*verified);
    ASSERT_EQ(TryNoOp(*v), 0u);
    EXPECT_EQ(manager->GetLocalizedTrustString(v.get()), Text("IDT_OSTREL_HTTP_CONNECTION_SECURE"));
}

}  // namespace
