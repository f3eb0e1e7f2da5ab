// Recurrence blobs: reading and writing 100,000 blobs of 10 exceptions each, against a plain
// copy of the same bytes through the same streams; and expanding a daily series over 10 years.
#include "Ostrel/Store/Calendar/RecurrencePattern.h"
#include "Ostrel/Store/Calendar/RecurrenceTime.h"
#include "Platform/Com/MemStream.h"
#include "Support/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Ostrel::Mapi::COutlookRecurrenceException;
using Ostrel::Mapi::COutlookRecurrencePattern;
namespace RT = Ostrel::Mapi::RecurrenceTime;

constexpr size_t kBlobsPerRun = 100000;
constexpr size_t kDistinctBlobs = 1000;

// Weekly series with 10 exceptions, half of them with their own subject and location.
const std::vector<std::string>& Blobs() {
    static const std::vector<std::string> blobs = [] {
        std::vector<std::string> out;
        for (size_t b = 0; b < kDistinctBlobs; ++b) {
            COutlookRecurrencePattern p;
            p.m_wRecurFrequency = COutlookRecurrencePattern::kFreqWeekly;
            p.m_wPatternType = COutlookRecurrencePattern::kPatternWeek;
            p.m_ulPeriod = 1;
            p.m_ulWeekDayMask = 0x2A;
            p.m_ulStartDate = RT::MinutesFromDate({2020, 1, 6}) + static_cast<ULONG>(b) * 10080;
            p.m_ulEndDate = p.m_ulStartDate + 300 * 10080;
            p.m_ulEndType = COutlookRecurrencePattern::kEndAfterDate;
            p.m_ulStartTime = 540;
            p.m_ulEndTime = 600;
            p.m_ulWriterVersion2 = COutlookRecurrencePattern::kWriterVersionHighlight;
            for (ULONG i = 0; i < 10; ++i) {
                auto e = std::make_unique<COutlookRecurrenceException>();
                const ULONG ulDay = p.m_ulStartDate + i * 10080;
                e->SetOriginalDateTime(ulDay + 540);
                e->SetStartDateTime(ulDay + 600);
                e->SetEndDateTime(ulDay + 660);
                e->SetBusyStatus(i % 4);
                if (i % 2) {
                    e->SetSubject(L"Planning review " + std::to_wstring(b));
                    e->SetLocation(L"Room " + std::to_wstring(i));
                }
                p.AddException(std::move(e));
            }
            p.FixDeletedOccurrences();
            auto pStream = Platform::MemStream::Create();
            if (FAILED(p.WriteRecurrenceStream(pStream.Get())))
                std::abort();
            out.push_back(pStream->CopyContent());
        }
        return out;
    }();
    return blobs;
}

void Rewind(Platform::MemStream* pStream) {
    ULARGE_INTEGER size{};
    LARGE_INTEGER origin{};
    pStream->SetSize(size);
    pStream->Seek(origin, STREAM_SEEK_SET, nullptr);
}

// Baseline: the same bytes into the input stream, read out whole and written to the output.
void PlainCopy(benchmark::State& state) {
    const auto& blobs = Blobs();
    auto pIn = Platform::MemStream::Create();
    auto pOut = Platform::MemStream::Create();
    std::vector<BYTE> buffer(64 * 1024);
    for (auto _ : state) {
        for (size_t i = 0; i < kBlobsPerRun; ++i) {
            const std::string& blob = blobs[i % kDistinctBlobs];
            pIn->Assign(blob);
            ULONG cbRead = 0;
            pIn->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &cbRead);
            Rewind(pOut.Get());
            pOut->Write(buffer.data(), cbRead, nullptr);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBlobsPerRun));
}

void ReadWrite(benchmark::State& state) {
    const auto& blobs = Blobs();
    auto pIn = Platform::MemStream::Create();
    auto pOut = Platform::MemStream::Create();
    COutlookRecurrencePattern pattern;
    for (auto _ : state) {
        for (size_t i = 0; i < kBlobsPerRun; ++i) {
            pIn->Assign(blobs[i % kDistinctBlobs]);
            if (pattern.InitFromRecurrenceStream(pIn.Get()) != S_OK)
                state.SkipWithError("read failed");
            Rewind(pOut.Get());
            if (pattern.WriteRecurrenceStream(pOut.Get()) != S_OK)
                state.SkipWithError("write failed");
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBlobsPerRun));
}

void ExpandDaily10Years(benchmark::State& state) {
    COutlookRecurrencePattern p;
    p.m_ulPeriod = RT::kMinutesPerDay;
    p.m_ulStartDate = RT::MinutesFromDate({2020, 1, 1});
    p.SetNoEndDate(true);
    p.SetDeletedInstanceDates({RT::MinutesFromDate({2021, 5, 5}), RT::MinutesFromDate({2024, 2, 29})});
    const ULONG ulTo = RT::MinutesFromDate({2029, 12, 31});
    std::vector<ULONG> dates;
    size_t cOccurrences = 0;
    for (auto _ : state) {
        p.ExpandOccurrences(p.m_ulStartDate, ulTo, dates);
        cOccurrences += dates.size();
        benchmark::DoNotOptimize(dates.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(cOccurrences));
}

BENCHMARK(PlainCopy)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ReadWrite)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ExpandDaily10Years)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

class RecurrenceRatioReporter : public BenchSupport::RatioReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double run = Cpu("ReadWrite"), base = Cpu("PlainCopy");
        if (run > 0 && base > 0)
            std::printf("ReadWrite %.0f blobs/s, PlainCopy %.0f blobs/s, ratio %.3f (plain copy / read and write)\n",
                        kBlobsPerRun / (run / 1000.0), kBlobsPerRun / (base / 1000.0), base / run);
        const double expand = Cpu("ExpandDaily10Years");
        if (expand > 0)
            std::printf("ExpandDaily10Years %.0f occurrences/s (3651 per expansion)\n", 3651 / (expand / 1e6));
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RecurrenceRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
