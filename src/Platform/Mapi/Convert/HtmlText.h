// Plain text from HTML (the text body that goes beside an HTML body) and HTML helpers.
#pragma once

#include <string>
#include <string_view>

namespace Platform::Mapi::Convert {

// The readable text of an HTML document: tags dropped, script, style and head content skipped,
// entities decoded, blanks collapsed, block elements and <br> as CRLF line breaks.
std::wstring HtmlToText(std::wstring_view html);

// The charset a <meta> element of the HTML bytes declares; empty when none does.
std::string HtmlMetaCharset(std::string_view html);

// True when the HTML refers to the content id ("cid:ID") or the location.
bool HtmlRefersTo(std::string_view html, std::string_view contentId, std::string_view location);

}  // namespace Platform::Mapi::Convert
