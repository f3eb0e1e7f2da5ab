// The converter's own rules: failures that refuse an item, occurrences it cannot place, the
// meeting summary, the HTML description clean-up, and private items in calendars the user may
// not read in full.
#include "CalendarTestSupport.h"

#include "Ostrel/Convert/Calendar/OstrelToOL.h"
#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/NamedProps.h"
#include "Util/Time/TimeUtil.h"

namespace {

using Ostrel::Mail::OstrelToOL;

// A reply holding one appointment whose series invitation has these attributes and children.
std::string Reply(const std::string& invAttrs, const std::string& invChildren, const std::string& more = "") {
    return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>"
           "<GetAppointmentResponse xmlns=\"urn:ostrelMail\"><appt id=\"7\" uid=\"u7\" l=\"10\"><default><m>"
           "<tz id=\"Europe/Paris\" stdoff=\"60\" dayoff=\"120\"><standard week=\"-1\" wkday=\"1\" mon=\"10\" "
           "hour=\"3\"/><daylight week=\"-1\" wkday=\"1\" mon=\"3\" hour=\"2\"/></tz><inv uid=\"u7\" " +
           invAttrs + ">" + invChildren + "</inv></m></default>" + more +
           "</appt></GetAppointmentResponse></soap:Body></soap:Envelope>";
}

class Converter : public CalendarTest::CalendarStore {
protected:
    std::wstring Subject(IMessage* pMessage) {
        LPSPropValue pValue = nullptr;
        std::wstring ws = SUCCEEDED(HrGetOneProp(pMessage, PR_SUBJECT_W, &pValue)) ? pValue->Value.lpszW : L"<none>";
        MAPIFreeBuffer(pValue);
        return ws;
    }
};

}  // namespace

TEST_F(Converter, ItemsThatCannotBeWrittenAreRefusedWithTheirReason) {
    Result noSeries;
    {
        Ostrel::Mail::AppointmentPtr p(Ostrel::Mail::Appointment::createAppointment());
        noSeries = Convert(*p);
    }
    EXPECT_EQ(noSeries.iResult, 0);
    EXPECT_EQ(noSeries.wsError, L"no default inv on this appt...skipping.");
    ULONG cValues = 0;
    LPSPropTagArray pTags = nullptr;
    ASSERT_EQ(noSeries.pMessage->GetPropList(0, &pTags), S_OK);
    cValues = pTags->cValues;
    MAPIFreeBuffer(pTags);
    Platform::ComPtr<IMessage> pFresh;
    ASSERT_EQ(m_pRoot->CreateMessage(nullptr, 0, pFresh.AddressOf()), S_OK);
    ASSERT_EQ(pFresh->GetPropList(0, &pTags), S_OK);
    EXPECT_EQ(cValues, pTags->cValues);  // nothing written
    MAPIFreeBuffer(pTags);

    Result noEnd = Convert(Reply("name=\"x\"", "<s d=\"20240305T090000\" tz=\"Europe/Paris\"/>"));
    EXPECT_EQ(noEnd.iResult, 0);
    EXPECT_NE(noEnd.wsError.find(L"no end date and missing duration for this comp."), std::wstring::npos);
    EXPECT_NE(noEnd.wsError.find(L"ERROR - SetOOMProperties() failed."), std::wstring::npos);

    Result noStart = Convert(Reply("name=\"x\"", ""));
    EXPECT_EQ(noStart.iResult, 0);
    EXPECT_NE(noStart.wsError.find(L"no start date for this comp."), std::wstring::npos);
}

