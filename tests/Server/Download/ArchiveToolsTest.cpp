// Archives of the download endpoint read by other tools: Info-ZIP's `unzip -t` and Python's
// zipfile must accept every archive the simulator writes, at every level, with each entry's
// content, CRC and sizes as the mailbox has them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdio>

#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include <httplib.h>

#include "Support/TempHome.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/SeedGenerator.h"
#include "ostrel-server/Server.h"

namespace {

// Prints one line per entry: name, flags, method, size and the CRC-32 of the content read (which
// zipfile has checked against the archive's CRC on the way).
constexpr const char* kListEntries = R"(
import sys, zipfile, zlib
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    if bad is not None:
        sys.exit("bad entry: " + bad)
    for info in z.infolist():
        data = z.read(info)
        print(info.filename, info.flag_bits, info.compress_type, len(data), zlib.crc32(data))
)";

struct ToolRun {
    int iExit = -1;
    std::string sOut;  // standard output and error
};

// Runs a shell command line; arguments are the test's own paths and texts, quoted by the caller.
ToolRun Shell(const std::string& command) {
    ToolRun run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.sOut.append(buffer, n);
    const int status = pclose(pipe);
    run.iExit = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct Expected {
    size_t size;
    uint32_t crc;
};

uint32_t Crc(const std::string& data) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

class ArchiveToolsTest : public testing::Test {
protected:
    void SetUp() override {
        m_server.Start();
        OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(m_server);
        // Every kind of generated mail (some over the endpoint's 256 KiB piece), an empty message
        // and one that does not compress, added one by one so that its deflated form is made on
        // the first download.
        OstrelServer::GenerateInto(mailbox, 250, 11);
        std::mt19937 random(5);
        std::string noise(700000, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        for (std::string mime : {std::string(), "Subject: noise\r\n\r\n" + noise}) {
            OstrelServer::MailItem item;
            item.mime = std::move(mime);
            mailbox.AddItem(std::move(item));
        }
        for (int32_t folder = 1; folder < 1000; ++folder) {
            for (int32_t id : mailbox.ItemsIn(folder)) {
                auto item = mailbox.Item(id);
                if (!item || item->kind != OstrelServer::ItemKind::Message)
                    continue;
                m_ids += (m_ids.empty() ? "" : ",") + std::to_string(id);
                m_expected[std::to_string(id) + ".eml"] = {item->mime.size(), Crc(item->mime)};
            }
        }
        ASSERT_EQ(m_expected.size(), 252u);
    }

    OstrelServer::Server m_server;
    TestSupport::TempHome m_home;
    std::string m_ids;
    std::map<std::string, Expected> m_expected;
};

TEST_F(ArchiveToolsTest, UnzipAndPythonReadEveryArchive) {
    for (const char* level : {"", "&level=0", "&level=1", "&level=9"}) {
        SCOPED_TRACE(level);
        httplib::Client client("127.0.0.1", m_server.Port());
        auto res = client.Get(("/service/download?ids=" + m_ids + ",999999" + level).c_str());
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200);
        const std::filesystem::path file = m_home.Path() / "archive.zip";
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out.write(res->body.data(), static_cast<std::streamsize>(res->body.size()));
            ASSERT_TRUE(out.good());
        }

        const ToolRun unzip = Shell("unzip -t '" + file.string() + "'");
        EXPECT_EQ(unzip.iExit, 0) << unzip.sOut;
        EXPECT_NE(unzip.sOut.find("No errors detected"), std::string::npos) << unzip.sOut;

        const ToolRun python = Shell("python3 -c '" + std::string(kListEntries) + "' '" + file.string() + "'");
        ASSERT_EQ(python.iExit, 0) << python.sOut;
        std::istringstream lines(python.sOut);
        std::string name;
        unsigned flags = 0, method = 0;
        size_t size = 0, messages = 0, metas = 0, errors = 0;
        uint32_t crc = 0;
        while (lines >> name >> flags >> method >> size >> crc) {
            if (name.ends_with(".meta")) {
                ++metas;
            } else if (name == "999999.err") {
                ++errors;
            } else {
                SCOPED_TRACE(name);
                ASSERT_TRUE(m_expected.count(name));
                EXPECT_EQ(size, m_expected[name].size);
                EXPECT_EQ(crc, m_expected[name].crc);
                // Level 0 stores; any other level deflates, with the CRC and sizes known up front.
                EXPECT_EQ(method, std::string(level) == "&level=0" ? 0u : 8u);
                EXPECT_EQ(flags & 8u, 0u) << "a data descriptor where the sizes were known";
                ++messages;
            }
        }
        EXPECT_EQ(messages, m_expected.size());
        EXPECT_EQ(metas, m_expected.size());
        EXPECT_EQ(errors, 1u);
    }
}

}  // namespace
