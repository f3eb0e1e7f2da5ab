// How entries are read from the stored form and compared, and the changes found between lists.
#include "Ostrel/SenderLists/SenderList.h"

#include <gtest/gtest.h>

using namespace Ostrel::Mapi;

TEST(SenderListTest, StoredFormDropsBlanksAndEmptyEntries) {
    EXPECT_EQ(SplitSenderList(L" a@x.com;;  b@y.org ;\t;c"), (SenderList{L"a@x.com", L"b@y.org", L"c"}));
    EXPECT_TRUE(SplitSenderList(L"").empty());
    EXPECT_EQ(SplitSenderList(JoinSenderList({L"a@x", L"b@y"})), (SenderList{L"a@x", L"b@y"}));
}

TEST(SenderListTest, KeysFoldCaseAndTheDomainForms) {
    EXPECT_EQ(SenderKey(L" Ann@Example.COM "), SenderKey(L"ann@example.com"));
    EXPECT_EQ(SenderKey(L"ÄRGER@Beispiel.de"), SenderKey(L"ärger@beispiel.de"));
    EXPECT_EQ(SenderKey(L"example.com"), SenderKey(L"@example.com"));
    EXPECT_EQ(SenderKey(L"*@Example.com"), SenderKey(L"@example.com"));
    // A whole domain is not one of its addresses, and other wildcards compare as text.
    EXPECT_NE(SenderKey(L"@example.com"), SenderKey(L"ann@example.com"));
    EXPECT_NE(SenderKey(L"*.example.com"), SenderKey(L"example.com"));
    EXPECT_EQ(SenderKey(L"*.Example.com"), SenderKey(L"*.example.com"));
}

TEST(SenderListTest, ChangesAddWhatIsNewAndDeleteWhatWentWithTheSnapshotsText) {
    const SenderList snapshot{L"a@x", L"Old@X", L"keep@x", L"example.com"};
    const SenderList current{L"A@X", L"keep@x", L"new@x", L"NEW@x", L"@Example.com"};
    const std::vector<SenderChange> changes = CalcSenderChanges(current, snapshot);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].wsEntry, L"new@x");  // once, though listed twice
    EXPECT_EQ(changes[0].op, SenderChangeOp::Add);
    EXPECT_EQ(changes[1].wsEntry, L"Old@X");  // as the server holds it
    EXPECT_EQ(changes[1].op, SenderChangeOp::Delete);
    EXPECT_TRUE(CalcSenderChanges(snapshot, snapshot).empty());
}

TEST(SenderListTest, OnlyNewEntriesBeyondTheRoomTheDeletesLeaveAreHeldBack) {
    using enum SenderChangeOp;
    const SenderList server{L"a@x", L"old@x", L"b@x"};
    std::vector<SenderChange> changes{{L"new1@x", Add}, {L"A@X", Add},    {L"Old@X", Delete},
                                      {L"new2@x", Add}, {L"new3@x", Add}, {L"NEW1@x", Add}};
    EXPECT_EQ(HoldBackOverLimit(changes, server, 4), SenderList{L"new3@x"});
    ASSERT_EQ(changes.size(), 5u);
    EXPECT_EQ(changes[3].wsEntry, L"new2@x");
    EXPECT_EQ(changes[4].wsEntry, L"NEW1@x");  // takes the room new1@x took already

    // A list already past its limit takes no new entry, but its deletes still go.
    std::vector<SenderChange> more{{L"c@x", Add}, {L"a@x", Delete}};
    EXPECT_EQ(HoldBackOverLimit(more, server, 1), SenderList{L"c@x"});
    ASSERT_EQ(more.size(), 1u);
    EXPECT_EQ(more[0].op, Delete);
    std::vector<SenderChange> unlimited{{L"c@x", Add}};
    EXPECT_TRUE(HoldBackOverLimit(unlimited, server, 0).empty());
    EXPECT_EQ(unlimited.size(), 1u);
}
