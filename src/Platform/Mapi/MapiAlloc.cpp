#include "Platform/Mapi/MapiAlloc.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

constexpr uint32_t kRootMagic = 0x4D415042;   // "MAPB"
constexpr uint32_t kChildMagic = 0x4D41504D;  // "MAPM"

// Precedes every block; 16-byte aligned so that the payload is suitably aligned for any MAPI value.
struct alignas(16) BlockHeader {
    uint32_t magic;
    BlockHeader* pOwner;                  // the root block, for chained blocks
    std::atomic<BlockHeader*> pChildren;  // chained blocks, roots only
    BlockHeader* pNext;                   // next sibling in the owner's chain
};

BlockHeader* HeaderOf(void* p) {
    return reinterpret_cast<BlockHeader*>(p) - 1;
}

BlockHeader* NewBlock(ULONG cb, uint32_t magic) {
    void* pRaw = std::malloc(sizeof(BlockHeader) + (cb ? cb : 1));
    if (!pRaw)
        return nullptr;
    auto* pHeader = new (pRaw) BlockHeader{magic, nullptr, {nullptr}, nullptr};
    return pHeader;
}

}  // namespace

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    BlockHeader* pHeader = NewBlock(cbSize, kRootMagic);
    if (!pHeader)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *lppBuffer = pHeader + 1;
    return S_OK;
}

SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
    if (!lppBuffer)
        return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    if (!lpObject)
        return MAPI_E_INVALID_PARAMETER;
    BlockHeader* pOwner = HeaderOf(lpObject);
    if (pOwner->magic == kChildMagic)
        pOwner = pOwner->pOwner;
    if (pOwner->magic != kRootMagic)
        return MAPI_E_INVALID_PARAMETER;
    BlockHeader* pHeader = NewBlock(cbSize, kChildMagic);
    if (!pHeader)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    pHeader->pOwner = pOwner;
    BlockHeader* pHead = pOwner->pChildren.load(std::memory_order_relaxed);
    do {
        pHeader->pNext = pHead;
    } while (
        !pOwner->pChildren.compare_exchange_weak(pHead, pHeader, std::memory_order_release, std::memory_order_relaxed));
    *lppBuffer = pHeader + 1;
    return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID lpBuffer) {
    if (!lpBuffer)
        return 0;
    BlockHeader* pRoot = HeaderOf(lpBuffer);
    if (pRoot->magic != kRootMagic)
        return 0;
    BlockHeader* pChild = pRoot->pChildren.exchange(nullptr, std::memory_order_acquire);
    while (pChild) {
        BlockHeader* pNext = pChild->pNext;
        pChild->magic = 0;
        std::free(pChild);
        pChild = pNext;
    }
    pRoot->magic = 0;
    std::free(pRoot);
    return 0;
}
