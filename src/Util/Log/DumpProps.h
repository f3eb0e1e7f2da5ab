// Log dumps of MAPI property values: one line per value with its tag, the tag's name, its type and
// the value as text.
#pragma once

#include <string>

#include "Platform/Mapi/MapiDefs.h"
#include "Util/Log/Log.h"

namespace Ostrel::Util {

// Level of the dump lines by default: debugging detail.
constexpr DWORD kDumpPropsLevel = 128;

// Logs "<title>: <n> properties" and then each value as
// "  [i] 0x0037001F PR_SUBJECT_W PT_UNICODE: \"text\"". Long strings and binaries are cut (their
// full length is given), multi-valued properties show their first elements, PT_ERROR values show
// the MAPI error's name. A null array logs only the header. Nothing is logged when the level and
// category are switched off.
void DumpPropValues(ULONG cValues, const SPropValue* pValues, const wchar_t* pwszTitle = nullptr,
                    DWORD dwLevel = kDumpPropsLevel, DWORD dwCategory = kLogCategoryInfo);

// The text DumpPropValues logs for one value (after the colon).
std::wstring PropValueToString(const SPropValue& value);

}  // namespace Ostrel::Util
