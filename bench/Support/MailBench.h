// What the mail benchmarks share: generated text that reads like mail, its transfer encodings, a
// store file in a temporary folder with its inbox open, removed again at the end, and rounds of
// benchmarks run in turn with each one's least disturbed round kept.
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Platform/Mime/Coders.h"

namespace BenchSupport {

// About `bytes` of words (some of them not ASCII) in lines of at most 72 characters, CRLF-ended.
inline std::string Words(std::mt19937& random, size_t bytes) {
    static const char* const kWords[] = {"meeting",  "budget",   "report",  "the",    "and",      "quarterly",
                                         "review",   "customer", "invoice", "please", "schedule", "project",
                                         "für",      "Grüße",    "résumé",  "data",   "server",   "calendar",
                                         "attached", "numbers",  "draft",   "final",  "team",     "plan"};
    std::string out;
    size_t column = 0;
    while (out.size() < bytes) {
        const char* word = kWords[random() % std::size(kWords)];
        out += word;
        column += std::char_traits<char>::length(word) + 1;
        if (column > 66) {
            out += "\r\n";
            column = 0;
        } else {
            out += ' ';
        }
    }
    return out + "\r\n";
}

// The data in Base64 or quoted-printable, as a body part carries it.
inline std::string Encode(const std::string& data, bool bBase64) {
    mimepp::String out;
    if (bBase64) {
        mimepp::Base64Encoder().encode(mimepp::String(data), out);
    } else {
        mimepp::QuotedPrintableEncoder().encode(mimepp::String(data), out);
    }
    return out.str();
}

// A new store in a fresh folder under /tmp, with the receive folder of IPM.Note open for writing.
struct TempInboxStore {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> store;
    Platform::ComPtr<IMAPIFolder> inbox;

    TempInboxStore() {
        char pattern[] = "/tmp/mail-bench-XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        dir = pattern;
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        Platform::ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        if (FAILED(Platform::OpenOsdStore(dir / "bench.osd", true, L"Bench", true, store.AddressOf())) ||
            FAILED(store->GetReceiveFolder(const_cast<wchar_t*>(L"IPM.Note"), MAPI_UNICODE, &cb, &pEid, nullptr)) ||
            FAILED(store->OpenEntry(cb, pEid, &IID_IMAPIFolder, MAPI_MODIFY, &ulType, pUnk.AddressOf())))
            std::abort();
        MAPIFreeBuffer(pEid);
        inbox.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
    }
    ~TempInboxStore() {
        inbox.Reset();
        store.Reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TempInboxStore(const TempInboxStore&) = delete;
    TempInboxStore& operator=(const TempInboxStore&) = delete;
};

// Registers the benchmarks as "<name>/round:<n>", round after round, so that a path and its
// baseline run alternately: on a shared machine the load changes while a benchmark runs.
inline void RegisterRounds(const std::vector<std::pair<std::string, void (*)(benchmark::State&)>>& benchmarks,
                           int cRounds, const std::function<void(benchmark::internal::Benchmark*)>& configure) {
    for (int round = 1; round <= cRounds; ++round) {
        for (const auto& [name, fn] : benchmarks)
            configure(benchmark::RegisterBenchmark((name + "/round:" + std::to_string(round)).c_str(), fn));
    }
}

// Console reporter that keeps, per benchmark (its name up to the first '/'), the least real and
// CPU time of its rounds: other processes only ever add time, so the least is the closest to the
// work itself, for the path and for its baseline alike.
class LeastTimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations <= 0)
                continue;
            const std::string name = run.benchmark_name().substr(0, run.benchmark_name().find('/'));
            Keep(m_real, name, run.GetAdjustedRealTime());
            Keep(m_cpu, name, run.GetAdjustedCPUTime());
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The least time (in the benchmark's unit) of the named benchmark; 0 when it did not run.
    double Real(const std::string& name) const { return Find(m_real, name); }
    double Cpu(const std::string& name) const { return Find(m_cpu, name); }

private:
    static void Keep(std::map<std::string, double>& times, const std::string& name, double time) {
        auto [it, bNew] = times.emplace(name, time);
        if (!bNew)
            it->second = std::min(it->second, time);
    }
    static double Find(const std::map<std::string, double>& times, const std::string& name) {
        auto it = times.find(name);
        return it == times.end() ? 0 : it->second;
    }

    std::map<std::string, double> m_real;
    std::map<std::string, double> m_cpu;
};

}  // namespace BenchSupport
