// IStream over a file. Reads, writes and seeks follow Windows' file streams (reads at the end give
// S_OK with 0 bytes, writes past the end leave zeros in the gap). A stream can delete its file when
// its last reference (including clones) is released, for temporary files.
#pragma once

#include <filesystem>
#include <string_view>

#include "Platform/Com/Stream.h"

namespace Platform {

// Opens or creates the file. grfMode: STGM_READ, STGM_WRITE or STGM_READWRITE; with STGM_CREATE the
// file is created or truncated, otherwise it must exist (STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND).
// STGM_DELETEONRELEASE has the same effect as bDeleteOnRelease. New files get mode 0600.
HRESULT CreateFileStream(const std::filesystem::path& path, DWORD grfMode, bool bDeleteOnRelease, IStream** ppStream);

// Creates a new file with a unique name (prefix, eight hex digits, ".tmp") in the directory (the
// system's temporary directory when empty), exclusively (O_EXCL) with mode 0600, open for reading
// and writing. *pPath receives the file's path when asked for. A file to be deleted on release is
// unlinked as soon as it is open, so that it cannot outlive a process that is killed; its path then
// names nothing.
HRESULT CreateUniqueFileStream(const std::filesystem::path& dir, std::string_view sPrefix, bool bDeleteOnRelease,
                               IStream** ppStream, std::filesystem::path* pPath = nullptr);

}  // namespace Platform
