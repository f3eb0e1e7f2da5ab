// The client's junk-mail options: the safe and blocked sender lists it keeps per profile, and the
// moment its options dialog closes (when the user may have changed them).
//
// The lists live in OSTREL_HOME/junk-mail/PROFILE.lists, UTF-8 text that can be read and edited
// by hand:
//
//     # comment lines and blank lines are ignored
//     [safe senders]
//     ann@example.com
//     [blocked senders]
//     @spam.example
//     [invalid blocked domains]
//     [end]
//
// One entry per line under its heading, surrounding blanks ignored; every heading may be missing
// or repeated. The closing "[end]" tells a complete file from a cut one. A file with an unknown
// heading, an entry before the first heading, no "[end]" or anything after it, invalid UTF-8, a
// NUL byte or a control character (but tab) in an entry is damaged: it is reported and never
// taken for empty lists. Writes replace the file atomically (temporary file, fsync, rename), so a
// process killed mid-write leaves the old lists; its temporary file is unnamed while written
// where the filesystem allows, and the next write removes any a dead writer left.
#pragma once

#include "Platform/Base/HResult.h"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace Platform::Host {

// The file holds something other than lists (MAPI_E_CORRUPT_DATA).
constexpr HRESULT kJunkMailListsDamaged = static_cast<HRESULT>(0x8004011B);

struct JunkMailLists {
    std::vector<std::wstring> safeSenders;
    std::vector<std::wstring> blockedSenders;
    // Blocked domain entries the client could not apply; they wait to be moved to the blocked list.
    std::vector<std::wstring> invalidDomains;
};

// Letters, digits, '.', '_', '-' and '@', not starting with '.', at most 64 characters.
bool IsValidJunkMailProfile(std::wstring_view wsProfile);

std::filesystem::path JunkMailListsPath(std::wstring_view wsProfile);
// The file writers of the lists lock (Platform::FileLock) for a read-modify-write.
std::filesystem::path JunkMailListsLockPath(std::wstring_view wsProfile);

// S_OK with the lists; S_FALSE with empty lists when the profile has none yet (no file);
// kJunkMailListsDamaged for a damaged file; E_INVALIDARG for a profile name that is not valid;
// STG_E_READFAULT when the file cannot be read. `pwsProblem` gets one line on failure.
HRESULT ReadJunkMailLists(std::wstring_view wsProfile, JunkMailLists& lists, std::wstring* pwsProblem = nullptr);

// Whether an entry (trimmed) can be written and read back: no control characters but tab (a line
// break would split it), no code point UTF-8 cannot hold, and no leading '[' or '#' (it would
// read as a heading or a comment).
bool IsStorableJunkMailEntry(std::wstring_view wsEntry);

// Replaces the profile's lists. Entries are written trimmed, empty ones left out; an entry that
// is not storable is E_INVALIDARG. STG_E_WRITEFAULT when
// the file cannot be written; the old file is then unchanged.
HRESULT WriteJunkMailLists(std::wstring_view wsProfile, const JunkMailLists& lists);

// The file format above for any file of named lists (headings given without brackets), for
// other state kept beside the lists. `lists` gets one entry per heading present, even an empty
// one. Same results as ReadJunkMailLists and WriteJunkMailLists.
using NamedLists = std::map<std::string, std::vector<std::wstring>>;
HRESULT ReadListsFile(const std::filesystem::path& path, const std::vector<std::string>& headings, NamedLists& lists,
                      std::wstring* pwsProblem = nullptr);
HRESULT WriteListsFile(const std::filesystem::path& path, const std::string& sComment, const NamedLists& lists);

// The options dialog was closed: the host calls this, and each observer hears the profile, on
// the calling thread. Observers must not block: they start their own work. Once
// RemoveJunkMailOptionsObserver returns, the observer is not running on another thread and is
// never called again, so what it refers to may go.
int AddJunkMailOptionsObserver(std::function<void(const std::wstring& wsProfile)> observer);
void RemoveJunkMailOptionsObserver(int iHandle);
void JunkMailOptionsClosed(const std::wstring& wsProfile);

}  // namespace Platform::Host
