// A trusted-device token recorded without the server and account it was given for (as older
// versions kept it) belongs to the first server and account that ask for it, and to no other.
#include <gtest/gtest.h>

#include "Ostrel/Settings/ProfileStore.h"
#include "Support/TempHome.h"

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

}  // namespace
