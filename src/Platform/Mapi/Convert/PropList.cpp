#include "Platform/Mapi/Convert/PropList.h"

#include <algorithm>

namespace Platform::Mapi::Convert {

SPropValue& PropList::Slot(ULONG ulTag) {
    for (SPropValue& v : m_values)
        if (PROP_ID(v.ulPropTag) == PROP_ID(ulTag)) {
            v = SPropValue{ulTag, 0, {}};
            return v;
        }
    m_values.push_back(SPropValue{ulTag, 0, {}});
    return m_values.back();
}

void PropList::String(ULONG ulTag, std::wstring value) {
    m_strings.push_back(std::move(value));
    Slot(ulTag).Value.lpszW = m_strings.back().data();
}

void PropList::Binary(ULONG ulTag, std::string value) {
    m_bytes.push_back(std::move(value));
    std::string& bytes = m_bytes.back();
    Slot(ulTag).Value.bin = {static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(bytes.data())};
}

void PropList::Long(ULONG ulTag, LONG value) {
    Slot(ulTag).Value.l = value;
}

void PropList::Bool(ULONG ulTag, bool value) {
    Slot(ulTag).Value.b = value ? 1 : 0;
}

void PropList::Time(ULONG ulTag, const FILETIME& value) {
    Slot(ulTag).Value.ft = value;
}

void PropList::StringList(ULONG ulTag, std::vector<std::wstring> values) {
    std::vector<LPWSTR> pointers;
    for (std::wstring& v : values) {
        m_strings.push_back(std::move(v));
        pointers.push_back(m_strings.back().data());
    }
    m_lists.push_back(std::move(pointers));
    SPropValue& slot = Slot(ulTag);
    slot.Value.MVszW = {static_cast<ULONG>(m_lists.back().size()), m_lists.back().data()};
}

void PropList::Remove(ULONG ulTag) {
    std::erase_if(m_values, [&](const SPropValue& v) { return PROP_ID(v.ulPropTag) == PROP_ID(ulTag); });
}

const SPropValue* PropList::Find(ULONG ulTag) const {
    for (const SPropValue& v : m_values)
        if (v.ulPropTag == ulTag)
            return &v;
    return nullptr;
}

}  // namespace Platform::Mapi::Convert
