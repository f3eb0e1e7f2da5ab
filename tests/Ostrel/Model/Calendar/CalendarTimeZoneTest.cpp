#include "CalendarTestUtil.h"

#include "Platform/Mapi/MapiDefs.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace CalendarTest;
using namespace Ostrel::Mail;
using Ostrel::Util::LogCapture;

namespace {

using Bytes = std::vector<BYTE>;

template <typename T>
Bytes BytesOf(const T& value) {
    const BYTE* pb = reinterpret_cast<const BYTE*>(&value);
    return Bytes(pb, pb + sizeof value);
}

void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<BYTE>(v));
    b.push_back(static_cast<BYTE>(v >> 8));
}

void Put32(Bytes& b, int32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<BYTE>(static_cast<uint32_t>(v) >> (8 * i)));
}

void PutRule(Bytes& b, unsigned uMonth, unsigned uDayOfWeek, unsigned uWeek, unsigned uHour) {
    for (unsigned v : {0u, uMonth, uDayOfWeek, uWeek, uHour, 0u, 0u, 0u})
        Put16(b, v);
}

// A definition blob: header with the key name, then one 66-byte rule per entry.
struct TestRule {
    unsigned uYear;
    int32_t lBias;
    int32_t lDaylightBias;
};

Bytes Definition(const std::u16string& keyName, const std::vector<TestRule>& rules, unsigned uStoredCount = 0) {
    Bytes b = {2, 1};
    Put16(b, 6 + 2 * static_cast<unsigned>(keyName.size()));
    Put16(b, 2);
    Put16(b, static_cast<unsigned>(keyName.size()));
    for (char16_t c : keyName)
        Put16(b, c);
    Put16(b, uStoredCount ? uStoredCount : static_cast<unsigned>(rules.size()));
    for (const TestRule& rule : rules) {
        b.insert(b.end(), {2, 1});
        Put16(b, 0x3E);
        Put16(b, 0);
        Put16(b, rule.uYear);
        b.insert(b.end(), 14, 0);
        Put32(b, rule.lBias);
        Put32(b, 0);
        Put32(b, rule.lDaylightBias);
        PutRule(b, 10, 0, 5, 3);
        PutRule(b, 3, 0, 5, 2);
    }
    return b;
}

// The parse runs with the clock in 2024.
class DefinitionBlob : public ::testing::Test {
protected:
    HRESULT Parse(const Bytes& b) {
        Ostrel::Util::SafeDelete(m_pwszKeyName);
        return TimeZone::ParseOLTimeZoneProp(b.data(), static_cast<ULONG>(b.size()), m_olk, &m_pwszKeyName);
    }
    void TearDown() override { Ostrel::Util::SafeDelete(m_pwszKeyName); }

    Ostrel::Util::ManualClock m_clock;
    Ostrel::Util::ScopedClock m_scopedClock{m_clock};
    TimeZone::OlkTimeZone m_olk{};
    wchar_t* m_pwszKeyName = nullptr;
};

}  // namespace

TEST(CalendarTimeZone, RuleWeekEncodings) {
    TimeZone tz(L"Z");
    SYSTEMTIME st;
    tz.SetStandardStart(-1, 0, 10, 3, 0, 0);
    tz.GetStandardStart(st);
    EXPECT_EQ(st.wDay, 5);
    // Week 0: derived from the day of the month the rule was seen on.
    const std::pair<LONG, WORD> aMonthDays[] = {{1, 1}, {7, 1}, {8, 2}, {15, 3}, {28, 4}, {29, 5}, {31, 5}};
    for (auto [lMonthDay, wWeek] : aMonthDays) {
        tz.SetDaylightStart(0, 0, 3, 2, 0, 0, lMonthDay);
        tz.GetDaylightStart(st);
        EXPECT_EQ(st.wDay, wWeek) << lMonthDay;
    }
    tz.SetDaylightStart(2, 6, 4, 23, 59, 30);
    tz.GetDaylightStart(st);
    EXPECT_EQ(Str(st), "0000-04-02 23:59:30");
    EXPECT_EQ(st.wDayOfWeek, 6);
    EXPECT_EQ(st.wMilliseconds, 0);

    EXPECT_TRUE(tz.HasTransition());
    TimeZone utc(nullptr);
    EXPECT_FALSE(utc.HasTransition());
    EXPECT_EQ(utc.GetId(), nullptr);
}