// A recurrence id with a zone is looked up in that zone; an instance the series does not have
// only warns, and a cancelled modified instance becomes a deleted date.
TEST_F(Converter, InstancesAreFoundInTheirZoneOrReported) {
    const std::string series =
        "<s d=\"20240101T100000\" tz=\"Europe/Paris\"/><e d=\"20240101T110000\" tz=\"Europe/Paris\"/>"
        "<recur><add><rule freq=\"DAI\"><interval ival=\"1\"/><count num=\"5\"/></rule></add></recur>";
    auto Except = [](const std::string& status, const std::string& original) {
        return "<except><m><tz id=\"Europe/Paris\" stdoff=\"60\"/><inv uid=\"u7\" status=\"" + status +
               "\"><s d=\"20240102T150000\"/><e d=\"20240102T160000\"/><exceptId d=\"" + original +
               "\" tz=\"Europe/Paris\"/></inv></m></except>";
    };
    ASSERT_TRUE(Ostrel::Util::SetLocalTimeZone("America/New_York"));
    Result ok = Convert(Reply("name=\"s\"", series, Except("CONF", "20240102T100000")));
    ASSERT_EQ(ok.iResult, 1) << testing::PrintToString(ok.wsError);
    EXPECT_EQ(ok.wsWarning, L"");
    EXPECT_NE(Dump(ok.pMessage.Get()).find("exception 2024-01-02 09:00:00"), std::string::npos);

    Result missing = Convert(Reply("name=\"s\"", series, Except("CONF", "20240110T100000")));
    EXPECT_EQ(missing.iResult, 1);
    EXPECT_EQ(missing.wsWarning,
              L"\ncould not find occurrence for this date\n TZID=Europe/Paris:20240110T100000\n "
              L"Main appt time zone: Europe/Paris\n");

    Result cancelled = Convert(Reply("name=\"s\"", series, Except("CANC", "20240103T100000")));
    ASSERT_EQ(cancelled.iResult, 1);
    const std::string dump = Dump(cancelled.pMessage.Get());
    EXPECT_NE(dump.find("DeletedInstanceDate: 222478560 (2024-01-03 00:00)"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("exception "), std::string::npos);
}

TEST_F(Converter, PrivateItemsLoseSubjectAndLocationWithoutTheRightToReadThem) {
    // Not the user's own store: the calendar folder's rights decide.
    Ostrel::Mapi::NamedProps* pProps = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_pStore.Get());
    SPropValue primary{};
    primary.ulPropTag = pProps->GetPropTag(Ostrel::Mapi::NamedProps::PRIMARY_STORE, PT_BOOLEAN);
    primary.Value.b = 0;
    ASSERT_EQ(HrSetOneProp(m_pStore.Get(), &primary), S_OK);
    Ostrel::Mapi::Folder folder(m_pRoot.Get(), m_pStore.Get());
    const std::string item = Reply("name=\"Doctor\" loc=\"Clinic\" class=\"PRI\"",
                                   "<s d=\"20240305T090000\" tz=\"Europe/Paris\"/><e d=\"20240305T100000\" "
                                   "tz=\"Europe/Paris\"/>");
    ASSERT_EQ(folder.Ace(0x20), S_OK);
    Result hidden = Convert(item);
    ASSERT_EQ(hidden.iResult, 1) << testing::PrintToString(hidden.wsError);
    EXPECT_EQ(Subject(hidden.pMessage.Get()), L"<none>");
    EXPECT_EQ(Dump(hidden.pMessage.Get()).find("Clinic"), std::string::npos);

    ASSERT_EQ(folder.Ace(0x20 | 0x80), S_OK);
    Result shown = Convert(item);
    ASSERT_EQ(shown.iResult, 1);
    EXPECT_EQ(Subject(shown.pMessage.Get()), L"Doctor");
}

TEST(MeetingSummary, OnlyTheDescriptionAfterTheSeparatorIsKept) {
    EXPECT_FALSE(OstrelToOL::StripMeetingSummary(L"Just a description.\r\n*~ not a separator"));
    EXPECT_EQ(OstrelToOL::StripMeetingSummary(L"When: Monday\r\n*~*~*~*~*~*~*~*~*~*\r\n\r\nBring slides."),
              L"Bring slides.");
    EXPECT_EQ(OstrelToOL::StripMeetingSummary(L"When: Monday\n*~*~*~*~*~*~\n\nBring slides."), L"Bring slides.");
    EXPECT_EQ(OstrelToOL::StripMeetingSummary(L"<p>When</p>*~*~*~*<p>Bring</p>"), L"<p>Bring</p>");
    // A separator with nothing after it leaves the text as it is.
    EXPECT_FALSE(OstrelToOL::StripMeetingSummary(L"summary *~*~*~*~"));
}

