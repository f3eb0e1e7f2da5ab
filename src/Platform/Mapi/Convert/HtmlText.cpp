#include "Platform/Mapi/Convert/HtmlText.h"

#include <cctype>
#include <cwctype>

namespace Platform::Mapi::Convert {

namespace {

struct NamedEntity {
    const wchar_t* pwszName;
    wchar_t wc;
};

constexpr NamedEntity kEntities[] = {
    {L"amp", L'&'},      {L"lt", L'<'},      {L"gt", L'>'},       {L"quot", L'"'},     {L"apos", L'\''},
    {L"nbsp", 0x00A0},   {L"copy", 0x00A9},  {L"reg", 0x00AE},    {L"euro", 0x20AC},   {L"hellip", 0x2026},
    {L"mdash", 0x2014},  {L"ndash", 0x2013}, {L"lsquo", 0x2018},  {L"rsquo", 0x2019},  {L"ldquo", 0x201C},
    {L"rdquo", 0x201D},  {L"laquo", 0x00AB}, {L"raquo", 0x00BB},  {L"bull", 0x2022},   {L"middot", 0x00B7},
    {L"auml", 0x00E4},   {L"ouml", 0x00F6},  {L"uuml", 0x00FC},   {L"Auml", 0x00C4},   {L"Ouml", 0x00D6},
    {L"Uuml", 0x00DC},   {L"szlig", 0x00DF}, {L"eacute", 0x00E9}, {L"egrave", 0x00E8}, {L"agrave", 0x00E0},
    {L"ccedil", 0x00E7}, {L"trade", 0x2122},
};

bool IsBlockTag(std::wstring_view name) {
    static constexpr const wchar_t* kBlock[] = {L"br", L"p",  L"div",        L"tr", L"li", L"h1",
                                                L"h2", L"h3", L"h4",         L"h5", L"h6", L"table",
                                                L"ul", L"ol", L"blockquote", L"hr", L"pre"};
    for (const wchar_t* b : kBlock)
        if (name == b)
            return true;
    return false;
}

bool IsSkippedTag(std::wstring_view name) {
    return name == L"script" || name == L"style" || name == L"head" || name == L"title";
}

std::wstring TagName(std::wstring_view tag) {
    size_t i = 0;
    if (i < tag.size() && tag[i] == L'/')
        ++i;
    std::wstring name;
    while (i < tag.size() && (std::iswalnum(tag[i])))
        name += static_cast<wchar_t>(std::towlower(tag[i++]));
    return name;
}

// Decodes the entity at html[i] ('&'); returns the characters consumed (0 when it is none).
size_t Entity(std::wstring_view html, size_t i, std::wstring& out) {
    size_t semi = html.find(L';', i);
    if (semi == std::wstring_view::npos || semi - i > 10)
        return 0;
    std::wstring_view name = html.substr(i + 1, semi - i - 1);
    if (name.size() > 1 && name[0] == L'#') {
        unsigned long v = 0;
        bool bHex = name[1] == L'x' || name[1] == L'X';
        for (size_t k = bHex ? 2 : 1; k < name.size(); ++k) {
            wchar_t c = name[k];
            int d = (c >= L'0' && c <= L'9')         ? c - L'0'
                    : bHex && c >= L'a' && c <= L'f' ? c - L'a' + 10
                    : bHex && c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                     : -1;
            if (d < 0 || v > 0x10FFFF)
                return 0;
            v = v * (bHex ? 16 : 10) + static_cast<unsigned long>(d);
        }
        if (v == 0 || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
            v = 0xFFFD;
        out += static_cast<wchar_t>(v);
        return semi - i + 1;
    }
    for (const NamedEntity& e : kEntities) {
        if (name == e.pwszName) {
            out += e.wc;
            return semi - i + 1;
        }
    }
    return 0;
}

void AppendText(std::wstring& out, wchar_t c, bool& bSpace) {
    if (c == L'\r' || c == L'\n' || c == L'\t' || c == L' ') {
        bSpace = true;
        return;
    }
    if (bSpace && !out.empty() && out.back() != L'\n')
        out += L' ';
    bSpace = false;
    out += c;
}

void LineBreak(std::wstring& out, bool& bSpace) {
    while (!out.empty() && out.back() == L' ')
        out.pop_back();
    out += L"\r\n";
    bSpace = false;
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

std::wstring HtmlToText(std::wstring_view html) {
    std::wstring out;
    bool bSpace = false;
    std::wstring skipUntil;  // the closing tag that ends skipped content
    for (size_t i = 0; i < html.size();) {
        wchar_t c = html[i];
        if (c == L'<') {
            if (html.compare(i, 4, L"<!--") == 0) {
                size_t end = html.find(L"-->", i + 4);
                i = end == std::wstring_view::npos ? html.size() : end + 3;
                continue;
            }
            size_t end = html.find(L'>', i);
            if (end == std::wstring_view::npos)
                break;
            std::wstring_view tag = html.substr(i + 1, end - i - 1);
            std::wstring name = TagName(tag);
            bool bClosing = !tag.empty() && tag[0] == L'/';
            i = end + 1;
            if (!skipUntil.empty()) {
                if (bClosing && name == skipUntil)
                    skipUntil.clear();
                continue;
            }
            if (!bClosing && IsSkippedTag(name) && (tag.empty() || tag.back() != L'/')) {
                skipUntil = name;
                continue;
            }
            if (IsBlockTag(name) && (name == L"br" || !out.empty()))
                LineBreak(out, bSpace);
            continue;
        }
        if (!skipUntil.empty()) {
            ++i;
            continue;
        }
        if (c == L'&') {
            std::wstring decoded;
            if (size_t n = Entity(html, i, decoded)) {
                for (wchar_t d : decoded)
                    AppendText(out, d == 0x00A0 ? L' ' : d, bSpace);
                i += n;
                continue;
            }
        }
        AppendText(out, c, bSpace);
        ++i;
    }
    while (!out.empty() && (out.back() == L' ' || out.back() == L'\n' || out.back() == L'\r'))
        out.pop_back();
    size_t start = 0;
    while (start < out.size() && (out[start] == L'\r' || out[start] == L'\n'))
        ++start;
    return out.substr(start);
}

namespace {

// Where the charset name of the first <meta> that declares one lies in the HTML bytes.
bool MetaCharsetAt(std::string_view html, size_t& start, size_t& end) {
    const std::string lower = LowerAscii(html.substr(0, 4096));
    for (size_t p = lower.find("<meta"); p != std::string::npos; p = lower.find("<meta", p + 5)) {
        const size_t close = lower.find('>', p);
        if (close == std::string::npos)
            break;
        size_t c = lower.find("charset=", p);
        if (c == std::string::npos || c > close)
            continue;
        c += 8;
        while (c < close && (lower[c] == '"' || lower[c] == '\'' || lower[c] == ' '))
            ++c;
        size_t e = c;
        while (e < close && (std::isalnum(static_cast<unsigned char>(lower[e])) || lower[e] == '-' || lower[e] == '_'))
            ++e;
        if (e > c) {
            start = c;
            end = e;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string HtmlMetaCharset(std::string_view html) {
    size_t start = 0;
    size_t end = 0;
    return MetaCharsetAt(html, start, end) ? LowerAscii(html.substr(start, end - start)) : std::string();
}

std::string HtmlWithMetaCharset(std::string html, std::string_view charset) {
    size_t start = 0;
    size_t end = 0;
    if (MetaCharsetAt(html, start, end))
        html.replace(start, end - start, charset);
    return html;
}

bool HtmlRefersTo(std::string_view html, std::string_view contentId, std::string_view location) {
    if (!contentId.empty()) {
        std::string ref = "cid:" + std::string(contentId);
        if (html.find(ref) != std::string_view::npos)
            return true;
    }
    return !location.empty() && html.find(location) != std::string_view::npos;
}

namespace {

// Position of the needle in the haystack, ASCII letters compared without case; npos when absent.
size_t FindNoCase(std::wstring_view hay, std::wstring_view needle, bool bLast) {
    auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    size_t found = std::wstring_view::npos;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && lower(hay[i + k]) == needle[k])
            ++k;
        if (k == needle.size()) {
            found = i;
            if (!bLast)
                break;
        }
    }
    return found;
}

}  // namespace

std::wstring HtmlOfText(std::wstring_view text) {
    std::wstring out = L"<div>";
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'&')
            out += L"&amp;";
        else if (c == L'<')
            out += L"&lt;";
        else if (c == L'>')
            out += L"&gt;";
        else if (c == L'\n')
            out += L"<br>\r\n";
        else if (c != L'\r')
            out += c;
    }
    return out + L"</div>";
}

std::wstring_view HtmlBodyContent(std::wstring_view html) {
    const size_t open = FindNoCase(html, L"<body", false);
    const size_t start = open == std::wstring_view::npos ? std::wstring_view::npos : html.find(L'>', open);
    if (start == std::wstring_view::npos)
        return html;
    const size_t end = FindNoCase(html.substr(start + 1), L"</body", true);
    return html.substr(start + 1, end == std::wstring_view::npos ? std::wstring_view::npos : end);
}

std::wstring HtmlWithAppended(std::wstring html, std::wstring_view fragment) {
    const size_t close = FindNoCase(html, L"</body", true);
    html.insert(close == std::wstring::npos ? html.size() : close, fragment);
    return html;
}

}  // namespace Platform::Mapi::Convert
