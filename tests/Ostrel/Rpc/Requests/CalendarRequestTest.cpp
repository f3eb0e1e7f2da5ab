// SetAppointmentRequest and SetTaskRequest built from the calendar model, compared as whole
// elements, and the reader of the server's answer.
#include "ItemTestSupport.h"

#include "Ostrel/Rpc/Requests/CalendarReader.h"
#include "Ostrel/Rpc/Requests/CalendarRequests.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Util/Time/TimeUtil.h"

using namespace Ostrel::Mail;
using Ostrel::Rpc::SetAppointmentRequest;

namespace {

double Ole(int y, int m, int d, int h = 0, int mi = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y), st.wMonth = static_cast<WORD>(m), st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h), st.wMinute = static_cast<WORD>(mi);
    double dDate = 0;
    Ostrel::Util::SystemTimeToVariantTime(&st, &dDate);
    return dDate;
}

class CalendarRequest : public ItemTest::ItemFixture {
protected:
    void SetUp() override {
        ItemFixture::SetUp();
        ASSERT_TRUE(Ostrel::Util::SetLocalTimeZone("UTC"));
        m_pAppt.reset(Appointment::createAppointment());
        m_pAppt->SetUid(L"u1");
    }
    void TearDown() override {
        m_pAppt.reset();
        ItemFixture::TearDown();
    }

    // A new invitation with one component, added as the series or an instance.
    Comp& AddInv(bool bDefault, bool bCancel = false) {
        Inv* pInv = Inv::createInv();
        Comp* pComp = Comp::createComp();
        pInv->addCompPart(pComp);
        if (bDefault)
            m_pAppt->SetDefaultInv(pInv);
        else if (bCancel)
            m_pAppt->addCancelException(pInv);
        else
            m_pAppt->addException(pInv);
        return *pComp;
    }

    std::wstring Build(MailItemType type) {
        SetAppointmentRequest request(*m_pAppt, type, nullptr, m_pAppt->TagIds(), m_pAppt->TagNames(), 10);
        return ItemTest::BodyXml(request);
    }

    AppointmentPtr m_pAppt;
};

Attendee* Person(const wchar_t* pwszName, const wchar_t* pwszEmail, const wchar_t* pwszRole, const wchar_t* pwszPtst) {
    Attendee* p = Attendee::createAttendee();
    p->SetDisplayName(pwszName);
    p->SetEmail(pwszEmail);
    p->SetRole(pwszRole);
    p->SetPartStatus(pwszPtst);
    return p;
}

}  // namespace

