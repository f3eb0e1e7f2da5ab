// Shared by the profile store's files.
#pragma once

#include "Platform/Base/HResult.h"

namespace Ostrel::Mapi {

// Carries the values of an older version's profile-values file into the profile section once
// (see ProfileStore.h). S_OK when there is nothing (left) to carry over.
HRESULT MigrateProfileValues(const wchar_t* pwszProfile);

}  // namespace Ostrel::Mapi
