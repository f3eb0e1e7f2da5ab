#include "Ostrel/SenderLists/SenderList.h"

#include "Platform/Base/Text.h"
#include "Platform/Host/JunkMail.h"

#include <unordered_set>

namespace Ostrel::Mapi {

namespace {

std::unordered_set<std::wstring> Keys(const SenderList& list) {
    std::unordered_set<std::wstring> keys;
    keys.reserve(list.size());
    for (const std::wstring& wsEntry : list)
        keys.insert(SenderKey(wsEntry));
    return keys;
}

}  // namespace

SenderList SplitSenderList(std::wstring_view wsStored) {
    SenderList list;
    for (size_t pos = 0; pos <= wsStored.size();) {
        size_t end = wsStored.find(L';', pos);
        if (end == std::wstring_view::npos)
            end = wsStored.size();
        const std::wstring_view entry = Platform::Trim(wsStored.substr(pos, end - pos));
        if (!entry.empty())
            list.emplace_back(entry);
        pos = end + 1;
    }
    return list;
}

std::wstring JoinSenderList(const SenderList& list) {
    std::wstring wsStored;
    for (const std::wstring& wsEntry : list) {
        if (!wsStored.empty())
            wsStored += L';';
        wsStored += wsEntry;
    }
    return wsStored;
}

std::wstring SenderKey(std::wstring_view wsEntry) {
    std::wstring wsKey = Platform::FoldCase(Platform::Trim(wsEntry));
    if (wsKey.starts_with(L"*@"))
        wsKey.erase(0, 1);
    else if (wsKey.find(L'@') == std::wstring::npos)
        wsKey.insert(0, 1, L'@');
    return wsKey;
}

bool IsKeepableSender(std::wstring_view wsEntry) {
    return !Platform::Trim(wsEntry).empty() && wsEntry.find(L';') == std::wstring_view::npos &&
           Platform::Host::IsStorableJunkMailEntry(wsEntry);
}

SenderList MissingFrom(const SenderList& list, const SenderList& other) {
    std::unordered_set<std::wstring> seen = Keys(other);
    SenderList missing;
    for (const std::wstring& wsEntry : list)
        if (seen.insert(SenderKey(wsEntry)).second)
            missing.push_back(wsEntry);
    return missing;
}

std::vector<SenderChange> CalcSenderChanges(const SenderList& current, const SenderList& snapshot) {
    std::vector<SenderChange> changes;
    for (std::wstring& wsEntry : MissingFrom(current, snapshot))
        changes.push_back({std::move(wsEntry), SenderChangeOp::Add});
    for (std::wstring& wsEntry : MissingFrom(snapshot, current))
        changes.push_back({std::move(wsEntry), SenderChangeOp::Delete});
    return changes;
}

SenderList HoldBackOverLimit(std::vector<SenderChange>& changes, const SenderList& serverList, size_t cMax) {
    if (cMax == 0)
        return {};
    std::unordered_set<std::wstring> keys = Keys(serverList);
    for (const SenderChange& change : changes)
        if (change.op == SenderChangeOp::Delete)
            keys.erase(SenderKey(change.wsEntry));
    size_t cRoom = cMax > keys.size() ? cMax - keys.size() : 0;
    SenderList held;
    std::vector<SenderChange> kept;
    kept.reserve(changes.size());
    for (SenderChange& change : changes) {
        if (change.op == SenderChangeOp::Add && !keys.contains(SenderKey(change.wsEntry))) {
            if (cRoom == 0) {
                held.push_back(std::move(change.wsEntry));
                continue;
            }
            --cRoom;
            keys.insert(SenderKey(change.wsEntry));
        }
        kept.push_back(std::move(change));
    }
    changes = std::move(kept);
    return held;
}

}  // namespace Ostrel::Mapi
