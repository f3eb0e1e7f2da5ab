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
