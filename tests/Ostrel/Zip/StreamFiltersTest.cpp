#include <gtest/gtest.h>

#include <random>

#include "Ostrel/Zip/StreamFilters.h"
#include "ZipTestSupport.h"

using namespace ZipTest;

namespace {

std::string Convert(const std::string& in) {
    std::string out;
    char prev = 0;
    for (char ch : in) {
        if (ch == '\n' && prev != '\r')
            out += '\r';
        out += ch;
        prev = ch;
    }
    return out;
}

Platform::ComPtr<LF2CRLFOnRead> FilterOver(const std::string& data, size_t piece = 1 << 20) {
    return LF2CRLFOnRead::Create(MakeTrickle(data, piece).Get());
}

TEST(LF2CRLFOnReadTest, AddsCarriageReturnsOnlyWhereMissing) {
    EXPECT_EQ(ReadAll(FilterOver("a\nb\r\nc").Get()), "a\r\nb\r\nc");
    EXPECT_EQ(ReadAll(FilterOver("\n\n\r\r\n").Get()), "\r\n\r\n\r\r\n");
    EXPECT_EQ(ReadAll(FilterOver("").Get()), "");

    // A CR that ends one 1024-byte chunk and the LF that starts the next.
    std::string split(1023, 'x');
    split += "\r\nend\n";
    EXPECT_EQ(ReadAll(FilterOver(split).Get(), 8192), std::string(1023, 'x') + "\r\nend\r\n");
    // The same when the request itself is cut between them.
    Platform::ComPtr<LF2CRLFOnRead> pFilter = FilterOver("ab\r\ncd");
    char buf[8];
    ULONG n = 0;
    ASSERT_EQ(pFilter->Read(buf, 3, &n), S_OK);
    EXPECT_EQ(std::string(buf, n), "ab\r");
    EXPECT_EQ(ReadAll(pFilter.Get()), "\ncd");
}

TEST(LF2CRLFOnReadTest, AnySplitOfReadsAndSourceGivesTheSameBytes) {
    std::mt19937 rng(7);
    std::string data;
    for (int i = 0; i < 20000; ++i) {
        unsigned r = rng() % 10;
        data += r == 0 ? '\n' : r == 1 ? '\r' : static_cast<char>('a' + r);
    }
    const std::string expected = Convert(data);
    for (size_t piece : {1u, 3u, 1000u, 1024u, 5000u}) {
        for (ULONG request : {1u, 2u, 1023u, 1024u, 1025u, 4096u}) {
            SCOPED_TRACE(testing::Message() << piece << "/" << request);
            EXPECT_EQ(ReadAll(FilterOver(data, piece).Get(), request), expected);
        }
    }
}

TEST(LF2CRLFOnReadTest, MissingOrFailingSource) {
    Platform::ComPtr<LF2CRLFOnRead> pNone = LF2CRLFOnRead::Create(nullptr);
    char buf[4];
    ULONG n = 7;
    EXPECT_EQ(pNone->Read(buf, sizeof(buf), &n), E_FAIL);
    EXPECT_EQ(n, 0u);

    Platform::ComPtr<LF2CRLFOnRead> pFailing = LF2CRLFOnRead::Create(MakeTrickle("ab\n", 2, E_ACCESSDENIED).Get());
    char big[16];
    ASSERT_EQ(pFailing->Read(big, sizeof(big), &n), S_OK);  // what arrived before the failure
    EXPECT_EQ(std::string(big, n), "ab\r\n");
    EXPECT_EQ(pFailing->Read(big, sizeof(big), &n), E_ACCESSDENIED);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(pFailing->Write("x", 1, &n), STG_E_ACCESSDENIED);
}

// A source that says S_FALSE at its end (as an asynchronous reply does): both adapters pass that
// on with the read that finds nothing more, so a reader that stops on anything but S_OK stops.
TEST(LF2CRLFOnReadTest, EndOfTheSourceIsPassedOn) {
    IStream* pStream = nullptr;
    ASSERT_EQ(CreateBufferedCRLFStream(MakeTrickle("a\nb", 3, S_FALSE).Get(), &pStream), S_OK);
    Platform::ComPtr<IStream> stream;
    stream.Attach(pStream);
    char buf[16];
    ULONG n = 0;
    EXPECT_EQ(stream->Read(buf, sizeof buf, &n), S_OK);
    EXPECT_EQ(std::string(buf, n), "a\r\nb");
    EXPECT_EQ(stream->Read(buf, sizeof buf, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    LARGE_INTEGER start{};
    ASSERT_EQ(stream->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(stream->Read(buf, sizeof buf, &n), S_OK);
    EXPECT_EQ(n, 4u);
}

class BufferedStreamTest : public ::testing::Test {
protected:
    static constexpr ULONG kCap = BufferedStream::kCapacity;

    void Make(size_t size, size_t piece = 777) {
        m_data.resize(size);
        std::mt19937 rng(3);
        for (char& ch : m_data)
            ch = static_cast<char>(rng());
        m_pSource = MakeTrickle(m_data, piece);
        m_pStream = BufferedStream::Create(m_pSource.Get());
    }
    std::string Read(ULONG cb) {
        std::string out(cb, '\0');
        ULONG n = 0;
        EXPECT_EQ(m_pStream->Read(out.data(), cb, &n), S_OK);
        out.resize(n);
        return out;
    }
    HRESULT Seek(LONGLONG offset, DWORD origin, ULONGLONG* pPos = nullptr) {
        LARGE_INTEGER li;
        li.QuadPart = offset;
        ULARGE_INTEGER pos;
        pos.QuadPart = 0xABCDull;
        HRESULT hr = m_pStream->Seek(li, origin, &pos);
        if (pPos)
            *pPos = pos.QuadPart;
        return hr;
    }

    std::string m_data;
    Platform::ComPtr<TrickleStream> m_pSource;
    Platform::ComPtr<BufferedStream> m_pStream;
};

TEST_F(BufferedStreamTest, SeeksBackInsideTheKeptMegabyte) {
    Make(3 * kCap);
    EXPECT_EQ(Read(1000), m_data.substr(0, 1000));
    ULONGLONG pos = 0;
    ASSERT_EQ(Seek(10, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(pos, 10u);
    // Served partly from the kept bytes and partly from the inner stream.
    EXPECT_EQ(Read(2000), m_data.substr(10, 2000));
    ASSERT_EQ(Seek(-1500, STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(pos, 510u);
    ASSERT_EQ(Seek(100, STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(Read(10), m_data.substr(610, 10));
    EXPECT_EQ(Seek(-700, STREAM_SEEK_CUR), STG_E_INVALIDFUNCTION);  // before the start

    // Exactly the capacity read: still all kept.
    ASSERT_EQ(Seek(kCap, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(pos, kCap);
    ASSERT_EQ(Seek(0, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(Read(kCap), m_data.substr(0, kCap));
    // One byte more and the way back is closed, also within the kept range.
    EXPECT_EQ(Read(1), m_data.substr(kCap, 1));
    EXPECT_EQ(Seek(0, STREAM_SEEK_SET), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(Seek(-1, STREAM_SEEK_CUR), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(Read(5), m_data.substr(kCap + 1, 5));
}

TEST_F(BufferedStreamTest, SeeksForwardByReadingOn) {
    Make(2 * kCap);
    ULONGLONG pos = 0;
    ASSERT_EQ(Seek(5000, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(pos, 5000u);
    EXPECT_EQ(m_pSource->Position(), 5000u);
    // The skipped bytes were kept on the way.
    ASSERT_EQ(Seek(0, STREAM_SEEK_SET), S_OK);
    EXPECT_EQ(Read(6000), m_data.substr(0, 6000));
    // Past the capacity and past the end.
    ASSERT_EQ(Seek(kCap + 10, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(Read(4), m_data.substr(kCap + 10, 4));
    ASSERT_EQ(Seek(3 * kCap, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(pos, 2ull * kCap);
    EXPECT_EQ(Read(4), "");
}

TEST_F(BufferedStreamTest, RefusedSeeksAndOperations) {
    Make(100);
    ULONGLONG pos = 0;
    EXPECT_EQ(Seek(0, STREAM_SEEK_END), E_NOTIMPL);
    EXPECT_EQ(Seek(0x100000000ll, STREAM_SEEK_SET), E_NOTIMPL);
    EXPECT_EQ(Seek(-1, STREAM_SEEK_SET), E_NOTIMPL);
    EXPECT_EQ(Seek(0x100000000ll, STREAM_SEEK_CUR), E_NOTIMPL);
    ASSERT_EQ(Seek(0, STREAM_SEEK_CUR, &pos), S_OK);
    EXPECT_EQ(pos, 0u);

    ULONG n = 0;
    EXPECT_EQ(m_pStream->Write("x", 1, &n), STG_E_ACCESSDENIED);
    Platform::ComPtr<IStream> pClone;
    EXPECT_EQ(m_pStream->Clone(pClone.AddressOf()), E_NOTIMPL);
    Platform::ComPtr<ISequentialStream> pSeq;
    EXPECT_EQ(Platform::ComPtr<IStream>(m_pStream.Get()).As(&pSeq), S_OK);

    // CopyTo reads on from the position.
    Platform::ComPtr<Platform::MemStream> pTarget = Platform::MemStream::Create();
    ULARGE_INTEGER all;
    all.QuadPart = ~0ull;
    ASSERT_EQ(m_pStream->CopyTo(pTarget.Get(), all, nullptr, nullptr), S_OK);
    EXPECT_EQ(pTarget->CopyContent(), m_data);

    Platform::ComPtr<BufferedStream> pEmpty = BufferedStream::Create(nullptr);
    char buf[4];
    EXPECT_EQ(pEmpty->Read(buf, 4, &n), E_FAIL);
}

}  // namespace
