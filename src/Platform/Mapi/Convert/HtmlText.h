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
// The HTML bytes with the charset its <meta> element declares replaced (unchanged without one).
std::string HtmlWithMetaCharset(std::string html, std::string_view charset);

// True when the HTML refers to the content id ("cid:ID") or the location.
bool HtmlRefersTo(std::string_view html, std::string_view contentId, std::string_view location);

// Plain text as HTML: special characters escaped, line breaks as <br>, in a <div>.
std::wstring HtmlOfText(std::wstring_view text);

// What lies between <body ...> and </body>; the whole text when it has no body element.
std::wstring_view HtmlBodyContent(std::wstring_view html);

// The HTML with the fragment put just before its </body> (at the end without one).
std::wstring HtmlWithAppended(std::wstring html, std::wstring_view fragment);

}  // namespace Platform::Mapi::Convert
