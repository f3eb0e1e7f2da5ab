// Message flags.
#include "Ostrel/Model/ItemTypes.h"

#include <gtest/gtest.h>

using Ostrel::Mail::MessageFlags;

TEST(MessageFlags, LettersBecomeBitsAndComeBackInTableOrder) {
    MessageFlags flags;
    EXPECT_EQ(flags.Mask(), 0u);
    EXPECT_STREQ(flags.AsString(), L"");

    flags.FromString(L"ufz");
    EXPECT_EQ(flags.Mask(), 0x30u);
    EXPECT_STREQ(flags.AsString(), L"uf");
    flags.FromString(L"fu");
    EXPECT_STREQ(flags.AsString(), L"uf");

    flags.FromString(static_cast<const wchar_t*>(nullptr));  // no change
    EXPECT_EQ(flags.Mask(), 0x30u);
    flags.FromString(L"");
    EXPECT_EQ(flags.Mask(), 0u);

    flags.FromString("^tnxdfuwras");
    EXPECT_EQ(flags.Mask(), 0x7FFu);
    EXPECT_STREQ(flags.AsString(), L"sarwufdxnt^");
    flags.FromString("s\xC3\xA4 a");  // other bytes are ignored
    EXPECT_EQ(flags.Mask(), 0x3u);
}

TEST(MessageFlags, AccessorsReturnTheBitAndTheBufferHoldsTheLastResult) {
    MessageFlags flags;
    flags.Flagged(1);
    flags.IsPost(7);
    EXPECT_EQ(flags.Flagged(), 0x20u);  // the bit itself, not 1
    EXPECT_EQ(flags.IsPost(), 0x400u);
    flags.Flagged(0);
    EXPECT_EQ(flags.Mask(), 0x400u);

    const wchar_t* pBuffer = flags.AsString();
    MessageFlags copy;
    copy = flags;
    flags.FromString(L"s");
    flags.AsString();
    EXPECT_STREQ(pBuffer, L"s");
    EXPECT_STREQ(copy.AsString(), L"^");
}
