#include "Platform/Mime/TransferEncoding.h"

#include <array>
#include <utility>

namespace mimepp {

namespace {

constexpr std::array<std::pair<TransferEncodingType::Type, const char*>, 5> kNames{{
    {TransferEncodingType::SEVEN_BIT, "7bit"},
    {TransferEncodingType::EIGHT_BIT, "8bit"},
    {TransferEncodingType::BINARY, "binary"},
    {TransferEncodingType::QUOTED_PRINTABLE, "quoted-printable"},
    {TransferEncodingType::BASE64, "base64"},
}};

}  // namespace

void TransferEncodingType::fromEnum(Type type) {
    for (const auto& [t, name] : kNames) {
        if (t == type) {
            m_string = name;
            m_type = type;
            setModified();
            return;
        }
    }
}

void TransferEncodingType::parse() {
    // The token alone counts: blanks, folding and a trailing comment are ignored.
    size_t b = 0;
    while (b < m_string.length() &&
           (m_string[b] == ' ' || m_string[b] == '\t' || m_string[b] == '\r' || m_string[b] == '\n')) {
        ++b;
    }
    size_t e = b;
    while (e < m_string.length() && m_string[e] != ' ' && m_string[e] != '\t' && m_string[e] != '\r' &&
           m_string[e] != '\n' && m_string[e] != '(' && m_string[e] != ';') {
        ++e;
    }
    const String token = m_string.substr(b, e - b);
    m_type = token.empty() ? NONE : UNKNOWN;
    for (const auto& [t, name] : kNames) {
        if (Strcasecmp(token, name) == 0)
            m_type = t;
    }
    m_bModified = false;
}

}  // namespace mimepp
