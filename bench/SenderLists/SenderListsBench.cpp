// One synchronisation of 10,000 safe and 10,000 blocked senders on each side, of which the user
// changed 1,000 and the server 500 since the last run: the server's reply parsed through the
// DOM, the changes built into real requests, the lists file and the snapshots read and written.
// The baseline, measured in the same run, is what any run must do at least: parse the same reply
// into lists and write the lists file once. Prints the CPU time of a run (goal: under 1 s) and
// its ratio to the baseline, and exits 1 when the goal is missed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "Ostrel/Rpc/Soap/AccountResponses.h"
#include "Ostrel/SenderLists/WhiteBlackListSync.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Host/JunkMail.h"
#include "Platform/Xml/Dom.h"
#include "Support/RatioReporter.h"

namespace {

constexpr int kEntries = 10000;
const wchar_t* const kProfile = L"bench";

std::wstring Address(const wchar_t* pwszKind, int i) {
    return std::wstring(pwszKind) + std::to_wstring(i) + L"@example" + std::to_wstring(i % 97) + L".com";
}

std::string Reply(const std::string& call, const std::set<std::wstring>& white, const std::set<std::wstring>& black) {
    std::string xml = "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body><" + call +
                      " xmlns=\"urn:ostrelAccount\"><whiteList>";
    for (const std::wstring& a : white)
        xml += "<addr>" + Platform::ToUtf8(a) + "</addr>";
    xml += "</whiteList><blackList>";
    for (const std::wstring& a : black)
        xml += "<addr>" + Platform::ToUtf8(a) + "</addr>";
    return xml + "</blackList></" + call + "></soap:Body></soap:Envelope>";
}

Ostrel::Rpc::Response* Parse(const std::string& xml) {
    Platform::ComPtr<IXMLDOMDocument2> doc;
    Platform::Xml::CreateDocument(doc.AddressOf());
    doc->loadXMLBytes(xml);
    return Ostrel::Rpc::Response::Manager::NewResponse(doc.Get());
}

// The server in memory; requests are built for real and answered with parsed replies.
class BenchServer : public Ostrel::Mapi::OstrelWhiteBlackListServer {
public:
    void GetLists(Ostrel::Mapi::SenderList& blackList, Ostrel::Mapi::SenderList& whiteList) override {
        m_reply = Reply("GetWhiteBlackListResponse", white, black);
        OstrelWhiteBlackListServer::GetLists(blackList, whiteList);
    }
    void SendChanges(bool bWhiteList, const std::vector<Ostrel::Mapi::SenderChange>& changes) override {
        m_reply = Reply("ModifyWhiteBlackListResponse", {}, {});
        OstrelWhiteBlackListServer::SendChanges(bWhiteList, changes);
        std::set<std::wstring>& list = bWhiteList ? white : black;
        for (const auto& change : changes) {
            if (change.op == Ostrel::Mapi::SenderChangeOp::Add)
                list.insert(change.wsEntry);
            else
                list.erase(change.wsEntry);
        }
    }

    std::set<std::wstring> white, black;

protected:
    std::unique_ptr<Ostrel::Rpc::Response> Exchange(Ostrel::Rpc::Request&) override {
        return std::unique_ptr<Ostrel::Rpc::Response>(Parse(m_reply));
    }

private:
    std::string m_reply;
};

struct Home {
    std::filesystem::path dir;
    Home() {
        char pattern[] = "/tmp/ostrel-senders-bench-XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        dir = pattern;
        setenv("OSTREL_HOME", (dir / "home").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
    }
    ~Home() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

// Both sides equal, then the user's 1,000 changes and the server's 500 (round decides which).
void PrepareRound(BenchServer& server, int round) {
    Platform::Host::JunkMailLists lists;
    for (const std::wstring& a : server.white)
        lists.safeSenders.push_back(a);
    for (const std::wstring& a : server.black)
        lists.blockedSenders.push_back(a);
    for (int i = 0; i < 500; ++i) {
        lists.safeSenders[i * 7] = Address(L"user", round * 1000 + i);  // 500 removed, 500 added
        lists.blockedSenders.push_back(Address(L"block", round * 1000 + i));
        server.white.insert(Address(L"server", round * 1000 + i));
    }
    if (FAILED(Platform::Host::WriteJunkMailLists(kProfile, lists)))
        std::abort();
}

void Sync(benchmark::State& state) {
    Home home;
    BenchServer server;
    for (int i = 0; i < kEntries; ++i) {
        server.white.insert(Address(L"friend", i));
        server.black.insert(Address(L"spam", 100000 + i));
    }
    Ostrel::Mapi::CWhiteBlackListSync sync(kProfile, &server, home.dir / "snapshots");
    PrepareRound(server, 0);
    if (sync.SyncWhiteBlackLists() != S_OK)  // the snapshots
        std::abort();
    int round = 1;
    for (auto _ : state) {
        state.PauseTiming();
        PrepareRound(server, round++);
        state.ResumeTiming();
        Ostrel::Mapi::WhiteBlackListSyncReport report;
        if (sync.SyncWhiteBlackLists(&report) != S_OK || report.cChangesSent != 1500)
            std::abort();
    }
}

// Parse the reply into lists and write the lists file once.
void Baseline(benchmark::State& state) {
    Home home;
    std::set<std::wstring> white, black;
    for (int i = 0; i < kEntries; ++i) {
        white.insert(Address(L"friend", i));
        black.insert(Address(L"spam", 100000 + i));
    }
    const std::string reply = Reply("GetWhiteBlackListResponse", white, black);
    struct Collect : Ostrel::Rpc::WhiteBlackListConsumer {
        Platform::Host::JunkMailLists lists;
        void ConsumeAddress(bool bWhite, const std::wstring& a) override {
            (bWhite ? lists.safeSenders : lists.blockedSenders).push_back(a);
        }
    };
    for (auto _ : state) {
        std::unique_ptr<Ostrel::Rpc::Response> response(Parse(reply));
        Collect collect;
        dynamic_cast<Ostrel::Rpc::WhiteBlackListResponseBase&>(*response).Consume(&collect);
        if (FAILED(Platform::Host::WriteJunkMailLists(kProfile, collect.lists)))
            std::abort();
    }
}

BENCHMARK(Baseline)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(Sync)->Unit(benchmark::kMillisecond)->MinTime(1.0);

class SendersRatioReporter : public BenchSupport::RatioReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double baseline = Cpu("Baseline"), sync = Cpu("Sync");
        if (baseline > 0 && sync > 0)
            std::printf("sync of %d + %d entries: %.1f ms CPU (goal < 1000); ratio Sync / Baseline = %.2f\n", kEntries,
                        kEntries, sync, sync / baseline);
        bMet = sync > 0 && sync < 1000.0;
    }
    bool bMet = false;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SendersRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.bMet ? 0 : 1;
}
