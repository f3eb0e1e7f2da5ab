#include "HttpTestSupport.h"

#include "Support/Wait.h"
#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using HttpTest::Exchange;
using HttpTest::Options;

namespace {

const char* const kNoOp =
    "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header/>"
    "<soap:Body><NoOpRequest xmlns=\"urn:ostrelMail\"/></soap:Body></soap:Envelope>";

class WinHttpTest : public ::testing::Test {
protected:
    void SetUp() override { server.Start(); }
    OstrelServer::Server server;
};

TEST_F(WinHttpTest, PostsABodyAndReadsStatusHeadersAndBody) {
    Options o;
    o.body = kNoOp;
    o.headers = L"Cookie: OS_AUTH_TOKEN=abc\r\nContent-Type: application/soap+xml; charset=utf-8";
    auto r = Exchange(server.Port(), o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.status, 200u);
    EXPECT_NE(r.body.find("<NoOpResponse xmlns=\"urn:ostrelMail\"/>"), std::string::npos);
    EXPECT_EQ(r.rawHeaders.rfind(L"HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(r.rawHeaders.find(L"Content-Type: application/soap+xml; charset=utf-8\r\n"), std::wstring::npos);
    EXPECT_EQ(r.rawHeaders.substr(r.rawHeaders.size() - 4), L"\r\n\r\n");

    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& sent = requests[0];
    EXPECT_EQ(sent.callName, "NoOpRequest");
    EXPECT_EQ(sent.body, kNoOp);
    EXPECT_EQ(sent.Header("Cookie"), "OS_AUTH_TOKEN=abc");
    EXPECT_EQ(sent.Header("User-Agent"), "Ostrel-Test/1.0");
    EXPECT_EQ(sent.Header("Content-Length"), std::to_string(std::string(kNoOp).size()));
    // Nothing of curl's own making goes out.
    EXPECT_FALSE(sent.HasHeader("Accept"));
    EXPECT_FALSE(sent.HasHeader("Expect"));
}

TEST_F(WinHttpTest, HeaderQueriesFollowWindowsBufferRules) {
    server.Faults().Add(OstrelServer::Fault::For("NoOpRequest")
                            .Header("X-Multi", "one")
                            .Header("Set-Cookie", "OS_AUTH_TOKEN=t1; Path=/"));
    HINTERNET s = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET c = WinHttpConnect(s, L"127.0.0.1", static_cast<INTERNET_PORT>(server.Port()), 0);
    HINTERNET q = WinHttpOpenRequest(c, L"POST", L"/service/soap/NoOpRequest", nullptr, nullptr, nullptr, 0);
    ASSERT_TRUE(q);

    // Before the response there is nothing to ask.
    DWORD size = 0;
    EXPECT_FALSE(WinHttpQueryHeaders(q, WINHTTP_QUERY_STATUS_CODE, nullptr, nullptr, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));

    std::string body = kNoOp;
    ASSERT_TRUE(WinHttpSendRequest(q, nullptr, 0, body.data(), static_cast<DWORD>(body.size()),
                                   static_cast<DWORD>(body.size()), 0));
    ASSERT_TRUE(WinHttpReceiveResponse(q, nullptr));

    EXPECT_EQ(HttpTest::QueryHeader(q, WINHTTP_QUERY_SET_COOKIE), L"OS_AUTH_TOKEN=t1; Path=/");
    EXPECT_EQ(HttpTest::QueryHeader(q, WINHTTP_QUERY_CUSTOM, L"x-multi"), L"one");
    EXPECT_EQ(HttpTest::QueryHeader(q, WINHTTP_QUERY_STATUS_TEXT), L"OK");

    // Size query: the needed bytes include the terminator; the returned length does not.
    size = 0;
    EXPECT_FALSE(WinHttpQueryHeaders(q, WINHTTP_QUERY_CUSTOM, L"X-Multi", nullptr, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 4 * sizeof(wchar_t));
    wchar_t buffer[16];
    size = sizeof buffer;
    ASSERT_TRUE(WinHttpQueryHeaders(q, WINHTTP_QUERY_CUSTOM, L"X-Multi", buffer, &size, nullptr));
    EXPECT_EQ(size, 3 * sizeof(wchar_t));

    // An index walks repeated headers and ends with "not found".
    DWORD index = 0;
    size = sizeof buffer;
    ASSERT_TRUE(WinHttpQueryHeaders(q, WINHTTP_QUERY_CUSTOM, L"X-Multi", buffer, &size, &index));
    EXPECT_EQ(index, 1u);
    size = sizeof buffer;
    EXPECT_FALSE(WinHttpQueryHeaders(q, WINHTTP_QUERY_CUSTOM, L"X-Multi", buffer, &size, &index));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));

    DWORD status = 0;
    size = sizeof status;
    ASSERT_TRUE(WinHttpQueryHeaders(q, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status, &size,
                                    nullptr));
    EXPECT_EQ(status, 200u);
    size = sizeof status;
    EXPECT_FALSE(WinHttpQueryHeaders(q, WINHTTP_QUERY_CONTENT_TYPE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status, &size,
                                     nullptr));

    // The request side shows what went out.
    std::wstring out = HttpTest::QueryHeader(q, WINHTTP_QUERY_RAW_HEADERS_CRLF | WINHTTP_QUERY_FLAG_REQUEST_HEADERS);
    EXPECT_EQ(out.rfind(L"POST /service/soap/NoOpRequest HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(out.find(L"Content-Length: " + std::to_wstring(body.size())), std::wstring::npos);

    WinHttpCloseHandle(q);
    WinHttpCloseHandle(c);
    WinHttpCloseHandle(s);
}

TEST_F(WinHttpTest, RejectsBadHandlesAndMalformedHeaders) {
    EXPECT_FALSE(WinHttpCloseHandle(reinterpret_cast<HINTERNET>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HINTERNET s = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    EXPECT_FALSE(WinHttpSendRequest(s, nullptr, 0, nullptr, 0, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    HINTERNET c = WinHttpConnect(s, L"127.0.0.1", static_cast<INTERNET_PORT>(server.Port()), 0);
    HINTERNET q = WinHttpOpenRequest(c, L"GET", L"/bulk?bytes=10", nullptr, nullptr, nullptr, 0);
    // A header value may not smuggle a second line or a control character.
    EXPECT_FALSE(WinHttpAddRequestHeaders(q, L"X-A: one\rX-B: two", static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_HEADER));
    EXPECT_FALSE(WinHttpAddRequestHeaders(q, L"no colon here", static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD));
    ASSERT_TRUE(WinHttpAddRequestHeaders(q, L"X-A: one", static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_FALSE(WinHttpAddRequestHeaders(q, L"X-A: two", static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_ALREADY_EXISTS));
    ASSERT_TRUE(WinHttpAddRequestHeaders(q, L"X-A: three", static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_REPLACE));
    ASSERT_TRUE(WinHttpSendRequest(q, nullptr, 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(q, nullptr));
    EXPECT_EQ(server.Requests().back().Header("X-A"), "three");
    WinHttpCloseHandle(q);
    // The closed handle is gone for good.
    EXPECT_FALSE(WinHttpReceiveResponse(q, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    WinHttpCloseHandle(c);
    WinHttpCloseHandle(s);
}

TEST_F(WinHttpTest, LargeChunkedBodyArrivesWhole) {
    Options o;
    o.verb = L"GET";
    o.path = L"/bulk?bytes=3145728&chunked=1";
    o.readChunk = 100000;
    auto r = Exchange(server.Port(), o);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.body.size(), 3145728u);
    EXPECT_EQ(r.rawHeaders.find(L"Content-Length"), std::wstring::npos);
    for (size_t i = 0; i < r.body.size(); i += 64)
        ASSERT_EQ(r.body.compare(i, 6, "ostrel"), 0) << i;
}

TEST_F(WinHttpTest, ConnectionDroppedInTheBodyIsAnError) {
    for (const wchar_t* path : {L"/bulk?bytes=2000000&drop=1", L"/bulk?bytes=2000000&drop=1&chunked=1"}) {
        Options o;
        o.verb = L"GET";
        o.path = path;
        auto r = Exchange(server.Port(), o);
        EXPECT_FALSE(r.ok) << path;
        EXPECT_EQ(r.stage, 3) << path;
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR)) << path;
    }
}

TEST_F(WinHttpTest, UnansweredRequestTimesOut) {
    server.Faults().Add(OstrelServer::Fault::For("NoOpRequest").Delay(20000));
    Options o;
    o.body = kNoOp;
    o.receiveTimeoutMs = 300;
    auto start = std::chrono::steady_clock::now();
    auto r = Exchange(server.Port(), o);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(WinHttpTest, ClosingTheRequestCancelsACallWaitingOnIt) {
    server.Faults().Add(OstrelServer::Fault::For("/bulk").Delay(20000));
    HINTERNET s = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET c = WinHttpConnect(s, L"127.0.0.1", static_cast<INTERNET_PORT>(server.Port()), 0);
    HINTERNET q = WinHttpOpenRequest(c, L"GET", L"/bulk?bytes=10", nullptr, nullptr, nullptr, 0);
    ASSERT_TRUE(WinHttpSendRequest(q, nullptr, 0, nullptr, 0, 0, 0));
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return !server.Requests().empty(); }))
        << "the request never reached the server";
    std::thread closer([q] { WinHttpCloseHandle(q); });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WinHttpReceiveResponse(q, nullptr));
    DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_WINHTTP_OPERATION_CANCELLED || error == ERROR_INVALID_HANDLE) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    closer.join();
    WinHttpCloseHandle(c);
    WinHttpCloseHandle(s);
}

TEST_F(WinHttpTest, NothingListeningIsCannotConnect) {
    OstrelServer::Server gone;
    gone.Start();
    int port = gone.Port();
    gone.Stop();
    Options o;
    o.body = kNoOp;
    auto r = Exchange(port, o);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.stage, 1);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
}

TEST_F(WinHttpTest, BasicCredentialsAnswerTheChallenge) {
    server.RequireBasicAuth("anna", "s3cret");
    Options o;
    o.body = kNoOp;
    auto r = Exchange(server.Port(), o);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 401u);
    EXPECT_NE(r.rawHeaders.find(L"WWW-Authenticate: Basic realm=\"Ostrel\""), std::wstring::npos);
    o.serverUser = L"anna";
    o.serverPassword = L"s3cret";
    r = Exchange(server.Port(), o);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200u);
}

TEST_F(WinHttpTest, UploadInPiecesWithWriteData) {
    std::string received;
    server.SetHttpHandler("POST", "/upload", [&](OstrelServer::HttpCall& call) {
        received = call.req.body;
        call.res.set_content("200,'krrpc32-client-id','id:1'", "text/plain");
    });
    HINTERNET s = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET c = WinHttpConnect(s, L"127.0.0.1", static_cast<INTERNET_PORT>(server.Port()), 0);
    HINTERNET q = WinHttpOpenRequest(c, L"POST", L"/upload", nullptr, nullptr, nullptr, 0);
    std::string part(300000, 'u');
    const DWORD total = 3 * 300000;
    ASSERT_TRUE(WinHttpSendRequest(q, nullptr, 0, nullptr, 0, total, 0));
    for (int i = 0; i < 3; ++i) {
        part[0] = static_cast<char>('a' + i);
        DWORD written = 0;
        ASSERT_TRUE(WinHttpWriteData(q, part.data(), static_cast<DWORD>(part.size()), &written));
        EXPECT_EQ(written, part.size());
    }
    // More than announced is refused.
    DWORD written = 0;
    EXPECT_FALSE(WinHttpWriteData(q, "x", 1, &written));
    ASSERT_TRUE(WinHttpReceiveResponse(q, nullptr)) << GetLastError();
    ASSERT_EQ(received.size(), total);
    EXPECT_EQ(received[0], 'a');
    EXPECT_EQ(received[300000], 'b');
    EXPECT_EQ(received[600000], 'c');
    WinHttpCloseHandle(q);
    WinHttpCloseHandle(c);
    WinHttpCloseHandle(s);
}

TEST_F(WinHttpTest, RedirectsAreLeftToTheCaller) {
    server.SetHttpHandler("GET", "/certauth",
                          [](OstrelServer::HttpCall& call) { call.res.set_redirect("https://127.0.0.1:7071/", 302); });
    Options o;
    o.verb = L"GET";
    o.path = L"/certauth";
    auto r = Exchange(server.Port(), o);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 302u);
    EXPECT_NE(r.rawHeaders.find(L"Location: https://127.0.0.1:7071/"), std::wstring::npos);
}

}  // namespace
