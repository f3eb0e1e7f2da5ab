// Helpers on property values: node ids, wrapped store entry ids, growing multi-valued values in
// place, and copies of restrictions.
#pragma once

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// A node id's type (low 5 bits) and index (the rest, shifted arithmetically).
void DecodeNID(LONG lNid, LONG& lIndex, BYTE& bType);

// Splits a store entry id into its provider UID and the entry id the provider understands: a
// store entry id wrapped by MAPI (flags, the wrapper's UID, version, flag, the provider's file
// name) gives the entry id inside it; any other gives itself. pInner points into the given
// bytes. MAPI_E_INVALID_ENTRYID for ids too short or damaged.
HRESULT UnwrapStoreEntryID(ULONG cb, const BYTE* pb, MAPIUID& uid, ULONG& cbInner, ENTRYID*& pInner);
HRESULT UnwrapStoreEntryID(const SPropValue* pValue, MAPIUID& uid, ULONG& cbInner, ENTRYID*& pInner);

// Append one value to the multi-valued value *pValue, whose memory hangs off the MAPI buffer
// pParent (the block from MAPIAllocateBuffer that holds it). When *pValue does not yet hold the
// property ulPropTag (a PT_ERROR value, say) it becomes a one-element value of that tag. The new
// array is chained to pParent; the old one stays with pParent until it is freed.
HRESULT ExtendMVBinary(SPropValue* pValue, void* pParent, ULONG ulPropTag, ULONG cb, const BYTE* pb);
HRESULT ExtendMVUnicode(SPropValue* pValue, void* pParent, ULONG ulPropTag, const wchar_t* pwsz);
HRESULT ExtendMVLong(SPropValue* pValue, void* pParent, ULONG ulPropTag, ULONG ul);
// Appends to a value that already holds a PT_MV_LONG property.
HRESULT ExtendMVLong(SPropValue* pValue, void* pParent, ULONG ul);

// A deep copy of the restriction in one MAPI buffer (*ppCopy; null for a null restriction).
// MAPI_E_TOO_COMPLEX for a restriction nested deeper than 64 levels.
HRESULT CopySRestriction(const SRestriction* pSource, SRestriction** ppCopy);

}  // namespace Ostrel::Mapi
