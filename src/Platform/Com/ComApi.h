// The COM library functions the system calls: task memory, GUID creation and GUID text forms.
#pragma once

#include <cstddef>

#include "Platform/Com/Unknown.h"

void* CoTaskMemAlloc(SIZE_T cb);
void* CoTaskMemRealloc(void* pv, SIZE_T cb);
void CoTaskMemFree(void* pv);

// A random (version 4) GUID.
HRESULT CoCreateGuid(GUID* pguid);

// The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex). Returns the
// characters written including the terminator (39), or 0 when the buffer is too small.
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// The same text in a CoTaskMemAlloc'd buffer.
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);

// Parse the registry form (braces required, hex digits of either case): CO_E_CLASSSTRING or
// E_INVALIDARG for malformed text.
HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
