// Charset and transfer-encoding rules shared by the own MIME writer and the message fix-ups: which
// Content-Transfer-Encoding a body needs, encoding a body that way, and the charset name Windows
// publishes for a code page.
#pragma once

#include <string>

#include "Platform/Mime/String.h"
#include "Platform/Mime/TransferEncoding.h"

namespace Ostrel::Util {

enum MIME_ENCODING : int {
    ME_7BIT = 0,
    ME_QUOTED_PRINTABLE = 1,
    ME_BASE64 = 2,
};

class CharsetUtil {
public:
    // The encoding a body of `length` bytes needs: Base64 when 17% or more of the bytes are control
    // or 8-bit bytes (lone CR and LF count, CRLF pairs do not), quoted-printable for fewer or for
    // lines of 77 characters or more, else 7bit. checkPdf forces Base64 for data that starts "%PDF"; loneLfCheck forces
    // it for a line feed without a carriage return before it.
    static MIME_ENCODING FindBestEncoding(const char* data, int length, bool checkPdf, bool loneLfCheck);
    // Quoted-printable for "text/..." (any case), Base64 for anything else or null.
    static MIME_ENCODING FindEncoding(const char* contentType);
    static mimepp::TransferEncodingType::Type TEFromME(MIME_ENCODING encoding);
    // The body in the encoding (7bit copies); false when the encoder reported a failure.
    static bool EncodeBody(MIME_ENCODING encoding, const mimepp::String& in, mimepp::String& out);
    static bool EncodeBody(MIME_ENCODING encoding, const char* data, size_t length, mimepp::String& out);
    // True when a byte is a control character (1-31) or above 127.
    static bool NeedsEncoding(const char* text);
    // The charset name of a Windows code page ("utf-8" for 65001, ...); "windows-<n>" for any other.
    static std::string CharsetStringFromCodePageId(unsigned codePage);
};

}  // namespace Ostrel::Util
