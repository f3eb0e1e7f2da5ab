#include "ConnectionTestSupport.h"

#include <gmime/gmime.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "Ostrel/Rpc/Transport/Upload.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mime/GMimeSupport.h"
#include "Support/Wait.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "ostrel-server/Mailbox.h"

using namespace ConnTest;

namespace {

using OstrelServer::Fault;

ComPtr<IStream> MemoryStream(const std::string& content) {
    ComPtr<IStream> stream;
    EXPECT_EQ(Platform::CreateMemoryStream(content.data(), content.size(), stream.AddressOf()), S_OK);
    return stream;
}

struct ParsedPart {
    std::string filename;
    std::string content;
    std::vector<std::string> headerNames;
};

// The parts of a multipart/form-data body as GMime reads them.
std::vector<ParsedPart> ParseWithGMime(const std::string& boundary, const std::string& body) {
    mimepp::detail::EnsureGMime();
    std::string message = "Content-Type: multipart/form-data; boundary=\"" + boundary + "\"\r\n\r\n" + body;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(message.data(), message.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeObject* root = g_mime_parser_construct_part(parser, nullptr);
    std::vector<ParsedPart> parts;
    if (root && GMIME_IS_MULTIPART(root)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(root);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            GMimeObject* object = g_mime_multipart_get_part(multipart, i);
            ParsedPart part;
            GMimeHeaderList* headers = g_mime_object_get_header_list(object);
            for (int h = 0; h < g_mime_header_list_get_count(headers); ++h)
                part.headerNames.emplace_back(g_mime_header_get_name(g_mime_header_list_get_header_at(headers, h)));
            if (GMIME_IS_PART(object)) {
                const char* name = g_mime_part_get_filename(GMIME_PART(object));
                part.filename = name ? name : "";
                GMimeStream* out = g_mime_stream_mem_new();
                g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(object)), out);
                GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
                part.content.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
                g_object_unref(out);
            }
            parts.push_back(std::move(part));
        }
    }
    if (root)
        g_object_unref(root);
    g_object_unref(parser);
    g_object_unref(stream);
    return parts;
}

class UploadTest : public ConnectionTest {
protected:
    std::unique_ptr<OstrelConnection> Open(const OstrelServer::Server& server) {
        return std::make_unique<OstrelConnection>(L"upload", L"127.0.0.1", static_cast<DWORD>(server.Port()), 0,
                                                  kProxyModeNone, nullptr, 0, L"profile");
    }
    static int Upload(OstrelConnection& oc, const std::string& content, std::wstring& id,
                      const char* pszPreamble = nullptr) {
        ComPtr<IStream> stream = MemoryStream(content);
        return DoPutSynchronousOC(oc, stream.Get(), content.size(), L"/service/upload?fmt=raw", id, pszPreamble,
                                  __func__, __LINE__);
    }
};

}  // namespace

TEST(UploadBody, FileNamesNeverBreakTheHeadersAndContentSurvivesWhole) {
    // Content that looks like boundaries and header ends, larger than the 1 MiB buffer.
    std::string content;
    for (int i = 0; content.size() < 2 * Ostrel::Rpc::Rfc1876Helper::kBufferSize + 100; ++i)
        content += "\r\n--B-00=_ line " + std::to_string(i) + "\r\n\r\n" + std::string(1, static_cast<char>(i));
    const std::string names[] = {
        "plain.txt",
        "say \"hi\".txt",
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x98\x83.txt",
        "evil.txt\"\r\nX-Injected: 1\r\nContent-Type: text/html",
        "back\\slash%22.txt",
    };
    for (const std::string& name : names) {
        std::string preamble;
        ASSERT_TRUE(Rfc1876Helper::BuildFilePreamble("file", name, "application/octet-stream", preamble));
        ASSERT_TRUE(Rfc1876Helper::IsSafePreamble(preamble)) << name;
        Connection unused(L"t", L"127.0.0.1", 1, 0, kProxyModeNone, nullptr, 0);
        Rfc1876Helper helper(unused);
        helper.SetBoundary(Rfc1876Helper::NewBoundary());
        std::string body;
        ComPtr<IStream> stream = MemoryStream(content);
        // An odd piece size puts piece ends everywhere, across buffer refills too.
        ASSERT_TRUE(helper.StreamBody(stream.Get(), content.size(), preamble, 65521, [&](const char* p, DWORD cb) {
            body.append(p, cb);
            return true;
        }));
        std::vector<ParsedPart> parts = ParseWithGMime(helper.GetBoundary(), body);
        ASSERT_EQ(parts.size(), 2u) << name;
        EXPECT_EQ(parts[0].content, "krrpc32-client-id");
        EXPECT_EQ(parts[1].filename, name);
        EXPECT_EQ(parts[1].headerNames,
                  (std::vector<std::string>{"Content-Disposition", "Content-Type", "Content-Transfer-Encoding"}))
            << name;
        EXPECT_TRUE(parts[1].content == content) << name;
    }
    std::string preamble;
    EXPECT_FALSE(Rfc1876Helper::BuildFilePreamble("fi\"le", "a", "text/plain", preamble));
    EXPECT_FALSE(Rfc1876Helper::BuildFilePreamble("file", "a", "text/plain\r\nX: 1", preamble));
    EXPECT_TRUE(preamble.empty());
    EXPECT_FALSE(Rfc1876Helper::IsSafePreamble("Content-Type: a\r\n"));
    EXPECT_FALSE(Rfc1876Helper::IsSafePreamble("Content-Type: a\nX: 1\r\n\r\n"));
    EXPECT_FALSE(Rfc1876Helper::IsSafePreamble("Content-Type: a\rX: 1\r\n\r\n"));

    // Boundaries differ from upload to upload and hold only characters a boundary may hold.
    std::string a = Rfc1876Helper::NewBoundary(), b = Rfc1876Helper::NewBoundary();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), 28u);
    EXPECT_EQ(a.substr(0, 8), "--B-00=_");
    EXPECT_EQ(a.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+_-="),
              std::string::npos);
}

