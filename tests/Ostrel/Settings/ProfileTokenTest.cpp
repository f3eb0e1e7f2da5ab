// A trusted-device token recorded without the server and account it was given for (as older
// versions kept it) belongs to the first server and account that ask for it, and to no other.
#include <gtest/gtest.h>

#include "Ostrel/Settings/ProfileStore.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "Util/Password.h"

namespace {

using namespace Ostrel::Mapi;

TEST(ProfileTokenTest, AnUnboundTokenIsBoundToTheFirstServerAndAccountAsking) {
    TestSupport::TempHome home;
    ASSERT_EQ(SetTrustedTokenInProfile(L"Work", L"device-token-4711"), S_OK);
    std::wstring wsToken;
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Work", L"mail.example.test", 443, L"ann@example.test", wsToken), S_OK);
    EXPECT_EQ(wsToken, L"device-token-4711");
    EXPECT_EQ(GetTrustedTokenFromProfile(L"Work", L"mail.example.test", 8443, L"ann@example.test", wsToken),
              kProfileValueNotFound);
    EXPECT_TRUE(wsToken.empty());
    EXPECT_EQ(GetTrustedTokenFromProfile(L"Work", L"mail.example.test", 443, L"bob@example.test", wsToken),
              kProfileValueNotFound);
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Work", L"Mail.Example.Test", 443, L"Ann@Example.Test", wsToken), S_OK);

    // A new token replaces the binding with its own; clearing drops both.
    ASSERT_EQ(SetTrustedTokenInProfile(L"Work", L"bob-token", L"mail.example.test", 443, L"bob@example.test"), S_OK);
    EXPECT_EQ(GetTrustedTokenFromProfile(L"Work", L"mail.example.test", 443, L"ann@example.test", wsToken),
              kProfileValueNotFound);
    ASSERT_EQ(SetTrustedTokenInProfile(L"Work", nullptr), S_OK);
    ASSERT_EQ(SetTrustedTokenInProfile(L"Work", L"unbound"), S_OK);
    ASSERT_EQ(GetTrustedTokenFromProfile(L"Work", L"mail.example.test", 443, L"ann@example.test", wsToken), S_OK);
    EXPECT_EQ(wsToken, L"unbound");
}

// The key that protects the values counts only in a private folder of the user's.
TEST(ProfileTokenTest, AKeyInAFolderOthersMayWriteToIsNotUsed) {
    TestSupport::TempHome home;
    ASSERT_EQ(SetStoredPasswordInProfile(L"Work", L"secret"), S_OK);
    const std::filesystem::path keys = Ostrel::Util::PasswordKeyPath().parent_path();
    std::filesystem::permissions(keys, std::filesystem::perms::others_write, std::filesystem::perm_options::add);
    Ostrel::Util::LogCapture capture;
    std::wstring wsPassword;
    EXPECT_EQ(GetStoredPasswordFromProfile(L"Work", wsPassword), E_ACCESSDENIED);
    EXPECT_TRUE(wsPassword.empty());
    EXPECT_TRUE(capture.Contains(L"The password key is not used"));
    std::filesystem::permissions(keys, std::filesystem::perms::owner_all);
    ASSERT_EQ(GetStoredPasswordFromProfile(L"Work", wsPassword), S_OK);
    EXPECT_EQ(wsPassword, L"secret");
}

}  // namespace
