#include "Platform/Mime/MsgId.h"

#include "Platform/Mime/GMimeSupport.h"

namespace mimepp {

void MsgId::setLocalPart(const String& localPart) {
    m_sLocalPart = detail::OneLine(localPart);
    setModified();
}

void MsgId::setDomain(const String& domain) {
    m_sDomain = detail::OneLine(domain);
    setModified();
}

void MsgId::parse() {
    m_sLocalPart.clear();
    m_sDomain.clear();
    const String value = detail::Unfold(m_string);
    if (!value.empty()) {
        detail::EnsureGMime();
        const String id = detail::GText(g_mime_utils_decode_message_id(value.c_str())).str();
        const size_t at = id.rfind('@');
        if (at == String::npos) {
            m_sLocalPart = id;
        } else {
            m_sLocalPart = id.substr(0, at);
            m_sDomain = id.substr(at + 1);
        }
    }
    m_bModified = false;
}

void MsgId::assemble() {
    if (!m_bModified)
        return;
    m_string = "<" + id() + ">";
    m_bModified = false;
}

}  // namespace mimepp
