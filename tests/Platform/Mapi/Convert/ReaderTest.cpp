// MIMEToMAPI: the flags the callers pass, header mappings that decide values, charsets that lie,
// and writing into an embedded message.
#include "ConvertTestUtil.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/Charset.h"
#include "Platform/Mapi/Convert/Envelope.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/Session/AddrBook.h"

namespace ConvertTest {

namespace {

class Reader : public StoreFixture {};

const char kBccMessage[] =
    "From: a@example.com\r\nTo: b@example.com\r\nBcc: Hidden <c@example.com>\r\nSubject: RE: x\r\n\r\nbody\r\n";

}  // namespace

TEST_F(Reader, BccRecipientsOnlyWithIncludeBcc) {
    // 0x22 is CCSF_SMTP | CCSF_INCLUDE_BCC, what the mail conversion passes.
    ComPtr<IMessage> pWith = FromMime(kBccMessage, 0x22);
    EXPECT_EQ(RecipientCount(pWith.Get()), 2u);
    EXPECT_EQ(GetString(pWith.Get(), PR_DISPLAY_BCC_W), L"Hidden");
    ComPtr<IMessage> pWithout = FromMime(kBccMessage, CCSF_SMTP);
    EXPECT_EQ(RecipientCount(pWithout.Get()), 1u);
    EXPECT_EQ(GetString(pWithout.Get(), PR_DISPLAY_BCC_W), L"<missing>");
}

TEST_F(Reader, NoHeadersFlagLeavesTheEnvelopeOut) {
    ComPtr<IMessage> pMessage = FromMime(kBccMessage, CCSF_SMTP | CCSF_NOHEADERS);
    EXPECT_EQ(GetString(pMessage.Get(), PR_SUBJECT_W), L"<missing>");
    EXPECT_EQ(GetString(pMessage.Get(), PR_TRANSPORT_MESSAGE_HEADERS_W), L"<missing>");
    EXPECT_EQ(RecipientCount(pMessage.Get()), 0u);
    EXPECT_EQ(GetString(pMessage.Get(), PR_BODY_W), L"body\r\n");
}

TEST_F(Reader, RejectsUnknownFlagsAndMissingArguments) {
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(std::string(kBccMessage));
    ComPtr<IMessage> pMessage = NewMessage();
    EXPECT_EQ(pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, 0x00010000), MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(pSession->MIMEToMAPI(nullptr, pMessage.Get(), nullptr, CCSF_SMTP), E_INVALIDARG);
    EXPECT_EQ(pSession->MIMEToMAPI(pStream.Get(), nullptr, nullptr, CCSF_SMTP), E_INVALIDARG);
    EXPECT_EQ(pSession->SetEncoding(IET_UNKNOWN), E_INVALIDARG);
    EXPECT_EQ(pSession->SetSaveFormat(static_cast<MIMESAVETYPE>(7)), E_INVALIDARG);
}

TEST_F(Reader, ReadsFromTheStreamsCurrentPosition) {
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create("JUNK" + std::string(kBccMessage));
    LARGE_INTEGER move{};
    move.QuadPart = 4;
    ASSERT_EQ(pStream->Seek(move, STREAM_SEEK_SET, nullptr), S_OK);
    ComPtr<IMessage> pMessage = NewMessage();
    ASSERT_EQ(pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, CCSF_SMTP), S_OK);
    EXPECT_EQ(GetString(pMessage.Get(), PR_SENT_REPRESENTING_EMAIL_ADDRESS_W), L"a@example.com");
}

TEST_F(Reader, ImportanceFromTheHeaderThatWins) {
    struct Case {
        const char* pszHeaders;
        LONG lImportance;
    };
    const Case cases[] = {
        {"Importance: low\r\nX-Priority: 1\r\n", 0},  // Importance beats the others
        {"Importance: High\r\n", 2},
        {"Priority: urgent\r\n", 2},
        {"Priority: non-urgent\r\n", 0},
        {"X-Priority: 2 (High)\r\n", 2},
        {"X-Priority: 3\r\n", 1},
        {"X-Priority: 4\r\n", 0},
        {"X-MSMail-Priority: High\r\n", 2},
        {"Importance: bogus\r\nX-Priority: 5\r\n", 0},
        {"", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszHeaders);
        ComPtr<IMessage> pMessage = FromMime(std::string("From: a@example.com\r\n") + c.pszHeaders + "\r\nx\r\n");
        EXPECT_EQ(GetLong(pMessage.Get(), PR_IMPORTANCE), c.lImportance);
    }
}