TEST(CalendarTimeZone, UtcGivesAllZeroStructures) {
    TimeZone utc(L"UTC");
    utc.SetStandardStart(5, 0, 10, 3, 0, 0);  // rules without offsets are not carried
    TIME_ZONE_INFORMATION tzi;
    std::memset(&tzi, 0xCC, sizeof tzi);
    EXPECT_TRUE(utc.PopulateTimeZoneInfo(tzi));
    EXPECT_EQ(BytesOf(tzi), Bytes(172, 0));
    TimeZone::OlkTimeZone olk;
    std::memset(&olk, 0xCC, sizeof olk);
    EXPECT_TRUE(utc.PopulateTimeZoneInfo(olk));
    EXPECT_EQ(BytesOf(olk), Bytes(48, 0));
    TimeZone::_TZI reg;
    std::memset(&reg, 0xCC, sizeof reg);
    EXPECT_TRUE(utc.PopulateTimeZoneInfo(reg));
    EXPECT_EQ(BytesOf(reg), Bytes(44, 0));
}

// Berlin; and London, whose standard offset of 0 is not UTC because it has daylight time.
TEST(CalendarTimeZone, WindowsAndOutlookStructuresByteForByte) {
    TimeZone berlin;
    MakeBerlin(berlin);
    berlin.SetStandardStart(-1, 0, 10, 3, 0, 45);  // seconds are not written into the structures
    TimeZone london;
    london.SetId(L"Europe/London");
    london.SetStandardOffset(0);
    london.SetDaylightOffset(60);
    london.SetStandardStart(-1, 0, 10, 2, 0, 0);
    london.SetDaylightStart(-1, 0, 3, 1, 0, 0);
    const struct {
        TimeZone* pZone;
        int32_t lBias;
        unsigned uStandardHour, uDaylightHour;
    } cases[] = {{&berlin, -60, 3, 2}, {&london, 0, 2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pZone->GetId());
        Bytes standard, daylight;
        PutRule(standard, 10, 0, 5, c.uStandardHour);
        PutRule(daylight, 3, 0, 5, c.uDaylightHour);

        TimeZone::OlkTimeZone olk;
        ASSERT_TRUE(c.pZone->PopulateTimeZoneInfo(olk));
        Bytes expected;
        Put32(expected, c.lBias);
        Put32(expected, 0);
        Put32(expected, -60);
        Put16(expected, 0);
        expected.insert(expected.end(), standard.begin(), standard.end());
        Put16(expected, 0);
        expected.insert(expected.end(), daylight.begin(), daylight.end());
        EXPECT_EQ(BytesOf(olk), expected);

        TimeZone::_TZI reg;
        ASSERT_TRUE(c.pZone->PopulateTimeZoneInfo(reg));
        expected.clear();
        Put32(expected, c.lBias);
        Put32(expected, 0);
        Put32(expected, -60);
        expected.insert(expected.end(), standard.begin(), standard.end());
        expected.insert(expected.end(), daylight.begin(), daylight.end());
        EXPECT_EQ(BytesOf(reg), expected);

        TIME_ZONE_INFORMATION tzi;
        ASSERT_TRUE(c.pZone->PopulateTimeZoneInfo(tzi));
        expected.clear();
        Put32(expected, c.lBias);
        expected.insert(expected.end(), 64, 0);
        expected.insert(expected.end(), standard.begin(), standard.end());
        Put32(expected, 0);
        expected.insert(expected.end(), 64, 0);
        expected.insert(expected.end(), daylight.begin(), daylight.end());
        Put32(expected, -60);
        EXPECT_EQ(BytesOf(tzi), expected);
    }
}

