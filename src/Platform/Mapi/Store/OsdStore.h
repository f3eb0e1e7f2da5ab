// Opening .osd store files directly, without a profile (tools, tests, the profile code itself).
#pragma once

#include <filesystem>
#include <string>

#include "Platform/Mapi/MapiInterfaces.h"

namespace Platform {

// Opens the store file; with bCreate a missing file is created with the folder tree of a new profile
// and the display name (the file's stem when empty). MAPI_E_NOT_FOUND when the file is missing,
// MAPI_E_CORRUPT_STORE when it is not a store or is damaged (the file is then left untouched).
HRESULT OpenOsdStore(const std::filesystem::path& path, bool bCreate, const std::wstring& wsDisplayName, bool bWritable,
                     IMsgStore** ppStore);

// A new message outside any store the caller knows: it lives in a store file of its own, in a private
// folder under the temporary directory, which goes when the last reference to the message (and to what
// was opened from it) is released. For temporary copies and clones of messages.
HRESULT CreateTemporaryMessage(IMessage** ppMessage);

// The .osd path inside a store entry id (the provider UID, two bytes, then the path as UTF-16LE).
bool OsdPathFromStoreEntryId(ULONG cbEntryID, const void* pEntryID, std::filesystem::path* pPath);

}  // namespace Platform
