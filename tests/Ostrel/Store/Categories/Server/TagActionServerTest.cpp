// Tags renamed and deleted on the simulated server, as a synchronisation sees them.
#include <httplib.h>

#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Server/Items/MailboxTestSupport.h"

namespace {

using namespace ItemTest;

class TagActionServerTest : public MailboxServerTest {
protected:
    httplib::Result TagAction(const std::string& action) {
        httplib::Client client("127.0.0.1", server.Port());
        return client.Post("/service/soap/TagActionRequest",
                           "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header/>"
                           "<soap:Body><TagActionRequest xmlns=\"urn:ostrelMail\">" +
                               action + "</TagActionRequest></soap:Body></soap:Envelope>",
                           "application/soap+xml; charset=utf-8");
    }
    std::unique_ptr<Ostrel::Rpc::Response> Sync(const std::wstring& token) {
        Ostrel::Rpc::SyncRequest sync(token.empty() ? nullptr : token.c_str(), 0, 0);
        return Call(sync);
    }
};

TEST_F(TagActionServerTest, RenameAndDeleteReachTheNextSync) {
    const int32_t tagId = Mailbox().AddTag("Before", "#112233");
    OstrelServer::MailItem item;
    item.subject = "tagged";
    item.tags = {tagId};
    const int32_t itemId = Mailbox().AddItem(item);
    auto first = Sync(L"");
    ASSERT_TRUE(first);
    const std::wstring token = Attr(*first, L"//*[local-name()='SyncResponse']", L"token");
    const std::wstring tagPath = L"//*[local-name()='tag'][@id='" + std::to_wstring(tagId) + L"']";
    EXPECT_EQ(Attr(*first, tagPath, L"name"), L"Before");

    auto renamed = TagAction("<action op=\"rename\" id=\"" + std::to_string(tagId) + "\" name=\"After &amp; more\"/>");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->status, 200) << renamed->body;
    auto second = Sync(token);
    ASSERT_TRUE(second);
    EXPECT_EQ(Attr(*second, tagPath, L"name"), L"After & more");

    // A second tag cannot take the name, and unknown tags and actions are faults.
    const int32_t otherId = Mailbox().AddTag("Other");
    auto clash = TagAction("<action op=\"rename\" id=\"" + std::to_string(otherId) + "\" name=\"after &amp; MORE\"/>");
    EXPECT_NE(clash->body.find("mail.ALREADY_EXISTS"), std::string::npos) << clash->body;
    EXPECT_NE(TagAction("<action op=\"rename\" id=\"126\" name=\"x\"/>")->body.find("mail.NO_SUCH_TAG"),
              std::string::npos);
    EXPECT_NE(TagAction("<action op=\"color\" id=\"" + std::to_string(tagId) + "\"/>")->body.find("INVALID_REQUEST"),
              std::string::npos);

    const std::wstring token2 = Attr(*Sync(token), L"//*[local-name()='SyncResponse']", L"token");
    auto deleted = TagAction("<action op=\"delete\" id=\"" + std::to_string(tagId) + "\"/>");
    EXPECT_EQ(deleted->status, 200) << deleted->body;
    auto third = Sync(token2);
    ASSERT_TRUE(third);
    const std::wstring ids = Attr(*third, L"//*[local-name()='deleted']", L"ids");
    EXPECT_NE(ids.find(std::to_wstring(tagId)), std::wstring::npos) << ids;
    EXPECT_EQ(Count(*third, tagPath), 0);
    EXPECT_EQ(Count(*third, L"//*[local-name()='m'][@id='" + std::to_wstring(itemId) + L"']"), 1);
    EXPECT_TRUE(Mailbox().Item(itemId)->tags.empty());
    EXPECT_FALSE(Mailbox().Tag(tagId));
}

}  // namespace
