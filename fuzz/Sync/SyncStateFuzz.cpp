// Arbitrary bytes as the synchronisation's state files (the pending record, what of it is done,
// the items to ask for again, the tokens): damaged files must give an error, never a crash; what
// reads without error must read the same again (a record cut short is repaired once, not
// differently each time) and survive being written back.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Util/Log/Log.h"
#include "ostrel/LocalMailbox.h"

namespace {

std::optional<OstrelCli::PendingSync> ReadPending(const std::filesystem::path& dir, bool& bFailed) {
    bFailed = false;
    try {
        OstrelCli::LocalMailbox mailbox(dir);
        return mailbox.Pending();
    } catch (const std::runtime_error&) {
        bFailed = true;
        return std::nullopt;
    }
}

void Put(const std::filesystem::path& file, std::string_view data) {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path s_dir = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        std::string pattern = (std::filesystem::temp_directory_path() / "sync-state-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        std::atexit([] { std::filesystem::remove_all(s_dir); });
        return std::filesystem::path(pattern);
    }();
    // The input is the files' contents one after the other, split at NUL bytes.
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (const char* pszName : {"pending", "pending.done", "retry", "state", "gal"}) {
        const size_t end = rest.find('\0');
        Put(s_dir / pszName, rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }

    bool bFailed = false;
    const std::optional<OstrelCli::PendingSync> first = ReadPending(s_dir, bFailed);
    bool bFailedAgain = false;
    const std::optional<OstrelCli::PendingSync> again = ReadPending(s_dir, bFailedAgain);
    if (bFailed != bFailedAgain || first != again)
        std::abort();
    try {
        OstrelCli::LocalMailbox mailbox(s_dir);
        (void)mailbox.Token();
        (void)mailbox.GalToken();
        const auto retries = mailbox.Retries();
        mailbox.SetRetries(retries);
        if (mailbox.Retries() != retries)
            std::abort();
        if (first) {
            // Written back, the record reads as it was: nothing is lost or altered on the way.
            mailbox.SetPending(*first);
            std::optional<OstrelCli::PendingSync> back = mailbox.Pending();
            if (back != first)
                std::abort();
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
