// What GetInfo gives: the features that follow from the server version, the zip settings with
// their registry overrides, the account's values; look-ups of other accounts.
#include "SessionTestSupport.h"
#include "Util/Log/Log.h"
#include "Util/Text/Guid.h"

namespace SessionTest {
namespace {

class AccountTest : public SessionFixture {
protected:
    // A signed-on session that has just read `version`.
    std::shared_ptr<UserSession> WithVersion(const std::string& version) {
        Book().SetVersion(version);
        if (!m_session) {
            m_session = Create(Params());
            m_session->AuthToken();
        } else {
            EXPECT_EQ(m_session->GetInfo(), S_OK);
        }
        return m_session;
    }
    std::shared_ptr<UserSession> m_session;
};

struct Expected {
    const char* version;
    int major, minor, maint;
    bool noSession, alarms, smime, orphans, waitsets, tagIds, tagNames, v8;
};

TEST_F(AccountTest, ServerVersionDecidesTheFeatures) {
    const Expected table[] = {
        {"4.5.5_GA", 4, 5, 5, false, false, false, false, false, true, false, false},
        {"4.5.6_GA", 4, 5, 6, true, false, false, false, false, true, false, false},
        {"4.6.0", 4, 6, 0, true, false, false, false, false, true, false, false},
        {"5.0.0", 5, 0, 0, true, true, false, false, false, true, false, false},
        {"7.0.9_GA_1", 7, 0, 9, true, true, false, false, false, true, false, false},
        {"7.1.1_GA", 7, 1, 1, true, true, true, false, false, true, false, false},
        {"7.1.2_GA", 7, 1, 2, true, true, true, true, false, true, false, false},
        {"7.2.0", 7, 2, 0, true, true, true, true, false, true, false, false},
        {"8.0.5_GA_1234.RHEL5_64", 8, 0, 5, true, true, true, true, true, true, true, true},
        {"9.0.0", 9, 0, 0, true, true, true, true, true, false, true, true},
    };
    for (const Expected& e : table) {
        SCOPED_TRACE(e.version);
        auto s = WithVersion(e.version);
        EXPECT_EQ(s->GetMajorVersion(), e.major);
        EXPECT_EQ(s->GetMinorVersion(), e.minor);
        EXPECT_EQ(s->GetMaintenanceVersion(), e.maint);
        EXPECT_EQ(s->SetNoSession(), e.noSession);
        EXPECT_EQ(s->SetSupportApptAlarm() != 0, e.alarms);
        EXPECT_EQ(s->SetSupportSMIME() != 0, e.smime);
        EXPECT_EQ(s->SetSupportOrphanFlag() != 0, e.orphans);
        EXPECT_EQ(s->SetSupportWaitsetTypes() != 0, e.waitsets);
        EXPECT_EQ(s->SetSupportTagIds() != 0, e.tagIds);
        EXPECT_EQ(s->SetSupportTagNames() != 0, e.tagNames);
        EXPECT_EQ(s->SetSupportOSV8() != 0, e.v8);
        EXPECT_EQ(UserSession::IsOSV8orLater(), e.v8);
        EXPECT_EQ(UserSession::IsServerVersionSupported(), true);
    }
    Ostrel::Util::LogCapture log;
    WithVersion("4.4.9");
    EXPECT_FALSE(UserSession::IsServerVersionSupported());
    EXPECT_TRUE(log.Contains(L"the server is too old: major(4), minor(4)"));
    EXPECT_TRUE(log.Contains(L"S/MIME support suppressed due to server version"));

    // Handheld-server configuration updates: 6.x.2 and later (the minor number does not count).
    for (auto [version, supported] : {std::pair{"6.0.2", true}, {"6.5.1", false}, {"7.0.0", true}, {"5.9.9", false}}) {
        WithVersion(version);
        EXPECT_EQ(UserSession::IsBESConfigUpdateSupported(), supported) << version;
    }
    EXPECT_TRUE(UserSession::IsBESConfigUpdateEnabled());
    SetSetting(HKEY_LOCAL_MACHINE, L"BESConfigUpdateDisabled", 1);
    EXPECT_FALSE(UserSession::IsBESConfigUpdateEnabled());
}

TEST_F(AccountTest, ZipLevelAndListSizeFollowVersionAndRegistry) {
    auto s = WithVersion("4.9.0");
    EXPECT_EQ(s->SetZipLevel(), -1);
    EXPECT_EQ(s->SetZipListSize(), 100);
    SetSetting(HKEY_CURRENT_USER, L"ZipListSize", 20);
    WithVersion("4.9.0");
    EXPECT_EQ(s->SetZipListSize(), 100);  // not below version 5

    WithVersion("8.0.0");
    EXPECT_EQ(s->SetZipLevel(), 4);
    EXPECT_EQ(s->SetZipListSize(), 20);
    for (auto [level, expected] : {std::pair{12u, -1}, {9u, 9}, {0u, 0}}) {
        SetSetting(HKEY_CURRENT_USER, L"ZipLevel", level);
        WithVersion("8.0.0");
        EXPECT_EQ(s->SetZipLevel(), expected) << level;
    }
    SetSetting(HKEY_CURRENT_USER, L"ZipListSize", 500);
    WithVersion("8.0.0");
    EXPECT_EQ(s->SetZipListSize(), 100);
    SetSetting(HKEY_CURRENT_USER, L"ZipListSize", 0);
    WithVersion("8.0.0");
    EXPECT_EQ(s->SetZipListSize(), 100);

    // A value of the wrong type is refused (and logged); the default stays.
    HKEY hKey = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, KEY_ALL_ACCESS, &hKey), ERROR_SUCCESS);
    const wchar_t text[] = L"7";
    RegSetValueExW(hKey, L"ZipLevel", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    RegCloseKey(hKey);
    Ostrel::Util::LogCapture log;
    WithVersion("8.0.0");
    EXPECT_EQ(s->SetZipLevel(), 4);
    EXPECT_TRUE(log.Contains(L"ZipLevel must be a DWORD"));

    SetSetting(HKEY_LOCAL_MACHINE, L"isBES", 1);
    WithVersion("8.0.0");
    EXPECT_EQ(s->SetZipLevel(), -1);
}

TEST_F(AccountTest, AccountValuesComeFromGetInfo) {
    OstrelServer::Account account{kUser, kPassword};
    account.id = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
    account.displayName = "Ümit User";
    account.used = 1234;
    account.attrs = {{"ostrelMailAlias", "alias1@example.test"},
                     {"ostrelMailAlias", "alias2@example.test"},
                     {"ostrelAllowFromAddress", "from@example.test"},
                     {"ostrelAllowAnyFromAddress", "TRUE"},
                     {"ostrelFeatureIMEnabled", "TRUE"},
                     {"ostrelMailQuota", "1073741824"},
                     {"ostrelMailBlacklistMaxNumEntries", "100"},
                     {"ostrelMailWhitelistMaxNumEntries", "200"},
                     {"ostrelMtaMaxMessageSize", "not a number"},
                     {"ostrelFeatureOutOfOfficeReplyEnabled", "FALSE"},
                     {"ostrelFeatureMailForwardingEnabled", "TRUE"}};
    account.prefs = {{"ostrelPrefFromDisplay", "Me"},
                     {"ostrelPrefReplyToEnabled", "TRUE"},
                     {"ostrelPrefReplyToAddress", "reply@example.test"},
                     {"ostrelPrefReplyToDisplay", "Replies"}};
    Book().Add(account);
    auto s = Create(Params());
    EXPECT_EQ(s->DisplayName(), L"Ümit User");
    EXPECT_EQ(Ostrel::Util::GuidToIdString(s->OstrelId()), L"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    ASSERT_EQ(s->GetMailAliasCount(), 2u);
    EXPECT_EQ(s->GetMailAlias(1), L"alias2@example.test");
    EXPECT_EQ(s->GetMailAlias(2), L"");
    EXPECT_EQ(s->GetFromAddress(0), L"from@example.test");
    EXPECT_TRUE(s->GetAllowAnyFromAddress());
    EXPECT_TRUE(s->GetFeatureIMEnabled());
    EXPECT_FALSE(s->GetFeatureIdentitiesEnabled());
    EXPECT_EQ(s->GetPrefFromDisplay(), L"Me");
    EXPECT_TRUE(s->GetPrefReplyToEnabled());
    EXPECT_EQ(s->GetPrefReplyToAddress(), L"reply@example.test");
    EXPECT_EQ(s->GetPrefReplyToName(), L"Replies");
    ULONGLONG quota = 0, used = 0;
    ASSERT_TRUE(s->GetCurrentQuotaInfo(quota, used));
    EXPECT_EQ(quota, 1073741824u);
    EXPECT_EQ(used, 1234u);
    DWORD black = 0, white = 0;
    ASSERT_TRUE(s->GetCurrentWhiteBlackListMaxNumEntries(black, white));
    EXPECT_EQ(black, 100u);
    EXPECT_EQ(white, 200u);
    EXPECT_EQ(s->GetMaxMessageSize(), 0u);
    EXPECT_FALSE(s->IsOOOFeatureEnabled());
    EXPECT_TRUE(s->IsMailForwardingEnabled());
    EXPECT_FALSE(s->IsMailForwardingInFiltersEnabled());
}

TEST_F(AccountTest, LookUpsOfOtherAccountsAreCached) {
    OstrelServer::Account other;
    other.name = "other@example.test";
    other.password = "x";
    other.id = "11111111-2222-3333-4444-555555555555";
    other.mailHost = "mbox7.example.test";
    Book().Add(other);
    SetSetting(HKEY_CURRENT_USER, L"StorePassword", 1);  // signing on again needs nobody
    auto s = Create(Params());

    UserInfo info;
    ASSERT_EQ(s->GetUserAccountInfo(L"Other@Example.test", info), S_OK);
    EXPECT_EQ(info.wsEmail, L"other@example.test");
    EXPECT_EQ(info.wsOstrelId, L"11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(info.wsMailHost, L"mbox7.example.test");
    std::wstring email, id;
    EXPECT_EQ(s->GetUserEmail(L"other@example.test", email), S_OK);
    EXPECT_EQ(s->GetUserOstrelID(L"other@example.test", id), S_OK);
    EXPECT_EQ(Sent("GetAccountInfoRequest").size(), 1u);

    s->RemoveUserAccountInfoFromCache(L"OTHER@example.test");
    EXPECT_EQ(s->GetUserAccountInfo(L"11111111-2222-3333-4444-555555555555", info, 0), S_OK);
    EXPECT_EQ(s->GetUserEmail(L"other@example.test", email), S_OK);
    EXPECT_EQ(Sent("GetAccountInfoRequest").size(), 3u);

    EXPECT_TRUE(FAILED(s->GetUserAccountInfo(L"nobody@example.test", info)));
    EXPECT_TRUE(FAILED(s->GetUserAccountInfo(L"nobody@example.test", info)));  // failures are not cached
    EXPECT_EQ(Sent("GetAccountInfoRequest").size(), 5u);

    // An expired token is renewed once on the way.
    s->RemoveUserAccountInfoFromCache(L"other@example.test");
    Book().ExpireTokens();
    EXPECT_EQ(s->GetUserAccountInfo(L"other@example.test", info), S_OK);
    EXPECT_EQ(Sent("AuthRequest").size(), 2u);
}

// Look-ups go out on the session's own connection and, with a server that supports it, carry the
// no-session marker as every other request does; the sign-on steps never do.
TEST_F(AccountTest, LookUpsCarryTheNoSessionMarker) {
    Book().SetVersion("8.0.0_GA");
    auto s = Create(Params());
    UserInfo info;
    ASSERT_EQ(s->GetUserAccountInfo(kUserW, info), S_OK);
    auto lookups = Sent("GetAccountInfoRequest");
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_NE(lookups[0].body.find("nosession"), std::string::npos) << lookups[0].body;
    for (const char* name : {"AuthRequest", "NoOpRequest", "GetInfoRequest"})
        for (auto& request : Sent(name))
            EXPECT_EQ(request.body.find("nosession"), std::string::npos) << name;

    // An older server does not know the marker.
    Book().SetVersion("4.5.5_GA");
    ASSERT_EQ(s->GetInfo(), S_OK);
    s->RemoveUserAccountInfoFromCache(kUserW);
    ASSERT_EQ(s->GetUserAccountInfo(kUserW, info), S_OK);
    lookups = Sent("GetAccountInfoRequest");
    ASSERT_EQ(lookups.size(), 2u);
    EXPECT_EQ(lookups[1].body.find("nosession"), std::string::npos);
}

}  // namespace
}  // namespace SessionTest
