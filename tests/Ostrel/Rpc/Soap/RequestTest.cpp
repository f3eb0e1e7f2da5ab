#include "Ostrel/Rpc/Soap/RequestUserAgent.h"
#include "SoapTestSupport.h"
#include "Util/Log/Log.h"

#include <unistd.h>

using namespace Ostrel;
using namespace Ostrel::Rpc;
using namespace SoapTest;
using Platform::ComPtr;

namespace {

const std::wstring kOpen = L"<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>";
const std::wstring kFullContext = L"<context xmlns=\"urn:ostrel\"><nonotify/><noqualify/></context>";
const std::wstring kEmptyBody = L"</soap:Header><soap:Body/></soap:Envelope>";

// The request as the connection would send it.
std::wstring Sent(Request& request) {
    return Xml(request.GetDocument());
}

std::wstring Sent(const std::wstring& context, const std::wstring& body = L"") {
    return kOpen + context + L"</soap:Header>" +
           (body.empty() ? L"<soap:Body/>" : L"<soap:Body>" + body + L"</soap:Body>") + L"</soap:Envelope>";
}

// A request whose body element is made the way every request class makes it.
class ActionLikeRequest : public TestRequest {
public:
    ActionLikeRequest() : TestRequest(L"ItemActionRequest", 0) {
        ComPtr<IXMLDOMElement> body, action;
        EXPECT_EQ(GetDocument()->createElement(L"ItemActionRequest", body.AddressOf()), S_OK);
        EXPECT_EQ(body->setAttribute(L"xmlns", L"urn:ostrelMail"), S_OK);
        EXPECT_EQ(GetDocument()->createElement(L"action", action.AddressOf()), S_OK);
        EXPECT_EQ(action->setAttribute(L"id", 257), S_OK);
        EXPECT_EQ(action->setAttribute(L"op", L"flag"), S_OK);
        EXPECT_EQ(body->appendChild(action.Get(), nullptr), S_OK);
        EXPECT_EQ(AppendToSoapBody(body.Get()), S_OK);
    }
};

}  // namespace

class RequestTemplates : public SoapFixture {};

TEST_F(RequestTemplates, AreChosenByTheExactCallNameAndFlag) {
    for (bool bBES : {false, true}) {
        SetHandheldServerEdition(bBES);
        TestRequest plain(L"GetInfoRequest", 0);
        EXPECT_EQ(Sent(plain), Sent(kFullContext));
        TestRequest contacts(L"GetContactsRequest", 0);
        EXPECT_EQ(Sent(contacts), Sent(kFullContext));
        TestRequest contactsMinus(L"GetContactsRequest", 1);
        EXPECT_EQ(Sent(contactsMinus), Sent(L"<context xmlns=\"urn:ostrel\"><nonotify/></context>"));
        TestRequest otherMinus(L"SyncRequest", 1);
        EXPECT_EQ(Sent(otherMinus), Sent(kFullContext));
        TestRequest gal(L"SyncGalRequest", 0);
        EXPECT_EQ(Sent(gal), Sent(L"<context xmlns=\"urn:ostrel\"/>"));
        TestRequest galOtherCase(L"syncgalrequest", 0);
        EXPECT_EQ(Sent(galOtherCase), Sent(kFullContext));
        TestRequest unnamed;
        EXPECT_EQ(unnamed.CallName(), nullptr);
        EXPECT_EQ(Sent(unnamed), Sent(kFullContext));
    }
}

TEST_F(RequestTemplates, DerivedClassesNameThemselvesThenLoadTheirTemplate) {
    TestRequest request;
    request.InitCallName(L"SyncGalRequest");
    request.InitCallName(nullptr);
    EXPECT_STREQ(request.CallName(), L"SyncGalRequest");
    request.init(0);
    EXPECT_EQ(Sent(request), Sent(L"<context xmlns=\"urn:ostrel\"/>"));
    std::wstring value;
    request.GetDocument()->getProperty(L"SelectionNamespaces", value);
    EXPECT_EQ(value.rfind(L"xmlns:mail='urn:ostrelMail' xmlns:l='urn:ostrel' xmlns:account='urn:ostrelAccount' "
                          L"xmlns:soap='http://www.w3.org/2003/05/soap-envelope'",
                          0),
              0u);
}

