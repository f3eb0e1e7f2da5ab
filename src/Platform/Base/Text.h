// Small text helpers every layer shares: one case-folding rule, hex digits, trimming and the
// leading decimal number of a text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Platform {

// Unicode simple case folding: the same result in every locale (the C runtime's towlower folds
// only ASCII in the "C" locale and follows the user's locale otherwise).
wchar_t FoldCase(wchar_t c);
std::wstring FoldCase(std::wstring_view text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

// ASCII letters only, for protocol tokens such as HTTP header names.
bool EqualsNoCaseAscii(std::string_view a, std::string_view b);

// The value of a hexadecimal digit of either case, or -1.
int HexDigitValue(char32_t c);

// Without leading and trailing white space (space, tab, line feed, vertical tab, form feed,
// carriage return).
std::wstring_view Trim(std::wstring_view text);
std::string_view Trim(std::string_view text);

// The leading decimal number of a text as the C runtime's _wtoi reads it: white space, an
// optional sign, digits; 0 when there are none. Out-of-range values saturate at the 32-bit limits.
int32_t ReadLeadingDecimal(std::wstring_view text);

}  // namespace Platform
