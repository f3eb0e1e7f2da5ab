#include "StoreMigrate.h"

#include "StoreSync.h"

#include "Util/Log/Log.h"

#include <algorithm>

namespace OstrelCli {

size_t MigrateLegacyCopy(StoreMailbox& mailbox, StoreSync& sync) {
    LocalMailbox& local = mailbox.State();
    const std::map<int32_t, LocalFolder> folders = local.Folders();
    // Parents before children: by depth, which a parent chain that loops cannot make endless.
    auto depthOf = [&](int32_t id) {
        size_t depth = 0;
        for (auto it = folders.find(id); it != folders.end() && depth <= folders.size(); ++depth)
            it = folders.find(it->second.iParent);
        return depth;
    };
    std::vector<std::pair<size_t, std::pair<int32_t, SyncFolder>>> ordered;
    for (const auto& [id, folder] : folders) {
        SyncFolder entry;
        entry.iParent = folder.iParent;
        entry.sName = folder.sName;
        entry.sView = folder.sView;
        ordered.push_back({depthOf(id), {id, entry}});
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<int32_t, SyncFolder>> list;
    for (auto& entry : ordered)
        list.push_back(std::move(entry.second));
    sync.ApplyTags({});
    sync.ApplyFolders(list);

    const std::set<int32_t> ids = local.LegacyMessageIds();
    OSTLOG_INFO(1, L"Carrying %d messages of the old local copy into %hs", static_cast<int>(ids.size()),
                mailbox.Path().string().c_str());
    size_t count = 0;
    std::string mime, meta;
    for (int32_t id : ids) {
        if (!local.ReadLegacyMessage(id, mime, meta)) {
            OSTLOG_ERROR(L"Message %d of the old local copy cannot be read; the next listing fetches it", id);
            continue;
        }
        const size_t before = sync.Counts().cFetched;
        sync.WriteMessage(id, meta, mime, nullptr);
        count += sync.Counts().cFetched - before;
    }
    // The records are durable before the files they replace go.
    mailbox.Flush();
    local.RemoveLegacyCopy();
    return count;
}

}  // namespace OstrelCli
