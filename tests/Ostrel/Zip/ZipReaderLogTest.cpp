// What the reader logs while it reads (support reads these lines to follow a download), and entry
// names that would be shown as one thing and handled as another.
#include <zlib.h>

#include "ZipBuilder.h"
#include "ZipTestSupport.h"

using namespace ZipTest;

namespace {

using ZipReaderLogTest = ZipFixture;

// The messages of a capture that contain `text`, in order.
std::vector<std::wstring> Matching(const Ostrel::Util::LogCapture& capture, const std::wstring& text) {
    std::vector<std::wstring> found;
    for (const std::wstring& message : capture.Messages())
        if (message.find(text) != std::wstring::npos)
            found.push_back(message);
    return found;
}

// Raw deflate of `cb` zero bytes, made piece by piece so that the input never sits in memory.
std::string DeflatedZeros(uint64_t cb) {
    z_stream zs{};
    deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    const std::string zeros(1 << 20, '\0');
    std::string out;
    char buffer[1 << 16];
    uint64_t left = cb;
    int flush = Z_NO_FLUSH;
    do {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
        left -= n;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        zs.avail_in = static_cast<uInt>(n);
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buffer);
            zs.avail_out = sizeof buffer;
            deflate(&zs, flush);
            out.append(buffer, sizeof buffer - zs.avail_out);
        } while (zs.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&zs);
    return out;
}

}  // namespace

TEST_F(ZipReaderLogTest, TwoEntriesAreLoggedStepByStep) {
    std::string meta = "id=300\n";
    std::string mime = "Subject: logged\r\n\r\n" + std::string(7000, 'm');
    std::string archive = Archive({Stored("300.meta", meta), Deflated("300.eml", mime)});

    Ostrel::Util::LogCapture capture;
    Reader reader = Open(archive);
    reader->GetNextEntry();
    reader->GetNextEntry();
    EXPECT_EQ(NextError(reader.get()), kEndOfArchive);

    // Header by header: version, method, name, kind; then the loading blocks and their outcome.
    std::vector<std::wstring> steps;
    for (const std::wstring& message : capture.Messages()) {
        bool bStep = message == L"STORED" || message == L"DEFLATED" || message == L"Meta" || message == L"Mime" ||
                     message.rfind(L"Zip Version ", 0) == 0 || message.rfind(L"Filename: ", 0) == 0 ||
                     message.rfind(L"Block ", 0) == 0 ||
                     message.find(L" bytes read from zip using ") != std::wstring::npos;
        if (bStep)
            steps.push_back(message);
    }
    std::vector<std::wstring> expected = {
        L"Zip Version 20",
        L"STORED",
        L"Filename: '300.meta'",
        L"Meta",
        L"Block 1: 7 bytes. Tot: 7 bytes",
        L"7 bytes read from zip using 1 block(s)",
        L"Zip Version 20",
        L"DEFLATED",
        L"Filename: '300.eml'",
        L"Mime",
        L"Block 1: " + std::to_wstring(mime.size()) + L" bytes. Tot: " + std::to_wstring(mime.size()) + L" bytes",
        std::to_wstring(mime.size()) + L" bytes read from zip using 1 block(s)",
    };
    EXPECT_EQ(steps, expected);
    EXPECT_TRUE(Matching(capture, L"WARNING: large zip").empty());
}

// Only blocks that take the total past 300 MiB carry the warning: 60 full blocks reach exactly
// 314,572,800 bytes, the 61st (one byte) passes it.
TEST_F(ZipReaderLogTest, LargeZipWarningFromTheBlockThatPassesThreeHundredMegabytes) {
    const uint64_t cbBlock = 5242880;
    const uint64_t cbTotal = 60 * cbBlock + 1;
    Entry big = Deflated("big.eml", "");
    big.descriptor = false;
    big.sizesInHeader = true;
    big.payload = DeflatedZeros(cbTotal);
    big.uncompressedSize = static_cast<uint32_t>(cbTotal);
    {
        // The CRC of that many zeros, without holding them.
        const std::string zeros(1 << 20, '\0');
        uLong crc = crc32(0, nullptr, 0);
        for (uint64_t left = cbTotal; left;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
            crc = crc32(crc, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(n));
            left -= n;
        }
        big.crc = static_cast<uint32_t>(crc);
    }

    Ostrel::Util::LogCapture capture;
    Reader reader = Open(Archive({big}));
    Ostrel::Rpc::ZipEntry* pEntry = reader->GetNextEntry();
    ULONG cb = 0;
    ASSERT_NE(pEntry->GetMimeStream(cb), nullptr);

    std::vector<std::wstring> blocks = Matching(capture, L"Block ");
    ASSERT_EQ(blocks.size(), 61u);
    EXPECT_EQ(blocks[59], L"Block 60: 5242880 bytes. Tot: 314572800 bytes");
    EXPECT_EQ(blocks[60], L"Block 61: 1 bytes. Tot: 314572801 bytes   <- WARNING: large zip");
    EXPECT_EQ(Matching(capture, L"WARNING: large zip").size(), 1u);
    EXPECT_EQ(Matching(capture, L"Large mime -> switching to file").size(), 1u);
    EXPECT_EQ(Matching(capture, L"314572801 bytes read from zip using 61 block(s)").size(), 1u);
}

// A name with a NUL byte shows as the part before it ("x.eml") but ends like metadata: it is
// refused rather than loaded as one kind and reported as the other.
TEST_F(ZipReaderLogTest, NameWithNulByteIsRefused) {
    std::string name("x.eml\0.meta", 11);
    Reader reader = Open(Archive({Stored(name, "id=1\n"), Stored("y.eml", "Subject: y\r\n\r\n")}));
    std::wstring error = NextError(reader.get());
    EXPECT_NE(error.find(L"NUL"), std::wstring::npos) << error;
    EXPECT_EQ(reader->GetCurrentEntry(), nullptr);

    // An ordinary name that merely contains ".meta" elsewhere is a message.
    Reader plain = Open(Archive({Stored("x.meta.eml", "Subject: z\r\n\r\n")}));
    Ostrel::Rpc::ZipEntry* pEntry = plain->GetNextEntry();
    EXPECT_EQ(MimeOf(pEntry), "Subject: z\r\n\r\n");
}
