#include "Platform/Registry/RegTree.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstring>

namespace Platform::RegTree {

std::wstring Fold(std::wstring_view name) {
    std::wstring folded(name);
    for (wchar_t& c : folded)
        c = static_cast<wchar_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
    return folded;
}

Key* Key::Child(std::wstring_view name) const {
    auto it = subkeys.find(Fold(name));
    return it == subkeys.end() ? nullptr : it->second.get();
}

Key& Key::AddChild(std::wstring_view name, bool* pbCreated) {
    auto& slot = subkeys[Fold(name)];
    if (pbCreated)
        *pbCreated = !slot;
    if (!slot) {
        slot = std::make_unique<Key>();
        slot->wsName = name;
    }
    return *slot;
}

bool Key::RemoveChild(std::wstring_view name) {
    return subkeys.erase(Fold(name)) > 0;
}

Key* Key::Find(const std::vector<std::wstring>& path) {
    Key* key = this;
    for (const auto& part : path) {
        key = key->Child(part);
        if (!key)
            return nullptr;
    }
    return key;
}

Value* Key::FindValue(std::wstring_view name) {
    const std::wstring folded = Fold(name);
    for (auto& value : values) {
        if (Fold(value.wsName) == folded)
            return &value;
    }
    return nullptr;
}

bool Key::SetValue(std::wstring_view name, DWORD dwType, std::vector<BYTE> data) {
    if (Value* value = FindValue(name)) {
        if (value->dwType == dwType && value->data == data)
            return false;
        value->dwType = dwType;
        value->data = std::move(data);
        return true;
    }
    values.push_back(Value{std::wstring(name), dwType, std::move(data)});
    return true;
}

bool Key::DeleteValue(std::wstring_view name) {
    const std::wstring folded = Fold(name);
    auto it = std::find_if(values.begin(), values.end(), [&](const Value& v) { return Fold(v.wsName) == folded; });
    if (it == values.end())
        return false;
    values.erase(it);
    return true;
}

bool IsStringType(DWORD dwType) {
    return dwType == 1 || dwType == 2 || dwType == 7;
}

bool IsValidStringData(const BYTE* pData, size_t cb) {
    if (cb % sizeof(wchar_t) != 0)
        return false;
    for (size_t i = 0; i < cb; i += sizeof(wchar_t)) {
        wchar_t c;
        std::memcpy(&c, pData + i, sizeof c);
        const auto u = static_cast<uint32_t>(c);
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF))
            return false;
    }
    return true;
}

}  // namespace Platform::RegTree
