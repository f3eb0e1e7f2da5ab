// A MAPI message as MIME text: headers from the envelope properties, multipart/alternative for a
// text and an HTML body, multipart/related for inline attachments, multipart/mixed for the others,
// embedded messages as message/rfc822, the stored entity of S/MIME messages unchanged.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mime/Entity.h"
#include "Platform/Mime/TransferEncoding.h"

namespace Platform::Mapi::Convert {

// How body texts are written (the session's text wrapping and charset).
struct TextOptions {
    size_t cWrapWidth = 0;        // 0: no wrapping
    std::string sCharset;         // empty: the message's own
    bool bCharsetForAll = false;  // also for messages that name their charset
};

class MimeWriter {
public:
    // bUuencode: RFC 822 text with the attachments uuencoded after the body instead of MIME parts.
    MimeWriter(ULONG ulFlags, ENCODINGTYPE encoding, bool bUuencode, TextOptions options = {})
        : m_ulFlags(ulFlags), m_encoding(encoding), m_bUuencode(bUuencode), m_options(std::move(options)) {}

    HRESULT Write(IMessage* pMessage, std::string& out);

private:
    struct Props;
    struct Attachment;

    // The message as MIME text; depth 0 is the message itself, deeper ones are embedded in it.
    HRESULT Build(IMessage* pMessage, std::string& out, int depth);
    HRESULT ReadAttachments(IMessage* pMessage, std::vector<Attachment>& out);
    HRESULT WriteHeaders(IMessage* pMessage, const Props& props, mimepp::Headers& headers, int depth);
    // Fills the body; a stored signed entity that goes out unchanged is returned in rawEntity instead.
    HRESULT FillBody(const Props& props, std::vector<Attachment>& attachments, mimepp::Entity& target, int depth,
                     std::string& rawEntity);
    HRESULT FillAttachment(Attachment& attachment, mimepp::Entity& part, int depth);
    void FillText(mimepp::Entity& part, std::wstring_view text, const std::string& preferredCharset);
    void FillHtml(mimepp::Entity& part, std::string_view html, const std::string& charset);
    // The transfer encoding of a body text: SetEncoding's when one was set and it can carry the bytes.
    mimepp::TransferEncodingType::Type TextEncoding(std::string_view bytes) const;

    ULONG m_ulFlags;
    ENCODINGTYPE m_encoding;
    bool m_bUuencode;
    TextOptions m_options;
};

}  // namespace Platform::Mapi::Convert
