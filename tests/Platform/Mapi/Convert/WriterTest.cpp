// MAPIToMIMEStm: a message built from properties survives MIME and back; the flags and formats the
// callers choose; header text from the store cannot end a header line.
#include <map>
#include <set>
#include <sstream>

#include "ConvertTestUtil.h"
#include "Platform/Mapi/Convert/Addresses.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/AddrBook.h"

namespace ConvertTest {

namespace {

using Platform::Mapi::Convert::MakeFlatEntryList;

const char kHtml[] =
    "<html><body><p>Hello <b>J\xC3\xB6rg</b>,</p><img src=\"cid:chart@example.com\"><p>see the "
    "chart.</p></body></html>";

class Writer : public StoreFixture {
protected:
    void AddRecipient(IMessage* pMessage, const std::wstring& name, const std::wstring& address, LONG lType) {
        const std::string eid = Platform::Mapi::MakeOneOffEntryId(name, L"SMTP", address);
        SPropValue values[5] = {};
        values[0].ulPropTag = PR_DISPLAY_NAME_W;
        values[0].Value.lpszW = const_cast<wchar_t*>(name.c_str());
        values[1].ulPropTag = PR_ADDRTYPE_W;
        values[1].Value.lpszW = const_cast<wchar_t*>(L"SMTP");
        values[2].ulPropTag = PR_EMAIL_ADDRESS_W;
        values[2].Value.lpszW = const_cast<wchar_t*>(address.c_str());
        values[3].ulPropTag = PR_RECIPIENT_TYPE;
        values[3].Value.l = lType;
        values[4].ulPropTag = PR_ENTRYID;
        values[4].Value.bin = {static_cast<ULONG>(eid.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(eid.data()))};
        std::vector<char> buffer(CbNewADRLIST(1));
        auto* pList = reinterpret_cast<ADRLIST*>(buffer.data());
        pList->cEntries = 1;
        pList->aEntries[0] = {0, 5, values};
        ASSERT_EQ(pMessage->ModifyRecipients(MODRECIP_ADD, pList), S_OK);
    }

    ComPtr<IAttach> AddFile(IMessage* pMessage, const std::wstring& name, const std::wstring& type,
                            const std::string& data) {
        ComPtr<IAttach> pAttach;
        ULONG ulNum = 0;
        EXPECT_EQ(pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
        EXPECT_EQ(SetLong(pAttach.Get(), PR_ATTACH_METHOD, ATTACH_BY_VALUE), S_OK);
        EXPECT_EQ(SetString(pAttach.Get(), PR_ATTACH_LONG_FILENAME_W, name), S_OK);
        EXPECT_EQ(SetString(pAttach.Get(), PR_ATTACH_MIME_TAG_W, type), S_OK);
        EXPECT_EQ(SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, data), S_OK);
        return pAttach;
    }

