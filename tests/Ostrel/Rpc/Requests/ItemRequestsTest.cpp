#include "ItemTestSupport.h"

#include "Ostrel/Rpc/Requests/CreateFolder.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Util/Time/Clock.h"

using namespace Ostrel::Rpc;
using namespace Ostrel::Mail;
using namespace ItemTest;

namespace {

class ItemRequestsTest : public ItemFixture {};

const std::wstring kMail = L" xmlns=\"urn:ostrelMail\"";
const std::wstring kAccount = L" xmlns=\"urn:ostrelAccount\"";

}  // namespace

TEST_F(ItemRequestsTest, SimpleBodies) {
    GetItemRequest item(-5);
    EXPECT_EQ(BodyXml(item), L"<GetItemRequest" + kMail + L"><item id=\"-5\"/></GetItemRequest>");
    CreateTagRequest tag(L"Work", 0x00FF00);
    EXPECT_EQ(BodyXml(tag), L"<CreateTagRequest" + kMail + L"><tag name=\"Work\" rgb=\"#00FF00\"/></CreateTagRequest>");
    CreateTagRequest plain(L"Home", kNoColor);
    EXPECT_EQ(BodyXml(plain), L"<CreateTagRequest" + kMail + L"><tag name=\"Home\"/></CreateTagRequest>");
    // A colour read from a 32-bit property: -1 is "none" there too, never white.
    const LONG lNone = -1;
    CreateTagRequest fromProperty(L"Home", lNone);
    EXPECT_EQ(BodyXml(fromProperty), BodyXml(plain));

    SendMsgRequest send(L"up-1", 4000000000UL, 1, 1);
    EXPECT_EQ(BodyXml(send),
              L"<SendMsgRequest" + kMail +
                  L" noSave=\"1\" isCalendarForward=\"1\" needCalendarSentByFixup=\"1\" suid=\"4000000000\">"
                  L"<m aid=\"up-1\"/></SendMsgRequest>");
    SendMsgRequest bare(L"up-1", 7, 0, 0);
    EXPECT_EQ(BodyXml(bare),
              L"<SendMsgRequest" + kMail + L" noSave=\"1\" suid=\"7\"><m aid=\"up-1\"/></SendMsgRequest>");

    SearchGalRequest search(L"ann & bob");
    EXPECT_EQ(BodyXml(search), L"<SearchGalRequest" + kAccount + L"><name>ann &amp; bob</name></SearchGalRequest>");
    GetDistributionListMembersRequest dl(L"team@x.test", 100, 200);
    EXPECT_EQ(BodyXml(dl),
              L"<GetDistributionListMembersRequest" + kAccount +
                  L" limit=\"100\" offset=\"200\"><dl>team@x.test</dl></GetDistributionListMembersRequest>");
    GetDistributionListMembersRequest all(L"team@x.test", 0xFFFFFFFF, 0);
    EXPECT_NE(BodyXml(all).find(L" limit=\"4294967295\" offset=\"0\""), std::wstring::npos) << BodyXml(all);

    SyncGalRequest first(L"");
    EXPECT_EQ(BodyXml(first), L"<SyncGalRequest" + kAccount + L" idOnly=\"true\"/>");
    EXPECT_EQ(ContextXml(first), L"<context xmlns=\"urn:ostrel\"/>");
    SyncGalRequest next(L"42");
    EXPECT_EQ(BodyXml(next), L"<SyncGalRequest" + kAccount + L" token=\"42\" idOnly=\"true\"/>");
}

TEST_F(ItemRequestsTest, DraftsAndStoredMessagesCarryTagsFlagsAndTheSentFilter) {
    TagIdList ids{4};
    TagNameList names{L"Work"};
    Features(0, 1, 0);
    SaveDraftRequest draft(L"up-2", 300, 0, ids, names);
    EXPECT_EQ(BodyXml(draft),
              L"<SaveDraftRequest" + kMail + L"><m aid=\"up-2\" id=\"300\" t=\"4\"/></SaveDraftRequest>");
    SaveDraftRequest restricted(L"up-2", 300, 1, ids, names);
    EXPECT_EQ(BodyXml(restricted), L"<SaveDraftRequest" + kMail + L"><m aid=\"up-2\" id=\"300\"/></SaveDraftRequest>");

    MessageFlags flags;
    flags.Unread(1);
    AddMsgRequest sent(L"up-3", L"1700000000000", 5, &ids, &names, flags, 0, 0);
    EXPECT_EQ(BodyXml(sent),
              L"<AddMsgRequest" + kMail +
                  L" filterSent=\"1\"><m aid=\"up-3\" l=\"5\" t=\"4\" d=\"1700000000000\" f=\"u\" noICal=\"1\"/>"
                  L"</AddMsgRequest>");
    // AddMsg's restriction keeps ids out even in the handheld-server edition.
    SetHandheldServerEdition(true);
    MessageFlags none;
    AddMsgRequest restrictedAdd(L"up-3", nullptr, 5, &ids, &names, none, 1, 1);
    EXPECT_EQ(BodyXml(restrictedAdd),
              L"<AddMsgRequest" + kMail + L"><m aid=\"up-3\" l=\"5\" noICal=\"1\"/></AddMsgRequest>");

    MessageFlags post;
    post.IsPost(1);
    AddMsgRequest postInSent(L"up-4", nullptr, 5, nullptr, nullptr, post, 0, 0);
    EXPECT_EQ(BodyXml(postInSent).find(L"filterSent"), std::wstring::npos);
    AddMsgRequest inbox(L"up-5", nullptr, 2, nullptr, nullptr, none, 0, 0);
    EXPECT_EQ(BodyXml(inbox).find(L"filterSent"), std::wstring::npos);
}

