#include "Ostrel/Zip/ZipInputStream.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>
#include <vector>

#include "Ostrel/Zip/StreamFilters.h"
#include "Ostrel/Zip/ZipInputStreamEntry.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Log/LogFormat.h"
#include "Util/Text/CodePage.h"

namespace {

constexpr DWORD kLocalHeaderSignature = 0x04034B50;
constexpr DWORD kCentralDirectorySignature = 0x02014B50;
constexpr DWORD kEndOfCentralDirectorySignature = 0x06054B50;
constexpr WORD kZip64ExtraId = 0x0001;
constexpr DWORD kZip64Marker = 0xFFFFFFFF;
constexpr char kGetNextEntry[] = "ZipInputStreamImpl::GetNextEntry";
constexpr char kReadRaw[] = "ZipInputStreamImpl::ReadRaw";

bool EndsWith(const std::wstring& ws, const wchar_t* pwszSuffix, size_t cchMinLength) {
    size_t cchSuffix = std::wcslen(pwszSuffix);
    return ws.size() >= cchMinLength && ws.compare(ws.size() - cchSuffix, cchSuffix, pwszSuffix) == 0;
}

ULONGLONG LittleEndian(const BYTE* p, size_t cb) {
    ULONGLONG ull = 0;
    for (size_t i = cb; i > 0; --i)
        ull = (ull << 8) | p[i - 1];
    return ull;
}

// Takes the real sizes from a Zip64 extended information field: it holds the uncompressed and then
// the compressed size, each only when the header has the 0xFFFFFFFF marker in its place.
void ApplyZip64Extra(const std::vector<BYTE>& vecExtra, ZipLocalHeader& header, const std::wstring& wsName) {
    size_t off = 0;
    while (off + 4 <= vecExtra.size()) {
        WORD wId = static_cast<WORD>(LittleEndian(&vecExtra[off], 2));
        size_t cbData = LittleEndian(&vecExtra[off + 2], 2);
        off += 4;
        if (cbData > vecExtra.size() - off)
            break;
        if (wId == kZip64ExtraId) {
            header.bZip64 = true;
            const BYTE* p = &vecExtra[off];
            size_t cbLeft = cbData;
            for (DWORD* pdwSize : {&header.dwUncompressedSize, &header.dwCompressedSize}) {
                if (*pdwSize != kZip64Marker || cbLeft < 8)
                    continue;
                ULONGLONG ullSize = LittleEndian(p, 8);
                if (ullSize > 0xFFFFFFFFull)
                    ZipInputStreamImpl::Throw(L"%hs: Entry '%s' is larger than 4 GiB.", kGetNextEntry, wsName.c_str());
                *pdwSize = static_cast<DWORD>(ullSize);
                p += 8;
                cbLeft -= 8;
            }
            return;
        }
        off += cbData;
    }
}

}  // namespace

ZipInputStreamImpl::Exception::Exception(std::wstring wsMessage) : m_wsMessage(std::move(wsMessage)) {
    if (m_wsMessage.size() > kMaxMessage)
        m_wsMessage.resize(kMaxMessage);
    m_sWhat = Platform::ToUtf8(m_wsMessage);
}

void ZipInputStreamImpl::Throw(const wchar_t* pwszFormat, ...) {
    va_list args;
    va_start(args, pwszFormat);
    std::wstring wsMessage = Ostrel::Util::VFormatW(pwszFormat, args);
    va_end(args);
    throw Exception(std::move(wsMessage));
}

Ostrel::Rpc::ZipInputStream* Ostrel::Rpc::ZipInputStream::CreateZipInputStream(ISequentialStream* pSource,
                                                                               void* pContext, DWORD dwValue) {
    if (!pSource)
        return nullptr;
    return new (std::nothrow) ZipInputStreamImpl(pSource, pContext, dwValue);
}

ZipInputStreamImpl::ZipInputStreamImpl(ISequentialStream* pSource, void* pContext, DWORD dwValue)
    : m_pSource(pSource), m_pContext(pContext), m_dwValue(dwValue) {}

// The current entry is dropped without reading the rest of it: the caller is done with the archive.
ZipInputStreamImpl::~ZipInputStreamImpl() = default;

Ostrel::Rpc::ZipEntry* ZipInputStreamImpl::GetCurrentEntry() {
    return m_pEntry.get();
}

