#include "ConnectionTestSupport.h"

#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "Ostrel/Rpc/Transport/Download.h"
#include "Ostrel/Rpc/Transport/StreamResponse.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Support/Files.h"

using namespace ConnTest;

namespace {

using OstrelServer::Fault;
namespace fs = std::filesystem;

uint32_t Crc(const std::string& s) {
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

class DownloadTest : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        server = StartServer();
        // Large enough to go through the spool file.
        for (int i = 0; content.size() < 3 * 1024 * 1024; ++i)
            content += "line " + std::to_string(i) + "\n";
        server->SetHttpHandler("GET", "/home/~/Briefcase/", [this](OstrelServer::HttpCall& call) {
            if (call.req.get_header_value("Cookie").find("OS_AUTH_TOKEN=" + Platform::ToUtf8(session->token)) ==
                std::string::npos) {
                call.res.status = 401;
                return;
            }
            call.res.set_content(content, "application/octet-stream");
        });
        oc = std::make_unique<OstrelConnection>(L"download", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0,
                                                kProxyModeNone, nullptr, 0, L"profile");
        dir = fs::path(home.Path()) / "downloads";
        fs::create_directories(dir);
        target = dir / "photo.jpg";
    }
    // Only the files the test expects: no temporary file left beside them.
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::unique_ptr<OstrelServer::Server> server;
    std::unique_ptr<OstrelConnection> oc;
    std::string content;
    fs::path dir;
    fs::path target;
};

}  // namespace

TEST_F(DownloadTest, ImageArrivesWholeUnderItsEncodedName) {
    ASSERT_EQ(GetImgFileFromOSV(*oc, L"../p\u00e4ss 1.jpg", target), 1);
    EXPECT_TRUE(TestSupport::ReadFile(target) == content);
    EXPECT_EQ(Listing(), std::vector<std::string>{"photo.jpg"});
    EXPECT_EQ(server->Requests().back().target, "/home/~/Briefcase/..%2Fp%C3%A4ss%201.jpg");
    EXPECT_EQ(EncodePathSegment(L".."), L"%2E%2E");
}

TEST_F(DownloadTest, SizeOrChecksumThatDisagreesIsRefusedAndTheTargetKept) {
    { std::ofstream(target) << "old"; }
    DownloadExpectation wrongSize{content.size() + 1, std::nullopt};
    EXPECT_THROW(DownloadToFile(*oc, L"/home/~/Briefcase/a", target, wrongSize, __func__, __LINE__),
                 FileDownloadFaultException);
    DownloadExpectation wrongCrc{content.size(), Crc(content) ^ 1};
    EXPECT_THROW(DownloadToFile(*oc, L"/home/~/Briefcase/a", target, wrongCrc, __func__, __LINE__),
                 FileDownloadFaultException);
    EXPECT_EQ(TestSupport::ReadFile(target), "old");
    EXPECT_EQ(Listing(), std::vector<std::string>{"photo.jpg"});

    ComPtr<IStream> stream;
    ASSERT_EQ(Platform::CreateMemoryStream(stream.AddressOf()), S_OK);
    EXPECT_THROW(DownloadToStream(*oc, L"/home/~/Briefcase/a", stream.Get(), wrongCrc, __func__, __LINE__),
                 FileDownloadFaultException);
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    EXPECT_EQ(stat.cbSize.QuadPart, 0u);

    DownloadExpectation right{content.size(), Crc(content)};
    EXPECT_EQ(DownloadToStream(*oc, L"/home/~/Briefcase/a", stream.Get(), right, __func__, __LINE__), content.size());
    EXPECT_EQ(DownloadToFile(*oc, L"/home/~/Briefcase/a", target, right, __func__, __LINE__), content.size());
    EXPECT_TRUE(TestSupport::ReadFile(target) == content);
}

TEST_F(DownloadTest, BrokenOffDownloadsLeaveNothingAndARetryCompletes) {
    server->Faults().Add(Fault::For("/home/").DropMidBody());
    EXPECT_THROW(DownloadToFile(*oc, L"/home/~/Briefcase/a", target, {}, __func__, __LINE__), WinHttpException);
    server->Faults().Add(Fault::For("/home/").Status(503, "busy"));
    EXPECT_THROW(DownloadToFile(*oc, L"/home/~/Briefcase/a", target, {}, __func__, __LINE__), NginxException);
    oc->SetConnTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 1);
    server->Faults().Add(Fault::For("/home/").Delay(3000));
    EXPECT_THROW(DownloadToFile(*oc, L"/home/~/Briefcase/a", target, {}, __func__, __LINE__), WinHttpException);
    EXPECT_TRUE(Listing().empty());
    oc->SetConnTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 30);
    EXPECT_EQ(DownloadToFile(*oc, L"/home/~/Briefcase/a", target, {}, __func__, __LINE__), content.size());
    EXPECT_EQ(Listing(), std::vector<std::string>{"photo.jpg"});
}

