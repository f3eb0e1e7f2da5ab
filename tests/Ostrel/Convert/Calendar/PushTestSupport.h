// The calendar store of CalendarTestSupport.h with a running simulator and a connection to it, for
// pushing store items and reading them back.
#pragma once

#include "CalendarTestSupport.h"

#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Support/SessionDouble.h"
#include "ostrel-server/Server.h"

#include <memory>
#include <string>

namespace CalendarTest {

class PushStore : public CalendarStore {
protected:
    void SetUp() override;
    void TearDown() override;

    // Pushes the item; the server id, or 0 when the push failed.
    LONG Push(IMessage* pItem);
    // The server's reply for the item (GetAppointmentRequest or GetTaskRequest).
    std::string Fetch(LONG lId, bool bTask);
    // Push, fetch, and convert the reply into a new store item; the text views of both.
    struct RoundTrip {
        std::string sBefore;
        std::string sAfter;
        std::string sReply;
        Result back;
    };
    RoundTrip PushAndBack(IMessage* pItem, bool bTask);

    OstrelServer::Server m_server;
    std::shared_ptr<TestSupport::SessionDouble> m_pSession;
    std::unique_ptr<Ostrel::Rpc::OstrelConnection> m_pConnection;
};

// Adds a file attachment to the message and saves both.
void AddFile(IMessage* pMessage, const wchar_t* pwszName, const wchar_t* pwszType, const std::string& sContent);

// The lines of two text views that differ, for a failure message.
std::string LineDiff(const std::string& sExpected, const std::string& sActual);

}  // namespace CalendarTest
