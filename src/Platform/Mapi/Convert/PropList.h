// A list of property values that owns their text and bytes, so that a converter can gather an
// object's properties and hand them to SetProps (or a recipient row) in one call.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "Platform/Mapi/MapiDefs.h"

namespace Platform::Mapi::Convert {

class PropList {
public:
    PropList() = default;
    PropList(const PropList&) = delete;
    PropList& operator=(const PropList&) = delete;
    PropList(PropList&&) = default;
    PropList& operator=(PropList&&) = default;

    // A value set again under the same tag replaces the earlier one.
    void String(ULONG ulTag, std::wstring value);
    void Binary(ULONG ulTag, std::string value);
    void Long(ULONG ulTag, LONG value);
    void Bool(ULONG ulTag, bool value);
    void Time(ULONG ulTag, const FILETIME& value);
    void StringList(ULONG ulTag, std::vector<std::wstring> values);
    void Remove(ULONG ulTag);

    bool Has(ULONG ulTag) const { return Find(ulTag) != nullptr; }
    const SPropValue* Find(ULONG ulTag) const;

    ULONG Count() const { return static_cast<ULONG>(m_values.size()); }
    // The values, valid while the list lives and is not changed.
    SPropValue* Values() { return m_values.data(); }

private:
    SPropValue& Slot(ULONG ulTag);

    std::vector<SPropValue> m_values;
    std::deque<std::wstring> m_strings;
    std::deque<std::string> m_bytes;
    std::deque<std::vector<LPWSTR>> m_lists;
};

}  // namespace Platform::Mapi::Convert
