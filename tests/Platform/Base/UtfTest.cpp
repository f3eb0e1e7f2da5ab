#include "Platform/Base/Utf.h"

#include <gtest/gtest.h>

using namespace Platform;

TEST(Utf, RoundTripsEveryPlaneThroughUtf8AndUtf16) {
    const std::wstring text = L"a\u00e9\u20ac\U0001F600z";
    bool bad = true;
    EXPECT_EQ(ToUtf8(text, &bad), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z");
    EXPECT_FALSE(bad);
    EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf16(text).size(), 6u);  // the emoji takes a surrogate pair
    EXPECT_EQ(FromUtf16(ToUtf16(text)), text);
    EXPECT_EQ(ToUtf16LEBytes(L"A\u20ac"), std::string("A\0\xac\x20", 4));
    EXPECT_EQ(FromUtf16LEBytes(ToUtf16LEBytes(text)), text);
}

TEST(Utf, MalformedInputBecomesReplacementAndIsReported) {
    bool bad = false;
    // truncated sequence, overlong encoding, encoded surrogate, stray continuation byte
    EXPECT_EQ(FromUtf8("x\xe2\x82", &bad), L"x\ufffd\ufffd");
    EXPECT_TRUE(bad);
    EXPECT_EQ(FromUtf8("\xc0\xaf", &bad), L"\ufffd\ufffd");
    // Overlong three- and four-byte forms of '/' are refused as well.
    EXPECT_EQ(FromUtf8("\xe0\x80\xaf", &bad), L"\ufffd\ufffd\ufffd");
    EXPECT_EQ(FromUtf8("\xf0\x80\x80\xaf", &bad), L"\ufffd\ufffd\ufffd\ufffd");
    EXPECT_EQ(FromUtf8("\xed\xa0\x80", &bad), L"\ufffd\ufffd\ufffd");
    EXPECT_EQ(FromUtf8("\x80", &bad), L"\ufffd");
    EXPECT_EQ(FromUtf16(u"\xd800x", &bad), L"\ufffdx");
    EXPECT_TRUE(bad);
    EXPECT_EQ(ToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000)), &bad), "\xef\xbf\xbd");
    EXPECT_TRUE(bad);
    FromUtf16LEBytes(std::string("A\0B", 3), &bad);
    EXPECT_TRUE(bad);
    FromUtf8("plain", &bad);
    EXPECT_FALSE(bad);
}

// Sequences that would smuggle code points the other encodings cannot carry: values beyond
// U+10FFFF, five-byte forms and lone surrogates never come out as bytes of their own.
TEST(Utf, OutOfRangeAndSurrogatesNeverPassThrough) {
    bool bad = false;
    EXPECT_EQ(FromUtf8("\xf4\x90\x80\x80", &bad).find_first_not_of(L'\ufffd'), std::wstring::npos);
    EXPECT_TRUE(bad);
    EXPECT_EQ(FromUtf8("\xf8\x88\x80\x80\x80", &bad).find_first_not_of(L'\ufffd'), std::wstring::npos);
    EXPECT_EQ(FromUtf8("\xf4\x8f\xbf\xbf", &bad), std::wstring(1, static_cast<wchar_t>(0x10FFFF)));
    EXPECT_FALSE(bad);

    // A lone surrogate held in a wide string.
    EXPECT_EQ(ToUtf8(std::wstring(1, static_cast<wchar_t>(0xDC00)), &bad), "\xef\xbf\xbd");
    EXPECT_TRUE(bad);
    EXPECT_EQ(ToUtf16(std::wstring(1, static_cast<wchar_t>(0xD800)), &bad), u"\xfffd");
    EXPECT_TRUE(bad);
    EXPECT_EQ(ToUtf16(std::wstring(1, static_cast<wchar_t>(0x110000)), &bad), u"\xfffd");
    EXPECT_TRUE(bad);
    // In UTF-16: a low surrogate first, a high one at the end, two highs in a row.
    EXPECT_EQ(FromUtf16(u"\xdc00"
                        u"a",
                        &bad),
              L"\ufffda");
    EXPECT_TRUE(bad);
    EXPECT_EQ(FromUtf16(u"a\xd83d", &bad), L"a\ufffd");
    EXPECT_EQ(FromUtf16(u"\xd83d\xd83d\xde00", &bad), L"\ufffd\U0001F600");
    EXPECT_TRUE(bad);
    // An odd trailing byte is dropped and reported; the whole units before it are kept.
    EXPECT_EQ(FromUtf16LEBytes(std::string("A\0B", 3), &bad), L"A");
    EXPECT_TRUE(bad);
}

TEST(Utf, AsciiRunsOfAnyLengthAroundOtherCharacters) {
    // Plain ASCII goes eight characters at a time; whatever follows or breaks a run must land in
    // its place, at every offset around a block's edge.
    struct Special {
        wchar_t wc;
        std::string utf8;
        bool bValid;
    };
    const Special specials[] = {{L'\u00e9', "\xc3\xa9", true},
                                {L'\u20ac', "\xe2\x82\xac", true},
                                {static_cast<wchar_t>(0x1F600), "\xf0\x9f\x98\x80", true},
                                {static_cast<wchar_t>(0xD800), "\xef\xbf\xbd", false},
                                {L'\0', std::string(1, '\0'), true}};
    for (const Special& special : specials) {
        for (size_t before = 0; before < 18; ++before) {
            const std::wstring wide = std::wstring(before, L'a') + special.wc + std::wstring(17 - before, L'b');
            const std::string utf8 = std::string(before, 'a') + special.utf8 + std::string(17 - before, 'b');
            bool bad = false;
            EXPECT_EQ(ToUtf8(wide, &bad), utf8) << before;
            EXPECT_EQ(bad, !special.bValid) << before;
            if (special.bValid) {
                EXPECT_EQ(FromUtf8(utf8, &bad), wide) << before;
                EXPECT_FALSE(bad) << before;
            }
        }
    }
    // A byte that is not UTF-8 inside an otherwise plain run.
    bool bad = false;
    EXPECT_EQ(FromUtf8("abcdefg\xffhijklmnop", &bad), L"abcdefg\ufffdhijklmnop");
    EXPECT_TRUE(bad);
}
