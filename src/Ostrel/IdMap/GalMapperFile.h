// The GAL mapper file: a 24-byte header, then blocks to the end of the file, each starting with
// its own size, so that the file is walked block by block.
//
//   header  0 "NAPI"  4 zero  8 stamp (FILETIME)  16 zero  20 total bytes of free blocks
//   block   0 size  4 PstID  8 server id (0: none)  12 state (0xEE used, 0xFF free)
//          13 reference in UTF-8 and a zero byte (used blocks); free blocks are 0xFF from byte 4
//
// Writers fill a block while its state still says free and set the state last, and free a block
// by setting its state first, so that a walk never meets half a block.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mapi {

constexpr ULONG kGalSignature = 0x4950414E;  // "NAPI"
constexpr ULONG kGalHeaderSize = 24;
constexpr ULONG kGalBlockHeaderSize = 13;
constexpr ULONG kGalGrowBytes = 102400;
constexpr ULONG kGalMinFreeBlock = 43;  // smaller remainders are absorbed by the record
constexpr BYTE kGalStateUsed = 0xEE;
constexpr BYTE kGalStateFree = 0xFF;

struct GalBlock {
    ULONG ulOffset = 0;
    ULONG ulSize = 0;
    ULONG ulPstId = 0;
    ULONG ulId = 0;
    bool bUsed = false;
    std::string sRef;  // UTF-8
};

// Walks the blocks after the header; calls f for each. False, with the reason, when the header
// or a block does not hold together. A last free block that runs past the end (a growth cut
// short) is reported with the size that is there.
bool WalkGalBlocks(const BYTE* pFile, size_t cbFile, const std::function<void(const GalBlock&)>& f,
                   std::wstring* pwsProblem);

// The size a used block needs for a reference of cbRef UTF-8 bytes.
inline ULONG GalBlockSizeFor(size_t cbRef) {
    return static_cast<ULONG>(kGalBlockHeaderSize + cbRef + 1);
}

// A field dump of a GAL mapper file, as DumpIdMapperFile gives one of an item mapper file.
std::wstring DumpGalMapperFile(const BYTE* pFile, size_t cbFile);

}  // namespace Ostrel::Mapi