Ostrel::Rpc::ZipEntry* ZipInputStreamImpl::GetNextEntry() {
    if (m_pEntry)
        CloseEntry();
    // Past the central directory, or after the archive stopped making sense, there is nothing more
    // to read: say so again rather than reading on.
    if (!m_wsFatal.empty())
        throw Exception(m_wsFatal);
    try {
        DWORD dwSignature = ReadDWord();
        if (dwSignature == kCentralDirectorySignature)
            Throw(L"%hs:Central Directory header signature found: %08x.", kGetNextEntry, dwSignature);
        if (dwSignature == kEndOfCentralDirectorySignature)
            Throw(L"%hs: End of central directory header signature found: %08x.", kGetNextEntry, dwSignature);
        if (dwSignature != kLocalHeaderSignature)
            Throw(L"%hs: Wrong header signature found: %08x.", kGetNextEntry, dwSignature);
        m_pEntry.reset(ReadEntryHeader());
    } catch (const Exception& e) {
        m_wsFatal = e.GetMessage();
        throw;
    }

    // The entry stays current, so that its text can be read and the next entry follows it.
    const wchar_t* pwszName = m_pEntry->GetName();
    if (EndsWith(pwszName, L".err", 5)) {
        OSTLOG_ERROR(L"Error file found: %s", pwszName);
        Throw(L"Error file found: %s", pwszName);
    }
    m_pEntry->FillMetaOrMimeData();
    return m_pEntry.get();
}

ZipEntryImpl* ZipInputStreamImpl::ReadEntryHeader() {
    ZipLocalHeader header;
    header.wVersion = ReadWord();
    OSTLOG_INFO(16, L"Zip Version %d", header.wVersion);
    header.wFlags = ReadWord();
    header.wMethod = ReadWord();
    if (header.wMethod == 0)
        OSTLOG_INFO(16, L"STORED");
    else if (header.wMethod == Z_DEFLATED)
        OSTLOG_INFO(16, L"DEFLATED");
    else
        Throw(L"%hs: Wrong compression method: %u.", kGetNextEntry, header.wMethod);
    header.wModTime = ReadWord();
    header.wModDate = ReadWord();
    header.dwCrc = ReadDWord();
    header.dwCompressedSize = ReadDWord();
    header.dwUncompressedSize = ReadDWord();
    WORD cbName = ReadWord();
    WORD cbExtra = ReadWord();

    std::string sName(cbName, '\0');
    if (ReadUpTo(sName.data(), cbName) != cbName)
        Throw(L"%hs: Failed to read file name.", kGetNextEntry);
    // Such a name would be shown up to the NUL ("x.eml") but take its kind from its true end
    // (".meta"): one entry, two meanings.
    if (size_t nul = sName.find('\0'); nul != std::string::npos) {
        std::wstring wsShown;
        Ostrel::Util::AnsiiToUnicode(sName.substr(0, nul), Ostrel::Util::CP_ACP, wsShown);
        Throw(L"%hs: Entry name contains a NUL byte after '%s'.", kGetNextEntry, wsShown.c_str());
    }
    std::wstring wsName;
    Ostrel::Util::AnsiiToUnicode(sName, Ostrel::Util::CP_ACP, wsName);
    OSTLOG_INFO(16, L"Filename: '%s'", wsName.c_str());

    std::vector<BYTE> vecExtra(cbExtra);
    ReadRaw(vecExtra.data(), cbExtra);
    ApplyZip64Extra(vecExtra, header, wsName);
    if (header.wFlags & ZipEntryImpl::kFlagEncrypted)
        Throw(L"%hs: Entry '%s' is encrypted.", kGetNextEntry, wsName.c_str());

    ZipEntryImpl::Kind kind = ZipEntryImpl::Kind::Mime;
    if (EndsWith(wsName, L".meta", 6)) {
        kind = ZipEntryImpl::Kind::Meta;
        OSTLOG_INFO(16, L"Meta");
    } else {
        OSTLOG_INFO(16, L"Mime");
    }
    if (header.wMethod == 0)
        return new ZipStoredEntryImpl(*this, header, std::move(wsName), kind);
    return new ZipDeflatedEntryImpl(*this, header, std::move(wsName), kind);
}

int ZipInputStreamImpl::Read(void* pBuffer, int cbCount) {
    return m_pEntry ? m_pEntry->Read(pBuffer, cbCount) : -1;
}

int ZipInputStreamImpl::Skip(int cbCount) {
    BYTE abScratch[1024];
    int cbSkipped = 0;
    while (m_pEntry && cbSkipped < cbCount) {
        int cbRead = m_pEntry->Read(abScratch, std::min<int>(sizeof(abScratch), cbCount - cbSkipped));
        if (cbRead < 1)
            break;
        cbSkipped += cbRead;
    }
    return cbSkipped;
}

