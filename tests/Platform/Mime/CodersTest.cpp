// Base64, quoted-printable and RFC 2047 words: exact round trips, line lengths, final newline,
// and what happens to malformed input.
#include "Platform/Mime/Coders.h"
#include "Platform/Mime/EncodedWord.h"

#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

using namespace mimepp;

namespace {

String RandomBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    String out;
    for (size_t i = 0; i < n; ++i)
        out += static_cast<char>(random() & 0xff);
    return out;
}

// Lengths of the lines of a CRLF text; false when a line ends in a bare LF.
bool LineLengths(const String& text, std::vector<size_t>& lengths) {
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != String::npos; start = nl + 1) {
        if (nl == start || text[nl - 1] != '\r')
            return false;
        lengths.push_back(nl - 1 - start);
    }
    if (start < text.length())
        lengths.push_back(text.length() - start);
    return true;
}

}  // namespace

TEST(MimeCoders, Base64RoundTripsWithEveryLineLength) {
    for (int maxLine : {0, 4, 10, 64, 76, 100}) {
        for (bool bSuppress : {false, true}) {
            for (size_t n : {0u, 1u, 2u, 3u, 57u, 58u, 200u, 1000u}) {
                SCOPED_TRACE(testing::Message() << "line " << maxLine << " suppress " << bSuppress << " n " << n);
                const String data = RandomBytes(n, static_cast<unsigned>(n * 31 + maxLine));
                Base64Encoder encoder;
                encoder.setMaxLineLen(maxLine);
                encoder.setSuppressFinalNewline(bSuppress);
                String encoded;
                ASSERT_EQ(encoder.encode(data, encoded), 0);
                String decoded;
                EXPECT_EQ(Base64Decoder().decode(encoded, decoded), 0);
                EXPECT_EQ(decoded, data);
                if (n == 0) {
                    EXPECT_TRUE(encoded.empty());
                    continue;
                }
                const bool bEndsWithNewline = encoded.length() >= 2 && encoded.substr(encoded.length() - 2) == "\r\n";
                EXPECT_EQ(bEndsWithNewline, !bSuppress);
                std::vector<size_t> lengths;
                ASSERT_TRUE(LineLengths(encoded, lengths));
                const size_t total = (n + 2) / 3 * 4;
                if (maxLine <= 0) {
                    ASSERT_EQ(lengths.size(), 1u);
                    EXPECT_EQ(lengths[0], total);
                } else {
                    for (size_t i = 0; i + 1 < lengths.size(); ++i)
                        EXPECT_EQ(lengths[i], static_cast<size_t>(maxLine));
                    EXPECT_LE(lengths.back(), static_cast<size_t>(maxLine));
                }
            }
        }
    }
    String out;
    Base64Encoder().encode("hello world", out);
    EXPECT_EQ(out, "aGVsbG8gd29ybGQ=\r\n");
}

