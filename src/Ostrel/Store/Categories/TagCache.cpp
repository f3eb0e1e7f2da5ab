#include "Ostrel/Store/Categories/TagCache.h"

#include <cstring>
#include <cwctype>

#include "Ostrel/Settings/RegistryConfig.h"
#include "Ostrel/Store/NamedProps.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Ostrel/Store/StoreText.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"

namespace Ostrel::Mapi {

namespace {

constexpr wchar_t kDefaultExcludedPrefix[] = L"[CRM] Parent record";
constexpr DWORD kMaxPrefixesBytes = 4096;

std::wstring Fold(std::wstring_view ws) {
    std::wstring out(ws);
    for (wchar_t& ch : out)
        ch = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(ch)));
    return out;
}

struct Rows {
    LPSRowSet p = nullptr;
    ~Rows() { FreeProws(p); }
};

// The Keywords value of the names as one MAPI buffer: the string pointers, then the strings.
void* BuildKeywords(SPropValue& out, const std::vector<std::wstring>& names, NamedProps* pNamedProps) {
    out.ulPropTag = PR_NULL;
    if (names.empty())
        return nullptr;
    size_t cb = names.size() * sizeof(wchar_t*);
    for (const std::wstring& ws : names)
        cb += (ws.size() + 1) * sizeof(wchar_t);
    void* pBuffer = nullptr;
    if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(cb), &pBuffer))) {
        OSTLOG_ERROR(L"could not allocate prop buffer");
        return nullptr;
    }
    auto** ppStrings = static_cast<wchar_t**>(pBuffer);
    auto* pText = reinterpret_cast<wchar_t*>(ppStrings + names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        ppStrings[i] = pText;
        std::memcpy(pText, names[i].c_str(), (names[i].size() + 1) * sizeof(wchar_t));
        pText += names[i].size() + 1;
    }
    out.ulPropTag = NAMED_PROP(NamedProps::KEYWORDS, PT_MV_UNICODE, pNamedProps);
    out.Value.MVszW.cValues = static_cast<ULONG>(names.size());
    out.Value.MVszW.lppszW = ppStrings;
    return pBuffer;
}

}  // namespace

TagCache::TagCache(IMsgStore* pStore) : m_pStore(pStore) {}

void TagCache::Initialize() {
    m_byFoldedName.clear();
    Platform::ComPtr<IMAPIFolder> pTags;
    pTags.Attach(GetTagFolder(m_pStore.Get()));
    if (!pTags) {
        OSTLOG_ERROR(L"failed to get Tags folder. not initializing.");
        return;
    }
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pTags->GetContentsTable(MAPI_ASSOCIATED | MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to get contents table for tag folder. Error 0x%x", hr);
        return;
    }
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pStore.Get());
    const ULONG ulId = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, pNamedProps);
    SizedSPropTagArray(3, cols) = {3, {PR_DISPLAY_NAME_W, ulId, PR_ENTRYID}};
    Rows rows;
    if (!pNamedProps || FAILED(QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p)))
        return;
    for (ULONG i = 0; i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        const wchar_t* pwszName = RowString(row, 0, PR_DISPLAY_NAME_W);
        if (!pwszName || row.lpProps[1].ulPropTag != ulId || row.lpProps[2].ulPropTag != PR_ENTRYID)
            continue;
        m_byFoldedName[Fold(pwszName)] = Entry{pwszName, row.lpProps[1].Value.l, CEntryID(row.lpProps[2].Value.bin)};
    }
}

std::vector<std::wstring> TagCache::GetTagList() const {
    std::vector<std::wstring> names;
    for (const auto& [wsFolded, entry] : m_byFoldedName)
        names.push_back(entry.wsName);
    return names;
}

const TagCache::Entry* TagCache::Find(const wchar_t* pwszName) const {
    if (!pwszName)
        return nullptr;
    auto it = m_byFoldedName.find(Fold(pwszName));
    return it == m_byFoldedName.end() ? nullptr : &it->second;
}

BOOL TagCache::TagId(const wchar_t* pwszName, long& lId, const wchar_t** ppCanonicalName) const {
    const Entry* pEntry = Find(pwszName);
    if (!pEntry)
        return FALSE;
    lId = pEntry->lId;
    if (ppCanonicalName)
        *ppCanonicalName = pEntry->wsName.c_str();
    return TRUE;
}

