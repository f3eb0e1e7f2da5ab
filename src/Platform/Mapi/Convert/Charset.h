// Charsets of MIME text and the Windows code pages that MAPI stores for them (PR_INTERNET_CPID),
// decoding into wide text with ICU and encoding back.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Platform::Mapi::Convert {

// The code page of a charset name (any case, common aliases); 0 when unknown.
ULONG CodePageOfCharset(std::string_view charset);
// The preferred MIME name of a code page; empty when unknown.
std::string CharsetOfCodePage(ULONG ulCodePage);

struct DecodedText {
    std::wstring wsText;
    std::string sCharset;    // the charset that decoded the bytes (lower case)
    bool bFellBack = false;  // the declared charset was unknown or did not fit the bytes
};

// Decodes bytes declared as `charset`. An unknown charset, or bytes the charset cannot read (a
// "us-ascii" text with 8-bit bytes, broken UTF-8), fall back to UTF-8 when the bytes are valid
// UTF-8, else windows-1252, else ISO-8859-1, which reads every byte: no byte is ever lost.
DecodedText DecodeText(std::string_view bytes, std::string_view charset);

// Encodes wide text in the charset; false when the charset is unknown or cannot hold every character.
bool EncodeText(std::wstring_view text, std::string_view charset, std::string& out);

}  // namespace Platform::Mapi::Convert
