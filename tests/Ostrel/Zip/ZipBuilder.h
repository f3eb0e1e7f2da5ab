// Builds ZIP archives byte by byte for the reader's tests, including broken ones: every header
// field can be overridden.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZipTest {

struct Entry {
    std::string name;
    std::string data;
    bool deflate = false;
    bool descriptor = false;          // bit 3 and a data descriptor after the data
    bool descriptorSignature = true;  // the descriptor's optional signature
    bool sizesInHeader = true;        // with a descriptor: sizes (and CRC) also in the local header
    bool zip64 = false;               // Zip64 extra field; 64-bit sizes in the descriptor
    uint16_t flags = 0;               // added to the flags the builder sets
    std::optional<uint16_t> method;   // overrides the method field
    std::optional<uint32_t> crc;      // override the CRC written (header and descriptor)
    std::optional<uint32_t> compressedSize;
    std::optional<uint32_t> uncompressedSize;
    std::optional<std::string> payload;  // replaces the bytes written as the entry's data
};

inline void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

inline void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

inline void Put64(std::string& out, uint64_t v) {
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}

inline std::string RawDeflate(const std::string& data, int level = 6) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, data.size()) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

inline uint32_t Crc(const std::string& data) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

inline std::string LocalEntry(const Entry& e) {
    std::string body = e.payload ? *e.payload : (e.deflate ? RawDeflate(e.data) : e.data);
    uint32_t crc = e.crc.value_or(Crc(e.data));
    uint32_t csize = e.compressedSize.value_or(static_cast<uint32_t>(body.size()));
    uint32_t usize = e.uncompressedSize.value_or(static_cast<uint32_t>(e.data.size()));
    bool headerSizes = !e.descriptor || e.sizesInHeader;

    std::string out;
    Put32(out, 0x04034B50);
    Put16(out, e.zip64 ? 45 : 20);
    Put16(out, e.flags | (e.descriptor ? 0x0008 : 0));
    Put16(out, e.method.value_or(e.deflate ? 8 : 0));
    Put16(out, 0x6000);  // 12:00
    Put16(out, 0x5A21);  // 2025-01-01
    Put32(out, headerSizes ? crc : 0);
    Put32(out, e.zip64 ? 0xFFFFFFFF : (headerSizes ? csize : 0));
    Put32(out, e.zip64 ? 0xFFFFFFFF : (headerSizes ? usize : 0));
    Put16(out, static_cast<uint32_t>(e.name.size()));
    Put16(out, e.zip64 ? 20 : 0);
    out += e.name;
    if (e.zip64) {
        Put16(out, 0x0001);
        Put16(out, 16);
        Put64(out, headerSizes ? usize : 0);
        Put64(out, headerSizes ? csize : 0);
    }
    out += body;
    if (e.descriptor) {
        if (e.descriptorSignature)
            Put32(out, 0x08074B50);
        Put32(out, crc);
        if (e.zip64) {
            Put64(out, csize);
            Put64(out, usize);
        } else {
            Put32(out, csize);
            Put32(out, usize);
        }
    }
    return out;
}

// The start of a central directory, which is where the reader stops.
inline std::string CentralDirectoryStart() {
    std::string out;
    Put32(out, 0x02014B50);
    out.append(42, '\0');
    return out;
}

inline std::string Archive(const std::vector<Entry>& entries, bool withEnd = true) {
    std::string out;
    for (const Entry& e : entries)
        out += LocalEntry(e);
    if (withEnd)
        out += CentralDirectoryStart();
    return out;
}

inline Entry Stored(std::string name, std::string data) {
    Entry e;
    e.name = std::move(name);
    e.data = std::move(data);
    return e;
}

inline Entry Deflated(std::string name, std::string data, bool descriptor = true) {
    Entry e;
    e.name = std::move(name);
    e.data = std::move(data);
    e.deflate = true;
    e.descriptor = descriptor;
    e.sizesInHeader = !descriptor;
    return e;
}

}  // namespace ZipTest
