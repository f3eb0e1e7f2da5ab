// Running `ostrel` commands in tests: in-process (OstrelCli::Run with captured streams) or as the
// real program, against the simulator started in the test's process.
#pragma once

#include "ostrel/Cli.h"
#include "ostrel/CliUi.h"
#include "ostrel/Interrupt.h"
#include "ostrel/LocalServer.h"

#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Base/Utf.h"
#include "Platform/Http/WinHttp.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Platform/Ui/Ui.h"
#include "Support/Files.h"
#include "Support/Process.h"
#include "Support/TempHome.h"
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/SeedGenerator.h"
#include "ostrel-server/ZipWriter.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

// A message as `ostrel sync` left it in the profile's store.
struct StoredMessage {
    int32_t iId = 0;      // its server id (PR_OSTREL_ID)
    int32_t iFolder = 0;  // the server id of its folder; 0 for a folder of the store's own
    std::wstring wsFolder;
    std::wstring wsSubject;
    bool bRead = false;
    bool bFlagged = false;
    std::vector<std::wstring> categories;
};

// Every message of the store below its IPM subtree, folder by folder; nothing when there is no
// store.
inline std::vector<StoredMessage> ReadStoreMessages(const std::filesystem::path& path) {
    std::vector<StoredMessage> messages;
    Platform::ComPtr<IMsgStore> pStore;
    if (FAILED(Platform::OpenOsdStore(path, false, L"", false, pStore.AddressOf())))
        return messages;
    auto* pNamed = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(pStore.Get());
    const ULONG ulId = Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::OSTREL_ID, PT_LONG, pNamed);
    const ULONG ulKeywords = Ostrel::Mapi::NAMED_PROP(Ostrel::Mapi::NamedProps::KEYWORDS, PT_MV_UNICODE, pNamed);
    auto open = [&](const SBinary& eid) {
        Platform::ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        pStore->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), &IID_IMAPIFolder, 0, &ulType, pUnk.AddressOf());
        return Platform::ComPtr<IMAPIFolder>(static_cast<IMAPIFolder*>(pUnk.Get()));
    };
    LPSPropValue pSubtree = nullptr;
    if (FAILED(HrGetOneProp(pStore.Get(), PR_IPM_SUBTREE_ENTRYID, &pSubtree)))
        return messages;
    std::vector<Platform::ComPtr<IMAPIFolder>> pending{open(pSubtree->Value.bin)};
    MAPIFreeBuffer(pSubtree);
    while (!pending.empty()) {
        Platform::ComPtr<IMAPIFolder> pFolder = pending.back();
        pending.pop_back();
        if (!pFolder)
            continue;
        LPSPropValue pProps = nullptr;
        ULONG c = 0;
        SizedSPropTagArray(2, folderCols) = {2, {ulId, PR_DISPLAY_NAME_W}};
        pFolder->GetProps(reinterpret_cast<LPSPropTagArray>(&folderCols), 0, &c, &pProps);
        const int32_t iFolder = pProps && pProps[0].ulPropTag == ulId ? pProps[0].Value.l : 0;
        const std::wstring wsFolder = pProps && pProps[1].ulPropTag == PR_DISPLAY_NAME_W ? pProps[1].Value.lpszW : L"";
        MAPIFreeBuffer(pProps);
        Platform::ComPtr<IMAPITable> pTable;
        LPSRowSet pRows = nullptr;
        SizedSPropTagArray(5, cols) = {5, {ulId, PR_SUBJECT_W, PR_MESSAGE_FLAGS, PR_FLAG_STATUS, ulKeywords}};
        if (SUCCEEDED(pFolder->GetContentsTable(0, pTable.AddressOf())) &&
            SUCCEEDED(
                HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows))) {
            for (ULONG i = 0; i < pRows->cRows; ++i) {
                const SPropValue* p = pRows->aRow[i].lpProps;
                StoredMessage message;
                message.iId = p[0].ulPropTag == ulId ? p[0].Value.l : 0;
                message.iFolder = iFolder;
                message.wsFolder = wsFolder;
                message.wsSubject = p[1].ulPropTag == PR_SUBJECT_W ? p[1].Value.lpszW : L"";
                message.bRead = p[2].ulPropTag == PR_MESSAGE_FLAGS && (p[2].Value.l & MSGFLAG_READ);
                message.bFlagged = p[3].ulPropTag == PR_FLAG_STATUS && p[3].Value.l == 2;
                if (p[4].ulPropTag == ulKeywords)
                    for (ULONG k = 0; k < p[4].Value.MVszW.cValues; ++k)
                        message.categories.emplace_back(p[4].Value.MVszW.lppszW[k]);
                messages.push_back(std::move(message));
            }
            FreeProws(pRows);
        }
        Platform::ComPtr<IMAPITable> pChildren;
        SizedSPropTagArray(1, eidCols) = {1, {PR_ENTRYID}};
        if (SUCCEEDED(pFolder->GetHierarchyTable(0, pChildren.AddressOf())) &&
            SUCCEEDED(HrQueryAllRows(pChildren.Get(), reinterpret_cast<LPSPropTagArray>(&eidCols), nullptr, nullptr, 0,
                                     &pRows))) {
            for (ULONG i = 0; i < pRows->cRows; ++i)
                pending.push_back(open(pRows->aRow[i].lpProps[0].Value.bin));
            FreeProws(pRows);
        }
    }
    return messages;
}

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
    std::filesystem::path StorePath() const { return home.Path() / "home" / "profiles" / "default" / "default.osd"; }
    std::vector<StoredMessage> StoreMessages() const { return ReadStoreMessages(StorePath()); }

    // The server ids of the messages held in the store.
    std::set<int32_t> LocalMessages() {
        std::set<int32_t> ids;
        for (const StoredMessage& message : StoreMessages()) {
            auto item = server ? Mailbox().Item(message.iId) : std::nullopt;
            if (message.iFolder != 0 && (!item || item->kind == OstrelServer::ItemKind::Message))
                ids.insert(message.iId);
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

    // Every server message is in the store once, in its folder, read and flagged as on the server,
    // and nothing else is held.
    void ExpectExactCopy() {
        const std::vector<StoredMessage> stored = StoreMessages();
        std::set<int32_t> local;
        for (const StoredMessage& message : stored) {
            auto item = Mailbox().Item(message.iId);
            if ((item && item->kind != OstrelServer::ItemKind::Message) || message.iFolder == 0)
                continue;  // contacts, appointments, tasks; the address list and other local folders
            EXPECT_TRUE(local.insert(message.iId).second) << "twice: " << message.iId;
            ASSERT_TRUE(item) << message.iId;
            EXPECT_EQ(message.iFolder, item->folderId) << message.iId;
            EXPECT_EQ(message.bRead, item->flags.find('u') == std::string::npos) << message.iId;
            EXPECT_EQ(message.bFlagged, item->flags.find('f') != std::string::npos) << message.iId;
            if (item->subject.find("=?") == std::string::npos) {  // the server keeps encoded words as they came
                EXPECT_EQ(message.wsSubject, Platform::FromUtf8(item->subject)) << message.iId;
            }
        }
        const std::set<int32_t> server = ServerMessages();
        for (int32_t id : server)
            EXPECT_TRUE(local.count(id)) << "missing: " << id;
        for (int32_t id : local)
            EXPECT_TRUE(server.count(id)) << "not on the server: " << id;
        EXPECT_FALSE(std::filesystem::exists(MailDir() / "pending"));
    }

    // Serves downloads as archives that `add` fills: it is called for each id asked for (and its
    // text as it came), and writes that id's entries, or none.
    void ServeArchives(std::function<void(OstrelServer::ZipWriter&, int32_t, const std::string&)> add) {
        server->SetHttpHandler("GET", "/service/download", [add](OstrelServer::HttpCall& call) {
            std::string zip;
            OstrelServer::ZipWriter writer([&](const char* p, size_t n) {
                zip.append(p, n);
                return true;
            });
            std::stringstream list(call.req.get_param_value("ids"));
            for (std::string text; std::getline(list, text, ',');)
                add(writer, std::stoi(text), text);
            writer.Finish();
            call.res.set_content(zip, "application/zip");
        });
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
