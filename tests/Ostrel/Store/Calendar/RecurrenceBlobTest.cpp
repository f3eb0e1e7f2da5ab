// The recurrence blob against byte vectors written from the published layouts: each parses to
// its fields, is written back byte for byte, and every truncated prefix is refused.
#include "Ostrel/Store/Calendar/RecurrenceDump.h"
#include "Platform/Mapi/MapiDefs.h"
#include "RecurrenceTestUtil.h"
#include "Support/Files.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace CalendarTest;
using Ostrel::Mapi::COutlookRecurrencePattern;
using Ostrel::Util::LogCapture;

namespace {

std::filesystem::path DataDir() {
    return TestSupport::DataDir() / "recurrence";
}

bool IsTask(const std::filesystem::path& path) {
    return path.filename().string().find("task") != std::string::npos;
}

}  // namespace

// Set OSTREL_REGENERATE=1 to rewrite the .fields.ref files (review them with git diff).
TEST(RecurrenceBlob, GoldenVectors) {
    size_t cVectors = 0;
    for (const auto& entry : std::filesystem::directory_iterator(DataDir())) {
        if (entry.path().extension() != ".hex")
            continue;
        ++cVectors;
        SCOPED_TRACE(entry.path().filename().string());
        const HexVector vec = ReadHexVector(entry.path(), "ReservedBlock1Size");
        COutlookRecurrencePattern pattern;
        pattern.SetIsTask(IsTask(entry.path()));
        ASSERT_EQ(ReadBlob(vec.bytes, pattern), S_OK);
        EXPECT_TRUE(pattern.IsLoaded());

        const std::string sDump = DumpRecurrencePattern(pattern);
        std::filesystem::path ref = entry.path();
        ref.replace_extension(".fields.ref");
        if (std::getenv("OSTREL_REGENERATE"))
            TestSupport::WriteFile(ref, sDump);
        EXPECT_EQ(sDump, TestSupport::ReadFile(ref));
        EXPECT_EQ(WriteBlob(pattern), vec.bytes);

        // Every prefix is refused, except the one that ends right before the reserved blocks
        // (old writers stopped there).
        LogCapture capture;
        for (size_t cb = 0; cb < vec.bytes.size(); ++cb) {
            COutlookRecurrencePattern truncated;
            truncated.SetIsTask(pattern.GetIsTask());
            const HRESULT hr = ReadBlob(Bytes(vec.bytes.begin(), vec.bytes.begin() + cb), truncated);
            if (cb == vec.cbMark) {
                // Without the extended entries: the same rule and exceptions, 8-bit texts only.
                ASSERT_EQ(hr, S_OK);
                ASSERT_EQ(truncated.GetExceptionCount(), pattern.GetExceptionCount());
                EXPECT_EQ(truncated.m_ulEndDate, pattern.m_ulEndDate);
                for (size_t i = 0; i < pattern.GetExceptionCount(); ++i)
                    EXPECT_EQ(truncated.GetException(i)->GetLocation(), pattern.GetException(i)->GetLocation());
            } else {
                ASSERT_EQ(hr, MAPI_E_CORRUPT_DATA) << "prefix of " << cb << " bytes";
                EXPECT_FALSE(truncated.IsLoaded());
            }
        }
        EXPECT_TRUE(capture.Contains(L"Recurrence stream format is invalid: "));
    }
    EXPECT_GE(cVectors, 7u);
}

namespace {

// The daily vector with one 32-bit field replaced (offsets from 01-daily.hex).
Bytes DailyWith(size_t cbOffset, ULONG ul) {
    Bytes bytes = ReadHexVector(DataDir() / "01-daily.hex", "").bytes;
    for (int i = 0; i < 4; ++i)
        bytes[cbOffset + i] = static_cast<BYTE>(ul >> (8 * i));
    return bytes;
}

constexpr size_t kOffPeriod = 14, kOffEndType = 22, kOffDeletedCount = 34;

struct Refusal {
    Bytes bytes;
    const wchar_t* pwszLog;
};

}  // namespace

