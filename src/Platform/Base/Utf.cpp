#include "Platform/Base/Utf.h"

#include <cstring>

namespace Platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

void Flag(bool* pbInvalid) {
    if (pbInvalid)
        *pbInvalid = true;
}

void Reset(bool* pbInvalid) {
    if (pbInvalid)
        *pbInvalid = false;
}

// Decodes one code point at text[i], advancing i; malformed input yields U+FFFD and consumes one byte.
char32_t DecodeUtf8(std::string_view text, size_t& i, bool& bad) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    int length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        bad = true;
        return kReplacement;
    }
    if (i + length > text.size()) {
        ++i;
        bad = true;
        return kReplacement;
    }
    for (int k = 1; k < length; ++k) {
        unsigned char next = byte(i + k);
        if ((next & 0xC0) != 0x80) {
            ++i;
            bad = true;
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || !IsScalar(c)) {
        ++i;
        bad = true;
        return kReplacement;
    }
    i += length;
    return c;
}

template <typename Units>
std::wstring DecodeUtf16(const Units& units, size_t count, bool* pbInvalid) {
    std::wstring out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        char32_t c = units(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units(i + 1) >= 0xDC00 && units(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units(i + 1) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
            Flag(pbInvalid);
        }
        out += static_cast<wchar_t>(c);
    }
    return out;
}

// Plain ASCII is tested and copied eight characters at a time.
constexpr size_t kBlock = 8;

bool IsAsciiBlock(const wchar_t* p) {
    char32_t bits = 0;
    for (size_t k = 0; k < kBlock; ++k)
        bits |= static_cast<char32_t>(p[k]);
    return bits < 0x80;
}

bool IsAsciiBlock(const char* p) {
    uint64_t bits = 0;
    std::memcpy(&bits, p, sizeof bits);
    return (bits & 0x8080808080808080ull) == 0;
}

}  // namespace

// The converters below size their output once and write through a pointer: appending one
// character at a time costs a capacity check per character, which dominates on long bodies.

std::string ToUtf8(std::wstring_view text, bool* pbInvalid) {
    Reset(pbInvalid);
    const wchar_t* const src = text.data();
    const size_t n = text.size();
    size_t length = 0;
    bool bInvalid = false;
    for (size_t i = 0; i < n;) {
        if (i + kBlock <= n && IsAsciiBlock(src + i)) {
            length += kBlock;
            i += kBlock;
            continue;
        }
        const char32_t c = static_cast<char32_t>(src[i++]);
        if (c < 0x80) {
            length += 1;
        } else if (c < 0x800) {
            length += 2;
        } else if (!IsScalar(c)) {
            length += 3;  // U+FFFD
            bInvalid = true;
        } else {
            length += c < 0x10000 ? 3 : 4;
        }
    }
    std::string out(length, '\0');
    char* p = out.data();
    for (size_t i = 0; i < n;) {
        if (i + kBlock <= n && IsAsciiBlock(src + i)) {
            for (size_t k = 0; k < kBlock; ++k)
                p[k] = static_cast<char>(src[i + k]);
            p += kBlock;
            i += kBlock;
            continue;
        }
        char32_t c = static_cast<char32_t>(src[i++]);
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
            continue;
        }
        if (!IsScalar(c))
            c = kReplacement;
        if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    if (bInvalid)
        Flag(pbInvalid);
    return out;
}

std::wstring FromUtf8(std::string_view text, bool* pbInvalid) {
    Reset(pbInvalid);
    // Never more characters than bytes.
    std::wstring out(text.size(), L'\0');
    wchar_t* p = out.data();
    bool bad = false;
    for (size_t i = 0; i < text.size();) {
        if (i + kBlock <= text.size() && IsAsciiBlock(text.data() + i)) {
            for (size_t k = 0; k < kBlock; ++k)
                p[k] = static_cast<wchar_t>(static_cast<unsigned char>(text[i + k]));
            p += kBlock;
            i += kBlock;
            continue;
        }
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            *p++ = static_cast<wchar_t>(b);
            ++i;
        } else {
            *p++ = static_cast<wchar_t>(DecodeUtf8(text, i, bad));
        }
    }
    out.resize(static_cast<size_t>(p - out.data()));
    if (bad)
        Flag(pbInvalid);
    return out;
}

std::u16string ToUtf16(std::wstring_view text, bool* pbInvalid) {
    Reset(pbInvalid);
    size_t length = text.size();
    for (wchar_t w : text) {
        const char32_t c = static_cast<char32_t>(w);
        if (c >= 0x10000 && c <= 0x10FFFF)
            ++length;
    }
    std::u16string out(length, u'\0');
    char16_t* p = out.data();
    bool bInvalid = false;
    for (wchar_t w : text) {
        char32_t c = static_cast<char32_t>(w);
        if (c < 0xD800) {
            *p++ = static_cast<char16_t>(c);
            continue;
        }
        if (!IsScalar(c)) {
            c = kReplacement;
            bInvalid = true;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            *p++ = static_cast<char16_t>(0xD800 + (c >> 10));
            *p++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *p++ = static_cast<char16_t>(c);
        }
    }
    if (bInvalid)
        Flag(pbInvalid);
    return out;
}

std::wstring FromUtf16(std::u16string_view text, bool* pbInvalid) {
    Reset(pbInvalid);
    return DecodeUtf16([&](size_t i) { return static_cast<char32_t>(text[i]); }, text.size(), pbInvalid);
}

std::string ToUtf16LEBytes(std::wstring_view text) {
    std::u16string units = ToUtf16(text);
    std::string out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

std::wstring FromUtf16LEBytes(std::string_view bytes, bool* pbInvalid) {
    Reset(pbInvalid);
    const size_t count = bytes.size() / 2;
    std::wstring out = DecodeUtf16(
        [&](size_t i) {
            return static_cast<char32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
        },
        count, pbInvalid);
    if (bytes.size() % 2)
        Flag(pbInvalid);
    return out;
}

}  // namespace Platform
