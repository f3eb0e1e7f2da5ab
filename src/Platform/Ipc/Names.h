// Files that back named cross-process objects (locks, mutexes, shared sections) under RuntimeDir().
#pragma once

#include <filesystem>
#include <string_view>

namespace Platform {

// The file for the object `name` of the given kind ("lock", "mutex", "shm", ...).
// Windows object names may hold any character; here they become safe file names. Characters
// outside [A-Za-z0-9._{}-] are replaced, and a hash of the original name is appended whenever the
// name had to be changed or shortened, so that two different names never share a file.
std::filesystem::path NamedObjectPath(std::string_view kind, std::wstring_view name);

}  // namespace Platform