TEST_F(Reader, SubjectPrefixOnlyForShortLetterPrefixes) {
    using Platform::Mapi::Convert::SubjectPrefix;
    EXPECT_EQ(SubjectPrefix(L"RE: lunch"), L"RE: ");
    EXPECT_EQ(SubjectPrefix(L"AW:  lunch"), L"AW: ");
    EXPECT_EQ(SubjectPrefix(L"Fwd: lunch"), L"Fwd: ");
    EXPECT_EQ(SubjectPrefix(L"Antw: lunch"), L"");  // four letters
    EXPECT_EQ(SubjectPrefix(L"10: lunch"), L"");    // digits
    EXPECT_EQ(SubjectPrefix(L"Re:"), L"");          // nothing after it
    EXPECT_EQ(SubjectPrefix(L"Time: 10:30"), L"");
    ComPtr<IMessage> pMessage = FromMime("Subject: Fwd: RE: plan\r\n\r\nx\r\n");
    EXPECT_EQ(GetString(pMessage.Get(), PR_SUBJECT_PREFIX_W), L"Fwd: ");
    EXPECT_EQ(GetString(pMessage.Get(), PR_NORMALIZED_SUBJECT_W), L"RE: plan");
    EXPECT_EQ(GetString(pMessage.Get(), PR_CONVERSATION_TOPIC_W), L"RE: plan");
}

TEST_F(Reader, DecodingNeverLosesAByte) {
    using Platform::Mapi::Convert::DecodeText;
    using Platform::Mapi::Convert::EncodeText;
    std::string all;
    for (int i = 1; i < 256; ++i)
        all += static_cast<char>(i);
    for (const char* charset : {"us-ascii", "utf-8", "x-unknown", "", "koi8-r", "shift_jis"}) {
        SCOPED_TRACE(charset);
        const auto decoded = DecodeText(all, charset);
        std::string back;
        ASSERT_TRUE(EncodeText(decoded.wsText, decoded.sCharset, back)) << decoded.sCharset;
        EXPECT_EQ(back, all) << decoded.sCharset;
    }
    // A label that fits is kept; one that lies falls back.
    EXPECT_FALSE(DecodeText("caf\xC3\xA9", "utf-8").bFellBack);
    EXPECT_EQ(DecodeText("caf\xC3\xA9", "us-ascii").wsText, L"caf\u00E9");
    EXPECT_EQ(DecodeText("caf\xE9", "utf-8").wsText, L"caf\u00E9");
    EXPECT_EQ(DecodeText("caf\xE9", "utf-8").sCharset, "windows-1252");
}

TEST_F(Reader, HtmlInACharsetWithoutCodePageIsStoredAsUtf8) {
    // iso-8859-10 has no code page in the table: the HTML goes to UTF-8, so that PR_INTERNET_CPID and
    // the bytes of PR_HTML agree.
    ComPtr<IMessage> pMessage = FromMime(
        "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: text/html; charset=iso-8859-10\r\n\r\n"
        "<p>\xBF\xE6</p>\r\n");
    EXPECT_EQ(GetLong(pMessage.Get(), PR_INTERNET_CPID), 65001);
    EXPECT_EQ(GetBinary(pMessage.Get(), PR_HTML), "<p>\xC5\x8B\xC3\xA6</p>\r\n");
    EXPECT_EQ(GetString(pMessage.Get(), PR_BODY_W), L"\u014B\u00E6");
}

TEST_F(Reader, FillsAnEmbeddedMessageAsTarget) {
    ComPtr<IMessage> pParent = NewMessage();
    ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    ASSERT_EQ(pParent->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    ASSERT_EQ(SetLong(pAttach.Get(), PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG), S_OK);
    ComPtr<IUnknown> pUnk;
    ASSERT_EQ(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, pUnk.AddressOf()),
              S_OK);
    ComPtr<IMessage> pInner;
    pInner.Attach(static_cast<IMessage*>(pUnk.Detach()));
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(ReadFile(CorpusDir() / "45-invite-cancel.eml"));
    ASSERT_EQ(pSession->MIMEToMAPI(pStream.Get(), pInner.Get(), nullptr, 0x22), S_OK);
    ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
    ASSERT_EQ(pParent->SaveChanges(0), S_OK);
    ComPtr<IMessage> pReread = OpenEmbedded(OpenAttachment(pParent.Get(), ulNum).Get());
    ASSERT_TRUE(pReread);
    EXPECT_EQ(GetString(pReread.Get(), PR_MESSAGE_CLASS_W), L"IPM.Schedule.Meeting.Canceled");
    EXPECT_EQ(AttachmentCount(pReread.Get()), 1u);
}

