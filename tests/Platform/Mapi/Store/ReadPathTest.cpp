// Reads that copy only what was asked for, and saves that write many values per statement: what a
// caller gets back must not depend on how many values were asked for or written at once.
#include <cwchar>

#include "MapiTestUtil.h"

namespace MapiTest {
namespace {

class ReadPathTest : public StoreFixture {};

// The value of the kinds these tests read, as comparable text.
std::string Text(const SPropValue& v) {
    switch (PROP_TYPE(v.ulPropTag)) {
        case PT_LONG:
            return std::to_string(v.Value.l);
        case PT_BOOLEAN:
            return v.Value.b ? "true" : "false";
        case PT_BINARY:
            return std::string(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
        case PT_UNICODE:
            return std::string(v.Value.lpszW, v.Value.lpszW + wcslen(v.Value.lpszW));
        default:
            return "type " + std::to_string(PROP_TYPE(v.ulPropTag));
    }
}

// Values on both sides of every batch boundary come back after a reopen, binaries included (whose
// bytes are written without a copy).
TEST_F(ReadPathTest, ManyValuesSavedAtOnceAllComeBack) {
    for (int cValues : {15, 16, 17, 33, 40}) {
        std::string eid;
        {
            ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"values " + std::to_wstring(cValues));
            for (int i = 0; i < cValues; ++i) {
                const ULONG ulId = 0x7E00 + static_cast<ULONG>(i);
                if (i % 2)
                    ASSERT_EQ(SetLong(pMsg.Get(), PROP_TAG(PT_LONG, ulId), i * 7), S_OK);
                else
                    ASSERT_EQ(
                        SetBinary(pMsg.Get(), PROP_TAG(PT_BINARY, ulId), std::string(100 + i, char('a' + i % 26))),
                        S_OK);
            }
            ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
            eid = EntryId(pMsg.Get());
        }
        ComPtr<IMessage> pRead = OpenMessage(eid, 0);
        for (int i = 0; i < cValues; ++i) {
            const ULONG ulId = 0x7E00 + static_cast<ULONG>(i);
            if (i % 2)
                EXPECT_EQ(GetLong(pRead.Get(), PROP_TAG(PT_LONG, ulId)), i * 7) << cValues << " values, #" << i;
            else
                EXPECT_EQ(GetBinary(pRead.Get(), PROP_TAG(PT_BINARY, ulId)), std::string(100 + i, char('a' + i % 26)))
                    << cValues << " values, #" << i;
        }
        EXPECT_EQ(GetHr(pRead.Get(), PROP_TAG(PT_LONG, 0x7E00 + cValues)), MAPI_E_NOT_FOUND);
    }
}

// A read of a few tags gives the same values as a read of all, computed ones included, on the
// message, its attachment and the store.
TEST_F(ReadPathTest, NamedTagReadsMatchFullReads) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"sizes");
    ASSERT_EQ(SetString(pMsg.Get(), PR_BODY_W, std::wstring(3000, L'x')), S_OK);
    ULONG ulNum = 0;
    ComPtr<IAttach> pAttach;
    ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    ASSERT_EQ(SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, std::string(5000, 'd')), S_OK);
    ASSERT_EQ(SetString(pAttach.Get(), PR_ATTACH_LONG_FILENAME_W, L"data.bin"), S_OK);
    ASSERT_EQ(pAttach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    // Before the first save the message size is computed from the pending values.
    const LONG lPendingSize = GetLong(pMsg.Get(), PR_MESSAGE_SIZE);
    EXPECT_GT(lPendingSize, 3000);
    ASSERT_EQ(pMsg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    auto compare = [](IMAPIProp* pProp, std::vector<ULONG> tags) {
        MapiBuf<SPropValue> all;
        ULONG cAll = 0;
        ASSERT_EQ(pProp->GetProps(nullptr, MAPI_UNICODE, &cAll, &all), S_OK);
        SizedSPropTagArray(8, some) = {static_cast<ULONG>(tags.size()), {}};
        std::copy(tags.begin(), tags.end(), some.aulPropTag);
        MapiBuf<SPropValue> few;
        ULONG cFew = 0;
        ASSERT_EQ(pProp->GetProps(reinterpret_cast<LPSPropTagArray>(&some), MAPI_UNICODE, &cFew, &few), S_OK);
        ASSERT_EQ(cFew, tags.size());
        for (ULONG i = 0; i < cFew; ++i) {
            const SPropValue* pFull = PpropFindProp(all.p, cAll, tags[i]);
            ASSERT_NE(pFull, nullptr) << std::hex << tags[i];
            EXPECT_EQ(few[i].ulPropTag, tags[i]);
            EXPECT_EQ(Text(few[i]), Text(*pFull)) << std::hex << tags[i];
        }
    };
    compare(pMsg.Get(), {PR_MESSAGE_SIZE, PR_ENTRYID, PR_HASATTACH, PR_SUBJECT_W, PR_PARENT_ENTRYID});
    compare(pAttach.Get(), {PR_ATTACH_SIZE, PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME_W, PR_STORE_ENTRYID});
    compare(m_store.Get(), {PR_STORE_SUPPORT_MASK, PR_IPM_SUBTREE_ENTRYID, PR_MAPPING_SIGNATURE, PR_ENTRYID});
    EXPECT_GT(GetLong(pAttach.Get(), PR_ATTACH_SIZE), 5000);
}

// Attachment and recipient tables load the columns they show; a column added later must still
// find its values, a large one included.
TEST_F(ReadPathTest, TablesFindColumnsAddedAfterTheFirstLoad) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"tables");
    ULONG ulNum = 0;
    ComPtr<IAttach> pAttach;
    ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    ASSERT_EQ(SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, std::string(20000, 'z')), S_OK);
    ASSERT_EQ(SetLong(pAttach.Get(), PR_ATTACH_METHOD, ATTACH_BY_VALUE), S_OK);
    ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
    SPropValue recip[3] = {{PR_DISPLAY_NAME_W, 0, {}}, {PR_RECIPIENT_TYPE, 0, {}}, {PR_SEARCH_KEY, 0, {}}};
    recip[0].Value.lpszW = const_cast<wchar_t*>(L"Ann");
    recip[1].Value.l = MAPI_TO;
    recip[2].Value.bin = {4, (LPBYTE) "ANN:"};
    ADRLIST list{1, {{0, 3, recip}}};
    ASSERT_EQ(pMsg->ModifyRecipients(MODRECIP_ADD, &list), S_OK);
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    ComPtr<IMessage> pRead = OpenMessage(EntryId(pMsg.Get()), 0);

    ComPtr<IMAPITable> pAttachments;
    ASSERT_EQ(pRead->GetAttachmentTable(0, pAttachments.AddressOf()), S_OK);
    SizedSPropTagArray(2, dataCols) = {2, {PR_ATTACH_NUM, PR_ATTACH_DATA_BIN}};
    ASSERT_EQ(pAttachments->SetColumns(reinterpret_cast<LPSPropTagArray>(&dataCols), 0), S_OK);
    RowsHolder rows;
    ASSERT_EQ(pAttachments->QueryRows(10, 0, &rows.p), S_OK);
    ASSERT_EQ(rows.p->cRows, 1u);
    EXPECT_EQ(rows.p->aRow[0].lpProps[1].ulPropTag, PR_ATTACH_DATA_BIN);
    EXPECT_EQ(rows.p->aRow[0].lpProps[1].Value.bin.cb, 20000u);

    ComPtr<IMAPITable> pRecips;
    ASSERT_EQ(pRead->GetRecipientTable(MAPI_UNICODE, pRecips.AddressOf()), S_OK);
    SizedSPropTagArray(1, keyCol) = {1, {PR_SEARCH_KEY}};
    ASSERT_EQ(pRecips->SetColumns(reinterpret_cast<LPSPropTagArray>(&keyCol), 0), S_OK);
    // A restriction on a column not shown also sees its values.
    SPropValue to{PR_RECIPIENT_TYPE, 0, {}};
    to.Value.l = MAPI_TO;
    SRestriction res{RES_PROPERTY, {}};
    res.res.resProperty = {RELOP_EQ, PR_RECIPIENT_TYPE, &to};
    ASSERT_EQ(pRecips->Restrict(&res, 0), S_OK);
    RowsHolder recipRows;
    ASSERT_EQ(pRecips->QueryRows(10, 0, &recipRows.p), S_OK);
    ASSERT_EQ(recipRows.p->cRows, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(recipRows.p->aRow[0].lpProps[0].Value.bin.lpb),
                          recipRows.p->aRow[0].lpProps[0].Value.bin.cb),
              "ANN:");
}

}  // namespace
}  // namespace MapiTest
