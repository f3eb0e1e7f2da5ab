// Appointment and task wrappers against the store: the property behind each accessor, the
// dependent properties, series with their exception attachments, and time zone properties.
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Ostrel/Store/OutlookUid.h"
#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Mapi.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "RecurrenceTestUtil.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Ostrel::Mapi;
using CalendarTest::Minutes;
using Ostrel::Mail::TimeZone;
using Platform::ComPtr;

namespace {

FILETIME Ft(ULONGLONG ull) {
    return Ostrel::Util::UInt64ToFileTime(ull);
}
ULONGLONG U64(const FILETIME& ft) {
    return Ostrel::Util::FileTimeToUInt64(ft);
}
FILETIME UtcOf(ULONG ulMinutes) {
    return Ft(static_cast<ULONGLONG>(ulMinutes) * 600000000ULL);
}

class ApptStore : public ::testing::Test {
protected:
    void SetUp() override {
        static int s_iStore = 0;
        const auto path = Platform::OstrelHome() / ("appt" + std::to_string(++s_iStore) + ".osd");
        ASSERT_EQ(Platform::OpenOsdStore(path, true, L"Store", true, m_store.AddressOf()), S_OK);
        ULONG ulType = 0;
        ASSERT_EQ(m_store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType,
                                     reinterpret_cast<IUnknown**>(m_root.AddressOf())),
                  S_OK);
        ASSERT_EQ(m_root->CreateMessage(nullptr, 0, m_item.AddressOf()), S_OK);
    }
    void TearDown() override {
        NamedPropsManager::Cleanup();
        m_item.Reset();
        m_root.Reset();
        m_store.Reset();
    }

    // The tag the store gives a name, looked up straight through the store.
    ULONG StoreTag(const GUID& guid, LONG lId, ULONG ulType) {
        MAPINAMEID name{const_cast<GUID*>(&guid), MNID_ID, {lId}};
        LPMAPINAMEID pName = &name;
        LPSPropTagArray pTags = nullptr;
        EXPECT_EQ(m_store->GetIDsFromNames(1, &pName, MAPI_CREATE, &pTags), S_OK);
        const ULONG ulTag = CHANGE_PROP_TYPE(pTags->aulPropTag[0], ulType);
        MAPIFreeBuffer(pTags);
        return ulTag;
    }
    HRESULT Raw(IMAPIProp* p, ULONG ulTag, SPropValue& out) {
        LPSPropValue pValue = nullptr;
        const HRESULT hr = HrGetOneProp(p, ulTag, &pValue);
        if (SUCCEEDED(hr))
            out = *pValue;  // scalar values only
        MAPIFreeBuffer(pValue);
        return hr;
    }
    ULONGLONG RawTime(IMAPIProp* p, ULONG ulTag) {
        SPropValue v{};
        EXPECT_EQ(Raw(p, ulTag, v), S_OK);
        return U64(v.Value.ft);
    }

    ComPtr<IMsgStore> m_store;
    ComPtr<IMAPIFolder> m_root;
    ComPtr<IMessage> m_item;
};

}  // namespace

TEST_F(ApptStore, AccessorsUseTheirProperties) {
    Appt appt(m_item.Get(), m_store.Get());
    Task task(m_item.Get(), m_store.Get());
    LONG l = 77;
    EXPECT_EQ(appt.GetBusyStatus(&l), MAPI_E_NOT_FOUND);
    EXPECT_EQ(l, 77);

    ASSERT_EQ(appt.SetBusyStatus(3), S_OK);
    ASSERT_EQ(appt.SetReminderSet(TRUE), S_OK);
    ASSERT_EQ(appt.SetIsException(TRUE), S_OK);
    ASSERT_EQ(appt.SetLocation(L"Room 7"), S_OK);
    ASSERT_EQ(task.SetTaskStatus(2), S_OK);
    ASSERT_EQ(task.SetPercentComplete(0.5), S_OK);
    ASSERT_EQ(task.SetCompanies({L"A", L"B"}), S_OK);
    SPropValue v{};
    ASSERT_EQ(Raw(m_item.Get(), StoreTag(PSETID_Appointment, 0x8205, PT_LONG), v), S_OK);
    EXPECT_EQ(v.Value.l, 3);
    ASSERT_EQ(Raw(m_item.Get(), StoreTag(PSETID_Common, 0x8503, PT_BOOLEAN), v), S_OK);
    EXPECT_TRUE(v.Value.b);
    ASSERT_EQ(Raw(m_item.Get(), StoreTag(PSETID_Meeting, 0x000A, PT_BOOLEAN), v), S_OK);
    EXPECT_TRUE(v.Value.b);
    ASSERT_EQ(Raw(m_item.Get(), StoreTag(PSETID_Task, 0x8101, PT_LONG), v), S_OK);
    EXPECT_EQ(v.Value.l, 2);
    std::wstring ws;
    ASSERT_EQ(appt.GetLocation(&ws), S_OK);
    EXPECT_EQ(ws, L"Room 7");
    std::vector<std::wstring> companies;
    ASSERT_EQ(task.GetCompanies(&companies), S_OK);
    EXPECT_EQ(companies, std::vector<std::wstring>({L"A", L"B"}));

    EXPECT_EQ(appt.GetRecurringStreamTag(), StoreTag(PSETID_Appointment, 0x8216, PT_BINARY));
    EXPECT_EQ(task.GetRecurringStreamTag(), StoreTag(PSETID_Task, 0x8116, PT_BINARY));

    ASSERT_EQ(appt.InitializeNew(), S_OK);
    ASSERT_EQ(Raw(m_item.Get(), PR_ICON_INDEX, v), S_OK);
    EXPECT_EQ(v.Value.l, 1024);
    ASSERT_EQ(Raw(m_item.Get(), StoreTag(PSETID_Common, 0x8506, PT_BOOLEAN), v), S_OK);
    EXPECT_FALSE(v.Value.b);
}

