// The simulator's calendar calls against the library's requests and reply reader: what the
// write calls store is what the read calls give back, escaped, and bad requests are refused.
#include "Ostrel/Rpc/Requests/CalendarReader.h"
#include "Ostrel/Rpc/Requests/CalendarRequests.h"
#include "Ostrel/Rpc/Transport/ConnectionSession.h"
#include "Platform/Base/Utf.h"
#include "Support/SessionDouble.h"
#include "Support/TempHome.h"
#include "Util/Time/TimeUtil.h"
#include "ostrel-server/Calendar.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/Soap.h"

#include <httplib.h>

#include <gtest/gtest.h>

namespace {

using Ostrel::Mail::AppointmentPtr;

class CalendarServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Ostrel::Util::SetLocalTimeZone("Europe/Berlin"));
        m_session = std::make_shared<TestSupport::SessionDouble>();
        Ostrel::Rpc::SetSessionFinder([s = m_session](const std::wstring&) { return s.get(); });
        m_server.Start();
    }
    void TearDown() override {
        Ostrel::Rpc::SetSessionFinder(nullptr);
        Ostrel::Util::SetLocalTimeZone("UTC");
    }

    OstrelServer::CalendarBook& Book() { return m_server.State<OstrelServer::CalendarBook>(); }

    std::string Post(const std::string& callName, const std::string& bodyXml) {
        httplib::Client client("127.0.0.1", m_server.Port());
        client.set_read_timeout(60, 0);
        auto res = client.Post(("/service/soap/" + callName).c_str(), OstrelServer::SoapEnvelope(bodyXml),
                               "application/soap+xml; charset=utf-8");
        EXPECT_TRUE(res);
        return res ? res->body : std::string();
    }

    std::string Get(int32_t id, bool task) {
        Ostrel::Rpc::GetAppointmentRequest request(id, task);
        return Post(task ? "GetTaskRequest" : "GetAppointmentRequest", BodyXml(request));
    }

    // The body element of a built request, as text.
    static std::string BodyXml(Ostrel::Rpc::Request& request) {
        Platform::ComPtr<IXMLDOMNode> body;
        EXPECT_EQ(request.GetDocument()->selectSingleNode(L"/soap:Envelope/soap:Body/*", body.AddressOf()), S_OK);
        std::string xml;
        EXPECT_EQ(body->get_xmlUtf8(xml), S_OK);
        return xml;
    }

    // The SetAppointmentRequest or SetTaskRequest body for an item read from a reply.
    static std::string SetBody(Ostrel::Mail::Appointment& appt, LONG folderId) {
        Ostrel::Rpc::SetAppointmentRequest request(
            appt, appt.IsTask() ? Ostrel::Mail::MIT_TASK : Ostrel::Mail::MIT_APPOINTMENT, nullptr, appt.TagIds(),
            appt.TagNames(), folderId);
        return BodyXml(request);
    }

    TestSupport::TempHome m_home;
    std::shared_ptr<TestSupport::SessionDouble> m_session;
    OstrelServer::Server m_server;
};

}  // namespace

// Every seeded item, read and written back, is stored so that reading and writing it again gives
// the same request: nothing the request carries is lost on the way through the server.
TEST_F(CalendarServer, EveryItemSurvivesAWriteAndReadBack) {
    for (int32_t id : Book().Ids()) {
        const bool bTask = Book().Get(id)->task;
        SCOPED_TRACE(Book().Get(id)->Uid());
        std::wstring wsError;
        AppointmentPtr first = Ostrel::Mail::ReadCalendarReplyXml(Get(id, bTask), wsError);
        ASSERT_TRUE(first) << testing::PrintToString(wsError);
        const std::string sentOnce = SetBody(*first, first->GetParentFolder());
        const std::string reply = Post(bTask ? "SetTaskRequest" : "SetAppointmentRequest", sentOnce);
        ASSERT_NE(reply.find(bTask ? "calItemId=\"" + std::to_string(id) : "apptId=\"" + std::to_string(id)),
                  std::string::npos)
            << reply;
        AppointmentPtr second = Ostrel::Mail::ReadCalendarReplyXml(Get(id, bTask), wsError);
        ASSERT_TRUE(second) << testing::PrintToString(wsError);
        EXPECT_EQ(SetBody(*second, second->GetParentFolder()), sentOnce);
        EXPECT_EQ(second->NumExceptions(), first->NumExceptions());
        EXPECT_EQ(second->NumCancelExceptions(), first->NumCancelExceptions());
    }
}

