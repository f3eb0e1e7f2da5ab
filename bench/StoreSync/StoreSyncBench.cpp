// `ostrel sync` into the profile's store, run as the real program against the simulator served
// from this process:
//  - a full synchronisation of 10,000 generated messages into a new store, next to a bare libcurl
//    download of the same archives measured in the same run (goal: at least 0.5 of its rate);
//    Beside both, GMime parsing each message's MIME from memory, the least any conversion of the
//    messages must do: its rate bounds what a sync that converts them can reach;
//  - a synchronisation with nothing to do on that 10,000-message store (goal: under 0.3 s);
//  - the synchronising process's peak memory (its maximum resident set) for a smaller and a larger
//    mailbox: 1,000 and 10,000 messages, or 10,000 and 100,000 with OSTREL_BENCH_LARGE=1 (goal:
//    flat, the larger at most 1.5 times the smaller).
// The program runs as a child process, so its time and memory are its own, not the simulator's.
// A child started straight from this process would be charged this process's memory (the
// simulator's mailbox): the kernel records the peak of the address space it ran in until its exec,
// and a spawned child runs in its parent's. So a run whose memory counts goes through a fresh copy
// of this program (--measure-child) that starts `ostrel` from its own small address space and
// hands back the peak it read.
// A missed goal makes the benchmark exit with status 1.
#include "ostrel/Cli.h"
#include "ostrel/LocalServer.h"
#include "ostrel/SignOn.h"

#include "Ostrel/Rpc/Session/UserSession.h"
#include "ostrel-server/Mailbox.h"

#include <benchmark/benchmark.h>
#include <gmime/gmime.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include "Support/BareDownload.h"
#include "Support/RatioReporter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr size_t kMessages = 10000;
constexpr size_t kBatch = 100;
constexpr char kPasswordVariable[] = "OSTREL_BENCH_PASSWORD";

struct ChildRun {
    int iExit = -1;
    long lMaxRssKb = 0;
    std::string sOut;
};

constexpr char kMeasureChild[] = "--measure-child";

std::string TempFile(const char* pszWhat) {
    return (std::filesystem::temp_directory_path() / (std::string(pszWhat) + std::to_string(getpid()))).string();
}

// Runs `ostrel` with the arguments and waits for it; its standard output is kept, its errors go
// to this program's. With bMeasure, lMaxRssKb is the peak of `ostrel` alone.
ChildRun RunOstrel(const std::vector<std::string>& args, bool bMeasure = false) {
    ChildRun run;
    const std::string outFile = TempFile("ostrel-bench-out-");
    const std::string rssFile = TempFile("ostrel-bench-rss-");
    std::vector<std::string> words = {OSTREL_CLI};
    if (bMeasure)
        words = {std::filesystem::read_symlink("/proc/self/exe").string(), kMeasureChild, rssFile, OSTREL_CLI};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status))
        run.iExit = WEXITSTATUS(status);
    run.lMaxRssKb = usage.ru_maxrss;
    if (bMeasure) {
        run.lMaxRssKb = 0;
        std::ifstream rss(rssFile);
        rss >> run.lMaxRssKb;
        std::filesystem::remove(rssFile);
    }
    std::ifstream in(outFile);
    std::ostringstream text;
    text << in.rdbuf();
    run.sOut = text.str();
    std::filesystem::remove(outFile);
    return run;
}

// The fresh copy of --measure-child: runs the command after the file name with this process's
// standard streams, writes its peak memory in KB into the file, exits with its status.
int MeasureChild(int argc, char** argv) {
    if (argc < 4)
        return 125;
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[3], nullptr, nullptr, argv + 3, environ) != 0)
        return 126;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status))
        return 127;
    std::ofstream rss(argv[2], std::ios::trunc);
    rss << usage.ru_maxrss << '\n';
    rss.flush();
    return rss ? WEXITSTATUS(status) : 125;
}

bool Login(const OstrelServer::Server& server, const std::string& profile) {
    return RunOstrel({"login", "--profile", profile, "--server", server.BaseUrl(), "--account",
                      OstrelCli::kLocalAccount, "--password-env", kPasswordVariable, "--store-password"})
               .iExit == 0;
}

// A full synchronisation into a new profile's store; the child's run, or iExit -1 when the
// profile could not be made.
ChildRun FullSync(const OstrelServer::Server& server, const std::string& profile, size_t cExpected) {
    if (!Login(server, profile))
        return ChildRun{};
    ChildRun run = RunOstrel({"sync", "--profile", profile, "--json"}, true);
    if (run.iExit == 0 && run.sOut.find("\"fetched\":" + std::to_string(cExpected) + ",") == std::string::npos)
        run.iExit = 100;  // it missed messages
    return run;
}

struct Fixture {
    std::unique_ptr<OstrelServer::Server> server;
    OstrelCli::ProfileSettings profile;
    std::shared_ptr<Ostrel::Rpc::UserSession> session;
    std::vector<int32_t> ids;
    uint64_t ullMimeBytes = 0;
    std::string sFullProfile;  // the last profile a full synchronisation filled
    long lPeakKb = 0;          // its peak memory
};

