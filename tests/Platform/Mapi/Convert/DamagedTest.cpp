// Damaged MIME converts what can be read and says so (MAPI_W_PARTIAL_COMPLETION) or fails cleanly;
// it never crashes, hangs or leaves a half-written message.
#include <cstring>

#include "ConvertTestUtil.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/MapiTags.h"

namespace ConvertTest {

namespace {

class Damaged : public StoreFixture {};

// A stream that hands out a few bytes and then fails.
class FailingStream final : public Platform::ComObject<IStream> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IStream, ISequentialStream, IUnknown>(riid, ppv);
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (m_bFailed)
            return STG_E_READFAULT;
        m_bFailed = true;
        const char text[] = "Subject: cut\r\n";
        const ULONG n = std::min<ULONG>(cb, sizeof text - 1);
        std::memcpy(pv, text, n);
        *pcbRead = n;
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return STG_E_INVALIDFUNCTION; }
    HRESULT SetSize(ULARGE_INTEGER) override { return STG_E_INVALIDFUNCTION; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return S_OK; }
    HRESULT Revert() override { return S_OK; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

private:
    bool m_bFailed = false;
};

std::string Nested(int depth, bool bMessages) {
    std::string text = "From: a@example.com\r\nSubject: deep\r\nMIME-Version: 1.0\r\n";
    for (int i = 0; i < depth; ++i) {
        if (bMessages) {
            text += "Content-Type: message/rfc822\r\n\r\nSubject: level " + std::to_string(i) + "\r\n";
        } else {
            text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
                    std::to_string(i) + "\r\n";
        }
    }
    text += "Content-Type: text/plain\r\n\r\ninnermost text\r\n";
    if (!bMessages)
        for (int i = depth - 1; i >= 0; --i)
            text += "--b" + std::to_string(i) + "--\r\n";
    return text;
}

}  // namespace

TEST_F(Damaged, ThousandNestedMultipartsKeepTheInnermostText) {
    HRESULT hr = E_FAIL;
    ComPtr<IMessage> pMessage = FromMime(Nested(1000, false), 0x22, &hr);
    EXPECT_EQ(hr, MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(GetString(pMessage.Get(), PR_SUBJECT_W), L"deep");
    // What lies below the depth the parser opens is kept as text, not dropped.
    EXPECT_NE(GetString(pMessage.Get(), PR_BODY_W).find(L"innermost text"), std::wstring::npos);
}

TEST_F(Damaged, ThousandNestedMessagesStopAtTheEmbeddingLimit) {
    HRESULT hr = E_FAIL;
    ComPtr<IMessage> pMessage = FromMime(Nested(1000, true), 0x22, &hr);
    EXPECT_EQ(hr, MAPI_W_PARTIAL_COMPLETION);
    int depth = 0;
    for (ComPtr<IMessage> p = pMessage; p && AttachmentCount(p.Get()) == 1; ++depth) {
        ComPtr<IAttach> pAttach = OpenAttachment(p.Get(), 0);
        if (GetLong(pAttach.Get(), PR_ATTACH_METHOD) != ATTACH_EMBEDDED_MSG) {
            // The rest is kept as a message file.
            EXPECT_EQ(GetString(pAttach.Get(), PR_ATTACH_MIME_TAG_W), L"message/rfc822");
            EXPECT_GT(GetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN).size(), 1000u);
            break;
        }
        p = OpenEmbedded(pAttach.Get());
    }
    EXPECT_GE(depth, 20);
    EXPECT_LE(depth, 40);
    // What the reader kept, the writer can write.
    HRESULT hrOut = E_FAIL;
    const std::string mime = ToMime(pMessage.Get(), 0, &hrOut);
    EXPECT_EQ(hrOut, S_OK);
    EXPECT_NE(mime.find("Subject: level 30"), std::string::npos);
}