TEST_F(CalendarRequest, ASeriesWithAModifiedAndACancelledInstance) {
    Comp& series = AddInv(true);
    Inv& inv = *m_pAppt->GetDefaultInv();
    TimeZone* pZone = inv.AddTimeZone(L"Zone:A;B");
    pZone->SetStandardOffset(60);
    pZone->SetDaylightOffset(120);
    pZone->SetStandardStart(-1, 0, 10, 3, 0, 0);
    pZone->SetDaylightStart(-1, 0, 3, 2, 0, 0);
    series.SetStartDateTimeZone(pZone);
    series.SetEndDateTimeZone(pZone);
    series.SetSubject(L"Sync");
    series.SetStartDate(Ole(2024, 7, 1, 8));  // 10:00 in the zone
    series.SetEndDate(Ole(2024, 7, 1, 9));
    series.SetItemSensitivity(2);
    series.SetMyPartStatus(L"AC");
    series.SetResponseStatus(L"NEEDS_ACTION");
    series.SetIsOrganizer(TRUE);
    series.SetUpdateUnixTime(1700000000);
    Attendee* pOrganizer = Person(L"Org", L"org@x.test", L"CH", L"AC");
    pOrganizer->SetSentBy(L"assistant@x.test");
    series.addOrganizerPart(pOrganizer);
    Attendee* pRoom = Person(L"Room", L"room@x.test", L"NON", L"AC");
    pRoom->SetUserType(L"RES");
    series.addAttendeePart(pRoom);
    series.addAttendeePart(Person(L"Ann", L"ann@x.test", L"OPT", L"TE"));
    _Recurrence r;
    r.type = RecurrenceType::Weekly;
    r.lParam1 = 0;
    r.lParam2 = DayOfWeek::kWeekdays;
    series.SetRecurrence(r);  // every weekday, no end: neither until nor count
    series.SetAlarm(TRUE, 15, nullptr, nullptr, nullptr);
    inv.SetBody(L"Agenda & notes");

    Comp& moved = AddInv(false);
    moved.SetStartDate(Ole(2024, 7, 2, 12));
    moved.SetEndDate(Ole(2024, 7, 2, 13));
    moved.SetOrigDate(Ole(2024, 7, 2, 8));
    moved.SetSubject(L"");
    moved.SetItemSensitivity(3);
    moved.SetStatus(L"CONF");
    Comp& cancelled = AddInv(false, true);
    cancelled.SetOrigDate(Ole(2024, 7, 3, 8));
    cancelled.SetItemSensitivity(7);
    m_pAppt->addTagName(L"Work");
    m_pAppt->SetNextAlarm(1719813600);

    EXPECT_EQ(
        Build(MIT_APPOINTMENT),
        L"<SetAppointmentRequest xmlns=\"urn:ostrelMail\" l=\"10\" tn=\"Work\" nextAlarm=\"1719813600000\">"
        L"<default ptst=\"AC\"><m><tz id=\"Zone.A /B\" stdoff=\"60\" dayoff=\"120\">"
        L"<standard week=\"-1\" wkday=\"1\" mon=\"10\" hour=\"3\" min=\"0\" sec=\"0\"/>"
        L"<daylight week=\"-1\" wkday=\"1\" mon=\"3\" hour=\"2\" min=\"0\" sec=\"0\"/></tz>"
        L"<inv method=\"REQUEST\" fb=\"B\" transp=\"O\" allDay=\"0\" name=\"Sync\" loc=\"\" seq=\"0\" "
        L"d=\"1700000000000\" class=\"PRI\" neverSent=\"0\" draft=\"0\" uid=\"u1\">"
        L"<s d=\"20240701T100000\" tz=\"Zone.A /B\"/><e d=\"20240701T110000\" tz=\"Zone.A /B\"/>"
        L"<or name=\"Org\" a=\"org@x.test\" sentBy=\"assistant@x.test\"/>"
        L"<at d=\"Room\" a=\"room@x.test\" role=\"NON\" cutype=\"RES\" ptst=\"AC\"/>"
        L"<at d=\"Ann\" a=\"ann@x.test\" role=\"OPT\" ptst=\"TE\"/>"
        L"<recur><add><rule freq=\"DAI\"><interval ival=\"1\"/><byday><wkday day=\"MO\"/><wkday day=\"TU\"/>"
        L"<wkday day=\"WE\"/><wkday day=\"TH\"/><wkday day=\"FR\"/></byday></rule></add></recur>"
        L"<alarm action=\"DISPLAY\"><trigger><rel related=\"START\" neg=\"1\" m=\"15\"/></trigger><desc/></alarm>"
        L"</inv><su>Sync</su><mp ct=\"text/plain\"><content>Agenda &amp; notes</content></mp></m></default>"
        L"<except ptst=\"NE\"><m><inv method=\"REQUEST\" fb=\"B\" transp=\"O\" allDay=\"0\" name=\"\" loc=\"\" "
        L"seq=\"0\" "
        L"class=\"PRI\" neverSent=\"0\" draft=\"0\" uid=\"u1\" status=\"CONF\"><s d=\"20240702T120000Z\"/>"
        L"<e d=\"20240702T130000Z\"/><exceptId d=\"20240702T080000Z\"/></inv></m></except>"
        L"<cancel><m><inv fb=\"B\" transp=\"O\" allDay=\"0\" name=\"\" loc=\"\" seq=\"0\" neverSent=\"0\" draft=\"0\" "
        L"uid=\"u1\" status=\"CONF\"><s d=\"20240703T080000Z\"/><exceptId d=\"20240703T080000Z\"/></inv></m></cancel>"
        L"</SetAppointmentRequest>");
}

TEST_F(CalendarRequest, RulesAndTheirEnds) {
    Comp& series = AddInv(true);
    series.SetStartDate(Ole(2024, 1, 9, 9));
    series.SetEndDate(Ole(2024, 1, 9, 10));
    _Recurrence r;
    r.type = RecurrenceType::MonthNth;
    r.lParam1 = 2, r.lParam2 = 5, r.lParam3 = DayOfWeek::TU;
    r.dEndValue = 6;
    series.SetRecurrence(r);
    std::wstring xml = Build(MIT_APPOINTMENT);
    EXPECT_NE(xml.find(L"<rule freq=\"MON\"><interval ival=\"2\"/><byday><wkday day=\"TU\"/></byday>"
                       L"<bysetpos poslist=\"-1\"/><count num=\"6\"/></rule>"),
              std::wstring::npos)
        << xml;

    r.type = RecurrenceType::YearNth;
    r.lParam1 = 4, r.lParam2 = DayOfWeek::TH, r.lParam3 = 11;
    r.lEndByDate = 1;
    r.dEndValue = Ole(2026, 11, 26, 9);
    series.SetRecurrence(r);
    series.SetIsAllDay(TRUE);
    xml = Build(MIT_APPOINTMENT);
    EXPECT_NE(xml.find(L"<rule freq=\"YEA\"><byday><wkday day=\"TH\"/></byday><bymonth molist=\"11\"/>"
                       L"<bysetpos poslist=\"4\"/><until d=\"20261126\"/></rule>"),
              std::wstring::npos)
        << xml;
}

