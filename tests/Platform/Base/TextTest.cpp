#include <gtest/gtest.h>

#include <climits>
#include <clocale>

#include "Platform/Base/Text.h"

namespace {

// The same answer whatever locale the process runs in: the C runtime's towlower folds only ASCII
// in the "C" locale, which made two copies of the comparison disagree on non-ASCII names.
TEST(TextTest, CaseFoldingIgnoresTheLocale) {
    const char* saved = std::setlocale(LC_CTYPE, nullptr);
    const std::string restore = saved ? saved : "C";
    for (const char* locale : {"C", "C.UTF-8"}) {
        std::setlocale(LC_CTYPE, locale);
        EXPECT_TRUE(Platform::EqualsNoCase(L"JÖRG@Example.ORG", L"jörg@example.org")) << locale;
        EXPECT_TRUE(Platform::EqualsNoCase(L"ΣΟΦΊΑ", L"σοφία")) << locale;
        EXPECT_FALSE(Platform::EqualsNoCase(L"jörg", L"jorg")) << locale;
        EXPECT_FALSE(Platform::EqualsNoCase(L"abc", L"abcd")) << locale;
        EXPECT_EQ(Platform::FoldCase(L"Straße 𐐀"), L"straße 𐐨") << locale;  // non-BMP letters fold too
    }
    std::setlocale(LC_CTYPE, restore.c_str());
    EXPECT_TRUE(Platform::EqualsNoCaseAscii("Content-LENGTH", "content-length"));
    EXPECT_FALSE(Platform::EqualsNoCaseAscii("Content-Length", "Content-Lengt"));
}

TEST(TextTest, LeadingDecimalReadsAsTheRuntimeDoesAndSaturates) {
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"  \t42abc"), 42);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"-17"), -17);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"+8"), 8);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"x12"), 0);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L""), 0);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"- 5"), 0);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"2147483647"), INT_MAX);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"2147483648"), INT_MAX);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"-2147483648"), INT_MIN);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"-99999999999999999999999"), INT_MIN);
    EXPECT_EQ(Platform::ReadLeadingDecimal(L"99999999999999999999999"), INT_MAX);
}

TEST(TextTest, TrimAndHexDigits) {
    EXPECT_EQ(Platform::Trim(std::wstring_view(L" \t\r\n a b \v\f")), L"a b");
    EXPECT_EQ(Platform::Trim(std::string_view("  ")), "");
    EXPECT_EQ(Platform::Trim(std::string_view("x")), "x");
    EXPECT_EQ(Platform::HexDigitValue(U'0'), 0);
    EXPECT_EQ(Platform::HexDigitValue(U'f'), 15);
    EXPECT_EQ(Platform::HexDigitValue(U'F'), 15);
    EXPECT_EQ(Platform::HexDigitValue(U'g'), -1);
    for (char32_t c : {U'/', U':', U'@', U'G', U'`'})  // the neighbours of each range
        EXPECT_EQ(Platform::HexDigitValue(c), -1) << static_cast<char>(c);
    EXPECT_EQ(Platform::HexDigitValue(U'０'), -1);  // full-width digits are not hex digits
}

}  // namespace
