// The per-profile values (trusted token, stored password) and the free/busy URL.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "Ostrel/Settings/ProfileStore.h"
#include "Platform/Base/Utf.h"
#include "Platform/Host/Host.h"
#include "Platform/Registry/Registry.h"
#include "Support/TempHome.h"
#include "Util/Password.h"
#include "Util/Time/Clock.h"

namespace SessionTest {
namespace {

using namespace Ostrel::Mapi;

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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

TEST_F(ProfileStoreTest, ValuesPersistPerProfileAndThePasswordIsProtected) {
    const wchar_t* odd = L"Ünïcode / profile: \"x\"\n%20";
    ASSERT_EQ(SetTrustedTokenInProfile(odd, L"token with = and %"), S_OK);
    ASSERT_EQ(SetTrustedTokenInProfile(L"Other", L"other-token"), S_OK);
    ASSERT_EQ(SetStoredPasswordInProfile(odd, L"pässword=1"), S_OK);

    std::wstring value;
    ASSERT_EQ(GetTrustedTokenFromProfile(odd, value), S_OK);
    EXPECT_EQ(value, L"token with = and %");
    ASSERT_EQ(GetStoredPasswordFromProfile(odd, value), S_OK);
    EXPECT_EQ(value, L"pässword=1");
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Other", value), S_OK);
    EXPECT_EQ(value, L"other-token");
    EXPECT_EQ(GetStoredPasswordFromProfile(L"Other", value), kProfileValueNotFound);
    EXPECT_EQ(GetTrustedTokenFromProfile(L"Never seen", value), kProfileValueNotFound);

    std::filesystem::path file = ProfileValuesPath(odd);
    EXPECT_EQ(file.parent_path(), ProfileValuesPath(L"Other").parent_path());
    EXPECT_EQ(file.filename().string().find('/'), std::string::npos);
    EXPECT_EQ(FileText(file).find("pässword"), std::string::npos);

    ASSERT_EQ(SetTrustedTokenInProfile(odd, L""), S_OK);  // cleared
    EXPECT_EQ(GetTrustedTokenFromProfile(odd, value), kProfileValueNotFound);
    ASSERT_EQ(GetStoredPasswordFromProfile(odd, value), S_OK);
}

TEST_F(ProfileStoreTest, DamagedFilesLoseNothingTheyHold) {
    std::filesystem::path file = ProfileValuesPath(L"P");
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        << "garbage without equals\nTrustedToken=%ZZ\nFuture=value\nPassword=not-hex\n";
    std::wstring value;
    EXPECT_EQ(GetTrustedTokenFromProfile(L"P", value), kProfileValueNotFound);  // its line is unreadable
    EXPECT_EQ(GetStoredPasswordFromProfile(L"P", value), Ostrel::Util::PASSWORD_E_INVALID_BLOB);

    ASSERT_EQ(SetTrustedTokenInProfile(L"P", L"fresh"), S_OK);
    ASSERT_EQ(GetTrustedTokenFromProfile(L"P", value), S_OK);
    EXPECT_EQ(value, L"fresh");
    std::string text = FileText(file);
    for (const char* kept : {"garbage without equals", "TrustedToken=%ZZ", "Future=value"})
        EXPECT_NE(text.find(kept), std::string::npos) << kept;

    // A file far too large to be ours is left alone.
    std::ofstream(file, std::ios::binary | std::ios::app) << std::string(2 << 20, 'x');
    EXPECT_TRUE(FAILED(SetTrustedTokenInProfile(L"P", L"other")));
    EXPECT_GT(std::filesystem::file_size(file), 2u << 20);
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