TEST_F(CalendarRequest, ATaskWithItsFields) {
    Comp& task = AddInv(true);
    task.SetIsTask(TRUE);
    task.SetSubject(L"Report");
    task.SetStartDate(Ole(2024, 3, 1));
    task.SetEndDate(Ole(2024, 3, 8));
    task.SetTaskStatus(L"WAITING");
    task.SetPercentComplete(40);
    task.SetImportance(L"1");
    task.SetTotalWork(120);
    task.SetMileage(L"12 km");
    task.SetAlarm(TRUE, L"20240307T090000Z", nullptr, nullptr, nullptr);
    EXPECT_EQ(Build(MIT_TASK),
              L"<SetTaskRequest xmlns=\"urn:ostrelMail\" l=\"10\"><default ptst=\"NE\"><m>"
              L"<inv method=\"REQUEST\" fb=\"B\" transp=\"O\" allDay=\"0\" name=\"Report\" loc=\"\" seq=\"0\" "
              L"class=\"PUB\" neverSent=\"0\" draft=\"0\" percentComplete=\"40\" priority=\"1\" uid=\"u1\" "
              L"status=\"WAITING\"><s d=\"20240301\"/><e d=\"20240308\"/><alarm action=\"DISPLAY\"><trigger>"
              L"<abs d=\"20240307T090000Z\"/></trigger><desc/></alarm>"
              L"<xprop name=\"X-OSTREL-TASK-TOTAL-WORK\" value=\"120\"/>"
              L"<xprop name=\"X-OSTREL-TASK-MILEAGE\" value=\"12 km\"/></inv><su>Report</su></m></default>"
              L"</SetTaskRequest>");
}

// The reader takes what the server sends and refuses what it cannot use, without crashing.
TEST(CalendarReader, RepliesWithoutASeriesOrWithBadValues) {
    std::wstring wsError;
    EXPECT_FALSE(ReadCalendarReplyXml("<not xml", wsError));
    EXPECT_FALSE(
        ReadCalendarReplyXml("<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">"
                             "<soap:Body><GetAppointmentResponse/></soap:Body></soap:Envelope>",
                             wsError));
    EXPECT_EQ(wsError, L"no calendar item in the reply");
    EXPECT_FALSE(
        ReadCalendarReplyXml("<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">"
                             "<soap:Body><GetAppointmentResponse><appt id=\"1\"><except><m><inv/></m>"
                             "</except></appt></GetAppointmentResponse></soap:Body></soap:Envelope>",
                             wsError));
    EXPECT_EQ(wsError, L"the calendar item has no series");

    AppointmentPtr p = ReadCalendarReplyXml(
        "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body><GetAppointmentResponse>"
        "<appt id=\"99999999999\" nextAlarm=\"-5\" t=\"1,,x,3\"><default><m><tz id=\"Z\" stdoff=\"60\" dayoff=\"120\">"
        "<standard week=\"9\" wkday=\"0\" mon=\"13\" hour=\"2\"/><daylight week=\"-1\" wkday=\"1\" mon=\"3\" "
        "hour=\"2\"/>"
        "</tz><inv seq=\"-99999999999\" percentComplete=\"500\"><s d=\"2024\" tz=\"nope\"/>"
        "<recur><add><rule freq=\"HOU\"/></add></recur><alarm><trigger><rel m=\"x\"/></trigger></alarm></inv>"
        "</m></default></appt></GetAppointmentResponse></soap:Body></soap:Envelope>",
        wsError);
    ASSERT_TRUE(p);
    const Comp* pComp = p->GetDefaultInv()->CompAt(0);
    EXPECT_EQ(p->GetId(), INT32_MAX);
    EXPECT_EQ(p->GetDefaultInv()->GetSeqId(), INT32_MIN);
    EXPECT_FALSE(pComp->GetIsRecurring());  // an unknown frequency is not guessed at
    EXPECT_EQ(pComp->GetStartDateTimeZone(), nullptr);
    // The out-of-range standard rule is dropped; the zone keeps no transition.
    EXPECT_FALSE(p->GetDefaultInv()->TimeZoneAt(0)->HasTransition());
    EXPECT_EQ(p->TagIds().size(), 3u);
}

TEST(CalendarReader, SetAppointmentResponseGivesTheStoredId) {
    Platform::ComPtr<IXMLDOMDocument2> doc;
    ASSERT_EQ(Platform::Xml::CreateDocument(doc.AddressOf()), S_OK);
    ASSERT_EQ(
        doc->loadXMLBytes("<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>"
                          "<SetTaskResponse xmlns=\"urn:ostrelMail\" calItemId=\"4711\"/></soap:Body></soap:Envelope>"),
        S_OK);
    EXPECT_EQ(Ostrel::Rpc::SetAppointmentResponse(doc.Get()).ApptDefaultId(), 4711);
}
