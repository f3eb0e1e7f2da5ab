#include "ZipWriter.h"

#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

namespace OstrelServer {

namespace {

constexpr uint16_t kVersion = 20;
constexpr uint16_t kFlagDataDescriptor = 0x0008;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr size_t kOutPiece = 64 * 1024;

void Put16(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void CheckSizes(const std::string& name, uint64_t size) {
    if (name.size() > 0xFFFF)
        throw std::length_error("zip entry name too long");
    if (size > 0xFFFFFFFEull)
        throw std::length_error("zip entry too large");
}

uint32_t Crc32(std::string_view data) {
    uLong crc = crc32(0, nullptr, 0);
    while (!data.empty()) {
        uInt piece = static_cast<uInt>(std::min<size_t>(data.size(), 1u << 30));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), piece);
        data.remove_prefix(piece);
    }
    return static_cast<uint32_t>(crc);
}

}  // namespace

ZipWriter::ZipWriter(Sink sink) : m_sink(std::move(sink)) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    m_dosTime = static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
    m_dosDate = static_cast<uint16_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
}

bool ZipWriter::Emit(std::string_view bytes) {
    if (m_ok && !bytes.empty())
        m_ok = m_sink(bytes.data(), bytes.size());
    m_offset += bytes.size();
    return m_ok;
}

std::string ZipWriter::LocalHeader(const Record& record) const {
    std::string header;
    Put32(header, 0x04034B50);
    Put16(header, kVersion);
    Put16(header, record.flags);
    Put16(header, record.method);
    Put16(header, m_dosTime);
    Put16(header, m_dosDate);
    Put32(header, record.crc);
    Put32(header, record.compressedSize);
    Put32(header, record.uncompressedSize);
    Put16(header, static_cast<uint32_t>(record.name.size()));
    Put16(header, 0);
    header += record.name;
    return header;
}

bool ZipWriter::AddStored(const std::string& name, std::string_view data) {
    return AddStored(name, data, Crc32(data));
}

bool ZipWriter::AddStored(const std::string& name, std::string_view data, uint32_t crc) {
    CheckSizes(name, data.size());
    uint32_t size = static_cast<uint32_t>(data.size());
    Record record{name, kFlagUtf8, 0, crc, size, size, static_cast<uint32_t>(m_offset)};
    m_records.push_back(record);
    return Emit(LocalHeader(record)) && Emit(data);
}

bool ZipWriter::AddCompressed(const std::string& name, std::string_view deflated, uint32_t crc, uint64_t size) {
    CheckSizes(name, deflated.size());
    CheckSizes(name, size);
    Record record{name,
                  kFlagUtf8,
                  Z_DEFLATED,
                  crc,
                  static_cast<uint32_t>(deflated.size()),
                  static_cast<uint32_t>(size),
                  static_cast<uint32_t>(m_offset)};
    m_records.push_back(record);
    return Emit(LocalHeader(record)) && Emit(deflated);
}

bool ZipWriter::AddDeflated(const std::string& name, std::string_view data, int level) {
    CheckSizes(name, data.size());
    Record record{name, kFlagUtf8 | kFlagDataDescriptor, Z_DEFLATED, 0, 0, 0, static_cast<uint32_t>(m_offset)};
    if (!Emit(LocalHeader(record)))
        return false;

    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(kOutPiece, '\0');
    uint64_t compressed = 0;
    std::string_view rest = data;
    int result = Z_OK;
    while (result != Z_STREAM_END && m_ok) {
        uInt piece = static_cast<uInt>(std::min<size_t>(rest.size(), 1u << 20));
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(rest.data()));
        zs.avail_in = piece;
        int flush = piece == rest.size() ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(out.data());
            zs.avail_out = static_cast<uInt>(out.size());
            result = deflate(&zs, flush);
            size_t produced = out.size() - zs.avail_out;
            compressed += produced;
            Emit(std::string_view(out.data(), produced));
        } while (zs.avail_out == 0 && m_ok);
        rest.remove_prefix(piece - zs.avail_in);
    }
    deflateEnd(&zs);
    if (compressed > 0xFFFFFFFFull)
        throw std::length_error("zip entry too large");

    record.crc = Crc32(data);
    record.compressedSize = static_cast<uint32_t>(compressed);
    record.uncompressedSize = static_cast<uint32_t>(data.size());
    m_records.push_back(record);
    std::string descriptor;
    Put32(descriptor, 0x08074B50);
    Put32(descriptor, record.crc);
    Put32(descriptor, record.compressedSize);
    Put32(descriptor, record.uncompressedSize);
    return Emit(descriptor);
}

bool ZipWriter::Finish() {
    uint64_t start = m_offset;
    std::string directory;
    for (const Record& record : m_records) {
        Put32(directory, 0x02014B50);
        Put16(directory, (3 << 8) | kVersion);  // made on Unix
        Put16(directory, kVersion);
        Put16(directory, record.flags);
        Put16(directory, record.method);
        Put16(directory, m_dosTime);
        Put16(directory, m_dosDate);
        Put32(directory, record.crc);
        Put32(directory, record.compressedSize);
        Put32(directory, record.uncompressedSize);
        Put16(directory, static_cast<uint32_t>(record.name.size()));
        Put16(directory, 0);               // extra field
        Put16(directory, 0);               // comment
        Put16(directory, 0);               // disk
        Put16(directory, 0);               // internal attributes
        Put32(directory, 0100644u << 16);  // external attributes: a regular file
        Put32(directory, record.offset);
        directory += record.name;
    }
    std::string end;
    Put32(end, 0x06054B50);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, static_cast<uint32_t>(std::min<size_t>(m_records.size(), 0xFFFF)));
    Put16(end, static_cast<uint32_t>(std::min<size_t>(m_records.size(), 0xFFFF)));
    Put32(end, static_cast<uint32_t>(directory.size()));
    Put32(end, static_cast<uint32_t>(std::min<uint64_t>(start, 0xFFFFFFFF)));
    Put16(end, 0);
    return Emit(directory) && Emit(end);
}

}  // namespace OstrelServer
