// Embedded messages found, recurrence exceptions dropped, non-delivery reports built.
#include "Ostrel/Store/Attachments.h"
#include "StoreTestUtil.h"

namespace StoreTest {
namespace {

using AttachmentsTest = StoreFixture;

ULONG AddAttachment(IMessage* pMessage, LONG lMethod, ULONG ulFlags) {
    ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    EXPECT_EQ(pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    EXPECT_EQ(SetLong(pAttach.Get(), PR_ATTACH_METHOD, lMethod), S_OK);
    if (ulFlags) {
        EXPECT_EQ(SetLong(pAttach.Get(), PR_ATTACHMENT_FLAGS, static_cast<LONG>(ulFlags)), S_OK);
    }
    if (lMethod == ATTACH_EMBEDDED_MSG) {
        ComPtr<IMessage> pInner;
        EXPECT_EQ(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                        reinterpret_cast<IUnknown**>(pInner.AddressOf())),
                  S_OK);
        EXPECT_EQ(SetString(pInner.Get(), PR_SUBJECT_W, L"inner"), S_OK);
        EXPECT_EQ(pInner->SaveChanges(0), S_OK);
    }
    EXPECT_EQ(pAttach->SaveChanges(0), S_OK);
    return ulNum;
}

ULONG AttachmentCount(IMessage* pMessage) {
    ComPtr<IMAPITable> pTable;
    ULONG c = 0;
    EXPECT_EQ(pMessage->GetAttachmentTable(0, pTable.AddressOf()), S_OK);
    EXPECT_EQ(pTable->GetRowCount(0, &c), S_OK);
    return c;
}

TEST_F(AttachmentsTest, EmbeddedMessagesAreFoundAndExceptionsRemoved) {
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"recurring");
    AddAttachment(pMessage.Get(), ATTACH_BY_VALUE, 0);
    const ULONG ulException = AddAttachment(pMessage.Get(), ATTACH_EMBEDDED_MSG, 0x2);
    const ULONG ulForwarded = AddAttachment(pMessage.Get(), ATTACH_EMBEDDED_MSG, 0);
    ASSERT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::vector<ULONG> nums;
    ASSERT_EQ(Ostrel::Mapi::FindEmbeddedMsgAttachments(pMessage.Get(), nums), S_OK);
    EXPECT_EQ(nums, (std::vector<ULONG>{ulException, ulForwarded}));

    ASSERT_EQ(Ostrel::Mapi::RemoveExceptionAttachments(pMessage.Get()), S_OK);
    EXPECT_EQ(AttachmentCount(pMessage.Get()), 2u);
    ASSERT_EQ(Ostrel::Mapi::FindEmbeddedMsgAttachments(pMessage.Get(), nums), S_OK);
    EXPECT_EQ(nums, (std::vector<ULONG>{ulForwarded}));
}

TEST_F(AttachmentsTest, ContactsBecomeVCards) {
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"cards");
    const ULONG ulContact = AddAttachment(pMessage.Get(), ATTACH_EMBEDDED_MSG, 0);
    AddAttachment(pMessage.Get(), ATTACH_EMBEDDED_MSG, 0);
    {
        ComPtr<IAttach> pAttach;
        ComPtr<IMessage> pInner;
        ASSERT_EQ(pMessage->OpenAttach(ulContact, nullptr, MAPI_MODIFY, pAttach.AddressOf()), S_OK);
        ASSERT_EQ(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_MODIFY,
                                        reinterpret_cast<IUnknown**>(pInner.AddressOf())),
                  S_OK);
        ASSERT_EQ(SetString(pInner.Get(), PR_MESSAGE_CLASS_W, L"IPM.Contact"), S_OK);
        ASSERT_EQ(SetString(pInner.Get(), PR_DISPLAY_NAME_W, L"Ann Lee"), S_OK);
        ASSERT_EQ(pInner->SaveChanges(0), S_OK);
        ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
    }
    ASSERT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    // Without a converter nothing changes.
    EXPECT_EQ(Ostrel::Mapi::ReplaceContactAttachments(pMessage.Get(), nullptr), MAPI_E_NO_SUPPORT);
    Ostrel::Mapi::SetContactAttachmentConverter([](IMessage*, std::string&) { return MAPI_E_CALL_FAILED; });
    EXPECT_EQ(Ostrel::Mapi::ReplaceContactAttachments(pMessage.Get(), nullptr), S_OK);
    std::vector<ULONG> nums;
    ASSERT_EQ(Ostrel::Mapi::FindEmbeddedMsgAttachments(pMessage.Get(), nums), S_OK);
    EXPECT_EQ(nums.size(), 2u);

    Ostrel::Mapi::SetContactAttachmentConverter([](IMessage* pContact, std::string& sCard) {
        sCard = "BEGIN:VCARD\r\nFN:" + std::string(GetString(pContact, PR_DISPLAY_NAME_W) == L"Ann Lee" ? "Ann" : "?") +
                "\r\nEND:VCARD\r\n";
        return S_OK;
    });
    EXPECT_EQ(Ostrel::Mapi::ReplaceContactAttachments(pMessage.Get(), nullptr), S_OK);
    Ostrel::Mapi::SetContactAttachmentConverter(nullptr);
    ASSERT_EQ(Ostrel::Mapi::FindEmbeddedMsgAttachments(pMessage.Get(), nums), S_OK);
    EXPECT_EQ(nums.size(), 1u);  // the other embedded message stays
    EXPECT_EQ(AttachmentCount(pMessage.Get()), 2u);
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pMessage->GetAttachmentTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(3, cols) = {3, {PR_ATTACH_LONG_FILENAME_W, PR_ATTACH_DATA_BIN, PR_ATTACH_MIME_TAG_W}};
    RowsHolder rows;
    ASSERT_EQ(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows.p),
              S_OK);
    bool bFound = false;
    for (ULONG i = 0; i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        if (row.lpProps[0].ulPropTag != PR_ATTACH_LONG_FILENAME_W)
            continue;
        bFound = true;
        EXPECT_STREQ(row.lpProps[0].Value.lpszW, L"Ann Lee.vcf");
        EXPECT_EQ(std::string((const char*)row.lpProps[1].Value.bin.lpb, row.lpProps[1].Value.bin.cb),
                  "BEGIN:VCARD\r\nFN:Ann\r\nEND:VCARD\r\n");
        EXPECT_STREQ(row.lpProps[2].Value.lpszW, L"text/x-vcard");
    }
    EXPECT_TRUE(bFound);
}