TEST_F(CalendarServer, AStoredItemIsEchoedEscaped) {
    const std::string body =
        "<SetAppointmentRequest xmlns=\"urn:ostrelMail\" l=\"10\"><default ptst=\"AC\"><m>"
        "<inv method=\"REQUEST\" name=\"a &lt;b&gt; &amp; &quot;c&quot;\" loc=\"x&apos;y\" uid=\"u-escape\" "
        "allDay=\"0\">"
        "<s d=\"20240305T090000Z\"/><e d=\"20240305T100000Z\"/></inv><su>&lt;/su&gt;&amp;</su>"
        "<mp ct=\"text/plain\"><content>]]&gt; &lt;!-- --&gt;</content></mp></m></default></SetAppointmentRequest>";
    const std::string reply = Post("SetAppointmentRequest", body);
    const size_t pos = reply.find("apptId=\"");
    ASSERT_NE(pos, std::string::npos) << reply;
    const int32_t id = std::stoi(reply.substr(pos + 8));
    std::wstring wsError;
    AppointmentPtr appt = Ostrel::Mail::ReadCalendarReplyXml(Get(id, false), wsError);
    ASSERT_TRUE(appt) << testing::PrintToString(wsError);
    const Ostrel::Mail::Comp* pComp = appt->GetDefaultInv()->CompAt(0);
    EXPECT_STREQ(pComp->GetSubject(), L"a <b> & \"c\"");
    EXPECT_STREQ(pComp->GetLocation(), L"x'y");
    EXPECT_STREQ(appt->GetDefaultInv()->GetBody(), L"]]> <!-- -->");
    // Writing the same uid again replaces the item rather than adding one.
    const size_t cItems = Book().Ids().size();
    EXPECT_NE(Post("SetAppointmentRequest", body).find("apptId=\"" + std::to_string(id) + "\""), std::string::npos);
    EXPECT_EQ(Book().Ids().size(), cItems);
}

TEST_F(CalendarServer, BadCallsAreRefused) {
    EXPECT_NE(Post("GetAppointmentRequest", "<GetAppointmentRequest xmlns=\"urn:ostrelMail\" id=\"99999\"/>")
                  .find("mail.NO_SUCH_ITEM"),
              std::string::npos);
    EXPECT_NE(Post("GetAppointmentRequest", "<GetAppointmentRequest xmlns=\"urn:ostrelMail\" id=\"1x\"/>")
                  .find("service.INVALID_REQUEST"),
              std::string::npos);
    // A task is not an appointment.
    const int32_t taskId = [&] {
        for (int32_t id : Book().Ids())
            if (Book().Get(id)->task)
                return id;
        return 0;
    }();
    EXPECT_NE(Get(taskId, false).find("mail.NO_SUCH_ITEM"), std::string::npos);
    const size_t cItems = Book().Ids().size();
    EXPECT_NE(Post("SetAppointmentRequest", "<SetAppointmentRequest xmlns=\"urn:ostrelMail\" l=\"10\"/>")
                  .find("service.INVALID_REQUEST"),
              std::string::npos);
    EXPECT_NE(Post("SetAppointmentRequest",
                   "<SetAppointmentRequest xmlns=\"urn:ostrelMail\"><default><m/></default></SetAppointmentRequest>")
                  .find("service.INVALID_REQUEST"),
              std::string::npos);
    std::string deep;
    for (int i = 0; i < 100; ++i)
        deep = "<x>" + deep + "</x>";
    EXPECT_NE(Post("SetAppointmentRequest", "<SetAppointmentRequest xmlns=\"urn:ostrelMail\"><default><m><inv>" + deep +
                                                "</inv></m></default></SetAppointmentRequest>")
                  .find("service.INVALID_REQUEST"),
              std::string::npos);
    // An attachment whose upload the server does not have: nothing is stored.
    EXPECT_NE(Post("SetAppointmentRequest",
                   "<SetAppointmentRequest xmlns=\"urn:ostrelMail\"><default><m><inv "
                   "uid=\"u-1\"/><attach aid=\"upload-404\"/></m></default>"
                   "</SetAppointmentRequest>")
                  .find("mail.NO_SUCH_UPLOAD"),
              std::string::npos);
    EXPECT_EQ(Book().Ids().size(), cItems);
}
