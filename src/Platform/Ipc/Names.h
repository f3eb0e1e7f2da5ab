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

// Opens (creating, mode 0600) the read-write file behind a named object. Fails with EACCES when
// the folder holding it is not private (see EnsurePrivateDirectory) and never follows a symbolic
// link, so nobody else can point the object at a file of the caller's. Returns -1 on failure.
int OpenNamedObjectFile(const std::filesystem::path& path);

}  // namespace Platform