TEST_F(ApptStore, StartEndAndClipTimes) {
    Appt appt(m_item.Get(), m_store.Get());
    const FILETIME ft = UtcOf(Minutes(2024, 5, 2, 8, 30));
    ASSERT_EQ(appt.SetStartTime(&ft, nullptr), S_OK);
    EXPECT_EQ(RawTime(m_item.Get(), StoreTag(PSETID_Appointment, 0x820D, PT_SYSTIME)), U64(ft));
    EXPECT_EQ(RawTime(m_item.Get(), StoreTag(PSETID_Common, 0x8516, PT_SYSTIME)), U64(ft));
    EXPECT_EQ(RawTime(m_item.Get(), PR_START_DATE), U64(ft));
    ASSERT_EQ(appt.SetEndTime(&ft, nullptr), S_OK);
    EXPECT_EQ(RawTime(m_item.Get(), PR_END_DATE), U64(ft));

    // A series without end gets 4500-12-31 23:59 whatever is passed.
    appt.GetRecurrencePatternRef().SetOccurrences(3);
    ASSERT_EQ(appt.SetClipEndTime(&ft), S_OK);
    EXPECT_EQ(RawTime(m_item.Get(), StoreTag(PSETID_Appointment, 0x8236, PT_SYSTIME)), U64(ft));
    appt.GetRecurrencePatternRef().SetNoEndDate(true);
    ASSERT_EQ(appt.SetClipEndTime(&ft), S_OK);
    EXPECT_EQ(RawTime(m_item.Get(), StoreTag(PSETID_Appointment, 0x8236, PT_SYSTIME)), 0x0CB345578019FA00ULL);
}

TEST_F(ApptStore, TaskDatesInLocalTime) {
    ASSERT_TRUE(Ostrel::Util::SetLocalTimeZone("Europe/Berlin"));
    Task task(m_item.Get(), m_store.Get());
    FILETIME ftNone = Ft(Task::kNoDate);
    EXPECT_EQ(task.SetDueDate(&ftNone), S_OK);
    FILETIME ft{};
    EXPECT_EQ(task.GetDueDate(&ft), MAPI_E_NOT_FOUND);

    const FILETIME ftUtc = UtcOf(Minutes(2024, 7, 1, 22));
    ASSERT_EQ(task.SetDueDate(&ftUtc), S_OK);
    const ULONGLONG ullLocal = U64(UtcOf(Minutes(2024, 7, 2, 0)));  // +2 in summer
    EXPECT_EQ(RawTime(m_item.Get(), StoreTag(PSETID_Task, 0x8105, PT_SYSTIME)), ullLocal);
    EXPECT_EQ(RawTime(m_item.Get(), StoreTag(PSETID_Common, 0x8517, PT_SYSTIME)), ullLocal);
    ASSERT_EQ(task.SetStartDate(&ftUtc), S_OK);
    EXPECT_EQ(RawTime(m_item.Get(), StoreTag(PSETID_Task, 0x8104, PT_SYSTIME)), ullLocal);
    EXPECT_EQ(RawTime(m_item.Get(), StoreTag(PSETID_Common, 0x8516, PT_SYSTIME)), ullLocal);
}

