// String helpers of the utility library: owned copies, hex text, file-name-safe mailbox names,
// tag name lists and COM pointer release. Code page conversions are in Util/CodePage.h.
#pragma once

#include "Platform/Base/WinTypes.h"
#include "Util/Text/CodePage.h"

#include <string>
#include <string_view>
#include <vector>

namespace Ostrel::Util {

// An owned copy of a zero-terminated string (null gives null), allocated with new[];
// release it with SafeDelete. Allocation failure throws std::bad_alloc.
wchar_t* CopyString(const wchar_t* pwsz);
char* CopyString(const char* psz);

// Frees a CopyString copy and sets the pointer to null; a null pointer is allowed.
void SafeDelete(wchar_t*& pwsz);
void SafeDelete(const wchar_t*& pwsz);
void SafeDelete(char*& psz);
void SafeDelete(const char*& psz);

// Two upper-case hexadecimal digits per byte.
std::wstring HexEncode(const BYTE* pb, size_t cb);
std::wstring HexEncode(const std::vector<BYTE>& bytes);

// Accepts upper and lower case. An odd number of digits or a character that is not a hex digit
// is an error: false, with the output cleared.
bool HexDecode(std::wstring_view wsHex, std::vector<BYTE>& bytes);
bool HexDecode(std::string_view sHex, std::vector<BYTE>& bytes);

// Makes a mailbox display name (usually an e-mail address) safe to use inside a file name, as the
// id mapper does for its per-mailbox files. Letters, digits and other printable characters stay
// as they are (non-ASCII letters too); control characters, the characters that file systems
// reserve (\ / : * ? " < > |) and the escape characters '%' and '~' become %XX for each of their
// UTF-8 bytes, so that different names never give the same result. A result longer than 120 bytes
// of UTF-8 is cut to 100 bytes (at a character boundary) followed by '~' and 8 hex digits of a hash
// of the whole escaped name, which keeps the file name below the file system's limit. Null gives
// the empty string.
std::wstring EscapeEmailAddress(const wchar_t* pwszName);

// Splits the server's comma-separated tag name text ("tn") into names, in order: each item is
// trimmed of surrounding white space, and empty items (",,", a trailing ",", blanks) are dropped.
// Tag names cannot contain commas on the server, so there is no escape. Null gives an empty list.
std::vector<std::wstring> TagNameStrToTagNameList(const wchar_t* pwszTagNames);
std::vector<std::wstring> TagNameStrToTagNameList(std::wstring_view wsTagNames);

// Releases a COM interface pointer when it is not null and sets it to null.
template <typename T>
void SafeRelease(T*& pUnknown) {
    if (pUnknown) {
        T* p = pUnknown;
        pUnknown = nullptr;
        p->Release();
    }
}

}  // namespace Ostrel::Util
