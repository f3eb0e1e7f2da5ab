#include "Platform/Mime/Coders.h"
#include "Platform/Base/Text.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace mimepp {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

// Base64 character classes: 0-63 the value, then blanks (skipped), padding, anything else.
constexpr unsigned char kSkip = 64;
constexpr unsigned char kPad = 65;
constexpr unsigned char kBad = 66;

struct Base64Table {
    unsigned char value[256];
    constexpr Base64Table() : value() {
        for (int i = 0; i < 256; ++i)
            value[i] = kBad;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<unsigned char>(i);
        value[static_cast<unsigned char>(' ')] = kSkip;
        value[static_cast<unsigned char>('\t')] = kSkip;
        value[static_cast<unsigned char>('\r')] = kSkip;
        value[static_cast<unsigned char>('\n')] = kSkip;
        value[static_cast<unsigned char>('=')] = kPad;
    }
};

constexpr Base64Table kBase64Table;

// The two characters for each twelve bits.
struct Base64Pairs {
    char value[4096][2];
    constexpr Base64Pairs() : value() {
        for (int i = 0; i < 4096; ++i) {
            value[i][0] = kBase64Alphabet[i >> 6];
            value[i][1] = kBase64Alphabet[i & 63];
        }
    }
};

constexpr Base64Pairs kBase64Pairs;

// Quoted-printable classes: printable characters written as they are, blanks, everything else.
constexpr unsigned char kQpLiteral = 0;
constexpr unsigned char kQpBlank = 1;
constexpr unsigned char kQpOther = 2;

struct QpTable {
    unsigned char value[256];
    constexpr QpTable() : value() {
        for (int i = 0; i < 256; ++i)
            value[i] = (i >= 33 && i <= 126 && i != '=') ? kQpLiteral : kQpOther;
        value[static_cast<unsigned char>(' ')] = kQpBlank;
        value[static_cast<unsigned char>('\t')] = kQpBlank;
    }
};

constexpr QpTable kQpClass;

// Bit 7 of a byte is set where that byte cannot be copied as it is: control bytes (tab included),
// '=', DEL and 8-bit bytes; spaces count as plain. Borrows and carries may flag bytes above a flagged
// one, so only the lowest flagged byte is exact, which is all a scan for the end of a run needs.
uint64_t SpecialBytes(const unsigned char* p) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    const uint64_t below = (x - kOnes * 32) & ~x & kHighs;  // a byte under 32
    const uint64_t above = ((x + kOnes * 1) | x) & kHighs;  // a byte over 126
    const uint64_t e = x ^ (kOnes * '=');
    const uint64_t equals = (e - kOnes) & ~e & kHighs;  // a '='
    return below | above | equals;
}

// Length of the run of bytes from p (at most max) that are printable ASCII or space, except '=',
// copied to out on the way: each block is stored before it is checked, so out needs room for max
// bytes, and bytes after the run may be overwritten. Sixteen bytes at a time as a vector, where a
// lane is all ones for a special byte.
size_t CopyPlainRun(const unsigned char* p, size_t max, char* out) {
    using Bytes = unsigned char __attribute__((vector_size(16)));
    size_t j = 0;
    for (; j + 16 <= max; j += 16) {
        Bytes v;
        std::memcpy(&v, p + j, sizeof v);
        std::memcpy(out + j, &v, sizeof v);
        const auto special = (v < 32) | (v > 126) | (v == '=');
        uint64_t half[2];
        std::memcpy(half, &special, sizeof half);
        if (half[0])
            return j + static_cast<size_t>(std::countr_zero(half[0])) / 8;
        if (half[1])
            return j + 8 + static_cast<size_t>(std::countr_zero(half[1])) / 8;
    }
    for (; j + 8 <= max; j += 8) {
        std::memcpy(out + j, p + j, 8);
        if (const uint64_t special = SpecialBytes(p + j))
            return j + static_cast<size_t>(std::countr_zero(special)) / 8;
    }
    for (; j < max && (p[j] == ' ' || kQpClass.value[p[j]] == kQpLiteral); ++j)
        out[j] = static_cast<char>(p[j]);
    return j;
}

}  // namespace

