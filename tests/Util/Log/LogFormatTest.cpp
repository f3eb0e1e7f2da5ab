#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "Util/Log/LogFormat.h"

using Ostrel::Util::FormatA;
using Ostrel::Util::FormatW;

namespace {

std::wstring NarrowFormatToWide(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::wstring ws = Ostrel::Util::VFormatW(pszFormat, args);
    va_end(args);
    return ws;
}

}  // namespace

TEST(LogFormat, StringArgumentsFollowWindowsConventions) {
    // In a wide format: %s wide, %S and %hs narrow, %ls and %ws wide.
    EXPECT_EQ(L"w=wide n=narrow h=hs l=ls w2=ws",
              FormatW(L"w=%s n=%S h=%hs l=%ls w2=%ws", L"wide", "narrow", "hs", L"ls", L"ws"));
    // In a narrow format the other way round.
    EXPECT_EQ("n=narrow w=wide l=ls h=hs", FormatA("n=%s w=%S l=%ls h=%hs", "narrow", L"wide", L"ls", "hs"));
    EXPECT_EQ(L"n=narrow w=wide", NarrowFormatToWide("n=%s w=%S", "narrow", L"wide"));
    // Characters likewise.
    EXPECT_EQ(L"[a][b][c][d]", FormatW(L"[%c][%C][%hc][%lc]", L'a', 'b', 'c', L'd'));
    EXPECT_EQ("[a][b]", FormatA("[%c][%C]", 'a', L'b'));
}

TEST(LogFormat, NonAsciiTextCrossesBetweenWidths) {
    EXPECT_EQ(L"caf\u00e9 \u00fcber \U0001F600", FormatW(L"%S %s %S", "caf\xc3\xa9", L"\u00fcber", "\xf0\x9f\x98\x80"));
    EXPECT_EQ("caf\xc3\xa9 \xe2\x82\xac", FormatA("%S %s", L"caf\u00e9", "\xe2\x82\xac"));
    // Narrow bytes that are not UTF-8 pass unchanged into narrow output, and become U+FFFD in wide.
    EXPECT_EQ(
        "a\xff"
        "b",
        FormatA("%s",
                "a\xff"
                "b"));
    EXPECT_EQ(L"a\uFFFDb", FormatW(L"%S",
                                   "a\xff"
                                   "b"));
    EXPECT_EQ(L"\u00e9t\u00e9 x", NarrowFormatToWide("\xc3\xa9t\xc3\xa9 %s", "x"));
}

TEST(LogFormat, NullStringsPrintNull) {
    EXPECT_EQ(L"(null) (null) (null)", FormatW(L"%s %S %hs", static_cast<const wchar_t*>(nullptr),
                                               static_cast<const char*>(nullptr), static_cast<const char*>(nullptr)));
    EXPECT_EQ("(null)", FormatA("%s", static_cast<const char*>(nullptr)));
    EXPECT_EQ(L"(null)", FormatW(static_cast<const wchar_t*>(nullptr)));
}

TEST(LogFormat, WidthAndPrecision) {
    EXPECT_EQ(L"[  abc][abc  ][ab][   ab]", FormatW(L"[%5s][%-5S][%.2s][%5.2S]", L"abc", "abc", L"abc", "abc"));
    EXPECT_EQ(L"[  xy][xy  ]", FormatW(L"[%*s][%*s]", 4, L"xy", -4, L"xy"));
    EXPECT_EQ(L"[00042][+42][42   ][ 42][0x2a][0X2A][052]",
              FormatW(L"[%05d][%+d][%-5d][% d][%#x][%#X][%#o]", 42, 42, 42, 42, 42, 42, 42));
    EXPECT_EQ(L"[3.14][  3.142][3.1416e+00][1e+06][0x1p+0]",
              FormatW(L"[%.2f][%7.3f][%.4e][%g][%a]", 3.14159, 3.14159, 3.14159, 1e6, 1.0));
    EXPECT_EQ(L"[abc]", FormatW(L"[%.*S]", 3, "abcdef"));
    // A precision bounds the read, so unterminated buffers are safe.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(L"xyz", FormatW(L"%.*S", 3, unterminated));
    const wchar_t wunterminated[2] = {L'p', L'q'};
    EXPECT_EQ("pq", FormatA("%.2S", wunterminated));
    // A huge width from an argument is bounded rather than allocating gigabytes.
    EXPECT_LE(FormatW(L"%*d", 2000000000, 1).size(), 65537u);
}

TEST(LogFormat, IntegerLengthModifiers) {
    EXPECT_EQ(L"-9223372036854775807 18446744073709551615 -5",
              FormatW(L"%I64d %I64u %lld", -9223372036854775807LL, 18446744073709551615ULL, -5LL));
    EXPECT_EQ(L"4294967295 -1 FFFFFFFF", FormatW(L"%lu %ld %lX", 0xFFFFFFFFu, -1, 0xFFFFFFFFu));
    EXPECT_EQ(L"-1 65535 -1 255", FormatW(L"%hd %hu %hhd %hhu", 0xFFFF, 0xFFFF, 0xFF, 0xFF));
    EXPECT_EQ(L"123456789012 123456789012 -7",
              FormatW(L"%zu %Iu %zd", static_cast<size_t>(123456789012ull), static_cast<size_t>(123456789012ull),
                      static_cast<ptrdiff_t>(-7)));
    EXPECT_EQ(L"80004005 -2147467259 2147500037", FormatW(L"%08X %d %u", 0x80004005, 0x80004005, 0x80004005));
    EXPECT_EQ(L"12 34", FormatW(L"%I32d %jd", 12, static_cast<intmax_t>(34)));
}

TEST(LogFormat, PointersPercentAndOddConversions) {
    EXPECT_EQ(L"00000000DEADBEEF", FormatW(L"%p", reinterpret_cast<void*>(0xDEADBEEF)));
    EXPECT_EQ(L"[  0000000000000001]", FormatW(L"[%18p]", reinterpret_cast<void*>(1)));
    EXPECT_EQ(L"100% done", FormatW(L"%d%% done", 100));
    int nWritten = 77;
    EXPECT_EQ(L"ab", FormatW(L"a%nb", &nWritten));
    EXPECT_EQ(77, nWritten);  // %n never stores
    EXPECT_EQ(L"x %y 5", FormatW(L"x %y %d", 5));
    EXPECT_EQ(L"end %", FormatW(L"end %"));
    EXPECT_EQ(L"a", FormatW(L"a%c", L'\0'));
}
