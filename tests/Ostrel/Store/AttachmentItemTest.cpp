// The bookkeeping properties on attachments and embedded messages, saved and read back.
#include "Ostrel/Store/MailItem.h"
#include "StoreTestUtil.h"

namespace StoreTest {
namespace {

using Ostrel::Mapi::OstrelMailItem;
using Ostrel::Mapi::OstrelMailItemBase;

const FILETIME kModified = {0x12345678, 0x01D9ABCD};

void Stamp(OstrelMailItemBase& item, LONG lId) {
    EXPECT_EQ(item.StampOstrelId(lId), S_OK);
    EXPECT_EQ(item.ReplicationId(L"rep-\u00e9-1"), S_OK);
    EXPECT_EQ(item.LastServerReplicationId(L"srv-2"), S_OK);
    EXPECT_EQ(item.OstrelLastModified(kModified), S_OK);
    EXPECT_EQ(item.DocVersion(7), S_OK);
    EXPECT_EQ(item.DocName(L"page.html"), S_OK);
    EXPECT_EQ(item.IgnoreLocalChanges(1, 0), S_OK);
}

void ExpectStamped(OstrelMailItemBase& item, LONG lId) {
    EXPECT_EQ(item.OstrelId(), lId);
    EXPECT_EQ(item.ReplicationId(), L"rep-\u00e9-1");
    EXPECT_EQ(item.LastServerReplicationId(), L"srv-2");
    FILETIME ft = item.OstrelLastModified();
    EXPECT_EQ(ft.dwLowDateTime, kModified.dwLowDateTime);
    EXPECT_EQ(ft.dwHighDateTime, kModified.dwHighDateTime);
    EXPECT_EQ(item.DocVersion(), 7u);
    EXPECT_EQ(item.DocName(), L"page.html");
    EXPECT_TRUE(item.IgnoreLocalChanges());
}

using AttachmentItemTest = StoreFixture;

TEST_F(AttachmentItemTest, BookkeepingRoundTripsOnAttachmentsAndEmbeddedMessages) {
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"outer");
    ComPtr<IAttach> pFile, pEmbedded;
    ULONG ulFile = 0, ulEmbedded = 0;
    ASSERT_EQ(pMessage->CreateAttach(nullptr, 0, &ulFile, pFile.AddressOf()), S_OK);
    ASSERT_EQ(SetLong(pFile.Get(), PR_ATTACH_METHOD, ATTACH_BY_VALUE), S_OK);
    {
        OstrelMailItemBase item(pFile.Get());
        ASSERT_NE(item.Props(), nullptr);
        Stamp(item, 11);
    }
    ASSERT_EQ(pFile->SaveChanges(0), S_OK);
    ASSERT_EQ(pMessage->CreateAttach(nullptr, 0, &ulEmbedded, pEmbedded.AddressOf()), S_OK);
    ASSERT_EQ(SetLong(pEmbedded.Get(), PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG), S_OK);
    ComPtr<IMessage> pInner;
    ASSERT_EQ(pEmbedded->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                      reinterpret_cast<IUnknown**>(pInner.AddressOf())),
              S_OK);
    {
        OstrelMailItem item(pInner.Get(), m_store.Get());
        ASSERT_NE(item.Props(), nullptr);
        Stamp(item, 12);
    }
    ASSERT_EQ(pInner->SaveChanges(0), S_OK);
    ASSERT_EQ(pEmbedded->SaveChanges(0), S_OK);
    ASSERT_EQ(pMessage->SaveChanges(0), S_OK);
    const std::string sMessage = EntryId(pMessage.Get());
    pInner.Reset();
    pEmbedded.Reset();
    pFile.Reset();
    pMessage.Reset();
    Reopen();

    pMessage = OpenMessage(sMessage);
    ASSERT_EQ(pMessage->OpenAttach(ulFile, nullptr, MAPI_MODIFY, pFile.AddressOf()), S_OK);
    OstrelMailItemBase file(pFile.Get());
    ExpectStamped(file, 11);
    ASSERT_EQ(pMessage->OpenAttach(ulEmbedded, nullptr, MAPI_MODIFY, pEmbedded.AddressOf()), S_OK);
    ASSERT_EQ(pEmbedded->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_MODIFY,
                                      reinterpret_cast<IUnknown**>(pInner.AddressOf())),
              S_OK);
    OstrelMailItem inner(pInner.Get(), m_store.Get());
    ExpectStamped(inner, 12);
}

}  // namespace
}  // namespace StoreTest
