// A growable in-memory IStream, as Windows' memory streams behave: reads at or past the end give
// S_OK with 0 bytes, seeking past the end is allowed and a write there fills the gap with zeros,
// seeking before the start fails with STG_E_INVALIDFUNCTION, and the size is limited to 4 GiB - 1
// (STG_E_MEDIUMFULL beyond). Clones share the content and keep their own position.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Com/ComPtr.h"
#include "Platform/Com/Stream.h"

namespace Platform {

class MemStream final : public ComObject<IStream> {
public:
    static constexpr ULONGLONG kMaxSize = 0xFFFFFFFFull;

    // A new empty stream with one reference.
    static ComPtr<MemStream> Create();
    // A new stream holding a copy of the bytes, positioned at the start.
    static ComPtr<MemStream> Create(std::string_view bytes);

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

    // Direct access for the code that made the stream.
    ULONGLONG GetSize() const;
    ULONGLONG GetPosition() const;
    std::string CopyContent() const;
    // Replaces the whole content and moves to the start.
    HRESULT Assign(std::string_view bytes);

private:
    struct Content {
        mutable std::mutex mutex;
        std::vector<BYTE> vecBytes;
    };

    explicit MemStream(std::shared_ptr<Content> pContent) : m_pContent(std::move(pContent)) {}

    std::shared_ptr<Content> m_pContent;
    ULONGLONG m_ullPosition = 0;  // guarded by m_pContent->mutex
};

// SHCreateMemStream-style creation: *ppStream receives a new empty stream with one reference.
HRESULT CreateMemoryStream(IStream** ppStream);
// The same with initial content (copied), positioned at the start.
HRESULT CreateMemoryStream(const void* pv, size_t cb, IStream** ppStream);

}  // namespace Platform
