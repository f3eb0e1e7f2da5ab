// Time zones between IANA identifiers, Windows zone names, the registry's zone database and the
// model's zones.
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Ostrel/Store/Calendar/RegTZMapper.h"
#include "Ostrel/Store/Calendar/WinZonesTZMapper.h"
#include "Ostrel/Store/Calendar/WindowsZoneDatabase.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiDefs.h"
#include "RecurrenceTestUtil.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

#include <gtest/gtest.h>
#include <unicode/strenum.h>
#include <unicode/timezone.h>

#include <cstring>
#include <memory>

using namespace Ostrel::Mapi;
using Ostrel::Mail::TimeZone;
using Ostrel::Util::LogCapture;

namespace {

std::vector<BYTE> BytesOf(const TimeZone::_TZI& tzi) {
    const BYTE* pb = reinterpret_cast<const BYTE*>(&tzi);
    return std::vector<BYTE>(pb, pb + sizeof tzi);
}

TIME_ZONE_INFORMATION ToTzi(const TimeZone::_TZI& reg) {
    TIME_ZONE_INFORMATION tzi{};
    tzi.Bias = reg.Bias;
    tzi.StandardBias = reg.StandardBias;
    tzi.DaylightBias = reg.DaylightBias;
    tzi.StandardDate = reg.StandardDate;
    tzi.DaylightDate = reg.DaylightDate;
    return tzi;
}

// A model zone with the rules of a registry zone, named by an IANA identifier.
void ModelFromRegistry(const RegTZMapper::Record& record, const wchar_t* pwszId, TimeZone& zone) {
    zone.Initialize(ToTzi(record.tzi));
    zone.SetId(pwszId);
}

// The program's registry gets the generated database once (building it writes a few hundred
// registry values).
class TimeZoneMapping : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_pMapper = new RegTZMapper();
        // The first look-up finds no database in the new registry and builds it.
        RegTZMapper::Record record;
        ASSERT_EQ(s_pMapper->LookupByKeyName(L"GMT Standard Time", record), S_OK);
    }
    static void TearDownTestSuite() { delete s_pMapper; }

    static RegTZMapper::Record Zone(const wchar_t* pwszKeyName) {
        RegTZMapper::Record record{};
        EXPECT_EQ(s_pMapper->LookupByKeyName(pwszKeyName, record), S_OK) << Platform::ToUtf8(pwszKeyName);
        return record;
    }

    // Wall time in the zone to UTC minutes through the series conversion.
    static ULONG ToUtc(const TimeZone& zone, ULONG ulLocal) {
        FILETIME ft;
        EXPECT_TRUE(RecurrenceTime::LocalMinutesToUtc(&zone, ulLocal, ft));
        ULONG ulUtc = 0;
        EXPECT_TRUE(RecurrenceTime::UtcToLocalMinutes(nullptr, ft, ulUtc));
        // And back.
        ULONG ulBack = 0;
        EXPECT_TRUE(RecurrenceTime::UtcToLocalMinutes(&zone, ft, ulBack));
        EXPECT_EQ(ulBack, ulLocal);
        return ulUtc;
    }

    static RegTZMapper* s_pMapper;
};

RegTZMapper* TimeZoneMapping::s_pMapper = nullptr;

using CalendarTest::Minutes;

}  // namespace

TEST(WinZonesMapper, NamesBothWaysWhateverTheCase) {
    WinZonesTZMapper mapper(WinZonesTZMapper::DefaultPath());
    std::wstring ws;
    ASSERT_EQ(mapper.WinToOlson(L"W. Europe Standard Time", ws), S_OK);
    EXPECT_EQ(ws, L"Europe/Berlin");
    ASSERT_EQ(mapper.WinToOlson(L"w. EUROPE standard TIME", ws), S_OK);
    EXPECT_EQ(ws, L"Europe/Berlin");
    ASSERT_EQ(mapper.OlsonToWin(L"asia/CALCUTTA", ws), S_OK);
    EXPECT_EQ(ws, L"India Standard Time");
    // CLDR keeps the older identifier.
    EXPECT_EQ(mapper.OlsonToWin(L"Asia/Kolkata", ws), MAPI_E_NOT_FOUND);
    // America/Detroit stands only inside a list of identifiers: not found.
    EXPECT_EQ(mapper.OlsonToWin(L"America/Detroit", ws), MAPI_E_NOT_FOUND);
    EXPECT_EQ(mapper.WinToOlson(L"Mars Standard Time", ws), MAPI_E_NOT_FOUND);
}

TEST(WinZonesMapper, MissingFileFailsEveryLookUp) {
    LogCapture capture;
    WinZonesTZMapper mapper("/nonexistent/windowsZones.xml");
    std::wstring ws;
    const HRESULT hr = mapper.OlsonToWin(L"Europe/Berlin", ws);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(mapper.WinToOlson(L"W. Europe Standard Time", ws), hr);
    EXPECT_EQ(capture.Count(L"Cannot open '/nonexistent/windowsZones.xml' : 0x80070002"), 1u);
}

