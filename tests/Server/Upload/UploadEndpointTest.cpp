// The simulator's upload service: the file part is stored under the id it answers, a rejected
// token and a body without a file are answered in the text as the real service does.
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

using namespace OstrelServer;

namespace {

class UploadEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.Start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server.Port());
    }

    std::string Upload(const httplib::MultipartFormDataItems& items, const std::string& token = std::string()) {
        httplib::Headers headers;
        if (!token.empty())
            headers.emplace("Cookie", "OS_AUTH_TOKEN=" + token);
        auto r = client->Post("/service/upload?fmt=raw", headers, items);
        EXPECT_TRUE(r);
        return r ? r->body : std::string();
    }

    Server server;
    std::unique_ptr<httplib::Client> client;
};

}  // namespace

TEST_F(UploadEndpointTest, StoresTheFileAndAnswersItsId) {
    std::string content("bin\0ary\r\n--x", 12);
    std::string answer =
        Upload({{"requestId", "krrpc32-client-id", "", ""}, {"krlib32", content, "a \"b\".eml", "message/rfc822"}});
    const std::string prefix = "200,'krrpc32-client-id','";
    ASSERT_EQ(answer.compare(0, prefix.size(), prefix), 0) << answer;
    std::string id = answer.substr(prefix.size(), answer.size() - prefix.size() - 1);
    UploadStore::Upload upload = server.State<UploadStore>().Take(id);
    EXPECT_EQ(upload.content, content);
    EXPECT_EQ(upload.contentType, "message/rfc822");
    EXPECT_EQ(answer.back(), '\'');

    EXPECT_EQ(Upload({{"requestId", "r1", "", ""}}), "400,'r1'");
    // A request id that would break the quoted answer is not echoed, and nothing is stored.
    EXPECT_EQ(Upload({{"requestId", "r','forged-id", "", ""}, {"f", "x", "x.bin", ""}}), "400,'null'");
}

TEST_F(UploadEndpointTest, TokensAreCheckedOnceAccountsExist) {
    AccountBook& book = server.State<AccountBook>();
    book.Add(Account{"ann@ostrel.test", "pw"});
    std::string token = book.IssueToken("ann@ostrel.test");
    httplib::MultipartFormDataItems items{{"requestId", "r2", "", ""}, {"f", "x", "x.bin", ""}};
    EXPECT_EQ(Upload(items), "401,'r2'");
    EXPECT_EQ(Upload(items, "forged"), "401,'r2'");
    EXPECT_EQ(Upload(items, token).compare(0, 9, "200,'r2',"), 0);
    book.ExpireTokens();
    EXPECT_EQ(Upload(items, token), "401,'r2'");
}