BOOL TagCache::TagEntryID(const wchar_t* pwszName, CEntryID& entryId) const {
    const Entry* pEntry = Find(pwszName);
    if (!pEntry)
        return FALSE;
    entryId = pEntry->entryId;
    return TRUE;
}

void* MapTagIdsToKeywordsProp(SPropValue& out, std::vector<long>& tagIds, IMsgStore* pStore) {
    out.ulPropTag = PR_NULL;
    if (!TagSyncEnabled()) {
        OSTLOG_INFO(16, L"TAGSYNC: disabled by configuration option");
        return nullptr;
    }
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    if (!pNamedProps) {
        OSTLOG_ERROR(L"could not init name props...");
        return nullptr;
    }
    Platform::ComPtr<IMAPIFolder> pTags;
    pTags.Attach(GetTagFolder(pStore));
    if (!pTags) {
        OSTLOG_ERROR(L"Failed to get tags folder");
        return nullptr;
    }
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pTags->GetContentsTable(MAPI_ASSOCIATED | MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetContentsTable failed (0x%x).", hr);
        return nullptr;
    }
    ULONG cRows = 0;
    if (FAILED(hr = pTable->GetRowCount(0, &cRows))) {
        OSTLOG_ERROR(L"GetRowCount failed (0x%x).", hr);
        return nullptr;
    }
    const ULONG ulId = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, pNamedProps);
    SizedSPropTagArray(3, cols) = {3, {ulId, NAMED_PROP(NamedProps::TAG_ID, PT_LONG, pNamedProps), PR_DISPLAY_NAME_W}};
    if (FAILED(hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0))) {
        OSTLOG_ERROR(L"SetColumns failed (0x%x).", hr);
        return nullptr;
    }
    Rows rows;
    if (FAILED(hr = pTable->QueryRows(static_cast<LONG>(cRows ? cRows : 1), 0, &rows.p))) {
        OSTLOG_ERROR(L"QueryRows failed (0x%x).", hr);
        return nullptr;
    }
    std::map<long, std::wstring> names;
    for (ULONG i = 0; i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        const wchar_t* pwszName = RowString(row, 2, PR_DISPLAY_NAME_W);
        if (pwszName && row.lpProps[0].ulPropTag == ulId)
            names.emplace(row.lpProps[0].Value.l, pwszName);
    }
    std::vector<std::wstring> keywords;
    for (long lId : tagIds) {
        auto it = names.find(lId);
        if (it != names.end())
            keywords.push_back(it->second);
    }
    return BuildKeywords(out, keywords, pNamedProps);
}

void* MapTagNamesToKeywordsProp(SPropValue& out, std::vector<std::wstring>& tagNames, IMsgStore* pStore) {
    out.ulPropTag = PR_NULL;
    if (tagNames.empty())
        return nullptr;
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    if (!pNamedProps) {
        OSTLOG_ERROR(L"could not init name props...");
        return nullptr;
    }
    return BuildKeywords(out, tagNames, pNamedProps);
}

TagSyncExclusionList::TagSyncExclusionList() {
    Util::RegUtil reg(L"SyncExcludeTagPrefixes", KEY_READ);
    std::wstring wsValue;
    if (reg.QueryValue(wsValue) == ERROR_SUCCESS && wsValue.size() * sizeof(wchar_t) <= kMaxPrefixesBytes)
        *this = TagSyncExclusionList(wsValue);
    else
        m_prefixes = {Fold(kDefaultExcludedPrefix)};
}

TagSyncExclusionList::TagSyncExclusionList(const std::wstring& wsSetting) {
    for (size_t pos = 0; pos <= wsSetting.size();) {
        size_t end = wsSetting.find(L';', pos);
        if (end == std::wstring::npos)
            end = wsSetting.size();
        if (end > pos)
            m_prefixes.push_back(Fold(std::wstring_view(wsSetting).substr(pos, end - pos)));
        pos = end + 1;
    }
    if (m_prefixes.empty())
        m_prefixes = {Fold(kDefaultExcludedPrefix)};
}

bool TagSyncExclusionList::IsExcluded(const wchar_t* pwszName) const {
    if (!pwszName)
        return false;
    const std::wstring wsName = Fold(pwszName);
    for (const std::wstring& wsPrefix : m_prefixes)
        if (wsName.starts_with(wsPrefix))
            return true;
    return false;
}

BOOL IsTagExcludedFromSync(const wchar_t* pwszName) {
    static const TagSyncExclusionList list;
    return list.IsExcluded(pwszName) ? TRUE : FALSE;
}

}  // namespace Ostrel::Mapi
