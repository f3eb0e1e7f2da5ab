// A contact image kept in the Briefcase: uploaded and saved by name, a document of the same name
// replaced rather than renamed, and fetched back by name, all through the simulator.
#include "ConnectionTestSupport.h"

#include <filesystem>
#include <fstream>

#include "Ostrel/Rpc/Requests/SaveDocument.h"
#include "Ostrel/Rpc/Transport/Download.h"
#include "Support/Files.h"
#include "Util/Log/Log.h"
#include "ostrel-server/Mailbox.h"

using namespace ConnTest;

namespace {

using OstrelServer::Fault;
namespace fs = std::filesystem;

class BriefcaseTest : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        server = StartServer();
        session->port = static_cast<DWORD>(server->Port());
        oc = std::make_unique<OstrelConnection>(L"briefcase", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0,
                                                kProxyModeNone, nullptr, 0, L"profile");
        dir = fs::path(home.Path()) / "images";
        fs::create_directories(dir);
    }
    fs::path Write(const std::string& name, const std::string& content) {
        fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    std::string Fetch(const wchar_t* pwszName) {
        fs::path target = dir / "fetched";
        return GetImgFileFromOSV(*oc, pwszName, target) ? TestSupport::ReadFile(target) : "<failed>";
    }
    // The Briefcase's documents as "name=content".
    std::vector<std::string> Briefcase() {
        auto& mailbox = OstrelServer::DefaultMailbox(*server);
        std::vector<std::string> docs;
        for (int32_t id : mailbox.ItemsIn(OstrelServer::FolderId::Briefcase))
            docs.push_back(mailbox.Item(id)->name + "=" + mailbox.Item(id)->content);
        return docs;
    }

    std::unique_ptr<OstrelServer::Server> server;
    std::unique_ptr<OstrelConnection> oc;
    fs::path dir;
};

}  // namespace

TEST_F(BriefcaseTest, ImageIsSavedReplacedAndFetchedBackByName) {
    std::string image(300000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7);
    ASSERT_EQ(PersistImgFileToOSV(*oc, Write("a.tif", image), L"Jo \u00e9 <1>.tif"), 1);
    EXPECT_TRUE(Fetch(L"Jo \u00e9 <1>.tif") == image);
    auto requests = server->Requests();
    auto save =
        std::find_if(requests.begin(), requests.end(), [](auto& r) { return r.callName == "SaveDocumentRequest"; });
    ASSERT_NE(save, requests.end());
    EXPECT_NE(save->body.find("<doc l=\"16\" name=\"Jo \xC3\xA9 &lt;1&gt;.tif\" ct=\"image/tiff\"><upload id=\""),
              std::string::npos)
        << save->body;

    // The same name again (in another case): the old document goes, the new one takes the name.
    Ostrel::Util::LogCapture capture;
    ASSERT_EQ(PersistImgFileToOSV(*oc, Write("b.bmp", "second"), L"JO \u00e9 <1>.TIF"), 1);
    EXPECT_EQ(Briefcase(), std::vector<std::string>{"JO \xC3\xA9 <1>.TIF=second"});
    EXPECT_TRUE(capture.Contains(L"Duplicate exists in the briefcase"));
    EXPECT_TRUE(capture.Contains(L"Deleting existing briefcase image file. Id="));
    EXPECT_TRUE(capture.Contains(L"as type 'image/jpeg'"));
}

TEST_F(BriefcaseTest, FailuresEndWithZeroAndLeaveTheBriefcaseAlone) {
    EXPECT_EQ(PersistImgFileToOSV(*oc, dir / "missing.png", L"x.png"), 0);
    EXPECT_EQ(PersistImgFileToOSV(*oc, Write("x.png", "x"), L""), 0);
    server->Faults().Add(Fault::For("/service/upload").Status(200, "413,'null'"));
    EXPECT_EQ(PersistImgFileToOSV(*oc, Write("x.png", "x"), L"x.png"), 0);
    // A duplicate that cannot be deleted ends the save.
    server->Faults().Add(Fault::For("ItemActionRequest").SoapFault("mail.NO_SUCH_ITEM"));
    ASSERT_EQ(PersistImgFileToOSV(*oc, Write("y.png", "one"), L"y.png"), 1);
    EXPECT_EQ(PersistImgFileToOSV(*oc, Write("y.png", "two"), L"y.png"), 0);
    EXPECT_EQ(Briefcase(), std::vector<std::string>{"y.png=one"});
    EXPECT_EQ(Fetch(L"nothing.png"), "<failed>");
    // Both saves are sent without renaming the document.
    int saves = 0;
    for (const auto& r : server->Requests())
        saves += r.callName == "SaveDocumentRequest";
    EXPECT_EQ(saves, 2);

    EXPECT_STREQ(ImageContentType("a.jpeg"), L"image/jpeg");
    EXPECT_STREQ(ImageContentType("a.gif"), L"image/gif");
    EXPECT_STREQ(ImageContentType("a.png"), L"image/png");
    EXPECT_STREQ(ImageContentType("a.PNG"), L"image/jpeg");
    EXPECT_STREQ(ImageContentType("png"), L"image/jpeg");
}