TEST_F(RequestTemplates, BodyElementsBuiltInMemoryAreFoundByUnprefixedXPath) {
    ActionLikeRequest request;
    ComPtr<IXMLDOMNode> action;
    ASSERT_EQ(request.GetDocument()->selectSingleNode(L"/soap:Envelope/soap:Body/ItemActionRequest/action",
                                                      action.AddressOf()),
              S_OK);
    EXPECT_EQ(Xml(action.Get()), L"<action id=\"257\" op=\"flag\"/>");
    EXPECT_EQ(Sent(request), Sent(kFullContext,
                                  L"<ItemActionRequest xmlns=\"urn:ostrelMail\"><action id=\"257\" op=\"flag\"/>"
                                  L"</ItemActionRequest>"));
}

class RequestHeader : public SoapFixture {};

TEST_F(RequestHeader, StampingTwiceReplacesWhileAccountsAccumulate) {
    TestRequest request(L"GetInfoRequest", 0);
    ASSERT_EQ(request.SetAuthTokenNode(L"first"), S_OK);
    ASSERT_EQ(request.SetNoSessionNode(), S_OK);
    ASSERT_EQ(request.SetUserAgentNode(L"v1"), S_OK);
    ASSERT_EQ(request.SetSessionId(L"s1"), S_OK);
    GUID id = {0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
    ASSERT_EQ(request.SetTargetAccount(id), S_OK);
    // Sent again: the stamps are replaced, not repeated.
    ASSERT_EQ(request.SetAuthTokenNode(L"second"), S_OK);
    ASSERT_EQ(request.SetNoSessionNode(), S_OK);
    ASSERT_EQ(request.SetUserAgentNode(L"v2"), S_OK);
    ASSERT_EQ(request.SetSessionId(L"s2"), S_OK);
    ASSERT_EQ(request.SetTargetAccount(L"user@example.com"), S_OK);
    EXPECT_EQ(request.SetTargetAccount(static_cast<const wchar_t*>(nullptr)), S_FALSE);

    EXPECT_EQ(Sent(request),
              Sent(L"<context xmlns=\"urn:ostrel\"><nonotify/><noqualify/>"
                   L"<account by=\"id\">0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9</account>"
                   L"<authToken>second</authToken><nosession/><userAgent name=\"Ostrel-OSN\" version=\"v2\"/>"
                   L"<sessionId>s2</sessionId><account by=\"name\">user@example.com</account></context>"));
    ComPtr<IXMLDOMNodeList> tokens;
    ASSERT_EQ(request.GetDocument()->selectNodes(L"//soap:Header/l:context/l:authToken", tokens.AddressOf()), S_OK);
    long count = 0;
    tokens->get_length(&count);
    EXPECT_EQ(count, 1);
}

TEST_F(RequestHeader, HandheldServerEditionNamesItsAgent) {
    SetHandheldServerEdition(true);
    TestRequest request(L"GetInfoRequest", 0);
    ASSERT_EQ(request.SetUserAgentNode(L"8.7"), S_OK);
    ComPtr<IXMLDOMNode> agent;
    ASSERT_EQ(request.GetDocument()->selectSingleNode(L"//l:userAgent[@name='Ostrel-OSB']", agent.AddressOf()), S_OK);
}

TEST_F(RequestHeader, AMissingContextIsCreatedOnceAndTextIsEscaped) {
    TestRequest request(L"GetInfoRequest", 0);
    ComPtr<IXMLDOMNode> header, context;
    ASSERT_EQ(request.GetDocument()->selectSingleNode(L"//soap:Header", header.AddressOf()), S_OK);
    ASSERT_EQ(request.GetDocument()->selectSingleNode(L"//l:context", context.AddressOf()), S_OK);
    ASSERT_EQ(header->removeChild(context.Get(), nullptr), S_OK);
    ASSERT_EQ(request.SetAuthTokenNode(L"a<b&c"), S_OK);
    ASSERT_EQ(request.SetAuthTokenNode(L"x<y"), S_OK);
    EXPECT_EQ(Sent(request), Sent(L"<context xmlns=\"urn:ostrel\"><authToken>x&lt;y</authToken></context>"));

    // Appending to the header itself works too.
    ComPtr<IXMLDOMElement> extra;
    ASSERT_EQ(request.GetDocument()->createElement(L"extra", extra.AddressOf()), S_OK);
    EXPECT_EQ(request.AppendToSoapHeader(extra.Get()), S_OK);
    EXPECT_EQ(request.AppendToSoapHeaderContext(nullptr, 1), E_INVALIDARG);
}

class RequestAcl : public SoapFixture {
protected:
    // The grants SetFolderAcl writes, as XML, or "failed".
    std::wstring Grants(const ACL* acl) {
        TestRequest request(L"CreateFolderRequest", 0);
        ComPtr<IXMLDOMElement> parent;
        EXPECT_EQ(request.GetDocument()->createElement(L"acl", parent.AddressOf()), S_OK);
        if (!request.SetFolderAcl(parent.Get(), acl))
            return L"failed";
        return Xml(parent.Get());
    }
    static AclGrant Grant(const wchar_t* id, GranteeType type, ULONG rights) {
        AclGrant grant;
        grant.m_wsGranteeId = id;
        grant.m_eGranteeType = type;
        grant.m_ulRights = rights;
        return grant;
    }
};

TEST_F(RequestAcl, GranteeKindsGiveTheirAttributes) {
    ACL acl;
    AclGrant user = Grant(L"u-1", GT_USER_OR_GROUP, 0x83);
    user.m_wsGranteeName = L"user@example.com";
    acl.push_back(user);
    AclGrant group = Grant(L"g-1", GT_USER_OR_GROUP, 0x01);
    group.m_bIsGroup = 1;
    group.m_wsGranteeName = L"staff@example.com";
    group.m_wsDisplayName = L"Staff";
    acl.push_back(group);
    AclGrant guest = Grant(L"", GT_GUEST, 0x40);
    guest.m_wsGranteeName = L"guest@example.org";
    acl.push_back(guest);
    AclGrant guestWithPassword = Grant(L"x-9", GT_GUEST, 0xFF);
    guestWithPassword.m_wsPassword = L"pw\"1";
    acl.push_back(guestWithPassword);
    acl.push_back(Grant(L"ignored", GT_PUBLIC, 0x3F));
    acl.push_back(Grant(L"ignored", GT_ALL_AUTHENTICATED, 0x05));
    acl.push_back(Grant(L"all", GT_USER_OR_GROUP, 0x02));
    acl.push_back(Grant(L"00000000-0000-0000-0000-000000000000", GT_GUEST, 0x08));

    EXPECT_EQ(Grants(&acl),
              L"<acl>"
              L"<grant gt=\"usr\" oid=\"u-1\" d=\"user@example.com\" perm=\"rwp\"/>"
              L"<grant gt=\"grp\" oid=\"g-1\" d=\"Staff\" perm=\"r\"/>"
              L"<grant gt=\"guest\" d=\"guest@example.org\" perm=\"\"/>"
              L"<grant gt=\"guest\" pw=\"pw&quot;1\" oid=\"x-9\" perm=\"rwidaxp\"/>"
              L"<grant gt=\"pub\" oid=\"99999999-9999-9999-9999-999999999999\" perm=\"rwidax\"/>"
              L"<grant gt=\"all\" oid=\"00000000-0000-0000-0000-000000000000\" perm=\"ri\"/>"
              L"<grant gt=\"all\" oid=\"00000000-0000-0000-0000-000000000000\" perm=\"w\"/>"
              L"<grant gt=\"all\" oid=\"00000000-0000-0000-0000-000000000000\" perm=\"d\"/>"
              L"</acl>");
}

TEST_F(RequestAcl, EmptyNullAndUnknownGrantees) {
    ACL empty;
    EXPECT_EQ(Grants(&empty), L"<acl/>");
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(Grants(nullptr), L"failed");
    EXPECT_TRUE(capture.Contains(L"invalid acls"));

    // A grantee kind the server does not know is left out; the other grants still go.
    ACL acl{Grant(L"u-1", static_cast<GranteeType>(7), 1), Grant(L"u-2", GT_USER_OR_GROUP, 1)};
    EXPECT_EQ(Grants(&acl), L"<acl><grant gt=\"usr\" oid=\"u-2\" perm=\"r\"/></acl>");
}

class RequestBatch : public SoapFixture {};

TEST_F(RequestBatch, MovesBodyElementsInAppendOrderWithTheirIds) {
    BatchRequest batch;
    EXPECT_STREQ(batch.CallName(), L"BatchRequest");
    ActionLikeRequest first;
    TestRequest second(L"NoOpRequest", 0);
    ComPtr<IXMLDOMElement> noop;
    ASSERT_EQ(second.GetDocument()->createElement(L"NoOpRequest", noop.AddressOf()), S_OK);
    ASSERT_EQ(noop->setAttribute(L"xmlns", L"urn:ostrelMail"), S_OK);
    ASSERT_EQ(second.AppendToSoapBody(noop.Get()), S_OK);
    ASSERT_EQ(second.SetAuthTokenNode(L"not carried over"), S_OK);

    ASSERT_EQ(batch.AppendRequest(&first, 1), S_OK);
    ASSERT_EQ(batch.AppendRequest(&second, 2), S_OK);

    std::wstring xml;
    ASSERT_EQ(batch.GetRequestXML(xml), S_OK);
    EXPECT_EQ(xml,
              L"<BatchRequest xmlns=\"urn:ostrel\">"
              L"<ItemActionRequest xmlns=\"urn:ostrelMail\" requestId=\"1\"><action id=\"257\" op=\"flag\"/>"
              L"</ItemActionRequest><NoOpRequest xmlns=\"urn:ostrelMail\" requestId=\"2\"/></BatchRequest>");
    EXPECT_EQ(Sent(batch), Sent(kFullContext, xml));
    // The elements left their requests.
    EXPECT_EQ(Sent(first), Sent(kFullContext));

    // Nothing left to move is a failure, not a quiet success.
    Ostrel::Util::LogCapture capture;
    EXPECT_TRUE(FAILED(batch.AppendRequest(&first, 3)));
    EXPECT_TRUE(capture.Contains(L"Failed to get first child of request element."));
    EXPECT_EQ(batch.AppendRequest(nullptr, 4), E_INVALIDARG);
    EXPECT_TRUE(FAILED(batch.AppendRequest(&batch, 5))) << "a batch cannot contain itself";
}

TEST(RequestUserAgent, ProcessPartFollowsTheKernelAndLocale) {
    EXPECT_EQ(FormatUserAgentProcessPart("6.1.0-18-amd64", "de_DE.UTF-8", 0x1f4), L"8.7.1.1661 (6.1.0  de-DE) P1f4");
    EXPECT_EQ(FormatUserAgentProcessPart("5.15", "", 255), L"8.7.1.1661 (5.15.0  en-US) Pff");
    EXPECT_EQ(FormatUserAgentProcessPart("", "C", 1), L"8.7.1.1661 (0.0.0  en-US) P1");
    EXPECT_EQ(FormatUserAgentProcessPart("4.19.0", "POSIX", 1), L"8.7.1.1661 (4.19.0  en-US) P1");
    EXPECT_EQ(FormatUserAgentProcessPart("6.5.0", "fr", 1), L"8.7.1.1661 (6.5.0  fr-FR) P1");
    EXPECT_EQ(FormatUserAgentProcessPart("6.5.0", "pt_BR@variant", 1), L"8.7.1.1661 (6.5.0  pt-BR) P1");
    EXPECT_EQ(FormatUserAgentProcessPart("99999999999.1.2", "en_GB", 1), L"8.7.1.1661 (2147483647.1.2  en-GB) P1");
}

TEST(RequestUserAgent, VersionAddsThreadAndPositiveRequestNumbers) {
    const std::wstring& part = UserAgentProcessPart();
    wchar_t pid[16];
    swprintf(pid, 16, L" P%x", static_cast<unsigned>(getpid()));
    EXPECT_EQ(part.substr(part.size() - wcslen(pid)), pid);
    EXPECT_EQ(UserAgentVersion(0x9a0, 12), part + L" T9a0 R12");
    EXPECT_EQ(UserAgentVersion(0x9a0, 0), part + L" T9a0");
    EXPECT_EQ(UserAgentVersion(0x9a0, -3), part + L" T9a0");
}
