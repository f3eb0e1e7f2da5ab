#include "Platform/Mime/Coders.h"
#include "Platform/Base/Text.h"

#include <algorithm>
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

// True when the eight bytes are all written as they are: printable ASCII or space, no '=', and no
// blank last (whether that one stays depends on what follows). Tested a word at a time.
bool IsPlainBlock(const unsigned char* p) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    const uint64_t below = (x - kOnes * 32) & ~x & kHighs;  // a byte under 32
    const uint64_t above = ((x + kOnes * 1) | x) & kHighs;  // a byte over 126
    const uint64_t e = x ^ (kOnes * '=');
    const uint64_t equals = (e - kOnes) & ~e & kHighs;  // a '='
    return !(below | above | equals) && p[7] != ' ';
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
        // Breaks fall between groups: whole groups per line.
        const size_t perLine = nLine / 4;
        size_t onLine = 0;
        for (size_t i = 0; i < n; i += 3) {
            if (onLine == perLine && perLine) {
                *o++ = '\r';
                *o++ = '\n';
                onLine = 0;
            }
            group(i, o);
            o += 4;
            ++onLine;
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
    out.clear();
    std::string& o = out.str();
    o.reserve(length + length / 8 + 4);
    // Longest line before the soft-break '='.
    const size_t maxColumn = static_cast<size_t>(m_iMaxLineLen < 4 ? 4 : m_iMaxLineLen) - 1;
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const size_t n = length;
    // Output is gathered in a small buffer and appended to the string in blocks.
    char buf[4096];
    size_t b = 0;
    size_t column = 0;
    size_t i = 0;
    while (i < n) {
        if (sizeof buf - b < 32) {
            o.append(buf, b);
            b = 0;
        }
        // A run of characters written as they are, as far as the line has room and the buffer space;
        // whatever ends the run goes through the full rules below.
        const size_t runEnd = std::min(n, i + std::min(maxColumn - column, sizeof buf - 16 - b));
        size_t j = i;
        while (j + 8 <= runEnd && IsPlainBlock(p + j))
            j += 8;
        while (j < runEnd) {
            const unsigned char k = kQpClass.value[p[j]];
            if (k == kQpLiteral ||
                (k == kQpBlank && j + 1 < n && !(p[j + 1] == '\r' && j + 2 < n && p[j + 2] == '\n'))) {
                ++j;
                continue;
            }
            break;
        }
        if (j > i) {
            std::memcpy(buf + b, p + i, j - i);
            b += j - i;
            column += j - i;
            i = j;
            if (i == n)
                break;
            if (sizeof buf - b < 32) {
                o.append(buf, b);
                b = 0;
            }
        }
        const unsigned char c = p[i];
        if (c == '\r' && i + 1 < n && p[i + 1] == '\n') {
            buf[b++] = '\r';
            buf[b++] = '\n';
            column = 0;
            i += 2;
            continue;
        }
        // Blanks stay literal unless a line break or the end follows, where transport may strip them.
        const bool bLineEndNext = i + 1 == n || (p[i + 1] == '\r' && i + 2 < n && p[i + 2] == '\n');
        const bool bLiteral = kQpClass.value[c] == kQpLiteral || (kQpClass.value[c] == kQpBlank && !bLineEndNext);
        const size_t width = bLiteral ? 1 : 3;
        if (column + width > maxColumn) {
            std::memcpy(buf + b, "=\r\n", 3);
            b += 3;
            column = 0;
        }
        if (bLiteral) {
            buf[b++] = static_cast<char>(c);
        } else {
            buf[b++] = '=';
            buf[b++] = kHex[c >> 4];
            buf[b++] = kHex[c & 15];
        }
        column += width;
        ++i;
    }
    o.append(buf, b);
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
