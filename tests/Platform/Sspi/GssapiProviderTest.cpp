// The GSSAPI provider against credential caches written here: no cache, a valid and an expired
// ticket-granting ticket, and a realm whose only KDC refuses connections. No server is needed.
#include "Platform/Sspi/GssapiProvider.h"

#include <krb5/krb5.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

using namespace Platform::Sspi;

namespace {

// A DER element (tag, length, content).
std::string Der(unsigned char tag, const std::string& content) {
    std::string out(1, static_cast<char>(tag));
    if (content.size() < 0x80) {
        out += static_cast<char>(content.size());
    } else {
        out += static_cast<char>(0x82);
        out += static_cast<char>(content.size() >> 8);
        out += static_cast<char>(content.size() & 0xFF);
    }
    return out + content;
}

// A well-formed service ticket for HTTP/mail.test.realm@TEST.REALM; its sealed part is filler,
// which only the service would open.
std::string ServiceTicket() {
    const std::string version = Der(0xA0, Der(0x02, "\x05"));
    const std::string realm = Der(0xA1, Der(0x1B, "TEST.REALM"));
    const std::string name =
        Der(0xA2, Der(0x30, Der(0xA0, Der(0x02, "\x02")) +
                                Der(0xA1, Der(0x30, Der(0x1B, "HTTP") + Der(0x1B, "mail.test.realm")))));
    const std::string sealed =
        Der(0xA3, Der(0x30, Der(0xA0, Der(0x02, "\x12")) + Der(0xA2, Der(0x04, std::string(64, 'x')))));
    return Der(0x61, Der(0x30, version + realm + name + sealed));
}

class GssapiProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir =
            std::filesystem::temp_directory_path() / ("sspi-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
        // One realm whose KDC is a closed loopback port, and no DNS lookups.
        std::ofstream(m_dir / "krb5.conf") << "[libdefaults]\n default_realm = TEST.REALM\n dns_lookup_kdc = false\n"
                                              " dns_lookup_realm = false\n rdns = false\n"
                                              "[realms]\n TEST.REALM = {\n  kdc = 127.0.0.1:1\n }\n";
        m_cache = "FILE:" + (m_dir / "ccache").string();
        ::setenv("KRB5_CONFIG", (m_dir / "krb5.conf").c_str(), 1);
        ::setenv("KRB5CCNAME", m_cache.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KRB5_CONFIG");
        ::unsetenv("KRB5CCNAME");
        std::filesystem::remove_all(m_dir);
    }

    // Writes a ticket for `server` (the ticket-granting ticket by default) valid until now +
    // `lifetime` seconds; the first ticket starts a new cache for `client`.
    void StoreTicket(const char* client, long lifetime, const char* server = "krbtgt/TEST.REALM@TEST.REALM",
                     std::string ticket = "opaque", bool bNewCache = true) {
        krb5_context ctx = nullptr;
        ASSERT_EQ(krb5_init_context(&ctx), 0);
        krb5_ccache cache = nullptr;
        krb5_principal principal = nullptr, service = nullptr;
        ASSERT_EQ(krb5_cc_resolve(ctx, m_cache.c_str(), &cache), 0);
        ASSERT_EQ(krb5_parse_name(ctx, client, &principal), 0);
        ASSERT_EQ(krb5_parse_name(ctx, server, &service), 0);
        if (bNewCache) {
            ASSERT_EQ(krb5_cc_initialize(ctx, cache, principal), 0);
        }
        static char key[32] = {};
        krb5_creds creds{};
        creds.client = principal;
        creds.server = service;
        creds.keyblock.enctype = ENCTYPE_AES256_CTS_HMAC_SHA1_96;
        creds.keyblock.length = sizeof key;
        creds.keyblock.contents = reinterpret_cast<krb5_octet*>(key);
        const auto now = static_cast<krb5_timestamp>(std::time(nullptr));
        creds.times.authtime = creds.times.starttime = now - 7200;
        creds.times.endtime = static_cast<krb5_timestamp>(now + lifetime);
        creds.ticket.data = ticket.data();
        creds.ticket.length = static_cast<unsigned>(ticket.size());
        ASSERT_EQ(krb5_cc_store_cred(ctx, cache, &creds), 0);
        krb5_free_principal(ctx, service);
        krb5_free_principal(ctx, principal);
        krb5_cc_close(ctx, cache);
        krb5_free_context(ctx);
    }

    std::filesystem::path m_dir;
    std::string m_cache;
};

}  // namespace

