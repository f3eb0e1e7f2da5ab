// Change keys and modification stamps. A change key is an XID: the store's 16-byte mapping
// signature followed by an 8-byte big-endian counter that only grows within a process and
// follows the clock across processes. The predecessor change list keeps one entry per
// signature, the newest first.
#pragma once

#include "Ostrel/Store/NamedProps.h"

namespace Ostrel::Mapi {

// A new change key for the object's store into a MAPI buffer (bin.lpb) the caller frees.
BOOL GenerateChangeKey(IMAPIProp* pProp, SBinary& bin);
// Gives the object a new PR_CHANGE_KEY and puts it at the head of PR_PREDECESSOR_CHANGE_LIST.
// The caller saves the object. Call it for a change the user would see, not for bookkeeping.
BOOL UpdateChangeKey(IMAPIProp* pProp);
// Sets the server last-modified stamp (index 49) to now; the caller saves the object.
BOOL UpdateFolderModificationTime(IMAPIProp* pProp, NamedProps* pNamedProps);

}  // namespace Ostrel::Mapi
