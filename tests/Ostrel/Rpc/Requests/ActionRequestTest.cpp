#include "ItemTestSupport.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Rpc;
using namespace Ostrel::Mail;
using namespace ItemTest;

namespace {

class ActionRequestTest : public ItemFixture {};

const std::wstring kOpen = L" xmlns=\"urn:ostrelMail\">";

}  // namespace

TEST_F(ActionRequestTest, BodyElementFollowsTheItemKind) {
    ActionRequest flag(MIT_MESSAGE, 257, ActionRequest::OP_FLAG);
    EXPECT_EQ(BodyXml(flag), L"<MsgActionRequest" + kOpen + L"<action id=\"257\" op=\"flag\"/></MsgActionRequest>");
    EXPECT_STREQ(flag.CallName(), L"MsgActionRequest");

    const std::pair<MailItemType, const wchar_t*> kinds[] = {
        {MIT_FOLDER, L"FolderActionRequest"}, {MIT_CONTACT, L"ContactActionRequest"},
        {MIT_NOTE, L"ItemActionRequest"},     {MIT_APPOINTMENT, L"ItemActionRequest"},
        {MIT_TASK, L"ItemActionRequest"},     {MIT_DOCUMENT, L"ItemActionRequest"}};
    for (const auto& [kind, name] : kinds) {
        ActionRequest request(kind, 3, ActionRequest::OP_DELETE);
        EXPECT_EQ(BodyXml(request),
                  std::wstring(L"<") + name + kOpen + L"<action id=\"3\" op=\"delete\"/></" + name + L">");
    }

    Ostrel::Util::LogCapture log;
    for (int kind : {2, -1, 8}) {
        ActionRequest request(static_cast<MailItemType>(kind), 3, ActionRequest::OP_MOVE);
        EXPECT_EQ(BodyXml(request), L"<none>");
        EXPECT_EQ(request.CallName(), nullptr);
    }
    EXPECT_TRUE(log.Contains(L"Received unsupported mail item type 0xffffffff"));

    ActionRequest bad(MIT_MESSAGE, 1, static_cast<ActionRequest::OP>(10));
    EXPECT_EQ(BodyXml(bad), L"<MsgActionRequest" + kOpen + L"<action id=\"1\" op=\"\"/></MsgActionRequest>");
}

TEST_F(ActionRequestTest, TagsGoByNameOrIdAsTheSessionTakesThem) {
    TagIdList ids{3, 17};
    TagNameList names{L"Work", L"Home & Garden"};
    auto action = [&](const TagIdList* pIds, const TagNameList* pNames, int restriction) {
        ActionRequest request(MIT_MESSAGE, 9, ActionRequest::OP_TAG, pIds, pNames, restriction);
        return BodyXml(request);
    };
    const std::wstring open = L"<MsgActionRequest" + kOpen + L"<action id=\"9\" op=\"tag\"";
    const std::wstring close = L"/></MsgActionRequest>";

    Features(1, 1, 1);
    EXPECT_EQ(action(&ids, &names, 0), open + L" tn=\"Work,Home &amp; Garden\"" + close);
    // Names are taken but none were given: the ids go.
    EXPECT_EQ(action(&ids, nullptr, 0), open + L" t=\"3,17\"" + close);
    // A given empty list is sent as such: it clears the tags.
    TagNameList none;
    EXPECT_EQ(action(&ids, &none, 0), open + L" tn=\"\"" + close);

    Features(0, 1, 0);
    EXPECT_EQ(action(&ids, &names, 0), open + L" t=\"3,17\"" + close);
    // The restriction lets ids through only in the handheld-server edition.
    EXPECT_EQ(action(&ids, &names, 1), open + close);
    SetHandheldServerEdition(true);
    EXPECT_EQ(action(&ids, &names, 1), open + L" t=\"3,17\"" + close);

    Features(0, 0, 0);
    EXPECT_EQ(action(&ids, &names, 0), open + close);

    Features(1, 0, 1);
    MessageFlags flags;
    flags.Unread(1);
    flags.Flagged(1);
    ActionRequest update(MIT_MESSAGE, 9, ActionRequest::OP_UPDATE, &ids, &names, flags, 0);
    EXPECT_EQ(BodyXml(update),
              L"<MsgActionRequest" + kOpen +
                  L"<action id=\"9\" op=\"update\" tn=\"Work,Home &amp; Garden\" f=\"uf\"/></MsgActionRequest>");
}

