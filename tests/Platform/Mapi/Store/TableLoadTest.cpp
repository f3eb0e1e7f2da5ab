// Tables read their rows when first used, only the columns then set, many values per query: what a
// caller gets must not depend on when the rows were read or how the wanted values were grouped.
#include "MapiTestUtil.h"

namespace MapiTest {
namespace {

constexpr ULONG kValues = 20;  // more than one query's worth of property ids

ULONG ValueTag(ULONG j) {
    return PROP_TAG(PT_LONG, 0x7E00 + j);
}

class TableLoadTest : public StoreFixture {
protected:
    ComPtr<IMAPIFolder> NewFolder(IMAPIFolder* pParent, const wchar_t* pwszName) {
        ComPtr<IMAPIFolder> pFolder;
        EXPECT_EQ(pParent->CreateFolder(FOLDER_GENERIC, (LPTSTR)pwszName, nullptr, nullptr, MAPI_UNICODE,
                                        pFolder.AddressOf()),
                  S_OK);
        return pFolder;
    }

    void AddMessage(IMAPIFolder* pFolder, const std::wstring& subject, bool bRead) {
        ComPtr<IMessage> pMsg = NewMessage(pFolder, subject);
        ASSERT_EQ(SetLong(pMsg.Get(), PR_MESSAGE_FLAGS, bRead ? MSGFLAG_READ : 0), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    }
};

// Columns past the first query's ids, a restriction and a sort order on values of the second query,
// all set before the first read; then new columns after part of the table was read.
TEST_F(TableLoadTest, ColumnsRestrictionAndSortSetBeforeReading) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    for (ULONG i = 0; i < 6; ++i) {
        ComPtr<IMessage> pMsg = NewMessage(pInbox.Get(), L"m" + std::to_wstring(i));
        for (ULONG j = 0; j < kValues; ++j)
            ASSERT_EQ(SetLong(pMsg.Get(), ValueTag(j), static_cast<LONG>(i * 100 + j)), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    }
    NewFolder(pInbox.Get(), L"Not a row");

    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pInbox->GetContentsTable(0, pTable.AddressOf()), S_OK);
    MapiBuf<SPropTagArray> cols;
    ASSERT_EQ(MAPIAllocateBuffer(CbNewSPropTagArray(kValues + 1), (void**)&cols), S_OK);
    cols->cValues = kValues + 1;
    cols->aulPropTag[0] = PR_SUBJECT_W;
    for (ULONG j = 0; j < kValues; ++j)
        cols->aulPropTag[j + 1] = ValueTag(j);
    ASSERT_EQ(pTable->SetColumns(cols.p, 0), S_OK);

    SPropValue bound{};
    bound.ulPropTag = ValueTag(kValues - 1);
    bound.Value.l = 200;
    SRestriction res{};
    res.rt = RES_PROPERTY;
    res.res.resProperty = {RELOP_GE, bound.ulPropTag, &bound};
    ASSERT_EQ(pTable->Restrict(&res, 0), S_OK);
    SizedSSortOrderSet(1, sort) = {1, 0, 0, {{ValueTag(kValues - 2), TABLE_SORT_DESCEND}}};
    ASSERT_EQ(pTable->SortTable((LPSSortOrderSet)&sort, 0), S_OK);

    EXPECT_EQ(RowCount(pTable.Get()), 4u);
    {
        RowsHolder rows;
        ASSERT_EQ(pTable->QueryRows(2, 0, &rows.p), S_OK);
        ASSERT_EQ(rows.p->cRows, 2u);
        for (ULONG r = 0; r < 2; ++r) {
            const ULONG i = 5 - r;
            const SRow& row = rows.p->aRow[r];
            ASSERT_EQ(row.cValues, kValues + 1);
            ASSERT_EQ(row.lpProps[0].ulPropTag, PR_SUBJECT_W);
            EXPECT_EQ(std::wstring(row.lpProps[0].Value.lpszW), L"m" + std::to_wstring(i));
            for (ULONG j = 0; j < kValues; ++j) {
                EXPECT_EQ(row.lpProps[j + 1].ulPropTag, ValueTag(j)) << "row " << r << " value " << j;
                EXPECT_EQ(row.lpProps[j + 1].Value.l, static_cast<LONG>(i * 100 + j)) << "row " << r;
            }
        }
    }