TEST_F(TimeZoneMapping, EveryMappedIcuZoneRoundTrips) {
    WinZonesTZMapper names(WinZonesTZMapper::DefaultPath());
    UErrorCode err = U_ZERO_ERROR;
    std::unique_ptr<icu::StringEnumeration> ids(icu::TimeZone::createEnumeration(err));
    ASSERT_TRUE(U_SUCCESS(err));
    size_t cMapped = 0, cExact = 0;
    while (const char* pszId = ids->next(nullptr, err)) {
        const std::wstring wsId = Platform::FromUtf8(pszId);
        std::wstring wsWindows, wsGolden;
        if (names.OlsonToWin(wsId, wsWindows) != S_OK)
            continue;
        ++cMapped;
        SCOPED_TRACE(pszId);
        ASSERT_EQ(names.WinToOlson(wsWindows, wsGolden), S_OK);
        RegTZMapper::Record record;
        ASSERT_EQ(s_pMapper->LookupByKeyName(wsWindows, record), S_OK) << Platform::ToUtf8(wsWindows);
        // The model keeps the registry's bytes, and the bytes find a zone with the same rules.
        TimeZone zone;
        ModelFromRegistry(record, wsId.c_str(), zone);
        TimeZone::_TZI back;
        zone.PopulateTimeZoneInfo(back);
        EXPECT_EQ(BytesOf(back), BytesOf(record.tzi));
        ASSERT_EQ(s_pMapper->ConvertToWinTZ(zone), S_OK);
        RegTZMapper::Record chosen;
        ASSERT_EQ(s_pMapper->LookupByKeyName(zone.GetId(), chosen), S_OK);
        EXPECT_EQ(BytesOf(chosen.tzi), BytesOf(record.tzi));
        cExact += chosen.wsKeyName == record.wsKeyName;
    }
    EXPECT_GT(cMapped, 300u);
    // Only zones whose city is not in their own display name may land on a twin.
    EXPECT_GT(cExact, cMapped * 9 / 10);
}

TEST_F(TimeZoneMapping, ZonesOfNote) {
    struct Case {
        const wchar_t* pwszIana;
        const wchar_t* pwszWindows;
        LONG lBias;
        LONG lDaylightBias;
        WORD wDaylightMonth;  // 0: no daylight time
        WORD wStandardMonth;
    };
    const Case cases[] = {
        {L"Europe/London", L"GMT Standard Time", 0, -60, 3, 10},                // offset 0 with daylight time
        {L"Australia/Sydney", L"AUS Eastern Standard Time", -600, -60, 10, 4},  // southern hemisphere
        {L"America/Santiago", L"Pacific SA Standard Time", 240, -60, 9, 4},
        {L"Asia/Kolkata", L"India Standard Time", -330, 0, 0, 0},  // no daylight time
        {L"Pacific/Honolulu", L"Hawaiian Standard Time", 600, 0, 0, 0},
        {L"America/Caracas", L"Venezuela Standard Time", 240, 0, 0, 0},  // -4:30 until 2016
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Platform::ToUtf8(c.pwszIana));
        const RegTZMapper::Record record = Zone(c.pwszWindows);
        EXPECT_EQ(record.tzi.Bias, c.lBias);
        EXPECT_EQ(record.tzi.DaylightBias, c.lDaylightBias);
        EXPECT_EQ(record.tzi.DaylightDate.wMonth, c.wDaylightMonth);
        EXPECT_EQ(record.tzi.StandardDate.wMonth, c.wStandardMonth);
        TimeZone zone;
        ModelFromRegistry(record, c.pwszIana, zone);
        ASSERT_EQ(s_pMapper->ConvertToWinTZ(zone), S_OK);
        EXPECT_STREQ(zone.GetId(), c.pwszWindows);
    }

    // London: 1 hour ahead in summer only.
    TimeZone london;
    ModelFromRegistry(Zone(L"GMT Standard Time"), L"Europe/London", london);
    EXPECT_EQ(ToUtc(london, Minutes(2024, 1, 15, 12)), Minutes(2024, 1, 15, 12));
    EXPECT_EQ(ToUtc(london, Minutes(2024, 7, 15, 12)), Minutes(2024, 7, 15, 11));
    // Sydney and Santiago have summer in January.
    TimeZone sydney, santiago;
    ModelFromRegistry(Zone(L"AUS Eastern Standard Time"), L"Australia/Sydney", sydney);
    ModelFromRegistry(Zone(L"Pacific SA Standard Time"), L"America/Santiago", santiago);
    EXPECT_EQ(ToUtc(sydney, Minutes(2025, 1, 15, 10)), Minutes(2025, 1, 14, 23));
    EXPECT_EQ(ToUtc(sydney, Minutes(2025, 7, 15, 10)), Minutes(2025, 7, 15, 0));
    EXPECT_EQ(ToUtc(santiago, Minutes(2025, 1, 15, 12)), Minutes(2025, 1, 15, 15));
    EXPECT_EQ(ToUtc(santiago, Minutes(2025, 7, 15, 12)), Minutes(2025, 7, 15, 16));
    // Before 1970 and after 2038 the same yearly rule applies; 29 February in a leap year.
    EXPECT_EQ(ToUtc(sydney, Minutes(1965, 1, 10, 10)), Minutes(1965, 1, 9, 23));
    EXPECT_EQ(ToUtc(sydney, Minutes(2050, 7, 1, 10)), Minutes(2050, 7, 1, 0));
    EXPECT_EQ(ToUtc(london, Minutes(1969, 6, 1, 0, 30)), Minutes(1969, 5, 31, 23, 30));
    TimeZone newYork;
    ModelFromRegistry(Zone(L"Eastern Standard Time"), L"America/New_York", newYork);
    EXPECT_EQ(ToUtc(newYork, Minutes(2028, 2, 29, 23, 30)), Minutes(2028, 3, 1, 4, 30));
    EXPECT_EQ(ToUtc(newYork, Minutes(2040, 2, 29, 21)), Minutes(2040, 3, 1, 2));

    // Caracas changed from -4:30 to -4:00 in 2016: the database holds the rule in force now, and a
    // series applies it to dates on both sides of the change, as Outlook does with one rule.
    TimeZone caracas;
    ModelFromRegistry(Zone(L"Venezuela Standard Time"), L"America/Caracas", caracas);
    EXPECT_EQ(ToUtc(caracas, Minutes(2017, 3, 1, 9)), Minutes(2017, 3, 1, 13));
    EXPECT_EQ(ToUtc(caracas, Minutes(2015, 3, 1, 9)), Minutes(2015, 3, 1, 13));
}

