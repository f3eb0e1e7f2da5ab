// Arbitrary bytes as a synchronisation reply, read whole and read the way a reply too large to
// hold is read (its listing first, then its items one by one): a hostile reply must give an error
// or changes, never a crash or a hang, and both reads must agree on what it says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"
#include "ostrel/SyncChanges.h"

namespace {

std::optional<OstrelCli::SyncChanges> ReadWhole(IStream* pBody) {
    try {
        return OstrelCli::ReadSyncChanges(pBody);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool bQuiet = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return true;
    }();
    (void)bQuiet;
    auto body = Platform::MemStream::Create(std::string(reinterpret_cast<const char*>(data), size));
    const std::optional<OstrelCli::SyncChanges> whole = ReadWhole(body.Get());

    bool bListed = false;
    size_t cItems = 0;
    try {
        OstrelCli::SyncChanges listing = OstrelCli::ReadSyncChanges(
            body.Get(), [&](const OstrelCli::SyncChanges& l) { bListed = l.items.empty(); },
            [&](const OstrelCli::SyncItem& item) {
                // The items come in the order the whole read keeps them.
                if (!whole || cItems >= whole->items.size() || item != whole->items[cItems])
                    std::abort();
                ++cItems;
            });
        if (!whole || !bListed || cItems != whole->items.size() || listing.sToken != whole->sToken ||
            listing.folders.size() != whole->folders.size() || listing.deleted != whole->deleted ||
            listing.skipped != whole->skipped || listing.tags.size() != whole->tags.size())
            std::abort();
    } catch (const std::runtime_error&) {
        // A reply the whole read takes must not fail when read in two passes.
        if (whole)
            std::abort();
    }
    return 0;
}