    // A message with most of what the converter maps: envelope, HTML body with an inline image, a
    // file with a non-ASCII name, an embedded message with its own attachment.
    ComPtr<IMessage> RichMessage() {
        ComPtr<IMessage> pMessage = NewMessage();
        IMessage* p = pMessage.Get();
        SetString(p, PR_SUBJECT_W, L"AW: Budget f\u00FCr 2025 \u2014 Entwurf");
        SetString(p, PR_SUBJECT_PREFIX_W, L"AW: ");
        SetString(p, PR_NORMALIZED_SUBJECT_W, L"Budget f\u00FCr 2025 \u2014 Entwurf");
        SetString(p, PR_SENT_REPRESENTING_NAME_W, L"J\u00F6rg M\u00FCller");
        SetString(p, PR_SENT_REPRESENTING_ADDRTYPE_W, L"SMTP");
        SetString(p, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, L"joerg@example.de");
        SetString(p, PR_INTERNET_MESSAGE_ID_W, L"<rich-1@example.de>");
        SetString(p, PR_IN_REPLY_TO_ID_W, L"<rich-0@example.de>");
        SetString(p, PR_CONVERSATION_TOPIC_W, L"Budget f\u00FCr 2025 \u2014 Entwurf");
        SetBinary(p, PR_CONVERSATION_INDEX, std::string("\x01\xDA\x73\x43\xC6\x72\x42\x78\x6B\xB7", 10));
        SetLong(p, PR_IMPORTANCE, 2);
        SetLong(p, PR_SENSITIVITY, 3);
        SPropValue time{PR_CLIENT_SUBMIT_TIME, 0, {}};
        time.Value.ft = {0x2E8B8000, 0x01DA7500};
        HrSetOneProp(p, &time);
        SetString(p, PR_BODY_W, L"Hello J\u00F6rg,\r\nsee the chart.\r\n");
        SetBinary(p, PR_HTML, kHtml);
        SetLong(p, PR_INTERNET_CPID, 65001);
        SetLong(p, PR_NATIVE_BODY_INFO, 3);
        SetBinary(
            p, PR_REPLY_RECIPIENT_ENTRIES,
            MakeFlatEntryList({Platform::Mapi::MakeOneOffEntryId(L"Lisa Wong", L"SMTP", L"lisa.wong@example.com")}));
        SetString(p, PR_REPLY_RECIPIENT_NAMES_W, L"Lisa Wong");
        AddRecipient(p, L"Tom Hale", L"tom.hale@example.com", MAPI_TO);
        AddRecipient(p, L"\u0410\u043D\u043D\u0430", L"anna@example.ru", MAPI_CC);
        AddRecipient(p, L"boss@example.com", L"boss@example.com", MAPI_BCC);
        ComPtr<IAttach> pImage = AddFile(p, L"chart.png", L"image/png", std::string("\x89PNG\r\n\x1A\n\0\x01\x02", 11));
        SetString(pImage.Get(), PR_ATTACH_CONTENT_ID_W, L"chart@example.com");
        SetLong(pImage.Get(), PR_ATTACH_FLAGS, 4);
        EXPECT_EQ(pImage->SaveChanges(0), S_OK);
        ComPtr<IAttach> pFile = AddFile(p, L"Kosten\u00FCbersicht \u00E4\u00F6\u00FC.pdf", L"application/pdf",
                                        std::string("%PDF-1.4\n\xE2\xE3\xCF\xD3\r\n", 15));
        EXPECT_EQ(pFile->SaveChanges(0), S_OK);

        ComPtr<IAttach> pEmbedded;
        ULONG ulNum = 0;
        EXPECT_EQ(p->CreateAttach(nullptr, 0, &ulNum, pEmbedded.AddressOf()), S_OK);
        SetLong(pEmbedded.Get(), PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG);
        SetString(pEmbedded.Get(), PR_DISPLAY_NAME_W, L"Original offer");
        ComPtr<IUnknown> pUnk;
        EXPECT_EQ(
            pEmbedded->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, pUnk.AddressOf()),
            S_OK);
        ComPtr<IMessage> pInner;
        pInner.Attach(static_cast<IMessage*>(pUnk.Detach()));
        SetString(pInner.Get(), PR_SUBJECT_W, L"Offer");
        SetString(pInner.Get(), PR_SUBJECT_PREFIX_W, L"");
        SetString(pInner.Get(), PR_NORMALIZED_SUBJECT_W, L"Offer");
        SetString(pInner.Get(), PR_BODY_W, L"Offer attached.\r\n");
        SetString(pInner.Get(), PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, L"peter@example.se");
        SetString(pInner.Get(), PR_SENT_REPRESENTING_ADDRTYPE_W, L"SMTP");
        ComPtr<IAttach> pInnerFile = AddFile(pInner.Get(), L"offer.txt", L"text/plain", "line 1\r\nline 2\r\n");
        EXPECT_EQ(pInnerFile->SaveChanges(0), S_OK);
        EXPECT_EQ(pInner->SaveChanges(0), S_OK);
        EXPECT_EQ(pEmbedded->SaveChanges(0), S_OK);
        EXPECT_EQ(p->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        return pMessage;
    }
};

// The lines of the first dump that the second lacks, compared section by section (the message, each
// recipient, each attachment, embedded messages nested); lines the second adds do not count.
std::string Missing(const std::string& first, const std::string& second) {
    auto sections = [](const std::string& dump) {
        std::map<std::string, std::set<std::string>> out;
        std::vector<std::string> path;
        std::istringstream in(dump);
        for (std::string line; std::getline(in, line);) {
            const size_t indent = line.find_first_not_of(' ');
            if (line.compare(indent, 2, "# ") == 0) {
                path.resize(indent / 2);
                path.push_back(line.substr(indent));
                continue;
            }
            path.resize(std::min(path.size(), indent / 2));
            std::string key;
            for (const std::string& p : path)
                key += p + "/";
            out[key].insert(line.substr(indent));
        }
        return out;
    };
    auto a = sections(first);
    auto b = sections(second);
    std::string missing;
    for (const auto& [key, lines] : a)
        for (const std::string& line : lines)
            if (!b[key].count(line))
                missing += key + " " + line + "\n";
    return missing;
}

}  // namespace

TEST_F(Writer, PropertiesSurviveMimeAndBack) {
    ComPtr<IMessage> pOriginal = RichMessage();
    // The unsent state travels as "X-Unsent: 1" with CCSF_EMBEDDED_MESSAGE.
    const std::string mime = ToMime(pOriginal.Get(), CCSF_INCLUDE_BCC | CCSF_EMBEDDED_MESSAGE);
    EXPECT_NE(mime.find("\r\nX-Unsent: 1\r\n"), std::string::npos);
    ComPtr<IMessage> pBack = FromMime(mime, CCSF_SMTP | CCSF_INCLUDE_BCC | CCSF_EMBEDDED_MESSAGE);
    EXPECT_EQ(Missing(Dump(pOriginal.Get()), Dump(pBack.Get())), "") << mime;
}

TEST_F(Writer, EncodesNonAsciiHeadersAndFileNames) {
    ComPtr<IMessage> pMessage = RichMessage();
    const std::string mime = ToMime(pMessage.Get(), CCSF_INCLUDE_BCC);
    EXPECT_NE(mime.find("Subject: AW: Budget =?UTF-8?"), std::string::npos) << mime;
    EXPECT_NE(mime.find("From: =?UTF-8?"), std::string::npos);
    EXPECT_NE(mime.find("filename*=utf-8''Kosten%C3%BCbersicht"), std::string::npos);
    for (unsigned char c : mime.substr(0, mime.find("\r\n\r\n")))
        EXPECT_LT(c, 0x80);
    EXPECT_NE(mime.find("Content-Type: multipart/mixed"), std::string::npos);
    EXPECT_NE(mime.find("Content-Type: multipart/related"), std::string::npos);
    EXPECT_NE(mime.find("Content-Type: multipart/alternative"), std::string::npos);
    EXPECT_NE(mime.find("Content-Type: message/rfc822"), std::string::npos);
    EXPECT_NE(mime.find("Importance: high"), std::string::npos);
    EXPECT_NE(mime.find("Sensitivity: Company-Confidential"), std::string::npos);
}

TEST_F(Writer, BccAndMessageIdFollowTheFlags) {
    ComPtr<IMessage> pMessage = RichMessage();
    // 0x4020 is CCSF_INCLUDE_BCC | CCSF_NO_MSGID, what the outgoing conversion passes.
    const std::string out = ToMime(pMessage.Get(), 0x4020);
    EXPECT_NE(out.find("\r\nBcc: boss@example.com"), std::string::npos);
    EXPECT_EQ(out.find("Message-ID: <rich-1@"), std::string::npos);
    const std::string plain = ToMime(pMessage.Get(), 0);
    EXPECT_EQ(plain.find("\r\nBcc:"), std::string::npos);
    EXPECT_NE(plain.find("Message-ID: <rich-1@example.de>"), std::string::npos);
    // Meetings take their Bcc recipients along whatever the flags say.
    ASSERT_EQ(SetString(pMessage.Get(), PR_MESSAGE_CLASS_W, L"IPM.Schedule.Meeting.Request"), S_OK);
    EXPECT_NE(ToMime(pMessage.Get(), 0).find("\r\nBcc: boss@example.com"), std::string::npos);
}

TEST_F(Writer, PlainTextOnlyAndRfc822SaveFormat) {
    ComPtr<IMessage> pMessage = RichMessage();
    const std::string plain = ToMime(pMessage.Get(), CCSF_PLAIN_TEXT_ONLY);
    EXPECT_EQ(plain.find("text/html"), std::string::npos);
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ASSERT_EQ(pSession->SetSaveFormat(SAVE_RFC822), S_OK);
    const std::string uu = ToMime(pMessage.Get(), 0, nullptr, pSession.Get());
    EXPECT_EQ(uu.find("multipart/"), std::string::npos);
    EXPECT_NE(uu.find("\r\nbegin 644 chart.png\r\n"), std::string::npos) << uu;
    EXPECT_NE(uu.find("\r\nend\r\n"), std::string::npos);
}

TEST_F(Writer, SetEncodingAppliesToTheBodyText) {
    ComPtr<IMessage> pMessage = NewMessage();
    SetString(pMessage.Get(), PR_BODY_W, L"short ASCII text\r\n");
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    EXPECT_NE(ToMime(pMessage.Get(), 0, nullptr, pSession.Get()).find("Content-Transfer-Encoding: 7bit"),
              std::string::npos);
    ASSERT_EQ(pSession->SetEncoding(IET_BASE64), S_OK);
    const std::string out = ToMime(pMessage.Get(), 0, nullptr, pSession.Get());
    EXPECT_NE(out.find("Content-Transfer-Encoding: base64\r\n\r\nc2hvcnQgQVNDSUkgdGV4dA0K"), std::string::npos) << out;
    ASSERT_EQ(pSession->SetEncoding(IET_7BIT), S_OK);
    SetString(pMessage.Get(), PR_BODY_W, L"non-ASCII \u00E9\r\n");
    // 7bit cannot carry it: quoted-printable instead.
    EXPECT_NE(ToMime(pMessage.Get(), 0, nullptr, pSession.Get()).find("quoted-printable"), std::string::npos);
}

TEST_F(Writer, TextWrappingGoesOutFlowedAndReadsBackWhole) {
    ComPtr<IMessage> pMessage = NewMessage();
    const std::wstring body =
        L"A first paragraph long enough to need wrapping at forty columns, with  two spaces.\r\n"
        L"> a quoted line that is long but stays whole because its continuations would need marks\r\n"
        L" From a stuffed start, and a word longer than the width: "
        L"Donaudampfschifffahrtsgesellschaftskapit\u00e4n ends it.\r\n";
    SetString(pMessage.Get(), PR_BODY_W, body);
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    EXPECT_EQ(pSession->SetTextWrapping(TRUE, 5), E_INVALIDARG);
    ASSERT_EQ(pSession->SetTextWrapping(TRUE, 40), S_OK);
    const std::string out = ToMime(pMessage.Get(), 0, nullptr, pSession.Get());
    EXPECT_NE(out.find("format=flowed"), std::string::npos) << out;
    // Quoted-printable (the text is not ASCII) keeps the space of each soft break.
    EXPECT_NE(out.find("A first paragraph long enough to need=20\r\nwrapping at forty columns, "), std::string::npos)
        << out;
    ComPtr<IMessage> pBack = FromMime(out);
    EXPECT_EQ(GetString(pBack.Get(), PR_BODY_W), body) << out;
    // Wrapping off again: one line as it is.
    ASSERT_EQ(pSession->SetTextWrapping(FALSE, 0), S_OK);
    EXPECT_EQ(ToMime(pMessage.Get(), 0, nullptr, pSession.Get()).find("format=flowed"), std::string::npos);
}

TEST_F(Writer, SetCharsetChoosesTheBodyCharset) {
    ComPtr<IMessage> pMessage = NewMessage();
    SetString(pMessage.Get(), PR_BODY_W, L"Gr\u00fc\u00dfe aus K\u00f6ln\r\n");
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    EXPECT_EQ(pSession->SetCharset(TRUE, "no-such-charset\r\nX-Injected: 1", CSET_APPLY_ALL), MAPI_E_NOT_FOUND);
    // Untagged: only for a message that names no charset of its own.
    ASSERT_EQ(pSession->SetCharset(TRUE, "iso-8859-1", CSET_APPLY_UNTAGGED), S_OK);
    std::string out = ToMime(pMessage.Get(), 0, nullptr, pSession.Get());
    EXPECT_NE(out.find("charset=iso-8859-1"), std::string::npos) << out;
    EXPECT_NE(out.find("Gr=FC=DFe"), std::string::npos) << out;
    SetLong(pMessage.Get(), PR_INTERNET_CPID, 65001);
    EXPECT_NE(ToMime(pMessage.Get(), 0, nullptr, pSession.Get()).find("charset=utf-8"), std::string::npos);
    ASSERT_EQ(pSession->SetCharset(TRUE, "iso-8859-1", CSET_APPLY_ALL), S_OK);
    out = ToMime(pMessage.Get(), 0, nullptr, pSession.Get());
    EXPECT_NE(out.find("charset=iso-8859-1"), std::string::npos) << out;
    EXPECT_EQ(GetString(FromMime(out).Get(), PR_BODY_W), L"Gr\u00fc\u00dfe aus K\u00f6ln\r\n");
    // A text the charset cannot carry goes out in UTF-8, not with lost characters.
    SetString(pMessage.Get(), PR_BODY_W, L"\u20ac and \u65e5\u672c\r\n");
    out = ToMime(pMessage.Get(), 0, nullptr, pSession.Get());
    EXPECT_NE(out.find("charset=utf-8"), std::string::npos) << out;
    EXPECT_EQ(GetString(FromMime(out).Get(), PR_BODY_W), L"\u20ac and \u65e5\u672c\r\n");
    ASSERT_EQ(pSession->SetCharset(FALSE, nullptr, CSET_APPLY_ALL), S_OK);
}

TEST_F(Writer, StoredTextCannotAddHeaderLines) {
    ComPtr<IMessage> pMessage = NewMessage();
    SetString(pMessage.Get(), PR_SUBJECT_W, L"hi\r\nBcc: evil@example.net");
    SetString(pMessage.Get(), PR_INTERNET_MESSAGE_ID_W, L"<a@b>\r\nX-Injected: 1");
    SetString(pMessage.Get(), PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, L"a@example.com\r\nX-Injected: 2");
    SetString(pMessage.Get(), PR_SENT_REPRESENTING_ADDRTYPE_W, L"SMTP");
    SetString(pMessage.Get(), PR_BODY_W, L"x");
    const std::string out = ToMime(pMessage.Get(), CCSF_INCLUDE_BCC);
    const std::string headers = out.substr(0, out.find("\r\n\r\n") + 2);
    EXPECT_EQ(headers.find("\nBcc:"), std::string::npos) << headers;
    EXPECT_EQ(headers.find("\nX-Injected:"), std::string::npos) << headers;
}

TEST_F(Writer, RefusesTnefAndUnknownFlags) {
    ComPtr<IMessage> pMessage = NewMessage();
    HRESULT hr = S_OK;
    ToMime(pMessage.Get(), CCSF_USE_TNEF, &hr);
    EXPECT_EQ(hr, MAPI_E_NO_SUPPORT);
    ToMime(pMessage.Get(), 0x00100000, &hr);
    EXPECT_EQ(hr, MAPI_E_UNKNOWN_FLAGS);
}

}  // namespace ConvertTest

