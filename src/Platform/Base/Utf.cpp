#include "Platform/Base/Utf.h"

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

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
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

}  // namespace

std::string ToUtf8(std::wstring_view text, bool* pbInvalid) {
    Reset(pbInvalid);
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        char32_t c = static_cast<char32_t>(w);
        if (!IsScalar(c)) {
            c = kReplacement;
            Flag(pbInvalid);
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::wstring FromUtf8(std::string_view text, bool* pbInvalid) {
    Reset(pbInvalid);
    std::wstring out;
    out.reserve(text.size());
    bool bad = false;
    for (size_t i = 0; i < text.size();)
        out += static_cast<wchar_t>(DecodeUtf8(text, i, bad));
    if (bad)
        Flag(pbInvalid);
    return out;
}

std::u16string ToUtf16(std::wstring_view text, bool* pbInvalid) {
    Reset(pbInvalid);
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        char32_t c = static_cast<char32_t>(w);
        if (!IsScalar(c)) {
            c = kReplacement;
            Flag(pbInvalid);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
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
