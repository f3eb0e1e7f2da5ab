#include "Ostrel/Zip/ZipInputStreamEntry.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "Ostrel/Zip/Crc32.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Log.h"
#include "Util/Log/LogFormat.h"

namespace {

constexpr char kFill[] = "ZipEntryImpl::FillMetaOrMimeData";
constexpr char kFinish[] = "ZipEntryImpl::Finish";
constexpr char kReadRaw[] = "ZipInputStreamImpl::ReadRaw";
constexpr ULONGLONG kMaxEntrySize = 0xFFFFFFFFull;
// Create, read-write, unique name, deleted on release.
constexpr ULONG kSpoolFileFlags = SOF_UNIQUEFILENAME | STGM_DELETEONRELEASE | STGM_CREATE | STGM_READWRITE;
static_assert(kSpoolFileFlags == 0x84001002);

ULONGLONG LittleEndian(const BYTE* p, size_t cb) {
    ULONGLONG ull = 0;
    for (size_t i = cb; i > 0; --i)
        ull = (ull << 8) | p[i - 1];
    return ull;
}

// A read-only stream over a loaded entry buffer, sharing it so that it may outlive the entry.
class SharedBufferStream final : public Platform::ComObject<ISequentialStream> {
public:
    SharedBufferStream(std::shared_ptr<BYTE[]> pData, ULONG cbData) : m_pData(std::move(pData)), m_cbData(cbData) {}

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        return QueryInterfaceAmong<IUnknown, ISequentialStream>(riid, ppvObject);
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (!pv && cb)
            return STG_E_INVALIDPOINTER;
        ULONG cbCopy = std::min(cb, m_cbData - m_ulPos);
        if (cbCopy)
            std::memcpy(pv, m_pData.get() + m_ulPos, cbCopy);
        m_ulPos += cbCopy;
        if (pcbRead)
            *pcbRead = cbCopy;
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG* pcbWritten) override {
        if (pcbWritten)
            *pcbWritten = 0;
        return STG_E_ACCESSDENIED;
    }

private:
    std::shared_ptr<BYTE[]> m_pData;
    ULONG m_cbData;
    ULONG m_ulPos = 0;
};

}  // namespace

// ---- ZipEntryImpl ----

ZipEntryImpl::ZipEntryImpl(ZipInputStreamImpl& reader, const ZipLocalHeader& header, std::wstring wsName, Kind kind)
    : m_reader(reader), m_header(header), m_wsName(std::move(wsName)), m_kind(kind) {}

ZipEntryImpl::~ZipEntryImpl() = default;

const BYTE* ZipEntryImpl::GetMetaData(ULONG& cbSize) const {
    cbSize = m_cbMetaData;
    return m_pMetaData.get();
}

const BYTE* ZipEntryImpl::GetMimeData(ULONG& cbSize) const {
    cbSize = m_cbMimeData;
    return m_pMimeData.get();
}

IStream* ZipEntryImpl::GetMimeStream(ULONG& cbSize) const {
    cbSize = m_cbMimeStream;
    return m_pMimeStream.Get();
}

void ZipEntryImpl::Produced(const BYTE* pb, ULONG cb) {
    m_ullProduced += cb;
    // Without a data descriptor the header's size is binding; with one, the entry must still fit
    // the 32-bit sizes it is reported with.
    bool bSized = !(m_header.wFlags & kFlagDataDescriptor);
    ULONGLONG ullLimit = bSized ? m_header.dwUncompressedSize : kMaxEntrySize;
    if (m_ullProduced > ullLimit)
        ZipInputStreamImpl::Throw(L"%hs: Entry '%s' holds more than %llu bytes.", kFinish, m_wsName.c_str(), ullLimit);
    m_dwCrc = Ostrel::Zip::Crc32(m_dwCrc, pb, cb);
}

ULONG ZipEntryImpl::ReadEntryData(BYTE* pb, ULONG cb) {
    ULONG cbRead = (m_bDataEnded || cb == 0) ? 0 : ReadData(pb, cb);
    if (m_bDataEnded && !m_bFinished)
        Finish();
    return cbRead;
}

