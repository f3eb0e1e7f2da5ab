// The bookkeeping properties on attachments and embedded messages, saved and read back.
#include "BookkeepingStamps.h"
#include "Ostrel/Store/MailItem.h"
#include "StoreTestUtil.h"

namespace StoreTest {
namespace {

using Ostrel::Mapi::OstrelMailItem;
using Ostrel::Mapi::OstrelMailItemBase;

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