TEST(RecurrenceBlob, FieldRulesAcceptAndRefuse) {
    COutlookRecurrencePattern pattern;
    for (ULONG ulPeriod : {1u, 1440u, 1438560u}) {
        EXPECT_EQ(ReadBlob(DailyWith(kOffPeriod, ulPeriod), pattern), S_OK) << ulPeriod;
        EXPECT_EQ(pattern.m_ulPeriod, ulPeriod);
    }
    // 0xFFFFFFFF is the other spelling of "never ends".
    ASSERT_EQ(ReadBlob(DailyWith(kOffEndType, 0xFFFFFFFF), pattern), S_OK);
    EXPECT_EQ(pattern.GetEndType(), COutlookRecurrencePattern::kEndNever);
    EXPECT_TRUE(pattern.GetNoEndDate());

    Bytes badSignature = DailyWith(0, 0x31043004);
    Bytes moreModifiedThanDeleted = DailyWith(kOffDeletedCount + 4, 1);
    // One deleted and one modified date, but no exception.
    Bytes countMismatch = ReadHexVector(DataDir() / "01-daily.hex", "").bytes;
    const BYTE abDates[] = {1, 0, 0, 0, 0x40, 0x5B, 0x43, 0x0D, 1, 0, 0, 0, 0x40, 0x5B, 0x43, 0x0D};
    countMismatch.erase(countMismatch.begin() + kOffDeletedCount, countMismatch.begin() + kOffDeletedCount + 8);
    countMismatch.insert(countMismatch.begin() + kOffDeletedCount, std::begin(abDates), std::end(abDates));

    // A reserved block in an extended entry.
    HexVector reservedEE1 =
        ReadHexVector(DataDir() / "04-monthly-day.hex", "ExtendedException[0].ReservedBlockEE1Size");
    reservedEE1.bytes[reservedEE1.cbMark] = 1;

    const Refusal refusals[] = {
        {reservedEE1.bytes, L"Recurrence stream format is invalid: ulReservedBlockEE1Size"},
        {badSignature, L"Recurrence stream format is invalid: ulSignature"},
        {DailyWith(kOffPeriod, 1441), L"Daily recurrence stream format is invalid: m_ulPeriod is 1441"},
        {DailyWith(kOffPeriod, 1440000), L"Daily recurrence stream format is invalid: m_ulPeriod is 1440000"},
        {DailyWith(kOffEndType, 0x2024), L"Recurrence stream format is invalid: m_ulEndType"},
        {moreModifiedThanDeleted, L"Recurrence stream format is invalid: ulModifiedExceptionCount"},
        {countMismatch, L"Recurrence stream format is invalid: wExceptionCount"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(std::string(refusal.pwszLog, refusal.pwszLog + std::wcslen(refusal.pwszLog)));
        LogCapture capture;
        COutlookRecurrencePattern refused;
        EXPECT_EQ(ReadBlob(refusal.bytes, refused), MAPI_E_CORRUPT_DATA);
        EXPECT_FALSE(refused.IsLoaded());
        EXPECT_TRUE(capture.Contains(refusal.pwszLog));
    }

    // A failed read leaves a loaded pattern as it was.
    ASSERT_EQ(ReadBlob(DailyWith(kOffPeriod, 4320), pattern), S_OK);
    EXPECT_EQ(ReadBlob(badSignature, pattern), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(pattern.m_ulPeriod, 4320u);
}

TEST(RecurrenceBlob, FailedWriteNamesTheField) {
    const Bytes bytes = ReadHexVector(DataDir() / "03-monthly-nth.hex", "").bytes;
    COutlookRecurrencePattern pattern;
    ASSERT_EQ(ReadBlob(bytes, pattern), S_OK);
    struct Case {
        size_t cbLimit;
        const wchar_t* pwszField;
    };
    // Offsets into 03-monthly-nth.hex: the signature, the deleted count, the first exception
    // and its extended entry, the last field.
    const Case cases[] = {{0, L"ulSignature"},
                          {3, L"ulSignature"},
                          {42, L"ulDeletedInstanceCount"},
                          {90, L"WriteException[0]"},
                          {130, L"extended WriteException[0]"},
                          {bytes.size() - 1, L"ulReservedBlock2Size"}};
    for (const Case& c : cases) {
        LogCapture capture;
        Platform::ComPtr<LimitedStream> pStream;
        pStream.Attach(new LimitedStream(c.cbLimit));
        EXPECT_EQ(pattern.WriteRecurrenceStream(pStream.Get()), STG_E_MEDIUMFULL);
        EXPECT_TRUE(capture.Contains(std::wstring(L"Failed to write recurrence stream: ") + c.pwszField)) << c.cbLimit;
    }
}
