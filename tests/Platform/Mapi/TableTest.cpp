#include "MapiTestUtil.h"

namespace MapiTest {
namespace {

// A folder with five messages: subject "m<i>", importance i % 3, size-ish body, flags read for even i.
class TableTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        m_folder = Inbox();
        for (int i = 0; i < 5; ++i) {
            ComPtr<IMessage> pMsg = NewMessage(m_folder.Get(), L"m" + std::to_wstring(i));
            SetLong(pMsg.Get(), PR_IMPORTANCE, i % 3);
            SetString(pMsg.Get(), PR_BODY_W, std::wstring(10 * (i + 1), L'b'));
            if (i == 4) {
                void* p = nullptr;
                MAPIAllocateBuffer(CbNewADRLIST(1), &p);
                auto* pList = static_cast<ADRLIST*>(p);
                MAPIAllocateBuffer(sizeof(SPropValue), (void**)&pList->aEntries[0].rgPropVals);
                pList->cEntries = 1;
                pList->aEntries[0].cValues = 1;
                pList->aEntries[0].rgPropVals[0].ulPropTag = PR_EMAIL_ADDRESS_W;
                pList->aEntries[0].rgPropVals[0].Value.lpszW = const_cast<wchar_t*>(L"zed@example.com");
                ASSERT_EQ(pMsg->ModifyRecipients(0, pList), S_OK);
                FreePadrlist(pList);
            }
            ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
            if (i % 2) {
                ComPtr<IMessage> pRead = OpenMessage(EntryId(pMsg.Get()), 0);
                pRead->SetReadFlag(CLEAR_READ_FLAG);
            }
        }
        ASSERT_EQ(m_folder->GetContentsTable(0, m_table.AddressOf()), S_OK);
        SizedSPropTagArray(3, cols) = {3, {PR_SUBJECT_W, PR_IMPORTANCE, PR_COMMENT_W}};
        ASSERT_EQ(m_table->SetColumns((LPSPropTagArray)&cols, 0), S_OK);
    }

    std::vector<std::wstring> Subjects(LPSRestriction pRes) {
        EXPECT_EQ(m_table->Restrict(pRes, 0), S_OK);
        RowsHolder rows;
        EXPECT_EQ(m_table->QueryRows(100, 0, &rows.p), S_OK);
        std::vector<std::wstring> out;
        for (ULONG i = 0; i < rows.p->cRows; ++i)
            out.push_back(rows.p->aRow[i].lpProps[0].Value.lpszW);
        return out;
    }

    ComPtr<IMAPIFolder> m_folder;
    ComPtr<IMAPITable> m_table;
};

using Names = std::vector<std::wstring>;

TEST_F(TableTest, ColumnsComeBackWithErrorsForMissingValues) {
    RowsHolder rows;
    ASSERT_EQ(m_table->QueryRows(1, 0, &rows.p), S_OK);
    ASSERT_EQ(rows.p->cRows, 1u);
    EXPECT_EQ(rows.p->aRow[0].cValues, 3u);
    EXPECT_EQ(rows.p->aRow[0].lpProps[2].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_COMMENT)));
    EXPECT_EQ(rows.p->aRow[0].lpProps[2].Value.err, MAPI_E_NOT_FOUND);
    SizedSPropTagArray(1, bad) = {1, {PROP_TAG(0x1234, 0x6000)}};
    EXPECT_EQ(m_table->SetColumns((LPSPropTagArray)&bad, 0), MAPI_E_INVALID_TYPE);
    EXPECT_EQ(m_table->QueryRows(0, 0, &rows.p), MAPI_E_INVALID_PARAMETER);
}

TEST_F(TableTest, PropertyAndLogicalRestrictions) {
    SPropValue one{PR_IMPORTANCE, 0, {}};
    one.Value.l = 1;
    SRestriction eq{RES_PROPERTY, {}};
    eq.res.resProperty = {RELOP_EQ, PR_IMPORTANCE, &one};
    EXPECT_EQ(Subjects(&eq), (Names{L"m1", L"m4"}));
    SRestriction ge = eq;
    ge.res.resProperty.relop = RELOP_GE;
    EXPECT_EQ(Subjects(&ge), (Names{L"m1", L"m2", L"m4"}));
    SRestriction notRes{RES_NOT, {}};
    notRes.res.resNot = {0, &eq};
    EXPECT_EQ(Subjects(&notRes), (Names{L"m0", L"m2", L"m3"}));
    SPropValue subject{PR_SUBJECT_W, 0, {}};
    subject.Value.lpszW = const_cast<wchar_t*>(L"M3");  // strings compare without regard to case
    SRestriction bySubject{RES_PROPERTY, {}};
    bySubject.res.resProperty = {RELOP_EQ, PR_SUBJECT_W, &subject};
    SRestriction both[2] = {eq, bySubject};
    SRestriction orRes{RES_OR, {}};
    orRes.res.resOr = {2, both};
    EXPECT_EQ(Subjects(&orRes), (Names{L"m1", L"m3", L"m4"}));
    SRestriction andRes{RES_AND, {}};
    andRes.res.resAnd = {2, both};
    EXPECT_EQ(Subjects(&andRes), Names{});
    EXPECT_EQ(Subjects(nullptr).size(), 5u);
}

