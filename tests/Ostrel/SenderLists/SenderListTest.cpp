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