void ZipEntryImpl::Finish() {
    m_bFinished = true;
    DWORD dwCrc = m_header.dwCrc;
    ULONGLONG ullCompressed = m_header.dwCompressedSize;
    ULONGLONG ullUncompressed = m_header.dwUncompressedSize;
    if (m_header.wFlags & kFlagDataDescriptor) {
        DWORD dwFirst = m_reader.ReadDWord();
        if (dwFirst == kDataDescriptorSignature) {
            dwCrc = m_reader.ReadDWord();
        } else {
            // The signature is optional; without it the descriptor starts with the CRC.
            std::wstring wsError = Ostrel::Util::FormatW(L"%hs: Wrong Data Descriptor header signature: %u.",
                                                         "ZipInputStreamImpl::CloseEntry", dwFirst);
            OSTLOG_WARN(L"error=%ls", wsError.c_str());
            dwCrc = dwFirst;
        }
        ullCompressed = m_header.bZip64 ? m_reader.ReadQWord() : m_reader.ReadDWord();
        ullUncompressed = m_header.bZip64 ? m_reader.ReadQWord() : m_reader.ReadDWord();
    }
    if (ullCompressed != m_ullConsumed || ullUncompressed != m_ullProduced)
        ZipInputStreamImpl::Throw(
            L"%hs: Entry '%s' has %llu compressed and %llu uncompressed bytes, "
            L"its sizes say %llu and %llu.",
            kFinish, m_wsName.c_str(), m_ullConsumed, m_ullProduced, ullCompressed, ullUncompressed);
    if (dwCrc != m_dwCrc)
        ZipInputStreamImpl::Throw(L"%hs: Entry '%s' is damaged: CRC %08x, expected %08x.", kFinish, m_wsName.c_str(),
                                  m_dwCrc, dwCrc);
}

void ZipEntryImpl::ReadToEnd() {
    BYTE abScratch[1024];
    while (ReadEntryData(abScratch, sizeof(abScratch)) > 0) {
    }
}

std::shared_ptr<BYTE[]> ZipEntryImpl::CopyToBuffer(const BYTE* pb, ULONG cb) {
    void* pv = nullptr;
    if (FAILED(MAPIAllocateBuffer(cb, &pv))) {
        OSTLOG_ERROR(L"Request to allocate %d bytes failed", cb);
        ZipInputStreamImpl::Throw(L"%hs: Out of memory.", kFill);
    }
    std::shared_ptr<BYTE[]> pBuffer(static_cast<BYTE*>(pv), [](BYTE* p) { MAPIFreeBuffer(p); });
    if (cb)
        std::memcpy(pBuffer.get(), pb, cb);
    return pBuffer;
}

void ZipEntryImpl::FillMetaOrMimeData() {
    BYTE* pBlock = m_reader.LoadBlock();
    ULONGLONG ullTotal = 0;
    int nBlocks = 0;
    Platform::ComPtr<IStream> pFile;
    std::vector<BYTE> vecMeta;  // metadata of more than one block
    for (;;) {
        ULONG cbRead = ReadEntryData(pBlock, kBlockSize);
        if (cbRead == 0)
            break;
        ++nBlocks;
        ullTotal += cbRead;
        OSTLOG_INFO(16, L"Block %d: %d bytes. Tot: %llu bytes%s", nBlocks, cbRead, ullTotal,
                    ullTotal > kLargeZipWarning ? L"   <- WARNING: large zip" : L"");
        if (m_kind == Kind::Mime && (pFile || ullTotal >= kBlockSize)) {
            if (!pFile) {
                OSTLOG_INFO(4, L"Large mime -> switching to file");
                HRESULT hr = OpenStreamOnFile(MAPIAllocateBuffer, MAPIFreeBuffer, kSpoolFileFlags, nullptr, L"osn",
                                              pFile.AddressOf());
                if (FAILED(hr)) {
                    OSTLOG_ERROR(L"failed to OpenStreamOnFile call: %x", hr);
                    ZipInputStreamImpl::Throw(L"%hs: Failed to create file.", kFill);
                }
            }
            ULONG cbWritten = 0;
            HRESULT hr = pFile->Write(pBlock, cbRead, &cbWritten);
            if (FAILED(hr) || cbWritten != cbRead) {
                OSTLOG_ERROR(L"failed to write to FileStream: %x", hr);
                ZipInputStreamImpl::Throw(L"%hs: Failed to write to file.", kFill);
            }
        } else if (m_kind == Kind::Meta && (!vecMeta.empty() || cbRead == kBlockSize)) {
            if (ullTotal > kMaxMetaSize)
                ZipInputStreamImpl::Throw(L"%hs: Metadata entry '%s' is larger than %u bytes.", kFill, m_wsName.c_str(),
                                          kMaxMetaSize);
            vecMeta.insert(vecMeta.end(), pBlock, pBlock + cbRead);
        }
        if (cbRead < kBlockSize)
            break;
    }

    if (pFile) {
        HRESULT hr = pFile->Commit(STGC_DEFAULT);
        if (FAILED(hr)) {
            OSTLOG_ERROR(L"failed to commit the FileStream: %x", hr);
            ZipInputStreamImpl::Throw(L"%hs: Failed to commit to file.", kFill);
        }
        LARGE_INTEGER liStart{};
        pFile->Seek(liStart, STREAM_SEEK_SET, nullptr);
        m_pMimeStream = std::move(pFile);
        m_cbMimeStream = static_cast<ULONG>(ullTotal);
    } else {
        // One short block still in the load block, or metadata collected block by block.
        const BYTE* pData = vecMeta.empty() ? pBlock : vecMeta.data();
        ULONG cbData = static_cast<ULONG>(ullTotal);
        if (m_kind == Kind::Meta) {
            m_pMetaData = CopyToBuffer(pData, cbData);
            m_cbMetaData = cbData;
        } else {
            m_pMimeData = CopyToBuffer(pData, cbData);
            m_cbMimeData = cbData;
        }
    }
    OSTLOG_INFO(16, L"%d bytes read from zip using %d block(s)", static_cast<ULONG>(ullTotal), nBlocks);
}