void ZipInputStreamImpl::CloseEntry() {
    if (!m_pEntry)
        return;
    std::unique_ptr<ZipEntryImpl> pEntry = std::move(m_pEntry);
    try {
        pEntry->ReadToEnd();
    } catch (const Exception& e) {
        // Where the next header starts is unknown now.
        m_wsFatal = e.GetMessage();
        throw;
    }
}

void ZipInputStreamImpl::Close() {}

void ZipInputStreamImpl::Release() {
    delete this;
}

IStream* ZipInputStreamImpl::GetNextEntryAsStream() {
    if (!GetNextEntry())
        return nullptr;
    Platform::ComPtr<ISequentialStream> pContent;
    IStream* pStream = nullptr;
    HRESULT hr = m_pEntry->OpenContent(pContent.AddressOf());
    if (SUCCEEDED(hr))
        hr = CreateBufferedCRLFStream(pContent.Get(), &pStream);
    if (FAILED(hr))
        Throw(L"%hs: Failed to open a stream on entry '%s': %x.", "ZipInputStreamImpl::GetNextEntryAsStream",
              m_pEntry->GetName(), hr);
    return pStream;
}

ULONG ZipInputStreamImpl::ReadUpTo(void* pv, ULONG cb) {
    BYTE* pb = static_cast<BYTE*>(pv);
    ULONG cbDone = 0;
    while (cbDone < cb) {
        ULONG cbAvailable = 0;
        const BYTE* pInput = AvailableInput(cbAvailable);
        if (cbAvailable == 0)
            break;
        ULONG cbTake = std::min(cbAvailable, cb - cbDone);
        std::memcpy(pb + cbDone, pInput, cbTake);
        ConsumeInput(cbTake);
        cbDone += cbTake;
    }
    return cbDone;
}

void ZipInputStreamImpl::ReadRaw(void* pv, ULONG cb) {
    if (ReadUpTo(pv, cb) != cb)
        Throw(L"%hs: Failed to read data.", kReadRaw);
}

WORD ZipInputStreamImpl::ReadWord() {
    BYTE ab[2];
    ReadRaw(ab, sizeof(ab));
    return static_cast<WORD>(LittleEndian(ab, sizeof(ab)));
}

DWORD ZipInputStreamImpl::ReadDWord() {
    BYTE ab[4];
    ReadRaw(ab, sizeof(ab));
    return static_cast<DWORD>(LittleEndian(ab, sizeof(ab)));
}

ULONGLONG ZipInputStreamImpl::ReadQWord() {
    BYTE ab[8];
    ReadRaw(ab, sizeof(ab));
    return LittleEndian(ab, sizeof(ab));
}

const BYTE* ZipInputStreamImpl::AvailableInput(ULONG& cbAvailable) {
    if (m_ulInputCount == 0) {
        m_ulInputPos = 0;
        ULONG cbRead = 0;
        HRESULT hr = m_pSource->Read(m_abInput, kInputSize, &cbRead);
        m_ulInputCount = SUCCEEDED(hr) ? std::min(cbRead, kInputSize) : 0;
        if (FAILED(hr))
            OSTLOG_ERROR(L"Reading the zip source failed: %x", hr);
    }
    cbAvailable = m_ulInputCount;
    return m_abInput + m_ulInputPos;
}

bool ZipInputStreamImpl::PeekInput(ULONG cb, const BYTE*& pData, ULONG& cbAvailable) {
    if (m_ulInputCount < cb) {
        std::memmove(m_abInput, m_abInput + m_ulInputPos, m_ulInputCount);
        m_ulInputPos = 0;
        while (m_ulInputCount < cb) {
            ULONG cbRead = 0;
            HRESULT hr = m_pSource->Read(m_abInput + m_ulInputCount, kInputSize - m_ulInputCount, &cbRead);
            if (FAILED(hr) || cbRead == 0)
                break;
            m_ulInputCount += std::min(cbRead, kInputSize - m_ulInputCount);
        }
    }
    pData = m_abInput + m_ulInputPos;
    cbAvailable = m_ulInputCount;
    return m_ulInputCount >= cb;
}

void ZipInputStreamImpl::ConsumeInput(ULONG cb) {
    cb = std::min(cb, m_ulInputCount);
    m_ulInputPos += cb;
    m_ulInputCount -= cb;
}

BYTE* ZipInputStreamImpl::LoadBlock() {
    if (!m_pLoadBlock) {
        m_pLoadBlock.reset(new (std::nothrow) BYTE[ZipEntryImpl::kBlockSize]);
        if (!m_pLoadBlock) {
            OSTLOG_ERROR(L"Request to allocate %d bytes failed", ZipEntryImpl::kBlockSize);
            Throw(L"%hs: Out of memory.", "ZipEntryImpl::FillMetaOrMimeData");
        }
    }
    return m_pLoadBlock.get();
}