TEST_F(GssapiProviderTest, NoTicketMeansNoDomainUserAndNoCredentials) {
    GssapiProvider provider;
    std::wstring principal = L"stale", realm = L"stale";
    EXPECT_FALSE(provider.GetDomainUser(principal, realm));
    EXPECT_TRUE(principal.empty());
    EXPECT_TRUE(realm.empty());
    EXPECT_EQ(provider.LastErrorText().rfind(L"gss_acquire_cred: ", 0), 0u) << "the log says which call failed";

    CredHandle cred{42};
    EXPECT_EQ(provider.AcquireCredentialsHandle(kNegotiatePackage, &cred), SEC_E_NO_CREDENTIALS);
    EXPECT_EQ(cred.ullId, 0u) << "a failed call hands out no handle";
    EXPECT_EQ(provider.AcquireCredentialsHandle(L"NTLM", &cred), SEC_E_SECPKG_NOT_FOUND);
    EXPECT_EQ(provider.LastErrorText(), L"no such package: NTLM");
    EXPECT_EQ(provider.AcquireCredentialsHandle(kNegotiatePackage, nullptr), SEC_E_INVALID_HANDLE);

    std::vector<std::wstring> packages;
    ASSERT_EQ(provider.EnumerateSecurityPackages(packages), SEC_E_OK);
    EXPECT_EQ(packages, (std::vector<std::wstring>{L"Negotiate", L"Kerberos"}));
}

TEST_F(GssapiProviderTest, ATicketNamesTheUserAndItsRealmUntilItExpires) {
    StoreTicket("someone@TEST.REALM", 3600);
    GssapiProvider provider;
    std::wstring principal, realm;
    ASSERT_TRUE(provider.GetDomainUser(principal, realm))
        << std::string(provider.LastErrorText().begin(), provider.LastErrorText().end());
    EXPECT_EQ(principal, L"someone@TEST.REALM");
    EXPECT_EQ(realm, L"TEST.REALM");

    // Expired: no user, a reason for the log, and nothing leaked on the way (ASan checks).
    StoreTicket("someone@TEST.REALM", -60);
    EXPECT_FALSE(provider.GetDomainUser(principal, realm));
    EXPECT_TRUE(principal.empty());
    EXPECT_EQ(provider.LastErrorText(), L"the credentials have expired");
}

