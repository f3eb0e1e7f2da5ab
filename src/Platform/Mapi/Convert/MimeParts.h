// Reading single MIME entities for the converter: effective content type, disposition, decoded
// content, file names, header text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Platform/Mime/Entity.h"

namespace Platform::Mapi::Convert {

struct MediaInfo {
    std::string sType;     // lower case; "text" when the entity has no Content-Type
    std::string sSubtype;  // lower case
    bool Is(std::string_view type, std::string_view subtype) const { return sType == type && sSubtype == subtype; }
    std::string Full() const { return sType + "/" + sSubtype; }
};

// The content type; a child of multipart/digest without one is message/rfc822, any other entity
// without one (or with an unreadable one) text/plain.
MediaInfo TypeOf(mimepp::Entity& entity, bool bDigestChild);
// A parameter of the Content-Type (decoded, UTF-8); empty when absent.
std::string TypeParameter(mimepp::Entity& entity, const char* pszName);
// The disposition type in lower case ("inline", "attachment") and its decoded file name.
std::string DispositionOf(mimepp::Entity& entity, std::string* pFilename);

// The content with its transfer encoding undone. Malformed Base64 or uuencoded data sets *pbDamaged
// and gives what could be decoded.
std::string DecodedContent(mimepp::Entity& entity, bool* pbDamaged);

struct UuBlock {
    std::wstring wsName;
    std::string sData;
};
// Splits plain text into the text outside "begin MODE NAME" ... "end" blocks and the blocks' decoded
// data; false when the text holds no such block. A block without its "end" sets *pbDamaged.
bool SplitUuencoded(std::string_view text, std::string& rest, std::vector<UuBlock>& blocks, bool* pbDamaged);

// A header's value, unfolded, RFC 2047 words and raw 8-bit text decoded, as wide text; the
// first field of that name; empty when absent.
std::wstring HeaderText(mimepp::Headers& headers, const char* pszName);
// A header's value unfolded and trimmed, bytes as they are; the first field of that name.
std::string HeaderRaw(mimepp::Headers& headers, const char* pszName);
// Content-ID or similar without white space and angle brackets.
std::string StripAngles(std::string value);

std::string LowerAscii(std::string_view text);
std::wstring Utf8ToWide(std::string_view utf8);

// A file name fit to store: path separators and control characters replaced, outer blanks and dots cut,
// at most 255 characters.
std::wstring SanitizedFileName(std::wstring name);
// The 8.3 form of a long file name ("REPORT~1.PDF").
std::wstring ShortFileName(const std::wstring& longName);
// ".pdf" of "report.pdf"; empty without an extension.
std::wstring FileExtension(const std::wstring& name);
// The usual extension of a MIME type (".txt" for text/plain), ".dat" for unknown ones.
std::wstring ExtensionOfType(const std::string& mimeType);
// The MIME type of an extension; application/octet-stream for unknown ones.
std::string TypeOfExtension(const std::wstring& extension);

}  // namespace Platform::Mapi::Convert