TEST(MimeCoders, Base64DecoderReportsMalformedInputButKeepsWhatItCanRead) {
    String out;
    EXPECT_EQ(Base64Decoder().decode("aGVs\r\n bG8g\td29y bGQ=\r\n", out), 0);
    EXPECT_EQ(out, "hello world");
    EXPECT_EQ(Base64Decoder().decode("aGVs*bG8=", out), Base64Decoder::kBadInput);
    EXPECT_EQ(out, "hello");
    EXPECT_EQ(Base64Decoder().decode("aGVsbG8=aGk=", out), Base64Decoder::kBadInput);  // data after padding
    EXPECT_EQ(Base64Decoder().decode("aGVsb", out), Base64Decoder::kBadInput);         // dangling character
    EXPECT_EQ(out, "hel");
    EXPECT_EQ(Base64Decoder().decode("", out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(MimeCoders, QuotedPrintableRoundTripsAnyBytes) {
    const String samples[] = {
        "plain ascii line\r\nsecond line\r\n",
        "trailing blanks   \r\nand tabs\t\r\nend with blank ",
        "lone LF\nlone CR\rmixed\r\n=equals= and ===\r\n",
        "Gr\xfc\xdf"
        "e \xe2\x80\x94 caf\xc3\xa9",
        String(300, 'x') + "\r\n" + String(150, ' ') + "y",
        RandomBytes(2000, 7),
    };
    for (int maxLine : {4, 20, 76, 200}) {
        for (const String& sample : samples) {
            QuotedPrintableEncoder encoder;
            encoder.setMaxLineLen(maxLine);
            String encoded;
            ASSERT_EQ(encoder.encode(sample, encoded), 0);
            String decoded;
            EXPECT_EQ(QuotedPrintableDecoder().decode(encoded, decoded), 0);
            EXPECT_EQ(decoded, sample);
            std::vector<size_t> lengths;
            ASSERT_TRUE(LineLengths(encoded, lengths)) << "no bare LF in the output";
            for (size_t length : lengths)
                EXPECT_LE(length, static_cast<size_t>(maxLine));
            for (size_t i = 0; i < encoded.length(); ++i) {
                const unsigned char c = static_cast<unsigned char>(encoded[i]);
                ASSERT_TRUE(c == '\r' || c == '\n' || c == '\t' || (c >= 32 && c <= 126)) << "only printable ASCII";
                if (c == '\r') {
                    EXPECT_TRUE(encoded[i - 1] != ' ' && encoded[i - 1] != '\t') << "no blank before a line end";
                }
            }
        }
    }
    String out;
    QuotedPrintableEncoder().encode("a=b \r\nc", out);
    EXPECT_EQ(out, "a=3Db=20\r\nc");
}

namespace {

// The encoders as plain per-character loops: the output the fast encoders must match byte for byte
// (stored messages and golden texts depend on where the line breaks fall).
String ReferenceBase64(const String& in, int maxLine, bool bSuppress) {
    static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    String out;
    if (in.empty())
        return out;
    size_t column = 0;
    auto put = [&](char c) {
        if (maxLine > 0 && column == static_cast<size_t>(maxLine)) {
            out += "\r\n";
            column = 0;
        }
        out += c;
        ++column;
    };
    for (size_t i = 0; i < in.length(); i += 3) {
        const size_t left = in.length() - i;
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (left > 1 ? static_cast<unsigned char>(in[i + 1]) << 8 : 0) |
                           (left > 2 ? static_cast<unsigned char>(in[i + 2]) : 0);
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(left > 1 ? kAlphabet[(v >> 6) & 63] : '=');
        put(left > 2 ? kAlphabet[v & 63] : '=');
    }
    if (!bSuppress)
        out += "\r\n";
    return out;
}

String ReferenceQuotedPrintable(const String& in, int maxLine) {
    const size_t limit = static_cast<size_t>(maxLine < 4 ? 4 : maxLine);
    String out;
    size_t column = 0;
    const size_t n = in.length();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == '\r' && i + 1 < n && in[i + 1] == '\n') {
            out += "\r\n";
            column = 0;
            ++i;
            continue;
        }
        const bool bLineEndNext = i + 1 == n || (in[i + 1] == '\r' && i + 2 < n && in[i + 2] == '\n');
        const bool bLiteral = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !bLineEndNext);
        const size_t width = bLiteral ? 1 : 3;
        if (column + width > limit - 1) {
            out += "=\r\n";
            column = 0;
        }
        if (bLiteral) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "=%02X", c);
            out += hex;
        }
        column += width;
    }
    return out;
}

}  // namespace

