// A list of property values under construction that owns what its values point to, so a row can
// be built field by field and handed to SetProps or ModifyRecipients in one piece.
#pragma once

#include "Platform/Mapi/Mapi.h"

#include <deque>
#include <string>
#include <vector>

namespace Ostrel::Mail {

class CalPropList {
public:
    void Long(ULONG ulTag, LONG l) { Add(ulTag).Value.l = l; }
    void Bool(ULONG ulTag, bool b) { Add(ulTag).Value.b = b ? 1 : 0; }
    void Time(ULONG ulTag, const FILETIME& ft) { Add(ulTag).Value.ft = ft; }
    void String(ULONG ulTag, const std::wstring& ws) {
        const std::wstring& kept = m_strings.emplace_back(ws);
        Add(ulTag).Value.lpszW = const_cast<wchar_t*>(kept.c_str());
    }
    void Binary(ULONG ulTag, std::vector<BYTE> bytes) {
        std::vector<BYTE>& kept = m_binaries.emplace_back(std::move(bytes));
        SPropValue& v = Add(ulTag);
        v.Value.bin.cb = static_cast<ULONG>(kept.size());
        v.Value.bin.lpb = kept.data();
    }
    // A value whose memory the caller keeps alive.
    void Raw(const SPropValue& value) { m_values.push_back(value); }

    ULONG Count() const { return static_cast<ULONG>(m_values.size()); }
    SPropValue* Values() { return m_values.data(); }

private:
    SPropValue& Add(ULONG ulTag) {
        SPropValue& v = m_values.emplace_back();
        v.ulPropTag = ulTag;
        return v;
    }

    std::vector<SPropValue> m_values;
    // Deques keep element addresses when they grow.
    std::deque<std::wstring> m_strings;
    std::deque<std::vector<BYTE>> m_binaries;
};

}  // namespace Ostrel::Mail
