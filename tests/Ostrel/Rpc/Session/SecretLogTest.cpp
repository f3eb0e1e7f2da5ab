// A log at full detail of a sign-on with a trusted device, a sync, a folder share with a guest
// password and an upload holds none of the secrets that went over the wire.
#include "Ostrel/Rpc/Session/Auth.h"
#include "Ostrel/Rpc/Transport/LogMask.h"
#include "Ostrel/Rpc/Transport/Upload.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/MemStream.h"
#include "SessionTestSupport.h"
#include "Util/Log/Log.h"

namespace SessionTest {
namespace {

constexpr char kGuestPassword[] = "Guest-Share-Secret-9";

// A request with the given body element written as it goes on the wire.
class RawRequest : public Request {
public:
    RawRequest(const wchar_t* pwszCallName, const std::wstring& wsBodyXml) : Request(pwszCallName, 0) {
        Platform::ComPtr<IXMLDOMDocument2> fragment;
        EXPECT_EQ(Platform::Xml::CreateDocument(fragment.AddressOf()), S_OK);
        EXPECT_EQ(fragment->loadXML(wsBodyXml), S_OK);
        Platform::ComPtr<IXMLDOMElement> root;
        fragment->get_documentElement(root.AddressOf());
        AppendToSoapBody(root.Get());
    }
};

class SecretLogTest : public SessionFixture {};

TEST(LogMask, EverySecretFormIsMaskedAndNothingElse) {
    std::string text =
        "Cookie: OS_AUTH_TOKEN=tok-1; other=keep\r\nSet-Cookie: OS_AUTH_TOKEN=tok-2\r\n"
        "<a:authToken>tok-3</a:authToken><password>p1</password><password>p2</password>"
        "<trustedToken>tt</trustedToken><deviceId>dv-7</deviceId><oldPassword>op</oldPassword>"
        "<grant gt=\"guest\" pw=\"gp1\" d=\"x@y\"/><grant pw='gp2'/><keep pw=\"\">text</keep><deviceId>cut";
    Ostrel::Rpc::MaskSecretsForLog(text);
    for (const char* secret : {"tok-1", "tok-2", "tok-3", "p1", "p2", "tt<", "dv-7", "op<", "gp1", "gp2", "cut"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;
    for (const char* kept : {"other=keep", "gt=\"guest\"", "d=\"x@y\"", ">text<", "<deviceId>"})
        EXPECT_NE(text.find(kept), std::string::npos) << kept << " lost from " << text;
}

TEST_F(SecretLogTest, AFullDetailLogOfSignOnSyncShareAndUploadHoldsNoSecret) {
    OstrelServer::Account account{kUser, kPassword};
    account.twoFactor = true;
    account.codes = {"111111"};
    Book().Add(account);
    // The first sign-on asks for the code and trusts the device; the logged one uses the token.
    ui->QueueTwoFactorAnswer({IDOK, L"111111", true});
    Create(Params())->AuthToken();
    UserSession::ReleaseSharedSessions();

    StartFullLog();
    auto session = Create(Params());
    const std::wstring wsToken = session->AuthToken();
    const std::wstring wsTrusted = session->TrustedToken();
    Connection* pConnection = session->GetCurrentConnect();
    ASSERT_NE(pConnection, nullptr);
    auto exchange = [&](RawRequest&& request) {
        IXMLDOMDocument2* pDoc = nullptr;
        pConnection->SendRequestSynchronous(&request, pDoc, __func__, __LINE__);
        if (pDoc)
            pDoc->Release();
    };
    exchange(RawRequest(L"SyncRequest", L"<SyncRequest xmlns=\"urn:ostrelMail\"/>"));
    exchange(RawRequest(L"FolderActionRequest",
                        L"<FolderActionRequest xmlns=\"urn:ostrelMail\"><action op=\"grant\" "
                        L"id=\"2\"><grant gt=\"guest\" d=\"guest@example.test\" pw=\"" +
                            Platform::FromUtf8(kGuestPassword) + L"\" perm=\"r\"/></action></FolderActionRequest>"));
    const std::string content = "upload body";
    Platform::ComPtr<IStream> stream;
    ASSERT_EQ(Platform::CreateMemoryStream(content.data(), content.size(), stream.AddressOf()), S_OK);
    std::string answer;
    Ostrel::Rpc::DoPutSynchronous(*pConnection, wsToken.c_str(), stream.Get(), content.size(),
                                  L"/service/upload?fmt=raw", nullptr, answer, __func__, __LINE__);
    std::wstring wsDevice;
    ASSERT_TRUE(Ostrel::Rpc::GetDeviceId(wsDevice));
    const std::string log = StopFullLog();

    ASSERT_FALSE(wsToken.empty());
    ASSERT_FALSE(wsTrusted.empty());
    ASSERT_NE(log.find("FolderActionRequest"), std::string::npos) << "the share is in the log";
    ASSERT_NE(log.find("SyncRequest"), std::string::npos);
    ASSERT_NE(log.find("/service/upload"), std::string::npos);
    for (const std::string& secret : {Platform::ToUtf8(wsToken), Platform::ToUtf8(wsTrusted),
                                      Platform::ToUtf8(wsDevice), std::string(kPassword), std::string(kGuestPassword)})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

}  // namespace
}  // namespace SessionTest
