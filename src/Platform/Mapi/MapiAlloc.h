// MAPI buffers: a block from MAPIAllocateBuffer owns every block chained to it with MAPIAllocateMore,
// and MAPIFreeBuffer on it frees them all.
#pragma once

#include "Platform/Mapi/MapiDefs.h"

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
// lpObject is a block from MAPIAllocateBuffer (or one chained to it: the new block joins the same owner).
SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
// Frees a block from MAPIAllocateBuffer and its chain. Null is accepted; a chained block is left to its owner.
ULONG MAPIFreeBuffer(LPVOID lpBuffer);
