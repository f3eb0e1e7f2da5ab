// Helpers shared by the stream implementations.
#pragma once

#include "Platform/Com/Stream.h"

namespace Platform {

// IStream::CopyTo done through Read and Write: copies up to cb bytes from pSource's position to
// pTarget's position, in bounded pieces, so the streams may be of any kind (even clones of each other).
HRESULT CopyStreamData(IStream* pSource, IStream* pTarget, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                       ULARGE_INTEGER* pcbWritten);

// The position a Seek asks for, or STG_E_INVALIDFUNCTION for an unknown origin, a position before
// the start or one beyond the largest signed 64-bit offset.
HRESULT ResolveSeek(ULONGLONG ullCurrent, ULONGLONG ullEnd, LARGE_INTEGER dlibMove, DWORD dwOrigin, ULONGLONG* pullNew);

// Checks a Stat flag and clears the structure.
HRESULT BeginStat(STATSTG* pstatstg, DWORD grfStatFlag);

}  // namespace Platform
