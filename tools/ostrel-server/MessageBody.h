// A message's MIME text as the simulator keeps it: immutable, shared by the mailbox and every
// download in flight, with its CRC-32 known from the start and its raw deflate stream made once
// (on first use, or right away with Deflate()) and kept. Archives then copy bytes the way a
// real server streams the blobs it stores compressed, instead of compressing on every request.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace OstrelServer {

class MessageBody {
public:
    // The compression level of the kept deflate stream: the one clients ask for by default.
    static constexpr int kLevel = 4;

    explicit MessageBody(std::string mime);
    static std::shared_ptr<const MessageBody> Make(std::string mime) {
        return std::make_shared<const MessageBody>(std::move(mime));
    }

    const std::string& Mime() const { return m_mime; }
    uint32_t Crc() const { return m_crc; }
    // The MIME as raw deflate data (no zlib header or trailer), made on the first call.
    // Thread-safe; a concurrent first call waits for the one that makes it.
    const std::string& Deflated() const;

private:
    const std::string m_mime;
    const uint32_t m_crc;
    mutable std::once_flag m_deflateOnce;
    mutable std::string m_deflated;
};

}  // namespace OstrelServer
