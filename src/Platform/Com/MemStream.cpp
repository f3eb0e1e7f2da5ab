#include "Platform/Com/MemStream.h"

#include <cstring>
#include <new>
#include <string>

#include "Platform/Com/StreamUtil.h"

namespace Platform {

ComPtr<MemStream> MemStream::Create() {
    ComPtr<MemStream> p;
    p.Attach(new MemStream(std::make_shared<Content>()));
    return p;
}

ComPtr<MemStream> MemStream::Create(std::string_view bytes) {
    ComPtr<MemStream> p = Create();
    p->Assign(bytes);
    return p;
}

HRESULT MemStream::QueryInterface(REFIID riid, void** ppvObject) {
    return QueryInterfaceAmong<IStream, ISequentialStream, IUnknown>(riid, ppvObject);
}

HRESULT MemStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead)
        *pcbRead = 0;
    if (!pv && cb > 0)
        return STG_E_INVALIDPOINTER;
    std::lock_guard<std::mutex> guard(m_pContent->mutex);
    const std::vector<BYTE>& vec = m_pContent->vecBytes;
    ULONG cbCopy = 0;
    if (m_ullPosition < vec.size()) {
        ULONGLONG ullAvailable = vec.size() - m_ullPosition;
        cbCopy = ullAvailable < cb ? static_cast<ULONG>(ullAvailable) : cb;
        std::memcpy(pv, vec.data() + m_ullPosition, cbCopy);
        m_ullPosition += cbCopy;
    }
    if (pcbRead)
        *pcbRead = cbCopy;
    return S_OK;
}

HRESULT MemStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    if (!pv && cb > 0)
        return STG_E_INVALIDPOINTER;
    if (cb == 0)
        return S_OK;
    std::lock_guard<std::mutex> guard(m_pContent->mutex);
    std::vector<BYTE>& vec = m_pContent->vecBytes;
    ULONGLONG ullEnd = m_ullPosition + cb;
    if (ullEnd > kMaxSize)
        return STG_E_MEDIUMFULL;
    try {
        if (ullEnd > vec.size())
            vec.resize(static_cast<size_t>(ullEnd));  // zero-fills a gap left by seeking past the end
    } catch (const std::exception&) {
        return STG_E_MEDIUMFULL;
    }
    std::memcpy(vec.data() + m_ullPosition, pv, cb);
    m_ullPosition = ullEnd;
    if (pcbWritten)
        *pcbWritten = cb;
    return S_OK;
}

HRESULT MemStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
    std::lock_guard<std::mutex> guard(m_pContent->mutex);
    ULONGLONG ullNew = 0;
    HRESULT hr = ResolveSeek(m_ullPosition, m_pContent->vecBytes.size(), dlibMove, dwOrigin, &ullNew);
    if (FAILED(hr))
        return hr;
    m_ullPosition = ullNew;
    if (plibNewPosition)
        plibNewPosition->QuadPart = ullNew;
    return S_OK;
}

HRESULT MemStream::SetSize(ULARGE_INTEGER libNewSize) {
    if (libNewSize.QuadPart > kMaxSize)
        return STG_E_MEDIUMFULL;
    std::lock_guard<std::mutex> guard(m_pContent->mutex);
    try {
        m_pContent->vecBytes.resize(static_cast<size_t>(libNewSize.QuadPart));
    } catch (const std::exception&) {
        return STG_E_MEDIUMFULL;
    }
    return S_OK;
}

HRESULT MemStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) {
    return CopyStreamData(this, pstm, cb, pcbRead, pcbWritten);
}

HRESULT MemStream::Commit(DWORD) {
    return S_OK;
}

HRESULT MemStream::Revert() {
    return S_OK;
}

HRESULT MemStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT MemStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT MemStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
    HRESULT hr = BeginStat(pstatstg, grfStatFlag);
    if (FAILED(hr))
        return hr;
    // A memory stream has no name, so there is nothing to allocate even without STATFLAG_NONAME.
    pstatstg->cbSize.QuadPart = GetSize();
    pstatstg->grfMode = STGM_READWRITE;
    return S_OK;
}

HRESULT MemStream::Clone(IStream** ppstm) {
    if (!ppstm)
        return STG_E_INVALIDPOINTER;
    auto* pClone = new (std::nothrow) MemStream(m_pContent);
    if (!pClone) {
        *ppstm = nullptr;
        return E_OUTOFMEMORY;
    }
    pClone->m_ullPosition = GetPosition();
    *ppstm = pClone;
    return S_OK;
}

ULONGLONG MemStream::GetSize() const {
    std::lock_guard<std::mutex> guard(m_pContent->mutex);
    return m_pContent->vecBytes.size();
}

ULONGLONG MemStream::GetPosition() const {
    std::lock_guard<std::mutex> guard(m_pContent->mutex);
    return m_ullPosition;
}

std::string MemStream::CopyContent() const {
    std::lock_guard<std::mutex> guard(m_pContent->mutex);
    const std::vector<BYTE>& vec = m_pContent->vecBytes;
    return std::string(reinterpret_cast<const char*>(vec.data()), vec.size());
}

HRESULT MemStream::Assign(std::string_view bytes) {
    if (bytes.size() > kMaxSize)
        return STG_E_MEDIUMFULL;
    std::lock_guard<std::mutex> guard(m_pContent->mutex);
    try {
        m_pContent->vecBytes.assign(bytes.begin(), bytes.end());
    } catch (const std::exception&) {
        return STG_E_MEDIUMFULL;
    }
    m_ullPosition = 0;
    return S_OK;
}

HRESULT CreateMemoryStream(IStream** ppStream) {
    return CreateMemoryStream(nullptr, 0, ppStream);
}

HRESULT CreateMemoryStream(const void* pv, size_t cb, IStream** ppStream) {
    if (!ppStream || (!pv && cb > 0))
        return E_INVALIDARG;
    *ppStream = nullptr;
    try {
        ComPtr<MemStream> p = MemStream::Create(std::string_view(static_cast<const char*>(pv), cb));
        if (p->GetSize() != cb)
            return E_OUTOFMEMORY;
        *ppStream = p.Detach();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace Platform
