// The per-profile values in the connector's profile section, the values older versions kept in a
// file of their own, the trusted-device token kept per server and account, and the free/busy URL.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "Ostrel/Settings/ProfileStore.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Host/Host.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/ProfileDb.h"
#include "Platform/Mapi/Session/Profiles.h"
#include "Platform/Registry/Registry.h"
#include "SessionTestSupport.h"
#include "Support/Child.h"
#include "Support/Files.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "Util/Password.h"
#include "Util/Text/Strings.h"
#include "Util/Time/Clock.h"

namespace SessionTest {
namespace {

using namespace Ostrel::Mapi;

// One property of the connector's section, read the way any MAPI client would: through a session
// on the profile and the service's own section. Empty when it is not there.
std::string SectionBytes(const wchar_t* pwszProfile, ULONG ulTag) {
    MAPIUID uid;
    Platform::ComPtr<IMAPISession> pSession;
    Platform::ComPtr<IProfSect> pSection;
    LPSPropValue pValue = nullptr;
    if (FAILED(Platform::MapiFindService(pwszProfile, L"OSTREL", &uid)) ||
        FAILED(MAPILogonEx(0, const_cast<wchar_t*>(pwszProfile), nullptr, MAPI_UNICODE, pSession.AddressOf())) ||
        FAILED(pSession->OpenProfileSection(&uid, nullptr, 0, pSection.AddressOf())) ||
        FAILED(HrGetOneProp(pSection.Get(), ulTag, &pValue)))
        return std::string();
    std::string bytes = PROP_TYPE(ulTag) == PT_BINARY
                            ? std::string(reinterpret_cast<char*>(pValue->Value.bin.lpb), pValue->Value.bin.cb)
                            : Platform::ToUtf8(pValue->Value.lpszW);
    MAPIFreeBuffer(pValue);
    return bytes;
}

std::string ProtectedHex(const wchar_t* pwszSecret) {
    std::vector<BYTE> blob;
    EXPECT_EQ(Ostrel::Util::EncryptPassword(pwszSecret, blob), S_OK);
    return Platform::ToUtf8(Ostrel::Util::HexEncode(blob));
}

void WriteOldFile(const wchar_t* pwszProfile, const std::string& text) {
    std::filesystem::path file = ProfileValuesPath(pwszProfile);
    std::filesystem::create_directories(file.parent_path());
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all);
    std::ofstream(file, std::ios::binary) << text;
}

class ProfileStoreTest : public ::testing::Test {
protected:
    void TearDown() override { Platform::Host::ResetToDefaults(); }

    static void SetDword(const wchar_t* pwszKey, const wchar_t* pwszName, DWORD dwValue) {
        HKEY hKey = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, pwszKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(hKey, pwszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue);
        RegCloseKey(hKey);
    }
    static std::wstring ReadUrl(int major = 16) {
        HKEY hKey = nullptr;
        std::wstring path = L"Software\\Microsoft\\Office\\" + std::to_wstring(major) +
                            L".0\\Outlook\\Options\\Calendar\\Internet Free/Busy";
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            return L"";
        wchar_t buffer[1024] = {};
        DWORD cb = sizeof buffer;
        DWORD type = 0;
        RegQueryValueExW(hKey, L"Read URL", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &cb);
        RegCloseKey(hKey);
        return buffer;
    }