TEST(CalendarTimeZone, InitializeFromWindowsAndOutlookForms) {
    TimeZone ny;
    MakeNewYork(ny);
    TIME_ZONE_INFORMATION tzi;
    ny.PopulateTimeZoneInfo(tzi);
    const char16_t szName[] = u"Eastern Standard Time";
    std::memcpy(tzi.StandardName, szName, sizeof szName);
    tzi.StandardBias = 99;  // not read

    TimeZone copy(L"old");
    copy.Initialize(tzi);
    EXPECT_STREQ(copy.GetId(), L"Eastern Standard Time");
    EXPECT_EQ(copy.GetStandardOffset(), -300);
    EXPECT_EQ(copy.GetDaylightOffset(), -240);
    SYSTEMTIME st;
    copy.GetDaylightStart(st);
    EXPECT_EQ(Str(st), "0000-03-02 02:00:00");
    copy.GetStandardStart(st);
    EXPECT_EQ(Str(st), "0000-11-01 02:00:00");

    // A name filling all 32 units has no terminator.
    for (auto& c : tzi.StandardName)
        c = u'x';
    copy.Initialize(tzi);
    EXPECT_EQ(std::wstring(copy.GetId()), std::wstring(32, L'x'));

    // Without daylight rules the daylight offset and rule are zero.
    TIME_ZONE_INFORMATION india{};
    india.Bias = -330;
    india.DaylightBias = -60;
    copy.Initialize(india);
    EXPECT_EQ(copy.GetStandardOffset(), 330);
    EXPECT_EQ(copy.GetDaylightOffset(), 0);
    EXPECT_FALSE(copy.HasTransition());
    EXPECT_STREQ(copy.GetId(), L"");

    TimeZone::OlkTimeZone olk;
    ny.PopulateTimeZoneInfo(olk);
    TimeZone fromOlk;
    fromOlk.Initialize(olk, L"Eastern Standard Time");
    TIME_ZONE_INFORMATION tzi2;
    fromOlk.PopulateTimeZoneInfo(tzi2);
    ny.PopulateTimeZoneInfo(tzi);
    EXPECT_EQ(BytesOf(tzi2), BytesOf(tzi));
    EXPECT_STREQ(fromOlk.GetId(), L"Eastern Standard Time");
}

// Zones without daylight time keep their structures byte for byte through the model: the daylight
// bias stays 0 instead of becoming minus the bias (330 for Kolkata, -420 for Phoenix).
TEST(CalendarTimeZone, ZonesWithoutDaylightTimeRoundTrip) {
    for (LONG lBias : {-330, 420, -600, -345}) {
        SCOPED_TRACE(lBias);
        TIME_ZONE_INFORMATION tzi{};
        tzi.Bias = lBias;
        TimeZone zone;
        zone.Initialize(tzi);
        EXPECT_FALSE(zone.HasTransition());
        TIME_ZONE_INFORMATION back;
        zone.PopulateTimeZoneInfo(back);
        EXPECT_EQ(BytesOf(back), BytesOf(tzi));

        TimeZone::_TZI reg{};
        reg.Bias = lBias;
        TimeZone::_TZI regBack;
        zone.PopulateTimeZoneInfo(regBack);
        EXPECT_EQ(BytesOf(regBack), BytesOf(reg));

        TimeZone::OlkTimeZone olk{};
        olk.lBias = lBias;
        TimeZone fromOlk;
        fromOlk.Initialize(olk, L"zone");
        TimeZone::OlkTimeZone olkBack;
        fromOlk.PopulateTimeZoneInfo(olkBack);
        EXPECT_EQ(BytesOf(olkBack), BytesOf(olk));
    }
}

TEST(CalendarTimeZone, DaylightStartOfAYear) {
    TimeZone berlin, ny;
    MakeBerlin(berlin);
    MakeNewYork(ny);
    SYSTEMTIME st;
    ASSERT_TRUE(berlin.GetNormalizeDstStartDate(st, 2024));
    EXPECT_EQ(Str(st), "2024-03-31 02:00:00");
    ASSERT_TRUE(berlin.GetNormalizeDstStartDate(st, 2025));
    EXPECT_EQ(Str(st), "2025-03-30 02:00:00");
    ASSERT_TRUE(ny.GetNormalizeDstStartDate(st, 2024));
    EXPECT_EQ(Str(st), "2024-03-10 02:00:00");

    // The fifth Thursday of February exists in 2024 only; otherwise the last one is used.
    TimeZone tz;
    tz.SetDaylightStart(5, 4, 2, 1, 0, 0);
    ASSERT_TRUE(tz.GetNormalizeDstStartDate(st, 2024));
    EXPECT_EQ(Str(st), "2024-02-29 01:00:00");
    ASSERT_TRUE(tz.GetNormalizeDstStartDate(st, 2023));
    EXPECT_EQ(Str(st), "2023-02-23 01:00:00");

    // Not a relative rule, or a year outside the calendar: the rule as it is.
    TimeZone none;
    EXPECT_FALSE(none.GetNormalizeDstStartDate(st, 2024));
    EXPECT_EQ(Str(st), "0000-00-00 00:00:00");
    tz.SetDaylightStart(6, 4, 2, 1, 0, 0);
    EXPECT_FALSE(tz.GetNormalizeDstStartDate(st, 2024));
    tz.SetDaylightStart(1, 7, 2, 1, 0, 0);
    EXPECT_FALSE(tz.GetNormalizeDstStartDate(st, 2024));
    tz.SetDaylightStart(1, 0, 13, 1, 0, 0);
    EXPECT_FALSE(tz.GetNormalizeDstStartDate(st, 2024));
    EXPECT_FALSE(berlin.GetNormalizeDstStartDate(st, 1500));
    EXPECT_FALSE(berlin.GetNormalizeDstStartDate(st, 40000));
}

