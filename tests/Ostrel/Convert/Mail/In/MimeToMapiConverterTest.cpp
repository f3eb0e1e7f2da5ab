#include "Ostrel/Convert/Mail/MimeToMapiConverter.h"

#include "MailInTestUtil.h"
#include "Ostrel/Convert/Mail/ConvertMimeToMessage.h"
#include "Ostrel/Store/Categories/TagAssocMsg.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Host/Host.h"
#include "Util/OstrelReg.h"
#include "Util/Time/TimeUtil.h"

namespace MailInTest {

namespace {

using Ostrel::Mapi::NamedProps;

const std::string kPlain =
    "From: Anna Berg <anna@example.org>\r\n"
    "To: Tom Hale <tom@example.com>\r\n"
    "Subject: Plain\r\n"
    "Date: Mon, 13 Nov 2023 09:13:58 +0100\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "\r\n"
    "Hello\r\n";

class MimeToMapi : public StoreFixture {
protected:
    void TearDown() override { Platform::Host::SetClientVersion(16, 0); }

    ULONG Named(NamedProps::PropIdx idx, ULONG ulType) { return NamedPropsManager().GetPropTag(idx, ulType); }
    NamedProps& NamedPropsManager() {
        return *Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get());
    }
    // Converts the text with the server's values; the converted message, or null on failure.
    ComPtr<IMessage> Convert(const std::string& mime, const std::string& sFlags, const std::string& sReceived = "",
                             int bExtractShare = 0, int* pResult = nullptr) {
        MimeToMapiConverter converter(mime.data(), static_cast<int>(mime.size()), nullptr, m_tagMap, m_store.Get(), 1);
        ComPtr<IMessage> pMessage = NewMessage();
        const int result =
            converter.ConvertViaIConvSess(pMessage.Get(), 42, "", "", "", sReceived, sFlags, bExtractShare);
        if (pResult)
            *pResult = result;
        EXPECT_EQ(result, 1) << "flags '" << sFlags << "'";
        return pMessage;
    }
};

int64_t UnixTime(IMAPIProp* p, ULONG ulTag) {
    LPSPropValue pValue = nullptr;
    if (FAILED(HrGetOneProp(p, ulTag, &pValue)))
        return -1;
    const int64_t t = Ostrel::Util::FileTimeToUnixTime64(pValue->Value.ft);
    MAPIFreeBuffer(pValue);
    return t;
}

}  // namespace

// What each flag letter the server sends becomes is held in the mail-in golden corpus; letters
// it does not know change nothing.
TEST_F(MimeToMapi, UnknownFlagLettersCountForNothing) {
    ComPtr<IMessage> pMessage = Convert(kPlain, "zq");
    EXPECT_EQ(GetLong(pMessage.Get(), PR_MESSAGE_FLAGS) & ~LONG(MSGFLAG_HASATTACH), MSGFLAG_READ);
    EXPECT_EQ(GetLong(pMessage.Get(), PR_ICON_INDEX), -1);
    EXPECT_EQ(GetLong(pMessage.Get(), PR_FLAG_STATUS), -1);
    EXPECT_EQ(GetString(pMessage.Get(), PR_MESSAGE_CLASS_W), L"IPM.Note");
    EXPECT_EQ(GetLong(pMessage.Get(), Named(NamedProps::OSTREL_ID, PT_LONG)), 42);
}

TEST_F(MimeToMapi, ReadReceiptRequestOnlyFromTheHeaderBlock) {
    const std::string inHeaders = "Disposition-Notification-To: anna@example.org\r\n" + kPlain;
    EXPECT_EQ(GetLong(Convert(inHeaders, "u").Get(), PR_MESSAGE_FLAGS), 0x300);
    EXPECT_EQ(GetLong(Convert(inHeaders, "un").Get(), PR_MESSAGE_FLAGS), 0);
    // An empty flag string writes the read flag alone.
    EXPECT_EQ(GetLong(Convert(inHeaders, "").Get(), PR_MESSAGE_FLAGS), MSGFLAG_READ);
    const std::string inBody = kPlain + "Disposition-Notification-To: anna@example.org\r\n";
    EXPECT_EQ(GetLong(Convert(inBody, "u").Get(), PR_MESSAGE_FLAGS), 0);
    // Text with bare line feeds ends its headers at an empty line too.
    std::string lf = inBody;
    for (size_t pos; (pos = lf.find("\r\n")) != std::string::npos;)
        lf.erase(pos, 1);
    EXPECT_EQ(GetLong(Convert(lf, "u").Get(), PR_MESSAGE_FLAGS), 0);
}