TEST_F(ApptStore, SeriesWithAnExceptionThroughTheStore) {
    Appt series(m_item.Get(), m_store.Get());
    COutlookRecurrencePattern& pattern = series.GetRecurrencePatternRef();
    TimeZone berlin(L"Europe/Berlin");
    berlin.SetStandardOffset(60);
    berlin.SetDaylightOffset(120);
    berlin.SetStandardStart(5, 0, 10, 3, 0, 0);
    berlin.SetDaylightStart(5, 0, 3, 2, 0, 0);
    pattern.SetOutlookRecurrencePatternTZ(berlin);
    pattern.SetRecurrenceType(COutlookRecurrencePattern::olRecursWeekly);
    pattern.SetDayOfWeekMask(0x04);  // Tuesday
    pattern.m_ulStartDate = Minutes(2024, 6, 3);
    pattern.m_ulStartTime = 9 * 60;
    pattern.m_ulEndTime = 10 * 60;
    pattern.SetOccurrences(4);
    FILETIME ftWhen;
    ASSERT_TRUE(RecurrenceTime::LocalMinutesToUtc(&pattern.GetRefOutlookRecurrencePatternTZ(), Minutes(2024, 6, 11, 9),
                                                  ftWhen));
    int iCreated = 0;
    COutlookRecurrenceException* pException = pattern.GetOccurrence(ftWhen, &iCreated);
    ASSERT_NE(pException, nullptr);
    pException->SetSubject(L"Moved");
    ASSERT_EQ(pattern.SaveRecurrence(), S_OK);

    // The item agrees with the pattern: first occurrence Tuesday 4 June 09:00 Berlin = 07:00 UTC.
    FILETIME ft;
    ASSERT_EQ(series.GetStartTime(&ft), S_OK);
    EXPECT_EQ(U64(ft), U64(UtcOf(Minutes(2024, 6, 4, 7))));
    ASSERT_EQ(series.GetClipEndTime(&ft), S_OK);
    EXPECT_EQ(U64(ft), U64(UtcOf(Minutes(2024, 6, 24, 22))));  // 25 June midnight Berlin
    BOOL b = FALSE;
    ASSERT_EQ(series.GetIsRecurring(&b), S_OK);
    EXPECT_TRUE(b);
    LONG l = 0;
    ASSERT_EQ(series.GetRecurrenceType(&l), S_OK);
    EXPECT_EQ(l, 2);
    ASSERT_EQ(series.GetSmartNoAttach(&b), S_OK);
    EXPECT_TRUE(b);
    TimeZone::OlkTimeZone olk{};
    std::wstring wsZone;
    ASSERT_EQ(series.GetLegacyTimezone(&olk, &wsZone), S_OK);
    EXPECT_EQ(olk.lBias, -60);
    EXPECT_EQ(wsZone, L"Europe/Berlin");

    // The occurrence's attachment, made once and found again by its original start.
    ComPtr<IMessage> pEmbedded;
    ComPtr<IAttach> pAttach;
    ASSERT_EQ(pException->OpenAppointment(m_item.Get(), pEmbedded.AddressOf(), pAttach.AddressOf()), S_OK);
    pEmbedded.Reset();
    pAttach.Reset();
    ASSERT_EQ(pException->OpenAppointment(m_item.Get(), pEmbedded.AddressOf(), pAttach.AddressOf()), S_OK);
    std::unique_ptr<Appt> pOccurrence;
    ASSERT_EQ(Appt::GetExceptionAppointment(m_item.Get(), ftWhen, m_store.Get(), pOccurrence), S_OK);

    // Moving the occurrence writes the attachment's local start and the pattern's entry.
    Appt occurrence(pEmbedded.Get(), m_store.Get(), Appt::ExceptionContext{pAttach.Get(), pException});
    const ULONG ulNewLocal = Minutes(2024, 6, 12, 15);
    ASSERT_TRUE(RecurrenceTime::LocalMinutesToUtc(&pattern.GetRefOutlookRecurrencePatternTZ(), ulNewLocal, ft));
    ASSERT_EQ(occurrence.SetStartTime(&ft, &pattern.GetRefOutlookRecurrencePatternTZ()), S_OK);
    EXPECT_EQ(RawTime(pAttach.Get(), PR_EXCEPTION_STARTTIME), U64(UtcOf(ulNewLocal)));
    EXPECT_EQ(pException->GetStartDateTime(), ulNewLocal);
    ASSERT_EQ(occurrence.SetBusyStatus(3), S_OK);
    EXPECT_TRUE(pException->GetOverrideFlags() & COutlookRecurrenceException::ARO_BUSYSTATUS);
    ASSERT_EQ(series.Save(), S_OK);

    // Read back from the store.
    Appt reread(m_item.Get(), m_store.Get());
    ASSERT_EQ(reread.GetRecurrencePatternRef().LoadRecurrence(&olk, L"Europe/Berlin", 0), S_OK);
    const COutlookRecurrencePattern& back = reread.GetRecurrencePatternRef();
    EXPECT_EQ(back.m_ulStartDate, Minutes(2024, 6, 4));
    EXPECT_EQ(back.m_ulEndDate, Minutes(2024, 6, 25));
    ASSERT_EQ(back.GetExceptionCount(), 1u);
    EXPECT_EQ(back.GetException(0)->GetSubject(), L"Moved");
    EXPECT_EQ(back.GetDeletedInstanceDates(), std::vector<ULONG>({Minutes(2024, 6, 11)}));

    // Clearing the series removes its properties and the occurrence's attachment.
    pOccurrence.reset();
    pEmbedded.Reset();
    pAttach.Reset();
    ASSERT_EQ(reread.ClearRecurrencePattern(), S_OK);
    EXPECT_EQ(reread.GetIsRecurring(&b), MAPI_E_NOT_FOUND);
    EXPECT_EQ(Appt::GetExceptionAppointment(m_item.Get(), ftWhen, m_store.Get(), pOccurrence), MAPI_E_NOT_FOUND);
}