TEST(CalendarTimeZone, MakeDefinitionBlob) {
    TimeZone tz(L"CET");
    MakeBerlin(tz);
    tz.SetId(L"CET");
    BYTE* pb = nullptr;
    ULONG cb = 0;
    ASSERT_TRUE(tz.MakeOLTimeZoneProp(&pb, &cb));
    ASSERT_EQ(cb, 82u);
    const Bytes blob(pb, pb + cb);
    delete[] pb;

    Bytes expected = {2, 1, 12, 0, 2, 0, 3, 0, 'C', 0, 'E', 0, 'T', 0, 1, 0};
    expected.insert(expected.end(), {2, 1, 0x3E, 0, 2, 0, 0x41, 0x06});
    expected.insert(expected.end(), 14, 0);
    Put32(expected, -60);
    Put32(expected, 0);
    Put32(expected, -60);
    PutRule(expected, 10, 0, 5, 3);
    PutRule(expected, 3, 0, 5, 2);
    EXPECT_EQ(blob, expected);
}

TEST(CalendarTimeZone, MakeDefinitionBlobLimits) {
    BYTE* pb = nullptr;
    ULONG cb = 0;
    TimeZone noId;
    ASSERT_TRUE(noId.MakeOLTimeZoneProp(&pb, &cb));
    EXPECT_EQ(cb, 76u);
    delete[] pb;

    TimeZone tz(std::wstring(TimeZone::kMaxKeyNameChars + 1, L'k').c_str());
    pb = reinterpret_cast<BYTE*>(&cb);
    EXPECT_FALSE(tz.MakeOLTimeZoneProp(&pb, &cb));
    EXPECT_EQ(pb, nullptr);
    EXPECT_EQ(cb, 0u);
    EXPECT_FALSE(tz.MakeOLTimeZoneProp(nullptr, &cb));
    EXPECT_FALSE(tz.MakeOLTimeZoneProp(&pb, nullptr));
}

TEST_F(DefinitionBlob, RoundTrip) {
    const std::wstring longest(TimeZone::kMaxKeyNameChars, L'k');
    for (const std::wstring& wsId :
         {std::wstring(L"W. Europe Standard Time"), std::wstring(L"Zone \U0001F600"), std::wstring(), longest}) {
        TimeZone tz(wsId.c_str());
        MakeNewYork(tz);
        tz.SetId(wsId.c_str());
        BYTE* pb = nullptr;
        ULONG cb = 0;
        ASSERT_TRUE(tz.MakeOLTimeZoneProp(&pb, &cb));
        const Bytes blob(pb, pb + cb);
        delete[] pb;
        ASSERT_EQ(Parse(blob), S_OK);
        TimeZone::OlkTimeZone expected;
        tz.PopulateTimeZoneInfo(expected);
        EXPECT_EQ(BytesOf(m_olk), BytesOf(expected));
        ASSERT_NE(m_pwszKeyName, nullptr);
        EXPECT_EQ(m_pwszKeyName, wsId);
    }
}

