#include "Platform/Base/Text.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <climits>

namespace Platform {

namespace {

template <typename Char>
bool IsBlank(Char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

template <typename View>
View TrimView(View text) {
    size_t start = 0, end = text.size();
    while (start < end && IsBlank(text[start]))
        ++start;
    while (end > start && IsBlank(text[end - 1]))
        --end;
    return text.substr(start, end - start);
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

wchar_t FoldCase(wchar_t c) {
    // wchar_t holds whole code points here; values ICU does not know are left alone.
    if (c < 0 || static_cast<uint32_t>(c) > 0x10FFFF)
        return c;
    return static_cast<wchar_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

std::wstring FoldCase(std::wstring_view text) {
    std::wstring folded(text);
    for (wchar_t& c : folded)
        c = FoldCase(c);
    return folded;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return FoldCase(x) == FoldCase(y); });
}

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

int HexDigitValue(char32_t c) {
    if (c >= U'0' && c <= U'9')
        return static_cast<int>(c - U'0');
    if (c >= U'a' && c <= U'f')
        return static_cast<int>(c - U'a' + 10);
    if (c >= U'A' && c <= U'F')
        return static_cast<int>(c - U'A' + 10);
    return -1;
}

std::wstring_view Trim(std::wstring_view text) {
    return TrimView(text);
}

std::string_view Trim(std::string_view text) {
    return TrimView(text);
}

int32_t ReadLeadingDecimal(std::wstring_view text) {
    size_t pos = 0;
    while (pos < text.size() && IsBlank(text[pos]))
        ++pos;
    const bool bNegative = pos < text.size() && text[pos] == L'-';
    if (pos < text.size() && (text[pos] == L'-' || text[pos] == L'+'))
        ++pos;
    // Counting stops growing one past INT_MAX, so that -2147483648 still reads exactly.
    int64_t value = 0;
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos)
        value = std::min<int64_t>(value * 10 + (text[pos] - L'0'), static_cast<int64_t>(INT_MAX) + 1);
    if (bNegative)
        value = -value;
    return static_cast<int32_t>(std::min<int64_t>(value, INT_MAX));
}

}  // namespace Platform