namespace ConvertTest {

TEST_F(Writer, Rfc822SaveFormatComesBackWithItsFiles) {
    ComPtr<IMessage> pMessage = NewMessage();
    SetString(pMessage.Get(), PR_SUBJECT_W, L"figures");
    SetString(pMessage.Get(), PR_BODY_W, L"Gr\u00FC\u00DFe,\r\nfigures attached.\r\n");
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>(i * 7);
    ComPtr<IAttach> pFile = AddFile(pMessage.Get(), L"figures.bin", L"application/octet-stream", data);
    ASSERT_EQ(pFile->SaveChanges(0), S_OK);
    ComPtr<IConverterSession> pSession;
    ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ASSERT_EQ(pSession->SetSaveFormat(SAVE_RFC822), S_OK);
    const std::string text = ToMime(pMessage.Get(), 0, nullptr, pSession.Get());
    EXPECT_EQ(text.find("MIME-Version"), std::string::npos) << text;
    ComPtr<IMessage> pBack = FromMime(text);
    EXPECT_EQ(GetString(pBack.Get(), PR_BODY_W), L"Gr\u00FC\u00DFe,\r\nfigures attached.\r\n");
    ASSERT_EQ(AttachmentCount(pBack.Get()), 1u);
    ComPtr<IAttach> pBackFile = OpenAttachment(pBack.Get(), 0);
    EXPECT_EQ(GetString(pBackFile.Get(), PR_ATTACH_LONG_FILENAME_W), L"figures.bin");
    EXPECT_EQ(GetBinary(pBackFile.Get(), PR_ATTACH_DATA_BIN), data);
}

}  // namespace ConvertTest

