#include "Util/Text/Strings.h"

#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"

#include <cstring>
#include <cwchar>
#include <type_traits>

namespace Ostrel::Util {

wchar_t* CopyString(const wchar_t* pwsz) {
    if (!pwsz)
        return nullptr;
    const size_t cch = std::wcslen(pwsz) + 1;
    wchar_t* pwszCopy = new wchar_t[cch];
    std::wmemcpy(pwszCopy, pwsz, cch);
    return pwszCopy;
}

char* CopyString(const char* psz) {
    if (!psz)
        return nullptr;
    const size_t cch = std::strlen(psz) + 1;
    char* pszCopy = new char[cch];
    std::memcpy(pszCopy, psz, cch);
    return pszCopy;
}

void SafeDelete(wchar_t*& pwsz) {
    delete[] pwsz;
    pwsz = nullptr;
}

void SafeDelete(const wchar_t*& pwsz) {
    delete[] pwsz;
    pwsz = nullptr;
}

void SafeDelete(char*& psz) {
    delete[] psz;
    psz = nullptr;
}

void SafeDelete(const char*& psz) {
    delete[] psz;
    psz = nullptr;
}

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

template <typename Text>
bool DecodeHex(const Text& text, std::vector<BYTE>& bytes) {
    bytes.clear();
    if (text.size() % 2)
        return false;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        // Cast through the unsigned type so that negative chars and wide values above 0xFF never
        // alias a digit.
        int hi = Platform::HexDigitValue(static_cast<std::make_unsigned_t<typename Text::value_type>>(text[i]));
        int lo = Platform::HexDigitValue(static_cast<std::make_unsigned_t<typename Text::value_type>>(text[i + 1]));
        if (hi < 0 || lo < 0) {
            bytes.clear();
            return false;
        }
        bytes.push_back(static_cast<BYTE>(hi << 4 | lo));
    }
    return true;
}

bool IsReservedInFileName(wchar_t c) {
    return c < 0x20 || c == 0x7F || std::wcschr(L"\\/:*?\"<>|%~", c) != nullptr;
}

// FNV-1a over the UTF-8 bytes: a stable, dependency-free hash for the shortened names.
uint32_t NameHash(std::string_view sText) {
    uint32_t h = 2166136261u;
    for (unsigned char c : sText) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

// White space around tag names, independent of the process locale.
bool IsBlank(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r') || c == 0x00A0 || (c >= 0x2000 && c <= 0x200B) || c == 0x3000 ||
           c == 0xFEFF;
}

constexpr size_t kMaxEscapedBytes = 120;
constexpr size_t kShortenedBytes = 100;

}  // namespace

std::wstring HexEncode(const BYTE* pb, size_t cb) {
    std::wstring wsHex;
    if (!pb)
        return wsHex;
    wsHex.reserve(cb * 2);
    for (size_t i = 0; i < cb; ++i) {
        wsHex += kHexDigits[pb[i] >> 4];
        wsHex += kHexDigits[pb[i] & 0x0F];
    }
    return wsHex;
}

std::wstring HexEncode(const std::vector<BYTE>& bytes) {
    return HexEncode(bytes.data(), bytes.size());
}

bool HexDecode(std::wstring_view wsHex, std::vector<BYTE>& bytes) {
    return DecodeHex(wsHex, bytes);
}

bool HexDecode(std::string_view sHex, std::vector<BYTE>& bytes) {
    return DecodeHex(sHex, bytes);
}

std::wstring EscapeEmailAddress(const wchar_t* pwszName) {
    std::wstring wsOut;
    if (!pwszName)
        return wsOut;
    for (const wchar_t* p = pwszName; *p; ++p) {
        // Surrogates and values beyond U+10FFFF are not characters: escape what ToUtf8 makes of them.
        const bool bValid = static_cast<uint32_t>(*p) <= 0x10FFFF && (*p < 0xD800 || *p > 0xDFFF);
        if (bValid && !IsReservedInFileName(*p)) {
            wsOut += *p;
            continue;
        }
        for (unsigned char c : Platform::ToUtf8(std::wstring_view(p, 1))) {
            wsOut += L'%';
            wsOut += kHexDigits[c >> 4];
            wsOut += kHexDigits[c & 0x0F];
        }
    }

    const std::string sUtf8 = Platform::ToUtf8(wsOut);
    if (sUtf8.size() <= kMaxEscapedBytes)
        return wsOut;
    std::wstring wsShort;
    size_t cbShort = 0;
    for (wchar_t c : wsOut) {
        const size_t cbChar = Platform::ToUtf8(std::wstring_view(&c, 1)).size();
        if (cbShort + cbChar > kShortenedBytes)
            break;
        wsShort += c;
        cbShort += cbChar;
    }
    const uint32_t uHash = NameHash(sUtf8);
    wsShort += L'~';
    for (int shift = 28; shift >= 0; shift -= 4)
        wsShort += kHexDigits[(uHash >> shift) & 0x0F];
    return wsShort;
}

std::vector<std::wstring> TagNameStrToTagNameList(std::wstring_view wsTagNames) {
    std::vector<std::wstring> names;
    size_t start = 0;
    while (start <= wsTagNames.size()) {
        size_t end = wsTagNames.find(L',', start);
        if (end == std::wstring_view::npos)
            end = wsTagNames.size();
        std::wstring_view item = wsTagNames.substr(start, end - start);
        while (!item.empty() && IsBlank(item.front()))
            item.remove_prefix(1);
        while (!item.empty() && IsBlank(item.back()))
            item.remove_suffix(1);
        if (!item.empty())
            names.emplace_back(item);
        start = end + 1;
    }
    return names;
}

std::vector<std::wstring> TagNameStrToTagNameList(const wchar_t* pwszTagNames) {
    if (!pwszTagNames)
        return {};
    return TagNameStrToTagNameList(std::wstring_view(pwszTagNames));
}

}  // namespace Ostrel::Util