int Base64Encoder::encode(const char* data, size_t length, String& out) const {
    out.clear();
    if (length == 0)
        return 0;
    const size_t n = length;
    const size_t nChars = (n + 2) / 3 * 4;
    const size_t nLine = m_iMaxLineLen > 0 ? static_cast<size_t>(m_iMaxLineLen) : 0;
    // A line break goes before every character that starts a new full line, none after the last.
    const size_t nBreaks = nLine ? (nChars - 1) / nLine : 0;
    std::string& buf = out.str();
    buf.resize(nChars + nBreaks * 2 + (m_bSuppressFinalNewline ? 0 : 2));
    char* o = buf.data();
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    // The four characters of the group starting at byte i, padded when fewer than three bytes are left.
    auto group = [&](size_t i, char* dst) {
        const size_t left = n - i;
        const unsigned v = (p[i] << 16) | (left > 1 ? p[i + 1] << 8 : 0) | (left > 2 ? p[i + 2] : 0);
        dst[0] = kBase64Alphabet[(v >> 18) & 63];
        dst[1] = kBase64Alphabet[(v >> 12) & 63];
        dst[2] = left > 1 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        dst[3] = left > 2 ? kBase64Alphabet[v & 63] : '=';
    };
    if (nLine % 4 == 0) {
        // Breaks fall between groups: whole groups per line, the complete groups of a line in one
        // run, two characters per table look-up.
        const size_t perLine = nLine / 4;
        const size_t groups = n / 3;
        size_t i = 0;
        size_t onLine = 0;
        for (size_t g = 0; g < groups;) {
            if (onLine == perLine && perLine) {
                *o++ = '\r';
                *o++ = '\n';
                onLine = 0;
            }
            const size_t run = perLine ? std::min(perLine - onLine, groups - g) : groups - g;
            for (size_t k = 0; k < run; ++k, i += 3, o += 4) {
                const unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
                std::memcpy(o, kBase64Pairs.value[v >> 12], 2);
                std::memcpy(o + 2, kBase64Pairs.value[v & 0xfff], 2);
            }
            g += run;
            onLine += run;
        }
        if (i < n) {
            if (onLine == perLine && perLine) {
                *o++ = '\r';
                *o++ = '\n';
            }
            group(i, o);
            o += 4;
        }
    } else {
        size_t column = 0;
        for (size_t i = 0; i < n; i += 3) {
            char chars[4];
            group(i, chars);
            for (char c : chars) {
                if (column == nLine) {
                    *o++ = '\r';
                    *o++ = '\n';
                    column = 0;
                }
                *o++ = c;
                ++column;
            }
        }
    }
    if (!m_bSuppressFinalNewline) {
        *o++ = '\r';
        *o++ = '\n';
    }
    return 0;
}

int Base64Decoder::decode(const String& in, String& out) const {
    std::string& buf = out.str();
    buf.resize(in.length() / 4 * 3 + 3);
    auto* o = reinterpret_cast<unsigned char*>(buf.data());
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const size_t n = in.length();
    const unsigned char* t = kBase64Table.value;
    bool bBad = false;
    bool bPadded = false;
    unsigned acc = 0;
    int pending = 0;  // sextets in acc
    size_t i = 0;
    while (i < n) {
        // Whole groups of four at once while nothing is pending.
        if (pending == 0 && i + 4 <= n) {
            const unsigned a = t[p[i]], b = t[p[i + 1]], c = t[p[i + 2]], d = t[p[i + 3]];
            if ((a | b | c | d) < 64) {
                const unsigned v = (a << 18) | (b << 12) | (c << 6) | d;
                o[0] = static_cast<unsigned char>(v >> 16);
                o[1] = static_cast<unsigned char>(v >> 8);
                o[2] = static_cast<unsigned char>(v);
                o += 3;
                i += 4;
                bBad |= bPadded;
                continue;
            }
        }
        const unsigned v = t[p[i++]];
        if (v < 64) {
            bBad |= bPadded;
            acc = (acc << 6) | v;
            if (++pending == 4) {
                *o++ = static_cast<unsigned char>(acc >> 16);
                *o++ = static_cast<unsigned char>(acc >> 8);
                *o++ = static_cast<unsigned char>(acc);
                acc = 0;
                pending = 0;
            }
        } else if (v == kPad) {
            // Padding ends a group early: keep its whole bytes.
            bPadded = true;
            if (pending == 1)
                bBad = true;
            if (pending >= 2)
                *o++ = static_cast<unsigned char>(acc >> (pending * 6 - 8));
            if (pending == 3)
                *o++ = static_cast<unsigned char>(acc >> 2);
            acc = 0;
            pending = 0;
        } else if (v == kBad) {
            bBad = true;
        }
    }
    if (pending == 1)
        bBad = true;
    if (pending >= 2)
        *o++ = static_cast<unsigned char>(acc >> (pending * 6 - 8));
    if (pending == 3)
        *o++ = static_cast<unsigned char>(acc >> 2);
    buf.resize(static_cast<size_t>(o - reinterpret_cast<unsigned char*>(buf.data())));
    return bBad ? kBadInput : 0;
}

