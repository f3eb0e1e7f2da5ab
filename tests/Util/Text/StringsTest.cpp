#include "Util/Text/Strings.h"

#include <gtest/gtest.h>

using namespace Ostrel::Util;

TEST(Strings, HexRoundTripAndErrors) {
    const std::vector<BYTE> bytes{0x00, 0x7F, 0x80, 0xAB, 0xFF};
    EXPECT_EQ(HexEncode(bytes), L"007F80ABFF");
    std::vector<BYTE> decoded;
    EXPECT_TRUE(HexDecode(std::wstring_view(L"007f80AbfF"), decoded));
    EXPECT_EQ(decoded, bytes);
    EXPECT_TRUE(HexDecode(std::string_view(""), decoded));
    EXPECT_TRUE(decoded.empty());

    for (const wchar_t* bad : {L"0", L"ABC", L"0G", L"0 ", L"-1", L"\u0660\u0661"}) {
        decoded = {1, 2};
        EXPECT_FALSE(HexDecode(std::wstring_view(bad), decoded)) << bad;
        EXPECT_TRUE(decoded.empty());
    }
    // A wide character whose low byte is a hex digit is still not one.
    EXPECT_FALSE(HexDecode(std::wstring(L"0") + static_cast<wchar_t>(0x141), decoded));
    EXPECT_FALSE(HexDecode(std::string_view("\xB0\xB1"), decoded));
}

TEST(Strings, EscapeEmailAddressKeepsNamesReadableAndDistinct) {
    EXPECT_EQ(EscapeEmailAddress(L"anne.lee@example.com"), L"anne.lee@example.com");
    EXPECT_EQ(EscapeEmailAddress(L"J\u00FCrgen M\u00FCller"), L"J\u00FCrgen M\u00FCller");
    EXPECT_EQ(EscapeEmailAddress(L"a/b\\c:d*e?f\"g<h>i|j"), L"a%2Fb%5Cc%3Ad%2Ae%3Ff%22g%3Ch%3Ei%7Cj");
    EXPECT_EQ(EscapeEmailAddress(L"line\nbreak\x7F"), L"line%0Abreak%7F");
    // The escape characters themselves are escaped, so a literal "%2F" cannot pose as "/".
    EXPECT_EQ(EscapeEmailAddress(L"%2F~"), L"%252F%7E");
    EXPECT_NE(EscapeEmailAddress(L"a/b"), EscapeEmailAddress(L"a%2Fb"));
    EXPECT_EQ(EscapeEmailAddress(std::wstring{L'x', static_cast<wchar_t>(0xDC00)}.c_str()), L"x%EF%BF%BD");
    EXPECT_EQ(EscapeEmailAddress(nullptr), L"");
}

TEST(Strings, EscapeEmailAddressShortensLongNamesWithAHash) {
    const std::wstring a(200, L'a');
    const std::wstring b = std::wstring(199, L'a') + L'b';
    const std::wstring wsA = EscapeEmailAddress(a.c_str());
    const std::wstring wsB = EscapeEmailAddress(b.c_str());
    EXPECT_EQ(wsA.size(), 109u);
    EXPECT_EQ(wsA.substr(0, 101), std::wstring(100, L'a') + L'~');
    EXPECT_NE(wsA, wsB);
    EXPECT_EQ(wsA, EscapeEmailAddress(a.c_str()));
    // Multi-byte characters are never cut in half.
    const std::wstring wide(61, L'\u00FC');
    const std::wstring wsWide = EscapeEmailAddress(wide.c_str());
    EXPECT_EQ(wsWide.substr(0, 51), std::wstring(50, L'\u00FC') + L'~');
    const std::wstring fits(120, L'a');
    EXPECT_EQ(EscapeEmailAddress(fits.c_str()), fits);
}

TEST(Strings, TagNameListSplitting) {
    using List = std::vector<std::wstring>;
    EXPECT_EQ(TagNameStrToTagNameList(L"work,private"), (List{L"work", L"private"}));
    EXPECT_EQ(TagNameStrToTagNameList(L" work , two words ,\tx\u00A0"), (List{L"work", L"two words", L"x"}));
    EXPECT_EQ(TagNameStrToTagNameList(L",a,,b,"), (List{L"a", L"b"}));
    EXPECT_EQ(TagNameStrToTagNameList(L" , ,"), List{});
    EXPECT_EQ(TagNameStrToTagNameList(L""), List{});
    EXPECT_EQ(TagNameStrToTagNameList(static_cast<const wchar_t*>(nullptr)), List{});
    EXPECT_EQ(TagNameStrToTagNameList(L"\u6771\u4EAC"), List{L"\u6771\u4EAC"});
}
