#include "Ostrel/Convert/Contact/PropBag.h"

namespace Ostrel::Mapi {

void PropBag::AddString(ULONG ulTag, std::wstring_view ws) {
    if (!Usable(ulTag))
        return;
    const std::wstring& kept = m_strings.emplace_back(ws);
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_UNICODE, PROP_ID(ulTag));
    v.Value.lpszW = const_cast<LPWSTR>(kept.c_str());
    m_values.push_back(v);
}

void PropBag::AddLong(ULONG ulTag, LONG l) {
    if (!Usable(ulTag))
        return;
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_LONG, PROP_ID(ulTag));
    v.Value.l = l;
    m_values.push_back(v);
}

void PropBag::AddBool(ULONG ulTag, bool b) {
    if (!Usable(ulTag))
        return;
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_BOOLEAN, PROP_ID(ulTag));
    v.Value.b = b ? 1 : 0;
    m_values.push_back(v);
}

void PropBag::AddTime(ULONG ulTag, const FILETIME& ft) {
    if (!Usable(ulTag))
        return;
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_SYSTIME, PROP_ID(ulTag));
    v.Value.ft = ft;
    m_values.push_back(v);
}

void PropBag::AddBinary(ULONG ulTag, std::string_view sBytes) {
    if (!Usable(ulTag))
        return;
    std::string& kept = m_bytes.emplace_back(sBytes);
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_BINARY, PROP_ID(ulTag));
    v.Value.bin.cb = static_cast<ULONG>(kept.size());
    v.Value.bin.lpb = reinterpret_cast<LPBYTE>(kept.data());
    m_values.push_back(v);
}

void PropBag::AddMVBinary(ULONG ulTag, const std::vector<std::string>& values) {
    if (!Usable(ulTag) || values.empty())
        return;
    std::vector<SBinary>& array = m_binArrays.emplace_back();
    for (const std::string& value : values) {
        std::string& kept = m_bytes.emplace_back(value);
        array.push_back(SBinary{static_cast<ULONG>(kept.size()), reinterpret_cast<LPBYTE>(kept.data())});
    }
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_MV_BINARY, PROP_ID(ulTag));
    v.Value.MVbin.cValues = static_cast<ULONG>(array.size());
    v.Value.MVbin.lpbin = array.data();
    m_values.push_back(v);
}

void PropBag::AddMVString(ULONG ulTag, const std::vector<std::wstring>& values) {
    if (!Usable(ulTag) || values.empty())
        return;
    std::vector<LPWSTR>& array = m_strArrays.emplace_back();
    for (const std::wstring& value : values)
        array.push_back(const_cast<LPWSTR>(m_strings.emplace_back(value).c_str()));
    SPropValue v{};
    v.ulPropTag = PROP_TAG(PT_MV_UNICODE, PROP_ID(ulTag));
    v.Value.MVszW.cValues = static_cast<ULONG>(array.size());
    v.Value.MVszW.lppszW = array.data();
    m_values.push_back(v);
}

const wchar_t* PropBag::FindString(ULONG ulTag) const {
    for (const SPropValue& v : m_values)
        if (PROP_TYPE(v.ulPropTag) == PT_UNICODE && PROP_ID(v.ulPropTag) == PROP_ID(ulTag))
            return v.Value.lpszW;
    return nullptr;
}

bool PropBag::Has(ULONG ulTag) const {
    for (const SPropValue& v : m_values)
        if (PROP_ID(v.ulPropTag) == PROP_ID(ulTag))
            return true;
    return false;
}

}  // namespace Ostrel::Mapi