TEST_F(MimeToMapi, DraftLosesItsSubmitTimeAndFoldedSubjectIsJoined) {
    EXPECT_TRUE(HasProp(Convert(kPlain, "s").Get(), PR_CLIENT_SUBMIT_TIME));
    EXPECT_FALSE(HasProp(Convert(kPlain, "sd").Get(), PR_CLIENT_SUBMIT_TIME));

    std::string folded = kPlain;
    folded.replace(folded.find("Subject: Plain"), 14, "Subject: =?utf-8?Q?Hel=0D=0A_lo?=");
    EXPECT_EQ(GetString(Convert(folded, "").Get(), PR_SUBJECT_W), L"Hello");
}

TEST_F(MimeToMapi, ReceivedTimeFromTheServerOrTheHeaders) {
    ComPtr<IMessage> pMessage = Convert(kPlain, "", "1700000000999");
    EXPECT_EQ(UnixTime(pMessage.Get(), PR_MESSAGE_DELIVERY_TIME), 1700000000);
    EXPECT_EQ(UnixTime(pMessage.Get(), Named(NamedProps::OSTREL_LAST_MODIFIED, PT_SYSTIME)), 1700000000);
    EXPECT_EQ(UnixTime(Convert(kPlain, "", "12x").Get(), Named(NamedProps::OSTREL_LAST_MODIFIED, PT_SYSTIME)), -1);

    // From the headers: X-Ostrel-Received first, then the first Received line, then Date.
    const std::string received = "Received: from a by b; Tue, 14 Nov 2023 10:00:00 +0000\r\n" + kPlain;
    const std::string serverTime =
        "X-Ostrel-Received: 1700000000123\r\nX-Ostrel-Flags: uf\r\nX-Ostrel-Conv: -257\r\n"
        "X-Ostrel-Tag-Names: Work, Home\r\n" +
        received;
    struct Case {
        const std::string* pMime;
        int64_t llExpected;
    } cases[] = {{&serverTime, 1700000000}, {&received, 1699956000}, {&kPlain, 1699863238}};
    for (const Case& c : cases) {
        MimeToMapiConverter converter(c.pMime->data(), static_cast<int>(c.pMime->size()), nullptr, m_tagMap,
                                      m_store.Get(), 0);
        ComPtr<IMessage> pTarget = NewMessage();
        ASSERT_EQ(converter.ConvertViaMimePP(pTarget.Get(), 7), 1);
        EXPECT_EQ(UnixTime(pTarget.Get(), Named(NamedProps::OSTREL_LAST_MODIFIED, PT_SYSTIME)), c.llExpected);
    }
    MimeToMapiConverter converter(serverTime.data(), static_cast<int>(serverTime.size()), nullptr, m_tagMap,
                                  m_store.Get(), 0);
    ComPtr<IMessage> pTarget = NewMessage();
    ASSERT_EQ(converter.ConvertViaMimePP(pTarget.Get(), 7), 1);
    EXPECT_EQ(GetLong(pTarget.Get(), PR_MESSAGE_FLAGS), 0);
    EXPECT_EQ(GetLong(pTarget.Get(), PR_FLAG_STATUS), 2);
    EXPECT_EQ(GetLong(pTarget.Get(), Named(NamedProps::CONV_ID, PT_LONG)), -257);
    LPSPropValue pKeywords = nullptr;
    ASSERT_EQ(HrGetOneProp(pTarget.Get(), Named(NamedProps::KEYWORDS, PT_MV_UNICODE), &pKeywords), S_OK);
    ASSERT_EQ(pKeywords->Value.MVszW.cValues, 2u);
    EXPECT_STREQ(pKeywords->Value.MVszW.lppszW[1], L"Home");
    MAPIFreeBuffer(pKeywords);
}

