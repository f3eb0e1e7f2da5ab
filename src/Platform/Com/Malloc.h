// IMalloc: the task allocator interface a MAPI provider is handed beside its buffer allocators.
#pragma once

#include "Platform/Com/Unknown.h"

inline constexpr IID IID_IMalloc = {0x00000002, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IMalloc : public IUnknown {
    virtual void* Alloc(SIZE_T cb) = 0;
    virtual void* Realloc(void* pv, SIZE_T cb) = 0;
    virtual void Free(void* pv) = 0;
    // The size of a block from this allocator; (SIZE_T)-1 for a null or foreign pointer.
    virtual SIZE_T GetSize(void* pv) = 0;
    // 1 when the block is from this allocator, 0 when not, -1 when it cannot tell.
    virtual int DidAlloc(void* pv) = 0;
    virtual void HeapMinimize() = 0;
};
typedef IMalloc* LPMALLOC;

namespace Platform {
template <>
struct InterfaceId<IMalloc> {
    static const IID& Get() { return IID_IMalloc; }
};
}  // namespace Platform
