// The bookkeeping properties through the item wrappers on every kind of store object, saved and
// read back from the file.
#include "BookkeepingStamps.h"
#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/Message.h"
#include "Ostrel/Store/StoreFolders.h"
#include "StoreTestUtil.h"
#include "Util/Log/Log.h"

namespace StoreTest {
namespace {

using Ostrel::Mapi::OstrelFolderMailItem;
using Ostrel::Mapi::OstrelMailItem;
using Ostrel::Mapi::OstrelMailItemBase;

using MailItemTest = StoreFixture;

TEST_F(MailItemTest, BookkeepingRoundTripsOnMessagesAndFolders) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMessage> pMessage = NewMessage(pInbox.Get(), L"stamped");
    {
        OstrelMailItem item(pMessage.Get(), m_store.Get());
        EXPECT_EQ(item.OstrelId(), 0);  // nothing stamped yet
        Stamp(item, 4711);
        ASSERT_EQ(pMessage->SaveChanges(0), S_OK);
    }
    ComPtr<IMAPIFolder> pFolder = NewFolder(IpmSubtree().Get(), L"Server folder");
    {
        OstrelFolderMailItem item(pFolder.Get(), IpmSubtree().Get());
        Stamp(item, -17);
        ASSERT_EQ(pFolder->SaveChanges(0), S_OK);
    }
    const std::string sMessage = EntryId(pMessage.Get());
    const std::string sFolder = EntryId(pFolder.Get());
    pMessage.Reset();
    pFolder.Reset();
    pInbox.Reset();
    Reopen();

    SBinary eid{static_cast<ULONG>(sMessage.size()), (LPBYTE)sMessage.data()};
    OstrelMailItem message(&eid, m_store.Get());
    ASSERT_TRUE(message.Exists());
    ExpectStamped(message, 4711);
    EXPECT_EQ(message.OstrelMailItemType(), Ostrel::Mail::MIT_MESSAGE);
    SBinary parent{0, nullptr};
    ASSERT_EQ(message.ParentEntryId(&parent), S_OK);
    EXPECT_EQ(std::string((const char*)parent.lpb, parent.cb), EntryId(Inbox().Get()));
    MAPIFreeBuffer(parent.lpb);

    ComPtr<IMAPIFolder> pSubtree = IpmSubtree();
    SBinary feid{static_cast<ULONG>(sFolder.size()), (LPBYTE)sFolder.data()};
    OstrelFolderMailItem folder(&feid, pSubtree.Get());
    ExpectStamped(folder, -17);
    EXPECT_EQ(folder.OstrelMailItemType(), Ostrel::Mail::MIT_FOLDER);
}

TEST_F(MailItemTest, ItemKindsTagsAndFlags) {
    using Ostrel::Mapi::MsgClassToItemType;
    EXPECT_EQ(MsgClassToItemType(L"IPM.Contact"), Ostrel::Mail::MIT_CONTACT);
    EXPECT_EQ(MsgClassToItemType(L"ipm.appointment.custom"), Ostrel::Mail::MIT_APPOINTMENT);
    EXPECT_EQ(MsgClassToItemType(L"IPM.TaskRequest"), Ostrel::Mail::MIT_MESSAGE);
    EXPECT_EQ(MsgClassToItemType(L"IPM.Task"), Ostrel::Mail::MIT_TASK);
    EXPECT_EQ(MsgClassToItemType(nullptr), Ostrel::Mail::MIT_MESSAGE);

    // Tag messages in the tag folder name the server tags; categories that are not tags are skipped.
    ComPtr<IMAPIFolder> pTags;
    pTags.Attach(Ostrel::Mapi::GetTagFolder(m_store.Get()));
    ASSERT_TRUE(pTags);
    auto* pProps = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get());
    const ULONG ulIdTag = Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::OSTREL_ID, PT_LONG, pProps);
    for (auto [name, id] : {std::pair<const wchar_t*, LONG>{L"Work", 3}, {L"Home", 17}}) {
        ComPtr<IMessage> pTag;
        ASSERT_EQ(pTags->CreateMessage(nullptr, MAPI_ASSOCIATED, pTag.AddressOf()), S_OK);
        ASSERT_EQ(SetString(pTag.Get(), PR_DISPLAY_NAME_W, name), S_OK);
        ASSERT_EQ(SetLong(pTag.Get(), ulIdTag, id), S_OK);
        ASSERT_EQ(pTag->SaveChanges(0), S_OK);
    }
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"tagged");
    Ostrel::Mapi::Message message(pMessage.Get(), m_store.Get());
    ASSERT_EQ(message.Update({}, {L"home", L"Private", L"Work"}, 99, L"uf"), S_OK);
    OstrelMailItem item(pMessage.Get(), m_store.Get());
    Ostrel::Mail::TagNameList* pNames = item.OstrelTagNames();
    EXPECT_EQ(*pNames, (Ostrel::Mail::TagNameList{L"home", L"Private", L"Work"}));
    OstrelMailItem::FreeTagNames(pNames);
    EXPECT_EQ(pNames, nullptr);
    Ostrel::Mail::TagIdList* pIds = item.OstrelTagIds();
    EXPECT_EQ(*pIds, (Ostrel::Mail::TagIdList{17, 3}));
    OstrelMailItem::FreeTagIds(pIds);
    EXPECT_EQ(message.ConvId(), 99);
    Ostrel::Mail::MessageFlags flags = item.OstrelMessageFlags(Ostrel::Mail::MIT_MESSAGE);
    EXPECT_TRUE(flags.Unread());
    EXPECT_TRUE(flags.Flagged());
    EXPECT_FALSE(flags.Replied());

    // Tag ids become names through the tag folder when no names are given.
    ComPtr<IMessage> pOther = NewMessage(Inbox().Get(), L"by id");
    Ostrel::Mapi::Message other(pOther.Get(), m_store.Get());
    ASSERT_EQ(other.Update({3, 5}, {}, 0, nullptr), S_OK);
    OstrelMailItem otherItem(pOther.Get(), m_store.Get());
    pNames = otherItem.OstrelTagNames();
    EXPECT_EQ(*pNames, (Ostrel::Mail::TagNameList{L"Work"}));
    OstrelMailItem::FreeTagNames(pNames);
}

TEST_F(MailItemTest, EmptyWrapperFailsWithoutTouchingAnything) {
    Ostrel::Util::LogCapture capture;
    OstrelMailItemBase empty;
    EXPECT_EQ(empty.OstrelId(), 0);
    EXPECT_TRUE(FAILED(empty.OstrelId(5)));
    EXPECT_FALSE(empty.Exists());
    EXPECT_TRUE(capture.Contains(L"invalid inner pointer"));
    SBinary bad{3, (LPBYTE) "abc"};
    OstrelMailItem missing(&bad, m_store.Get());
    EXPECT_FALSE(missing.Exists());
    EXPECT_EQ(missing.OstrelId(), 0);
}

}  // namespace
}  // namespace StoreTest
