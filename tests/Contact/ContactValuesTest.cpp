// Message flags and tag lists.
#include "Ostrel/ContactValueTypes.h"

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

TEST(MessageFlags, AccessorsReturnTheBitAndSetOrClearIt) {
    MessageFlags flags;
    flags.Flagged(1);
    flags.IsPost(7);
    EXPECT_EQ(flags.Flagged(), 0x20u);
    EXPECT_EQ(flags.IsPost(), 0x400u);
    EXPECT_EQ(flags.Unread(), 0u);
    flags.Flagged(0);
    EXPECT_EQ(flags.Flagged(), 0u);
    flags.FromMe(1);
    flags.Attach(1);
    flags.Replied(1);
    flags.Forwarded(1);
    flags.Unread(1);
    flags.Draft(1);
    flags.IMAPDeleted(1);
    flags.Notified(1);
    flags.IsNote(1);
    EXPECT_STREQ(flags.AsString(), L"sarwudxnt^");

    const wchar_t* pBuffer = flags.AsString();
    MessageFlags copy;
    copy = flags;
    EXPECT_EQ(copy.Mask(), flags.Mask());
    flags.FromString(L"s");
    flags.AsString();
    EXPECT_STREQ(pBuffer, L"s");  // the buffer belongs to the object and holds the last result
    EXPECT_STREQ(copy.AsString(), L"sarwudxnt^");
}

TEST(TagLists, TextFormsAreCommaJoined) {
    EXPECT_EQ(Ostrel::Mail::TagIdList({3, 17, -1}).ToString(), L"3,17,-1");
    EXPECT_EQ(Ostrel::Mail::TagIdList().ToString(), L"");
    EXPECT_EQ(Ostrel::Mail::TagNameList({L"Work", L"Caf\u00E9 Time"}).ToString(), L"Work,Caf\u00E9 Time");
    EXPECT_EQ(Ostrel::Mail::TagNameList({L"One"}).ToString(), L"One");
}
