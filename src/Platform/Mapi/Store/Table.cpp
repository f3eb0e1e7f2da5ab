#include "Platform/Mapi/Store/Table.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Props/Restriction.h"

namespace Platform::Mapi {

namespace {

class TableImpl : public Platform::ComObject<IMAPITable> {
public:
    explicit TableImpl(RowSource source) : m_source(std::move(source)), m_columns(m_source.defaultColumns) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMAPITable, IUnknown>(riid, ppv);
    }

    HRESULT Load() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_source.bLazy)
            return S_OK;
        // What is wrong with the source shows now; the values wait for the columns the caller
        // sets (a hierarchy's default columns would count the unread messages of every folder).
        m_loadedIds = {PROP_ID(PR_NULL)};
        return Refresh();
    }

    HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override {
        return MakeLastError(hResult, ulFlags, lppMAPIError);
    }
    // Rows are a snapshot taken when first needed; no change notifications are sent.
    HRESULT Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }

    HRESULT GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) override {
        if (!lpulTableStatus || !lpulTableType)
            return MAPI_E_INVALID_PARAMETER;
        *lpulTableStatus = TBLSTAT_COMPLETE;
        *lpulTableType = TBLTYPE_SNAPSHOT;
        return S_OK;
    }

    HRESULT SetColumns(LPSPropTagArray lpPropTagArray, ULONG) override {
        if (!lpPropTagArray || lpPropTagArray->cValues == 0)
            return MAPI_E_INVALID_PARAMETER;
        std::vector<ULONG> columns(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
        for (ULONG ulTag : columns) {
            if (PROP_TYPE(ulTag) & MV_INSTANCE)
                return MAPI_E_TOO_COMPLEX;
            if (!IsValidType(PROP_TYPE(ulTag)))
                return MAPI_E_INVALID_TYPE;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_columns = std::move(columns);
        // Rows are read on next use, and then only for the columns now set.
        return S_OK;
    }

    HRESULT QueryColumns(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
        if (!lppPropTagArray)
            return MAPI_E_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<ULONG> tags = m_columns;
        if (ulFlags & TBL_ALL_COLUMNS) {
            if (!m_bAllLoaded) {
                m_bAllLoaded = true;
                HRESULT hr = Refresh();
                if (FAILED(hr)) {
                    m_bAllLoaded = false;
                    return hr;
                }
            }
            std::set<ULONG> seen;
            for (ULONG ulTag : tags)
                seen.insert(PROP_ID(ulTag));
            std::map<ULONG, ULONG> extra;
            for (const auto& row : m_rows)
                for (const auto& [id, prop] : row.props)
                    if (!seen.count(id))
                        extra.emplace(id, prop.ulTag);
            for (const auto& [id, tag] : extra)
                tags.push_back(tag);
        }
        return AllocTagArray(tags, lppPropTagArray);
    }

    HRESULT GetRowCount(ULONG, ULONG* lpulCount) override {
        if (!lpulCount)
            return MAPI_E_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(m_mutex);
        HRESULT hr = EnsureLoaded();
        if (FAILED(hr))
            return hr;
        *lpulCount = static_cast<ULONG>(m_view.size());
        return S_OK;
    }

    HRESULT SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        HRESULT hr = EnsureLoaded();
        if (FAILED(hr))
            return hr;
        size_t start;
        hr = Origin(bkOrigin, &start);
        if (FAILED(hr))
            return hr;
        int64_t target = std::clamp<int64_t>(static_cast<int64_t>(start) + lRowCount, 0, m_view.size());
        if (lplRowsSought)
            *lplRowsSought = static_cast<LONG>(target - static_cast<int64_t>(start));
        m_pos = static_cast<size_t>(target);
        return S_OK;
    }

    HRESULT SeekRowApprox(ULONG ulNumerator, ULONG ulDenominator) override {
        if (ulDenominator == 0 || ulNumerator > ulDenominator)
            return MAPI_E_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(m_mutex);
        HRESULT hr = EnsureLoaded();
        if (FAILED(hr))
            return hr;
        m_pos = static_cast<size_t>(static_cast<uint64_t>(m_view.size()) * ulNumerator / ulDenominator);
        return S_OK;
    }

    HRESULT QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) override {
        if (!lpulRow || !lpulNumerator || !lpulDenominator)
            return MAPI_E_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(m_mutex);
        HRESULT hr = EnsureLoaded();
        if (FAILED(hr))
            return hr;
        *lpulRow = static_cast<ULONG>(m_pos);
        *lpulNumerator = static_cast<ULONG>(m_pos);
        *lpulDenominator = static_cast<ULONG>(std::max<size_t>(1, m_view.size()));
        return S_OK;
    }

    HRESULT FindRow(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) override {
        Restriction res;
        HRESULT hr = CompileRestriction(lpRestriction, res);
        if (FAILED(hr))
            return hr;
        std::lock_guard<std::mutex> lock(m_mutex);
        std::set<ULONG> ids;
        CollectIds(res, ids);
        hr = EnsureLoaded(ids);
        if (FAILED(hr))
            return hr;
        size_t start;
        hr = Origin(bkOrigin, &start);
        if (FAILED(hr))
            return hr;
        if (ulFlags & DIR_BACKWARD) {
            for (size_t i = std::min(start + 1, m_view.size()); i-- > 0;)
                if (Matches(res, m_view[i]))
                    return m_pos = i, S_OK;
        } else {
            for (size_t i = start; i < m_view.size(); ++i)
                if (Matches(res, m_view[i]))
                    return m_pos = i, S_OK;
        }
        return MAPI_E_NOT_FOUND;
    }

    HRESULT Restrict(LPSRestriction lpRestriction, ULONG) override {
        std::optional<Restriction> res;
        if (lpRestriction) {
            res.emplace();
            HRESULT hr = CompileRestriction(lpRestriction, *res);
            if (FAILED(hr))
                return hr;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_restriction = std::move(res);
        m_pos = 0;
        m_bookmarks.clear();
        m_bViewStale = true;
        return S_OK;
    }

    HRESULT CreateBookmark(BOOKMARK* lpbkPosition) override {
        if (!lpbkPosition)
            return MAPI_E_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(m_mutex);
        HRESULT hr = EnsureLoaded();
        if (FAILED(hr))
            return hr;
        *lpbkPosition = m_nextBookmark++;
        m_bookmarks[*lpbkPosition] = m_pos;
        return S_OK;
    }

    HRESULT FreeBookmark(BOOKMARK bkPosition) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bookmarks.erase(bkPosition) ? S_OK : MAPI_E_INVALID_BOOKMARK;
    }

    HRESULT SortTable(LPSSortOrderSet lpSortCriteria, ULONG) override {
        if (!lpSortCriteria)
            return MAPI_E_INVALID_PARAMETER;
        if (lpSortCriteria->cCategories)
            return MAPI_E_TOO_COMPLEX;
        std::vector<SSortOrder> sort(lpSortCriteria->aSort, lpSortCriteria->aSort + lpSortCriteria->cSorts);
        for (const auto& s : sort) {
            if (s.ulOrder > TABLE_SORT_COMBINE)
                return MAPI_E_INVALID_PARAMETER;
            if (PROP_TYPE(s.ulPropTag) & MV_INSTANCE)
                return MAPI_E_TOO_COMPLEX;
            if (!IsValidType(PROP_TYPE(s.ulPropTag)))
                return MAPI_E_INVALID_TYPE;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sort = std::move(sort);
        m_pos = 0;
        m_bookmarks.clear();
        m_bViewStale = true;
        return S_OK;
    }

    HRESULT QuerySortOrder(LPSSortOrderSet* lppSortCriteria) override {
        if (!lppSortCriteria)
            return MAPI_E_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(m_mutex);
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSSortOrderSet(m_sort.size())), &p);
        if (FAILED(hr))
            return hr;
        auto* pSet = static_cast<LPSSortOrderSet>(p);
        pSet->cSorts = static_cast<ULONG>(m_sort.size());
        pSet->cCategories = 0;
        pSet->cExpanded = 0;
        std::copy(m_sort.begin(), m_sort.end(), pSet->aSort);
        *lppSortCriteria = pSet;
        return S_OK;
    }

    HRESULT QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) override {
        if (!lppRows || lRowCount == 0)
            return MAPI_E_INVALID_PARAMETER;
        *lppRows = nullptr;
        std::lock_guard<std::mutex> lock(m_mutex);
        HRESULT hr = EnsureLoaded();
        if (FAILED(hr))
            return hr;
        size_t first, count;
        if (lRowCount > 0) {
            first = m_pos;
            count = std::min<size_t>(lRowCount, m_view.size() - std::min(m_pos, m_view.size()));
        } else {
            count = std::min<size_t>(-static_cast<int64_t>(lRowCount), m_pos);
            first = m_pos - count;
        }
        void* p = nullptr;
        hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(std::max<size_t>(count, 1))), &p);
        if (FAILED(hr))
            return hr;
        auto* pRows = static_cast<LPSRowSet>(p);
        pRows->cRows = 0;
        std::vector<TableRow> page;
        for (size_t i = 0; i < count; ++i) {
            if (PagesValues() && i % kPageRows == 0)
                hr = LoadPage(first + i, std::min(kPageRows, count - i), page);
            if (SUCCEEDED(hr))
                hr = BuildRow(PagesValues() ? page[i % kPageRows] : m_rows[m_view[first + i]], m_columns,
                              &pRows->aRow[i]);
            if (FAILED(hr)) {
                FreeProws(pRows);
                return hr;
            }
            pRows->cRows = static_cast<ULONG>(i + 1);
        }
        if (!(ulFlags & TBL_NOADVANCE))
            m_pos = lRowCount > 0 ? first + count : first;
        *lppRows = pRows;
        return S_OK;
    }

    HRESULT Abort() override { return S_OK; }

    HRESULT WaitForCompletion(ULONG, ULONG, ULONG* lpulTableStatus) override {
        if (lpulTableStatus)
            *lpulTableStatus = TBLSTAT_COMPLETE;
        return S_OK;
    }

