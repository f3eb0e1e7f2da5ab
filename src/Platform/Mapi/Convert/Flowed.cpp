#include "Platform/Mapi/Convert/Flowed.h"

#include <vector>

namespace Platform::Mapi::Convert {

namespace {

struct Line {
    std::wstring_view text;  // without its line end
    std::wstring_view end;   // "\r\n", "\n" or empty for the last line
};

std::vector<Line> SplitLines(const std::wstring& text) {
    std::vector<Line> lines;
    for (size_t p = 0; p <= text.size();) {
        const size_t nl = text.find(L'\n', p);
        if (nl == std::wstring::npos) {
            if (p < text.size())
                lines.push_back({std::wstring_view(text).substr(p), {}});
            break;
        }
        const size_t cr = nl > p && text[nl - 1] == L'\r' ? 1 : 0;
        lines.push_back(
            {std::wstring_view(text).substr(p, nl - cr - p), std::wstring_view(text).substr(nl - cr, cr + 1)});
        p = nl + 1;
    }
    return lines;
}

size_t QuoteDepth(std::wstring_view line) {
    size_t n = 0;
    while (n < line.size() && line[n] == L'>')
        ++n;
    return n;
}

bool IsSoft(std::wstring_view line) {
    return !line.empty() && line.back() == L' ' && line != L"-- ";
}

}  // namespace

std::wstring Unflowed(const std::wstring& text, bool bDelSp) {
    std::wstring out;
    out.reserve(text.size());
    bool bJoining = false;  // the previous line was soft and this one continues it
    size_t depth = 0;
    const std::vector<Line> lines = SplitLines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::wstring_view line = lines[i].text;
        const size_t lineDepth = QuoteDepth(line);
        std::wstring_view content = line.substr(lineDepth);
        const bool bStuffed = !content.empty() && content[0] == L' ';
        if (bJoining && lineDepth == depth) {
            line = bStuffed ? content.substr(1) : content;
        } else {
            // A new line keeps its quote marks and the space after them; only unquoted lines lose
            // their stuffed space.
            if (lineDepth == 0 && bStuffed)
                line = line.substr(1);
            depth = lineDepth;
        }
        const bool bSoft = IsSoft(lines[i].text.substr(lineDepth)) && i + 1 < lines.size() &&
                           QuoteDepth(lines[i + 1].text) == lineDepth;
        if (bSoft && bDelSp)
            line.remove_suffix(1);
        out += line;
        if (!bSoft)
            out += lines[i].end;
        bJoining = bSoft;
    }
    return out;
}

bool Flowed(const std::wstring& text, size_t ulWidth, std::wstring& out) {
    const std::vector<Line> lines = SplitLines(text);
    bool bLong = false;
    for (const Line& line : lines) {
        if (line.text.find(L'\r') != std::wstring_view::npos || (!line.end.empty() && line.end != L"\r\n") ||
            IsSoft(line.text.substr(QuoteDepth(line.text))))
            return false;
        bLong = bLong || line.text.size() > ulWidth;
    }
    if (!bLong || ulWidth < 2)
        return false;
    std::wstring result;
    result.reserve(text.size() + text.size() / ulWidth * 3);
    // Lines that a reader would take for quoted or stuffed ones get a stuffed space.
    auto put = [&](std::wstring_view piece, bool bContinuation) {
        if ((!piece.empty() && piece[0] == L' ') || piece.starts_with(L"From ") ||
            (bContinuation && !piece.empty() && piece[0] == L'>'))
            result += L' ';
        result += piece;
    };
    for (const Line& line : lines) {
        std::wstring_view rest = line.text;
        // Quoted lines stay whole: their continuations would need the quote marks again.
        bool bContinuation = false;
        while (rest.size() > ulWidth && QuoteDepth(line.text) == 0) {
            // Break after the last space that keeps the piece within the width; a word longer
            // than the width stays whole up to the next space.
            size_t cut = rest.rfind(L' ', ulWidth - 1);
            if (cut == std::wstring_view::npos || cut == 0)
                cut = rest.find(L' ', ulWidth);
            // A piece "-- " would read back as the signature line, which never flows.
            if (cut != std::wstring_view::npos && rest.substr(0, cut + 1) == L"-- ")
                cut = rest.find(L' ', cut + 1);
            if (cut == std::wstring_view::npos || cut + 1 >= rest.size())
                break;
            put(rest.substr(0, cut + 1), bContinuation);
            result += L"\r\n";
            rest.remove_prefix(cut + 1);
            bContinuation = true;
        }
        put(rest, bContinuation);
        result += line.end;
    }
    out = std::move(result);
    return true;
}

}  // namespace Platform::Mapi::Convert
