// Shared set-up of the calendar conversion tests: a store marked as the user's primary store, a
// fixed clock and machine zone, the simulator's replies, and one conversion of a reply into a
// new message with its text view.
#pragma once

#include "Ostrel/Rpc/Requests/CalendarReader.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/TempHome.h"
#include "Util/Time/Clock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace OstrelServer {
class Server;
}
namespace Ostrel::Rpc {
class OstrelConnection;
}

namespace CalendarTest {

class CalendarStore : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    struct Result {
        int iResult = 0;
        std::wstring wsError;
        std::wstring wsWarning;
        Platform::ComPtr<IMessage> pMessage;
    };
    // Reads the reply, converts it into a new message of the root folder and saves it.
    Result Convert(const std::string& replyXml);
    // Into pTarget instead when given; files the item lists are fetched through pSource when given.
    Result Convert(Ostrel::Mail::Appointment& appointment, IMessage* pTarget = nullptr,
                   Ostrel::Rpc::OstrelConnection* pSource = nullptr);
    std::string Dump(IMessage* pMessage);

    TestSupport::TempHome m_home;
    Ostrel::Util::ManualClock m_clock;  // 2024-01-01 00:00 UTC
    std::unique_ptr<Ostrel::Util::ScopedClock> m_pScopedClock;
    Platform::ComPtr<IMsgStore> m_pStore;
    Platform::ComPtr<IMAPIFolder> m_pRoot;
    Platform::ComPtr<IAddrBook> m_pAddrBook;
};

// Posts one SOAP body to the simulator and returns the reply as it came.
std::string Post(OstrelServer::Server& server, const std::string& callName, const std::string& bodyXml);

// The user the simulator's items are addressed to.
constexpr const wchar_t* kUser = L"user@ostrel.test";

}  // namespace CalendarTest
