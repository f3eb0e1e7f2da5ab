#include "CalendarTestSupport.h"

#include "Ostrel/Convert/Calendar/CalendarDump.h"
#include "Ostrel/Convert/Calendar/OstrelToOL.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Base/Paths.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Util/Text/Strings.h"
#include "Util/Time/TimeUtil.h"
#include "ostrel-server/Server.h"

#include <httplib.h>

namespace CalendarTest {

using Ostrel::Mapi::NamedProps;
using Ostrel::Mapi::NamedPropsManager;

void CalendarStore::SetUp() {
    ASSERT_TRUE(Ostrel::Util::SetLocalTimeZone("UTC"));
    m_pScopedClock = std::make_unique<Ostrel::Util::ScopedClock>(m_clock);
    static int s_iStore = 0;
    const auto path = Platform::OstrelHome() / ("calendar" + std::to_string(++s_iStore) + ".osd");
    ASSERT_EQ(Platform::OpenOsdStore(path, true, L"Calendar", true, m_pStore.AddressOf()), S_OK);
    ULONG ulType = 0;
    ASSERT_EQ(m_pStore->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType,
                                  reinterpret_cast<IUnknown**>(m_pRoot.AddressOf())),
              S_OK);
    ASSERT_EQ(Platform::Mapi::CreateAddrBook(m_pAddrBook.AddressOf()), S_OK);
    NamedProps* pProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pStore.Get());
    ASSERT_NE(pProps, nullptr);
    SPropValue primary{};
    primary.ulPropTag = pProps->GetPropTag(NamedProps::PRIMARY_STORE, PT_BOOLEAN);
    primary.Value.b = 1;
    ASSERT_EQ(HrSetOneProp(m_pStore.Get(), &primary), S_OK);
}

void CalendarStore::TearDown() {
    m_pRoot.Reset();
    m_pStore.Reset();
    m_pAddrBook.Reset();
    NamedPropsManager::Cleanup();
    m_pScopedClock.reset();
    Ostrel::Util::SetLocalTimeZone("UTC");
}

CalendarStore::Result CalendarStore::Convert(const std::string& replyXml) {
    std::wstring wsError;
    Ostrel::Mail::AppointmentPtr pAppointment = Ostrel::Mail::ReadCalendarReplyXml(replyXml, wsError);
    if (!pAppointment) {
        Result result;
        result.wsError = L"read: " + wsError;
        return result;
    }
    return Convert(*pAppointment);
}

CalendarStore::Result CalendarStore::Convert(Ostrel::Mail::Appointment& appointment, IMessage* pTarget,
                                             Ostrel::Rpc::OstrelConnection* pSource) {
    Result result;
    result.pMessage = Platform::ComPtr<IMessage>(pTarget);
    if (!pTarget && m_pRoot->CreateMessage(nullptr, 0, result.pMessage.AddressOf()) != S_OK)
        return result;
    wchar_t* pwszError = nullptr;
    wchar_t* pwszWarning = nullptr;
    if (appointment.IsTask()) {
        Ostrel::Mail::OstrelToOLTask converter;
        converter.SetAttachmentSource(pSource);
        result.iResult = converter.ConvertTask(m_pStore.Get(), appointment, result.pMessage.Get(), m_pAddrBook.Get(),
                                               kUser, 1, &pwszError, &pwszWarning);
    } else {
        Ostrel::Mail::OstrelToOLAppt converter;
        converter.SetAttachmentSource(pSource);
        result.iResult = converter.ConvertAppt(m_pStore.Get(), appointment, result.pMessage.Get(), m_pAddrBook.Get(),
                                               kUser, {}, 1, &pwszError, &pwszWarning);
    }
    result.wsError = pwszError ? pwszError : L"";
    result.wsWarning = pwszWarning ? pwszWarning : L"";
    Ostrel::Util::SafeDelete(pwszError);
    Ostrel::Util::SafeDelete(pwszWarning);
    return result;
}

std::string CalendarStore::Dump(IMessage* pMessage) {
    return Ostrel::Mail::DumpCalendarItem(pMessage, m_pStore.Get());
}

std::string Post(OstrelServer::Server& server, const std::string& callName, const std::string& bodyXml) {
    const std::string envelope =
        "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>"
        "<context xmlns=\"urn:ostrel\"/></soap:Header><soap:Body>" +
        bodyXml + "</soap:Body></soap:Envelope>";
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(60, 0);
    auto res = client.Post(("/service/soap/" + callName).c_str(), envelope, "application/soap+xml; charset=utf-8");
    return res ? res->body : std::string();
}

}  // namespace CalendarTest
