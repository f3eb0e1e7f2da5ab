// Adapters put over response and archive entry streams: bare LF to CR LF while reading, and a
// forward stream that keeps its first megabyte so that a consumer can seek back into it.
// They report HRESULTs and never throw.
#pragma once

#include <vector>

#include "Platform/Com/ComPtr.h"
#include "Platform/Com/Stream.h"

// A read-only stream that transforms what it reads from a source stream.
class FilteredStream : public Platform::ComObject<ISequentialStream> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;

protected:
    explicit FilteredStream(ISequentialStream* pSource) : m_pSource(pSource) {}

    Platform::ComPtr<ISequentialStream> m_pSource;
};

// Writes a CR before every LF that does not directly follow a CR, also across reads. Without a
// source, Read fails with E_FAIL.
class LF2CRLFOnRead final : public FilteredStream {
public:
    static constexpr ULONG kChunkSize = 1024;

    static Platform::ComPtr<LF2CRLFOnRead> Create(ISequentialStream* pSource);

    // Fills the request unless the source ends or fails; *pcbRead is the number of bytes handed out.
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;

private:
    explicit LF2CRLFOnRead(ISequentialStream* pSource) : FilteredStream(pSource) {}

    BYTE m_abOut[2 * kChunkSize];  // converted bytes not yet handed out
    ULONG m_ulOutPos = 0;
    ULONG m_ulOutCount = 0;
    bool m_bLastWasCR = false;
};

// An IStream over a forward-only stream. The first kCapacity bytes read are kept: while no more
// than that has been read, the consumer may seek anywhere within them; seeking forward past them
// reads and drops bytes. Seek takes STREAM_SEEK_SET and STREAM_SEEK_CUR with offsets of up to
// 32 bits (E_NOTIMPL otherwise). Reads fill the request unless the inner stream ends or fails.
// The stream is read-only and has no known size.
class BufferedStream final : public Platform::ComObject<IStream> {
public:
    static constexpr ULONG kCapacity = 1048576;

    static Platform::ComPtr<BufferedStream> Create(ISequentialStream* pInner);

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
    HRESULT SetSize(ULARGE_INTEGER libNewSize) override;
    HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
    HRESULT Commit(DWORD grfCommitFlags) override;
    HRESULT Revert() override;
    HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
    HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
    HRESULT Clone(IStream** ppstm) override;

private:
    explicit BufferedStream(ISequentialStream* pInner) : m_pInner(pInner) {}

    // Reads at the end of what was read so far, keeping copies while they fit.
    HRESULT ReadInner(BYTE* pb, ULONG cb, ULONG* pcbRead);
    bool AllKept() const { return m_ullTotal == m_vecKept.size(); }

    Platform::ComPtr<ISequentialStream> m_pInner;
    std::vector<BYTE> m_vecKept;
    ULONGLONG m_ullTotal = 0;     // bytes read from the inner stream
    ULONGLONG m_ullPosition = 0;  // equals m_ullTotal unless everything read is kept
};

// A BufferedStream over an LF2CRLFOnRead over the source: how responses and entries are read.
HRESULT CreateBufferedCRLFStream(ISequentialStream* pSource, IStream** ppStream);