TEST_F(MimeToMapi, CalendarPartialCompletionIsNotAFailureWhenAllowed) {
    const std::string damaged =
        "From: a@example.org\r\nSubject: Invite\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/calendar; method=REQUEST; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "QkVHSU46VkNBTEVOREFS!!!***\r\n";
    for (int bAllowed : {1, 0}) {
        MimeToMapiConverter converter(damaged.data(), static_cast<int>(damaged.size()), nullptr, m_tagMap,
                                      m_store.Get(), bAllowed);
        ComPtr<IMessage> pMessage = NewMessage();
        EXPECT_EQ(converter.ConvertViaIConvSess(pMessage.Get(), 1, "", "", "", "", "", 0), 1);
        EXPECT_EQ(converter.HasLocalFailure(), !bAllowed);
        EXPECT_EQ(converter.HasLocalWarning(), !bAllowed);
        if (!bAllowed) {
            EXPECT_EQ(converter.GetLocalFailureText(),
                      L"Convert() - mime to mapi conversion returned partial completion. hr = 263808");
            EXPECT_EQ(converter.GetFailedMIMEBody(), damaged);
        }
    }
}

TEST_F(MimeToMapi, ShareNotificationUnlessTheOwnerGrantedIt) {
    const std::string share = ReadFile(TestSupport::DataDir() / "convert" / "24-share-notification.eml");
    ComPtr<IMessage> pMessage = Convert(share, "u", "", 1);
    EXPECT_EQ(GetString(pMessage.Get(), PR_MESSAGE_CLASS_W), L"IPM.Sharing");
    EXPECT_EQ(GetLong(pMessage.Get(), Named(NamedProps::SHARE_ID, PT_LONG)), 1);
    EXPECT_EQ(GetString(pMessage.Get(), Named(NamedProps::SHARE_INFO, PT_UNICODE)).rfind(L"<share ", 0), 0u);
    // Without the switch the part is left alone.
    EXPECT_EQ(GetString(Convert(share, "u", "", 0).Get(), PR_MESSAGE_CLASS_W), L"IPM.Note");

    SPropValue owner{Named(NamedProps::OWNER_EMAIL, PT_UNICODE), 0, {}};
    owner.Value.lpszW = const_cast<wchar_t*>(L"Anna.Berg@example.org");
    ASSERT_EQ(HrSetOneProp(m_store.Get(), &owner), S_OK);
    pMessage = Convert(share, "u", "", 1);
    EXPECT_EQ(GetString(pMessage.Get(), PR_MESSAGE_CLASS_W), L"IPM.Note");
    EXPECT_FALSE(HasProp(pMessage.Get(), Named(NamedProps::SHARE_ID, PT_LONG)));
}

TEST_F(MimeToMapi, BlankAnchorNamesAreEmptiedForNewerClientsAndOlderOnesAreMarked) {
    const std::string html =
        "From: a@example.org\r\nSubject: Links\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/html; charset=utf-8\r\n\r\n"
        "<html><body><a name=\" \" href=\"x\">x</a><a href=\"y\">y</a><a name=\" \"";
    for (int iMajor : {11, 14, 15}) {
        Platform::Host::SetClientVersion(iMajor, 0);
        ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(html);
        MimeToMapiConverter converter(pStream.Get(), nullptr, m_tagMap, m_store.Get(), 0);
        ComPtr<IMessage> pMessage = NewMessage();
        ASSERT_EQ(converter.ConvertViaIConvSess(pMessage.Get(), 1, "", "", "", "", "", 0), 1);
        // Clients before version 12 get the marker of messages the connector wrote.
        EXPECT_EQ(HasProp(pMessage.Get(), Named(NamedProps::APPT_825A, PT_BOOLEAN)), iMajor < 12);
        std::string expected = html;
        if (iMajor >= 15)  // the incomplete last tag is left as it is
            expected.replace(expected.find("name=\" \""), 8, "name=\"\" ");
        EXPECT_EQ(pStream->CopyContent(), expected);
    }
}

TEST_F(MimeToMapi, OneSaveWhoseFailureIsReportedNotThrown) {
    // The message is saved once, with the converter's result and the server's values together.
    MimeToMapiConverter once(kPlain.data(), static_cast<int>(kPlain.size()), nullptr, m_tagMap, m_store.Get(), 0);
    EXPECT_EQ(once.ConvertViaIConvSess(FailingMessage(NewMessage().Get(), 2, E_FAIL).Get(), 5, "", "", "", "", "", 0),
              1);

    MimeToMapiConverter converter(kPlain.data(), static_cast<int>(kPlain.size()), nullptr, m_tagMap, m_store.Get(), 0);
    ComPtr<IMessage> pFailing = FailingMessage(NewMessage().Get(), 1, MAPI_E_NOT_ENOUGH_DISK);
    EXPECT_EQ(converter.ConvertViaIConvSess(pFailing.Get(), 5, "", "", "", "", "", 0), 0);
    EXPECT_TRUE(converter.HasLocalFailure());
    EXPECT_EQ(converter.GetLocalFailureText(), L"Convert() - failed to save the message. hr = " +
                                                   std::to_wstring(static_cast<LONG>(MAPI_E_NOT_ENOUGH_DISK)));
    EXPECT_EQ(converter.GetFailedMIMEBody(), kPlain);
}

