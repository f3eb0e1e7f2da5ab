// The simulator's download endpoint, read back through the ZIP reader as the connector reads it.
#include <gtest/gtest.h>

#include "Ostrel/Zip/ZipTestSupport.h"

#include <httplib.h>

#include "ostrel-server/Download.h"
#include "ostrel-server/Server.h"

using namespace ZipTest;

namespace {

class DownloadEndpointTest : public ZipFixture {
protected:
    void SetUp() override {
        ZipFixture::SetUp();
        m_server.Start();
        auto& memory = m_server.State<OstrelServer::DownloadState>().Memory();
        for (int id : {1, 2, 3}) {
            std::string body(id == 3 ? 300000 : 50, static_cast<char>('a' + id));
            memory.Put(id, "id=" + std::to_string(id) + "\n", "Subject: " + std::to_string(id) + "\r\n\r\n" + body);
        }
    }

    httplib::Result Get(const std::string& query, const httplib::Headers& headers = {}) {
        httplib::Client client("127.0.0.1", m_server.Port());
        return client.Get(("/service/download?" + query).c_str(), headers);
    }

    std::string Mime(int id) { return m_server.State<OstrelServer::DownloadState>().Source()->Find(id)->body->Mime(); }

    OstrelServer::Server m_server;
};

TEST_F(DownloadEndpointTest, MessagesAndErrorsInTheOrderAsked) {
    for (const char* level : {"", "&level=0", "&level=9"}) {
        SCOPED_TRACE(level);
        auto res = Get(std::string("ids=2,99,3,1") + level);
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/zip");
        EXPECT_FALSE(res->has_header("Content-Length"));  // streamed, size unknown up front

        Reader reader = Open(res->body, 1000);
        Ostrel::Rpc::ZipEntry* p = reader->GetNextEntry();
        EXPECT_STREQ(p->GetName(), L"2.meta");
        EXPECT_EQ(MetaOf(p), "id=2\n");
        p = reader->GetNextEntry();
        EXPECT_STREQ(p->GetName(), L"2.eml");
        EXPECT_EQ(MimeOf(p), Mime(2));

        EXPECT_EQ(NextError(reader.get()), L"Error file found: 99.err");
        char text[64];
        int n = reader->Read(text, sizeof(text));
        EXPECT_EQ(std::string(text, n > 0 ? n : 0), "no such message: 99\n");

        for (int id : {3, 1}) {
            p = reader->GetNextEntry();
            EXPECT_EQ(p->GetName(), std::to_wstring(id) + L".meta");
            p = reader->GetNextEntry();
            EXPECT_EQ(p->GetName(), std::to_wstring(id) + L".eml");
            EXPECT_TRUE(MimeOf(p) == Mime(id));
        }
        EXPECT_EQ(NextError(reader.get()), kEndOfArchive);
    }
}

TEST_F(DownloadEndpointTest, BadRequestsAndTokens) {
    for (const char* query : {"ids=", "ids=1,,2", "ids=1,x", "ids=99999999999", "ids=1&level=10", "x=1"}) {
        auto res = Get(query);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << query;
    }

    m_server.State<OstrelServer::DownloadState>().RequireToken("tok123");
    auto denied = Get("ids=1");
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->status, 401);
    auto wrong = Get("ids=1", {{"Cookie", "OS_AUTH_TOKEN=tok12"}});
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 401);
    auto allowed = Get("ids=1", {{"Cookie", "a=b; OS_AUTH_TOKEN=tok123"}});
    ASSERT_TRUE(allowed);
    EXPECT_EQ(allowed->status, 200);
}

TEST_F(DownloadEndpointTest, ASourceOfItsOwn) {
    struct Numbers : OstrelServer::MessageSource {
        std::optional<OstrelServer::DownloadItem> Find(int32_t id) const override {
            if (id < 0)
                return std::nullopt;
            return OstrelServer::DownloadItem{
                "n", OstrelServer::MessageBody::Make("Subject: " + std::to_string(id) + "\r\n\r\n")};
        }
    };
    m_server.State<OstrelServer::DownloadState>().SetSource(std::make_shared<Numbers>());
    auto res = Get("ids=-5,7");
    ASSERT_TRUE(res);
    Reader reader = Open(res->body);
    EXPECT_EQ(NextError(reader.get()), L"Error file found: -5.err");
    reader->GetNextEntry();
    EXPECT_EQ(MimeOf(reader->GetNextEntry()), "Subject: 7\r\n\r\n");
}

}  // namespace
