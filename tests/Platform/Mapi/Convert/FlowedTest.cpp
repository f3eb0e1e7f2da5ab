// Flowed text: wrapping for output and joining on input give back every character of the text.
#include <gtest/gtest.h>

#include <random>

#include "Platform/Mapi/Convert/Flowed.h"

namespace ConvertTest {

using Platform::Mapi::Convert::Flowed;
using Platform::Mapi::Convert::Unflowed;

TEST(Flowed, SoftBreaksJoinOnlyLinesOfTheSameQuoteDepth) {
    EXPECT_EQ(Unflowed(L"a \r\nb\r\n", false), L"a b\r\n");
    EXPECT_EQ(Unflowed(L"a \r\nb\r\n", true), L"ab\r\n");
    // A quote depth change ends the paragraph, the trailing space stays.
    EXPECT_EQ(Unflowed(L"> a \r\n>> b\r\nc", false), L"> a \r\n>> b\r\nc");
    EXPECT_EQ(Unflowed(L"> a \r\n> b", false), L"> a b");
    // The signature line is never soft; stuffed spaces of unquoted lines go.
    EXPECT_EQ(Unflowed(L"-- \r\n Kari", false), L"-- \r\nKari");
    // The last line has nothing to join.
    EXPECT_EQ(Unflowed(L"end ", true), L"end ");
}

TEST(Flowed, WrappedTextReadsBackWhole) {
    std::mt19937 rng(7);
    const std::wstring alphabet = L"ab >-F\u00e5\u20ac";
    int wrapped = 0;
    for (int round = 0; round < 2000; ++round) {
        std::wstring text;
        const int lines = 1 + static_cast<int>(rng() % 4);
        for (int l = 0; l < lines; ++l) {
            const size_t length = rng() % 120;
            for (size_t i = 0; i < length; ++i)
                text += alphabet[rng() % alphabet.size()];
            if (rng() % 3 == 0)
                text += L"From here";
            if (l + 1 < lines)
                text += L"\r\n";
        }
        const size_t width = 10 + rng() % 70;
        std::wstring out;
        if (!Flowed(text, width, out))
            continue;
        ++wrapped;
        ASSERT_EQ(Unflowed(out, false), text) << "width " << width;
        // Every unquoted line that has a space to break at within the width fits it.
        for (size_t p = 0; p < out.size();) {
            size_t e = out.find(L"\r\n", p);
            if (e == std::wstring::npos)
                e = out.size();
            std::wstring line = out.substr(p, e - p);
            if (!line.empty() && line[0] == L' ')
                line.erase(0, 1);
            if (line.size() > width && line[0] != L'>' && !line.starts_with(L"-- ")) {
                EXPECT_EQ(line.substr(1, width - 1).find(L' '), std::wstring::npos) << line;
            }
            p = e + 2;
        }
    }
    EXPECT_GT(wrapped, 200);
}

TEST(Flowed, RefusesTextThatWouldReadBackChanged) {
    std::wstring out = L"untouched";
    EXPECT_FALSE(Flowed(L"short", 20, out));
    EXPECT_FALSE(Flowed(L"a line that ends in a space \r\nand goes on beyond the width", 20, out));
    EXPECT_FALSE(Flowed(L"bare\nline feed and a long line beyond the width", 20, out));
    EXPECT_EQ(out, L"untouched");
}

}  // namespace ConvertTest
