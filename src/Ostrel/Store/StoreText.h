// Small helpers the store wrappers share: name comparison as the store compares folder names,
// and reading a whole table.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// Equal without regard to case, with the case folding the store uses for folder names.
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

// Every row of the table with the columns; *ppRows is freed with FreeProws. The failing step is
// logged as "<Step>() failed, hr: %x".
HRESULT QueryAllRows(IMAPITable* pTable, const SPropTagArray* pColumns, LPSRowSet* ppRows);

// The string value of a row's column i, or null when the column holds an error.
const wchar_t* RowString(const SRow& row, ULONG i, ULONG ulTag);

}  // namespace Ostrel::Mapi
