#include "Util/Text/Localized.h"

#include "Util/Text/LocalizedTable.h"

#include <string>
#include <unordered_map>

namespace Ostrel::Util {

namespace {

const std::unordered_map<std::string_view, const wchar_t*>& Table() {
    static const std::unordered_map<std::string_view, const wchar_t*> s_table = [] {
        std::unordered_map<std::string_view, const wchar_t*> table;
        for (size_t i = 0; i < LocalizedDetail::kEntryCount; ++i)
            table.emplace(LocalizedDetail::kEntries[i].pszKey, LocalizedDetail::kEntries[i].pwszText);
        return table;
    }();
    return s_table;
}

}  // namespace

std::wstring GetLocalizedString(std::string_view sKey) {
    const auto& table = Table();
    auto it = table.find(sKey);
    if (it != table.end())
        return it->second;
    return std::wstring(sKey.begin(), sKey.end());
}

std::wstring GetLocalizedString(std::wstring_view wsKey) {
    // Keys are ASCII; anything else cannot be a key and comes back unchanged.
    std::string sKey;
    for (wchar_t c : wsKey) {
        if (c < 0x20 || c > 0x7E)
            return std::wstring(wsKey);
        sKey += static_cast<char>(c);
    }
    return GetLocalizedString(std::string_view(sKey));
}

bool HasLocalizedString(std::string_view sKey) {
    return Table().count(sKey) != 0;
}

}  // namespace Ostrel::Util