TEST_F(ItemRequestsTest, GetContactsForms) {
    LONG ids[] = {257, 300};
    const wchar_t* attrs[] = {L"email", L"fullName"};
    GetContactsRequest byNumber(ids, 2, attrs, 2, 0);
    EXPECT_EQ(BodyXml(byNumber), L"<GetContactsRequest" + kMail +
                                     L" sync=\"1\"><a n=\"email\"/><a n=\"fullName\"/><cn id=\"257\"/><cn id=\"300\"/>"
                                     L"</GetContactsRequest>");
    EXPECT_STREQ(byNumber.CallName(), L"GetContactsRequest");
    EXPECT_EQ(ContextXml(byNumber), L"<context xmlns=\"urn:ostrel\"><nonotify/><noqualify/></context>");

    const wchar_t* textIds[] = {L"8a1c-01"};
    GetContactsRequest byText(textIds, 1, nullptr, 0, 99, 1);
    EXPECT_EQ(BodyXml(byText), L"<GetContactsRequest" + kMail +
                                   L" sync=\"1\" returnHiddenAttrs=\"1\" maxMembers=\"100\"><cn id=\"8a1c-01\"/>"
                                   L"</GetContactsRequest>");
    EXPECT_STREQ(byText.CallName(), L"GetContactsRequest");
    EXPECT_EQ(ContextXml(byText), L"<context xmlns=\"urn:ostrel\"><nonotify/></context>");
    GetContactsRequest unnamed(textIds, 1, nullptr, 0, 99, 0);
    EXPECT_EQ(unnamed.CallName(), nullptr);
    EXPECT_EQ(ContextXml(unnamed), L"<context xmlns=\"urn:ostrel\"><nonotify/><noqualify/></context>");
}

TEST_F(ItemRequestsTest, SyncTokenFolderAndCalendarCutoff) {
    Ostrel::Util::ManualClock clock;
    clock.Advance(1234);  // a fraction of a second is not sent
    Ostrel::Util::ScopedClock scoped(clock);
    const int64_t nowMs = 1704067201000;  // 2024-01-01 00:00:01

    SyncRequest full(nullptr, 0, 0);
    EXPECT_EQ(BodyXml(full), L"<SyncRequest" + kMail + L"/>");
    SyncRequest delta(L"17", 2, 30);
    EXPECT_EQ(BodyXml(delta), L"<SyncRequest" + kMail + L" token=\"17\" l=\"2\" calCutoff=\"" +
                                  std::to_wstring(nowMs - 2592000000LL) + L"\"/>");
    // Cut-offs before 1970 are negative numbers.
    SyncRequest old(L"", -3, 20000);
    EXPECT_EQ(BodyXml(old), L"<SyncRequest" + kMail + L" token=\"\" calCutoff=\"" +
                                std::to_wstring(nowMs - 20000LL * 86400000) + L"\"/>");
}

TEST_F(ItemRequestsTest, CreateFolderViewsFlagsAndAcl) {
    auto folder = [](MailItemType kind, int fie, int sync, const Ostrel::ACL* pAcl) {
        CreateFolderRequest request(L"New", 1, kind, pAcl, fie, sync);
        return BodyXml(request);
    };
    const std::wstring open = L"<CreateFolderRequest" + kMail + L"><folder name=\"New\" l=\"1\"";
    EXPECT_EQ(folder(MIT_MESSAGE, 0, 0, nullptr), open + L"/></CreateFolderRequest>");
    EXPECT_EQ(folder(MIT_CONTACT, 1, 1, nullptr),
              open + L" view=\"contact\" fie=\"1\" f=\"#\"/></CreateFolderRequest>");
    EXPECT_EQ(folder(MIT_APPOINTMENT, 0, 0, nullptr), open + L" view=\"appointment\"/></CreateFolderRequest>");
    EXPECT_EQ(folder(MIT_TASK, 0, 0, nullptr), open + L" view=\"task\"/></CreateFolderRequest>");
    EXPECT_EQ(folder(MIT_DOCUMENT, 0, 0, nullptr), open + L" view=\"document\"/></CreateFolderRequest>");
    Features(0, 1, 0);
    EXPECT_EQ(folder(MIT_DOCUMENT, 0, 0, nullptr), open + L"/></CreateFolderRequest>");

    Ostrel::ACL empty;
    EXPECT_EQ(folder(MIT_MESSAGE, 0, 0, &empty), open + L"/></CreateFolderRequest>");
    Ostrel::ACL acl(1);
    acl[0].m_wsGranteeId = L"1b2c";
    acl[0].m_wsGranteeName = L"bob@x.test";
    acl[0].m_ulRights = 0x03;
    EXPECT_EQ(folder(MIT_MESSAGE, 0, 0, &acl), open +
                                                   L"><acl><grant gt=\"usr\" oid=\"1b2c\" d=\"bob@x.test\" "
                                                   L"perm=\"rw\"/></acl></folder></CreateFolderRequest>");
}
