// Names of property tags and types ("PR_SUBJECT_W", "PT_LONG") for logs and inspection tools.
#pragma once

#include "Platform/Mapi/MapiDefs.h"

// The name of a well-known tag (of the same id when the type differs), or null.
const char* MapiPropName(ULONG ulPropTag);
// The name of a property type, or null for an unknown one.
const char* MapiTypeName(ULONG ulPropType);
