// CRC-32 as ZIP uses it (zlib's crc32), computed with carry-less multiplication where the processor
// has it: checking every inflated byte then costs a few percent of the inflate time instead of a
// fifth. Gives the same values as zlib's crc32 for the same input and running value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Ostrel::Zip {

uint32_t Crc32(uint32_t crc, const unsigned char* pb, size_t cb);

}  // namespace Ostrel::Zip
