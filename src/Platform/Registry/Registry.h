// The Windows registry API over REGEDIT4 text hives: HKEY_CURRENT_USER is
// OSTREL_HOME/registry/HKCU.reg and HKEY_LOCAL_MACHINE is OSTREL_HOME/registry/HKLM.reg.
//
// Windows semantics and error codes: key and value names are case-insensitive, keys are
// separated by '\', a missing key or value is ERROR_FILE_NOT_FOUND, a handle without the needed
// access gets ERROR_ACCESS_DENIED, a too small buffer ERROR_MORE_DATA with the size needed.
//
// String data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is exchanged as wchar_t units, so byte counts
// are multiples of sizeof(wchar_t) (4 here) and include the terminator(s) the caller passes, as
// on Windows; the hive files hold them as UTF-8 text or, in hex form, as UTF-16LE.
//
// Every change is written to its hive at once (unless a RegWriteBatch below groups them): under a cross-process lock
// the hive is read again, changed, written to a temporary file, synced and renamed over the old one, so concurrent
// writers in several processes lose nothing. Reads pick up files changed by other processes. A hive file that does not
// parse is reported (ParseError below), kept as it is, never overwritten: writes to it fail with ERROR_REGISTRY_CORRUPT
// while reads see what could be parsed.
#pragma once

#include "Platform/Base/HResult.h"
#include "Platform/Base/WinTypes.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

// Windows limits, in characters without the terminator.
#define REG_MAX_KEY_NAME 255
#define REG_MAX_VALUE_NAME 16383

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// lpClass and lpSecurityAttributes are accepted and ignored; dwOptions may only be
// REG_OPTION_NON_VOLATILE (every key is persisted).
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                        const void* lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
LSTATUS RegCloseKey(HKEY hKey);
// A null or empty name is the key's default value. With lpData null and lpcbData set, only the
// size is returned.
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
// String types need whole wchar_t units holding Unicode scalar values (ERROR_INVALID_PARAMETER otherwise).
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some, as on Windows).
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// Deletes a key with all its subkeys and values; with lpSubKey null or empty, the contents of hKey.
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
// Subkeys come in case-insensitive name order; lpftLastWriteTime receives the hive file's time.
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);
// Values come in the order they were first set.
LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         FILETIME* lpftLastWriteTime);

namespace Platform::Registry {

// A hive file that could not be parsed completely.
struct ParseError {
    std::filesystem::path path;
    unsigned uLine = 0;  // 1-based
    std::string sMessage;
};

// Called (outside any registry lock) each time a changed hive file is found not to parse.
// The platform layer has no logging of its own; the utility library installs a handler.
void SetParseErrorHandler(std::function<void(const ParseError&)> handler);
// The most recent parse error of any hive in this process, if any.
std::optional<ParseError> LastParseError();
// The file that holds a predefined hive (HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE), empty otherwise.
std::filesystem::path HivePath(HKEY hRoot);

}  // namespace Platform::Registry

namespace Platform {

namespace RegStore {
class Hive;
}

// Groups many writes to one hive (HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE) into a single store of
// its file. From construction to Commit (or destruction) the hive's cross-process lock is held
// and other threads of this process wait; this thread's writes change only the memory, its reads
// see them, and Commit writes the file once, atomically and synced. Other processes see either the
// old file or the whole batch; what they wrote before the batch took the lock is kept. A batch
// that is never committed (the process dies) leaves the file as it was. Batches nest: only the
// outermost one stores. Keep batches short and on one thread; never open batches on both hives
// in different orders on different threads.
class RegWriteBatch {
public:
    explicit RegWriteBatch(HKEY hRoot);
    ~RegWriteBatch();
    RegWriteBatch(const RegWriteBatch&) = delete;
    RegWriteBatch& operator=(const RegWriteBatch&) = delete;

    // Stores the batch's changes and releases the locks; later calls do nothing. ERROR_CANTWRITE
    // when the file could not be stored: the file and the memory then keep the state before the
    // batch. A nested batch, or one that could not take the lock (its writes were then stored one
    // by one), returns ERROR_SUCCESS.
    LSTATUS Commit();

private:
    RegStore::Hive* m_pHive = nullptr;
};

}  // namespace Platform
