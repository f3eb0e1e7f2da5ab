// Synchronises 10,000 generated messages from the local simulator into an empty local copy, as
// `ostrel sync` does (SyncRequest, ZIP archives of 100 messages, one file per message and its
// metadata, durable after each archive), and downloads the same archives with bare libcurl in the
// same run. Reports for both the wall time, messages per second and MB/s of message bytes, and
// the client's own CPU time per message: the CPU time of the benchmark's thread, since the
// simulator serves from threads of its own in the same process. Goals: the bare download at least
// 200 MB/s (the simulator keeps up with a real server), the synchronisation's rate at least 0.5 of
// the bare download's.
#include "ostrel/Cli.h"
#include "ostrel/LocalServer.h"
#include "ostrel/MailboxSync.h"
#include "ostrel/SignOn.h"
#include "ostrel/StoreMailbox.h"

#include "Ostrel/Rpc/Session/UserSession.h"
#include "ostrel-server/Mailbox.h"

#include <benchmark/benchmark.h>

#include <unistd.h>
#include "Support/BareDownload.h"
#include "Support/RatioReporter.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace {

constexpr size_t kMessages = 10000;
constexpr size_t kBatch = 100;

struct Fixture {
    std::unique_ptr<OstrelServer::Server> server;
    OstrelCli::ProfileSettings profile;
    std::shared_ptr<Ostrel::Rpc::UserSession> session;
    std::vector<int32_t> ids;
    uint64_t ullMimeBytes = 0;
};

Fixture& TheFixture() {
    static Fixture* fixture = [] {
        auto* f = new Fixture();
        OstrelCli::LocalServerOptions options;
        options.cGenerate = kMessages;
        f->server = OstrelCli::StartLocalServer(options);
        OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(*f->server);
        for (int32_t folder = 1; folder < 1000; ++folder) {
            for (int32_t id : mailbox.ItemsIn(folder)) {
                auto item = mailbox.Item(id);
                if (item && item->kind == OstrelServer::ItemKind::Message) {
                    f->ids.push_back(id);
                    f->ullMimeBytes += item->mime.size();
                }
            }
        }
        std::sort(f->ids.begin(), f->ids.end());
        std::string why;
        f->profile.sName = "bench";
        f->profile.server = *OstrelCli::ParseServerUrl(f->server->BaseUrl(), why);
        f->profile.sAccount = OstrelCli::kLocalAccount;
        OstrelCli::Context context;
        OstrelCli::SignOnProfile(f->profile, L"secret", context, f->session);
        return f;
    }();
    return *fixture;
}

void BM_BareDownload(benchmark::State& state) {
    Fixture& f = TheFixture();
    BenchSupport::BareDownload download(f.server->BaseUrl(), f.session->SetZipLevel(), f.session->AuthToken());
    for (auto _ : state) {
        if (!download.Run(f.ids, kBatch)) {
            state.SkipWithError("bare download failed");
            break;
        }
    }
    state.counters["zip_MB"] = static_cast<double>(download.ZipBytes()) / 1e6;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.ids.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.ullMimeBytes));
}

void BM_Sync(benchmark::State& state) {
    Fixture& f = TheFixture();
    const std::filesystem::path dir = OstrelCli::ProfileDataDir(f.profile.sName);
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(dir);
        for (const auto& entry : std::filesystem::directory_iterator(dir.parent_path()))
            if (entry.path().filename().string().rfind(f.profile.sName + ".", 0) == 0 ||
                entry.path().filename().string().rfind(f.profile.sName + "_", 0) == 0)
                std::filesystem::remove(entry.path());
        state.ResumeTiming();
        OstrelCli::StoreMailbox mailbox(f.profile.sName);
        std::string why;
        if (FAILED(mailbox.Open(true, why))) {
            state.SkipWithError(why.c_str());
            break;
        }
        OstrelCli::MailboxSync sync(f.profile, *f.session, mailbox);
        try {
            const OstrelCli::SyncReport report = sync.Run(false);
            if (report.cFetched != f.ids.size())
                state.SkipWithError("the synchronisation missed messages");
        } catch (...) {
            state.SkipWithError("the synchronisation failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.ids.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.ullMimeBytes));
}

BENCHMARK(BM_BareDownload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Sync)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Logging every request is not what is measured.
    setenv("OSTREL_LOG", "0", 0);
    const std::string home =
        (std::filesystem::temp_directory_path() / ("ostrel-sync-bench-" + std::to_string(getpid()))).string();
    setenv("OSTREL_HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home + "-run").c_str(), 1);
    benchmark::Initialize(&argc, argv);
    Fixture& f = TheFixture();
    std::printf("%zu messages, %.1f MB of MIME\n", f.ids.size(), static_cast<double>(f.ullMimeBytes) / 1e6);
    BenchSupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double bare = reporter.Real("BM_BareDownload");
    const double sync = reporter.Real("BM_Sync");
    const double n = static_cast<double>(f.ids.size()), mb = static_cast<double>(f.ullMimeBytes) / 1e6;
    auto line = [&](const char* what, const char* name, double wallMs) {
        std::printf("%-13s %7.0f ms wall, %6.0f msg/s, %7.1f MB/s; client CPU %6.1f ms, %6.1f us/msg\n", what, wallMs,
                    n / (wallMs / 1e3), mb / (wallMs / 1e3), reporter.Cpu(name), reporter.Cpu(name) * 1e3 / n);
    };
    if (bare > 0)
        line("bare download", "BM_BareDownload", bare);
    if (sync > 0)
        line("sync", "BM_Sync", sync);
    if (bare > 0)
        std::printf("bare download %.1f MB/s (goal >= 200)\n", mb / (bare / 1e3));
    if (bare > 0 && sync > 0)
        std::printf("ratio sync/bare %.3f (goal >= 0.5)\n", bare / sync);
    Ostrel::Rpc::UserSession::ReleaseSharedSessions();
    f.server->Stop();
    std::filesystem::remove_all(home);
    std::filesystem::remove_all(home + "-run");
    return 0;
}