TEST_F(ApptStore, TimeZoneDefinitionsByWindowsNameAndBack) {
    Appt appt(m_item.Get(), m_store.Get());
    TimeZone sydney(L"Australia/Sydney");
    sydney.SetStandardOffset(600);
    sydney.SetDaylightOffset(660);
    sydney.SetStandardStart(1, 0, 4, 3, 0, 0);
    sydney.SetDaylightStart(1, 0, 10, 2, 0, 0);
    ASSERT_EQ(appt.SetStartTimezone(sydney), S_OK);
    ASSERT_EQ(appt.SetEndTimezone(sydney), S_OK);
    // The store holds the Windows name.
    SPropValue* pValue = nullptr;
    ASSERT_EQ(HrGetOneProp(m_item.Get(), StoreTag(PSETID_Appointment, 0x825E, PT_BINARY), &pValue), S_OK);
    const std::string sBlob(reinterpret_cast<const char*>(pValue->Value.bin.lpb), pValue->Value.bin.cb);
    MAPIFreeBuffer(pValue);
    EXPECT_NE(sBlob.find(Platform::ToUtf16LEBytes(L"AUS Eastern Standard Time")), std::string::npos);

    TimeZone start, end;
    ASSERT_EQ(appt.GetStartAndEndTimezones(start, end), S_OK);
    EXPECT_STREQ(start.GetId(), L"Australia/Sydney");
    TIME_ZONE_INFORMATION a, b;
    start.PopulateTimeZoneInfo(a);
    sydney.PopulateTimeZoneInfo(b);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));

    // Rules no Windows zone has are refused, and nothing is written.
    Ostrel::Util::LogCapture capture;
    TimeZone odd(L"Odd/Zone");
    odd.SetStandardOffset(17);
    EXPECT_EQ(appt.SetStartTimezone(odd), MAPI_E_NOT_FOUND);
    EXPECT_TRUE(capture.Contains(L"Failed to convert 'Odd/Zone' to a Windows TZ name"));
}

TEST_F(ApptStore, FindByUid) {
    Appt appt(m_item.Get(), m_store.Get());
    SBinary goid{};
    ASSERT_TRUE(ICalUidToOlkUid("uid-123@example.com", goid));
    ASSERT_EQ(HrSetOneProp(m_item.Get(),
                           [&] {
                               static SPropValue v{};
                               v.ulPropTag = StoreTag(PSETID_Meeting, 0x0023, PT_BINARY);
                               v.Value.bin = goid;
                               return &v;
                           }()),
              S_OK);
    ASSERT_EQ(m_item->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    MAPIFreeBuffer(goid.lpb);
    EXPECT_EQ(appt.Uid(), L"uid-123@example.com");

    UidMapper found;
    ASSERT_EQ(Appt::FindApptsWithMatchingUid(appt.Props(), m_root.Get(), L"uid-123@example.com", found), S_OK);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->first, "uid-123@example.com");
    UidMapper none;
    EXPECT_EQ(Appt::FindApptsWithMatchingUid(appt.Props(), m_root.Get(), L"other", none), MAPI_E_NOT_FOUND);

    // The item found opens by its entry id and is deleted from its folder.
    SPropValue entryId{};
    entryId.ulPropTag = PR_ENTRYID;
    entryId.Value.bin = *static_cast<SBinary*>(found.begin()->second);
    std::unique_ptr<Appt> pFound;
    ASSERT_EQ(Appt::GetAppointment(m_root.Get(), &entryId, m_store.Get(), pFound), S_OK);
    EXPECT_EQ(pFound->Uid(), L"uid-123@example.com");
    ASSERT_EQ(pFound->Delete(), S_OK);
    UidMapper gone;
    EXPECT_EQ(Appt::FindApptsWithMatchingUid(appt.Props(), m_root.Get(), L"uid-123@example.com", gone),
              MAPI_E_NOT_FOUND);
}
