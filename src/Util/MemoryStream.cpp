#include "Util/MemoryStream.h"

#include <algorithm>

namespace Ostrel::Util {

namespace {
constexpr size_t kMaxPiece = 0x40000000;  // IStream counts in ULONG: move large buffers in pieces
}

MemoryStream::MemoryStream() : m_pStream(Platform::MemStream::Create()) {}

MemoryStream::MemoryStream(std::string_view bytes) : m_pStream(Platform::MemStream::Create(bytes)) {}

HRESULT MemoryStream::Write(const void* pv, size_t cb) {
    if (!pv && cb > 0)
        return STG_E_INVALIDPOINTER;
    if (GetPosition() + cb > Platform::MemStream::kMaxSize)
        return STG_E_MEDIUMFULL;
    const auto* p = static_cast<const BYTE*>(pv);
    while (cb > 0) {
        ULONG cbPiece = static_cast<ULONG>(std::min(cb, kMaxPiece));
        ULONG cbWritten = 0;
        HRESULT hr = m_pStream->Write(p, cbPiece, &cbWritten);
        if (FAILED(hr))
            return hr;
        p += cbWritten;
        cb -= cbWritten;
    }
    return S_OK;
}

HRESULT MemoryStream::Read(void* pv, size_t cb, size_t* pcbRead) {
    if (pcbRead)
        *pcbRead = 0;
    if (!pv && cb > 0)
        return STG_E_INVALIDPOINTER;
    auto* p = static_cast<BYTE*>(pv);
    size_t cbTotal = 0;
    while (cbTotal < cb) {
        ULONG cbPiece = static_cast<ULONG>(std::min(cb - cbTotal, kMaxPiece));
        ULONG cbRead = 0;
        HRESULT hr = m_pStream->Read(p + cbTotal, cbPiece, &cbRead);
        if (FAILED(hr))
            return hr;
        cbTotal += cbRead;
        if (cbRead < cbPiece)
            break;
    }
    if (pcbRead)
        *pcbRead = cbTotal;
    return S_OK;
}

HRESULT MemoryStream::Seek(LONGLONG llMove, DWORD dwOrigin, ULONGLONG* pullNewPosition) {
    LARGE_INTEGER liMove;
    liMove.QuadPart = llMove;
    ULARGE_INTEGER uliNew{};
    HRESULT hr = m_pStream->Seek(liMove, dwOrigin, &uliNew);
    if (SUCCEEDED(hr) && pullNewPosition)
        *pullNewPosition = uliNew.QuadPart;
    return hr;
}

HRESULT MemoryStream::SetSize(ULONGLONG ullSize) {
    ULARGE_INTEGER uli;
    uli.QuadPart = ullSize;
    return m_pStream->SetSize(uli);
}

ULONGLONG MemoryStream::GetSize() const {
    return m_pStream->GetSize();
}

ULONGLONG MemoryStream::GetPosition() const {
    return m_pStream->GetPosition();
}

std::string MemoryStream::GetContent() const {
    return m_pStream->CopyContent();
}

HRESULT MemoryStream::SetContent(std::string_view bytes) {
    return m_pStream->Assign(bytes);
}

void MemoryStream::Clear() {
    m_pStream->Assign(std::string_view());
}

}  // namespace Ostrel::Util
