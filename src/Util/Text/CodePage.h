// Conversions between wide text and 8-bit text in a Windows code page, through ICU converters.
//
// Code page numbers are the Windows ones because they arrive from stored items and MIME headers.
// Supported: CP_ACP (0), CP_OEMCP (1) and CP_THREAD_ACP (3), all meaning UTF-8 here; UTF-7 (65000),
// UTF-8 (65001); 874, 1250-1258; ISO-8859-x (28591-28605); US-ASCII (20127); 932, 936, 949, 950,
// 54936 (GB18030); 50220 (ISO-2022-JP), 50225 (ISO-2022-KR), 51932 (EUC-JP), 51949 (EUC-KR),
// 52936 (HZ); 20866 (KOI8-R), 21866 (KOI8-U); 10000 (Mac Roman).
//
// Bad input never fails a conversion: an invalid or truncated byte sequence becomes U+FFFD, a
// character the code page cannot hold becomes '?' (no best-fit look-alikes, so nothing is silently
// turned into a different character), and invalid wide values (surrogates, beyond U+10FFFF) are
// treated as unmappable. The optional pbLossy flag reports that any of this happened.
#pragma once

#include "Platform/Base/WinTypes.h"

#include <string>
#include <string_view>

namespace Ostrel::Util {

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF7 = 65000;
constexpr UINT CP_UTF8 = 65001;

// True when the code page number has a converter.
bool IsSupportedCodePage(UINT uiCodePage);

// The ICU converter name used for a code page, or null when it is not supported.
const char* CodePageConverterName(UINT uiCodePage);

// Zero-terminated forms. Null input or an unsupported code page gives null. The result is
// allocated and must be released with FreeConvertedString.
char* UnicodeToAnsii(const wchar_t* pwsz, UINT uiCodePage = CP_ACP, bool* pbLossy = nullptr);
wchar_t* AnsiiToUnicode(const char* psz, UINT uiCodePage = CP_ACP, bool* pbLossy = nullptr);
void FreeConvertedString(char* psz);
void FreeConvertedString(wchar_t* pwsz);

// Counted forms (embedded zero characters are converted like any other). False only for an
// unsupported code page, with the output cleared.
bool UnicodeToAnsii(std::wstring_view wsIn, UINT uiCodePage, std::string& sOut, bool* pbLossy = nullptr);
bool AnsiiToUnicode(std::string_view sIn, UINT uiCodePage, std::wstring& wsOut, bool* pbLossy = nullptr);

}  // namespace Ostrel::Util