TEST_F(DefinitionBlob, LastRuleNotInTheFutureWins) {
    LogCapture capture;
    // The stored count (9) is not trusted, and a trailing partial rule is ignored.
    Bytes blob = Definition(u"Zone", {{1601, -60, -60}, {2024, -120, 0}, {2030, -180, -60}}, 9);
    blob.insert(blob.end(), 40, 0xEE);
    ASSERT_EQ(Parse(blob), S_OK);
    EXPECT_EQ(m_olk.lBias, -120);
    EXPECT_EQ(m_olk.lDaylightBias, 0);
    EXPECT_EQ(m_olk.wStandardYear, 0);
    EXPECT_EQ(Str(m_olk.stStandardDate), "0000-10-05 03:00:00");
    EXPECT_STREQ(m_pwszKeyName, L"Zone");
    EXPECT_EQ(capture.Count(L"TZRule for 'Zone'is in the future, wYear=2030"), 1u);
}

TEST_F(DefinitionBlob, OnlyFutureRulesAreNotFound) {
    LogCapture capture;
    std::memset(&m_olk, 0x5A, sizeof m_olk);
    const Bytes before = BytesOf(m_olk);
    EXPECT_EQ(Parse(Definition(u"Later", {{2025, -60, -60}})), MAPI_E_NOT_FOUND);
    EXPECT_EQ(BytesOf(m_olk), before);
    EXPECT_EQ(m_pwszKeyName, nullptr);
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_TRUE(capture.Contains(L"TZRule for 'Later'is in the future, wYear=2025"));

    // Next year the same rule is in force.
    m_clock.SetUnixTimeMs(1735689600000LL);  // 2025-01-01
    EXPECT_EQ(Parse(Definition(u"Later", {{2025, -60, -60}})), S_OK);
}

TEST_F(DefinitionBlob, MalformedBlobsAreNotFound) {
    const Bytes good = Definition(u"Zone", {{2000, -60, -60}});
    std::memset(&m_olk, 0x5A, sizeof m_olk);
    const Bytes before = BytesOf(m_olk);

    {  // the key name runs past the data
        LogCapture capture;
        Bytes b = good;
        b[6] = 40;
        b.resize(14);
        EXPECT_EQ(Parse(b), MAPI_E_NOT_FOUND);
        EXPECT_TRUE(capture.Contains(L"Parse error: cbKeyName=80, cbRemaining=6"));
    }
    {  // a key name longer than a registry key name
        LogCapture capture;
        const Bytes b = Definition(std::u16string(264, u'k'), {{2000, -60, -60}});
        EXPECT_EQ(Parse(b), MAPI_E_NOT_FOUND);
        EXPECT_TRUE(capture.Contains(L"Parse error: cbKeyName=528"));
    }
    {  // the header size points beyond the data
        LogCapture capture;
        Bytes b = good;
        b[2] = 0xFF;
        b[3] = 0xFF;
        EXPECT_EQ(Parse(b), MAPI_E_NOT_FOUND);
        EXPECT_TRUE(capture.Contains(L"Parse error: wCbHeader=65539, cbSize=84"));
    }
    {  // less than one rule: no log line
        LogCapture capture;
        Bytes b = good;
        b.resize(b.size() - 1);
        EXPECT_EQ(Parse(b), MAPI_E_NOT_FOUND);
        EXPECT_TRUE(capture.Messages().empty());
    }
    for (size_t cb = 0; cb < 5; ++cb) {  // too short for a header
        LogCapture capture;
        EXPECT_EQ(Parse(Bytes(good.begin(), good.begin() + cb)), MAPI_E_NOT_FOUND) << cb;
        EXPECT_TRUE(capture.Contains(L"Parse error: wCbHeader=")) << cb;
    }
    EXPECT_EQ(TimeZone::ParseOLTimeZoneProp(nullptr, 100, m_olk, &m_pwszKeyName), MAPI_E_NOT_FOUND);
    EXPECT_EQ(BytesOf(m_olk), before);
    EXPECT_EQ(m_pwszKeyName, nullptr);

    // Every truncation of a good blob is handled; only the whole one is read.
    for (size_t cb = 0; cb < good.size(); ++cb)
        EXPECT_EQ(Parse(Bytes(good.begin(), good.begin() + cb)), MAPI_E_NOT_FOUND) << cb;
    EXPECT_EQ(TimeZone::ParseOLTimeZoneProp(good.data(), static_cast<ULONG>(good.size()), m_olk, nullptr), S_OK);
}
