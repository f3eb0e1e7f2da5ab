// The Win32 registry functions over the hives of RegStore.
#include "Platform/Registry/Registry.h"

#include "Platform/Registry/RegStore.h"

#include <cstring>
#include <mutex>
#include <unordered_set>

// An open key: its hive and the path of names from the hive's root.
struct HKEY__ {
    Platform::RegStore::Hive* pHive = nullptr;
    std::vector<std::wstring> path;
    REGSAM access = 0;
};

namespace {

using Platform::RegStore::Hive;
using Platform::RegTree::Key;
using Platform::RegTree::Value;

std::mutex g_handleMutex;
std::unordered_set<HKEY>& Handles() {
    static std::unordered_set<HKEY> handles;
    return handles;
}

// What a handle (predefined or opened) stands for.
struct Target {
    Hive* pHive = nullptr;
    std::vector<std::wstring> path;
    REGSAM access = 0;
};

bool Resolve(HKEY hKey, Target& target) {
    if (Hive* hive = Platform::RegStore::HiveFor(hKey)) {
        target = Target{hive, {}, KEY_ALL_ACCESS};
        return true;
    }
    std::lock_guard<std::mutex> lock(g_handleMutex);
    if (!hKey || !Handles().count(hKey))
        return false;
    target = Target{hKey->pHive, hKey->path, hKey->access};
    return true;
}

bool HasControlCharacter(std::wstring_view name) {
    for (wchar_t c : name) {
        if (static_cast<uint32_t>(c) < 0x20)
            return true;
    }
    return false;
}

// Splits a subkey path; empty parts (doubled or trailing separators) are skipped.
bool SplitPath(LPCWSTR lpSubKey, std::vector<std::wstring>& parts) {
    if (!lpSubKey)
        return true;
    std::wstring_view rest(lpSubKey);
    while (!rest.empty()) {
        size_t end = rest.find(L'\\');
        std::wstring_view part = rest.substr(0, end);
        if (!part.empty()) {
            if (part.size() > REG_MAX_KEY_NAME || HasControlCharacter(part))
                return false;
            parts.emplace_back(part);
        }
        if (end == std::wstring_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return true;
}

HKEY NewHandle(Hive* hive, std::vector<std::wstring> path, REGSAM access) {
    HKEY h = new HKEY__{hive, std::move(path), access};
    std::lock_guard<std::mutex> lock(g_handleMutex);
    Handles().insert(h);
    return h;
}

std::wstring_view ValueName(LPCWSTR lpValueName) {
    return lpValueName ? std::wstring_view(lpValueName) : std::wstring_view();
}

// Copies `data` out with the RegQueryValueEx rules for lpData/lpcbData.
LSTATUS CopyData(const std::vector<BYTE>& data, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpcbData)
        return lpData ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    const DWORD cb = static_cast<DWORD>(data.size());
    if (lpData) {
        if (*lpcbData < cb) {
            *lpcbData = cb;
            return ERROR_MORE_DATA;
        }
        if (cb)
            std::memcpy(lpData, data.data(), cb);
    }
    *lpcbData = cb;
    return ERROR_SUCCESS;
}

// Copies a name into a caller's buffer of *lpcch characters (terminator included).
LSTATUS CopyName(const std::wstring& name, LPWSTR lpName, LPDWORD lpcch) {
    if (!lpName || !lpcch)
        return ERROR_INVALID_PARAMETER;
    if (*lpcch <= name.size())
        return ERROR_MORE_DATA;
    std::wmemcpy(lpName, name.c_str(), name.size() + 1);
    *lpcch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Runs `fn(key, fileTime)` on the key behind hKey under the hive's read lock, once the handle is
// valid and carries the `needed` access; a key deleted meanwhile gives ERROR_KEY_DELETED.
template <typename Fn>
LSTATUS ReadKey(HKEY hKey, REGSAM needed, Fn fn) {
    Target target;
    if (!Resolve(hKey, target))
        return ERROR_INVALID_HANDLE;
    if (!(target.access & needed))
        return ERROR_ACCESS_DENIED;
    return target.pHive->Read([&](Key& root, const FILETIME& ftFile) -> LSTATUS {
        Key* key = root.Find(target.path);
        return key ? fn(*key, ftFile) : ERROR_KEY_DELETED;
    });
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Target target;
    if (!Resolve(hKey, target))
        return ERROR_INVALID_HANDLE;
    std::vector<std::wstring> path = target.path;
    if (!SplitPath(lpSubKey, path))
        return ERROR_INVALID_PARAMETER;
    const LSTATUS status = target.pHive->Read([&](Key& root, const FILETIME&) -> LSTATUS {
        if (!root.Find(target.path))
            return ERROR_KEY_DELETED;
        return root.Find(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (status == ERROR_SUCCESS)
        *phkResult = NewHandle(target.pHive, std::move(path), samDesired);
    return status;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/, DWORD dwOptions,
                        REGSAM samDesired, const void* /*lpSecurityAttributes*/, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (dwOptions != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    Target target;
    if (!Resolve(hKey, target))
        return ERROR_INVALID_HANDLE;
    std::vector<std::wstring> path = target.path;
    if (!SplitPath(lpSubKey, path))
        return ERROR_INVALID_PARAMETER;

    // Opening an existing key needs no write, so it also works on a hive that cannot be written.
    LSTATUS status = target.pHive->Read([&](Key& root, const FILETIME&) -> LSTATUS {
        if (!root.Find(target.path))
            return ERROR_KEY_DELETED;
        return root.Find(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (status == ERROR_FILE_NOT_FOUND) {
        if (!(target.access & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        status = target.pHive->Write([&](Key& root, bool& bChanged) -> LSTATUS {
            Key* key = root.Find(target.path);
            if (!key)
                return ERROR_KEY_DELETED;
            for (size_t i = target.path.size(); i < path.size(); ++i) {
                bool bCreated = false;
                key = &key->AddChild(path[i], &bCreated);
                bChanged = bChanged || bCreated;
            }
            if (!bChanged)
                disposition = REG_OPENED_EXISTING_KEY;  // another process made it meanwhile
            else
                disposition = REG_CREATED_NEW_KEY;
            return ERROR_SUCCESS;
        });
    }
    if (status != ERROR_SUCCESS)
        return status;
    if (lpdwDisposition)
        *lpdwDisposition = disposition;
    *phkResult = NewHandle(target.pHive, std::move(path), samDesired);
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (Platform::RegStore::HiveFor(hKey))
        return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(g_handleMutex);
        if (!hKey || Handles().erase(hKey) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete hKey;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (lpReserved)
        return ERROR_INVALID_PARAMETER;
    return ReadKey(hKey, KEY_QUERY_VALUE, [&](Key& key, const FILETIME&) -> LSTATUS {
        const Value* value = key.FindValue(ValueName(lpValueName));
        if (!value)
            return ERROR_FILE_NOT_FOUND;
        if (lpType)
            *lpType = value->dwType;
        return CopyData(value->data, lpData, lpcbData);
    });
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    Target target;
    if (!Resolve(hKey, target))
        return ERROR_INVALID_HANDLE;
    if (!(target.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    const std::wstring_view name = ValueName(lpValueName);
    if ((cbData && !lpData) || name.size() > REG_MAX_VALUE_NAME || HasControlCharacter(name))
        return ERROR_INVALID_PARAMETER;
    if (Platform::RegTree::IsStringType(dwType) && !Platform::RegTree::IsValidStringData(lpData, cbData))
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> data(lpData, lpData + cbData);
    return target.pHive->Write([&](Key& root, bool& bChanged) -> LSTATUS {
        Key* key = root.Find(target.path);
        if (!key)
            return ERROR_KEY_DELETED;
        bChanged = key->SetValue(name, dwType, data);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    Target target;
    if (!Resolve(hKey, target))
        return ERROR_INVALID_HANDLE;
    if (!(target.access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    return target.pHive->Write([&](Key& root, bool& bChanged) -> LSTATUS {
        Key* key = root.Find(target.path);
        if (!key)
            return ERROR_KEY_DELETED;
        bChanged = key->DeleteValue(ValueName(lpValueName));
        return bChanged ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

namespace {

// Deletes the subkey `lpSubKey` of hKey; `bTree` also deletes what lies below it.
LSTATUS DeleteKey(HKEY hKey, LPCWSTR lpSubKey, bool bTree) {
    Target target;
    if (!Resolve(hKey, target))
        return ERROR_INVALID_HANDLE;
    std::vector<std::wstring> path = target.path;
    if (!SplitPath(lpSubKey, path))
        return ERROR_INVALID_PARAMETER;
    const bool bContentsOnly = path.size() == target.path.size();
    if (bContentsOnly && !bTree)
        return ERROR_INVALID_PARAMETER;
    return target.pHive->Write([&](Key& root, bool& bChanged) -> LSTATUS {
        if (!root.Find(target.path))
            return ERROR_KEY_DELETED;
        Key* key = root.Find(path);
        if (!key)
            return ERROR_FILE_NOT_FOUND;
        if (bContentsOnly) {
            bChanged = !key->subkeys.empty() || !key->values.empty();
            key->subkeys.clear();
            key->values.clear();
            return ERROR_SUCCESS;
        }
        if (!bTree && !key->subkeys.empty())
            return ERROR_ACCESS_DENIED;
        std::vector<std::wstring> parentPath(path.begin(), path.end() - 1);
        bChanged = root.Find(parentPath)->RemoveChild(path.back());
        return ERROR_SUCCESS;
    });
}

}  // namespace

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return DeleteKey(hKey, lpSubKey, false);
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    return DeleteKey(hKey, lpSubKey, true);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD /*lpReserved*/,
                      LPWSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime) {
    return ReadKey(hKey, KEY_ENUMERATE_SUB_KEYS, [&](Key& key, const FILETIME& ftFile) -> LSTATUS {
        if (dwIndex >= key.subkeys.size())
            return ERROR_NO_MORE_ITEMS;
        auto it = std::next(key.subkeys.begin(), dwIndex);
        const LSTATUS status = CopyName(it->second->wsName, lpName, lpcchName);
        if (status != ERROR_SUCCESS)
            return status;
        if (lpClass && lpcchClass && *lpcchClass > 0)
            lpClass[0] = L'\0';
        if (lpcchClass)
            *lpcchClass = 0;
        if (lpftLastWriteTime)
            *lpftLastWriteTime = ftFile;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved)
        return ERROR_INVALID_PARAMETER;
    return ReadKey(hKey, KEY_QUERY_VALUE, [&](Key& key, const FILETIME&) -> LSTATUS {
        if (dwIndex >= key.values.size())
            return ERROR_NO_MORE_ITEMS;
        const Value& value = key.values[dwIndex];
        const LSTATUS status = CopyName(value.wsName, lpValueName, lpcchValueName);
        if (status != ERROR_SUCCESS)
            return status;
        if (lpType)
            *lpType = value.dwType;
        return CopyData(value.data, lpData, lpcbData);
    });
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         FILETIME* lpftLastWriteTime) {
    if (lpReserved)
        return ERROR_INVALID_PARAMETER;
    return ReadKey(hKey, KEY_QUERY_VALUE, [&](Key& key, const FILETIME& ftFile) -> LSTATUS {
        size_t maxSubKey = 0, maxName = 0, maxData = 0;
        for (const auto& [folded, child] : key.subkeys)
            maxSubKey = std::max(maxSubKey, child->wsName.size());
        for (const auto& value : key.values) {
            maxName = std::max(maxName, value.wsName.size());
            maxData = std::max(maxData, value.data.size());
        }
        if (lpClass && lpcchClass && *lpcchClass > 0)
            lpClass[0] = L'\0';
        if (lpcchClass)
            *lpcchClass = 0;
        if (lpcSubKeys)
            *lpcSubKeys = static_cast<DWORD>(key.subkeys.size());
        if (lpcbMaxSubKeyLen)
            *lpcbMaxSubKeyLen = static_cast<DWORD>(maxSubKey);
        if (lpcbMaxClassLen)
            *lpcbMaxClassLen = 0;
        if (lpcValues)
            *lpcValues = static_cast<DWORD>(key.values.size());
        if (lpcbMaxValueNameLen)
            *lpcbMaxValueNameLen = static_cast<DWORD>(maxName);
        if (lpcbMaxValueLen)
            *lpcbMaxValueLen = static_cast<DWORD>(maxData);
        if (lpcbSecurityDescriptor)
            *lpcbSecurityDescriptor = 0;
        if (lpftLastWriteTime)
            *lpftLastWriteTime = ftFile;
        return ERROR_SUCCESS;
    });
}