HRESULT ZipEntryImpl::OpenContent(ISequentialStream** ppStream) const {
    if (!ppStream)
        return E_POINTER;
    *ppStream = nullptr;
    if (m_pMimeStream) {
        IStream* pClone = nullptr;
        HRESULT hr = m_pMimeStream->Clone(&pClone);
        if (FAILED(hr))
            return hr;
        LARGE_INTEGER liStart{};
        hr = pClone->Seek(liStart, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) {
            pClone->Release();
            return hr;
        }
        *ppStream = pClone;
        return S_OK;
    }
    bool bMeta = m_kind == Kind::Meta;
    auto* pStream =
        new (std::nothrow) SharedBufferStream(bMeta ? m_pMetaData : m_pMimeData, bMeta ? m_cbMetaData : m_cbMimeData);
    if (!pStream)
        return E_OUTOFMEMORY;
    *ppStream = pStream;
    return S_OK;
}

// ---- ZipStoredEntryImpl ----

ZipStoredEntryImpl::ZipStoredEntryImpl(ZipInputStreamImpl& reader, const ZipLocalHeader& header, std::wstring wsName,
                                       Kind kind)
    : ZipEntryImpl(reader, header, std::move(wsName), kind),
      m_bScan((header.wFlags & kFlagDataDescriptor) && header.dwCompressedSize == 0) {
    m_bDataEnded = !m_bScan && header.dwCompressedSize == 0;
}

int ZipStoredEntryImpl::Read(void* pBuffer, int cbCount) {
    if (cbCount <= 0 || !pBuffer)
        return 0;
    ULONG cbRead = ReadEntryData(static_cast<BYTE*>(pBuffer), static_cast<ULONG>(cbCount));
    return cbRead == 0 ? -1 : static_cast<int>(cbRead);
}

ULONG ZipStoredEntryImpl::ReadData(BYTE* pb, ULONG cb) {
    return m_bScan ? ReadScanning(pb, cb) : ReadSized(pb, cb);
}

ULONG ZipStoredEntryImpl::ReadSized(BYTE* pb, ULONG cb) {
    ULONG cbWant = static_cast<ULONG>(std::min<ULONGLONG>(cb, m_header.dwCompressedSize - m_ullConsumed));
    ULONG cbRead = m_reader.ReadUpTo(pb, cbWant);
    m_ullConsumed += cbRead;
    Produced(pb, cbRead);
    if (cbRead != cbWant)
        ZipInputStreamImpl::Throw(L"%hs: Failed to read data.", kReadRaw);
    if (m_ullConsumed == m_header.dwCompressedSize)
        m_bDataEnded = true;
    return cbRead;
}

bool ZipStoredEntryImpl::IsMatchingDescriptor(const BYTE* p) const {
    if (LittleEndian(p, 4) != kDataDescriptorSignature || LittleEndian(p + 4, 4) != m_dwCrc)
        return false;
    size_t cbSize = m_header.bZip64 ? 8 : 4;
    return LittleEndian(p + 8, cbSize) == m_ullProduced && LittleEndian(p + 8 + cbSize, cbSize) == m_ullProduced;
}

