#include "HttpTestSupport.h"

#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

#include <cstdlib>

using HttpTest::Exchange;
using HttpTest::Options;

namespace {

// The simulator also plays an HTTP proxy: an absolute request target is served locally, so the
// origin name never needs to resolve.
TEST(Proxy, NamedProxyCarriesTheRequestAndItsCredentials) {
    OstrelServer::Server proxy;
    proxy.Start();
    proxy.RequireProxyAuth("pu", "pp");
    std::wstring list = L"http=127.0.0.1:" + std::to_wstring(proxy.Port()) + L";https=127.0.0.1:1";
    WINHTTP_PROXY_INFO info{WINHTTP_ACCESS_TYPE_NAMED_PROXY, list.data(), nullptr};

    Options o;
    o.verb = L"GET";
    o.host = L"mail.example.test";
    o.path = L"/bulk?bytes=10";
    o.proxy = &info;
    auto r = Exchange(80, o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 407u);

    o.proxyUser = L"pu";
    o.proxyPassword = L"pp";
    r = Exchange(80, o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body.size(), 10u);
    auto requests = proxy.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[1].viaProxy);
    EXPECT_EQ(requests[1].target, "http://mail.example.test/bulk?bytes=10");
}

TEST(Proxy, BypassListGoesDirect) {
    OstrelServer::Server origin;
    origin.Start();
    std::wstring bypass = L"*.example.test;127.0.0.1";
    std::wstring list = L"127.0.0.1:1";  // nothing listens there
    WINHTTP_PROXY_INFO info{WINHTTP_ACCESS_TYPE_NAMED_PROXY, list.data(), bypass.data()};
    Options o;
    o.verb = L"GET";
    o.path = L"/bulk?bytes=10";
    o.proxy = &info;
    auto r = Exchange(origin.Port(), o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(origin.Requests().at(0).viaProxy);

    WINHTTP_PROXY_INFO none{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
    o.proxy = &none;
    EXPECT_TRUE(Exchange(origin.Port(), o).ok);
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        m_had = std::getenv(name) != nullptr;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

TEST(Proxy, UserSettingsComeFromTheEnvironment) {
    ScopedEnv a("http_proxy", "http://user:pw@proxy.example.test:3128/");
    ScopedEnv b("https_proxy", "proxy.example.test:3129");
    ScopedEnv c("HTTPS_PROXY", nullptr);
    ScopedEnv d("no_proxy", "localhost,.corp.example, intranet");
    ScopedEnv e("NO_PROXY", nullptr);
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    ASSERT_TRUE(WinHttpGetIEProxyConfigForCurrentUser(&config));
    EXPECT_FALSE(config.fAutoDetect);
    EXPECT_TRUE(config.lpszAutoConfigUrl.empty());
    EXPECT_EQ(config.lpszProxy, L"http=proxy.example.test:3128;https=proxy.example.test:3129");
    EXPECT_EQ(config.lpszProxyBypass, L"localhost;*.localhost;*.corp.example;intranet;*.intranet");

    ScopedEnv f("https_proxy", "http://proxy.example.test:3128");
    ASSERT_TRUE(WinHttpGetIEProxyConfigForCurrentUser(&config));
    EXPECT_EQ(config.lpszProxy, L"proxy.example.test:3128");
}

}  // namespace
