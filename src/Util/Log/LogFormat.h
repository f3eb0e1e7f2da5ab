// printf-style formatting with the Windows conventions the system's format strings are written in.
//
// In a wide format %s and %c take a wide string / character, %S and %C a narrow one; in a narrow
// format it is the other way round. %hs/%hc are always narrow, %ls/%lc/%ws/%wc always wide.
// Narrow text is taken as UTF-8. A null string prints "(null)".
// Integers: %d %i %u %x %X %o with h, hh, l (32-bit, as Windows' long), ll, I64, I32, I, z, j, t;
// use %lld, %I64d or %zu for 64-bit values. Floating point: %f %F %e %E %g %G %a %A.
// %p prints the pointer as 16 upper-case hex digits. %n writes nothing. Flags - + space # 0,
// width and precision (also as *) work as in printf; a string's precision bounds how much of it is
// read, so unterminated buffers may be printed with %.*s.
#pragma once

#include <cstdarg>
#include <string>

namespace Ostrel::Util {

std::wstring VFormatW(const wchar_t* pwszFormat, va_list args);
std::wstring FormatW(const wchar_t* pwszFormat, ...);

// A narrow format producing wide text (the narrow literal text is UTF-8).
std::wstring VFormatW(const char* pszFormat, va_list args);

// A narrow format producing narrow text: narrow arguments are copied byte for byte,
// wide arguments are written as UTF-8.
std::string VFormatA(const char* pszFormat, va_list args);
std::string FormatA(const char* pszFormat, ...);

}  // namespace Ostrel::Util
