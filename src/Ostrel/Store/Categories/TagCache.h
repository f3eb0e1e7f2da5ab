// Lookups from tag names to server tag ids and tag messages, read once from the tag folder; the
// mapping of an item's tags to its "Keywords"; the tags that are never synchronised.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Ostrel/Store/EntryId.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

class TagCache {
public:
    explicit TagCache(IMsgStore* pStore);
    // Reads the tag folder; leaves the cache empty (logged) when it cannot.
    void Initialize();
    std::vector<std::wstring> GetTagList() const;
    // Names are matched without regard to case; *ppCanonicalName is the tag's own spelling.
    BOOL TagId(const wchar_t* pwszName, long& lId, const wchar_t** ppCanonicalName) const;
    BOOL TagEntryID(const wchar_t* pwszName, CEntryID& entryId) const;

private:
    struct Entry {
        std::wstring wsName;
        long lId = 0;
        CEntryID entryId;
    };
    const Entry* Find(const wchar_t* pwszName) const;

    Platform::ComPtr<IMsgStore> m_pStore;
    std::map<std::wstring, Entry> m_byFoldedName;
};

// The item's "Keywords" value for its tags, in out; the returned MAPI buffer holds the value's
// strings and is freed by the caller (null when nothing was allocated). Unknown ids are skipped.
void* MapTagIdsToKeywordsProp(SPropValue& out, std::vector<long>& tagIds, IMsgStore* pStore);
// The same from names; an empty list leaves out's tag PR_NULL.
void* MapTagNamesToKeywordsProp(SPropValue& out, std::vector<std::wstring>& tagNames, IMsgStore* pStore);

// Name prefixes of tags that are never synchronised, read once from "SyncExcludeTagPrefixes".
class TagSyncExclusionList {
public:
    TagSyncExclusionList();
    explicit TagSyncExclusionList(const std::wstring& wsSetting);
    bool IsExcluded(const wchar_t* pwszName) const;

private:
    std::vector<std::wstring> m_prefixes;
};

BOOL IsTagExcludedFromSync(const wchar_t* pwszName);

}  // namespace Ostrel::Mapi
