#include "Platform/Mime/MediaType.h"

#include "Platform/Mime/GMimeSupport.h"

#include <array>
#include <utility>

namespace mimepp {

namespace {

constexpr std::array<std::pair<MediaType::Type, const char*>, 9> kTypeNames{{
    {MediaType::TEXT, "text"},
    {MediaType::MULTIPART, "multipart"},
    {MediaType::MESSAGE, "message"},
    {MediaType::APPLICATION, "application"},
    {MediaType::IMAGE, "image"},
    {MediaType::AUDIO, "audio"},
    {MediaType::VIDEO, "video"},
    {MediaType::MODEL, "model"},
    {MediaType::FONT, "font"},
}};

String Trimmed(const String& s) {
    size_t b = 0;
    size_t e = s.length();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

}  // namespace

MediaType::Type MediaType::typeAsEnum() const {
    if (m_sType.empty())
        return NONE;
    for (const auto& [type, name] : kTypeNames) {
        if (Strcasecmp(m_sType, name) == 0)
            return type;
    }
    return UNKNOWN;
}

void MediaType::setType(const String& type) {
    m_sType = detail::OneLine(type);
    setModified();
}

void MediaType::setType(Type type) {
    for (const auto& [t, name] : kTypeNames) {
        if (t == type) {
            setType(String(name));
            return;
        }
    }
}

void MediaType::setSubtype(const String& subtype) {
    m_sSubtype = detail::OneLine(subtype);
    setModified();
}

void MediaType::parse() {
    m_sType.clear();
    m_sSubtype.clear();
    m_params.clear();
    const String value = Trimmed(detail::Unfold(m_string));
    if (!value.empty()) {
        detail::EnsureGMime();
        detail::GPtr<GMimeContentType> ct(g_mime_content_type_parse(detail::ParserOptions(), value.c_str()));
        if (ct) {
            const char* type = g_mime_content_type_get_media_type(ct.get());
            const char* subtype = g_mime_content_type_get_media_subtype(ct.get());
            m_sType = String(type ? type : "");
            m_sSubtype = String(subtype ? subtype : "");
            m_params = detail::FromGMime(g_mime_content_type_get_parameters(ct.get()));
        }
    }
    m_bModified = false;
}

void MediaType::assemble() {
    if (!m_bModified)
        return;
    // A value needs both names; fill in the defaults of RFC 2045 and 2046 for a missing one.
    const String type = m_sType.empty() ? String("application") : m_sType;
    String subtype = m_sSubtype;
    if (subtype.empty()) {
        if (Strcasecmp(type, "text") == 0) {
            subtype = "plain";
        } else if (Strcasecmp(type, "multipart") == 0) {
            subtype = "mixed";
        } else {
            subtype = "octet-stream";
        }
    }
    m_string = type + "/" + subtype + encodeParameters();
    m_bModified = false;
}

}  // namespace mimepp