TEST_F(TableTest, ContentBitmaskSizeExistAndSubRestrictions) {
    SPropValue text{PR_SUBJECT_W, 0, {}};
    text.Value.lpszW = const_cast<wchar_t*>(L"M");
    SRestriction prefix{RES_CONTENT, {}};
    prefix.res.resContent = {FL_PREFIX | FL_IGNORECASE, PR_SUBJECT_W, &text};
    EXPECT_EQ(Subjects(&prefix).size(), 5u);
    prefix.res.resContent.ulFuzzyLevel = FL_PREFIX;  // case matters now
    EXPECT_EQ(Subjects(&prefix).size(), 0u);

    SRestriction unread{RES_BITMASK, {}};
    unread.res.resBitMask = {BMR_EQZ, PR_MESSAGE_FLAGS, MSGFLAG_READ};
    EXPECT_EQ(Subjects(&unread), (Names{L"m1", L"m3"}));

    SRestriction big{RES_SIZE, {}};
    big.res.resSize = {RELOP_GT, PR_BODY_W, 2 * (30 + 1)};
    EXPECT_EQ(Subjects(&big), (Names{L"m3", L"m4"}));

    SRestriction exists{RES_EXIST, {}};
    exists.res.resExist = {0, PR_COMMENT_W, 0};
    EXPECT_EQ(Subjects(&exists), Names{});

    SPropValue addr{PR_EMAIL_ADDRESS_W, 0, {}};
    addr.Value.lpszW = const_cast<wchar_t*>(L"zed@");
    SRestriction inner{RES_CONTENT, {}};
    inner.res.resContent = {FL_SUBSTRING, PR_EMAIL_ADDRESS_W, &addr};
    SRestriction sub{RES_SUBRESTRICTION, {}};
    sub.res.resSub = {PR_MESSAGE_RECIPIENTS, &inner};
    EXPECT_EQ(Subjects(&sub), (Names{L"m4"}));
}

TEST_F(TableTest, MalformedOrMistypedRestrictionsAreRefused) {
    SPropValue text{PR_SUBJECT_W, 0, {}};
    text.Value.lpszW = const_cast<wchar_t*>(L"m1");
    SRestriction mismatch{RES_PROPERTY, {}};
    mismatch.res.resProperty = {RELOP_EQ, PR_IMPORTANCE, &text};  // a number against text
    EXPECT_EQ(m_table->Restrict(&mismatch, 0), MAPI_E_TOO_COMPLEX);
    SRestriction badRelop = mismatch;
    badRelop.res.resProperty = {99, PR_SUBJECT_W, &text};
    EXPECT_EQ(m_table->Restrict(&badRelop, 0), MAPI_E_INVALID_PARAMETER);
    SRestriction noValue{RES_PROPERTY, {}};
    noValue.res.resProperty = {RELOP_EQ, PR_SUBJECT_W, nullptr};
    EXPECT_EQ(m_table->Restrict(&noValue, 0), MAPI_E_INVALID_PARAMETER);
    SRestriction contentOnLong{RES_CONTENT, {}};
    contentOnLong.res.resContent = {FL_SUBSTRING, PR_IMPORTANCE, &text};
    EXPECT_EQ(m_table->Restrict(&contentOnLong, 0), MAPI_E_TOO_COMPLEX);
    SRestriction bitmaskOnText{RES_BITMASK, {}};
    bitmaskOnText.res.resBitMask = {BMR_EQZ, PR_SUBJECT_W, 1};
    EXPECT_EQ(m_table->Restrict(&bitmaskOnText, 0), MAPI_E_TOO_COMPLEX);
    SRestriction unknown{77, {}};
    EXPECT_EQ(m_table->Restrict(&unknown, 0), MAPI_E_INVALID_PARAMETER);
    SRestriction andNull{RES_AND, {}};
    andNull.res.resAnd = {3, nullptr};
    EXPECT_EQ(m_table->Restrict(&andNull, 0), MAPI_E_INVALID_PARAMETER);
    // Deep nesting is refused rather than followed.
    std::vector<SRestriction> chain(1000);
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        chain[i].rt = RES_NOT;
        chain[i].res.resNot = {0, &chain[i + 1]};
    }
    chain.back().rt = RES_EXIST;
    chain.back().res.resExist = {0, PR_SUBJECT_W, 0};
    EXPECT_EQ(m_table->Restrict(chain.data(), 0), MAPI_E_TOO_COMPLEX);
    EXPECT_EQ(RowCount(m_table.Get()), 5u);  // the table is unchanged by the refusals
}

