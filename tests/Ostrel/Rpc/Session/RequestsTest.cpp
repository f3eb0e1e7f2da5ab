// The bodies of the sign-on and account requests, the sign-on answer, and the device id.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "Ostrel/Rpc/Session/Auth.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Registry/Registry.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"

namespace SessionTest {
namespace {

using namespace Ostrel::Rpc;

std::wstring BodyXml(Request& request) {
    Platform::ComPtr<IXMLDOMNode> body;
    EXPECT_EQ(request.GetDocument()->selectSingleNode(L"/soap:Envelope/soap:Body/*", body.AddressOf()), S_OK);
    std::wstring xml;
    if (body)
        body->get_xml(xml);
    return xml;
}

// The body with the (random) device id replaced by DEVICE.
std::wstring WithoutDeviceId(Request& request) {
    return std::regex_replace(BodyXml(request), std::wregex(L"<deviceId>[0-9a-f-]{36}</deviceId>"),
                              L"<deviceId>DEVICE</deviceId>");
}

class RequestsTest : public ::testing::Test {
protected:
    TestSupport::TempHome home;
};

TEST_F(RequestsTest, PasswordSignOnFormsChooseTokenOverCodeAndSendTheDeviceOnlyWhenTrusting) {
    const std::wstring head =
        L"<AuthRequest xmlns=\"urn:ostrelAccount\"><account by=\"name\">u@x</account><password>pw</password>"
        L"<virtualHost>vh</virtualHost>";
    AuthRequest plain(L"u@x", L"pw", L"vh", nullptr, 0, nullptr);
    EXPECT_EQ(BodyXml(plain), head + L"</AuthRequest>");

    // A trusted token wins over a code, and brings the device id.
    AuthRequest trusted(L"u@x", L"pw", L"vh", L"123456", 1, L"tt-1");
    EXPECT_EQ(WithoutDeviceId(trusted),
              head + L"<trustedToken>tt-1</trustedToken><deviceId>DEVICE</deviceId></AuthRequest>");

    AuthRequest code(L"u@x", L"pw", L"vh", L"123456", 0, L"");
    EXPECT_EQ(BodyXml(code), head + L"<twoFactorCode>123456</twoFactorCode></AuthRequest>");

    AuthRequest trustThis(L"u@x", L"pw", L"vh", L"123456", 1, nullptr);
    EXPECT_EQ(WithoutDeviceId(trustThis),
              L"<AuthRequest xmlns=\"urn:ostrelAccount\" deviceTrusted=\"1\"><account by=\"name\">u@x"
              L"</account><password>pw</password><virtualHost>vh</virtualHost>"
              L"<twoFactorCode>123456</twoFactorCode><deviceId>DEVICE</deviceId></AuthRequest>");
    // Trusting without a code asks for nothing.
    AuthRequest noCode(L"u@x", L"pw", L"vh", L"", 1, L"");
    EXPECT_EQ(BodyXml(noCode), head + L"</AuthRequest>");
}

TEST_F(RequestsTest, OtherRequestsCarryTheirElementsInTheirNamespaces) {
    SSOAuthRequest sso(L"sso-token");
    EXPECT_EQ(BodyXml(sso), L"<AuthRequest xmlns=\"urn:ostrelAccount\"><authToken>sso-token</authToken></AuthRequest>");
    EXPECT_STREQ(sso.CallName(), L"AuthRequest");

    AdminAuthRequest admin(L"admin", L"pw", L"vh");
    EXPECT_EQ(BodyXml(admin),
              L"<AuthRequest xmlns=\"urn:ostrelAdmin\"><name>admin</name><password>pw</password>"
              L"<virtualHost>vh</virtualHost></AuthRequest>");
    EXPECT_STREQ(admin.CallName(), L"AuthRequest");

    ChangePasswordRequest change(L"u@x", L"old", L"new");
    EXPECT_EQ(BodyXml(change),
              L"<ChangePasswordRequest xmlns=\"urn:ostrelAccount\"><account by=\"name\">u@x</account>"
              L"<oldPassword>old</oldPassword><password>new</password></ChangePasswordRequest>");

    GetInfoRequest info(L"props,attrs,mbox,prefs");
    EXPECT_EQ(BodyXml(info), L"<GetInfoRequest xmlns=\"urn:ostrelAccount\" sections=\"props,attrs,mbox,prefs\"/>");
    GetInfoRequest all;
    EXPECT_EQ(BodyXml(all), L"<GetInfoRequest xmlns=\"urn:ostrelAccount\"/>");

    GetAccountInfoRequest byName(L"a@x", 1), byId(L"0f-1", 0);
    EXPECT_EQ(BodyXml(byName),
              L"<GetAccountInfoRequest xmlns=\"urn:ostrelAccount\"><account "
              L"by=\"name\">a@x</account></GetAccountInfoRequest>");
    EXPECT_EQ(BodyXml(byId),
              L"<GetAccountInfoRequest xmlns=\"urn:ostrelAccount\"><account "
              L"by=\"id\">0f-1</account></GetAccountInfoRequest>");

    NoOpRequest noOp;
    EXPECT_EQ(BodyXml(noOp), L"<NoOpRequest xmlns=\"urn:ostrelMail\"/>");
    GetServerRequest server(L"mail.x");
    EXPECT_EQ(BodyXml(server),
              L"<GetServerRequest xmlns=\"urn:ostrelAdmin\"><server by=\"name\">mail.x</server></GetServerRequest>");

    // Markup in values stays text.
    AuthRequest odd(L"a<b>&\"c", L"p&<>", L"", nullptr, 0, nullptr);
    EXPECT_NE(BodyXml(odd).find(L"<password>p&amp;&lt;&gt;</password>"), std::wstring::npos);
}

TEST_F(RequestsTest, AuthResponseReadsTokenAndTwoFactorDemand) {
    auto parse = [](const std::wstring& body) {
        Platform::ComPtr<IXMLDOMDocument2> doc;
        Platform::Xml::CreateDocument(doc.AddressOf());
        doc->loadXML(L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>" + body +
                     L"</soap:Body></soap:Envelope>");
        return std::unique_ptr<Response>(Response::Manager::NewResponse(doc.Get()));
    };
    auto full = parse(
        L"<AuthResponse xmlns=\"urn:ostrelAccount\"><authToken>t1</authToken><lifetime>3600</lifetime>"
        L"<sessionId>s1</sessionId></AuthResponse>");
    auto* auth = dynamic_cast<AuthResponse*>(full.get());
    ASSERT_NE(auth, nullptr);
    EXPECT_STREQ(auth->AuthToken(), L"t1");
    EXPECT_STREQ(auth->LifeTime(), L"3600");
    EXPECT_STREQ(auth->SessionId(), L"s1");
    EXPECT_FALSE(auth->TwoFactorAuthRequired());

    auto twoFactor = parse(
        L"<AuthResponse "
        L"xmlns=\"urn:ostrelAccount\"><twoFactorAuthRequired>TRUE</twoFactorAuthRequired></AuthResponse>");
    EXPECT_TRUE(dynamic_cast<AuthResponse&>(*twoFactor).TwoFactorAuthRequired());
    EXPECT_STREQ(dynamic_cast<AuthResponse&>(*twoFactor).AuthToken(), L"");
    auto lower = parse(
        L"<AuthResponse "
        L"xmlns=\"urn:ostrelAccount\"><twoFactorAuthRequired>true</twoFactorAuthRequired></AuthResponse>");
    EXPECT_FALSE(dynamic_cast<AuthResponse&>(*lower).TwoFactorAuthRequired());
}

TEST_F(RequestsTest, DeviceIdIsMadeOnceAndKeptProtected) {
    std::wstring first, second;
    ASSERT_TRUE(GetDeviceId(first));
    ASSERT_TRUE(GetDeviceId(second));
    EXPECT_EQ(first, second);
    EXPECT_TRUE(std::regex_match(first, std::wregex(L"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));

    Ostrel::Util::RegUtil reg(L"EID", KEY_ALL_ACCESS);
    BYTE blob[512];
    DWORD cb = sizeof blob;
    ASSERT_EQ(reg.QueryValue(blob, &cb), ERROR_SUCCESS);
    EXPECT_EQ(reg.GetType(), static_cast<DWORD>(REG_BINARY));
    std::string stored(reinterpret_cast<char*>(blob), cb);
    EXPECT_EQ(stored.find(Platform::ToUtf8(first)), std::string::npos);

    // A value that can never be read again is replaced; one of a wrong type is left alone.
    BYTE garbage[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                      16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
    reg.SetType(REG_BINARY);
    ASSERT_EQ(reg.SetValue(garbage, sizeof garbage), ERROR_SUCCESS);
    std::wstring replaced;
    ASSERT_TRUE(GetDeviceId(replaced));
    EXPECT_NE(replaced, first);
    ASSERT_EQ(reg.SetValue(std::wstring(L"text")), ERROR_SUCCESS);
    std::wstring none;
    EXPECT_FALSE(GetDeviceId(none));
    std::wstring text;
    EXPECT_EQ(reg.QueryValue(text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"text");
}

// A new id that cannot be kept (here: the user's registry cannot be written) still goes with the
// sign-on that trusts the device; the log says it was not kept.
TEST_F(RequestsTest, DeviceIdThatCannotBeStoredIsStillSent) {
    std::filesystem::path hive = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    std::filesystem::remove(hive);
    std::filesystem::create_directories(hive / "blocked");
    Ostrel::Util::LogCapture capture;
    AuthRequest trustThis(L"u@x", L"pw", L"vh", L"123456", 1, nullptr);
    std::wstring body = BodyXml(trustThis);
    std::filesystem::remove_all(hive);
    EXPECT_TRUE(std::regex_search(body, std::wregex(L"<deviceId>[0-9a-f-]{36}</deviceId>"))) << body;
    EXPECT_TRUE(capture.Contains(L"it is used but not kept"));
}

}  // namespace
}  // namespace SessionTest
