// Reading SyncResponses of 10,000 and of 100,000 messages from the simulator: each iteration loads
// the reply into a document, builds the typed response, takes the token and walks every item with
// the XmlUtil look-ups. Reports the rate of both sizes and the time ratio large/small, which must
// stay within 12 for ten times the items (the walk is linear); the program fails otherwise.
//
// Times are the fastest repetition's CPU times, with the allocator as every client has it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Xml/Dom.h"
#include "Util/Text/XmlUtil.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"

// After the system's headers: fcntl.h, which it pulls in, defines LOCK_WRITE as a macro.
#include <httplib.h>

namespace {

constexpr size_t kSmall = 10000;
constexpr size_t kLarge = 100000;
constexpr double kMaxRatio = 12.0;

std::map<size_t, std::string> g_replies;

// A mailbox of `count` messages spread over the Inbox and a folder, fetched as one full sync.
std::string FetchReply(size_t count) {
    OstrelServer::Server server;
    server.Start();
    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(server);
    OstrelServer::MailFolder folder;
    folder.name = "Bulk";
    folder.view = "message";
    int32_t bulk = mailbox.AddFolder(folder);
    int32_t work = mailbox.AddTag("Work", "#FF0000");
    for (size_t i = 0; i < count; ++i) {
        OstrelServer::MailItem item;
        item.folderId = i % 3 ? bulk : OstrelServer::FolderId::Inbox;
        item.flags = i % 2 ? "u" : "sf";
        if (i % 5 == 0)
            item.tags = {work};
        item.date = 1704067200000 + static_cast<int64_t>(i) * 60000;
        item.subject = "Message " + std::to_string(i / 4);
        item.mime = "Subject: " + item.subject + "\r\n\r\nbody\r\n";
        mailbox.AddItem(std::move(item));
    }
    Ostrel::Rpc::SyncRequest request(nullptr, 0, 0);
    std::string envelope;
    request.GetDocument()->get_xmlUtf8(envelope);
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(300, 0);
    auto res = client.Post("/service/soap/SyncRequest", envelope, "application/soap+xml; charset=utf-8");
    if (!res || res->status != 200) {
        std::fprintf(stderr, "SyncRequest failed\n");
        std::exit(1);
    }
    server.Stop();
    return res->body;
}

// Loads, builds and walks one reply; returns the number of messages seen.
size_t ReadReply(const std::string& reply) {
    Platform::ComPtr<IXMLDOMDocument2> doc;
    Platform::Xml::CreateDocument(doc.AddressOf());
    if (doc->loadXMLBytes(reply) != S_OK)
        return 0;
    std::unique_ptr<Ostrel::Rpc::Response> response(Ostrel::Rpc::Response::Manager::NewResponse(doc.Get()));
    auto* sync = dynamic_cast<Ostrel::Rpc::SyncResponse*>(response.get());
    if (!sync)
        return 0;
    wchar_t* pwszToken = sync->SyncToken();
    MAPIFreeBuffer(pwszToken);

    Platform::ComPtr<IXMLDOMNodeList> items;
    if (doc->selectNodes(L"//mail:m", items.AddressOf()) != S_OK)
        return 0;
    size_t count = 0;
    Platform::ComPtr<IXMLDOMNode> node;
    while (items->nextNode(node.AddressOf()) == S_OK) {
        for (const wchar_t* pwszName : {L"id", L"l", L"f", L"t", L"d", L"ms"}) {
            wchar_t* pwszValue = nullptr;
            Ostrel::Util::XmlUtil::GetSingleAttribute(node.Get(), pwszName, &pwszValue);
            benchmark::DoNotOptimize(pwszValue);
            Ostrel::Util::XmlUtil::Free(pwszValue);
        }
        ++count;
    }
    return count;
}

void ReadSync(benchmark::State& state, size_t size) {
    const std::string& reply = g_replies[size];
    for (auto _ : state) {
        if (ReadReply(reply) != size)
            state.SkipWithError("wrong number of messages");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * size));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}

void ReadSync10k(benchmark::State& state) {
    ReadSync(state, kSmall);
}
void ReadSync100k(benchmark::State& state) {
    ReadSync(state, kLarge);
}

// The fastest of several repetitions: the other processes of a busy machine only ever add time.
double Fastest(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

BENCHMARK(ReadSync10k)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(5)->ComputeStatistics("min", Fastest);
BENCHMARK(ReadSync100k)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(5)->ComputeStatistics("min", Fastest);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min" && !run.error_occurred)
                m_ms[run.run_name.function_name] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (!m_ms.count("ReadSync10k") || !m_ms.count("ReadSync100k"))
            return;
        double small = m_ms["ReadSync10k"], large = m_ms["ReadSync100k"];
        std::printf("replies: %zu messages %.1f MiB, %zu messages %.1f MiB\n", kSmall,
                    g_replies[kSmall].size() / 1048576.0, kLarge, g_replies[kLarge].size() / 1048576.0);
        std::printf("rate: %.0f items/s at %zu, %.0f items/s at %zu\n", kSmall * 1000.0 / small, kSmall,
                    kLarge * 1000.0 / large, kLarge);
        m_ratio = large / small;
        std::printf("time ratio %zu/%zu = %.2f (limit %.0f): %s\n", kLarge, kSmall, m_ratio, kMaxRatio,
                    m_ratio <= kMaxRatio ? "linear" : "TOO SLOW");
    }
    double Ratio() const { return m_ratio; }

private:
    std::map<std::string, double> m_ms;
    double m_ratio = 0;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_replies[kSmall] = FetchReply(kSmall);
    g_replies[kLarge] = FetchReply(kLarge);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.Ratio() > kMaxRatio ? 1 : 0;
}
