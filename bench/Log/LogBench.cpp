// Lines per second through the logger into a file, against a bare write(2) of the same bytes per
// line to a file opened the same way; and the file layer alone (RotatingLogFile::Append) against
// the same baseline. Prints lines/s and the ratios at the end, from CPU time (the runs are
// single-threaded; wall time on a shared machine mostly measures the neighbours). Both files rotate
// or are emptied at 10 MiB, so neither run measures a growing file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Support/RatioReporter.h"
#include "Util/Log/Log.h"
#include "Util/Log/LogFile.h"

namespace {

constexpr unsigned long long kMaxFileSize = 10ull << 20;

// A private folder for the files, removed at exit.
const std::filesystem::path& Folder() {
    static const std::filesystem::path dir = [] {
        char pattern[] = "/tmp/ostrel-log-bench-XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        return std::filesystem::path(pattern);
    }();
    return dir;
}

// One line as the logger writes it for a typical information line, read back from its file.
const std::string& LoggedLine() {
    static const std::string line = [] {
        std::filesystem::path path = Folder() / "sample.log";
        Ostrel::Util::g_logger.SetLogFilePath(path);
        OSTLOG_INFO(4, L"%d mappings", 12345);
        Ostrel::Util::g_logger.CloseLogFile();
        std::ifstream in(path, std::ios::binary);
        std::string s;
        std::getline(in, s);
        return s + "\n";
    }();
    return line;
}

void BareWrite(benchmark::State& state) {
    const std::string& line = LoggedLine();
    std::string path = (Folder() / "bare.log").string();
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        state.SkipWithError("cannot open the file");
        return;
    }
    unsigned long long cbFile = 0;
    for (auto _ : state) {
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            state.SkipWithError("write failed");
            break;
        }
        cbFile += line.size();
        if (cbFile > kMaxFileSize) {
            if (::ftruncate(fd, 0) != 0) {
                state.SkipWithError("truncate failed");
                break;
            }
            cbFile = 0;
        }
    }
    ::close(fd);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void FileAppend(benchmark::State& state) {
    const std::string& line = LoggedLine();
    Ostrel::Util::RotatingLogFile file;
    file.Configure(Folder() / "append.log", kMaxFileSize, 1);
    for (auto _ : state)
        file.Append(line);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void LoggerLine(benchmark::State& state) {
    LoggedLine();
    Ostrel::Util::g_logger.SetLogFilePath(Folder() / "logger.log");
    Ostrel::Util::g_logger.SetMaxFileSize(kMaxFileSize);
    Ostrel::Util::g_logger.SetMaxGenerations(1);
    for (auto _ : state)
        OSTLOG_INFO(4, L"%d mappings", 12345);
    Ostrel::Util::g_logger.CloseLogFile();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BareWrite)->MinTime(2.0);
BENCHMARK(FileAppend)->MinTime(2.0);
BENCHMARK(LoggerLine)->MinTime(2.0);

class LogRatioReporter : public BenchSupport::RatioReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        Report("FileAppend");
        Report("LoggerLine");
    }

private:
    // Lines per second of the run and the bare write's time per line over the run's.
    void Report(const char* run) {
        const double runTime = Cpu(run);
        const double baseTime = Cpu("BareWrite");
        if (runTime <= 0 || baseTime <= 0)
            return;
        // CPU times are in nanoseconds per line.
        char szLine[200];
        std::snprintf(szLine, sizeof(szLine),
                      "%s %.0f lines/s (%.2f us), BareWrite %.0f lines/s (%.2f us), ratio %.3f\n", run, 1e9 / runTime,
                      runTime / 1000, 1e9 / baseTime, baseTime / 1000, baseTime / runTime);
        GetOutputStream() << szLine;
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    setenv("OSTREL_LOG", "1", 1);
    LogRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(Folder(), ec);
    return 0;
}
