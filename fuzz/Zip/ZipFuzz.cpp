// Arbitrary bytes as a message archive: GetNextEntry, Read and Skip on the current entry, and
// entries read back through the CRLF and buffered streams. A broken or hostile archive must give
// ZipInputStreamImpl::Exception, never a crash, a hang, a leak or an unbounded allocation.
//
// The first byte chooses how the archive arrives (all at once or in small pieces) and what is done
// with the entries; the rest is the archive.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "Ostrel/Zip/ZipInputStream.h"
#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"

namespace {

// A source that hands out at most a few bytes per read, as a network stream may.
class PieceStream final : public Platform::ComObject<ISequentialStream> {
public:
    PieceStream(const uint8_t* data, size_t size, size_t piece) : m_data(data), m_size(size), m_piece(piece) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IUnknown, ISequentialStream>(riid, ppv);
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        size_t n = std::min({static_cast<size_t>(cb), m_piece, m_size - m_pos});
        if (n)
            std::memcpy(pv, m_data + m_pos, n);
        m_pos += n;
        *pcbRead = static_cast<ULONG>(n);
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_piece;
    size_t m_pos = 0;
};

void Drain(ISequentialStream* stream) {
    char buf[1500];
    ULONG n = 0;
    for (int i = 0; i < 10000 && SUCCEEDED(stream->Read(buf, sizeof(buf), &n)) && n > 0; ++i) {
    }
}

void Inspect(Ostrel::Rpc::ZipEntry* entry) {
    ULONG cb = 0;
    entry->GetName();
    entry->GetMetaData(cb);
    entry->GetMimeData(cb);
    if (IStream* stream = entry->GetMimeStream(cb))
        Drain(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return true;
    }();
    (void)quiet;
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;

    Platform::ComPtr<ISequentialStream> source;
    if (mode & 0x07)
        source.Attach(new PieceStream(data, size, mode & 0x07));
    else
        source = Platform::ComPtr<ISequentialStream>(
            Platform::MemStream::Create(std::string_view(reinterpret_cast<const char*>(data), size)).Get());
    Ostrel::Rpc::ZipInputStream* reader = Ostrel::Rpc::ZipInputStream::CreateZipInputStream(source.Get(), nullptr, 0);

    int failures = 0;
    for (int i = 0; i < 64 && failures < 3; ++i) {
        try {
            if (mode & 0x80) {
                Platform::ComPtr<IStream> stream;
                stream.Attach(reader->GetNextEntryAsStream());
                Drain(stream.Get());
                LARGE_INTEGER start{};
                if (SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr)))
                    Drain(stream.Get());
            } else {
                Inspect(reader->GetNextEntry());
            }
        } catch (const ZipInputStreamImpl::Exception& e) {
            ++failures;
            if (std::wcslen(e.GetMessage()) > ZipInputStreamImpl::Exception::kMaxMessage)
                __builtin_trap();
            // Reading on in the current entry (an error entry's text) may fail as well.
            try {
                if ((mode & 0x40) && reader->GetCurrentEntry()) {
                    char buf[700];
                    reader->Read(buf, sizeof(buf));
                    reader->Skip(1000);
                }
                if (mode & 0x20)
                    reader->CloseEntry();
            } catch (const ZipInputStreamImpl::Exception&) {
            }
        }
    }
    reader->Release();
    return 0;
}
