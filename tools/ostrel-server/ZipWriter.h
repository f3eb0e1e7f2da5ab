// Writes a ZIP archive front to back into a sink, never going back. Entries whose CRC and sizes
// are known before their data carry them in the local header; AddDeflated, which compresses as it
// writes, puts them in a data descriptor after the data.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace OstrelServer {

class ZipWriter {
public:
    // Receives the archive piece by piece; returning false stops the writer (the peer went away).
    using Sink = std::function<bool(const char* data, size_t size)>;

    explicit ZipWriter(Sink sink);

    // Entries give false once the sink has refused data. An entry of 4 GiB or more, or a name
    // longer than 65535 bytes, is refused with std::length_error.
    bool AddStored(const std::string& name, std::string_view data);
    // The same with the data's CRC-32 known already.
    bool AddStored(const std::string& name, std::string_view data, uint32_t crc);
    bool AddDeflated(const std::string& name, std::string_view data, int level);
    // Raw deflate data made beforehand, copied as it is; `crc` and `size` are those of the data it
    // inflates to.
    bool AddCompressed(const std::string& name, std::string_view deflated, uint32_t crc, uint64_t size);
    // The central directory and its end record; nothing can be added afterwards.
    bool Finish();

private:
    struct Record {
        std::string name;
        uint16_t flags;
        uint16_t method;
        uint32_t crc;
        uint32_t compressedSize;
        uint32_t uncompressedSize;
        uint32_t offset;
    };

    bool Emit(std::string_view bytes);
    std::string LocalHeader(const Record& record) const;

    Sink m_sink;
    bool m_ok = true;
    uint64_t m_offset = 0;
    uint16_t m_dosTime;
    uint16_t m_dosDate;
    std::vector<Record> m_records;
};

}  // namespace OstrelServer
