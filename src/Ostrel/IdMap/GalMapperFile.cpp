#include "Ostrel/IdMap/GalMapperFile.h"

#include <cstdio>
#include <cstring>

#include "Platform/Base/Utf.h"

namespace Ostrel::Mapi {

namespace {

ULONG LoadU32(const BYTE* p) {
    return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24;
}

}  // namespace

bool WalkGalBlocks(const BYTE* pFile, size_t cbFile, const std::function<void(const GalBlock&)>& f,
                   std::wstring* pwsProblem) {
    if (cbFile < kGalHeaderSize || LoadU32(pFile) != kGalSignature) {
        *pwsProblem = cbFile < kGalHeaderSize ? L"file shorter than its header" : L"bad signature";
        return false;
    }
    if (cbFile > 0xFFFFFFFFull) {
        *pwsProblem = L"file larger than 4 GiB";
        return false;
    }
    size_t off = kGalHeaderSize;
    while (off < cbFile) {
        const size_t cbLeft = cbFile - off;
        if (cbLeft < kGalBlockHeaderSize) {
            *pwsProblem = L"bytes after the last block";
            return false;
        }
        GalBlock block;
        block.ulOffset = static_cast<ULONG>(off);
        block.ulSize = LoadU32(pFile + off);
        block.ulPstId = LoadU32(pFile + off + 4);
        block.ulId = LoadU32(pFile + off + 8);
        const BYTE bState = pFile[off + 12];
        if (bState != kGalStateUsed && bState != kGalStateFree) {
            *pwsProblem = L"block at " + std::to_wstring(off) + L" has state " + std::to_wstring(bState);
            return false;
        }
        block.bUsed = bState == kGalStateUsed;
        if (!block.bUsed && block.ulSize > cbLeft)
            block.ulSize = static_cast<ULONG>(cbLeft);  // free space of a growth cut short
        if (block.ulSize < kGalBlockHeaderSize + (block.bUsed ? 1 : 0) || block.ulSize > cbLeft) {
            *pwsProblem = L"block at " + std::to_wstring(off) + L" has size " + std::to_wstring(block.ulSize);
            return false;
        }
        if (block.bUsed) {
            const BYTE* pRef = pFile + off + kGalBlockHeaderSize;
            const void* pEnd = std::memchr(pRef, 0, block.ulSize - kGalBlockHeaderSize);
            if (!pEnd || pEnd == pRef || block.ulPstId == 0) {
                *pwsProblem = L"used block at " + std::to_wstring(off) + L" holds no reference";
                return false;
            }
            block.sRef.assign(reinterpret_cast<const char*>(pRef), static_cast<const BYTE*>(pEnd) - pRef);
        }
        f(block);
        off += block.ulSize;
    }
    return true;
}

std::wstring DumpGalMapperFile(const BYTE* pFile, size_t cbFile) {
    std::wstring ws = L"size " + std::to_wstring(cbFile) + L"\n";
    if (cbFile >= kGalHeaderSize) {
        wchar_t wsz[160];
        std::swprintf(wsz, 160, L"signature %08X\nstamp %08X%08X\nfield16 %u\nfree bytes %u\n", LoadU32(pFile),
                      LoadU32(pFile + 12), LoadU32(pFile + 8), LoadU32(pFile + 16), LoadU32(pFile + 20));
        ws += wsz;
    }
    std::wstring wsProblem;
    const bool bOk = WalkGalBlocks(
        pFile, cbFile,
        [&ws](const GalBlock& b) {
            wchar_t wsz[96];
            std::swprintf(wsz, 96, L"block %u size %u: ", b.ulOffset, b.ulSize);
            ws += wsz;
            if (!b.bUsed) {
                ws += L"free\n";
                return;
            }
            std::swprintf(wsz, 96, L"pst %08X id %d ref '", b.ulPstId, static_cast<LONG>(b.ulId));
            ws += wsz + Platform::FromUtf8(b.sRef) + L"'\n";
        },
        &wsProblem);
    if (!bOk)
        ws += L"damaged: " + wsProblem + L"\n";
    return ws;
}

}  // namespace Ostrel::Mapi
