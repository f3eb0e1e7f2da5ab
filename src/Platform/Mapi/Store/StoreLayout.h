// The folder tree and store properties of a new store.
#pragma once

#include <string>

#include "Platform/Mapi/MapiDefs.h"

namespace Platform::Mapi {

class StoreDb;

// Writes the store object, the root, the IPM subtree with the standard folders, the search root and
// the view folders, with the store and folder properties that point to them. Runs inside the
// creating transaction.
HRESULT CreateStoreLayout(StoreDb& db, const std::wstring& wsDisplayName);

// The current time as FILETIME.
FILETIME NowFileTime();

}  // namespace Platform::Mapi
