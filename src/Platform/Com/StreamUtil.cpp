#include "Platform/Com/StreamUtil.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace Platform {

namespace {
constexpr ULONG kCopyChunk = 64 * 1024;
}

HRESULT CopyStreamData(IStream* pSource, IStream* pTarget, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                       ULARGE_INTEGER* pcbWritten) {
    if (pcbRead)
        pcbRead->QuadPart = 0;
    if (pcbWritten)
        pcbWritten->QuadPart = 0;
    if (!pSource || !pTarget)
        return STG_E_INVALIDPOINTER;
    std::vector<BYTE> vecBuffer(kCopyChunk);
    ULONGLONG ullRemaining = cb.QuadPart;
    ULONGLONG ullRead = 0;
    ULONGLONG ullWritten = 0;
    HRESULT hr = S_OK;
    while (ullRemaining > 0) {
        ULONG cbWant = ullRemaining < kCopyChunk ? static_cast<ULONG>(ullRemaining) : kCopyChunk;
        ULONG cbGot = 0;
        hr = pSource->Read(vecBuffer.data(), cbWant, &cbGot);
        if (FAILED(hr) || cbGot == 0)
            break;
        ullRead += cbGot;
        ullRemaining -= cbGot;
        ULONG cbPut = 0;
        hr = pTarget->Write(vecBuffer.data(), cbGot, &cbPut);
        ullWritten += cbPut;
        if (FAILED(hr))
            break;
        if (cbPut < cbGot) {
            hr = STG_E_MEDIUMFULL;
            break;
        }
    }
    if (pcbRead)
        pcbRead->QuadPart = ullRead;
    if (pcbWritten)
        pcbWritten->QuadPart = ullWritten;
    return FAILED(hr) ? hr : S_OK;
}

HRESULT ResolveSeek(ULONGLONG ullCurrent, ULONGLONG ullEnd, LARGE_INTEGER dlibMove, DWORD dwOrigin,
                    ULONGLONG* pullNew) {
    ULONGLONG ullBase = 0;
    switch (dwOrigin) {
        case STREAM_SEEK_SET:
            ullBase = 0;
            break;
        case STREAM_SEEK_CUR:
            ullBase = ullCurrent;
            break;
        case STREAM_SEEK_END:
            ullBase = ullEnd;
            break;
        default:
            return STG_E_INVALIDFUNCTION;
    }
    LONGLONG llMove = dlibMove.QuadPart;
    ULONGLONG ullNew = 0;
    if (llMove < 0) {
        ULONGLONG ullBack = llMove == INT64_MIN ? (1ull << 63) : static_cast<ULONGLONG>(-llMove);
        if (ullBack > ullBase)
            return STG_E_INVALIDFUNCTION;
        ullNew = ullBase - ullBack;
    } else {
        ullNew = ullBase + static_cast<ULONGLONG>(llMove);
        if (ullNew < ullBase || ullNew > static_cast<ULONGLONG>(INT64_MAX))
            return STG_E_INVALIDFUNCTION;
    }
    *pullNew = ullNew;
    return S_OK;
}

HRESULT BeginStat(STATSTG* pstatstg, DWORD grfStatFlag) {
    if (!pstatstg)
        return STG_E_INVALIDPOINTER;
    if (grfStatFlag & ~static_cast<DWORD>(STATFLAG_NONAME | STATFLAG_NOOPEN))
        return STG_E_INVALIDFLAG;
    std::memset(pstatstg, 0, sizeof *pstatstg);
    pstatstg->type = STGTY_STREAM;
    return S_OK;
}

}  // namespace Platform
