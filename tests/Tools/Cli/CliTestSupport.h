// Running `ostrel` commands in tests: in-process (OstrelCli::Run with captured streams) or as the
// real program, against the simulator started in the test's process.
#pragma once

#include "ostrel/Cli.h"
#include "ostrel/CliUi.h"
#include "ostrel/Interrupt.h"
#include "ostrel/LocalServer.h"

#include "Ostrel/Rpc/Session/UserSession.h"
#include "Platform/Http/WinHttp.h"
#include "Platform/Ui/Ui.h"
#include "Support/Files.h"
#include "Support/Process.h"
#include "Support/TempHome.h"
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/SeedGenerator.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace CliTest {

struct CommandRun {
    int iExit = -1;
    std::string sOut;
    std::string sErr;

    size_t ErrLines() const {
        size_t n = 0;
        for (char c : sErr)
            n += c == '\n';
        return n;
    }
};

// One command in this process, as `ostrel` runs it without a terminal; its results go to `target`
// instead of sOut when one is given.
inline CommandRun Command(const std::string& name, const std::vector<std::string>& args, std::FILE* target = nullptr) {
    CommandRun run;
    char* pOut = nullptr;
    char* pErr = nullptr;
    size_t cbOut = 0, cbErr = 0;
    std::FILE* out = open_memstream(&pOut, &cbOut);
    std::FILE* err = open_memstream(&pErr, &cbErr);
    OstrelCli::Context context;
    context.out = target ? target : out;
    context.err = err;
    Platform::Ui::SetCurrent(std::make_shared<OstrelCli::CliUi>(false, err));
    run.iExit = OstrelCli::Run(name, args, context);
    Platform::Ui::SetCurrent(nullptr);
    std::fclose(out);
    std::fclose(err);
    run.sOut.assign(pOut, cbOut);
    run.sErr.assign(pErr, cbErr);
    std::free(pOut);
    std::free(pErr);
    return run;
}

// The program itself, with the test's environment; `args` are separated by spaces, `input` is
// its standard input. Its standard output is read, or goes to `target` when one is given.
inline CommandRun RunProgram(const std::string& args, const std::string& input = std::string(),
                             const std::string& target = std::string()) {
    std::vector<std::string> argv;
    std::istringstream words(args);
    for (std::string word; words >> word;)
        argv.push_back(word);
    TestSupport::ProgramRun program = TestSupport::RunProgram(OSTREL_CLI, argv, input, target);
    CommandRun run;
    run.iExit = program.iExit;
    run.sOut = std::move(program.sOut);
    run.sErr = std::move(program.sErr);
    return run;
}

using TestSupport::ReadFile;

// A fresh home and a simulator with the local account; commands run in-process.
class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("CLI_TEST_PASSWORD", OstrelCli::kLocalPassword, 1);
        setenv("CLI_TEST_WRONG", "not-the-password", 1);
    }

    void TearDown() override {
        Ostrel::Rpc::UserSession::ReleaseSharedSessions();
        Platform::Http::SetTrustedRootsFile(std::string());
        OstrelCli::ClearInterrupt();
        if (server)
            server->Stop();
    }

    void StartServer(size_t messages, bool bTls = false) {
        OstrelCli::LocalServerOptions options;
        options.cGenerate = messages;
        options.bTls = bTls;
        server = OstrelCli::StartLocalServer(options);
    }

    OstrelServer::Mailbox& Mailbox() { return OstrelServer::DefaultMailbox(*server); }

    CommandRun Login(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--server",       server->BaseUrl(),  "--account", OstrelCli::kLocalAccount,
                                         "--password-env", "CLI_TEST_PASSWORD"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Command("login", args);
    }

    CommandRun Sync(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--json", "--password-env", "CLI_TEST_PASSWORD"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Command("sync", args);
    }

    std::filesystem::path MailDir() const { return home.Path() / "home" / "profiles" / "default" / "mail"; }

    // The ids of the messages held locally (files ID.eml).
    std::set<int32_t> LocalMessages() const {
        std::set<int32_t> ids;
        for (const auto& entry : std::filesystem::directory_iterator(MailDir() / "messages")) {
            if (entry.path().extension() == ".eml")
                ids.insert(std::stoi(entry.path().stem().string()));
        }
        return ids;
    }

    // The ids of the server's messages in every folder.
    std::set<int32_t> ServerMessages() {
        std::set<int32_t> ids;
        for (int32_t folder : AllFolders()) {
            for (int32_t id : Mailbox().ItemsIn(folder)) {
                auto item = Mailbox().Item(id);
                if (item && item->kind == OstrelServer::ItemKind::Message)
                    ids.insert(id);
            }
        }
        return ids;
    }

    // Every local message is the server's, byte for byte, and nothing else is held.
    void ExpectExactCopy() {
        const std::set<int32_t> local = LocalMessages();
        EXPECT_EQ(local, ServerMessages());
        for (int32_t id : local) {
            auto item = Mailbox().Item(id);
            ASSERT_TRUE(item) << id;
            EXPECT_EQ(ReadFile(MailDir() / "messages" / (std::to_string(id) + ".eml")), item->mime) << id;
            EXPECT_TRUE(std::filesystem::exists(MailDir() / "messages" / (std::to_string(id) + ".meta"))) << id;
        }
        EXPECT_FALSE(std::filesystem::exists(MailDir() / "pending"));
    }

    std::vector<int32_t> AllFolders() {
        std::vector<int32_t> ids = {2, 3, 4, 5, 6};
        for (const auto& folder : OstrelServer::MessageGenerator::Folders())
            ids.push_back(folder.id);
        return ids;
    }

    TestSupport::TempHome home;
    std::unique_ptr<OstrelServer::Server> server;
};

}  // namespace CliTest