int QuotedPrintableEncoder::encode(const char* data, size_t length, String& out) const {
    // Longest line before the soft-break '='.
    const size_t maxColumn = static_cast<size_t>(m_iMaxLineLen < 4 ? 4 : m_iMaxLineLen) - 1;
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const size_t n = length;
    // Written in place into the string, sized for mostly plain text and grown when escapes need more.
    std::string& buf = out.str();
    buf.clear();
    buf.resize(n + n / 8 + 64);
    size_t o = 0;
    size_t column = 0;
    size_t i = 0;
    while (i < n) {
        // Room for a soft break, an escape or a line break (six bytes), and at least one plain byte.
        if (buf.size() - o < 16)
            buf.resize(buf.size() * 2);
        // A run of bytes written as they are, as far as the line and the buffer have room.
        const size_t room = std::min(maxColumn - column, buf.size() - o - 8);
        size_t run = CopyPlainRun(p + i, std::min(n - i, room), buf.data() + o);
        // A blank just before a line break or the end of the text is escaped: transport may strip it.
        const size_t end = i + run;
        if (run && p[end - 1] == ' ' && (end == n || (p[end] == '\r' && end + 1 < n && p[end + 1] == '\n')))
            --run;
        if (run) {
            o += run;
            column += run;
            i += run;
            if (i == n)
                break;
        }
        char* w = buf.data() + o;
        const unsigned char c = p[i];
        if (c == '\r' && i + 1 < n && p[i + 1] == '\n') {
            w[0] = '\r';
            w[1] = '\n';
            o += 2;
            column = 0;
            i += 2;
            continue;
        }
        const bool bLineEndNext = i + 1 == n || (p[i + 1] == '\r' && i + 2 < n && p[i + 2] == '\n');
        const bool bLiteral = kQpClass.value[c] == kQpLiteral || (kQpClass.value[c] == kQpBlank && !bLineEndNext);
        const size_t width = bLiteral ? 1 : 3;
        if (column + width > maxColumn) {
            std::memcpy(w, "=\r\n", 3);
            w += 3;
            column = 0;
        }
        if (bLiteral) {
            *w++ = static_cast<char>(c);
        } else {
            w[0] = '=';
            w[1] = kHex[c >> 4];
            w[2] = kHex[c & 15];
            w += 3;
        }
        o = static_cast<size_t>(w - buf.data());
        column += width;
        ++i;
    }
    buf.resize(o);
    return 0;
}

int QuotedPrintableDecoder::decode(const String& in, String& out) const {
    out.clear();
    out.reserve(in.length());
    int result = 0;
    const size_t n = in.length();
    for (size_t i = 0; i < n; ++i) {
        const char c = in[i];
        if (c != '=') {
            out += c;
            continue;
        }
        // Soft break: '=' followed by optional blanks and a line end.
        size_t j = i + 1;
        while (j < n && (in[j] == ' ' || in[j] == '\t'))
            ++j;
        if (j < n && (in[j] == '\n' || (in[j] == '\r' && j + 1 < n && in[j + 1] == '\n'))) {
            i = in[j] == '\r' ? j + 1 : j;
            continue;
        }
        if (j == n) {  // '=' (and blanks) ending the text: a soft break without its line end
            i = n;
            continue;
        }
        const int hi = i + 1 < n ? Platform::HexDigitValue(static_cast<unsigned char>(in[i + 1])) : -1;
        const int lo = i + 2 < n ? Platform::HexDigitValue(static_cast<unsigned char>(in[i + 2])) : -1;
        if (hi >= 0 && lo >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += '=';
            result = kBadInput;
        }
    }
    return result;
}

}  // namespace mimepp
