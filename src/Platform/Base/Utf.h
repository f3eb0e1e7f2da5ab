// Conversions between wide text (wchar_t, 32-bit here), UTF-8 and UTF-16LE.
// Invalid input (bad UTF-8 sequences, lone surrogates, values above U+10FFFF) becomes U+FFFD,
// and the optional flag reports that it happened.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Platform {

std::string ToUtf8(std::wstring_view text, bool* pbInvalid = nullptr);
std::wstring FromUtf8(std::string_view text, bool* pbInvalid = nullptr);

std::u16string ToUtf16(std::wstring_view text, bool* pbInvalid = nullptr);
std::wstring FromUtf16(std::u16string_view text, bool* pbInvalid = nullptr);

// UTF-16LE as stored bytes (no terminator added); an odd trailing byte counts as invalid.
std::string ToUtf16LEBytes(std::wstring_view text);
std::wstring FromUtf16LEBytes(std::string_view bytes, bool* pbInvalid = nullptr);

}  // namespace Platform
