// The allocators behind the MAPI buffers this library hands out. A provider installs the routines
// its support object gives it; until then the process's MAPI allocators are used.
#pragma once

#include "Platform/Com/Malloc.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

class Memory {
public:
    // Installs the routines (null ones keep the process's MAPI allocators). Thread-safe.
    static void SetMemAllocRoutines(IMalloc* pMalloc, LPALLOCATEBUFFER pfnAllocate, LPALLOCATEMORE pfnAllocateMore,
                                    LPFREEBUFFER pfnFree);
    static bool AreMemAllocRoutinesSet();
    static IMalloc* GetMalloc();
    static LPALLOCATEBUFFER GetAllocateBuffer();
    static LPALLOCATEMORE GetAllocateMore();
    static LPFREEBUFFER GetFreeBuffer();

    static SCODE AllocateBuffer(ULONG cb, void** ppv);
    // The new block is freed with pParent.
    static SCODE AllocateMore(ULONG cb, void* pParent, void** ppv);
    static ULONG FreeBuffer(void* pv);

    // A copy of the string chained to pParent; null for a null string or when memory runs out.
    static char* CopyStringMore(const char* psz, void* pParent);
    static wchar_t* CopyStringMore(const wchar_t* pwsz, void* pParent);
    // A buffer of cch characters (zeroed), chained to pParent when given; null when memory runs out.
    static char* new_CHAR(size_t cch, void* pParent = nullptr);
    static wchar_t* new_WCHAR(size_t cch, void* pParent = nullptr);
    // Frees a buffer from AllocateBuffer (or new_CHAR/new_WCHAR without parent) and clears it.
    template <typename T>
    static void SafeDelete(T*& p) {
        if (p) {
            FreeBuffer(const_cast<void*>(static_cast<const void*>(p)));
            p = nullptr;
        }
    }
    // Frees every row's properties and the row set, and clears the pointer.
    static void FreeRows(LPSRowSet& pRows);
};

}  // namespace Ostrel::Mapi