private:
    static constexpr size_t kPageRows = 256;

    // Whether rows hold only what the restriction needs, their column values read by LoadPage.
    bool PagesValues() const { return m_source.loadRange && m_sort.empty() && !m_bAllLoaded; }

    // The column values of `count` rows of the view from `first`, into page[0...count-1]. Unsorted,
    // the view follows the rows' ascending keys: one range read covers them.
    HRESULT LoadPage(size_t first, size_t count, std::vector<TableRow>& page) const {
        std::vector<ULONG> ids;
        for (ULONG ulTag : m_columns)
            ids.push_back(PROP_ID(ulTag));
        std::vector<TableRow> loaded;
        HRESULT hr = m_source.loadRange(m_rows[m_view[first]].key, m_rows[m_view[first + count - 1]].key, ids, loaded);
        if (FAILED(hr))
            return hr;
        page.assign(count, {});
        auto it = loaded.begin();
        for (size_t i = 0; i < count; ++i) {
            page[i].key = m_rows[m_view[first + i]].key;
            it = std::lower_bound(it, loaded.end(), page[i].key,
                                  [](const TableRow& row, uint64_t key) { return row.key < key; });
            if (it != loaded.end() && it->key == page[i].key)
                page[i].props = std::move(it->props);
        }
        return S_OK;
    }

    std::set<ULONG> NeededIds() const {
        std::set<ULONG> ids;
        if (!PagesValues())
            for (ULONG ulTag : m_columns)
                ids.insert(PROP_ID(ulTag));
        for (const auto& s : m_sort)
            ids.insert(PROP_ID(s.ulPropTag));
        if (m_restriction)
            CollectIds(*m_restriction, ids);
        // No id at all would read every value: an id no property has reads the keys alone.
        if (ids.empty())
            ids.insert(PROP_ID(PR_NULL));
        return ids;
    }

    // Reads the rows when they lack what the columns, sort order, restriction and extra ids need (only
    // those ids, not what earlier columns needed); rebuilds the view after a new restriction or sort.
    HRESULT EnsureLoaded(const std::set<ULONG>& extra = {}) {
        std::set<ULONG> needed = NeededIds();
        needed.insert(extra.begin(), extra.end());
        if (!m_bAllLoaded && !std::includes(m_loadedIds.begin(), m_loadedIds.end(), needed.begin(), needed.end()))
            m_bStale = true;
        if (m_bStale) {
            m_loadedIds = std::move(needed);
            return Refresh();
        }
        if (m_bViewStale)
            RebuildView();
        return S_OK;
    }

    HRESULT Refresh() {
        std::vector<ULONG> ids;
        if (!m_bAllLoaded)
            ids.assign(m_loadedIds.begin(), m_loadedIds.end());
        std::vector<TableRow> rows;
        HRESULT hr = m_source.load(ids, rows);
        if (FAILED(hr))
            return hr;
        m_rows = std::move(rows);
        m_bStale = false;
        size_t pos = m_pos;
        RebuildView();
        m_pos = std::min(pos, m_view.size());
        return S_OK;
    }

    bool Matches(const Restriction& res, size_t index) const {
        const TableRow& row = m_rows[index];
        RowView view{&row.props, {}};
        if (m_source.subObjects) {
            view.subObjects = [this, key = row.key](ULONG ulSub, std::vector<PropMap>& rows) {
                return m_source.subObjects(key, ulSub, rows);
            };
        }
        return Evaluate(res, view);
    }

    void RebuildView() {
        m_view.clear();
        for (size_t i = 0; i < m_rows.size(); ++i)
            if (!m_restriction || Matches(*m_restriction, i))
                m_view.push_back(i);
        if (!m_sort.empty()) {
            std::stable_sort(m_view.begin(), m_view.end(), [this](size_t a, size_t b) {
                for (const auto& s : m_sort) {
                    int c = CompareColumn(m_rows[a].props, m_rows[b].props, s.ulPropTag);
                    if (c)
                        return s.ulOrder == TABLE_SORT_DESCEND ? c > 0 : c < 0;
                }
                return false;
            });
        }
        m_bViewStale = false;
        m_pos = 0;
    }

    // Missing values sort before present ones.
    static int CompareColumn(const PropMap& a, const PropMap& b, ULONG ulTag) {
        auto ia = a.find(PROP_ID(ulTag));
        auto ib = b.find(PROP_ID(ulTag));
        bool bHasA = ia != a.end() && CanReadAs(PROP_TYPE(ia->second.ulTag), PROP_TYPE(ulTag));
        bool bHasB = ib != b.end() && CanReadAs(PROP_TYPE(ib->second.ulTag), PROP_TYPE(ulTag));
        if (!bHasA || !bHasB)
            return bHasA == bHasB ? 0 : (bHasA ? 1 : -1);
        return CompareStored(ia->second, ib->second, true);
    }

    HRESULT Origin(BOOKMARK bk, size_t* pStart) const {
        switch (bk) {
            case BOOKMARK_BEGINNING:
                *pStart = 0;
                return S_OK;
            case BOOKMARK_CURRENT:
                *pStart = m_pos;
                return S_OK;
            case BOOKMARK_END:
                *pStart = m_view.size();
                return S_OK;
            default: {
                auto it = m_bookmarks.find(bk);
                if (it == m_bookmarks.end())
                    return MAPI_E_INVALID_BOOKMARK;
                *pStart = std::min(it->second, m_view.size());
                return S_OK;
            }
        }
    }

    RowSource m_source;
    std::mutex m_mutex;
    std::vector<ULONG> m_columns;
    std::vector<TableRow> m_rows;
    std::set<ULONG> m_loadedIds;
    bool m_bAllLoaded = false;
    bool m_bStale = true;       // rows must be (re)read before use
    bool m_bViewStale = false;  // the restriction or sort order changed since the view was built
    std::optional<Restriction> m_restriction;
    std::vector<SSortOrder> m_sort;
    std::vector<size_t> m_view;
    size_t m_pos = 0;
    std::map<BOOKMARK, size_t> m_bookmarks;
    BOOKMARK m_nextBookmark = 3;
};

}  // namespace

HRESULT CreateTable(RowSource source, IMAPITable** ppTable) {
    if (!ppTable)
        return MAPI_E_INVALID_PARAMETER;
    *ppTable = nullptr;
    auto* pTable = new (std::nothrow) TableImpl(std::move(source));
    if (!pTable)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    HRESULT hr = pTable->Load();
    if (FAILED(hr)) {
        pTable->Release();
        return hr;
    }
    *ppTable = pTable;
    return S_OK;
}

}  // namespace Platform::Mapi