TEST_F(MimeToMapi, PlainConversionReportsPartialAndFailedResults) {
    int bPartial = -1, bFailed = -1;
    std::wstring wsReport;
    ComPtr<IMessage> pMessage = NewMessage();
    EXPECT_EQ(ConvertMimeToMessage(pMessage.Get(), nullptr, kPlain.data(), static_cast<unsigned>(kPlain.size()),
                                   nullptr, bPartial, bFailed, wsReport),
              S_OK);
    EXPECT_EQ(GetString(pMessage.Get(), PR_SUBJECT_W), L"Plain");
    EXPECT_EQ(bPartial + bFailed, 0);

    const std::string damaged = ReadFile(TestSupport::DataDir() / "convert" / "66-damaged-truncated.eml");
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(damaged);
    EXPECT_EQ(ConvertMimeToMessage(NewMessage().Get(), nullptr, nullptr, 0, pStream.Get(), bPartial, bFailed, wsReport),
              MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(bPartial, 1);
    EXPECT_EQ(wsReport, L"ConvertMimeToMessage() - mime to mapi conversion returned partial completion");

    EXPECT_EQ(ConvertMimeToMessage(nullptr, nullptr, kPlain.data(), 4, nullptr, bPartial, bFailed, wsReport),
              E_INVALIDARG);
    EXPECT_EQ(bFailed, 1);
    EXPECT_EQ(wsReport.rfind(L"ConvertMimeToMessage() - failed mime to mapi conversion. hr =", 0), 0u);
}

TEST_F(MimeToMapi, TagIdsTheMapDoesNotKnowAreNamedByTheTagFolder) {
    ASSERT_EQ(Ostrel::Mapi::TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(99, L"Folder tag", 0, nullptr, m_store.Get()),
              S_OK);
    m_tagMap = {{3, L"Work"}};
    // Tag ids name categories only while tag synchronisation is on (names from the server always do).
    Ostrel::Util::RegUtil reg(L"TagSyncEnabled", KEY_ALL_ACCESS);
    ASSERT_EQ(reg.CreateKey(), ERROR_SUCCESS);
    ASSERT_EQ(reg.SetValue(DWORD(1)), ERROR_SUCCESS);
    struct Case {
        const char* pszIds;
        std::vector<std::wstring> expected;
    } cases[] = {{"3", {L"Work"}}, {"3,99", {L"Folder tag"}}, {"99, 5", {L"Folder tag"}}, {"5", {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszIds);
        MimeToMapiConverter converter(kPlain.data(), static_cast<int>(kPlain.size()), nullptr, m_tagMap, m_store.Get(),
                                      0);
        ComPtr<IMessage> pMessage = NewMessage();
        ASSERT_EQ(converter.ConvertViaIConvSess(pMessage.Get(), 1, c.pszIds, "", "", "", "", 0), 1);
        std::vector<std::wstring> keywords;
        LPSPropValue pKeywords = nullptr;
        if (SUCCEEDED(HrGetOneProp(pMessage.Get(), Named(NamedProps::KEYWORDS, PT_MV_UNICODE), &pKeywords))) {
            for (ULONG i = 0; i < pKeywords->Value.MVszW.cValues; ++i)
                keywords.emplace_back(pKeywords->Value.MVszW.lppszW[i]);
            MAPIFreeBuffer(pKeywords);
        }
        EXPECT_EQ(keywords, c.expected);
    }
    ASSERT_EQ(reg.SetValue(DWORD(0)), ERROR_SUCCESS);
    MimeToMapiConverter off(kPlain.data(), static_cast<int>(kPlain.size()), nullptr, m_tagMap, m_store.Get(), 0);
    ComPtr<IMessage> pMessage = NewMessage();
    ASSERT_EQ(off.ConvertViaIConvSess(pMessage.Get(), 1, "3", "", "", "", "", 0), 1);
    EXPECT_FALSE(HasProp(pMessage.Get(), Named(NamedProps::KEYWORDS, PT_MV_UNICODE)));
}

}  // namespace MailInTest
