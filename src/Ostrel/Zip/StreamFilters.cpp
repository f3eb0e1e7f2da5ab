#include "Ostrel/Zip/StreamFilters.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "Platform/Com/StreamUtil.h"

// ---- FilteredStream ----

HRESULT FilteredStream::QueryInterface(REFIID riid, void** ppvObject) {
    return QueryInterfaceAmong<IUnknown, ISequentialStream>(riid, ppvObject);
}

HRESULT FilteredStream::Write(const void*, ULONG, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
}

// ---- LF2CRLFOnRead ----

Platform::ComPtr<LF2CRLFOnRead> LF2CRLFOnRead::Create(ISequentialStream* pSource) {
    Platform::ComPtr<LF2CRLFOnRead> pStream;
    pStream.Attach(new (std::nothrow) LF2CRLFOnRead(pSource));
    return pStream;
}

HRESULT LF2CRLFOnRead::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead)
        *pcbRead = 0;
    if (!m_pSource)
        return E_FAIL;
    if (cb == 0)
        return S_OK;
    if (!pv)
        return STG_E_INVALIDPOINTER;
    BYTE* pbOut = static_cast<BYTE*>(pv);
    ULONG cbDone = 0;
    HRESULT hr = S_OK;
    for (;;) {
        ULONG cbCopy = std::min(cb - cbDone, m_ulOutCount - m_ulOutPos);
        std::memcpy(pbOut + cbDone, m_abOut + m_ulOutPos, cbCopy);
        m_ulOutPos += cbCopy;
        cbDone += cbCopy;
        if (cbDone == cb)
            break;

        BYTE abRaw[kChunkSize];
        ULONG cbRaw = 0;
        hr = m_pSource->Read(abRaw, std::min(cb - cbDone, kChunkSize), &cbRaw);
        if (FAILED(hr) || cbRaw == 0)
            break;
        cbRaw = std::min(cbRaw, kChunkSize);
        // Copies runs between line feeds whole; each LF gets its CR unless it already has one.
        ULONG cbOut = 0;
        const BYTE* p = abRaw;
        const BYTE* pEnd = abRaw + cbRaw;
        while (p < pEnd) {
            const BYTE* pLF = static_cast<const BYTE*>(std::memchr(p, '\n', pEnd - p));
            const BYTE* pRunEnd = pLF ? pLF : pEnd;
            if (pRunEnd > p) {
                std::memcpy(m_abOut + cbOut, p, pRunEnd - p);
                cbOut += static_cast<ULONG>(pRunEnd - p);
                m_bLastWasCR = pRunEnd[-1] == '\r';
            }
            if (!pLF)
                break;
            if (!m_bLastWasCR)
                m_abOut[cbOut++] = '\r';
            m_abOut[cbOut++] = '\n';
            m_bLastWasCR = false;
            p = pLF + 1;
        }
        m_ulOutPos = 0;
        m_ulOutCount = cbOut;
    }
    if (pcbRead)
        *pcbRead = cbDone;
    // Bytes already handed out are reported; a failing source fails the next read again, and a
    // source's end (S_FALSE) is passed on with the read that finds nothing more.
    return cbDone > 0 ? S_OK : hr;
}

// ---- BufferedStream ----

Platform::ComPtr<BufferedStream> BufferedStream::Create(ISequentialStream* pInner) {
    Platform::ComPtr<BufferedStream> pStream;
    pStream.Attach(new (std::nothrow) BufferedStream(pInner));
    return pStream;
}

HRESULT BufferedStream::QueryInterface(REFIID riid, void** ppvObject) {
    return QueryInterfaceAmong<IUnknown, ISequentialStream, IStream>(riid, ppvObject);
}