    // A column not read so far: the rest of the view, in the same order, with its values.
    SizedSPropTagArray(2, narrow) = {2, {PR_MESSAGE_CLASS_W, ValueTag(3)}};
    ASSERT_EQ(pTable->SetColumns((LPSPropTagArray)&narrow, 0), S_OK);
    RowsHolder rest;
    ASSERT_EQ(pTable->QueryRows(10, 0, &rest.p), S_OK);
    ASSERT_EQ(rest.p->cRows, 2u);
    for (ULONG r = 0; r < 2; ++r) {
        EXPECT_EQ(rest.p->aRow[r].lpProps[0].ulPropTag, PR_MESSAGE_CLASS_W);
        EXPECT_EQ(rest.p->aRow[r].lpProps[1].Value.l, static_cast<LONG>((3 - r) * 100 + 3));
    }
}

// An unsorted table keeps its rows' keys and reads the column values per page when queried: pages
// of any size, forwards and backwards, across the reads' page boundaries, under a restriction,
// return the values of their own rows; a message deleted after the keys were read keeps its place
// without values.
TEST_F(TableLoadTest, ValuesReadPerPageBelongToTheirRows) {
    constexpr LONG kMessages = 700;  // more than two pages of reads
    ComPtr<IMAPIFolder> pInbox = Inbox();
    std::vector<std::string> eids;
    for (LONG i = 0; i < kMessages; ++i) {
        ComPtr<IMessage> pMsg = NewMessage(pInbox.Get(), L"m" + std::to_wstring(i));
        ASSERT_EQ(SetLong(pMsg.Get(), ValueTag(0), i), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
        eids.push_back(EntryId(pMsg.Get()));
    }
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pInbox->GetContentsTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(3, cols) = {3, {ValueTag(0), PR_SUBJECT_W, PR_ENTRYID}};
    ASSERT_EQ(pTable->SetColumns((LPSPropTagArray)&cols, 0), S_OK);
    // All but the first 100 messages.
    SPropValue bound{ValueTag(0), 0, {}};
    bound.Value.l = 100;
    SRestriction res{};
    res.rt = RES_PROPERTY;
    res.res.resProperty = {RELOP_GE, bound.ulPropTag, &bound};
    ASSERT_EQ(pTable->Restrict(&res, 0), S_OK);
    const ULONG cExpected = kMessages - 100;
    ASSERT_EQ(RowCount(pTable.Get()), cExpected);

    // The row at view position r holds message 100 + r.
    constexpr LONG kDeleted = 500;
    auto check = [&](const SRow& row, LONG lWant) {
        ASSERT_EQ(row.cValues, 3u);
        if (lWant == kDeleted) {
            EXPECT_EQ(PROP_TYPE(row.lpProps[0].ulPropTag), PT_ERROR);
            EXPECT_EQ(PROP_TYPE(row.lpProps[2].ulPropTag), PT_ERROR);
            return;
        }
        ASSERT_EQ(row.lpProps[0].ulPropTag, ValueTag(0)) << lWant;
        EXPECT_EQ(row.lpProps[0].Value.l, lWant);
        EXPECT_EQ(std::wstring(row.lpProps[1].Value.lpszW), L"m" + std::to_wstring(lWant));
        ASSERT_EQ(row.lpProps[2].ulPropTag, PR_ENTRYID);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(row.lpProps[2].Value.bin.lpb), row.lpProps[2].Value.bin.cb),
                  eids[lWant]);
    };
    // A message goes after the keys were read.
    ENTRYLIST doomed{1, nullptr};
    SBinary doomedEid{static_cast<ULONG>(eids[kDeleted].size()), reinterpret_cast<BYTE*>(eids[kDeleted].data())};
    doomed.lpbin = &doomedEid;
    ASSERT_EQ(pInbox->DeleteMessages(&doomed, 0, nullptr, 0), S_OK);

    LONG lPos = 0;
    for (LONG lChunk : {1, 255, 300, 1000}) {
        RowsHolder rows;
        ASSERT_EQ(pTable->QueryRows(lChunk, 0, &rows.p), S_OK);
        for (ULONG r = 0; r < rows.p->cRows; ++r, ++lPos)
            check(rows.p->aRow[r], 100 + lPos);
    }
    EXPECT_EQ(lPos, static_cast<LONG>(cExpected));
    // Backwards from the end, across a page boundary.
    RowsHolder back;
    ASSERT_EQ(pTable->QueryRows(-270, 0, &back.p), S_OK);
    ASSERT_EQ(back.p->cRows, 270u);
    for (ULONG r = 0; r < back.p->cRows; ++r)
        check(back.p->aRow[r], kMessages - 270 + static_cast<LONG>(r));
}

// Hierarchy rows are the folders only, with counts of the messages below them.
TEST_F(TableLoadTest, HierarchyListsFoldersWithTheirCounts) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMAPIFolder> pTop = NewFolder(pInbox.Get(), L"Top");
    ComPtr<IMAPIFolder> pNested = NewFolder(pTop.Get(), L"Nested");
    AddMessage(pInbox.Get(), L"in inbox", false);
    AddMessage(pTop.Get(), L"read", true);
    AddMessage(pTop.Get(), L"unread 1", false);
    AddMessage(pTop.Get(), L"unread 2", false);
    AddMessage(pNested.Get(), L"nested", true);

    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pInbox->GetHierarchyTable(CONVENIENT_DEPTH, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(5, cols) = {
        5, {PR_DISPLAY_NAME_W, PR_CONTENT_COUNT, PR_CONTENT_UNREAD, PR_FOLDER_CHILD_COUNT, PR_DEPTH}};
    ASSERT_EQ(pTable->SetColumns((LPSPropTagArray)&cols, 0), S_OK);
    RowsHolder rows;
    ASSERT_EQ(pTable->QueryRows(10, 0, &rows.p), S_OK);
    ASSERT_EQ(rows.p->cRows, 2u);
    struct Expected {
        const wchar_t* pwszName;
        LONG lContent, lUnread, lChildren, lDepth;
    };
    const Expected expected[] = {{L"Top", 3, 2, 1, 1}, {L"Nested", 1, 0, 0, 2}};
    for (ULONG r = 0; r < 2; ++r) {
        const SPropValue* p = rows.p->aRow[r].lpProps;
        ASSERT_EQ(p[0].ulPropTag, PR_DISPLAY_NAME_W);
        EXPECT_EQ(std::wstring(p[0].Value.lpszW), expected[r].pwszName);
        EXPECT_EQ(p[1].Value.l, expected[r].lContent) << r;
        EXPECT_EQ(p[2].Value.l, expected[r].lUnread) << r;
        EXPECT_EQ(p[3].Value.l, expected[r].lChildren) << r;
        EXPECT_EQ(p[4].Value.l, expected[r].lDepth) << r;
    }
}

}  // namespace
}  // namespace MapiTest
