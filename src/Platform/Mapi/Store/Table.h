// IMAPITable over a snapshot of rows taken from a row source: columns, restriction, sort order,
// position and bookmarks are applied in memory. A source that can read a range of rows gives
// unsorted tables whose rows are a snapshot while their column values are read when queried.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mapi/Props/PropCodec.h"

namespace Platform::Mapi {

struct TableRow {
    uint64_t key = 0;  // identifies the row for PR_INSTANCE_KEY and sub-objects
    PropMap props;
};

struct RowSource {
    // Fills rows with at least the given property ids (every property when ids is empty).
    std::function<HRESULT(const std::vector<ULONG>& ids, std::vector<TableRow>& rows)> load;
    // Recipient or attachment rows of one row, for sub-restrictions (may be empty).
    std::function<HRESULT(uint64_t key, ULONG ulSubObject, std::vector<PropMap>& rows)> subObjects;
    // The values of property ids `ids` of the rows whose keys lie in [first, last], in ascending key
    // order (a row removed since its key was read is left out). With it, and rows coming from load in
    // ascending key order, an unsorted table keeps of its rows only the keys and what its restriction
    // needs, and reads the columns a page at a time: a large folder's table costs a few bytes a row.
    std::function<HRESULT(uint64_t first, uint64_t last, const std::vector<ULONG>& ids, std::vector<TableRow>& rows)>
        loadRange;
    std::vector<ULONG> defaultColumns;  // tags
    // Rows are first read when used, not when the table is opened, so that the columns set in between
    // are the only ones read. Sources whose open must report a damaged store keep this off.
    bool bLazy = false;
};

HRESULT CreateTable(RowSource source, IMAPITable** ppTable);

}  // namespace Platform::Mapi