TEST(MimeCoders, EncodersMatchThePlainLoopsByteForByte) {
    // Texts mostly of the characters where the rules differ: blanks before line ends, CR and LF
    // alone and in pairs, '=', 8-bit and NUL bytes, and runs of plain text of every length.
    const char kAlphabet[] = {'a', 'b', ' ', '\t', '\r', '\n', '=', '\xe9', '\0', '~', '!'};
    std::mt19937 random(2026);
    for (int round = 0; round < 3000; ++round) {
        String text;
        const size_t n = random() % 400;
        while (text.length() < n) {
            if (random() % 4 == 0)
                text.append(random() % 120, 'x');
            else
                text += kAlphabet[random() % sizeof kAlphabet];
        }
        const int maxLine = static_cast<int>(random() % 90) - 5;
        SCOPED_TRACE(testing::Message() << "round " << round << " line " << maxLine);
        QuotedPrintableEncoder qp;
        qp.setMaxLineLen(maxLine);
        String encoded;
        qp.encode(text, encoded);
        ASSERT_EQ(encoded, ReferenceQuotedPrintable(text, maxLine));
        Base64Encoder b64;
        b64.setMaxLineLen(maxLine);
        b64.setSuppressFinalNewline(round % 2 == 0);
        b64.encode(text, encoded);
        ASSERT_EQ(encoded, ReferenceBase64(text, maxLine, round % 2 == 0));
    }
    // Each special character at every offset of a run of plain ones, as the encoder reads runs in
    // blocks of eight bytes.
    for (const char* special : {" \r\n", " ", "\t\r\n", "=", "\x7f", "\x80", "\x1f", "~", " x", "\r\n"}) {
        for (size_t k = 0; k < 20; ++k) {
            const String text = String(k, 'a') + special + String(9, 'b');
            const String atEnd = String(k, 'a') + special;
            for (int maxLine : {10, 76}) {
                QuotedPrintableEncoder qp;
                qp.setMaxLineLen(maxLine);
                String encoded;
                qp.encode(text, encoded);
                EXPECT_EQ(encoded, ReferenceQuotedPrintable(text, maxLine)) << k << " " << maxLine;
                qp.encode(atEnd, encoded);
                EXPECT_EQ(encoded, ReferenceQuotedPrintable(atEnd, maxLine)) << k << " " << maxLine;
            }
        }
    }
    // Longer than the encoder's block buffer, in one line and in many.
    for (const String& big : {String(20000, 'q'), RandomBytes(20000, 3)}) {
        String encoded;
        QuotedPrintableEncoder qp;
        qp.setMaxLineLen(100000);
        qp.encode(big, encoded);
        EXPECT_EQ(encoded, ReferenceQuotedPrintable(big, 100000));
        QuotedPrintableEncoder().encode(big, encoded);
        EXPECT_EQ(encoded, ReferenceQuotedPrintable(big, 76));
    }
}

TEST(MimeCoders, QuotedPrintableDecoderHandlesSoftBreaksAndBadEscapes) {
    String out;
    EXPECT_EQ(QuotedPrintableDecoder().decode("soft=\r\nbreak=\nand =3d=3D lower=e9=  \r\nend=", out), 0);
    EXPECT_EQ(out,
              "softbreakand == lower\xe9"
              "end");
    EXPECT_EQ(QuotedPrintableDecoder().decode("100% =G1 done =4", out), QuotedPrintableDecoder::kBadInput);
    EXPECT_EQ(out, "100% =G1 done =4");
}

TEST(MimeEncodedWord, WritesAndReadsBAndQWords) {
    EncodedWord b("utf-8", 'B', "Grüße");
    b.assemble();
    EXPECT_EQ(b.getString(), "=?utf-8?B?R3LDvMOfZQ==?=");
    EncodedWord q("iso-8859-1", 'q', "caf\xe9 au lait_1=2?");
    q.assemble();
    EXPECT_EQ(q.getString(), "=?iso-8859-1?Q?caf=E9_au_lait=5F1=3D2=3F?=");

    EncodedWord read(String("=?ISO-8859-1*fr?q?Fran=E7ois?="));
    read.parse();
    EXPECT_EQ(read.charset(), "ISO-8859-1");
    EXPECT_EQ(read.encodingType(), 'Q');
    EXPECT_EQ(read.decodedText(), "Fran\xe7ois");

    EncodedWord notAWord(String("plain text"));
    notAWord.parse();
    EXPECT_TRUE(notAWord.charset().empty());
    EXPECT_EQ(notAWord.decodedText(), "plain text");
}

TEST(MimeEncodedWord, SplitsLongTextBetweenCharactersAndGMimeAgrees) {
    g_mime_init();
    const String text = "Ünïcödé text with ümlauts, ✓ marks and 中文字符 that is far too long for one encoded word";
    for (char encoding : {'B', 'Q'}) {
        EncodedWord word("utf-8", encoding, text);
        word.assemble();
        const String& out = word.getString();
        size_t words = 0;
        for (size_t start = 0; start < out.length();) {
            size_t end = out.find(' ', start);
            if (end == String::npos)
                end = out.length();
            EXPECT_LE(end - start, 75u);
            ++words;
            start = end + 1;
        }
        EXPECT_GT(words, 1u);
        EncodedWord back(out);
        back.parse();
        EXPECT_EQ(back.decodedText(), text);
        char* decoded = g_mime_utils_header_decode_text(nullptr, out.c_str());
        EXPECT_STREQ(decoded, text.c_str());
        g_free(decoded);
    }
}