HRESULT BufferedStream::ReadInner(BYTE* pb, ULONG cb, ULONG* pcbRead) {
    *pcbRead = 0;
    if (!m_pInner)
        return E_FAIL;
    ULONG cbRead = 0;
    HRESULT hr = m_pInner->Read(pb, cb, &cbRead);
    if (FAILED(hr))
        return hr;
    if (cbRead == 0)
        return hr;  // the end, as the inner stream says it (S_OK or S_FALSE)
    cbRead = std::min(cbRead, cb);
    if (m_vecKept.size() == m_ullTotal && m_ullTotal < kCapacity) {
        ULONG cbKeep = std::min<ULONG>(cbRead, kCapacity - static_cast<ULONG>(m_ullTotal));
        try {
            m_vecKept.insert(m_vecKept.end(), pb, pb + cbKeep);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    m_ullTotal += cbRead;
    m_ullPosition = m_ullTotal;
    *pcbRead = cbRead;
    return S_OK;
}

HRESULT BufferedStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead)
        *pcbRead = 0;
    if (cb == 0)
        return S_OK;
    if (!pv)
        return STG_E_INVALIDPOINTER;
    BYTE* pb = static_cast<BYTE*>(pv);
    ULONG cbDone = 0;
    if (m_ullPosition < m_vecKept.size()) {
        cbDone = static_cast<ULONG>(std::min<ULONGLONG>(cb, m_vecKept.size() - m_ullPosition));
        std::memcpy(pb, m_vecKept.data() + m_ullPosition, cbDone);
        m_ullPosition += cbDone;
    }
    HRESULT hr = S_OK;
    while (cbDone < cb) {
        ULONG cbRead = 0;
        hr = ReadInner(pb + cbDone, cb - cbDone, &cbRead);
        if (FAILED(hr) || cbRead == 0)
            break;
        cbDone += cbRead;
    }
    if (pcbRead)
        *pcbRead = cbDone;
    return cbDone > 0 ? S_OK : hr;
}

HRESULT BufferedStream::Write(const void*, ULONG, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
}

HRESULT BufferedStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
    constexpr LONGLONG kMaxOffset = 0xFFFFFFFFll;
    LONGLONG llMove = dlibMove.QuadPart;
    ULONGLONG ullTarget = 0;
    if (dwOrigin == STREAM_SEEK_SET) {
        if (llMove < 0 || llMove > kMaxOffset)
            return E_NOTIMPL;
        ullTarget = static_cast<ULONGLONG>(llMove);
    } else if (dwOrigin == STREAM_SEEK_CUR) {
        if (llMove < -kMaxOffset || llMove > kMaxOffset)
            return E_NOTIMPL;
        if (llMove < 0 && static_cast<ULONGLONG>(-llMove) > m_ullPosition)
            return STG_E_INVALIDFUNCTION;
        ullTarget = m_ullPosition + llMove;
    } else {
        return E_NOTIMPL;
    }

    if (ullTarget < m_ullPosition && !AllKept())
        return STG_E_INVALIDFUNCTION;
    HRESULT hr = S_OK;
    if (ullTarget <= m_ullTotal) {
        m_ullPosition = ullTarget;
    } else {
        // Past what was read: read on and drop the bytes (they are still kept while they fit).
        m_ullPosition = m_ullTotal;
        BYTE abScratch[4096];
        while (m_ullTotal < ullTarget) {
            ULONG cbRead = 0;
            hr = ReadInner(abScratch,
                           static_cast<ULONG>(std::min<ULONGLONG>(sizeof(abScratch), ullTarget - m_ullTotal)), &cbRead);
            if (FAILED(hr) || cbRead == 0)
                break;
        }
    }
    if (plibNewPosition)
        plibNewPosition->QuadPart = m_ullPosition;
    return FAILED(hr) ? hr : S_OK;
}

HRESULT BufferedStream::SetSize(ULARGE_INTEGER) {
    return STG_E_ACCESSDENIED;
}

HRESULT BufferedStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) {
    return Platform::CopyStreamData(this, pstm, cb, pcbRead, pcbWritten);
}

// Read-only and direct: there is nothing to commit or revert.
HRESULT BufferedStream::Commit(DWORD) {
    return S_OK;
}

HRESULT BufferedStream::Revert() {
    return S_OK;
}

HRESULT BufferedStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT BufferedStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

// A forward stream has no size to report and cannot be read twice from an independent position.
HRESULT BufferedStream::Stat(STATSTG*, DWORD) {
    return E_NOTIMPL;
}

HRESULT BufferedStream::Clone(IStream** ppstm) {
    if (ppstm)
        *ppstm = nullptr;
    return E_NOTIMPL;
}

HRESULT CreateBufferedCRLFStream(ISequentialStream* pSource, IStream** ppStream) {
    if (!ppStream)
        return E_POINTER;
    *ppStream = nullptr;
    Platform::ComPtr<LF2CRLFOnRead> pFilter = LF2CRLFOnRead::Create(pSource);
    if (!pFilter)
        return E_OUTOFMEMORY;
    Platform::ComPtr<BufferedStream> pBuffered = BufferedStream::Create(pFilter.Get());
    if (!pBuffered)
        return E_OUTOFMEMORY;
    *ppStream = pBuffered.Detach();
    return S_OK;
}
