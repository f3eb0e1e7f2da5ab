// A growable byte stream for converters: bytes written at a position, read back, or handed to code
// that wants an IStream. The bytes live in the COM memory stream, so the IStream view and this
// object always agree.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Com/ComPtr.h"
#include "Platform/Com/MemStream.h"

namespace Ostrel::Util {

class MemoryStream {
public:
    MemoryStream();
    explicit MemoryStream(std::string_view bytes);
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    // At the current position, growing the stream as needed (a gap left by seeking is zero-filled).
    // Fails with STG_E_MEDIUMFULL past 4 GiB - 1; nothing is written then.
    HRESULT Write(const void* pv, size_t cb);
    HRESULT Write(std::string_view bytes) { return Write(bytes.data(), bytes.size()); }
    // Up to cb bytes from the current position; *pcbRead may be less at the end.
    HRESULT Read(void* pv, size_t cb, size_t* pcbRead);
    HRESULT Seek(LONGLONG llMove, DWORD dwOrigin, ULONGLONG* pullNewPosition = nullptr);
    HRESULT Rewind() { return Seek(0, STREAM_SEEK_SET); }
    HRESULT SetSize(ULONGLONG ullSize);

    ULONGLONG GetSize() const;
    ULONGLONG GetPosition() const;
    // Copy of all bytes, whatever the position.
    std::string GetContent() const;
    // Replaces all bytes and moves to the start.
    HRESULT SetContent(std::string_view bytes);
    void Clear();

    // The same bytes as an IStream, sharing this object's position. Borrowed: valid while this
    // object lives; AddRef it to keep it longer.
    IStream* GetStream() const { return m_pStream.Get(); }

private:
    Platform::ComPtr<Platform::MemStream> m_pStream;
};

}  // namespace Ostrel::Util