TEST_F(AttachmentsTest, NonDeliveryReportCarriesTheOriginal) {
    ComPtr<IMessage> pOriginal = NewMessage(Inbox().Get(), L"Hello");
    std::wstring wsName = L"Nobody Here", wsAddress = L"nobody@example.com", wsType = L"SMTP";
    SPropValue props[4]{};
    props[0] = {PR_DISPLAY_NAME_W, 0, {}};
    props[0].Value.lpszW = wsName.data();
    props[1] = {PR_EMAIL_ADDRESS_W, 0, {}};
    props[1].Value.lpszW = wsAddress.data();
    props[2] = {PR_ADDRTYPE_W, 0, {}};
    props[2].Value.lpszW = wsType.data();
    props[3] = {PR_RECIPIENT_TYPE, 0, {}};
    props[3].Value.l = MAPI_TO;
    void* p = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(CbNewADRLIST(1), &p), S_OK);
    auto* pList = static_cast<ADRLIST*>(p);
    pList->cEntries = 1;
    pList->aEntries[0] = {0, 4, nullptr};
    ASSERT_EQ(ScDupPropset(4, props, &MAPIAllocateBuffer, &pList->aEntries[0].rgPropVals), S_OK);

    ComPtr<IMessage> pReport;
    ASSERT_EQ(Ostrel::Mapi::HrCreateNonDeliveryReport(Inbox().Get(), pOriginal.Get(), pList, pReport.AddressOf()),
              S_OK);
    FreePadrlist(pList);
    EXPECT_EQ(GetString(pReport.Get(), PR_MESSAGE_CLASS_W), L"REPORT.IPM.Note.NDR");
    EXPECT_EQ(GetString(pReport.Get(), PR_SUBJECT_W), L"Undeliverable: Hello");
    EXPECT_EQ(GetString(pReport.Get(), PR_ORIGINAL_SUBJECT_W), L"Hello");
    std::vector<ULONG> nums;
    ASSERT_EQ(Ostrel::Mapi::FindEmbeddedMsgAttachments(pReport.Get(), nums), S_OK);
    EXPECT_EQ(nums.size(), 1u);
    ASSERT_EQ(Ostrel::Mapi::HrAddNDRBody(pReport.Get(), nullptr), S_OK);
    EXPECT_NE(GetString(pReport.Get(), PR_BODY_W).find(L"Nobody Here"), std::wstring::npos);
}

}  // namespace
}  // namespace StoreTest