TEST(UploadAnswers, IdsAndErrorPages) {
    UploadAnswer answer = ParseUploadAnswer("200,'krrpc32-client-id','abc:def'");
    EXPECT_EQ(answer.sStatus, "200");
    EXPECT_TRUE(answer.bHasClientId);
    EXPECT_EQ(answer.sUploadId, "abc:def");
    answer = ParseUploadAnswer("413,'null'");
    EXPECT_EQ(answer.sStatus, "413");
    EXPECT_FALSE(answer.bHasClientId);
    EXPECT_TRUE(answer.sUploadId.empty());
    for (const char* broken : {"", "200", "200,'krrpc32-client-id',", "200,'krrpc32-client-id','open"})
        EXPECT_TRUE(ParseUploadAnswer(broken).sUploadId.empty()) << broken;

    std::string message;
    EXPECT_EQ(ParseHtmlError("200,'x','y'", message), -1);
    EXPECT_EQ(ParseHtmlError("<html><head><title>413 Too Large</title></head></html>", message), -1);
    EXPECT_GE(ParseHtmlError("<html><head><title>Error 413 - too large</title>", message), 0);
    EXPECT_EQ(message, "Error 413 - too large");
    EXPECT_EQ(ParseHtmlError("<html><title>Error", message), -1);
}

TEST_F(UploadTest, UploadedContentReachesTheStoreUnderTheReturnedId) {
    auto server = StartServer();
    session->port = static_cast<DWORD>(server->Port());
    auto oc = Open(*server);
    std::string content(3 * 1024 * 1024 + 17, 'x');
    for (size_t i = 0; i < content.size(); i += 4099)
        content[i] = static_cast<char>(i);
    std::wstring id;
    auto progress = oc->CreateProgressTask(L"upload");
    ULONGLONG ullMaxSeen = 0;
    int updates = 0;
    progress->AddListener([&](const Ostrel::Util::ProgressState& state) {
        ullMaxSeen = std::max(ullMaxSeen, state.ullPos);
        ++updates;
    });
    ASSERT_EQ(Upload(*oc, content, id), 1);
    ASSERT_FALSE(id.empty());
    EXPECT_GT(ullMaxSeen, content.size());
    EXPECT_GT(updates, 3);
    auto upload = server->State<OstrelServer::UploadStore>().Take(Platform::ToUtf8(id));
    EXPECT_TRUE(upload.content == content);
    EXPECT_EQ(upload.fileName, "krlib32.bin");
    EXPECT_EQ(upload.contentType, "application/octet-stream");
    oc->ReleaseProgressTask();

    // A caller's preamble names the file; one that would break the headers is refused unsent.
    std::string preamble;
    ASSERT_TRUE(Rfc1876Helper::BuildFilePreamble("file", "mail \"1\".eml", "message/rfc822", preamble));
    ASSERT_EQ(Upload(*oc, "From: a\r\n\r\nbody", id, preamble.c_str()), 1);
    upload = server->State<OstrelServer::UploadStore>().Take(Platform::ToUtf8(id));
    EXPECT_EQ(upload.contentType, "message/rfc822");
    EXPECT_EQ(upload.content, "From: a\r\n\r\nbody");
    size_t before = server->Requests().size();
    EXPECT_EQ(Upload(*oc, "x", id, "Content-Type: a\nX-Evil: 1\r\n\r\n"), 0);
    EXPECT_EQ(server->Requests().size(), before);
}

