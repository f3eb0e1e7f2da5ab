#include "Platform/Mime/Disposition.h"

#include "Platform/Mime/GMimeSupport.h"

namespace mimepp {

DispositionType::Type DispositionType::asEnum() const {
    if (m_sType.empty())
        return NONE;
    if (Strcasecmp(m_sType, "inline") == 0)
        return INLINE;
    if (Strcasecmp(m_sType, "attachment") == 0)
        return ATTACHMENT;
    return UNKNOWN;
}

void DispositionType::setType(Type type) {
    if (type == INLINE)
        setType(String("inline"));
    if (type == ATTACHMENT)
        setType(String("attachment"));
}

void DispositionType::setType(const String& type) {
    m_sType = detail::OneLine(type);
    setModified();
}

void DispositionType::parse() {
    m_sType.clear();
    m_params.clear();
    const String value = detail::Unfold(m_string);
    size_t b = 0;
    while (b < value.length() && (value[b] == ' ' || value[b] == '\t'))
        ++b;
    if (b < value.length()) {
        detail::EnsureGMime();
        detail::GPtr<GMimeContentDisposition> cd(
            g_mime_content_disposition_parse(detail::ParserOptions(), value.c_str() + b));
        if (cd) {
            const char* type = g_mime_content_disposition_get_disposition(cd.get());
            m_sType = String(type ? type : "");
            m_params = detail::FromGMime(g_mime_content_disposition_get_parameters(cd.get()));
        }
    }
    m_bModified = false;
}

void DispositionType::assemble() {
    if (!m_bModified)
        return;
    m_string = (m_sType.empty() ? String("attachment") : m_sType) + encodeParameters();
    m_bModified = false;
}

}  // namespace mimepp
