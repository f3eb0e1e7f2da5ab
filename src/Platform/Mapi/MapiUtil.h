// The MAPI utility functions the system calls, and helpers shared by the store implementation.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mapi/Props/PropCodec.h"

// Reads one property; *lppProp is a MAPI buffer. A missing property gives MAPI_E_NOT_FOUND (not a
// PT_ERROR value).
HRESULT HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp);
HRESULT HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp);
// The value with that tag in the array (any type when the tag's type is PT_UNSPECIFIED), or null.
LPSPropValue PpropFindProp(LPSPropValue lpPropArray, ULONG cValues, ULONG ulPropTag);
BOOL FPropExists(LPMAPIPROP lpMapiProp, ULONG ulPropTag);
// Frees every row's properties and the row set.
void FreeProws(LPSRowSet lpRows);

// Bytes of one element in the array of a multi-valued property of this base type (PT_SHORT...
// PT_BINARY); 0 for a type that has no multi-valued form.
size_t MultiValueElementSize(ULONG ulBaseType);
void FreePadrlist(LPADRLIST lpAdrList);
// Sets the columns, restriction and sort order and reads up to crowsMax rows (all when 0).
HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                       LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows);
// Calls f with each row from the table's position on, reading them a page at a time: the rows of
// a large table are never all copied out at once.
HRESULT ForEachRow(LPMAPITABLE lpTable, const std::function<void(const SRow&)>& f);
// Copies a value with its variable parts chained to lpvObject.
SCODE PropCopyMore(LPSPropValue lpSPropValueDest, LPSPropValue lpSPropValueSrc, LPALLOCATEMORE lpfAllocMore,
                   LPVOID lpvObject);
// Copies an array of values into one new MAPI buffer.
SCODE ScDupPropset(int cValues, LPSPropValue lpPropArray, LPALLOCATEBUFFER lpAllocateBuffer,
                   LPSPropValue* lppPropArray);

#define SOF_UNIQUEFILENAME ((ULONG)0x80000000)
// A stream on a file. With SOF_UNIQUEFILENAME, lpszFileName is the directory (the temporary directory
// when null) and the stream gets a new file named from lpszPrefix that is deleted on release;
// otherwise the file is opened or created as the STGM_ flags say.
HRESULT OpenStreamOnFile(LPALLOCATEBUFFER lpAllocateBuffer, LPFREEBUFFER lpFreeBuffer, ULONG ulFlags,
                         const wchar_t* lpszFileName, const wchar_t* lpszPrefix, LPSTREAM* lppStream);

namespace Platform::Mapi {

// A MAPIERROR describing hr, with wide strings when ulFlags has MAPI_UNICODE.
HRESULT MakeLastError(HRESULT hr, ULONG ulFlags, LPMAPIERROR* lppError);
HRESULT AllocTagArray(const std::vector<ULONG>& tags, LPSPropTagArray* lppTags);
HRESULT AllocProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* lppProblems);

// The values of props for the tags (all properties when pTags is null) as one MAPI buffer.
// Missing or unreadable ones become PT_ERROR values with MAPI_E_NOT_FOUND and *pbErrors is set.
// PT_UNSPECIFIED tags and the whole-object form return strings as PT_UNICODE with MAPI_UNICODE, else as
// PT_STRING8.
HRESULT PropsToArray(const PropMap& props, const std::vector<ULONG>* pTags, ULONG ulFlags, ULONG* pcValues,
                     LPSPropValue* lppProps, bool* pbErrors);
// One table row for the columns.
HRESULT BuildRow(const struct TableRow& row, const std::vector<ULONG>& columns, SRow* pRow);

// Text arguments typed LPTSTR: wide with MAPI_UNICODE, UTF-8 otherwise.
std::wstring TextArg(const void* p, ULONG ulFlags);

}  // namespace Platform::Mapi
