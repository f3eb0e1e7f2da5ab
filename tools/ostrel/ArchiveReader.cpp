#include "ArchiveReader.h"

#include "Ostrel/Zip/ZipInputStream.h"
#include "Platform/Base/Utf.h"

#include <cstring>

namespace OstrelCli {

namespace {

// An error entry's text is a sentence; a longer one is cut.
constexpr size_t kMaxErrorText = 65536;

bool Contains(const char* pszText, const char* pszPart) {
    return std::strstr(pszText, pszPart) != nullptr;
}

bool EndsWith(const std::wstring& text, const wchar_t* pwszEnd) {
    const size_t cch = std::wcslen(pwszEnd);
    return text.size() > cch && text.compare(text.size() - cch, cch, pwszEnd) == 0;
}

}  // namespace

void ArchiveReader::Releaser::operator()(Ostrel::Rpc::ZipInputStream* p) const {
    p->Release();
}

ArchiveReader::ArchiveReader(ISequentialStream* pSource)
    : m_pZip(Ostrel::Rpc::ZipInputStream::CreateZipInputStream(pSource, nullptr, 0)) {
    if (!m_pZip)
        throw ArchiveError("no archive to read");
}

ArchiveReader::~ArchiveReader() = default;

bool ArchiveReader::Next(ArchiveEntry& entry) {
    if (m_bEnded)
        return false;
    entry = ArchiveEntry();
    Ostrel::Rpc::ZipEntry* pEntry = nullptr;
    try {
        pEntry = m_pZip->GetNextEntry();
    } catch (const ZipInputStreamImpl::Exception& e) {
        // The first header after the last entry belongs to the central directory (or, in an
        // archive without entries, is its end record): that is the normal end.
        if (Contains(e.what(), "Central Directory header signature found") ||
            Contains(e.what(), "End of central directory header signature found")) {
            m_bEnded = true;
            return false;
        }
        Ostrel::Rpc::ZipEntry* pCurrent = m_pZip->GetCurrentEntry();
        if (!Contains(e.what(), "Error file found") || !pCurrent || !EndsWith(pCurrent->GetName(), L".err")) {
            m_bEnded = true;
            throw ArchiveError(e.what());
        }
        // The server could not deliver an item: its entry stays current and holds the reason.
        entry.kind = ArchiveEntry::Kind::Error;
        entry.sName = Platform::ToUtf8(pCurrent->GetName());
        char buffer[4096];
        try {
            for (;;) {
                const int cb = m_pZip->Read(buffer, sizeof buffer);
                if (cb <= 0)
                    break;
                if (entry.sData.size() < kMaxErrorText)
                    entry.sData.append(buffer, std::min<size_t>(cb, kMaxErrorText - entry.sData.size()));
            }
        } catch (const ZipInputStreamImpl::Exception& inner) {
            m_bEnded = true;
            throw ArchiveError(inner.what());
        }
        while (!entry.sData.empty() && (entry.sData.back() == '\n' || entry.sData.back() == '\r'))
            entry.sData.pop_back();
        entry.ullSize = entry.sData.size();
        return true;
    }
    if (!pEntry) {
        m_bEnded = true;
        throw ArchiveError("the archive reader returned no entry");
    }
    entry.sName = Platform::ToUtf8(pEntry->GetName());
    ULONG cb = 0;
    if (const BYTE* pMeta = pEntry->GetMetaData(cb)) {
        entry.kind = ArchiveEntry::Kind::Meta;
        entry.sData.assign(reinterpret_cast<const char*>(pMeta), cb);
    } else if (const BYTE* pMime = pEntry->GetMimeData(cb)) {
        entry.kind = ArchiveEntry::Kind::Message;
        entry.sData.assign(reinterpret_cast<const char*>(pMime), cb);
    } else if (IStream* pStream = pEntry->GetMimeStream(cb)) {
        entry.kind = ArchiveEntry::Kind::Message;
        entry.pStream = Platform::ComPtr<IStream>(pStream);
    } else {
        // An empty entry carries neither buffer.
        entry.kind = EndsWith(pEntry->GetName(), L".meta") ? ArchiveEntry::Kind::Meta : ArchiveEntry::Kind::Message;
        cb = 0;
    }
    entry.ullSize = cb;
    return true;
}

bool ReadWholeStream(IStream* pStream, std::string& out) {
    out.clear();
    LARGE_INTEGER zero{};
    if (FAILED(pStream->Seek(zero, STREAM_SEEK_SET, nullptr)))
        return false;
    char buffer[65536];
    for (;;) {
        ULONG cbRead = 0;
        if (FAILED(pStream->Read(buffer, sizeof buffer, &cbRead)))
            return false;
        if (cbRead == 0)
            return true;
        out.append(buffer, cbRead);
    }
}

}  // namespace OstrelCli