TEST_F(UploadTest, ExpiredTokenReauthenticatesFourTimesThenFails) {
    auto server = StartServer();
    auto oc = Open(*server);
    std::wstring id;
    server->Faults().Add(Fault::For("/service/upload", 2).Status(200, "401,'krrpc32-client-id'"));
    ASSERT_EQ(Upload(*oc, "abc", id), 1);
    EXPECT_EQ(session->invalidations, (std::vector<int>{1, 1}));
    EXPECT_EQ(server->State<OstrelServer::UploadStore>().Take(Platform::ToUtf8(id)).content, "abc");

    session->invalidations.clear();
    server->Faults().Add(Fault::For("/service/upload", 5).Status(200, "401,'krrpc32-client-id'"));
    try {
        Upload(*oc, "abc", id);
        FAIL() << "no exception";
    } catch (const FileUploadFaultException& e) {
        EXPECT_STREQ(e.StatusCode(), "401");
    }
    EXPECT_EQ(session->invalidations.size(), 4u);
    EXPECT_TRUE(id.empty());
}

TEST_F(UploadTest, AnswersWithoutAnIdAndErrorPagesThrow) {
    auto server = StartServer();
    auto oc = Open(*server);
    std::wstring id;
    server->Faults().Add(Fault::For("/service/upload").Status(200, "413,'null'"));
    try {
        Upload(*oc, "abc", id);
        FAIL() << "no exception";
    } catch (const FileUploadFaultException& e) {
        EXPECT_STREQ(e.StatusCode(), "413");
    }
    server->Faults().Add(Fault::For("/service/upload").Status(200, "<html><head><title>Error 413</title></html>"));
    EXPECT_THROW(Upload(*oc, "abc", id), FileUploadFaultException);
    server->Faults().Add(Fault::For("/service/upload").Status(502, "bad gateway"));
    EXPECT_THROW(Upload(*oc, "abc", id), NginxException);
    // After all that the next upload goes through.
    ASSERT_EQ(Upload(*oc, "abc", id), 1);
}

TEST_F(UploadTest, ThrottlingWaitsFifteenSecondsAtMost) {
    auto server = StartServer();
    auto oc = Open(*server);
    std::wstring id;
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    server->Faults().Add(Fault::For("/service/upload", 3).DosFilter());
    ASSERT_EQ(Upload(*oc, "abc", id), 1);
    EXPECT_EQ(clock.GetSleeps(), (std::vector<DWORD>(3, 1000)));
    clock.ClearSleeps();
    server->Faults().Add(Fault::For("/service/upload", 16).DosFilter());
    try {
        Upload(*oc, "abc", id);
        FAIL() << "no exception";
    } catch (const ServiceFaultException& e) {
        EXPECT_STREQ(e.FaultCode(), L"DoSFilter");
    }
    EXPECT_EQ(clock.GetSleeps().size(), 15u);
}

TEST_F(UploadTest, BrokenOffUploadsFailCleanlyAndARetryCompletes) {
    auto server = StartServer();
    auto oc = Open(*server);
    std::wstring id;
    std::string content(2 * 1024 * 1024, 'q');
    server->Faults().Add(Fault::For("/service/upload").Status(200, std::string(600, '2')).DropMidBody());
    EXPECT_THROW(Upload(*oc, content, id), WinHttpException);
    EXPECT_TRUE(id.empty());
    oc->SetConnTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 1);
    server->Faults().Add(Fault::For("/service/upload").Delay(3000));
    EXPECT_THROW(Upload(*oc, content, id), WinHttpException);
    oc->SetConnTimeouts(0xFFFFFFFF, 0xFFFFFFFF, 30);
    ASSERT_EQ(Upload(*oc, content, id), 1);
    EXPECT_TRUE(server->State<OstrelServer::UploadStore>().Take(Platform::ToUtf8(id)).content == content);
}

