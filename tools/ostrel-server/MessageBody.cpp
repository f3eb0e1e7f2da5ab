#include "MessageBody.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace OstrelServer {

namespace {

// zlib counts in uInt; larger texts go through in pieces of this size.
constexpr size_t kMaxPiece = size_t(1) << 30;

uint32_t Crc32(const std::string& data) {
    uLong crc = crc32(0, nullptr, 0);
    for (size_t at = 0; at < data.size(); at += kMaxPiece) {
        const uInt piece = static_cast<uInt>(std::min(data.size() - at, kMaxPiece));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + at), piece);
    }
    return static_cast<uint32_t>(crc);
}

std::string Deflate(const std::string& data, int level) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    // deflateBound holds for one call over all of the input; texts past kMaxPiece grow in steps.
    std::string out(data.size() <= kMaxPiece ? deflateBound(&zs, static_cast<uLong>(data.size())) : kMaxPiece, '\0');
    size_t done = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        const size_t in = std::min(data.size() - done, kMaxPiece);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + done));
        zs.avail_in = static_cast<uInt>(in);
        if (zs.total_out == out.size())
            out.resize(out.size() + kMaxPiece);
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + zs.total_out);
        zs.avail_out = static_cast<uInt>(std::min(out.size() - zs.total_out, kMaxPiece));
        result = deflate(&zs, done + in == data.size() ? Z_FINISH : Z_NO_FLUSH);
        done += in - zs.avail_in;
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            deflateEnd(&zs);
            throw std::runtime_error("deflate failed");
        }
    }
    out.resize(zs.total_out);
    deflateEnd(&zs);
    out.shrink_to_fit();
    return out;
}

}  // namespace

MessageBody::MessageBody(std::string mime) : m_mime(std::move(mime)), m_crc(Crc32(m_mime)) {}

const std::string& MessageBody::Deflated() const {
    std::call_once(m_deflateOnce, [this] { m_deflated = Deflate(m_mime, kLevel); });
    return m_deflated;
}

}  // namespace OstrelServer