namespace ConvertTest {

TEST_F(Writer, EightBitHeadersCarryRawUtf8) {
    ComPtr<IMessage> pMessage = RichMessage();
    const std::string mime = ToMime(pMessage.Get(), CCSF_INCLUDE_BCC | CCSF_8BITHEADERS);
    EXPECT_NE(mime.find("Subject: AW: Budget f\xC3\xBCr 2025 \xE2\x80\x94 Entwurf\r\n"), std::string::npos) << mime;
    EXPECT_NE(mime.find("From: \"J\xC3\xB6rg M\xC3\xBCller\" <joerg@example.de>\r\n"), std::string::npos);
    EXPECT_NE(mime.find("Cc: \"\xD0\x90\xD0\xBD\xD0\xBD\xD0\xB0\" <anna@example.ru>\r\n"), std::string::npos);
    ComPtr<IMessage> pBack = FromMime(mime);
    EXPECT_EQ(GetString(pBack.Get(), PR_SUBJECT_W), L"AW: Budget f\u00FCr 2025 \u2014 Entwurf");
    EXPECT_EQ(GetString(pBack.Get(), PR_SENT_REPRESENTING_NAME_W), L"J\u00F6rg M\u00FCller");
}

}  // namespace ConvertTest

namespace ConvertTest {

// Found by convert_props_fuzz: header names whose own value type is not text (Expires, Reply-By, a
// stored "Resent-To") were written through the wrong value type.
TEST_F(Writer, DatesAndStoredHeadersOfAnyName) {
    ComPtr<IMessage> pMessage = NewMessage();
    SPropValue time{PR_EXPIRY_TIME, 0, {}};
    time.Value.ft = {0x2E8B8000, 0x01DA7500};
    ASSERT_EQ(HrSetOneProp(pMessage.Get(), &time), S_OK);
    time.ulPropTag = PR_REPLY_TIME;
    ASSERT_EQ(HrSetOneProp(pMessage.Get(), &time), S_OK);
    for (const wchar_t* pwszName : {L"resent-to", L"resent-date", L"resent-message-id", L"x-note"}) {
        MAPINAMEID id{const_cast<GUID*>(&PS_INTERNET_HEADERS), MNID_STRING, {}};
        id.Kind.lpwstrName = const_cast<wchar_t*>(pwszName);
        LPMAPINAMEID pId = &id;
        LPSPropTagArray pTags = nullptr;
        ASSERT_EQ(pMessage->GetIDsFromNames(1, &pId, MAPI_CREATE, &pTags), S_OK);
        EXPECT_EQ(SetString(pMessage.Get(), CHANGE_PROP_TYPE(pTags->aulPropTag[0], PT_UNICODE), L"caf\u00E9 value"),
                  S_OK);
        MAPIFreeBuffer(pTags);
    }
    const std::string mime = ToMime(pMessage.Get(), 0);
    EXPECT_NE(mime.find("\r\nExpires: Wed, 13 Mar 2024 04:37:40 +0000\r\n"), std::string::npos) << mime;
    EXPECT_NE(mime.find("\r\nReply-By: Wed, 13 Mar 2024 04:37:40 +0000\r\n"), std::string::npos);
    EXPECT_NE(mime.find("\r\nResent-To: =?UTF-8?"), std::string::npos);
    EXPECT_NE(mime.find("\r\nX-Note: =?UTF-8?"), std::string::npos);
}

}  // namespace ConvertTest
