// Change keys move for changes the user can see and for nothing else.
#include "Ostrel/Store/ChangeKey.h"
#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/Message.h"
#include "Ostrel/Store/StoreFolders.h"
#include "StoreTestUtil.h"
#include "Util/Time/Clock.h"

namespace StoreTest {
namespace {

using Ostrel::Mapi::Folder;

class ChangeKeyTest : public StoreFixture {
protected:
    std::string Key(IMAPIProp* p) { return GetBinary(p, PR_CHANGE_KEY); }
    std::string List(IMAPIProp* p) { return GetBinary(p, PR_PREDECESSOR_CHANGE_LIST); }
};

TEST_F(ChangeKeyTest, KeysAreXidsOfTheStoreThatNeverRepeat) {
    // The clock standing still must not give two changes the same key.
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"m");
    SBinary first{}, second{};
    ASSERT_TRUE(Ostrel::Mapi::GenerateChangeKey(pMessage.Get(), first));
    ASSERT_TRUE(Ostrel::Mapi::GenerateChangeKey(pMessage.Get(), second));
    ASSERT_EQ(first.cb, 24u);
    const std::string sSignature = GetBinary(m_store.Get(), PR_MAPPING_SIGNATURE);
    EXPECT_EQ(std::string((const char*)first.lpb, 16), sSignature);
    EXPECT_NE(std::string((const char*)first.lpb, 24), std::string((const char*)second.lpb, 24));
    // Keys sort in the order they were made (big-endian counter).
    EXPECT_LT(std::string((const char*)first.lpb + 16, 8), std::string((const char*)second.lpb + 16, 8));
    MAPIFreeBuffer(first.lpb);
    MAPIFreeBuffer(second.lpb);
}

TEST_F(ChangeKeyTest, FolderKeyMovesOnCreationAndRenameOnly) {
    ComPtr<IMAPIFolder> pParent = NewFolder(IpmSubtree().Get(), L"Sync");
    int bChanged = 0;
    ComPtr<IMAPIFolder> pFolder;
    pFolder.Attach(
        Ostrel::Mapi::CreateOrOpenFolderWithCollisionRename(m_store.Get(), pParent.Get(), L"Docs", 1, bChanged));
    ASSERT_TRUE(pFolder);
    const std::string sKey = Key(pFolder.Get());
    ASSERT_EQ(sKey.size(), 24u);
    EXPECT_EQ(List(pFolder.Get()), std::string(1, '\x18') + sKey);

    // Found again, stamped, marked local, given rights: nothing the user sees changes.
    ComPtr<IMAPIFolder> pAgain;
    pAgain.Attach(
        Ostrel::Mapi::CreateOrOpenFolderWithCollisionRename(m_store.Get(), pParent.Get(), L"Docs", 1, bChanged));
    ASSERT_TRUE(pAgain);
    Folder folder(pFolder.Get(), m_store.Get());
    ASSERT_EQ(Ostrel::Mapi::AddOstrelFolderId(pFolder.Get(), 1), S_OK);
    ASSERT_EQ(folder.Ace(0x1F), S_OK);
    ASSERT_EQ(folder.SetLocalFolder(0, 1), S_OK);
    ASSERT_EQ(folder.Update(L"Docs"), S_OK);
    EXPECT_EQ(Key(pFolder.Get()), sKey);

    ASSERT_EQ(folder.Update(L"Documents"), S_OK);
    const std::string sRenamed = Key(pFolder.Get());
    EXPECT_NE(sRenamed, sKey);
    // One entry per store in the predecessor list: the newest.
    EXPECT_EQ(List(pFolder.Get()), std::string(1, '\x18') + sRenamed);
}

TEST_F(ChangeKeyTest, MessageKeyMovesWhenTagsOrStateChange) {
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"m");
    Ostrel::Mapi::Message message(pMessage.Get(), m_store.Get());
    ASSERT_EQ(message.Update({}, {L"Red"}, 5, L"u"), S_OK);
    const std::string sKey = Key(pMessage.Get());
    ASSERT_EQ(sKey.size(), 24u);
    // The same state again, or only the conversation id: no new key.
    ASSERT_EQ(message.Update({}, {L"Red"}, 5, L"u"), S_OK);
    ASSERT_EQ(message.Update({}, {L"Red"}, 6, L"u"), S_OK);
    EXPECT_EQ(Key(pMessage.Get()), sKey);
    EXPECT_EQ(message.ConvId(), 6);
    Ostrel::Mapi::OstrelMailItem item(pMessage.Get(), m_store.Get());
    ASSERT_EQ(item.StampOstrelId(9), S_OK);
    ASSERT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(Key(pMessage.Get()), sKey);

    ASSERT_EQ(message.Update({}, {L"Red"}, 6, L""), S_OK);  // read now
    const std::string sRead = Key(pMessage.Get());
    EXPECT_NE(sRead, sKey);
    ASSERT_EQ(message.Update({}, {}, 6, L""), S_OK);  // categories removed
    EXPECT_NE(Key(pMessage.Get()), sRead);
    EXPECT_EQ(GetHr(pMessage.Get(), item.Props()->GetPropTag(Ostrel::Mapi::NamedProps::KEYWORDS, PT_MV_UNICODE)),
              MAPI_E_NOT_FOUND);
}

TEST_F(ChangeKeyTest, DamagedPredecessorListIsReplaced) {
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"m");
    // An entry of another store, then a length byte that runs past the end.
    std::string sOther = std::string(1, '\x18') + std::string(24, 'x');
    SPropValue v{};
    v.ulPropTag = PR_PREDECESSOR_CHANGE_LIST;
    v.Value.bin = {static_cast<ULONG>(sOther.size()), (LPBYTE)sOther.data()};
    ASSERT_EQ(HrSetOneProp(pMessage.Get(), &v), S_OK);
    ASSERT_TRUE(Ostrel::Mapi::UpdateChangeKey(pMessage.Get()));
    EXPECT_EQ(List(pMessage.Get()), std::string(1, '\x18') + Key(pMessage.Get()) + sOther);

    std::string sBad = sOther + "\x30" + "short";
    v.Value.bin = {static_cast<ULONG>(sBad.size()), (LPBYTE)sBad.data()};
    ASSERT_EQ(HrSetOneProp(pMessage.Get(), &v), S_OK);
    ASSERT_TRUE(Ostrel::Mapi::UpdateChangeKey(pMessage.Get()));
    EXPECT_EQ(List(pMessage.Get()), std::string(1, '\x18') + Key(pMessage.Get()));
}

}  // namespace
}  // namespace StoreTest
