#include "Ostrel/Convert/Mail/SpillStream.h"

#include <algorithm>
#include <new>
#include <string>

#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiUtil.h"

namespace Ostrel::Convert {

SpillStream::SpillStream(const wchar_t* pwszTempDir)
    : m_wsTempDir(pwszTempDir ? pwszTempDir : L""),
      m_bTempDir(pwszTempDir != nullptr),
      m_pMemory(Platform::MemStream::Create()) {}

HRESULT SpillStream::Create(const wchar_t* pwszTempDir, IStream** ppStream) {
    if (!ppStream)
        return E_POINTER;
    *ppStream = new (std::nothrow) SpillStream(pwszTempDir);
    return *ppStream ? S_OK : E_OUTOFMEMORY;
}

HRESULT SpillStream::QueryInterface(REFIID riid, void** ppvObject) {
    return QueryInterfaceAmong<IStream, ISequentialStream, IUnknown>(riid, ppvObject);
}

IStream* SpillStream::Current() const {
    return m_pFile ? m_pFile.Get() : static_cast<IStream*>(m_pMemory.Get());
}

HRESULT SpillStream::Spill() {
    Platform::ComPtr<IStream> pFile;
    HRESULT hr = OpenStreamOnFile(MAPIAllocateBuffer, MAPIFreeBuffer,
                                  SOF_UNIQUEFILENAME | STGM_DELETEONRELEASE | STGM_CREATE | STGM_READWRITE,
                                  m_bTempDir ? m_wsTempDir.c_str() : nullptr, L"osn", pFile.AddressOf());
    if (FAILED(hr))
        return hr;
    const std::string content = m_pMemory->CopyContent();
    for (size_t done = 0; done < content.size();) {
        const ULONG cb = static_cast<ULONG>(std::min<size_t>(content.size() - done, 1u << 20));
        ULONG cbWritten = 0;
        hr = pFile->Write(content.data() + done, cb, &cbWritten);
        if (FAILED(hr))
            return hr;
        if (cbWritten != cb)
            return STG_E_MEDIUMFULL;
        done += cb;
    }
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(m_pMemory->GetPosition());
    hr = pFile->Seek(position, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr))
        return hr;
    m_pFile = pFile;
    m_pMemory.Reset();
    return S_OK;
}

HRESULT SpillStream::Reserve(ULONGLONG ullEnd) {
    return m_pFile || ullEnd <= kMemoryLimit ? S_OK : Spill();
}

HRESULT SpillStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    return Current()->Read(pv, cb, pcbRead);
}

HRESULT SpillStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    if (!m_pFile) {
        const HRESULT hr = Reserve(m_pMemory->GetPosition() + cb);
        if (FAILED(hr))
            return hr;
    }
    return Current()->Write(pv, cb, pcbWritten);
}

HRESULT SpillStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
    return Current()->Seek(dlibMove, dwOrigin, plibNewPosition);
}

HRESULT SpillStream::SetSize(ULARGE_INTEGER libNewSize) {
    const HRESULT hr = Reserve(libNewSize.QuadPart);
    return FAILED(hr) ? hr : Current()->SetSize(libNewSize);
}

HRESULT SpillStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) {
    return Current()->CopyTo(pstm, cb, pcbRead, pcbWritten);
}

HRESULT SpillStream::Commit(DWORD grfCommitFlags) {
    return Current()->Commit(grfCommitFlags);
}

HRESULT SpillStream::Revert() {
    return Current()->Revert();
}

HRESULT SpillStream::LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) {
    return Current()->LockRegion(libOffset, cb, dwLockType);
}

HRESULT SpillStream::UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) {
    return Current()->UnlockRegion(libOffset, cb, dwLockType);
}

HRESULT SpillStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
    return Current()->Stat(pstatstg, grfStatFlag);
}

HRESULT SpillStream::Clone(IStream** ppstm) {
    if (!ppstm)
        return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    if (!m_pFile) {
        const HRESULT hr = Spill();
        if (FAILED(hr))
            return hr;
    }
    return m_pFile->Clone(ppstm);
}

}  // namespace Ostrel::Convert
