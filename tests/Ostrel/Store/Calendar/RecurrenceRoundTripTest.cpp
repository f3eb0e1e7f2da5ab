// Generated patterns of every type, end type, writer version and exception mix survive being
// written and read back.
#include "Ostrel/Store/Calendar/RecurrenceDump.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Platform/Mapi/MapiDefs.h"
#include "RecurrenceTestUtil.h"
#include "Util/Log/Log.h"

#include <gtest/gtest.h>

using namespace CalendarTest;
using Ostrel::Mapi::COutlookRecurrenceException;
using Ostrel::Mapi::COutlookRecurrencePattern;
using P = COutlookRecurrencePattern;

namespace {

struct Shape {
    USHORT wFrequency;
    USHORT wPatternType;
    ULONG ulPeriod;
};

const Shape kShapes[] = {
    {P::kFreqDaily, P::kPatternDay, 1440},       {P::kFreqDaily, P::kPatternWeek, 1},
    {P::kFreqWeekly, P::kPatternWeek, 3},        {P::kFreqMonthly, P::kPatternMonth, 2},
    {P::kFreqMonthly, P::kPatternMonthNth, 1},   {P::kFreqMonthly, P::kPatternMonthEnd, 4},
    {P::kFreqMonthly, P::kPatternHjMonth, 1},    {P::kFreqMonthly, P::kPatternHjMonthNth, 1},
    {P::kFreqMonthly, P::kPatternHjMonthEnd, 1}, {P::kFreqYearly, P::kPatternMonth, 12},
    {P::kFreqYearly, P::kPatternMonthNth, 24},
};

// Exceptions on consecutive days, each changing a different mix of values.
void AddExceptions(P& pattern, size_t cExceptions, bool bTexts) {
    const ULONG ulFirst = Minutes(2024, 1, 1);
    for (size_t i = 0; i < cExceptions; ++i) {
        auto p = std::make_unique<COutlookRecurrenceException>();
        const ULONG ulDay = ulFirst + static_cast<ULONG>(i) * 1440;
        p->SetOriginalDateTime(ulDay + 600);
        p->SetStartDateTime(ulDay + 660 + static_cast<ULONG>(i % 7));
        p->SetEndDateTime(ulDay + 720 + static_cast<ULONG>(i % 11));
        if (bTexts && i % 2 == 0)
            p->SetSubject(L"Subject \u00e4\u4e2d " + std::to_wstring(i));
        if (bTexts && i % 3 == 0)
            p->SetLocation(L"Room " + std::to_wstring(i));
        if (bTexts && i % 5 == 0)
            p->SetAttachmentsPresent(1);
        if (i % 4 == 1)
            p->SetBusyStatus(static_cast<ULONG>(i % 5));
        if (i % 6 == 2) {
            p->SetReminderDelta(15);
            p->SetReminder(1);
            p->SetMeetingType(3);
            p->SetAllDay(0);
            p->SetApptColor(static_cast<ULONG>(i % 10));
        }
        p->SetChangeHighlight(static_cast<ULONG>(i));
        pattern.AddException(std::move(p));
    }
    pattern.FixDeletedOccurrences();
}

}  // namespace

TEST(RecurrenceRoundTrip, EveryShapeEndTypeVersionAndExceptionMix) {
    const ULONG aulEndTypes[] = {P::kEndAfterDate, P::kEndAfterCount, P::kEndNever};
    const ULONG aulVersions[] = {0x3006, 0x3008, 0x3009};
    const size_t acExceptions[] = {0, 1, 17, 500};
    size_t cCases = 0;
    for (const Shape& shape : kShapes)
        for (ULONG ulEndType : aulEndTypes)
            for (ULONG ulVersion : aulVersions)
                for (size_t cExceptions : acExceptions)
                    for (bool bTexts : {false, true}) {
                        if (cExceptions == 500 && (ulEndType != P::kEndAfterCount || &shape != &kShapes[2]))
                            continue;  // the largest mix once per version is enough
                        P pattern;
                        pattern.m_wRecurFrequency = shape.wFrequency;
                        pattern.m_wPatternType = shape.wPatternType;
                        pattern.m_ulPeriod = shape.ulPeriod;
                        pattern.m_wCalendarType = shape.wPatternType >= P::kPatternHjMonth ? 6 : 0;
                        pattern.m_ulWeekDayMask = 0x2A;
                        pattern.m_ulMonthOccurence = 4;
                        pattern.m_ulDayOfMonth = 30;
                        pattern.m_ulEndType = ulEndType;
                        pattern.m_ulOccurrenceCount = 1000;
                        pattern.m_ulFirstDayOfWeek = 3;
                        pattern.m_ulStartDate = Minutes(2023, 12, 31);
                        pattern.m_ulEndDate = Minutes(2026, 6, 30);
                        pattern.m_ulWriterVersion2 = ulVersion;
                        pattern.m_ulStartTime = 600;
                        pattern.m_ulEndTime = 1500;
                        AddExceptions(pattern, cExceptions, bTexts);
                        ++cCases;

                        const Bytes bytes = WriteBlob(pattern);
                        P read;
                        ASSERT_EQ(ReadBlob(bytes, read), S_OK) << cCases;
                        ASSERT_EQ(read.GetExceptionCount(), cExceptions);
                        EXPECT_EQ(WriteBlob(read), bytes);
                        // The month of year is derived on reading.
                        if (shape.wFrequency != P::kFreqYearly) {
                            EXPECT_EQ(DumpRecurrencePattern(read), DumpRecurrencePattern(pattern)) << cCases;
                        }
                    }
    EXPECT_GT(cCases, 300u);
}