TEST_F(DownloadTest, StreamedBodiesReachTheConsumerOnlyOnSuccess) {
    auto c = Connect(*server);
    std::string got;
    auto keep = [&](const char* p, DWORD cb) {
        got.append(p, cb);
        return true;
    };
    server->Faults().Add(Fault::For("/home/").Status(404, "not here"));
    try {
        c->DoGetSynchronousTo(L"/home/~/Briefcase/a", nullptr, keep, __func__, __LINE__);
        FAIL() << "no exception";
    } catch (const FileDownloadFaultException& e) {
        EXPECT_EQ(e.StatusCode(), 404u);
        EXPECT_STREQ(e.ErrorText(), "not here");
    }
    EXPECT_TRUE(got.empty());

    // A consumer that refuses ends the transfer; the connection carries the next one whole.
    int pieces = 0;
    try {
        c->DoGetSynchronousTo(
            L"/bulk?bytes=8000000", nullptr, [&](const char*, DWORD) { return ++pieces < 2; }, __func__, __LINE__);
        FAIL() << "no exception";
    } catch (const WinHttpException& e) {
        EXPECT_EQ(e.ExcepNum(0), static_cast<DWORD>(ERROR_WINHTTP_OPERATION_CANCELLED));
    }
    EXPECT_EQ(pieces, 2);
    c->DoGetSynchronousTo(L"/bulk?bytes=3000000&chunked=1", nullptr, keep, __func__, __LINE__);
    EXPECT_EQ(got.size(), 3000000u);
}

TEST_F(DownloadTest, RejectedTokenIsRenewedFourTimesAtMost) {
    session->token = L"stale";
    // The handler accepts only the token the first invalidation hands out.
    std::wstring good = L"token-2";
    server->SetHttpHandler("GET", "/home/~/Briefcase/", [&](OstrelServer::HttpCall& call) {
        bool ok = call.req.get_header_value("Cookie") == "OS_AUTH_TOKEN=" + Platform::ToUtf8(good);
        call.res.status = ok ? 200 : 401;
        call.res.set_content(ok ? "img" : "no", "text/plain");
    });
    EXPECT_EQ(DownloadToFile(*oc, L"/home/~/Briefcase/a", target, {}, __func__, __LINE__), 3u);
    EXPECT_EQ(session->invalidations.size(), 1u);
    good = L"never";
    try {
        DownloadToFile(*oc, L"/home/~/Briefcase/a", target, {}, __func__, __LINE__);
        FAIL() << "no exception";
    } catch (const FileDownloadFaultException& e) {
        EXPECT_EQ(e.StatusCode(), 401u);
    }
    EXPECT_EQ(session->invalidations.size(), 5u);
    EXPECT_EQ(TestSupport::ReadFile(target), "img");
    session->token.clear();
    EXPECT_EQ(GetImgFileFromOSV(*oc, L"a", target), 0);
}

namespace {

std::string FaultText(const char* code) {
    return std::string(
               "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body><soap:Fault>"
               "<soap:Code><soap:Value>soap:Sender</soap:Value></soap:Code><soap:Reason><soap:Text>r"
               "</soap:Text></soap:Reason><soap:Detail><Error xmlns=\"urn:ostrel\"><Code>") +
           code + "</Code></Error></soap:Detail></soap:Fault></soap:Body></soap:Envelope>";
}

ComPtr<IStream> Answer(const std::string& text) {
    ComPtr<IStream> stream;
    EXPECT_EQ(Platform::CreateMemoryStream(text.data(), text.size(), stream.AddressOf()), S_OK);
    return stream;
}

}  // namespace

TEST_F(DownloadTest, SoapAnswersThatArriveAsStreamsGoThroughTheFaultPolicy) {
    // Seen in order: a good answer, an expired token (re-authenticate and send again), a
    // maintenance fault (thrown), a broken answer, and one too large to examine.
    EXPECT_FALSE(CheckForErrorAndReAuthIfReqdOC(
        *oc,
        Answer("<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>"
               "<NoOpResponse xmlns=\"urn:ostrelMail\"/></soap:Body></soap:Envelope>")
            .Get(),
        false));
    EXPECT_TRUE(CheckForErrorAndReAuthIfReqdOC(*oc, Answer(FaultText("service.AUTH_EXPIRED")).Get(), false));
    EXPECT_EQ(session->invalidations, std::vector<int>{1});
    EXPECT_THROW(CheckForErrorAndReAuthIfReqdOC(*oc, Answer(FaultText("mail.MAINTENANCE")).Get(), false),
                 MailServiceException_MAINTENANCE);
    EXPECT_THROW(CheckForErrorAndReAuthIfReqdOC(*oc, Answer("<soap:Envelope").Get(), false), WinHttpException);
    EXPECT_TRUE(CheckForErrorAndReAuthIfReqdOC(*oc, Answer(std::string(0x100001, ' ')).Get(), false));

    // Fault headers on the response the stream came with win over its body.
    server->Faults().Add(
        Fault::For("/home/").Header("X-Ostrel-Fault-Code", "mail.QUOTA").Header("X-Ostrel-Fault-Message", "full"));
    std::string body;
    IStream* pStream = nullptr;
    bool bIsStream = false;
    DoGetSynchronousUsingSessAuthTokOC(*oc, L"/home/~/Briefcase/a", nullptr, body, pStream, bIsStream, false, __func__,
                                       __LINE__);
    if (pStream)
        pStream->Release();
    EXPECT_THROW(CheckForErrorAndReAuthIfReqdOC(*oc, Answer(FaultText("x")).Get(), false), ServiceFaultException);
}