TEST(CalendarHtml, SpanStylesBecomeTagsAndEmptySpansGo) {
    EXPECT_EQ(OstrelToOL::CleanUpCalendarHTML(L"<SPAN style=\"text-decoration: underline;\">u<span>in</span></SPAN> "
                                              L"<span style=\"color: rgb(255, 0, 16);\">red</span>"
                                              L"<span style=\"\">plain</span>"),
              L"<u>u<span>in</span></u> <font color=\"#FF0010\">red</font>plain");
    // Values beyond a byte are capped; an unpaired span is left alone.
    EXPECT_EQ(OstrelToOL::CleanUpCalendarHTML(L"<span style=\"color: rgb(999, 0, 0);\">x</span>"),
              L"<font color=\"#FF0000\">x</font>");
    EXPECT_EQ(OstrelToOL::CleanUpCalendarHTML(L"<span style=\"text-decoration: line-through;\">open"),
              L"<span style=\"text-decoration: line-through;\">open");
}

// An item the server also holds as MIME: the calendar part is dropped, the missing HTML is made
// from the plain text, and the summary above the separator is not kept in the body.
TEST_F(Converter, AServerMimeBlobGivesTheBodies) {
    std::wstring wsError;
    Ostrel::Mail::AppointmentPtr pAppt = Ostrel::Mail::ReadCalendarReplyXml(
        Reply("name=\"Review\"",
              "<s d=\"20240305T090000\" tz=\"Europe/Paris\"/><e d=\"20240305T100000\" tz=\"Europe/Paris\"/>"),
        wsError);
    ASSERT_TRUE(pAppt);
    Ostrel::Mail::Inv* pInv = pAppt->GetDefaultInv();
    pInv->CompAt(0)->SetIsNoBlob(FALSE);
    pInv->SetMimeBuffer(
        "From: org@x.test\r\nSubject: Review\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "When: Tuesday\r\n*~*~*~*~*~*~*~*~*~*\r\n\r\nFirst line\r\nSecond line =E2=9C=93\r\n"
        "--b1\r\nContent-Type: text/calendar; method=REQUEST; charset=utf-8\r\n\r\n"
        "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n--b1--\r\n");
    Result result = Convert(*pAppt);
    ASSERT_EQ(result.iResult, 1) << testing::PrintToString(result.wsError);
    LPSPropValue pBody = nullptr;
    ASSERT_EQ(HrGetOneProp(result.pMessage.Get(), PR_BODY_W, &pBody), S_OK);
    EXPECT_EQ(std::wstring(pBody->Value.lpszW).substr(0, 33), L"First line\r\nSecond line \u2713");
    MAPIFreeBuffer(pBody);
    LPSPropValue pHtml = nullptr;
    ASSERT_EQ(HrGetOneProp(result.pMessage.Get(), PR_HTML, &pHtml), S_OK);
    const std::string html(reinterpret_cast<const char*>(pHtml->Value.bin.lpb), pHtml->Value.bin.cb);
    MAPIFreeBuffer(pHtml);
    EXPECT_NE(html.find("First line<br>Second line \xE2\x9C\x93"), std::string::npos) << html;
    EXPECT_EQ(html.find("VCALENDAR"), std::string::npos);
    Platform::ComPtr<IMAPITable> pAttachments;
    ASSERT_EQ(result.pMessage->GetAttachmentTable(0, pAttachments.AddressOf()), S_OK);
    ULONG cRows = 99;
    ASSERT_EQ(pAttachments->GetRowCount(0, &cRows), S_OK);
    EXPECT_EQ(cRows, 0u);

    std::string fixed;
    ASSERT_TRUE(OstrelToOL::FixMimeWithHTMLAndCalendar("not mime at all", fixed));
    EXPECT_NE(fixed.find("not mime at all"), std::string::npos);
}
