// Base64 and quoted-printable coders (RFC 2045) over whole strings.
// Encoders write CRLF line breaks. Decoders return 0, or kBadInput when the input was malformed;
// even then the output holds everything that could be decoded, so no data is silently dropped.
#pragma once

#include "Platform/Mime/String.h"

namespace mimepp {

class Base64Encoder {
public:
    // Characters per output line; 0 (or less) writes one unbroken line. Default 76.
    void setMaxLineLen(int length) { m_iMaxLineLen = length; }
    int maxLineLen() const { return m_iMaxLineLen; }
    // Leaves out the line break after the last line.
    void setSuppressFinalNewline(bool bSuppress) { m_bSuppressFinalNewline = bSuppress; }
    bool suppressFinalNewline() const { return m_bSuppressFinalNewline; }

    int encode(const String& in, String& out) const { return encode(in.data(), in.length(), out); }
    int encode(const char* data, size_t length, String& out) const;

private:
    int m_iMaxLineLen = 76;
    bool m_bSuppressFinalNewline = false;
};

class Base64Decoder {
public:
    static constexpr int kBadInput = 1;
    // Line breaks and blanks are skipped. Other characters outside the alphabet, data after the
    // padding, or a dangling final character make the result kBadInput.
    int decode(const String& in, String& out) const;
};

class QuotedPrintableEncoder {
public:
    // Longest output line including the soft-break '='; at least 4. Default 76.
    void setMaxLineLen(int length) { m_iMaxLineLen = length; }
    int maxLineLen() const { return m_iMaxLineLen; }

    // CRLF pairs become line breaks; lone CR and LF bytes are escaped, so decoding gives back
    // exactly the input bytes.
    int encode(const String& in, String& out) const { return encode(in.data(), in.length(), out); }
    int encode(const char* data, size_t length, String& out) const;

private:
    int m_iMaxLineLen = 76;
};

class QuotedPrintableDecoder {
public:
    static constexpr int kBadInput = 1;
    // Soft breaks ("=" at a line end) are removed and "=XX" escapes decoded (either case).
    // An '=' that starts no valid escape is kept as it is and the result is kBadInput.
    int decode(const String& in, String& out) const;
};

}  // namespace mimepp
