// Content of the parts the writer builds: which transfer encodings a text allows, the encoded
// content and type of a part, uuencoded blocks.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Mime/Entity.h"
#include "Platform/Mime/TransferEncoding.h"

namespace Platform::Mapi::Convert {

// CRLF lines of at most 998 bytes without NUL: what 8bit may carry.
bool Is8BitSafe(std::string_view text);
// ASCII text in CRLF lines of at most 76 characters: what goes out as 7bit.
bool IsAsciiShortLines(std::string_view text);
// The part's content in the given transfer encoding, with its Content-Transfer-Encoding.
void SetContent(mimepp::Entity& part, std::string_view bytes, mimepp::TransferEncodingType::Type encoding);
void SetType(mimepp::Entity& part, const std::string& type, const std::string& subtype);
// The data as uuencoded lines, up to and including the "end" line.
std::string Uuencode(const std::string& data);

}  // namespace Platform::Mapi::Convert
