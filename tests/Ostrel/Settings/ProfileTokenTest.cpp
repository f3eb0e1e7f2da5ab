// The trusted-device token is kept protected, an old clear-text token is protected once when it
// is read, and no log line shows it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Ostrel/Settings/ProfileStore.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"

namespace {

using namespace Ostrel::Mapi;

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Logged(const Ostrel::Util::LogCapture& capture, std::wstring_view wsText) {
    for (const std::wstring& message : capture.Messages())
        if (message.find(wsText) != std::wstring::npos)
            return true;
    return false;
}

TEST(ProfileTokenTest, TokenIsStoredProtectedAndNeverLogged) {
    TestSupport::TempHome home;
    Ostrel::Util::LogCapture capture;
    ASSERT_EQ(SetTrustedTokenInProfile(L"Work", L"device-token-4711"), S_OK);
    EXPECT_EQ(FileText(ProfileValuesPath(L"Work")).find("device-token-4711"), std::string::npos);
    std::wstring wsToken;
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Work", wsToken), S_OK);
    EXPECT_EQ(wsToken, L"device-token-4711");
    EXPECT_TRUE(Logged(capture, L"PR_OSTREL_2FA_TRUSTED_TOKEN = '"));
    EXPECT_FALSE(Logged(capture, L"device-token-4711"));
}

TEST(ProfileTokenTest, ClearTextTokenOfOlderVersionsIsProtectedOnceAndNothingIsLost) {
    TestSupport::TempHome home;
    std::filesystem::path file = ProfileValuesPath(L"Old");
    std::filesystem::create_directories(file.parent_path());
    ASSERT_EQ(SetStoredPasswordInProfile(L"Old", L"secret"), S_OK);
    std::ofstream(file, std::ios::binary | std::ios::app) << "TrustedToken=legacy%20token\nFuture=value\n";

    Ostrel::Util::LogCapture capture;
    std::wstring wsToken;
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Old", wsToken), S_OK);
    EXPECT_EQ(wsToken, L"legacy token");
    std::string text = FileText(file);
    EXPECT_EQ(text.find("legacy"), std::string::npos);
    EXPECT_EQ(text.find("TrustedToken="), std::string::npos);
    EXPECT_NE(text.find("Future=value"), std::string::npos);
    EXPECT_FALSE(Logged(capture, L"legacy token"));

    // Read again from the protected value; the password is untouched.
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Old", wsToken), S_OK);
    EXPECT_EQ(wsToken, L"legacy token");
    std::wstring wsPassword;
    ASSERT_EQ(GetStoredPasswordFromProfile(L"Old", wsPassword), S_OK);
    EXPECT_EQ(wsPassword, L"secret");

    // Clearing removes it for good.
    ASSERT_EQ(SetTrustedTokenInProfile(L"Old", L""), S_OK);
    EXPECT_EQ(GetTrustedTokenFromProfile(L"Old", wsToken), kProfileValueNotFound);
}

}  // namespace
