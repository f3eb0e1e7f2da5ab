// Property values built up for one SetProps call, owning the memory their pointers refer to.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

class PropBag {
public:
    void AddString(ULONG ulTag, std::wstring_view ws);
    void AddLong(ULONG ulTag, LONG l);
    void AddBool(ULONG ulTag, bool b);
    void AddTime(ULONG ulTag, const FILETIME& ft);
    void AddBinary(ULONG ulTag, std::string_view sBytes);
    void AddMVBinary(ULONG ulTag, const std::vector<std::string>& values);
    void AddMVString(ULONG ulTag, const std::vector<std::wstring>& values);

    // The text of a string value already added; null when there is none.
    const wchar_t* FindString(ULONG ulTag) const;
    bool Has(ULONG ulTag) const;

    std::vector<SPropValue>& Values() { return m_values; }
    ULONG Count() const { return static_cast<ULONG>(m_values.size()); }

private:
    // Tags of PT_NULL (a named entry without an id) are never added.
    bool Usable(ULONG ulTag) const { return PROP_ID(ulTag) != 0; }

    std::vector<SPropValue> m_values;
    std::deque<std::wstring> m_strings;
    std::deque<std::string> m_bytes;
    std::deque<std::vector<SBinary>> m_binArrays;
    std::deque<std::vector<LPWSTR>> m_strArrays;
};

}  // namespace Ostrel::Mapi
