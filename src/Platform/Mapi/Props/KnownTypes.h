// Checks of property values against the types of well-known properties.
#pragma once

#include "Platform/Mapi/MapiDefs.h"

namespace Platform::Mapi {

// True when the tag names a well-known property with a type that property never has.
bool IsKnownTypeMismatch(ULONG ulTag);

}  // namespace Platform::Mapi
