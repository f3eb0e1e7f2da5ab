#include "Platform/Mapi/Props/PropStream.h"

#include <cstring>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/MapiDefs.h"

namespace Platform::Mapi {

namespace {

// Stream bytes of a PT_UNICODE value are wchar_t units; stored bytes are UTF-8.
std::string ToStreamBytes(const StoredProp& prop, ULONG ulType) {
    if ((PROP_TYPE(prop.ulTag) == PT_UNICODE || PROP_TYPE(prop.ulTag) == PT_STRING8) && ulType == PT_UNICODE) {
        std::wstring text = ReadString(prop);
        return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    }
    return prop.sData;
}

StoredProp FromStreamBytes(const std::string& bytes, ULONG ulTag) {
    if (PROP_TYPE(ulTag) == PT_UNICODE) {
        std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
        std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
        // A string value ends at its first terminator, as it would when read back through GetProps.
        text.resize(std::wcslen(text.c_str()));
        return MakeString(ulTag, text);
    }
    if (PROP_TYPE(ulTag) == PT_STRING8)
        return {ulTag, std::string(bytes.c_str())};
    return {ulTag, bytes};
}

class PropStream : public Platform::ComObject<IStream> {
public:
    PropStream(Platform::ComPtr<Platform::MemStream> pInner, ULONG ulTag, bool bWritable,
               std::function<HRESULT(const StoredProp&)> commit)
        : m_pInner(std::move(pInner)), m_ulTag(ulTag), m_bWritable(bWritable), m_commit(std::move(commit)) {}

    ~PropStream() override {
        if (m_bDirty)
            Commit(0);
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IStream, ISequentialStream, IUnknown>(riid, ppv);
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override { return m_pInner->Read(pv, cb, pcbRead); }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (!m_bWritable)
            return STG_E_ACCESSDENIED;
        m_bDirty = true;
        return m_pInner->Write(pv, cb, pcbWritten);
    }
    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        return m_pInner->Seek(dlibMove, dwOrigin, plibNewPosition);
    }
    HRESULT SetSize(ULARGE_INTEGER libNewSize) override {
        if (!m_bWritable)
            return STG_E_ACCESSDENIED;
        m_bDirty = true;
        return m_pInner->SetSize(libNewSize);
    }
    HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
        return m_pInner->CopyTo(pstm, cb, pcbRead, pcbWritten);
    }
    HRESULT Commit(DWORD) override {
        if (!m_bWritable)
            return S_OK;
        HRESULT hr = m_commit(FromStreamBytes(m_pInner->CopyContent(), m_ulTag));
        if (SUCCEEDED(hr))
            m_bDirty = false;
        return hr;
    }
    HRESULT Revert() override { return S_OK; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
        HRESULT hr = m_pInner->Stat(pstatstg, grfStatFlag | STATFLAG_NONAME);
        if (SUCCEEDED(hr))
            pstatstg->grfMode = m_bWritable ? STGM_READWRITE : STGM_READ;
        return hr;
    }
    HRESULT Clone(IStream** ppstm) override { return m_pInner->Clone(ppstm); }

private:
    Platform::ComPtr<Platform::MemStream> m_pInner;
    ULONG m_ulTag;
    bool m_bWritable;
    bool m_bDirty = false;
    std::function<HRESULT(const StoredProp&)> m_commit;
};

}  // namespace

HRESULT CreatePropStream(const StoredProp* pCurrent, ULONG ulTag, bool bWritable,
                         std::function<HRESULT(const StoredProp&)> commit, IStream** ppStream) {
    if (!ppStream)
        return MAPI_E_INVALID_PARAMETER;
    std::string bytes = pCurrent ? ToStreamBytes(*pCurrent, PROP_TYPE(ulTag)) : std::string();
    auto pInner = Platform::MemStream::Create(bytes);
    if (!pInner)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    *ppStream = new (std::nothrow) PropStream(std::move(pInner), ulTag, bWritable, std::move(commit));
    return *ppStream ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

HRESULT OpenPropertyStream(const PropMap& props, ULONG ulPropTag, ULONG ulInterfaceOptions, ULONG ulFlags,
                           bool bObjectWritable, std::function<HRESULT(const StoredProp&)> commit, IUnknown** ppUnk) {
    ULONG ulType = PROP_TYPE(ulPropTag);
    if (ulType != PT_BINARY && ulType != PT_STRING8 && ulType != PT_UNICODE)
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    bool bWrite = (ulFlags & (MAPI_MODIFY | MAPI_CREATE)) || (ulInterfaceOptions & (STGM_WRITE | STGM_READWRITE));
    if (bWrite && !bObjectWritable)
        return MAPI_E_NO_ACCESS;
    const StoredProp* pCurrent = nullptr;
    if (!(ulFlags & MAPI_CREATE)) {
        auto it = props.find(PROP_ID(ulPropTag));
        if (it == props.end() || !CanReadAs(PROP_TYPE(it->second.ulTag), ulType))
            return MAPI_E_NOT_FOUND;
        pCurrent = &it->second;
    }
    IStream* pStream = nullptr;
    HRESULT hr = CreatePropStream(pCurrent, ulPropTag, bWrite, std::move(commit), &pStream);
    if (SUCCEEDED(hr))
        *ppUnk = pStream;
    return hr;
}

}  // namespace Platform::Mapi
