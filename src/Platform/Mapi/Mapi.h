// Everything a caller of the MAPI stand-in needs: types, tags, interfaces, allocators, utility
// functions, sessions and profiles, and direct opening of store files.
#pragma once

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiDefs.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mapi/MapiTagNames.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Session/Profiles.h"
#include "Platform/Mapi/Store/OsdStore.h"
