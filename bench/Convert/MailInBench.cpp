// 10,000 generated server messages downloaded as 20 ZIP archives (metadata and MIME entries, half of
// the archives deflated) and converted into a store folder with IncomingBatch, next to the host's
// converter session alone on the same MIME texts in the same run. Both run three times in turn;
// the ratio of the whole incoming path to the converter alone, in wall-clock and in CPU time, is
// taken from each one's least time (goal: at most 1.2). Reports messages and megabytes per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Ostrel/Convert/Mail/IncomingBatch.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/MailBench.h"
#include "ostrel-server/ZipWriter.h"

namespace {

using BenchSupport::Words;
using Platform::ComPtr;

constexpr int kMessages = 10000;
constexpr int kPerArchive = 500;

struct Item {
    std::string meta;
    std::string mime;
};

// Plain mails of 2 to 12 KB, every third one with an HTML alternative, with flags and tags.
std::vector<Item> Generate() {
    std::mt19937 random(20261206);
    const char* const flags[] = {"", "u", "sr", "uf", "w", "rw"};
    std::vector<Item> items;
    for (int i = 0; i < kMessages; ++i) {
        const int id = 100000 + i;
        Item item;
        item.meta = "<m id=\"" + std::to_string(id) + "\" l=\"2\" f=\"" + flags[i % 6] + "\"" +
                    (i % 4 == 0 ? " t=\"3,7\" tn=\"Work,Urgent\"" : "") + " d=\"" +
                    std::to_string(1700000000000LL + i * 1000LL) + "\" cid=\"" + std::to_string(i / 3) +
                    "\" s=\"0\" md=\"1\" ms=\"1\"/>";
        std::string m = "Received: from relay.example.net by mx.example.com; Mon, 4 Mar 2024 09:00:03 +0000\r\n";
        m += "Message-ID: <" + std::to_string(random()) + "." + std::to_string(i) + "@example.net>\r\n";
        m += "Date: Mon, 4 Mar 2024 09:00:00 +0100\r\nFrom: =?utf-8?q?J=C3=B6rg_M=C3=BCller?= <joerg@example.de>\r\n";
        m +=
            "To: Tom Hale <tom.hale@example.com>\r\nSubject: Report " + std::to_string(i) + "\r\nMIME-Version: 1.0\r\n";
        const size_t size = 2000 + random() % 10000;
        if (i % 3 == 0) {
            const std::string boundary = "b" + std::to_string(i);
            m += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary +
                 "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
                 Words(random, size / 2) + "--" + boundary +
                 "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n<html><body>" +
                 Words(random, size / 2) + "</body></html>\r\n--" + boundary + "--\r\n";
        } else {
            m += "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
                 Words(random, size);
        }
        item.mime = std::move(m);
        items.push_back(std::move(item));
    }
    return items;
}

const std::vector<Item>& Items() {
    static const std::vector<Item> s_items = Generate();
    return s_items;
}

uint64_t MimeBytes() {
    uint64_t total = 0;
    for (const Item& item : Items())
        total += item.mime.size();
    return total;
}

const std::vector<std::string>& Archives() {
    static const std::vector<std::string> s_archives = [] {
        std::vector<std::string> archives;
        for (int first = 0; first < kMessages; first += kPerArchive) {
            std::string zip;
            OstrelServer::ZipWriter writer([&zip](const char* data, size_t size) {
                zip.append(data, size);
                return true;
            });
            const bool bDeflate = (first / kPerArchive) % 2 == 1;
            for (int i = first; i < first + kPerArchive; ++i) {
                const std::string id = std::to_string(100000 + i);
                writer.AddStored(id + ".meta", Items()[i].meta);
                if (bDeflate)
                    writer.AddDeflated(id + ".eml", Items()[i].mime, 4);
                else
                    writer.AddStored(id + ".eml", Items()[i].mime);
            }
            writer.Finish();
            archives.push_back(std::move(zip));
        }
        return archives;
    }();
    return s_archives;
}

using BenchStore = BenchSupport::TempInboxStore;

void BM_ConverterAlone(benchmark::State& state) {
    Items();
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchStore bs;
            ComPtr<IConverterSession> pSession;
            Platform::Mapi::CreateConverterSession(pSession.AddressOf());
            state.ResumeTiming();
            for (const Item& item : Items()) {
                ComPtr<IMessage> pMessage;
                bs.inbox->CreateMessage(nullptr, 0, pMessage.AddressOf());
                ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(item.mime);
                if (FAILED(pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC)))
                    std::abort();
            }
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MimeBytes()));
}

void BM_MailInFromArchives(benchmark::State& state) {
    Archives();
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchStore bs;
            std::map<LONG, std::wstring> tagMap = {{3, L"Work"}, {7, L"Urgent"}};
            Ostrel::Convert::IncomingBatch batch(bs.store.Get(), bs.inbox.Get(), nullptr, tagMap);
            state.ResumeTiming();
            ULONG cDone = 0;
            for (const std::string& archive : Archives()) {
                ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(archive);
                const Ostrel::Convert::IncomingBatchReport report = batch.ConvertArchive(pStream.Get());
                cDone += report.cConverted;
            }
            state.PauseTiming();
            if (cDone != kMessages)
                std::abort();
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MimeBytes()));
}

constexpr int kRounds = 3;

}  // namespace

int main(int argc, char** argv) {
    // Rates per wall-clock second: a store's commits wait for the disk, which CPU time leaves out.
    BenchSupport::RegisterRounds(
        {{"BM_ConverterAlone", BM_ConverterAlone}, {"BM_MailInFromArchives", BM_MailInFromArchives}}, kRounds,
        [](benchmark::internal::Benchmark* pBench) {
            pBench->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
        });
    benchmark::Initialize(&argc, argv);
    BenchSupport::LeastTimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double base = reporter.Real("BM_ConverterAlone");
    const double incoming = reporter.Real("BM_MailInFromArchives");
    const double baseCpu = reporter.Cpu("BM_ConverterAlone");
    const double incomingCpu = reporter.Cpu("BM_MailInFromArchives");
    bool bMissed = false;
    if (base > 0 && incoming > 0 && baseCpu > 0 && incomingCpu > 0) {
        std::printf(
            "incoming path / converter alone, least of %d rounds each: %.3f wall-clock, %.3f CPU (goal: at most "
            "1.2)\n",
            kRounds, incoming / base, incomingCpu / baseCpu);
        bMissed = incomingCpu / baseCpu > 1.2;
    }
    benchmark::Shutdown();
    return bMissed ? 1 : 0;
}