TEST_F(TimeZoneMapping, TwinZonesPreferTheNamedCity) {
    // Eastern and US Eastern have the same rules now; the identifier's city decides.
    const RegTZMapper::Record eastern = Zone(L"Eastern Standard Time");
    ASSERT_EQ(BytesOf(eastern.tzi), BytesOf(Zone(L"US Eastern Standard Time").tzi));
    TimeZone zone;
    ModelFromRegistry(eastern, L"America/Indianapolis", zone);
    ASSERT_EQ(s_pMapper->ConvertToWinTZ(zone), S_OK);
    EXPECT_STREQ(zone.GetId(), L"US Eastern Standard Time");
    zone.SetId(L"America/New_York");
    ASSERT_EQ(s_pMapper->ConvertToWinTZ(zone), S_OK);
    EXPECT_STREQ(zone.GetId(), L"Eastern Standard Time");
    // A display name is already a Windows name: nothing changes.
    std::wstring wsDisplay = eastern.wsDisplayName;
    zone.SetId(wsDisplay.c_str());
    ASSERT_EQ(s_pMapper->ConvertToWinTZ(zone), S_OK);
    EXPECT_EQ(std::wstring(zone.GetId()), wsDisplay);
    RegTZMapper::Record record;
    EXPECT_EQ(s_pMapper->LookupByDisplayName(wsDisplay, record), S_OK);
    EXPECT_EQ(s_pMapper->LookupByDisplayName(wsDisplay.substr(4), record), S_OK);
    EXPECT_EQ(record.wsKeyName, L"Eastern Standard Time");

    // Rules no registry zone has.
    LogCapture capture;
    TimeZone mars(L"Mars/Olympus");
    mars.SetStandardOffset(7);
    EXPECT_EQ(s_pMapper->ConvertToWinTZ(mars), MAPI_E_NOT_FOUND);
    EXPECT_STREQ(mars.GetId(), L"Mars/Olympus");
    EXPECT_TRUE(capture.Contains(L"Failed to convert 'Mars/Olympus' to a Windows TZ name"));
}

TEST_F(TimeZoneMapping, LegacyStructureFindsItsZone) {
    const RegTZMapper::Record sydney = Zone(L"AUS Eastern Standard Time");
    TimeZone::OlkTimeZone olk{};
    olk.lBias = sydney.tzi.Bias;
    olk.lDaylightBias = sydney.tzi.DaylightBias;
    olk.stStandardDate = sydney.tzi.StandardDate;
    olk.stDaylightDate = sydney.tzi.DaylightDate;
    LogCapture capture;
    std::wstring ws;
    ASSERT_EQ(s_pMapper->GuessWinTZIDFromPR_TIMEZONE_STRUCT_LEGACY(olk, ws), S_OK);
    EXPECT_EQ(Zone(ws.c_str()).tzi.Bias, -600);
    EXPECT_TRUE(capture.Contains(L"WinTZID '" + ws + L"' has matching TZI"));

    // Windows writes a daylight bias of -60 for zones without daylight time.
    TimeZone::OlkTimeZone india{};
    india.lBias = -330;
    india.lDaylightBias = -60;
    ASSERT_EQ(s_pMapper->GuessWinTZIDFromPR_TIMEZONE_STRUCT_LEGACY(india, ws), S_OK);
    EXPECT_EQ(ws, L"India Standard Time");
    olk.stDaylightDate.wDay = 3;  // a rule no zone has
    EXPECT_EQ(s_pMapper->GuessWinTZIDFromPR_TIMEZONE_STRUCT_LEGACY(olk, ws), MAPI_E_NOT_FOUND);
}