std::vector<int32_t> MessageIds(OstrelServer::Server& server, uint64_t* pBytes) {
    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(server);
    std::vector<int32_t> ids;
    for (int32_t folder = 1; folder < 1000; ++folder) {
        for (int32_t id : mailbox.ItemsIn(folder)) {
            auto item = mailbox.Item(id);
            if (item && item->kind == OstrelServer::ItemKind::Message) {
                ids.push_back(id);
                if (pBytes)
                    *pBytes += item->mime.size();
            }
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::unique_ptr<OstrelServer::Server> Simulator(size_t cMessages) {
    OstrelCli::LocalServerOptions options;
    options.cGenerate = cMessages;
    return OstrelCli::StartLocalServer(options);
}

Fixture& TheFixture() {
    static Fixture* fixture = [] {
        auto* f = new Fixture();
        f->server = Simulator(kMessages);
        f->ids = MessageIds(*f->server, &f->ullMimeBytes);
        std::string why;
        f->profile.sName = "bare";
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
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.ids.size()));
}

void BM_ParseOnly(benchmark::State& state) {
    Fixture& f = TheFixture();
    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(*f.server);
    std::vector<std::string> messages;
    for (int32_t id : f.ids)
        messages.push_back(mailbox.Item(id)->mime);
    g_mime_init();
    for (auto _ : state) {
        for (const std::string& text : messages) {
            GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
            GMimeParser* parser = g_mime_parser_new_with_stream(stream);
            GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
            benchmark::DoNotOptimize(message);
            if (message)
                g_object_unref(message);
            g_object_unref(parser);
            g_object_unref(stream);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.ids.size()));
}

void BM_FullSync(benchmark::State& state) {
    Fixture& f = TheFixture();
    int iRun = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string profile = "full-" + std::to_string(++iRun);
        if (!Login(*f.server, profile)) {
            state.SkipWithError("login failed");
            break;
        }
        state.ResumeTiming();
        const ChildRun run = RunOstrel({"sync", "--profile", profile, "--json"}, true);
        if (run.iExit != 0 || run.sOut.find("\"fetched\":" + std::to_string(f.ids.size()) + ",") == std::string::npos) {
            state.SkipWithError("the synchronisation failed or missed messages");
            break;
        }
        f.sFullProfile = profile;
        f.lPeakKb = run.lMaxRssKb;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.ids.size()));
}

void BM_NoopSync(benchmark::State& state) {
    Fixture& f = TheFixture();
    if (f.sFullProfile.empty()) {
        state.SkipWithError("no store to synchronise again");
        return;
    }
    for (auto _ : state) {
        const ChildRun run = RunOstrel({"sync", "--profile", f.sFullProfile, "--json"});
        if (run.iExit != 0 || run.sOut.find("\"fetched\":0,") == std::string::npos) {
            state.SkipWithError("the synchronisation failed or found work");
            break;
        }
    }
}

BENCHMARK(BM_BareDownload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FullSync)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_NoopSync)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == kMeasureChild)
        return MeasureChild(argc, argv);
    setenv("OSTREL_LOG", "0", 0);
    setenv(kPasswordVariable, OstrelCli::kLocalPassword, 1);
    const std::string home =
        (std::filesystem::temp_directory_path() / ("ostrel-store-sync-bench-" + std::to_string(getpid()))).string();
    setenv("OSTREL_HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home + "-run").c_str(), 1);
    benchmark::Initialize(&argc, argv);
    Fixture& f = TheFixture();
    std::printf("%zu messages, %.1f MB of MIME\n", f.ids.size(), static_cast<double>(f.ullMimeBytes) / 1e6);
    BenchSupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // Peak memory for a second mailbox size, on a simulator of its own.
    const bool bLarge = std::getenv("OSTREL_BENCH_LARGE") != nullptr;
    const size_t cOther = bLarge ? 100000 : 1000;
    long lOtherKb = 0;
    {
        std::unique_ptr<OstrelServer::Server> other = Simulator(cOther);
        const size_t cIds = MessageIds(*other, nullptr).size();
        const ChildRun run = FullSync(*other, "memory", cIds);
        if (run.iExit == 0)
            lOtherKb = run.lMaxRssKb;
        other->Stop();
    }

    const double bare = reporter.Real("BM_BareDownload");
    const double full = reporter.Real("BM_FullSync");
    const double parse = reporter.Real("BM_ParseOnly");
    const double noop = reporter.Real("BM_NoopSync");
    bool bMet = bare > 0 && full > 0 && noop > 0 && f.lPeakKb > 0 && lOtherKb > 0;
    const double n = static_cast<double>(f.ids.size());
    if (bare > 0 && full > 0) {
        std::printf("bare download %.0f msg/s, full sync into the store %.0f msg/s: ratio %.3f (goal >= 0.5)\n",
                    n / (bare / 1e3), n / (full / 1e3), bare / full);
        bMet = bMet && bare / full >= 0.5;
    }
    if (bare > 0 && parse > 0)
        std::printf(
            "MIME parsing alone %.0f msg/s: a sync that parses each message reaches at most %.3f of the "
            "bare download\n",
            n / (parse / 1e3), bare / parse);
    if (noop > 0) {
        std::printf("no-op sync of the %zu-message store: %.3f s (goal < 0.3)\n", f.ids.size(), noop / 1e3);
        bMet = bMet && noop < 300;
    }
    if (f.lPeakKb > 0 && lOtherKb > 0) {
        const long lSmall = bLarge ? f.lPeakKb : lOtherKb;
        const long lLarge = bLarge ? lOtherKb : f.lPeakKb;
        const size_t cSmall = bLarge ? kMessages : cOther, cLarge = bLarge ? cOther : kMessages;
        std::printf("peak memory of the sync: %ld KB at %zu messages, %ld KB at %zu: ratio %.2f (goal <= 1.5)\n",
                    lSmall, cSmall, lLarge, cLarge, static_cast<double>(lLarge) / static_cast<double>(lSmall));
        bMet = bMet && static_cast<double>(lLarge) <= 1.5 * static_cast<double>(lSmall);
    }
    std::printf("%s\n", bMet ? "all goals met" : "GOAL MISSED (or a run failed)");
    Ostrel::Rpc::UserSession::ReleaseSharedSessions();
    f.server->Stop();
    std::filesystem::remove_all(home);
    std::filesystem::remove_all(home + "-run");
    return bMet ? 0 : 1;
}