TEST_F(ActionRequestTest, NamesColoursFoldersAndAcls) {
    ActionRequest red(MIT_FOLDER, 300, ActionRequest::OP_UPDATE, L"Projects", 0x0000FF);
    EXPECT_EQ(BodyXml(red),
              L"<FolderActionRequest" + kOpen +
                  L"<action id=\"300\" op=\"update\" name=\"Projects\" rgb=\"#FF0000\"/></FolderActionRequest>");
    ActionRequest mixed(MIT_FOLDER, 300, ActionRequest::OP_UPDATE, L"P", 0x00336699);
    EXPECT_NE(BodyXml(mixed).find(L"rgb=\"#996633\""), std::wstring::npos);
    ActionRequest none(MIT_FOLDER, 300, ActionRequest::OP_RENAME, L"P", kNoColor);
    EXPECT_EQ(BodyXml(none).find(L"rgb"), std::wstring::npos);

    ActionRequest move(MIT_DOCUMENT, 400, ActionRequest::OP_MOVE, 16, L"Plan.txt");
    EXPECT_EQ(BodyXml(move),
              L"<ItemActionRequest" + kOpen + L"<action id=\"400\" op=\"move\" l=\"16\"/></ItemActionRequest>");

    Ostrel::ACL acl(1);
    acl[0].m_wsGranteeId = L"all";
    acl[0].m_ulRights = 0x01;
    ActionRequest folder(MIT_FOLDER, 301, ActionRequest::OP_UPDATE, 1, L"Docs", L"#", acl, 1);
    EXPECT_EQ(BodyXml(folder),
              L"<FolderActionRequest" + kOpen +
                  L"<action id=\"301\" op=\"update\" l=\"1\" name=\"Docs\" f=\"#\" view=\"document\">"
                  L"<acl><grant gt=\"all\" oid=\"00000000-0000-0000-0000-000000000000\" perm=\"r\"/></acl></action>"
                  L"</FolderActionRequest>");
    // An empty list is sent too: the folder is left with no grants.
    ActionRequest cleared(MIT_FOLDER, 301, ActionRequest::OP_UPDATE, 1, L"Docs", L"", Ostrel::ACL(), 0);
    EXPECT_EQ(BodyXml(cleared), L"<FolderActionRequest" + kOpen +
                                    L"<action id=\"301\" op=\"update\" l=\"1\" name=\"Docs\" f=\"\"><acl/></action>"
                                    L"</FolderActionRequest>");
    // No document view for folder 12, nor before version 8.
    ActionRequest twelve(MIT_FOLDER, 12, ActionRequest::OP_UPDATE, 1, L"N", L"", Ostrel::ACL(), 1);
    EXPECT_EQ(BodyXml(twelve).find(L"view"), std::wstring::npos);
    Features(0, 1, 0);
    ActionRequest old(MIT_FOLDER, 301, ActionRequest::OP_UPDATE, 1, L"N", L"", Ostrel::ACL(), 1);
    EXPECT_EQ(BodyXml(old).find(L"view"), std::wstring::npos);
}

TEST_F(ActionRequestTest, FixUpDocumentNameTurnsAMoveIntoARenamingUpdate) {
    ActionRequest move(MIT_DOCUMENT, 400, ActionRequest::OP_MOVE, 16, L"Plan.txt");
    Ostrel::Util::LogCapture log;
    ASSERT_TRUE(move.FixUpDocumentName());
    EXPECT_EQ(BodyXml(move), L"<ItemActionRequest" + kOpen +
                                 L"<action id=\"400\" op=\"Update\" l=\"16\" name=\"Plan.txt.\"/></ItemActionRequest>");
    EXPECT_TRUE(log.Contains(L"Added period to fix name conflict"));
    // Each further conflict adds one more period to the name sent last.
    ASSERT_TRUE(move.FixUpDocumentName());
    EXPECT_NE(BodyXml(move).find(L"name=\"Plan.txt..\""), std::wstring::npos);

    ActionRequest rename(MIT_DOCUMENT, 400, ActionRequest::OP_UPDATE, std::wstring(300, L'n').c_str());
    ASSERT_TRUE(rename.FixUpDocumentName());
    EXPECT_NE(BodyXml(rename).find(L"name=\"" + std::wstring(258, L'n') + L".\""), std::wstring::npos);

    ActionRequest del(MIT_DOCUMENT, 400, ActionRequest::OP_DELETE);
    std::wstring before = BodyXml(del);
    EXPECT_FALSE(del.FixUpDocumentName());
    EXPECT_EQ(BodyXml(del), before);

    // Not a document action, or nothing to rename.
    ActionRequest msg(MIT_MESSAGE, 400, ActionRequest::OP_MOVE, 16, L"x");
    EXPECT_FALSE(msg.FixUpDocumentName());
    ActionRequest nameless(MIT_DOCUMENT, 400, ActionRequest::OP_MOVE, 16, nullptr);
    EXPECT_FALSE(nameless.FixUpDocumentName());
}
