// Texts for log lines: store node types, id-mapper tentative flags, HRESULT and WinHTTP error
// names, and the id-mapper put/get traces.
#pragma once

#include <string>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

// Name of a store node type (the low 5 bits of a node id): "HID", "INTERNAL", "NORMAL_FOLDER", ...,
// "LTP"; "UNKNOWN" for the unused values. Higher bits of the argument are ignored.
const wchar_t* NidType(BYTE bNid);

// The tentative bits of an id-mapper record: "NONE", "ADD" (0x01), "DEL" (0x02), "ADD|DEL";
// other bits set add "|INVALID".
const wchar_t* TentFlags(BYTE bFlags);

// "MAPI_E_NOT_FOUND", "E_INVALIDARG", "S_OK", ...; unknown values as "0x80040999".
std::wstring MapiErrorToString(HRESULT hr);

// "ERROR_WINHTTP_TIMEOUT" and the other WinHTTP errors (12001-12186), a few common Win32 errors by
// name, and anything else as "error 1234 (0x000004D2)".
std::wstring WinHTTPErrorToString(DWORD dwError);

// Traces of one id-mapper put or get (category 32): the server id, the entry id in hex, its node
// id and node type when it has the 24-byte store layout, the mapper's type name and the outcome.
void TraceIdMapperPutMessage(DWORD dwLevel, LONG lOstId, const void* pEntryId, ULONG cbEntryId,
                             const wchar_t* pwszTypeName, BOOL bSuccess);
void TraceIdMapperGetMessage(DWORD dwLevel, LONG lOstId, const void* pEntryId, ULONG cbEntryId,
                             const wchar_t* pwszTypeName, BOOL bSuccess);

}  // namespace Ostrel::Util