TEST_F(Damaged, FiftyMegabytesOfHeadersAreCut) {
    std::string text = "From: a@example.com\r\nSubject: ";
    text.append(20u << 20, 'S');
    text += "\r\nX-Junk: ";
    for (int i = 0; i < (30 << 20) / 64; ++i)
        text += std::string(62, 'j') + "\r\n ";
    text += "end\r\nTo: b@example.com\r\n\r\nbody\r\n";
    HRESULT hr = E_FAIL;
    ComPtr<IMessage> pMessage = FromMime(text, 0x22, &hr);
    EXPECT_EQ(hr, MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(GetString(pMessage.Get(), PR_BODY_W), L"body\r\n");
    EXPECT_EQ(RecipientCount(pMessage.Get()), 1u);
    EXPECT_LE(GetString(pMessage.Get(), PR_SUBJECT_W).size(), 64u * 1024);
    EXPECT_LE(GetString(pMessage.Get(), PR_TRANSPORT_MESSAGE_HEADERS_W).size(), 1u << 20);
}

TEST_F(Damaged, WrongBoundariesKeepTheTextAsBody) {
    HRESULT hr = E_FAIL;
    ComPtr<IMessage> pMessage = FromMime(
        "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"declared\"\r\n\r\n"
        "--used\r\nContent-Type: text/plain\r\n\r\nthe text\r\n--used--\r\n",
        0x22, &hr);
    EXPECT_EQ(hr, MAPI_W_PARTIAL_COMPLETION);
    EXPECT_NE(GetString(pMessage.Get(), PR_BODY_W).find(L"the text"), std::wstring::npos);
}

TEST_F(Damaged, BadBase64KeepsWhatDecodes) {
    HRESULT hr = E_FAIL;
    ComPtr<IMessage> pMessage = FromMime(
        "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=a.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "QUJD\r\nR!EY=\r\nSElK\r\n--b--\r\n",
        0x22, &hr);
    EXPECT_EQ(hr, MAPI_W_PARTIAL_COMPLETION);
    ASSERT_EQ(AttachmentCount(pMessage.Get()), 1u);
    EXPECT_EQ(GetBinary(OpenAttachment(pMessage.Get(), 0).Get(), PR_ATTACH_DATA_BIN).substr(0, 3), "ABC");
}

TEST_F(Damaged, LyingLengthsAreIgnored) {
    HRESULT hr = E_FAIL;
    ComPtr<IMessage> pMessage = FromMime(
        "Subject: x\r\nMIME-Version: 1.0\r\nContent-Length: 99999999\r\nContent-Type: multipart/mixed; "
        "boundary=b\r\n\r\n"
        "--b\r\nContent-Length: 2\r\n\r\nfull text\r\n--b\r\nContent-Type: text/plain; name=n.txt\r\nContent-Length: "
        "-5\r\n"
        "Content-Disposition: attachment; size=123456789\r\n\r\nall of it\r\n--b--\r\n",
        0x22, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(GetString(pMessage.Get(), PR_BODY_W), L"full text");
    EXPECT_EQ(GetBinary(OpenAttachment(pMessage.Get(), 0).Get(), PR_ATTACH_DATA_BIN), "all of it");
}

TEST_F(Damaged, EveryTruncationOfARichMessageConverts) {
    const std::string full = ReadFile(CorpusDir() / "68-related-alternative-and-file.eml");
    for (size_t cut = 0; cut < full.size(); cut += 173) {
        SCOPED_TRACE(cut);
        HRESULT hr = E_FAIL;
        FromMime(full.substr(0, cut), 0x22, &hr);
        EXPECT_TRUE(hr == S_OK || hr == MAPI_W_PARTIAL_COMPLETION) << std::hex << hr;
    }
}

TEST_F(Damaged, AStreamThatFailsLeavesTheMessageUntouched) {
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ComPtr<IMessage> pMessage = NewMessage();
    auto* pStream = new FailingStream();
    EXPECT_EQ(pSession->MIMEToMAPI(pStream, pMessage.Get(), nullptr, 0x22), STG_E_READFAULT);
    pStream->Release();
    EXPECT_EQ(GetString(pMessage.Get(), PR_SUBJECT_W), L"<missing>");
}

}  // namespace ConvertTest