namespace {

// A memory stream whose reads after the first stop until the test opens the gate, so that an
// upload is held half-written.
class GatedStream final : public Platform::ComObject<IStream> {
public:
    explicit GatedStream(const std::string& content) : m_inner(MemoryStream(content)) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IStream, ISequentialStream, IUnknown>(riid, ppv);
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcb) override {
        if (m_reads++ > 0) {
            m_bWaiting = true;
            EXPECT_TRUE(TestSupport::WaitUntil([&] { return m_bOpen.load(); }));
        }
        return m_inner->Read(pv, std::min<ULONG>(cb, 1 << 20), pcb);
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcb) override { return m_inner->Write(pv, cb, pcb); }
    HRESULT Seek(LARGE_INTEGER d, DWORD o, ULARGE_INTEGER* p) override { return m_inner->Seek(d, o, p); }
    HRESULT SetSize(ULARGE_INTEGER cb) override { return m_inner->SetSize(cb); }
    HRESULT CopyTo(IStream* s, ULARGE_INTEGER cb, ULARGE_INTEGER* r, ULARGE_INTEGER* w) override {
        return m_inner->CopyTo(s, cb, r, w);
    }
    HRESULT Commit(DWORD f) override { return m_inner->Commit(f); }
    HRESULT Revert() override { return m_inner->Revert(); }
    HRESULT LockRegion(ULARGE_INTEGER o, ULARGE_INTEGER cb, DWORD t) override { return m_inner->LockRegion(o, cb, t); }
    HRESULT UnlockRegion(ULARGE_INTEGER o, ULARGE_INTEGER cb, DWORD t) override {
        return m_inner->UnlockRegion(o, cb, t);
    }
    HRESULT Stat(STATSTG* p, DWORD f) override { return m_inner->Stat(p, f); }
    HRESULT Clone(IStream** pp) override { return m_inner->Clone(pp); }

    std::atomic<bool> m_bWaiting{false};
    std::atomic<bool> m_bOpen{false};

private:
    ComPtr<IStream> m_inner;
    int m_reads = 0;
};

// Whether thread `tid` of this process is blocked in a futex wait on `pWord` (a mutex's lock word,
// as /proc reports the system call a thread is blocked in with its arguments).
bool WaitsOn(pid_t tid, const void* pWord) {
    if (tid == 0)
        return false;
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long lCall = -1;
    std::string sAddress;
    if (!(in >> lCall >> sAddress) || lCall != SYS_futex)
        return false;
    return std::stoull(sAddress, nullptr, 16) == reinterpret_cast<uintptr_t>(pWord);
}

}  // namespace

TEST_F(UploadTest, ASoapCallWaitsForTheUploadOnItsConnection) {
    auto server = StartServer();
    session->port = static_cast<DWORD>(server->Port());
    auto oc = Open(*server);
    const void* pSlot = oc->GetConnection()->LockRequestSlot().mutex()->native_handle();
    std::string content(3u << 20, 'u');
    ComPtr<GatedStream> stream;
    stream.Attach(new GatedStream(content));
    std::wstring id;
    int uploaded = -1;
    std::thread upload([&] {
        try {
            uploaded = DoPutSynchronousOC(*oc, stream.Get(), content.size(), L"/service/upload?fmt=raw", id, nullptr,
                                          __func__, __LINE__);
        } catch (const RpcException& e) {
            ADD_FAILURE() << "upload failed: " << Platform::ToUtf8(e.ExcepText());
        }
    });
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return stream->m_bWaiting.load(); }));

    std::atomic<pid_t> soapThread{0};
    std::atomic<bool> bAnswered{false};
    std::thread soap([&] {
        TestRequest noop(L"NoOpRequest");
        soapThread = static_cast<pid_t>(::syscall(SYS_gettid));
        EXPECT_EQ(Exchange(*oc->GetConnection(), noop), L"NoOpResponse");
        bAnswered = true;
    });
    // The call must not take the connection from under the half-written upload: it is seen
    // blocked on the slot the upload holds, and nothing of it has reached the server.
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return WaitsOn(soapThread.load(), pSlot); }))
        << "the SOAP call did not wait for the request slot the upload holds";
    EXPECT_FALSE(bAnswered.load());
    EXPECT_TRUE(server->Requests().empty());
    stream->m_bOpen = true;
    upload.join();
    soap.join();
    ASSERT_EQ(uploaded, 1);
    EXPECT_TRUE(server->State<OstrelServer::UploadStore>().Take(Platform::ToUtf8(id)).content == content);
    auto requests = server->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target.rfind("/service/upload", 0), 0u);
    EXPECT_NE(requests[1].target.find("NoOpRequest"), std::string::npos);
}