TEST_F(TableTest, SortingSeekingFindingAndBookmarks) {
    SizedSSortOrderSet(2, sort) = {2, 0, 0, {{PR_IMPORTANCE, TABLE_SORT_DESCEND}, {PR_SUBJECT_W, TABLE_SORT_ASCEND}}};
    ASSERT_EQ(m_table->SortTable((LPSSortOrderSet)&sort, 0), S_OK);
    EXPECT_EQ(Subjects(nullptr), (Names{L"m2", L"m1", L"m4", L"m0", L"m3"}));
    SizedSSortOrderSet(1, categorized) = {1, 1, 0, {{PR_IMPORTANCE, TABLE_SORT_ASCEND}}};
    EXPECT_EQ(m_table->SortTable((LPSSortOrderSet)&categorized, 0), MAPI_E_TOO_COMPLEX);

    LONG lSought = 0;
    ASSERT_EQ(m_table->SeekRow(BOOKMARK_BEGINNING, 3, &lSought), S_OK);
    EXPECT_EQ(lSought, 3);
    BOOKMARK bk = 0;
    ASSERT_EQ(m_table->CreateBookmark(&bk), S_OK);
    ASSERT_EQ(m_table->SeekRow(BOOKMARK_CURRENT, 10, &lSought), S_OK);
    EXPECT_EQ(lSought, 2);  // clamped at the end
    RowsHolder none;
    ASSERT_EQ(m_table->QueryRows(1, 0, &none.p), S_OK);
    EXPECT_EQ(none.p->cRows, 0u);
    RowsHolder back;
    ASSERT_EQ(m_table->QueryRows(-2, 0, &back.p), S_OK);
    ASSERT_EQ(back.p->cRows, 2u);
    EXPECT_STREQ(back.p->aRow[0].lpProps[0].Value.lpszW, L"m0");
    ASSERT_EQ(m_table->SeekRow(bk, 0, nullptr), S_OK);
    ULONG ulRow, ulNum, ulDen;
    ASSERT_EQ(m_table->QueryPosition(&ulRow, &ulNum, &ulDen), S_OK);
    EXPECT_EQ(ulRow, 3u);
    EXPECT_EQ(m_table->FreeBookmark(bk), S_OK);
    EXPECT_EQ(m_table->SeekRow(bk, 0, nullptr), MAPI_E_INVALID_BOOKMARK);

    SPropValue target{PR_SUBJECT_W, 0, {}};
    target.Value.lpszW = const_cast<wchar_t*>(L"m1");
    SRestriction find{RES_PROPERTY, {}};
    find.res.resProperty = {RELOP_EQ, PR_SUBJECT_W, &target};
    ASSERT_EQ(m_table->FindRow(&find, BOOKMARK_BEGINNING, 0), S_OK);
    ASSERT_EQ(m_table->QueryPosition(&ulRow, &ulNum, &ulDen), S_OK);
    EXPECT_EQ(ulRow, 1u);
    EXPECT_EQ(m_table->FindRow(&find, BOOKMARK_CURRENT + 0, 0), S_OK);
    ASSERT_EQ(m_table->SeekRow(BOOKMARK_BEGINNING, 2, nullptr), S_OK);
    EXPECT_EQ(m_table->FindRow(&find, BOOKMARK_CURRENT, 0), MAPI_E_NOT_FOUND);
    EXPECT_EQ(m_table->FindRow(&find, BOOKMARK_CURRENT, DIR_BACKWARD), S_OK);
}

}  // namespace
}  // namespace MapiTest
