#include "PushTestSupport.h"

#include "Ostrel/Convert/Calendar/OLToOstrelPush.h"
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "ostrel-server/Calendar.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>
#include <vector>

namespace CalendarTest {

void PushStore::SetUp() {
    CalendarStore::SetUp();
    Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    m_pSession = std::make_shared<TestSupport::SessionDouble>();
    Ostrel::Rpc::SetSessionFinder([s = m_pSession](const std::wstring&) { return s.get(); });
    m_server.Start();
    m_server.State<OstrelServer::CalendarBook>().Clear();
    m_pSession->port = static_cast<DWORD>(m_server.Port());
    Ostrel::Rpc::ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
    m_pConnection = std::make_unique<Ostrel::Rpc::OstrelConnection>(
        L"calendar", L"127.0.0.1", m_pSession->port, 0, Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"profile");
}

void PushStore::TearDown() {
    m_pConnection.reset();
    m_server.Stop();
    Ostrel::Rpc::SetSessionFinder(nullptr);
    Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    CalendarStore::TearDown();
}

LONG PushStore::Push(IMessage* pItem) {
    Ostrel::Mail::CalendarPusher pusher(*m_pConnection, m_pStore.Get(), m_pAddrBook.Get(), L"Mailbox User", kUser);
    LONG lId = 0;
    return SUCCEEDED(pusher.Push(pItem, &lId)) ? lId : 0;
}

std::string PushStore::Fetch(LONG lId, bool bTask) {
    const char* pszCall = bTask ? "GetTaskRequest" : "GetAppointmentRequest";
    return Post(
        m_server, pszCall,
        std::string("<") + pszCall + " xmlns=\"urn:ostrelMail\" id=\"" + std::to_string(lId) + "\" sync=\"1\"/>");
}

PushStore::RoundTrip PushStore::PushAndBack(IMessage* pItem, bool bTask) {
    RoundTrip trip;
    trip.sBefore = Dump(pItem);
    const LONG lId = Push(pItem);
    EXPECT_GT(lId, 0);
    if (lId <= 0)
        return trip;
    trip.sReply = Fetch(lId, bTask);
    trip.back = Convert(trip.sReply);
    EXPECT_EQ(trip.back.iResult, 1) << testing::PrintToString(trip.back.wsError);
    if (trip.back.pMessage)
        trip.sAfter = Dump(trip.back.pMessage.Get());
    return trip;
}

void AddFile(IMessage* pMessage, const wchar_t* pwszName, const wchar_t* pwszType, const std::string& sContent) {
    Platform::ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    ASSERT_EQ(pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    SPropValue v[4]{};
    v[0].ulPropTag = PR_ATTACH_METHOD, v[0].Value.l = ATTACH_BY_VALUE;
    v[1].ulPropTag = PR_ATTACH_LONG_FILENAME_W, v[1].Value.lpszW = const_cast<wchar_t*>(pwszName);
    v[2].ulPropTag = PR_ATTACH_MIME_TAG_W, v[2].Value.lpszW = const_cast<wchar_t*>(pwszType);
    v[3].ulPropTag = PR_ATTACH_DATA_BIN;
    v[3].Value.bin =
        SBinary{static_cast<ULONG>(sContent.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(sContent.data()))};
    ASSERT_EQ(pAttach->SetProps(4, v, nullptr), S_OK);
    ASSERT_EQ(pAttach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
}

std::string LineDiff(const std::string& sExpected, const std::string& sActual) {
    auto Lines = [](const std::string& s) {
        std::multiset<std::string> lines;
        std::istringstream in(s);
        for (std::string line; std::getline(in, line);)
            lines.insert(line);
        return lines;
    };
    const auto a = Lines(sExpected), b = Lines(sActual);
    std::vector<std::string> gone, added;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(gone));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(added));
    std::string out;
    for (const std::string& line : gone)
        out += "- " + line + "\n";
    for (const std::string& line : added)
        out += "+ " + line + "\n";
    return out;
}

}  // namespace CalendarTest