TEST(RecurrenceRoundTrip, TaskFormStopsAfterTheEndDate) {
    P task;
    task.SetIsTask(true);
    task.m_wRecurFrequency = P::kFreqWeekly;
    task.m_wPatternType = P::kPatternWeek;
    task.m_ulPeriod = 1;
    task.m_ulWeekDayMask = 0x04;
    task.m_ulSlidingFlag = 1;
    task.m_ulEndType = P::kEndAfterCount;
    task.m_ulOccurrenceCount = 3;
    task.m_ulStartDate = Minutes(2024, 5, 7);
    task.m_ulEndDate = Minutes(2024, 5, 21);
    const Bytes bytes = WriteBlob(task);
    ASSERT_EQ(bytes.size(), 54u);  // 22 header, 4 mask, 12 end rule, 2 x 4 counts, 2 x 4 dates
    EXPECT_EQ(Bytes(bytes.end() - 4, bytes.end()), Bytes({0xC0, 0xCE, 0x45, 0x0D}));

    P read;
    read.SetIsTask(true);
    ASSERT_EQ(ReadBlob(bytes, read), S_OK);
    EXPECT_TRUE(read.GetRegenerate());
    // The same bytes are not a complete appointment pattern.
    P appt;
    EXPECT_EQ(ReadBlob(bytes, appt), MAPI_E_CORRUPT_DATA);
}

TEST(RecurrenceRoundTrip, TextFieldsAndTheirLengths) {
    P pattern;
    pattern.m_ulStartDate = Minutes(2024, 3, 1);
    pattern.m_ulEndDate = Minutes(2024, 3, 9);
    pattern.m_ulPeriod = 1440;
    auto p = std::make_unique<COutlookRecurrenceException>();
    p->SetOriginalDateTime(Minutes(2024, 3, 2, 9));
    p->SetStartDateTime(Minutes(2024, 3, 2, 10));
    p->SetEndDateTime(Minutes(2024, 3, 2, 11));
    p->SetSubject(L"Hello");
    pattern.AddException(std::move(p));
    pattern.FixDeletedOccurrences();
    const Bytes bytes = WriteBlob(pattern);

    // ExceptionInfo: three times, flags, SubjectLength 6, SubjectLength2 5, five bytes.
    const Bytes info = {0x01, 0x00, 0x06, 0x00, 0x05, 0x00, 'H', 'e', 'l', 'l', 'o'};
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), info.begin(), info.end()), bytes.end());
    // ExtendedException: the count 5 and ten bytes of UTF-16.
    const Bytes wide = {0x05, 0x00, 'H', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0, 0, 0, 0, 0};
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), wide.begin(), wide.end()), bytes.end());
}

// A pattern that would make a blob no reader takes is refused, and nothing is written.
TEST(RecurrenceRoundTrip, UnreadablePatternsAreNotWritten) {
    auto Make = [] {
        P p;
        p.m_ulPeriod = 1440;
        p.m_ulStartDate = Minutes(2024, 3, 1);
        p.m_ulEndDate = Minutes(2024, 3, 9);
        return p;
    };
    P noDeletedDate = Make();
    auto e = std::make_unique<COutlookRecurrenceException>();
    e->SetOriginalDateTime(Minutes(2024, 3, 2, 9));
    e->SetStartDateTime(Minutes(2024, 3, 2, 10));
    e->SetEndDateTime(Minutes(2024, 3, 2, 11));
    noDeletedDate.AddException(std::move(e));  // without FixDeletedOccurrences

    P firstDay = Make();
    e = std::make_unique<COutlookRecurrenceException>();
    e->SetOriginalDateTime(Minutes(2024, 3, 2, 9));
    e->SetStartDateTime(15);  // 1601-01-01 00:15: its date would be written as 0
    e->SetEndDateTime(30);
    firstDay.AddException(std::move(e));
    firstDay.FixDeletedOccurrences();

    P badPeriod = Make();
    badPeriod.m_ulPeriod = 1441;

    for (P* p : {&noDeletedDate, &firstDay, &badPeriod}) {
        Ostrel::Util::LogCapture capture;
        auto pStream = Platform::MemStream::Create();
        EXPECT_EQ(p->WriteRecurrenceStream(pStream.Get()), E_INVALIDARG);
        EXPECT_EQ(pStream->GetSize(), 0u);
        EXPECT_TRUE(capture.Contains(L"Failed to write recurrence stream: the pattern does not make a valid stream"));
    }
}
