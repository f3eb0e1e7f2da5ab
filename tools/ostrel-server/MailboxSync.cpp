// The SyncResponse: without a token the folder tree with every item inside its folder; with a
// token the tags, folders and items changed since, flat, and the ids of what was deleted (or moved
// out of the synchronised subtree).
#include "MailboxData.h"

#include "Soap.h"

#include <algorithm>

namespace OstrelServer {

namespace {

// Calendar items that ended before the cut-off are left out.
bool BeforeCutoff(const MailItem& item, const std::optional<int64_t>& calCutoff) {
    if (!calCutoff || (item.kind != ItemKind::Appointment && item.kind != ItemKind::Task))
        return false;
    int64_t end = item.endDate ? item.endDate : item.date;
    return end < *calCutoff;
}

}  // namespace

std::string Mailbox::Data::WriteSync(const SyncOptions& options) const {
    const int32_t root = options.folderId > 0 ? options.folderId : FolderId::Root;
    if (!folders.count(root))
        throw MailboxError("mail.NO_SUCH_FOLDER", "no such folder id: " + std::to_string(root));
    if (options.token && (*options.token < forgottenUpTo || *options.token > rev))
        throw MailboxError("mail.MUST_RESYNC",
                           "the sync token " + std::to_string(*options.token) + " is no longer valid");

    const bool whole = root == FolderId::Root;
    std::set<int32_t> subtree;
    if (!whole) {
        std::vector<int32_t> ids = Subtree(root);
        subtree.insert(ids.begin(), ids.end());
    }
    auto inScope = [&](int32_t folderId) { return whole || subtree.count(folderId) > 0; };

    std::map<int32_t, size_t> counts;
    for (const auto& [id, item] : items)
        ++counts[item.folderId];
    auto countOf = [&](int32_t folderId) {
        auto it = counts.find(folderId);
        return it == counts.end() ? size_t(0) : it->second;
    };

    std::string xml = "<SyncResponse xmlns=\"urn:ostrelMail\" token=\"" + std::to_string(rev) + "\" md=\"" +
                      std::to_string(Now()) + "\">";
    xml.reserve(items.size() * 160 + folders.size() * 120 + 256);

    if (!options.token) {
        if (whole)
            for (const auto& [id, tag] : tags)
                xml += TagXml(tag);
        std::map<int32_t, std::vector<int32_t>> children;
        for (const auto& [id, f] : folders)
            if (id != FolderId::Root)
                children[f.parentId].push_back(id);
        std::map<int32_t, std::vector<const MailItem*>> contents;
        for (const auto& [id, item] : items)
            if (inScope(item.folderId) && !BeforeCutoff(item, options.calCutoff))
                contents[item.folderId].push_back(&item);
        // Depth first without recursion: a stack of (folder, next child index).
        std::vector<std::pair<int32_t, size_t>> stack{{root, 0}};
        xml += FolderOpen(folders.at(root), countOf(root));
        for (const MailItem* item : contents[root])
            xml += ItemXml(*item);
        while (!stack.empty()) {
            auto& [folderId, next] = stack.back();
            const std::vector<int32_t>& kids = children[folderId];
            if (next == kids.size()) {
                xml += "</folder>";
                stack.pop_back();
                continue;
            }
            int32_t child = kids[next++];
            xml += FolderOpen(folders.at(child), countOf(child));
            for (const MailItem* item : contents[child])
                xml += ItemXml(*item);
            stack.emplace_back(child, 0);
        }
        return xml + "</SyncResponse>";
    }

    const uint64_t since = *options.token;
    std::vector<int32_t> deleted;
    auto firstAfter = [since](const auto& list) {
        return std::upper_bound(list.begin(), list.end(), since, [](uint64_t r, const auto& e) { return r < e.rev; });
    };
    for (auto it = firstAfter(tombstones); it != tombstones.end(); ++it)
        if (whole || inScope(it->folderId) || !folders.count(it->folderId))
            deleted.push_back(it->id);
    if (!whole) {
        for (auto it = firstAfter(moves); it != moves.end(); ++it) {
            auto item = items.find(it->id);
            if (subtree.count(it->from) && item != items.end() && !subtree.count(item->second.folderId))
                deleted.push_back(it->id);
        }
        std::sort(deleted.begin(), deleted.end());
        deleted.erase(std::unique(deleted.begin(), deleted.end()), deleted.end());
    }
    if (!deleted.empty())
        xml += "<deleted ids=\"" + JoinIds(deleted) + "\"/>";
    if (whole)
        for (const auto& [id, tag] : tags)
            if (tag.rev > since)
                xml += TagXml(tag);
    for (const auto& [id, f] : folders)
        if (f.rev > since && inScope(id))
            xml += FolderOpen(f, countOf(id)) + "</folder>";
    for (const auto& [id, item] : items)
        if (item.rev > since && inScope(item.folderId) && !BeforeCutoff(item, options.calCutoff))
            xml += ItemXml(item);
    return xml + "</SyncResponse>";
}

}  // namespace OstrelServer
