#include "Platform/Mime/Coders.h"
#include "Platform/Base/Text.h"

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

}  // namespace

int Base64Encoder::encode(const String& in, String& out) const {
    out.clear();
    if (in.empty())
        return 0;
    const size_t nChars = (in.length() + 2) / 3 * 4;
    const size_t nLine = m_iMaxLineLen > 0 ? static_cast<size_t>(m_iMaxLineLen) : 0;
    out.reserve(nChars + (nLine ? (nChars / nLine + 1) * 2 : 2));
    size_t column = 0;
    auto put = [&](char c) {
        if (nLine && column == nLine) {
            out.append("\r\n", 2);
            column = 0;
        }
        out += c;
        ++column;
    };
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const size_t n = in.length();
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        put(kBase64Alphabet[(v >> 18) & 63]);
        put(kBase64Alphabet[(v >> 12) & 63]);
        put(kBase64Alphabet[(v >> 6) & 63]);
        put(kBase64Alphabet[v & 63]);
    }
    if (i < n) {
        const unsigned v = (p[i] << 16) | (i + 1 < n ? p[i + 1] << 8 : 0);
        put(kBase64Alphabet[(v >> 18) & 63]);
        put(kBase64Alphabet[(v >> 12) & 63]);
        put(i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=');
        put('=');
    }
    if (!m_bSuppressFinalNewline)
        out.append("\r\n", 2);
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

int QuotedPrintableEncoder::encode(const String& in, String& out) const {
    out.clear();
    out.reserve(in.length() + in.length() / 8 + 4);
    const size_t limit = static_cast<size_t>(m_iMaxLineLen < 4 ? 4 : m_iMaxLineLen);
    size_t column = 0;
    const size_t n = in.length();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == '\r' && i + 1 < n && in[i + 1] == '\n') {
            out.append("\r\n", 2);
            column = 0;
            ++i;
            continue;
        }
        // Blanks stay literal unless a line break or the end follows, where transport may strip them.
        const bool bLineEndNext = i + 1 == n || (in[i + 1] == '\r' && i + 2 < n && in[i + 2] == '\n');
        const bool bLiteral = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !bLineEndNext);
        const size_t width = bLiteral ? 1 : 3;
        if (column + width > limit - 1) {
            out.append("=\r\n", 3);
            column = 0;
        }
        if (bLiteral) {
            out += static_cast<char>(c);
        } else {
            out += '=';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        column += width;
    }
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
