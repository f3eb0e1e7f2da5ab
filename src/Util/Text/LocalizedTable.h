// The table behind GetLocalizedString; only Localized.cpp reads it.
#pragma once

#include <cstddef>

namespace Ostrel::Util::LocalizedDetail {

struct Entry {
    const char* pszKey;
    const wchar_t* pwszText;
};

extern const Entry kEntries[];
extern const size_t kEntryCount;

}  // namespace Ostrel::Util::LocalizedDetail
