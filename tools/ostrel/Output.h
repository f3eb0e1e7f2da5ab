// Output that pipes well: tab-separated fields that never break a line, JSON strings, sizes and
// rates for people.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace OstrelCli {

// A field of a tab-separated line: tab, newline and other control characters escaped (\t, \n,
// \xNN); backslashes stay as they are, so that paths read naturally.
std::string TsvField(std::string_view utf8);
std::string TsvField(const std::wstring& text);
// A JSON string literal with its quotes; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view utf8);
std::string JsonString(const std::wstring& text);

// "512 B", "1.50 KiB", "23.4 MiB" (powers of 1024, named as such).
std::string HumanBytes(uint64_t bytes);
// "0.42 s", "3.1 s", "2 min 5 s".
std::string HumanSeconds(double seconds);

}  // namespace OstrelCli
