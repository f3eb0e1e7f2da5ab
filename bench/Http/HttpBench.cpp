// Downloads 100 MB from the local simulator, once through Connection::DoGetSynchronous (which
// spools a reply this large to a self-deleting temporary file) and once with a bare libcurl
// transfer writing to a temporary file in the same directory; reports both rates and the ratio
// of Connection to bare libcurl.
#include "Ostrel/Rpc/Transport/Connection.h"
#include "ostrel-server/Server.h"

#include <benchmark/benchmark.h>

#include <curl/curl.h>
#include "Support/RatioReporter.h"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace {

constexpr size_t kBytes = 100'000'000;

OstrelServer::Server& TheServer() {
    static OstrelServer::Server* server = [] {
        auto* s = new OstrelServer::Server();
        s->Start();
        return s;
    }();
    return *server;
}

std::string Path() {
    return "/bulk?bytes=" + std::to_string(kBytes);
}

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
    int fd = *static_cast<int*>(user);
    size_t total = size * count, done = 0;
    while (done < total) {
        ssize_t n = ::write(fd, data + done, total - done);
        if (n <= 0)
            return 0;
        done += static_cast<size_t>(n);
    }
    return total;
}

void BM_BareCurl(benchmark::State& state) {
    std::string url = "http://127.0.0.1:" + std::to_string(TheServer().Port()) + Path();
    CURL* curl = curl_easy_init();
    std::string pattern = (std::filesystem::temp_directory_path() / "osnbenchXXXXXX").string();
    int fd = mkstemp(pattern.data());
    unlink(pattern.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &fd);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024);  // as the WinHTTP layer uses
    for (auto _ : state) {
        ftruncate(fd, 0);
        lseek(fd, 0, SEEK_SET);
        CURLcode rc = curl_easy_perform(curl);
        curl_off_t got = 0;
        curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &got);
        if (rc != CURLE_OK || static_cast<size_t>(got) != kBytes)
            state.SkipWithError("bare transfer failed");
    }
    close(fd);
    curl_easy_cleanup(curl);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_Connection(benchmark::State& state) {
    Ostrel::Rpc::Connection connection(L"bench", L"127.0.0.1", static_cast<DWORD>(TheServer().Port()), 0,
                                       Ostrel::Rpc::kProxyModeNone, nullptr, 0);
    const std::string path = Path();
    std::wstring url(path.begin(), path.end());
    for (auto _ : state) {
        std::string body;
        IStream* pStream = nullptr;
        bool bIsStream = false;
        try {
            connection.DoGetSynchronous(url.c_str(), nullptr, body, pStream, bIsStream, false, __func__, __LINE__);
        } catch (...) {
            state.SkipWithError("connection transfer failed");
            break;
        }
        STATSTG stat{};
        if (!bIsStream || FAILED(pStream->Stat(&stat, STATFLAG_NONAME)) || stat.cbSize.QuadPart != kBytes)
            state.SkipWithError("connection transfer incomplete");
        if (pStream)
            pStream->Release();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

BENCHMARK(BM_BareCurl)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_Connection)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Logging of a 100 MB transfer is not what is measured.
    setenv("OSTREL_LOG", "0", 0);
    std::string home = (std::filesystem::temp_directory_path() / ("ostrel-bench-" + std::to_string(getpid()))).string();
    setenv("OSTREL_HOME", home.c_str(), 0);
    benchmark::Initialize(&argc, argv);
    TheServer();
    BenchSupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double bare = reporter.Real("BM_BareCurl");
    double conn = reporter.Real("BM_Connection");
    if (bare > 0 && conn > 0) {
        double mb = kBytes / 1e6;
        std::printf("bare libcurl %.0f MB/s, Connection %.0f MB/s, ratio Connection/bare %.3f (goal >= 0.8)\n",
                    mb / (bare / 1e3), mb / (conn / 1e3), bare / conn);
    }
    TheServer().Stop();
    std::filesystem::remove_all(home);
    return 0;
}
