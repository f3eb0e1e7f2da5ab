// Restrictions copied out of the caller's SRestriction, checked once, then evaluated against rows.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Mapi/MapiDefs.h"
#include "Platform/Mapi/Props/PropCodec.h"

namespace Platform::Mapi {

struct Restriction {
    ULONG rt = RES_AND;
    ULONG ulOp = 0;  // relop, fuzzy level or bitmask relation
    ULONG ulTag = 0;
    ULONG ulTag2 = 0;    // RES_COMPAREPROPS; the sub-object of RES_SUBRESTRICTION
    ULONG ulNumber = 0;  // mask of RES_BITMASK, size of RES_SIZE
    StoredProp value;    // RES_PROPERTY and RES_CONTENT
    std::vector<Restriction> children;
};

// What a restriction looks at: the row's properties by id and, for sub-restrictions, the rows of
// its recipients or attachments.
struct RowView {
    const PropMap* pProps = nullptr;
    std::function<HRESULT(ULONG ulSubObject, std::vector<PropMap>& rows)> subObjects;
};

// Checks and copies a restriction. MAPI_E_INVALID_PARAMETER for a malformed one (null pointers, unknown
// types or operators), MAPI_E_TOO_COMPLEX for comparisons of unrelated types and unsupported forms.
HRESULT CompileRestriction(const SRestriction* pRes, Restriction& out);

bool Evaluate(const Restriction& res, const RowView& row);

// Property ids the restriction reads.
void CollectIds(const Restriction& res, std::set<ULONG>& ids);

// A stable byte form for search criteria kept in the store, and the way back.
std::string SerializeRestriction(const Restriction& res);
bool DeserializeRestriction(std::string_view bytes, Restriction& out);

// Rebuilds an SRestriction in *pOut with its parts from alloc.
HRESULT ToSRestriction(const Restriction& res, SRestriction* pOut, Allocator& alloc);

}  // namespace Platform::Mapi
