// `ostrel trust` and a login that meets a certificate it cannot verify without a terminal.
#include "CliTestSupport.h"

#include "ostrel/TrustCommand.h"

#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Trust/CertTrustMgr.h"
#include "Ostrel/Trust/CertTrustPrompt.h"
#include "Ostrel/Trust/TrustStore.h"
#include "Platform/Base/Utf.h"
#include "Platform/Host/Host.h"

namespace CliTest {

namespace {

class TrustCommandTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        OstrelCli::InstallCertTrust();
    }
    void TearDown() override {
        Ostrel::Rpc::SetCertTrustManager(nullptr);
        SimulatorTest::TearDown();
    }
    Platform::CertFingerprint ServerSha1() const {
        std::vector<unsigned char> sha1 = server->GetCertificate().Sha1();
        Platform::CertFingerprint fp{};
        std::copy(sha1.begin(), sha1.end(), fp.begin());
        return fp;
    }
    std::string Sha256() const {
        std::vector<unsigned char> der = server->GetCertificate().CertDer();
        BYTE hash[32];
        DWORD cb = sizeof hash;
        CryptHashCertificate(0, CALG_SHA_256, 0, der.data(), static_cast<DWORD>(der.size()), hash, &cb);
        return Platform::ToUtf8(Ostrel::Mapi::ColonHex(hash, cb));
    }
};

// Without a terminal nobody can be asked: one line names the certificate. A decision taken
// earlier (by another process) lets the same login through; `trust` lists, shows and forgets it.
TEST_F(TrustCommandTest, UnknownCertificateIsRefusedUntilTrustedAndTrustIsManaged) {
    StartServer(0, true);
    const CommandRun refused = Login();
    EXPECT_EQ(refused.iExit, 1);
    EXPECT_EQ(refused.ErrLines(), 1u) << refused.sErr;
    EXPECT_NE(refused.sErr.find("(SHA-256 " + Sha256() + ") is not trusted"), std::string::npos) << refused.sErr;
    EXPECT_EQ(Command("trust", {"list"}).sOut, "");

    // The refusal took this program offline; the next login is another program, online again.
    EXPECT_TRUE(Platform::Host::IsOffline());
    Platform::Host::SetOffline(false);
    Ostrel::Mapi::CertTrustMgr other;
    ASSERT_TRUE(other.SetTrust(L"127.0.0.1", nullptr, ServerSha1(), 60));
    Ostrel::Rpc::UserSession::ReleaseSharedSessions();
    OstrelCli::InstallCertTrust();
    const CommandRun trusted = Login();
    ASSERT_EQ(trusted.iExit, 0) << trusted.sErr;

    const std::string sha1 = Platform::ToUtf8(Ostrel::Mapi::ColonHex(ServerSha1().data(), ServerSha1().size()));
    const CommandRun list = Command("trust", {"list"});
    EXPECT_EQ(list.iExit, 0);
    EXPECT_EQ(list.sOut.rfind("period\t127.0.0.1\t", 0), 0u) << list.sOut;
    EXPECT_NE(list.sOut.find("\tin-force\t" + sha1 + "\n"), std::string::npos) << list.sOut;
    const CommandRun show = Command("trust", {"show", "--json"});
    EXPECT_EQ(show.iExit, 0);
    EXPECT_NE(show.sOut.find("\"server\":\"127.0.0.1\""), std::string::npos) << show.sOut;

    std::wstring wsRecord;
    ASSERT_EQ(Ostrel::Mapi::ReadPR_OSTREL_TRUST_CERT_UNTILFromProfile(L"default", wsRecord), S_OK);
    EXPECT_NE(wsRecord.find(Platform::FingerprintToHex(ServerSha1())), std::wstring::npos);

    EXPECT_EQ(Command("trust", {"forget"}).iExit, 0);
    EXPECT_EQ(Command("trust", {"list"}).sOut, "");
    ASSERT_EQ(Ostrel::Mapi::ReadPR_OSTREL_TRUST_CERT_UNTILFromProfile(L"default", wsRecord), S_OK);
    EXPECT_EQ(wsRecord, L"");
    EXPECT_EQ(Command("trust", {"show"}).iExit, 1);
    EXPECT_EQ(Command("trust", {"nonsense"}).iExit, 2);
}

TEST_F(TrustCommandTest, DamagedStoreIsListedAsDamaged) {
    const std::filesystem::path path = Ostrel::Mapi::PeriodTrustStorePath();
    std::ofstream(path, std::ios::binary) << "not a trust record\n";
    const CommandRun list = Command("trust", {"list"});
    EXPECT_EQ(list.iExit, 0);
    EXPECT_EQ(list.sOut, "period\t-\t-\tdamaged\t" + path.string() + "\n");
    const CommandRun show = Command("trust", {"show"});
    EXPECT_EQ(show.iExit, 1);
    EXPECT_NE(show.sErr.find("is damaged and trusts nothing"), std::string::npos) << show.sErr;
    EXPECT_EQ(Command("trust", {"forget"}).iExit, 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace

}  // namespace CliTest