// The data runs up to the first data descriptor that describes exactly the bytes before it.
// Bytes are handed out only up to the next place where a descriptor signature could start.
ULONG ZipStoredEntryImpl::ReadScanning(BYTE* pb, ULONG cb) {
    static constexpr BYTE kSignature[4] = {0x50, 0x4B, 0x07, 0x08};
    const ULONG cbDescriptor = m_header.bZip64 ? 24 : 16;
    ULONG cbDone = 0;
    while (cbDone < cb) {
        const BYTE* pInput = nullptr;
        ULONG cbAvailable = 0;
        if (!m_reader.PeekInput(cbDescriptor, pInput, cbAvailable))
            ZipInputStreamImpl::Throw(L"%hs: Failed to read data.", kReadRaw);
        if (IsMatchingDescriptor(pInput)) {
            m_bDataEnded = true;
            break;
        }
        // Everything before the next possible signature; the last three bytes wait for more input.
        ULONG cbSafe = cbAvailable - 3;
        for (const BYTE* p = pInput + 1; p < pInput + cbSafe;) {
            p = static_cast<const BYTE*>(std::memchr(p, kSignature[0], pInput + cbSafe - p));
            if (!p)
                break;
            if (std::memcmp(p, kSignature, sizeof(kSignature)) == 0) {
                cbSafe = static_cast<ULONG>(p - pInput);
                break;
            }
            ++p;
        }
        ULONG cbTake = std::min(cbSafe, cb - cbDone);
        std::memcpy(pb + cbDone, pInput, cbTake);
        m_reader.ConsumeInput(cbTake);
        m_ullConsumed += cbTake;
        Produced(pb + cbDone, cbTake);
        cbDone += cbTake;
    }
    return cbDone;
}

// ---- ZipDeflatedEntryImpl ----

ZipDeflatedEntryImpl::ZipDeflatedEntryImpl(ZipInputStreamImpl& reader, const ZipLocalHeader& header,
                                           std::wstring wsName, Kind kind)
    : ZipEntryImpl(reader, header, std::move(wsName), kind) {
    if (inflateInit2(&m_zs, -MAX_WBITS) != Z_OK)
        ZipInputStreamImpl::Throw(L"%hs: Failed to initialize for deflated entry.", "ZipInputStreamImpl::GetNextEntry");
    m_bInflateReady = true;
}

ZipDeflatedEntryImpl::~ZipDeflatedEntryImpl() {
    if (m_bInflateReady)
        inflateEnd(&m_zs);
}

int ZipDeflatedEntryImpl::Read(void* pBuffer, int cbCount) {
    if (cbCount <= 0 || !pBuffer)
        return 0;
    return static_cast<int>(ReadEntryData(static_cast<BYTE*>(pBuffer), static_cast<ULONG>(cbCount)));
}

ULONG ZipDeflatedEntryImpl::ReadData(BYTE* pb, ULONG cb) {
    m_zs.next_out = pb;
    m_zs.avail_out = cb;
    while (m_zs.avail_out > 0) {
        ULONG cbAvailable = 0;
        const BYTE* pInput = m_reader.AvailableInput(cbAvailable);
        if (cbAvailable == 0)
            ZipInputStreamImpl::Throw(L"%hs: Failed to read data.", kReadRaw);
        m_zs.next_in = const_cast<Bytef*>(pInput);
        m_zs.avail_in = cbAvailable;
        int nResult = inflate(&m_zs, Z_NO_FLUSH);
        ULONG cbUsed = cbAvailable - m_zs.avail_in;
        m_reader.ConsumeInput(cbUsed);
        m_ullConsumed += cbUsed;
        if (nResult == Z_STREAM_END) {
            m_bDataEnded = true;
            break;
        }
        // Z_BUF_ERROR only means more input is needed; without progress on full input it is damage.
        bool bStuck = nResult == Z_BUF_ERROR && cbUsed == 0 && m_zs.avail_in > 0;
        if ((nResult != Z_OK && nResult != Z_BUF_ERROR) || bStuck)
            ZipInputStreamImpl::Throw(L"%hs: Entry '%s' has bad deflated data: %hs.", "ZipDeflatedEntryImpl::Read",
                                      GetName(), m_zs.msg ? m_zs.msg : "inflate failed");
    }
    ULONG cbProduced = cb - m_zs.avail_out;
    Produced(pb, cbProduced);
    return cbProduced;
}
