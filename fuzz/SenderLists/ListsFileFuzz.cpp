// A lists file as any editor or a cut-short write may have left it: it is read or reported, and
// lists that read are written and read again and must come back the same.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Platform/Host/JunkMail.h"

namespace {

const std::vector<std::string> kHeadings = {"safe senders", "blocked senders", "invalid blocked domains"};

// A private folder of this process for the input and the rewritten file, in memory where there
// is such a folder (writes are flushed to disk, which would slow each run down a hundredfold).
// libFuzzer ends the process without running exit handlers, so each run removes the folders of
// runs that have ended instead.
const std::filesystem::path& Dir() {
    static const std::filesystem::path dir = [] {
        const std::filesystem::path base = !std::getenv("TMPDIR") && std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        const std::string prefix = "senderlists-fuzz-";
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
            const std::string name = entry.path().filename().string();
            const int pid = name.starts_with(prefix) ? std::atoi(name.c_str() + prefix.size()) : 0;
            if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
                std::filesystem::remove_all(entry.path(), ec);
        }
        const std::filesystem::path mine = base / (prefix + std::to_string(::getpid()));
        std::filesystem::remove_all(mine, ec);
        if (::mkdir(mine.c_str(), 0700) != 0)
            std::abort();
        return mine;
    }();
    return dir;
}

void WriteInput(const std::filesystem::path& path, const uint8_t* data, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        std::abort();
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path input = Dir() / "input.lists", again = Dir() / "again.lists";
    WriteInput(input, data, size);
    Platform::Host::NamedLists lists;
    std::wstring wsProblem;
    const HRESULT hr = Platform::Host::ReadListsFile(input, kHeadings, lists, &wsProblem);
    if (hr != S_OK) {
        // Refused input is explained and yields nothing.
        if (hr != Platform::Host::kJunkMailListsDamaged || wsProblem.empty() || !lists.empty())
            std::abort();
        return 0;
    }
    if (FAILED(Platform::Host::WriteListsFile(again, "fuzz", lists)))
        std::abort();
    Platform::Host::NamedLists back;
    if (Platform::Host::ReadListsFile(again, kHeadings, back) != S_OK || back != lists)
        std::abort();
    return 0;
}