TEST_F(GssapiProviderTest, HandlesAreGivenBackOnceAndAFailedContextLeavesNone) {
    StoreTicket("someone@TEST.REALM", 3600);
    GssapiProvider provider;
    CredHandle cred;
    ASSERT_EQ(provider.AcquireCredentialsHandle(kNegotiatePackage, &cred), SEC_E_OK);
    ASSERT_NE(cred.ullId, 0u);

    // The service ticket cannot be had: the realm's KDC refuses the connection.
    CtxtHandle context{7};
    std::vector<BYTE> token{1, 2, 3};
    const SECURITY_STATUS status =
        provider.InitializeSecurityContext(cred, L"HTTP/mail.test.realm@TEST.REALM", &context, token);
    EXPECT_TRUE(status == SEC_E_NO_AUTHENTICATING_AUTHORITY || status == SEC_E_TARGET_UNKNOWN) << std::hex << status;
    EXPECT_EQ(context.ullId, 0u);
    EXPECT_TRUE(token.empty());
    EXPECT_FALSE(provider.LastErrorText().empty());
    EXPECT_EQ(provider.DeleteSecurityContext(&context), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(provider.DeleteSecurityContext(nullptr), SEC_E_INVALID_HANDLE);
    // No name at all is no target, and is said to be so without asking anyone.
    token = {1};
    EXPECT_EQ(provider.InitializeSecurityContext(cred, L"", &context, token), SEC_E_TARGET_UNKNOWN);
    EXPECT_EQ(context.ullId, 0u);
    EXPECT_TRUE(token.empty());
    EXPECT_EQ(provider.LastErrorText().rfind(L"gss_import_name: ", 0), 0u);

    // Unknown, already freed and null handles are refused rather than freed twice.
    CredHandle unknown{cred.ullId + 100};
    EXPECT_EQ(provider.InitializeSecurityContext(unknown, L"HTTP/x@TEST.REALM", &context, token), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(provider.InitializeSecurityContext(cred, L"HTTP/x@TEST.REALM", nullptr, token), SEC_E_INVALID_HANDLE);
    CredHandle copy = cred;
    EXPECT_EQ(provider.FreeCredentialsHandle(&cred), SEC_E_OK);
    EXPECT_EQ(cred.ullId, 0u);
    EXPECT_EQ(provider.FreeCredentialsHandle(&copy), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(provider.FreeCredentialsHandle(nullptr), SEC_E_INVALID_HANDLE);
    EXPECT_EQ(provider.InitializeSecurityContext(copy, L"HTTP/x@TEST.REALM", &context, token), SEC_E_INVALID_HANDLE);

    // A handle still held when the provider goes is released with it (ASan would report a leak).
    CredHandle held;
    EXPECT_EQ(provider.AcquireCredentialsHandle(L"Kerberos", &held), SEC_E_OK);
}

TEST(SspiCurrent, NullRestoresTheSystemProvider) {
    auto installed = std::make_shared<GssapiProvider>();
    SetCurrent(installed);
    EXPECT_EQ(Current(), installed);
    SetCurrent(nullptr);
    EXPECT_NE(Current(), installed);
    EXPECT_NE(dynamic_cast<GssapiProvider*>(Current().get()), nullptr);
}

// With the service's ticket at hand no KDC is asked: the first SPNEGO token is built, and the
// context is given back once.
TEST_F(GssapiProviderTest, AServiceTicketInTheCacheGivesTheFirstToken) {
    StoreTicket("someone@TEST.REALM", 3600);
    StoreTicket("someone@TEST.REALM", 3600, "HTTP/mail.test.realm@TEST.REALM", ServiceTicket(), false);
    GssapiProvider provider;
    CredHandle cred;
    ASSERT_EQ(provider.AcquireCredentialsHandle(kNegotiatePackage, &cred), SEC_E_OK);
    CtxtHandle context;
    std::vector<BYTE> token;
    const SECURITY_STATUS status =
        provider.InitializeSecurityContext(cred, L"HTTP/mail.test.realm@TEST.REALM", &context, token);
    ASSERT_TRUE(status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)
        << std::hex << status << " " << std::string(provider.LastErrorText().begin(), provider.LastErrorText().end());
    ASSERT_GT(token.size(), 2u);
    EXPECT_EQ(token[0], 0x60) << "an initial context token";
    EXPECT_NE(context.ullId, 0u);
    EXPECT_NE(context.ullId, cred.ullId) << "contexts and credentials never share an id";

    CtxtHandle copy = context;
    EXPECT_EQ(provider.DeleteSecurityContext(&context), SEC_E_OK);
    EXPECT_EQ(context.ullId, 0u);
    EXPECT_EQ(provider.DeleteSecurityContext(&copy), SEC_E_INVALID_HANDLE);
    // A second context left open is deleted with the provider (ASan would report a leak).
    EXPECT_NE(
        provider.InitializeSecurityContext(cred, L"HTTP/mail.test.realm@TEST.REALM", &context, token) & 0x80000000,
        0x80000000u);
}
