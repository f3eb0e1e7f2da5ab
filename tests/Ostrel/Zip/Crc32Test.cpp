// The reader's CRC-32 against zlib's: every length around the 16- and 64-byte steps of the folded
// path, at every alignment, from a running value as well as from zero.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "Ostrel/Zip/Crc32.h"

namespace {

TEST(ZipCrc32, SameAsZlibForEveryLengthAndAlignment) {
    std::mt19937 random(7);
    std::vector<unsigned char> data(70000);
    for (unsigned char& b : data)
        b = static_cast<unsigned char>(random());
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    for (size_t n : {1023u, 1024u, 4096u, 65535u, 65536u, 69990u})
        lengths.push_back(n);
    for (size_t cb : lengths) {
        for (size_t offset = 0; offset < 8; ++offset) {
            for (uint32_t start : {0u, 0x9E3779B9u}) {
                const uInt expected = static_cast<uInt>(crc32(start, data.data() + offset, static_cast<uInt>(cb)));
                ASSERT_EQ(Ostrel::Zip::Crc32(start, data.data() + offset, cb), expected)
                    << cb << " bytes at " << offset << " from " << start;
            }
        }
    }
    // Piece by piece gives the value of the whole.
    uint32_t crc = 0;
    for (size_t at = 0; at < data.size(); at += 777)
        crc = Ostrel::Zip::Crc32(crc, data.data() + at, std::min<size_t>(777, data.size() - at));
    EXPECT_EQ(crc, crc32(0, data.data(), static_cast<uInt>(data.size())));
}

}  // namespace
