#include "Platform/Mime/FieldBody.h"

#include "Platform/Mime/GMimeSupport.h"

namespace mimepp {

namespace detail {

String OneLine(const String& text) {
    String out(text);
    for (size_t i = 0; i < out.length(); ++i) {
        if (out[i] == '\r' || out[i] == '\n')
            out[i] = ' ';
    }
    return out;
}

bool IsPlainAscii(const String& text) {
    for (size_t i = 0; i < text.length(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 32 && c != '\t') || c > 126)
            return false;
    }
    return true;
}

}  // namespace detail

String Text::textUtf8() const {
    detail::EnsureGMime();
    const String unfolded = detail::Unfold(m_string);
    return detail::GText(g_mime_utils_header_decode_text(detail::ParserOptions(), unfolded.c_str())).str();
}

void Text::setTextUtf8(const String& utf8) {
    detail::EnsureGMime();
    const String line = detail::OneLine(utf8);
    // Plain text that could be mistaken for an encoded word is encoded too.
    if (detail::IsPlainAscii(line) && line.find("=?") == String::npos) {
        m_string = line;
    } else {
        m_string = detail::GText(g_mime_utils_header_encode_text(detail::FormatOptions(), line.c_str(), "utf-8")).str();
    }
    setModified();
}

}  // namespace mimepp
