// Shared helpers of the ZIP tests: sources that behave like network streams, a reader fixture with
// its own temporary directory, and ways to get an entry's content.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "Ostrel/Zip/ZipInputStream.h"
#include "Platform/Com/MemStream.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"

namespace ZipTest {

using Reader = std::unique_ptr<Ostrel::Rpc::ZipInputStream, Ostrel::Rpc::ZipInputStream::Releaser>;

// A forward-only source handing out at most `piece` bytes per read; it can fail instead of ending.
class TrickleStream final : public Platform::ComObject<ISequentialStream> {
public:
    TrickleStream(std::string data, size_t piece, HRESULT hrAtEnd = S_OK)
        : m_data(std::move(data)), m_piece(piece), m_hrAtEnd(hrAtEnd) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IUnknown, ISequentialStream>(riid, ppv);
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        size_t n = std::min({static_cast<size_t>(cb), m_piece, m_data.size() - m_pos});
        if (pcbRead)
            *pcbRead = static_cast<ULONG>(n);
        if (n == 0 && cb > 0)
            return m_hrAtEnd;
        std::memcpy(pv, m_data.data() + m_pos, n);
        m_pos += n;
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    size_t Position() const { return m_pos; }

private:
    std::string m_data;
    size_t m_piece;
    HRESULT m_hrAtEnd;
    size_t m_pos = 0;
};

inline Platform::ComPtr<TrickleStream> MakeTrickle(std::string data, size_t piece, HRESULT hrAtEnd = S_OK) {
    Platform::ComPtr<TrickleStream> p;
    p.Attach(new TrickleStream(std::move(data), piece, hrAtEnd));
    return p;
}

inline std::string ReadAll(ISequentialStream* pStream, ULONG piece = 4096) {
    std::string out;
    std::string buf(piece, '\0');
    for (;;) {
        ULONG n = 0;
        HRESULT hr = pStream->Read(buf.data(), piece, &n);
        if (FAILED(hr) || n == 0)
            break;
        out.append(buf.data(), n);
    }
    return out;
}

// The loaded content of an entry, from its buffer or its temporary file.
inline std::string MetaOf(Ostrel::Rpc::ZipEntry* pEntry) {
    ULONG cb = 0;
    const BYTE* p = pEntry->GetMetaData(cb);
    return p ? std::string(reinterpret_cast<const char*>(p), cb) : std::string();
}

inline std::string MimeOf(Ostrel::Rpc::ZipEntry* pEntry) {
    ULONG cb = 0;
    if (const BYTE* p = pEntry->GetMimeData(cb))
        return std::string(reinterpret_cast<const char*>(p), cb);
    IStream* pStream = pEntry->GetMimeStream(cb);
    if (!pStream)
        return std::string();
    LARGE_INTEGER start{};
    pStream->Seek(start, STREAM_SEEK_SET, nullptr);
    return ReadAll(pStream, 1 << 20);
}

// Each test gets its own OSTREL_HOME and temporary directory (where large messages are spooled).
class ZipFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_tmp = m_home.Path() / "tmp";
        std::filesystem::create_directories(m_tmp);
        const char* old = std::getenv("TMPDIR");
        m_hadTmp = old != nullptr;
        if (old)
            m_oldTmp = old;
        setenv("TMPDIR", m_tmp.c_str(), 1);
    }
    void TearDown() override {
        if (m_hadTmp)
            setenv("TMPDIR", m_oldTmp.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

    Reader Open(const std::string& bytes, size_t piece = 0) {
        Platform::ComPtr<ISequentialStream> pSource;
        if (piece)
            pSource = Platform::ComPtr<ISequentialStream>(MakeTrickle(bytes, piece).Get());
        else
            pSource = Platform::ComPtr<ISequentialStream>(Platform::MemStream::Create(bytes).Get());
        return Reader(Ostrel::Rpc::ZipInputStream::CreateZipInputStream(pSource.Get(), nullptr, 0));
    }

    // The message GetNextEntry throws, or "(no exception)".
    static std::wstring NextError(Ostrel::Rpc::ZipInputStream* pReader) {
        try {
            pReader->GetNextEntry();
        } catch (const ZipInputStreamImpl::Exception& e) {
            return e.GetMessage();
        }
        return L"(no exception)";
    }

    // Spool files in the temporary directory, or open by this process after their name was removed.
    size_t SpoolFiles() const {
        size_t n = 0;
        for (const auto& item : std::filesystem::directory_iterator(m_tmp))
            n += item.path().filename().string().rfind("osn", 0) == 0;
        const std::string removed = (m_tmp / "osn").string();
        std::error_code ec;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
            const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
            n += target.rfind(removed, 0) == 0 && target.size() > 10 &&
                 target.compare(target.size() - 10, 10, " (deleted)") == 0;
        }
        return n;
    }

    TestSupport::TempHome m_home;
    std::filesystem::path m_tmp;
    bool m_hadTmp = false;
    std::string m_oldTmp;
};

inline const std::wstring kEndOfArchive =
    L"ZipInputStreamImpl::GetNextEntry:Central Directory header signature found: 02014b50.";

}  // namespace ZipTest
