#include "Util/Text/CodePage.h"

#include <gtest/gtest.h>

using namespace Ostrel::Util;

namespace {

std::string Narrow(const std::wstring& ws, UINT cp, bool* pbLossy = nullptr) {
    std::string s;
    EXPECT_TRUE(UnicodeToAnsii(ws, cp, s, pbLossy)) << cp;
    return s;
}

std::wstring Wide(const std::string& s, UINT cp, bool* pbLossy = nullptr) {
    std::wstring ws;
    EXPECT_TRUE(AnsiiToUnicode(s, cp, ws, pbLossy)) << cp;
    return ws;
}

}  // namespace

TEST(CodePage, RoundTripsTextEachCodePageCanHold) {
    struct Case {
        UINT cp;
        std::wstring text;
        std::string bytes;  // expected encoding, empty when not checked
    };
    const Case cases[] = {
        {CP_ACP, L"Gr\u00FC\u00DFe \u20AC \U0001F600",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {CP_UTF8, L"\u00E9t\u00E9", "\xC3\xA9t\xC3\xA9"},
        {1252, L"caf\u00E9 \u20AC\u2019", "caf\xE9 \x80\x92"},
        {1250, L"\u017Elu\u0165ou\u010Dk\u00FD", "\x9Elu\x9Dou\xE8k\xFD"},
        {1251, L"\u041F\u0440\u0438\u0432\u0435\u0442", "\xCF\xF0\xE8\xE2\xE5\xF2"},
        {28591, L"\u00FF\u00E0", "\xFF\xE0"},
        {28605, L"\u20AC", "\xA4"},
        {20127, L"plain", "plain"},
        {932, L"\u65E5\u672C\u8A9E", "\x93\xFA\x96\x7B\x8C\xEA"},
        {936, L"\u4E2D\u6587", "\xD6\xD0\xCE\xC4"},
        {949, L"\uD55C\uAD6D\uC5B4", ""},
        {950, L"\u4E2D\u6587", ""},
        {50220, L"\u65E5\u672C", "\x1B$BF|K\\\x1B(B"},
        {51932, L"\u65E5\u672C", "\xC6\xFC\xCB\xDC"},
        {20866, L"\u043C\u0438\u0440", "\xCD\xC9\xD2"},
        {21866, L"\u0456", "\xA6"},
    };
    for (const Case& c : cases) {
        bool bLossy = true;
        std::string bytes = Narrow(c.text, c.cp, &bLossy);
        EXPECT_FALSE(bLossy) << c.cp;
        if (!c.bytes.empty()) {
            EXPECT_EQ(bytes, c.bytes) << c.cp;
        }
        EXPECT_EQ(Wide(bytes, c.cp, &bLossy), c.text) << c.cp;
        EXPECT_FALSE(bLossy) << c.cp;
    }
}

TEST(CodePage, UnmappableCharactersBecomeQuestionMarksAndAreReported) {
    bool bLossy = false;
    EXPECT_EQ(Narrow(L"a\u4E2D\u0100b", 1252, &bLossy), "a??b");  // no best-fit 'A' for U+0100
    EXPECT_TRUE(bLossy);
    EXPECT_EQ(Narrow(L"\u00E9", 20127, &bLossy), "?");
    EXPECT_TRUE(bLossy);
    // Lone surrogates and values beyond Unicode are not characters in any code page.
    EXPECT_EQ(Narrow(std::wstring{L'x', static_cast<wchar_t>(0xD800)}, 1252, &bLossy), "x?");
    EXPECT_TRUE(bLossy);
    EXPECT_EQ(Narrow(std::wstring{static_cast<wchar_t>(0x110000)}, CP_UTF8, &bLossy), "\xEF\xBF\xBD");
    EXPECT_TRUE(bLossy);
}

TEST(CodePage, InvalidAndTruncatedBytesBecomeReplacementCharacters) {
    bool bLossy = false;
    EXPECT_EQ(Wide("ok\x93", 932, &bLossy), L"ok\uFFFD");  // lead byte without its trail byte
    EXPECT_TRUE(bLossy);
    EXPECT_EQ(Wide("\xC3", CP_UTF8, &bLossy), L"\uFFFD");
    EXPECT_TRUE(bLossy);
    EXPECT_EQ(Wide("a\xFF"
                   "b",
                   CP_UTF8, &bLossy),
              L"a\uFFFD"
              L"b");
    EXPECT_TRUE(bLossy);
    EXPECT_EQ(Wide("\x1B$BF", 50220, &bLossy).back(), L'\uFFFD');  // cut inside a double-byte pair
    EXPECT_TRUE(bLossy);
    EXPECT_EQ(Wide("\x80", 20127, &bLossy), L"\uFFFD");
    EXPECT_TRUE(bLossy);
    EXPECT_EQ(Wide("\xFF", 51932, &bLossy), L"\uFFFD");
    EXPECT_TRUE(bLossy);
}

TEST(CodePage, EmbeddedZerosSurviveTheCountedForms) {
    const std::wstring text(L"a\0b", 3);
    EXPECT_EQ(Wide(Narrow(text, 1252), 1252), text);
}

TEST(CodePage, PointerFormsAllocateAndTreatNullAndUnknownPagesAsNoResult) {
    bool bLossy = true;
    char* psz = UnicodeToAnsii(L"\u00E9", 1252, &bLossy);
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, "\xE9");
    EXPECT_FALSE(bLossy);
    wchar_t* pwsz = AnsiiToUnicode(psz, 1252);
    ASSERT_NE(pwsz, nullptr);
    EXPECT_STREQ(pwsz, L"\u00E9");
    FreeConvertedString(psz);
    FreeConvertedString(pwsz);

    EXPECT_EQ(UnicodeToAnsii(nullptr, 1252), nullptr);
    EXPECT_EQ(AnsiiToUnicode(nullptr, 1252), nullptr);
    EXPECT_EQ(UnicodeToAnsii(L"x", 12345), nullptr);
    EXPECT_FALSE(IsSupportedCodePage(12345));
    std::wstring ws = L"stale";
    EXPECT_FALSE(AnsiiToUnicode("x", 12345, ws));
    EXPECT_TRUE(ws.empty());
}

TEST(CodePage, EveryListedCodePageHasAConverter) {
    for (UINT cp : {0u,     1u,     3u,     874u,   932u,   936u,   949u,   950u,   1250u,  1251u,  1252u,
                    1253u,  1254u,  1255u,  1256u,  1257u,  1258u,  10000u, 20127u, 20866u, 21866u, 28591u,
                    28592u, 28593u, 28594u, 28595u, 28596u, 28597u, 28598u, 28599u, 28600u, 28601u, 28603u,
                    28604u, 28605u, 50220u, 50225u, 51932u, 51949u, 52936u, 54936u, 65000u, 65001u})
        EXPECT_TRUE(IsSupportedCodePage(cp)) << cp;
}