TEST_F(Reader, OtherHeadersBecomeNamedPropertiesWithinALimit) {
    std::string text = "From: a@example.com\r\nX-Mailer: Mail 1\r\nx-mailer: second\r\n";
    for (int i = 0; i < 100; ++i)
        text += "X-Trace-" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
    text += "X-" + std::string(200, 'n') + ": long name\r\n\r\nbody\r\n";
    HRESULT hr = E_FAIL;
    ComPtr<IMessage> pMessage = FromMime(text, 0x22, &hr);
    // Many trace headers are ordinary mail: all of them stay in the transport headers.
    EXPECT_EQ(hr, S_OK);
    EXPECT_NE(GetString(pMessage.Get(), PR_TRANSPORT_MESSAGE_HEADERS_W).find(L"X-Trace-99: v99"), std::wstring::npos);
    const std::string dump = Dump(pMessage.Get());
    EXPECT_NE(dump.find("\"x-mailer\"\tPT_UNICODE\t\"Mail 1\""), std::string::npos) << dump;
    EXPECT_EQ(dump.find("\"x-mailer\"\tPT_UNICODE\t\"second\""), std::string::npos);
    size_t named = 0;
    for (size_t p = dump.find("\nnamed\t"); p != std::string::npos; p = dump.find("\nnamed\t", p + 1))
        ++named;
    EXPECT_EQ(named, 32u);
    EXPECT_EQ(dump.find("nnnnnnnnnn\"\t"), std::string::npos);
}

TEST_F(Reader, InlineOnlyWhenTheHtmlRefersToThePart) {
    ComPtr<IMessage> pMessage = FromMime(ReadFile(CorpusDir() / "55-inline-images-referenced-and-not.eml"));
    ASSERT_EQ(AttachmentCount(pMessage.Get()), 3u);
    EXPECT_EQ(GetLong(OpenAttachment(pMessage.Get(), 0).Get(), PR_ATTACH_FLAGS), 4);
    EXPECT_EQ(GetLong(OpenAttachment(pMessage.Get(), 1).Get(), PR_ATTACH_FLAGS), -1);
    EXPECT_EQ(GetLong(OpenAttachment(pMessage.Get(), 2).Get(), PR_ATTACH_FLAGS), -1);
}

TEST_F(Reader, JoinedHtmlBodyShowsItsImagesInTextOrder) {
    ComPtr<IMessage> pMessage = FromMime(ReadFile(CorpusDir() / "82-joined-html-body-with-image-and-footer.eml"));
    const std::string html = GetBinary(pMessage.Get(), PR_HTML);
    const size_t first = html.find("v\xC3\xA4xthus");
    const size_t image = html.find("<img src=\"cid:part2@joined-body.invalid\">");
    const size_t second = html.find("nearly over \xE2\x86\x92 gone");
    const size_t footer = html.find("<div>_____");
    ASSERT_NE(image, std::string::npos) << html;
    EXPECT_LT(first, image);
    EXPECT_LT(image, second);
    EXPECT_LT(second, footer);
    EXPECT_LT(footer, html.rfind("</body>"));
    // Bytes in UTF-8 (the first part's Latin-1 cannot carry the arrow), and the <meta> agrees.
    EXPECT_EQ(GetLong(pMessage.Get(), PR_INTERNET_CPID), 65001);
    EXPECT_NE(html.find("charset=utf-8\""), std::string::npos) << html;
    EXPECT_EQ(html.find("iso-8859-1"), std::string::npos);
}

}  // namespace ConvertTest

