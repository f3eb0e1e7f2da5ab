#include "ItemTestSupport.h"

#include <memory>

#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Platform/Mapi/MapiAlloc.h"

using namespace Ostrel::Rpc;
using namespace ItemTest;

namespace {

int64_t Seconds(const FILETIME& ft) {
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - 116444736000000000LL) / 10000000;
}

}  // namespace

TEST(ItemResponses, ReadTheNewIds) {
    auto folder = Typed<CreateFolderResponse>(
        L"<CreateFolderResponse xmlns=\"urn:ostrelMail\"><folder id=\"300\" l=\"1\" name=\"Projects &amp; "
        L"Co\"/></CreateFolderResponse>");
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->FolderId(), 300);
    EXPECT_EQ(folder->ParentFolderId(), 1);
    EXPECT_STREQ(folder->FolderName(), L"Projects & Co");

    auto tag = Typed<CreateTagResponse>(
        L"<CreateTagResponse xmlns=\"urn:ostrelMail\"><tag id=\"64\" name=\"Work\"/></CreateTagResponse>");
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->Id(), 64);
    auto contact = Typed<CreateContactResponse>(
        L"<CreateContactResponse xmlns=\"urn:ostrelMail\"><cn id=\"412\" md=\"1700000000\"/></CreateContactResponse>");
    ASSERT_TRUE(contact);
    EXPECT_EQ(contact->Id(), 412);
    EXPECT_STREQ(contact->Modified(), L"412");
    auto added = Typed<AddMsgResponse>(L"<AddMsgResponse xmlns=\"urn:ostrelMail\"><m id=\"500\"/></AddMsgResponse>");
    ASSERT_TRUE(added);
    EXPECT_EQ(added->Id(), 500);
    auto draft =
        Typed<SaveDraftResponse>(L"<SaveDraftResponse xmlns=\"urn:ostrelMail\"><m id=\"501\"/></SaveDraftResponse>");
    ASSERT_TRUE(draft);
    EXPECT_EQ(draft->Id(), 501);

    // Missing or malformed values read as nothing.
    auto empty = Typed<CreateFolderResponse>(
        L"<CreateFolderResponse xmlns=\"urn:ostrelMail\"><folder id=\"x1\"/></CreateFolderResponse>");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->FolderId(), 0);
    EXPECT_EQ(empty->FolderName(), nullptr);
    auto overflow =
        Typed<AddMsgResponse>(L"<AddMsgResponse xmlns=\"urn:ostrelMail\"><m id=\"99999999999\"/></AddMsgResponse>");
    ASSERT_TRUE(overflow);
    EXPECT_EQ(overflow->Id(), 0);
}

TEST(ItemResponses, GetItemReadsTheDocument) {
    auto doc = Typed<GetItemResponse>(
        L"<GetItemResponse xmlns=\"urn:ostrelMail\"><doc id=\"7\" ver=\"3\" name=\"Plan.txt\" f=\"f\" "
        L"t=\"4,5\" tn=\"A,B\" cd=\"1600000000\" md=\"1700000000\"/></GetItemResponse>");
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->DocVersion(), 3u);
    EXPECT_STREQ(doc->DocName(), L"Plan.txt");
    EXPECT_STREQ(doc->DocFlags(), L"f");
    EXPECT_STREQ(doc->DocTagIds(), L"4,5");
    EXPECT_STREQ(doc->DocTagNames(), L"A,B");
    EXPECT_EQ(Seconds(doc->DocTime()), 1700000000);

    auto created =
        Typed<GetItemResponse>(L"<GetItemResponse xmlns=\"urn:ostrelMail\"><doc cd=\"1600000000\"/></GetItemResponse>");
    ASSERT_TRUE(created);
    EXPECT_EQ(created->DocVersion(), 1u);
    EXPECT_EQ(created->DocName(), nullptr);
    EXPECT_EQ(Seconds(created->DocTime()), 1600000000);
    auto bare =
        Typed<GetItemResponse>(L"<GetItemResponse xmlns=\"urn:ostrelMail\"><doc md=\"soon\"/></GetItemResponse>");
    ASSERT_TRUE(bare);
    EXPECT_EQ(Seconds(bare->DocTime()), 0);
    // Versions count from 1: zero or a negative one is as good as none.
    for (const wchar_t* ver : {L"0", L"-1", L"-2147483648"}) {
        auto odd = Typed<GetItemResponse>(L"<GetItemResponse xmlns=\"urn:ostrelMail\"><doc ver=\"" + std::wstring(ver) +
                                          L"\"/></GetItemResponse>");
        ASSERT_TRUE(odd);
        EXPECT_EQ(odd->DocVersion(), 1u) << ver;
    }
}

TEST(ItemResponses, SyncTokensAreMapiBuffers) {
    auto sync =
        Typed<SyncResponse>(L"<SyncResponse xmlns=\"urn:ostrelMail\" token=\"1234\"><folder id=\"1\"/></SyncResponse>");
    ASSERT_TRUE(sync);
    wchar_t* pwszToken = sync->SyncToken();
    ASSERT_NE(pwszToken, nullptr);
    EXPECT_STREQ(pwszToken, L"1234");
    MAPIFreeBuffer(pwszToken);
    auto none = Typed<SyncResponse>(L"<SyncResponse xmlns=\"urn:ostrelMail\"/>");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->SyncToken(), nullptr);

    auto gal = Typed<SyncGalResponse>(L"<SyncGalResponse xmlns=\"urn:ostrelAccount\" token=\"20240101\"/>");
    ASSERT_TRUE(gal);
    pwszToken = gal->SyncToken();
    ASSERT_NE(pwszToken, nullptr);
    EXPECT_STREQ(pwszToken, L"20240101");
    MAPIFreeBuffer(pwszToken);
}
