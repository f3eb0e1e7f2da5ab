#include "Platform/Mapi/Convert/PartContent.h"

#include "Platform/Mime/Coders.h"
#include "Platform/Mime/MediaType.h"

namespace Platform::Mapi::Convert {

using mimepp::TransferEncodingType;

bool Is8BitSafe(std::string_view text) {
    size_t column = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0' || (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) ||
            (c == '\n' && (i == 0 || text[i - 1] != '\r')))
            return false;
        column = c == '\n' ? 0 : column + 1;
        if (column > 998)
            return false;
    }
    return true;
}

bool IsAsciiShortLines(std::string_view text) {
    size_t column = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n')
                return false;
            continue;
        }
        if (c == '\n') {
            if (i == 0 || text[i - 1] != '\r')
                return false;
            column = 0;
            continue;
        }
        if (c >= 0x80 || (c < 0x20 && c != '\t') || ++column > 76)
            return false;
    }
    return true;
}

void SetContent(mimepp::Entity& part, std::string_view bytes, TransferEncodingType::Type encoding) {
    mimepp::String out;
    if (encoding == TransferEncodingType::BASE64) {
        mimepp::Base64Encoder().encode(bytes.data(), bytes.size(), out);
    } else if (encoding == TransferEncodingType::QUOTED_PRINTABLE) {
        mimepp::QuotedPrintableEncoder().encode(bytes.data(), bytes.size(), out);
    } else {
        out = mimepp::String(bytes);
    }
    part.headers().contentTransferEncoding().fromEnum(encoding);
    part.body().setString(std::move(out));
}

void SetType(mimepp::Entity& part, const std::string& type, const std::string& subtype) {
    mimepp::MediaType& mt = part.headers().contentType();
    mt.setType(mimepp::String(type));
    mt.setSubtype(mimepp::String(subtype));
}

std::string Uuencode(const std::string& data) {
    std::string out;
    auto enc = [](unsigned v) { return static_cast<char>(v ? (v & 0x3F) + 0x20 : '`'); };
    for (size_t i = 0; i < data.size(); i += 45) {
        const size_t n = std::min<size_t>(45, data.size() - i);
        out += enc(static_cast<unsigned>(n));
        for (size_t k = 0; k < n; k += 3) {
            auto b = [&](size_t j) {
                return i + k + j < data.size() && k + j < n ? static_cast<unsigned char>(data[i + k + j]) : 0u;
            };
            const unsigned v = (b(0) << 16) | (b(1) << 8) | b(2);
            out += enc(v >> 18);
            out += enc((v >> 12) & 0x3F);
            out += enc((v >> 6) & 0x3F);
            out += enc(v & 0x3F);
        }
        out += "\r\n";
    }
    return out + "`\r\nend\r\n";
}

}  // namespace Platform::Mapi::Convert