    TestSupport::TempHome home;
};

TEST_F(ProfileStoreTest, ValuesLiveProtectedInTheConnectorsSectionOfTheProfile) {
    Ostrel::Util::LogCapture capture;
    ASSERT_EQ(SetTrustedTokenInProfile(L"Work", L"token with = and %"), S_OK);
    ASSERT_EQ(SetStoredPasswordInProfile(L"Work", L"pässword=1"), S_OK);
    ASSERT_EQ(SetCURLInProfile(L"Work", L"http://proxy.example.test:3128"), S_OK);
    ASSERT_EQ(WritePR_OSTREL_TRUST_CERT_UNTILToProfile(L"Work", L"#LCIND# x #CHK# y "), S_OK);
    ASSERT_EQ(SetTrustedTokenInProfile(L"other@example.test", L"other-token"), S_OK);

    // The profile was made with the connector's service; its section holds the values, the
    // secrets only in protected form.
    EXPECT_EQ(Platform::MapiListProfiles(), (std::vector<std::wstring>{L"Work", L"other@example.test"}));
    const std::string token = SectionBytes(L"Work", PR_OSTREL_2FA_TRUSTED_TOKEN);
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(token.find("token with"), std::string::npos);
    const std::string password = SectionBytes(L"Work", PR_OSTREL_STORED_PASSWORD);
    ASSERT_FALSE(password.empty());
    std::wstring value;
    ASSERT_EQ(Ostrel::Util::DecryptPassword(reinterpret_cast<const BYTE*>(password.data()), password.size(), value),
              S_OK);
    EXPECT_EQ(value, L"pässword=1");
    EXPECT_EQ(SectionBytes(L"Work", PR_OSTREL_PROXY_CURL), "http://proxy.example.test:3128");
    const std::string file = TestSupport::ReadFile(ProfileFilePath(L"Work"));
    for (const char* secret : {"token with", "pässword"})
        EXPECT_EQ(file.find(secret), std::string::npos) << secret;
    EXPECT_FALSE(capture.Contains(L"token with"));
    EXPECT_FALSE(capture.Contains(L"pässword"));

    ASSERT_EQ(GetTrustedTokenFromProfile(L"Work", value), S_OK);
    EXPECT_EQ(value, L"token with = and %");
    ASSERT_EQ(GetStoredPasswordFromProfile(L"Work", value), S_OK);
    EXPECT_EQ(value, L"pässword=1");
    ASSERT_EQ(GetCURLFromProfile(L"work", value), S_OK);  // profile names ignore case
    EXPECT_EQ(value, L"http://proxy.example.test:3128");
    ASSERT_EQ(ReadPR_OSTREL_TRUST_CERT_UNTILFromProfile(L"Work", value), S_OK);
    EXPECT_EQ(value, L"#LCIND# x #CHK# y ");
    EXPECT_TRUE(capture.Contains(L"PR_OSTREL_PROXY_CURL = 'http://proxy.example.test:3128'"));
    EXPECT_TRUE(capture.Contains(L"PR_OSTREL_2FA_TRUSTED_TOKEN = '********'"));
    EXPECT_EQ(GetStoredPasswordFromProfile(L"other@example.test", value), kProfileValueNotFound);
    EXPECT_EQ(GetTrustedTokenFromProfile(L"Never seen", value), kProfileValueNotFound);
    EXPECT_TRUE(Platform::MapiListProfiles().size() == 2) << "reading creates no profile";

    ASSERT_EQ(SetTrustedTokenInProfile(L"Work", L""), S_OK);
    ASSERT_EQ(SetCURLInProfile(L"Work", nullptr), S_OK);
    EXPECT_EQ(GetTrustedTokenFromProfile(L"Work", value), kProfileValueNotFound);
    EXPECT_EQ(GetCURLFromProfile(L"Work", value), kProfileValueNotFound);
    EXPECT_EQ(GetStoredPasswordFromProfile(L"Work", value), S_OK);

    // No profile can have this name: refused, not stored somewhere else.
    EXPECT_EQ(SetStoredPasswordInProfile(L"../escape", L"x"), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(GetStoredPasswordFromProfile(L"../escape", value), kProfileValueNotFound);
}

TEST_F(ProfileStoreTest, AProfileWithoutTheConnectorsServiceRefusesTheWrite) {
    ASSERT_EQ(Platform::MapiCreateProfile(L"Setup", false), S_OK);
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(SetCURLInProfile(L"Setup", L"http://proxy:1"), MAPI_E_NOT_FOUND);
    EXPECT_EQ(SetTrustedTokenInProfile(L"Setup", L"t"), MAPI_E_NOT_FOUND);
    EXPECT_TRUE(capture.Contains(L"Failed to cache CURL. Expected during profile creation. hr:8004010F"));
    EXPECT_TRUE(capture.Contains(L"Failed to set PR_OSTREL_2FA_TRUSTED_TOKEN. Expected during profile creation."));
    MAPIUID uid;
    EXPECT_EQ(Platform::MapiFindService(L"Setup", L"OSTREL", &uid), MAPI_E_NOT_FOUND) << "not added behind its back";

    // A profile file planted as a link is never opened.
    std::filesystem::path elsewhere = home.Path() / "elsewhere.prf";
    std::ofstream(elsewhere) << "x";
    std::filesystem::create_symlink(elsewhere, ProfileFilePath(L"Linked"));
    std::wstring value;
    EXPECT_TRUE(FAILED(SetCURLInProfile(L"Linked", L"http://proxy:1")));
    EXPECT_TRUE(FAILED(GetCURLFromProfile(L"Linked", value)));
    EXPECT_EQ(TestSupport::ReadFile(elsewhere), "x");
}

TEST_F(ProfileStoreTest, OldValuesAreCarriedIntoTheProfileOnceAndNothingIsLost) {
    WriteOldFile(L"Old", "# Ostrel profile values\nPassword=" + ProtectedHex(L"secret") +
                             "\nTrustedToken=legacy%20token\nFuture=value\nno equals sign\n");
    WriteOldFile(L"Newer", "ProtectedToken=" + ProtectedHex(L"stale-token") + "\n");
    ASSERT_EQ(SetTrustedTokenInProfile(L"Newer", L"fresh-token"), S_OK);  // written since: it wins

    Ostrel::Util::LogCapture capture;
    std::wstring value;
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Old", value), S_OK);
    EXPECT_EQ(value, L"legacy token");
    EXPECT_FALSE(std::filesystem::exists(ProfileValuesPath(L"Old")));
    std::filesystem::path kept = ProfileValuesPath(L"Old");
    kept += ".unmigrated";
    EXPECT_EQ(TestSupport::ReadFile(kept), "Future=value\nno equals sign\n");
    EXPECT_EQ(SectionBytes(L"Old", PR_OSTREL_2FA_TRUSTED_TOKEN).find("legacy"), std::string::npos);
    EXPECT_FALSE(capture.Contains(L"legacy token"));
    ASSERT_EQ(GetStoredPasswordFromProfile(L"Old", value), S_OK);
    EXPECT_EQ(value, L"secret");

    // Carried over once: an old file that turns up again later does not replace what is there.
    WriteOldFile(L"Old", "Password=" + ProtectedHex(L"older") + "\n");
    ASSERT_EQ(GetStoredPasswordFromProfile(L"Old", value), S_OK);
    EXPECT_EQ(value, L"secret");
    EXPECT_FALSE(std::filesystem::exists(ProfileValuesPath(L"Old")));

    ASSERT_EQ(GetTrustedTokenFromProfile(L"Newer", value), S_OK);
    EXPECT_EQ(value, L"fresh-token");
    EXPECT_FALSE(std::filesystem::exists(ProfileValuesPath(L"Newer")));
}

TEST_F(ProfileStoreTest, ADamagedOrPlantedOldFileIsReportedAndKept) {
    const std::string damaged = "Password=not-hex\nTrustedToken=ok\n";
    WriteOldFile(L"P", damaged);
    Ostrel::Util::LogCapture capture;
    std::wstring value;
    HRESULT hr = GetStoredPasswordFromProfile(L"P", value);
    EXPECT_TRUE(FAILED(hr) && hr != kProfileValueNotFound) << std::hex << hr;
    EXPECT_TRUE(FAILED(GetTrustedTokenFromProfile(L"P", value)));
    EXPECT_TRUE(capture.Contains(L"hold a damaged Password; left as they are"));
    EXPECT_EQ(TestSupport::ReadFile(ProfileValuesPath(L"P")), damaged);
    // New values can still be set, and are then what counts.
    ASSERT_EQ(SetStoredPasswordInProfile(L"P", L"new"), S_OK);
    ASSERT_EQ(GetStoredPasswordFromProfile(L"P", value), S_OK);
    EXPECT_EQ(value, L"new");
    EXPECT_EQ(TestSupport::ReadFile(ProfileValuesPath(L"P")), damaged);

    // A link in place of the file is not followed, and neither file is touched.
    std::filesystem::path target = home.Path() / "target";
    std::ofstream(target) << "Password=" << ProtectedHex(L"planted") << "\n";
    std::filesystem::create_symlink(target, ProfileValuesPath(L"L"));
    EXPECT_TRUE(FAILED(GetStoredPasswordFromProfile(L"L", value)));
    EXPECT_TRUE(std::filesystem::is_symlink(ProfileValuesPath(L"L")));
    EXPECT_TRUE(std::filesystem::exists(target));

    // A FIFO nobody writes to is refused at once, not waited on, and stays.
    ASSERT_EQ(::mkfifo(ProfileValuesPath(L"F").c_str(), 0600), 0);
    EXPECT_EQ(TestSupport::RunInChild([] {
                  std::wstring wsValue;
                  const HRESULT hr = GetStoredPasswordFromProfile(L"F", wsValue);
                  return FAILED(hr) && hr != kProfileValueNotFound;
              }),
              TestSupport::ChildOutcome::Succeeded);
    EXPECT_TRUE(std::filesystem::is_fifo(ProfileValuesPath(L"F")));

    // Nor is a folder others may write in.
    WriteOldFile(L"Q", "Password=" + ProtectedHex(L"q") + "\n");
    std::filesystem::permissions(ProfileValuesPath(L"Q").parent_path(), std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::add);
    EXPECT_TRUE(FAILED(GetStoredPasswordFromProfile(L"Q", value)));
    EXPECT_TRUE(std::filesystem::exists(ProfileValuesPath(L"Q")));
}

// How many services named OSTREL the profile has.
int ConnectorServices(const wchar_t* pwszProfile) {
    std::shared_ptr<Platform::Mapi::ProfileDb> pDb;
    std::vector<MAPIUID> uids;
    if (FAILED(Platform::Mapi::ProfileDb::Open(pwszProfile, false, &pDb)) || FAILED(pDb->Sections(uids)))
        return -1;
    int n = 0;
    for (const MAPIUID& uid : uids) {
        Platform::Mapi::PropMap props;
        auto it = SUCCEEDED(pDb->LoadSection(uid, props)) ? props.find(PROP_ID(PR_SERVICE_NAME_W)) : props.end();
        n += it != props.end() && Platform::Mapi::ReadString(it->second) == L"OSTREL";
    }
    return n;
}

// Processes that first use a profile at once make one profile with one service, and carry the
// old values over once.
TEST_F(ProfileStoreTest, ProcessesStartingAtOnceMakeOneServiceAndCarryOverOnce) {
    WriteOldFile(L"Race", "Password=" + ProtectedHex(L"secret") + "\n");
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::wstring value;
            bool bOk = SUCCEEDED(SetCURLInProfile(L"Fresh", L"http://proxy:8080")) &&
                       GetStoredPasswordFromProfile(L"Race", value) == S_OK && value == L"secret";
            ::_exit(bOk ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(ConnectorServices(L"Fresh"), 1);
    EXPECT_EQ(ConnectorServices(L"Race"), 1);
    EXPECT_FALSE(std::filesystem::exists(ProfileValuesPath(L"Race")));
}

class TrustedTokenTest : public SessionFixture {};

// A token the server gave for one server and account is never sent to another.
TEST_F(TrustedTokenTest, TheTokenStaysWithTheServerAndAccountItWasGivenFor) {
    const DWORD dwPort = static_cast<DWORD>(server->Port());
    ASSERT_EQ(SetTrustedTokenInProfile(L"Profile", L"token-of-another-server", L"other.example.test", dwPort, kUserW),
              S_OK);
    auto session = Create(Params());
    ASSERT_FALSE(session->AuthToken().empty());
    for (const auto& request : Sent("AuthRequest"))
        EXPECT_EQ(request.body.find("token-of-another-server"), std::string::npos);
    std::wstring wsToken;
    EXPECT_EQ(GetTrustedTokenFromProfile(L"Profile", L"127.0.0.1", dwPort, kUserW, wsToken), kProfileValueNotFound);
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Profile", L"OTHER.example.test", dwPort, L"User@Example.Test", wsToken),
              S_OK);
    EXPECT_EQ(wsToken, L"token-of-another-server");
    UserSession::ReleaseSharedSessions();

    // Given for this server and account: sent.
    ASSERT_EQ(SetTrustedTokenInProfile(L"Profile", L"token-of-this-server", L"127.0.0.1", dwPort, kUserW), S_OK);
    server->ClearRequests();
    session = Create(Params());
    session->AuthToken();
    auto auths = Sent("AuthRequest");
    ASSERT_FALSE(auths.empty());
    EXPECT_NE(auths[0].body.find("<trustedToken>token-of-this-server</trustedToken>"), std::string::npos);
}

TEST_F(ProfileStoreTest, FreeBusyUrlFollowsPortSslRangeAndClientVersion) {
    Ostrel::Util::ManualClock clock;  // 2024-01-01 00:00:00 UTC
    Ostrel::Util::ScopedClock scoped(clock);
    FixFBUrl(443, 1, L"mail.example.test", L"tok");
    std::wstring url = ReadUrl();
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(url, match,
                                 std::wregex(L"https://mail\\.example\\.test/service/pubcal/freebusy\\.ifb\\?"
                                             L"acct=%name%@%server%&s=(\\d+)000&e=(\\d+)000")))
        << Platform::ToUtf8(url);
    long long start = std::stoll(match[1].str()), end = std::stoll(match[2].str());
    EXPECT_EQ(start, 1704067200LL - 302400);
    EXPECT_NEAR(static_cast<double>(end - start), 61.0 * 86400, 2 * 86400.0);  // two months

    FixFBUrl(8443, 1, L"mail.example.test", L"tok");
    EXPECT_NE(ReadUrl().find(L"https://mail.example.test:8443/"), std::wstring::npos);
    FixFBUrl(80, 0, L"mail.example.test", L"tok");
    EXPECT_NE(ReadUrl().find(L"http://mail.example.test/"), std::wstring::npos);

    SetDword(L"Software\\Microsoft\\Office\\16.0\\Outlook\\Preferences", L"FBPublishRange", 24);
    FixFBUrl(443, 1, L"mail.example.test", L"tok");
    ASSERT_TRUE(std::regex_search(url = ReadUrl(), match, std::wregex(L"s=(\\d+)000&e=(\\d+)000")));
    EXPECT_NEAR(static_cast<double>(std::stoll(match[2].str()) - std::stoll(match[1].str())), 366.0 * 86400,
                2 * 86400.0);
    EXPECT_EQ(url.find(L"oauthtoken"), std::wstring::npos);

    SetDword(L"Software\\Ostrel", L"IncludeAuthInOL2013FBURL", 1);
    FixFBUrl(443, 1, L"mail.example.test", L"tok");
    EXPECT_NE(ReadUrl().find(L"&oauthtoken=tok"), std::wstring::npos);
    Platform::Host::SetClientVersion(14, 0);
    SetDword(L"Software\\Ostrel", L"IncludeAuthInOL2013FBURL", 0);
    FixFBUrl(443, 1, L"mail.example.test", L"tok14");
    EXPECT_NE(ReadUrl(14).find(L"&oauthtoken=tok14"), std::wstring::npos);

    // Bypassed, or without a token or server: nothing is written.
    SetDword(L"Software\\Ostrel", L"BypassFBConfig", 1);
    FixFBUrl(443, 1, L"changed.example.test", L"tok");
    SetDword(L"Software\\Ostrel", L"BypassFBConfig", 0);
    FixFBUrl(443, 1, L"changed.example.test", L"");
    FixFBUrl(443, 1, L"", L"tok");
    EXPECT_EQ(ReadUrl(14).find(L"changed"), std::wstring::npos);
}

}  // namespace
}  // namespace SessionTest
