#include "Ostrel/Store/Memory.h"

#include <cstring>
#include <cwchar>
#include <mutex>

namespace Ostrel::Mapi {

namespace {

struct Routines {
    std::mutex mutex;
    IMalloc* pMalloc = nullptr;
    LPALLOCATEBUFFER pfnAllocate = nullptr;
    LPALLOCATEMORE pfnAllocateMore = nullptr;
    LPFREEBUFFER pfnFree = nullptr;
};

Routines& TheRoutines() {
    static Routines routines;
    return routines;
}

template <typename Char>
Char* NewChars(size_t cch, void* pParent) {
    if (cch == 0 || cch > (0xFFFFFFFFu / sizeof(Char)))
        return nullptr;
    void* p = nullptr;
    const ULONG cb = static_cast<ULONG>(cch * sizeof(Char));
    SCODE sc = pParent ? Memory::AllocateMore(cb, pParent, &p) : Memory::AllocateBuffer(cb, &p);
    if (FAILED(sc))
        return nullptr;
    memset(p, 0, cb);
    return static_cast<Char*>(p);
}

}  // namespace

void Memory::SetMemAllocRoutines(IMalloc* pMalloc, LPALLOCATEBUFFER pfnAllocate, LPALLOCATEMORE pfnAllocateMore,
                                 LPFREEBUFFER pfnFree) {
    Routines& routines = TheRoutines();
    std::lock_guard<std::mutex> lock(routines.mutex);
    if (pMalloc)
        pMalloc->AddRef();
    if (routines.pMalloc)
        routines.pMalloc->Release();
    routines.pMalloc = pMalloc;
    // The three buffer routines belong together: a block is freed by the free routine of the
    // allocator that made it.
    const bool bAll = pfnAllocate && pfnAllocateMore && pfnFree;
    routines.pfnAllocate = bAll ? pfnAllocate : nullptr;
    routines.pfnAllocateMore = bAll ? pfnAllocateMore : nullptr;
    routines.pfnFree = bAll ? pfnFree : nullptr;
}

bool Memory::AreMemAllocRoutinesSet() {
    Routines& routines = TheRoutines();
    std::lock_guard<std::mutex> lock(routines.mutex);
    return routines.pfnAllocate != nullptr;
}

IMalloc* Memory::GetMalloc() {
    Routines& routines = TheRoutines();
    std::lock_guard<std::mutex> lock(routines.mutex);
    return routines.pMalloc;
}

LPALLOCATEBUFFER Memory::GetAllocateBuffer() {
    Routines& routines = TheRoutines();
    std::lock_guard<std::mutex> lock(routines.mutex);
    return routines.pfnAllocate ? routines.pfnAllocate : &MAPIAllocateBuffer;
}

LPALLOCATEMORE Memory::GetAllocateMore() {
    Routines& routines = TheRoutines();
    std::lock_guard<std::mutex> lock(routines.mutex);
    return routines.pfnAllocateMore ? routines.pfnAllocateMore : &MAPIAllocateMore;
}

LPFREEBUFFER Memory::GetFreeBuffer() {
    Routines& routines = TheRoutines();
    std::lock_guard<std::mutex> lock(routines.mutex);
    return routines.pfnFree ? routines.pfnFree : &MAPIFreeBuffer;
}

SCODE Memory::AllocateBuffer(ULONG cb, void** ppv) {
    if (!ppv)
        return MAPI_E_INVALID_PARAMETER;
    *ppv = nullptr;
    return GetAllocateBuffer()(cb, ppv);
}

SCODE Memory::AllocateMore(ULONG cb, void* pParent, void** ppv) {
    if (!ppv || !pParent)
        return MAPI_E_INVALID_PARAMETER;
    *ppv = nullptr;
    return GetAllocateMore()(cb, pParent, ppv);
}

ULONG Memory::FreeBuffer(void* pv) {
    return pv ? GetFreeBuffer()(pv) : 0;
}

char* Memory::CopyStringMore(const char* psz, void* pParent) {
    if (!psz)
        return nullptr;
    const size_t cch = strlen(psz) + 1;
    char* p = NewChars<char>(cch, pParent);
    if (p)
        memcpy(p, psz, cch);
    return p;
}

wchar_t* Memory::CopyStringMore(const wchar_t* pwsz, void* pParent) {
    if (!pwsz)
        return nullptr;
    const size_t cch = wcslen(pwsz) + 1;
    wchar_t* p = NewChars<wchar_t>(cch, pParent);
    if (p)
        wmemcpy(p, pwsz, cch);
    return p;
}

char* Memory::new_CHAR(size_t cch, void* pParent) {
    return NewChars<char>(cch, pParent);
}

wchar_t* Memory::new_WCHAR(size_t cch, void* pParent) {
    return NewChars<wchar_t>(cch, pParent);
}

void Memory::FreeRows(LPSRowSet& pRows) {
    if (!pRows)
        return;
    for (ULONG i = 0; i < pRows->cRows; ++i)
        FreeBuffer(pRows->aRow[i].lpProps);
    FreeBuffer(pRows);
    pRows = nullptr;
}

}  // namespace Ostrel::Mapi
