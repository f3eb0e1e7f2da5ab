// A stream for MIME text that stays in memory while it is small and moves into a temporary file
// (prefix "osn", deleted with the stream) once it grows past a limit: a file per message costs
// more than converting a typical message, yet large messages should not stay in memory.
#pragma once

#include "Platform/Com/ComPtr.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Com/Stream.h"

namespace Ostrel::Convert {

class SpillStream final : public Platform::ComObject<IStream> {
public:
    // The size up to which a stream stays in memory.
    static constexpr ULONGLONG kMemoryLimit = 1000000;

    // A new empty stream; pwszTempDir is the folder of the file (null: the temporary folder) and
    // is copied.
    static HRESULT Create(const wchar_t* pwszTempDir, IStream** ppStream);

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
    // A clone shares the content only through a file, so cloning moves the text into one first.
    HRESULT Clone(IStream** ppstm) override;

    // Whether the content has moved into a file.
    bool InFile() const { return m_pFile.Get() != nullptr; }

private:
    explicit SpillStream(const wchar_t* pwszTempDir);
    IStream* Current() const;
    // Moves the content into a new temporary file, keeping the position.
    HRESULT Spill();
    // Spills when the stream is about to grow beyond the limit.
    HRESULT Reserve(ULONGLONG ullEnd);

    std::wstring m_wsTempDir;
    bool m_bTempDir;
    Platform::ComPtr<Platform::MemStream> m_pMemory;
    Platform::ComPtr<IStream> m_pFile;
};

}  // namespace Ostrel::Convert
