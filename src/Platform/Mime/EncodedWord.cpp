#include "Platform/Mime/EncodedWord.h"

#include "Platform/Mime/Coders.h"

#include <vector>

namespace mimepp {

namespace {

constexpr size_t kMaxWord = 75;
constexpr char kHex[] = "0123456789ABCDEF";

// Characters that may stand for themselves in a Q word anywhere a word is allowed (RFC 2047 5.3).
bool IsQSafe(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' || c == '*' ||
           c == '+' || c == '-' || c == '/';
}

// Multi-byte charsets other than UTF-8 whose characters cannot be told apart byte by byte;
// their text is written as one word rather than risk splitting a character.
bool IsOpaqueMultiByte(const String& charset) {
    static const char* const s_prefixes[] = {"shift", "sjis",   "euc",         "gb",    "big5",    "iso-2022", "ks_c",
                                             "hz",    "utf-16", "utf-32",      "ucs",   "unicode", "cp932",    "cp936",
                                             "cp949", "cp950",  "windows-31j", "johab", "utf-7"};
    for (const char* prefix : s_prefixes) {
        if (Strncasecmp(charset, prefix, std::char_traits<char>::length(prefix)) == 0)
            return true;
    }
    return false;
}

bool IsUtf8(const String& charset) {
    return Strcasecmp(charset, "utf-8") == 0 || Strcasecmp(charset, "utf8") == 0;
}

String EncodeQ(const String& bytes) {
    String out;
    for (size_t i = 0; i < bytes.length(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == ' ') {
            out += '_';
        } else if (IsQSafe(c)) {
            out += static_cast<char>(c);
        } else {
            out += '=';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

String EncodeB(const String& bytes) {
    Base64Encoder encoder;
    encoder.setMaxLineLen(0);
    encoder.setSuppressFinalNewline(true);
    String out;
    encoder.encode(bytes, out);
    return out;
}

size_t QWidth(unsigned char c) {
    return (c == ' ' || IsQSafe(c)) ? 1 : 3;
}

String DecodeQ(const String& text) {
    String spaced(text);
    for (size_t i = 0; i < spaced.length(); ++i) {
        if (spaced[i] == '_')
            spaced[i] = ' ';
    }
    String out;
    QuotedPrintableDecoder().decode(spaced, out);
    return out;
}

// Parses "=?charset[*lang]?E?text?=" at pos; on success advances pos past it.
bool ParseOneWord(const String& s, size_t& pos, String& charset, char& encoding, String& decoded) {
    if (s.length() < pos + 8 || s[pos] != '=' || s[pos + 1] != '?')
        return false;
    const size_t q1 = s.find('?', pos + 2);
    if (q1 == String::npos || q1 + 3 >= s.length() || s[q1 + 2] != '?')
        return false;
    const char e = static_cast<char>(s[q1 + 1] & ~0x20);
    if (e != 'B' && e != 'Q')
        return false;
    const size_t end = s.find("?=", q1 + 3);
    if (end == String::npos)
        return false;
    charset = s.substr(pos + 2, q1 - pos - 2);
    const size_t star = charset.find('*');
    if (star != String::npos)
        charset.erase(star);
    encoding = e;
    const String payload = s.substr(q1 + 3, end - q1 - 3);
    if (e == 'B') {
        Base64Decoder().decode(payload, decoded);
    } else {
        decoded = DecodeQ(payload);
    }
    pos = end + 2;
    return true;
}

}  // namespace

EncodedWord::EncodedWord(const String& charset, char encodingType, const String& decodedText)
    : m_sCharset(charset), m_sDecoded(decodedText) {
    m_cEncoding = (encodingType == 'B' || encodingType == 'b') ? 'B' : 'Q';
    m_bModified = true;
}

void EncodedWord::setCharset(const String& charset) {
    m_sCharset = charset;
    setModified();
}

void EncodedWord::setEncodingType(char type) {
    m_cEncoding = (type == 'B' || type == 'b') ? 'B' : 'Q';
    setModified();
}

void EncodedWord::setDecodedText(const String& text) {
    m_sDecoded = text;
    setModified();
}

void EncodedWord::parse() {
    m_sCharset.clear();
    m_sDecoded.clear();
    m_cEncoding = 'Q';
    const String& s = m_string;
    size_t pos = 0;
    while (pos < s.length() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r' || s[pos] == '\n'))
        ++pos;
    String decoded;
    bool bAny = false;
    while (pos < s.length()) {
        String charset;
        char encoding = 'Q';
        String part;
        if (!ParseOneWord(s, pos, charset, encoding, part) || (bAny && Strcasecmp(charset, m_sCharset) != 0)) {
            bAny = false;
            break;
        }
        m_sCharset = charset;
        m_cEncoding = encoding;
        decoded += part;
        bAny = true;
        while (pos < s.length() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r' || s[pos] == '\n'))
            ++pos;
    }
    if (bAny) {
        m_sDecoded = decoded;
    } else {
        m_sCharset.clear();
        m_cEncoding = 'Q';
        m_sDecoded = s;
    }
    m_bModified = false;
}

void EncodedWord::assemble() {
    if (!m_bModified)
        return;
    const String charset = m_sCharset.empty() ? String("utf-8") : m_sCharset;
    const size_t overhead = 7 + charset.length();  // "=?" charset "?E?" ... "?="
    const size_t room = kMaxWord > overhead + 4 ? kMaxWord - overhead : 4;
    const bool bUtf8 = IsUtf8(charset);
    const bool bWhole = IsOpaqueMultiByte(charset);

    std::vector<String> chunks;
    size_t start = 0;
    const size_t n = m_sDecoded.length();
    while (start < n) {
        size_t end = start;
        size_t width = 0;
        while (end < n && !bWhole) {
            // Advance by one character (a UTF-8 sequence or a single byte).
            size_t next = end + 1;
            if (bUtf8) {
                while (next < n && (static_cast<unsigned char>(m_sDecoded[next]) & 0xC0) == 0x80)
                    ++next;
            }
            size_t w = 0;
            if (m_cEncoding == 'B') {
                w = ((next - start) + 2) / 3 * 4 - width;
            } else {
                for (size_t k = end; k < next; ++k)
                    w += QWidth(static_cast<unsigned char>(m_sDecoded[k]));
            }
            if (width + w > room && end > start)
                break;
            width += w;
            end = next;
        }
        if (bWhole)
            end = n;
        chunks.push_back(m_sDecoded.substr(start, end - start));
        start = end;
    }
    if (chunks.empty())
        chunks.emplace_back();

    String out;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (i)
            out += ' ';
        out += "=?";
        out += charset;
        out += m_cEncoding == 'B' ? "?B?" : "?Q?";
        out += m_cEncoding == 'B' ? EncodeB(chunks[i]) : EncodeQ(chunks[i]);
        out += "?=";
    }
    m_string = out;
    m_bModified = false;
}

}  // namespace mimepp
