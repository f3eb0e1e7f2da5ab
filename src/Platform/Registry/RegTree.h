// The in-memory form of one hive: a tree of keys holding typed values. Internal to the registry.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Platform::RegTree {

// Registry names compare case-insensitively; this is the form they are compared in (full Unicode
// simple case folding).
std::wstring Fold(std::wstring_view name);

struct Value {
    std::wstring wsName;
    DWORD dwType = 0;
    std::vector<BYTE> data;  // as the API exchanges it: string types in wchar_t units
};

struct Key {
    std::wstring wsName;
    std::map<std::wstring, std::unique_ptr<Key>> subkeys;  // by folded name, the enumeration order
    std::vector<Value> values;                             // in the order they were first set

    Key* Child(std::wstring_view name) const;
    // The child called `name`, created when missing (`pbCreated` tells which).
    Key& AddChild(std::wstring_view name, bool* pbCreated = nullptr);
    bool RemoveChild(std::wstring_view name);
    // Follows `path` from this key; null when a key on the way is missing.
    Key* Find(const std::vector<std::wstring>& path);

    Value* FindValue(std::wstring_view name);
    // Returns false when the value already held exactly this type and data.
    bool SetValue(std::wstring_view name, DWORD dwType, std::vector<BYTE> data);
    bool DeleteValue(std::wstring_view name);
};

// String data kept in API form (wchar_t units) is valid when it has whole units that are all
// Unicode scalar values, so that it can be written to the hive file as UTF-8 or UTF-16LE.
bool IsStringType(DWORD dwType);
bool IsValidStringData(const BYTE* pData, size_t cb);

}  // namespace Platform::RegTree
