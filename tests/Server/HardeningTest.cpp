// The simulator against hostile input: values it echoes must stay text, and a second server
// must not share a port that is in use.
#include "ostrel-server/Server.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace OstrelServer;

namespace {

std::string Envelope(const std::string& body) {
    return "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header/><soap:Body>" + body +
           "</soap:Body></soap:Envelope>";
}

TEST(ServerHardening, ABusyPortIsRefused) {
    Server first;
    first.Start();
    ServerOptions options;
    options.port = first.Port();
    Server second(options);
    EXPECT_THROW(second.Start(), std::runtime_error);
}

TEST(ServerHardening, AFolderViewIsOneOfTheKnownViewsAndNeverMarkup) {
    Server server;
    server.Start();
    httplib::Client client("127.0.0.1", server.Port());
    auto post = [&](const std::string& body) {
        return client.Post("/service/soap/", Envelope(body), "application/soap+xml; charset=utf-8");
    };
    const std::string hostile = "message&quot; injected=&quot;1&quot;&gt;&lt;folder id=&quot;666";
    auto created = post("<CreateFolderRequest xmlns=\"urn:ostrelMail\"><folder name=\"Evil\" l=\"1\" view=\"" +
                        hostile + "\"/></CreateFolderRequest>");
    ASSERT_TRUE(created);
    EXPECT_EQ(created->status, 500);
    EXPECT_NE(created->body.find("INVALID_REQUEST"), std::string::npos) << created->body;

    created = post(
        "<CreateFolderRequest xmlns=\"urn:ostrelMail\"><folder name=\"Fine\" l=\"1\" view=\"task\"/>"
        "</CreateFolderRequest>");
    ASSERT_TRUE(created);
    ASSERT_EQ(created->status, 200) << created->body;
    const size_t idAt = created->body.find("id=\"") + 4;
    const std::string id = created->body.substr(idAt, created->body.find('"', idAt) - idAt);
    auto renamed = post("<FolderActionRequest xmlns=\"urn:ostrelMail\"><action op=\"update\" id=\"" + id +
                        "\" view=\"" + hostile + "\"/></FolderActionRequest>");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->status, 500);

    auto sync = post("<SyncRequest xmlns=\"urn:ostrelMail\"/>");
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->body.find("injected"), std::string::npos) << sync->body;
    EXPECT_NE(sync->body.find("view=\"task\""), std::string::npos);
}

}  // namespace
