// Plain text with soft line breaks (text/plain; format=flowed): reading undoes them, writing wraps
// long lines with them so that a reader can join the lines again.
#pragma once

#include <string>

namespace Platform::Mapi::Convert {

// The text with its soft line breaks undone: a line ending in a space (other than the "-- "
// signature line) joins the next one of the same quote depth, whose quote marks and stuffed space
// are dropped; bDelSp also drops the space before the break. Stuffed spaces of unquoted lines go.
std::wstring Unflowed(const std::wstring& text, bool bDelSp);

// Wraps lines longer than ulWidth at spaces into flowed lines (format=flowed, DelSp=no). False when
// the text cannot go out flowed without changing what a reader gets back (a line ends in a space,
// a bare CR or LF) or needs no wrapping; out is then untouched.
bool Flowed(const std::wstring& text, size_t ulWidth, std::wstring& out);

}  // namespace Platform::Mapi::Convert