namespace ConvertTest {

namespace {

// The session's address book, counting the one-off entry ids asked of it.
class CountingAddrBook final : public Platform::ComObject<IAddrBook> {
public:
    explicit CountingAddrBook(IAddrBook* pInner) : m_pInner(pInner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IAddrBook, IMAPIProp, IUnknown>(riid, ppv);
    }
    HRESULT GetLastError(HRESULT hr, ULONG f, LPMAPIERROR* pp) override { return m_pInner->GetLastError(hr, f, pp); }
    HRESULT SaveChanges(ULONG f) override { return m_pInner->SaveChanges(f); }
    HRESULT GetProps(LPSPropTagArray t, ULONG f, ULONG* c, LPSPropValue* pp) override {
        return m_pInner->GetProps(t, f, c, pp);
    }
    HRESULT GetPropList(ULONG f, LPSPropTagArray* pp) override { return m_pInner->GetPropList(f, pp); }
    HRESULT OpenProperty(ULONG t, LPCIID i, ULONG o, ULONG f, LPUNKNOWN* pp) override {
        return m_pInner->OpenProperty(t, i, o, f, pp);
    }
    HRESULT SetProps(ULONG c, LPSPropValue v, LPSPropProblemArray* pp) override { return m_pInner->SetProps(c, v, pp); }
    HRESULT DeleteProps(LPSPropTagArray t, LPSPropProblemArray* pp) override { return m_pInner->DeleteProps(t, pp); }
    HRESULT CopyTo(ULONG c, LPCIID e, LPSPropTagArray x, ULONG_PTR u, LPMAPIPROGRESS p, LPCIID i, LPVOID d, ULONG f,
                   LPSPropProblemArray* pp) override {
        return m_pInner->CopyTo(c, e, x, u, p, i, d, f, pp);
    }
    HRESULT CopyProps(LPSPropTagArray t, ULONG_PTR u, LPMAPIPROGRESS p, LPCIID i, LPVOID d, ULONG f,
                      LPSPropProblemArray* pp) override {
        return m_pInner->CopyProps(t, u, p, i, d, f, pp);
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* t, LPGUID g, ULONG f, ULONG* c, LPMAPINAMEID** pp) override {
        return m_pInner->GetNamesFromIDs(t, g, f, c, pp);
    }
    HRESULT GetIDsFromNames(ULONG c, LPMAPINAMEID* n, ULONG f, LPSPropTagArray* pp) override {
        return m_pInner->GetIDsFromNames(c, n, f, pp);
    }
    HRESULT OpenEntry(ULONG cb, LPENTRYID e, LPCIID i, ULONG f, ULONG* t, LPUNKNOWN* pp) override {
        return m_pInner->OpenEntry(cb, e, i, f, t, pp);
    }
    HRESULT CompareEntryIDs(ULONG c1, LPENTRYID e1, ULONG c2, LPENTRYID e2, ULONG f, ULONG* r) override {
        return m_pInner->CompareEntryIDs(c1, e1, c2, e2, f, r);
    }
    HRESULT CreateOneOff(LPTSTR n, LPTSTR t, LPTSTR a, ULONG f, ULONG* cb, LPENTRYID* pp) override {
        ++m_calls;
        return m_pInner->CreateOneOff(n, t, a, f, cb, pp);
    }
    HRESULT ResolveName(ULONG_PTR u, ULONG f, LPTSTR t, LPADRLIST l) override {
        return m_pInner->ResolveName(u, f, t, l);
    }

    int m_calls = 0;

private:
    IAddrBook* m_pInner;
};

}  // namespace

TEST_F(Reader, EntryIdsComeFromTheAddressBookWhenOneIsSet) {
    ComPtr<IAddrBook> pBook;
    ASSERT_EQ(Platform::Mapi::CreateAddrBook(pBook.AddressOf()), S_OK);
    ComPtr<CountingAddrBook> pCounting;
    pCounting.Attach(new CountingAddrBook(pBook.Get()));
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ASSERT_EQ(pSession->SetAdrBook(pCounting.Get()), S_OK);
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(std::string(kBccMessage));
    ComPtr<IMessage> pMessage = NewMessage();
    ASSERT_EQ(pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, 0x22), S_OK);
    // From (twice: both address groups), To, Bcc, the recipient rows again.
    EXPECT_GE(pCounting->m_calls, 4);
    EXPECT_EQ(GetBinary(pMessage.Get(), PR_SENT_REPRESENTING_ENTRYID),
              Platform::Mapi::MakeOneOffEntryId(L"a@example.com", L"SMTP", L"a@example.com"));
}

}  // namespace ConvertTest
