// Reading an archive of 1,000 deflated messages of about 50 KB from a memory stream through the
// ZIP reader, against inflating the same entries with a bare zlib loop; and the CRLF filter against
// memcpy of the same bytes. Prints MB/s and the ratios at the end, from CPU time (the runs are
// single-threaded; wall time on a shared machine mostly measures the neighbours). Goal for the
// reader: at least 0.9 of bare zlib.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Ostrel/Zip/StreamFilters.h"
#include "Ostrel/Zip/ZipBuilder.h"
#include "Ostrel/Zip/ZipInputStream.h"
#include "Platform/Com/MemStream.h"
#include "Support/RatioReporter.h"

namespace {

constexpr int kEntries = 1000;
constexpr size_t kEntrySize = 50 * 1024;

// Mail-like text: header lines, then lines of words with LF line ends.
std::string MailText(size_t size, unsigned seed) {
    static const char* const words[] = {"the",     "meeting", "project", "figures", "attached", "please", "review",
                                        "before",  "Friday",  "budget",  "team",    "update",   "status", "regards",
                                        "invoice", "number",  "2024",    "client",  "schedule", "call"};
    std::mt19937 rng(seed);
    std::string text = "From: sender" + std::to_string(seed) + "@example.test\nSubject: Message " +
                       std::to_string(seed) + "\nMIME-Version: 1.0\n\n";
    while (text.size() < size) {
        int n = 4 + rng() % 12;
        for (int i = 0; i < n; ++i) {
            text += words[rng() % 20];
            text += ' ';
        }
        text += '\n';
    }
    text.resize(size);
    return text;
}

struct Corpus {
    std::string archive;
    std::vector<std::string> compressed;
    size_t uncompressedBytes = 0;
};

const Corpus& Messages() {
    static const Corpus corpus = [] {
        Corpus c;
        std::vector<ZipTest::Entry> entries;
        for (int i = 0; i < kEntries; ++i) {
            std::string text = MailText(kEntrySize - 2048 + (i * 37) % 4096, static_cast<unsigned>(i));
            c.uncompressedBytes += text.size();
            ZipTest::Entry e = ZipTest::Deflated(std::to_string(i) + ".eml", text);
            e.payload = ZipTest::RawDeflate(text, 6);
            c.compressed.push_back(*e.payload);
            entries.push_back(std::move(e));
        }
        c.archive = ZipTest::Archive(entries);
        return c;
    }();
    return corpus;
}

void BareZlib(benchmark::State& state) {
    const Corpus& c = Messages();
    std::vector<unsigned char> out(kEntrySize + 4096);
    for (auto _ : state) {
        size_t total = 0;
        for (const std::string& in : c.compressed) {
            z_stream zs{};
            inflateInit2(&zs, -MAX_WBITS);
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
            zs.avail_in = static_cast<uInt>(in.size());
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            inflate(&zs, Z_FINISH);
            total += zs.total_out;
            inflateEnd(&zs);
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.uncompressedBytes));
}

void ZipReader(benchmark::State& state) {
    const Corpus& c = Messages();
    Platform::ComPtr<Platform::MemStream> source = Platform::MemStream::Create(c.archive);
    for (auto _ : state) {
        source->Assign(c.archive);
        Ostrel::Rpc::ZipInputStream* reader =
            Ostrel::Rpc::ZipInputStream::CreateZipInputStream(source.Get(), nullptr, 0);
        size_t total = 0;
        try {
            for (;;) {
                ULONG cb = 0;
                reader->GetNextEntry()->GetMimeData(cb);
                total += cb;
            }
        } catch (const ZipInputStreamImpl::Exception&) {
        }
        reader->Release();
        if (total != c.uncompressedBytes)
            state.SkipWithError("the reader lost data");
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.uncompressedBytes));
}

const std::string& FilterInput() {
    static const std::string text = MailText(16 << 20, 99);
    return text;
}

void Memcpy(benchmark::State& state) {
    const std::string& in = FilterInput();
    std::vector<char> out(64 * 1024);
    for (auto _ : state) {
        for (size_t pos = 0; pos < in.size(); pos += out.size()) {
            size_t n = std::min(out.size(), in.size() - pos);
            std::memcpy(out.data(), in.data() + pos, n);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void CrlfFilter(benchmark::State& state) {
    const std::string& in = FilterInput();
    Platform::ComPtr<Platform::MemStream> source = Platform::MemStream::Create(in);
    std::vector<char> out(64 * 1024);
    for (auto _ : state) {
        source->Assign(in);
        Platform::ComPtr<LF2CRLFOnRead> filter = LF2CRLFOnRead::Create(source.Get());
        ULONG n = 0;
        while (SUCCEEDED(filter->Read(out.data(), static_cast<ULONG>(out.size()), &n)) && n > 0)
            benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

BENCHMARK(BareZlib)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ZipReader)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Memcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(CrlfFilter)->Unit(benchmark::kMillisecond)->MinTime(1.0);

class ZipRatioReporter : public BenchSupport::RatioReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        Report("ZipReader", "BareZlib", Messages().uncompressedBytes, "goal >= 0.9");
        Report("CrlfFilter", "Memcpy", FilterInput().size(), "memcpy is the ceiling");
    }

private:
    // Throughput of the run and its ratio to the baseline (baseline time / run time).
    void Report(const char* run, const char* baseline, size_t bytes, const char* note) {
        const double runTime = Cpu(run);
        const double baseTime = Cpu(baseline);
        if (runTime <= 0 || baseTime <= 0)
            return;
        // CPU times are in the benchmark's unit (milliseconds here).
        double runMBs = bytes / (runTime / 1000.0) / 1e6;
        double baseMBs = bytes / (baseTime / 1000.0) / 1e6;
        printf("%s %.0f MB/s, %s %.0f MB/s, ratio %.3f (%s)\n", run, runMBs, baseline, baseMBs, baseTime / runTime,
               note);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    ZipRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
