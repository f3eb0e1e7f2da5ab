// The occurrences of every recurring server item, expanded from the store item it converts into,
// are the ones the server's own rule gives: across daylight saving changes, with modified,
// cancelled and excluded instances, for items in several zones and with the machine in three.
#include "CalendarTestSupport.h"

#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Platform/Base/Utf.h"
#include "Util/Time/TimeUtil.h"
#include "ostrel-server/Calendar.h"

#include <set>

namespace {

using Ostrel::Mapi::Appt;
using Ostrel::Mapi::COutlookRecurrencePattern;

constexpr int64_t kFrom = 1704067200;  // 2024-01-01 00:00 UTC
constexpr int64_t kTo = 1767225600;    // 2026-01-01 00:00 UTC

int64_t UnixOf(const FILETIME& ft) {
    return Ostrel::Util::FileTimeToUnixTime64(ft);
}

std::string Reply(const OstrelServer::CalendarItem& item) {
    return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body>"
           "<GetAppointmentResponse xmlns=\"urn:ostrelMail\">" +
           item.Xml() + "</GetAppointmentResponse></soap:Body></soap:Envelope>";
}

std::string Text(const std::set<int64_t>& times) {
    std::string s;
    for (int64_t t : times) {
        FILETIME ft{};
        SYSTEMTIME st{};
        Ostrel::Util::UnixTimeToFileTime(t, &ft);
        Ostrel::Util::FileTimeToSystemTime(&ft, &st);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02uZ ", st.wYear, st.wMonth, st.wDay, st.wHour,
                      st.wMinute);
        s += buf;
    }
    return s;
}

class CalendarOccurrences : public CalendarTest::CalendarStore {
protected:
    // The UTC starts of the store item's occurrences in [kFrom, kTo), modified ones at their
    // original start.
    std::set<int64_t> StoreOccurrences(IMessage* pMessage) {
        Appt appt(pMessage, m_pStore.Get());
        Ostrel::Mail::TimeZone::OlkTimeZone olk{};
        std::wstring wsZone;
        EXPECT_EQ(appt.GetLegacyTimezone(&olk, &wsZone), S_OK);
        COutlookRecurrencePattern& pattern = appt.GetRecurrencePatternRef();
        EXPECT_EQ(pattern.LoadRecurrence(&olk, wsZone.c_str(), 0), S_OK);
        std::vector<ULONG> dates;
        pattern.ExpandOccurrences(pattern.m_ulStartDate, 0xFFFFFFFF, dates);
        std::set<int64_t> times;
        for (size_t i = 0; i < pattern.GetExceptionCount(); ++i) {
            FILETIME ft{};
            EXPECT_TRUE(pattern.GetException(i)->GetOriginalDateTime(ft));
            times.insert(UnixOf(ft));
        }
        for (ULONG ulDate : dates) {
            FILETIME ft{};
            EXPECT_TRUE(Ostrel::Mapi::RecurrenceTime::LocalMinutesToUtc(&pattern.GetRefOutlookRecurrencePatternTZ(),
                                                                        ulDate + pattern.GetStartTime(), ft));
            if (UnixOf(ft) >= kFrom && UnixOf(ft) < kTo)
                times.insert(UnixOf(ft));
        }
        return times;
    }
};

}  // namespace

TEST_F(CalendarOccurrences, StoreSeriesExpandAsTheServerRuleInEveryMachineZone) {
    int cSeries = 0;
    for (const char* pszMachineZone : {"Europe/London", "America/New_York", "Australia/Sydney"}) {
        ASSERT_TRUE(Ostrel::Util::SetLocalTimeZone(pszMachineZone));
        for (const OstrelServer::CalendarItem& item : OstrelServer::CalendarBook::SeedItems()) {
            const std::vector<int64_t> expected = OstrelServer::Occurrences(item, kFrom, kTo);
            if (item.task || expected.empty())
                continue;
            SCOPED_TRACE(item.Uid() + " with the machine in " + pszMachineZone);
            ++cSeries;
            Result result = Convert(Reply(item));
            ASSERT_EQ(result.iResult, 1) << testing::PrintToString(result.wsError);
            EXPECT_EQ(result.wsWarning, L"");
            const std::set<int64_t> want(expected.begin(), expected.end());
            EXPECT_EQ(Text(StoreOccurrences(result.pMessage.Get())), Text(want));
        }
    }
    EXPECT_GE(cSeries, 3 * 15);
}
