// `ostrel demo`: the whole path a user takes, in a temporary OSTREL_HOME against the simulator run
// in this process over HTTPS: log in (trusting the simulator's certificate with --ca-file), a full
// synchronisation into the profile's store, changes on the server, an incremental one and one with
// nothing to do, a change made in the store reaching the server, a run that loses its connection
// and the run that finishes it (each with its timing), `ostrel verify`, a look at the store with
// `ostrel store`, and the Maildir export listed by a mail reader when one is installed.
#include "Args.h"
#include "LocalFiles.h"
#include "LocalServer.h"
#include "Output.h"
#include "Profile.h"
#include "StoreMailbox.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Http/WinHttp.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/SeedGenerator.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include <filesystem>
#include <map>
#include <sstream>

namespace OstrelCli {

namespace {

constexpr size_t kDefaultMessages = 300;
constexpr uint32_t kSeed = 1;

struct Captured {
    int iExit = 0;
    std::string sOut;
    std::string sErr;
    double dSeconds = 0;
};

// Runs a command of this program with its output captured, never asking the terminal anything.
Captured RunCaptured(const std::string& name, const std::vector<std::string>& args, const Context& outer) {
    Captured captured;
    char* pOut = nullptr;
    char* pErr = nullptr;
    size_t cbOut = 0, cbErr = 0;
    Context context;
    context.bVerbose = outer.bVerbose;
    context.out = open_memstream(&pOut, &cbOut);
    context.err = open_memstream(&pErr, &cbErr);
    const uint64_t ullStart = Ostrel::Util::CurrentClock().GetTickCount64();
    captured.iExit = Run(name, args, context);
    captured.dSeconds = static_cast<double>(Ostrel::Util::CurrentClock().GetTickCount64() - ullStart) / 1000.0;
    std::fclose(context.out);
    std::fclose(context.err);
    captured.sOut.assign(pOut, cbOut);
    captured.sErr.assign(pErr, cbErr);
    std::free(pOut);
    std::free(pErr);
    return captured;
}

std::string Field(const std::string& lines, const std::string& key) {
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + "\t", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return std::string();
}

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

class Demo {
public:
    Demo(const std::filesystem::path& root, size_t cMessages, Context& context)
        : m_root(root), m_cMessages(cMessages), m_context(context) {}

    int Go() {
        std::fprintf(Out(), "ostrel demo: a temporary OSTREL_HOME in %s\n\n", (m_root / "home").c_str());

        // 1. The simulator.
        Step("Starting the Ostrel server simulator in this process");
        LocalServerOptions options;
        options.bTls = true;
        options.cGenerate = m_cMessages;
        options.uSeed = kSeed;
        const uint64_t ullStart = Now();
        m_server = StartLocalServer(options);
        std::map<std::string, size_t> kinds;
        OstrelServer::MessageGenerator generator(kSeed);
        for (size_t i = 0; i < m_cMessages; ++i)
            ++kinds[generator.Next().kind];
        std::string mix;
        for (const auto& [kind, count] : kinds)
            mix += (mix.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
        Detail("%s, account %s [%s]", m_server->BaseUrl().c_str(), kLocalAccount, Seconds(Now() - ullStart).c_str());
        Detail("%zu generated messages (%s)", m_cMessages, mix.c_str());
        Detail("in the Inbox, Sent and %zu folders of their own, with flags, tags, non-ASCII headers and file names",
               OstrelServer::MessageGenerator::Folders().size());
        const std::filesystem::path ca = m_root / "simulator-ca.pem";
        std::string why;
        if (!WriteFileAtomically(ca, m_server->GetCertificate().CertPem(), false, why))
            return Failure("demo", why, m_context);
        setenv("OSTREL_DEMO_PASSWORD", kLocalPassword, 1);

        // 2. Login.
        const std::vector<std::string> loginArgs = {
            "--server",       m_server->BaseUrl(),    "--account",       kLocalAccount, "--ca-file", ca.string(),
            "--password-env", "OSTREL_DEMO_PASSWORD", "--store-password"};
        Step("ostrel login --server " + m_server->BaseUrl() + " --account " + kLocalAccount +
             " --ca-file simulator-ca.pem --password-env ... --store-password");
        Captured login = RunCaptured("login", loginArgs, m_context);
        if (login.iExit != kExitOk)
            return Broken("login", login);
        Detail("signed on as %s (%s), server version %s, password %s [%s]", Field(login.sOut, "account").c_str(),
               Field(login.sOut, "name").c_str(), Field(login.sOut, "version").c_str(),
               Field(login.sOut, "password").c_str(), Seconds(login.dSeconds).c_str());

        // 3. The first synchronisation.
        if (!Sync("ostrel sync (the first: the whole mailbox)"))
            return kExitFailure;

        // 4. Changes on the server, made by this client through the library's item actions.
        Step("Changing the mailbox on the server");
        const std::string changes = ChangeServer();
        if (changes.empty())
            return kExitFailure;
        Detail("%s", changes.c_str());
        if (!Sync("ostrel sync (incremental: only what changed)"))
            return kExitFailure;
        if (!Sync("ostrel sync (again: nothing to do)"))
            return kExitFailure;

        // 5. A change made in the store, as a mail client makes it, goes to the server.
        Step("Flagging and reading 3 messages of the Inbox in the store, as a mail client would");
        const std::vector<int32_t> changed = ChangeStore(3);
        if (changed.empty())
            return Failure("demo", "the store's Inbox could not be changed", m_context);
        if (!Sync("ostrel sync (sends the change to the server)"))
            return kExitFailure;
        std::string flags;
        for (int32_t id : changed) {
            const auto item = OstrelServer::DefaultMailbox(*m_server).Item(id);
            flags += (flags.empty() ? "" : ", ") + std::to_string(id) + " \"" + (item ? item->flags : "?") + "\"";
        }
        Detail("the server's flags of those messages now: %s (f flagged, no u: read)", flags.c_str());

        // 6. A connection that drops in the middle of an archive.
        OstrelServer::GenerateInto(OstrelServer::DefaultMailbox(*m_server), 40, kSeed + 1);
        BreakDownloads(*m_server, 1, 40000);
        Step("40 more messages on the server; the connection drops 40 KB into the next archive");
        Captured dropped = RunCaptured("sync", {}, m_context);
        Detail("exit status %d: %s", dropped.iExit, Trimmed(dropped.sErr).c_str());
        if (dropped.iExit == kExitOk)
            return Broken("sync", dropped);
        if (!Sync("ostrel sync (finishes the interrupted one, then asks for changes)"))
            return kExitFailure;

        // 7. The store against the server.
        Step("ostrel verify (the store against a full listing of the server)");
        Captured verify = RunCaptured("verify", {}, m_context);
        Detail("exit status %d: %s", verify.iExit, Trimmed(verify.sOut).c_str());
        if (verify.iExit != kExitOk)
            return Broken("verify", verify);

        // 8. The store itself.
        const std::string store = OstrelCli::StoreMailbox::StorePath("default").string();
        Step("ostrel store folders " + store + " (the folders that hold items)");
        Captured folders = RunCaptured("store", {"folders", store}, m_context);
        if (folders.iExit != kExitOk)
            return Broken("store", folders);
        std::istringstream lines(folders.sOut);
        std::string line;
        for (int i = 0; std::getline(lines, line); ++i) {
            // The header, the root and the top of the mailbox, then every folder with items.
            const size_t tab = line.find('\t');
            if (i < 3 || (tab != std::string::npos && line.compare(tab, 3, "\t0\t") != 0))
                std::fprintf(Out(), "      %s\n", line.c_str());
        }

        // 9. The Maildir export, as a mail reader lists it.
        const std::filesystem::path maildir = m_root / "maildir";
        Step("ostrel export --maildir " + maildir.string());
        Captured exported = RunCaptured("export", {"--maildir", maildir.string()}, m_context);
        if (exported.iExit != kExitOk)
            return Broken("export", exported);
        Detail("%s", Trimmed(exported.sOut.substr(exported.sOut.rfind("# ") + 2)).c_str());
        ShowMailReader(maildir);
        m_server->Stop();
        return kExitOk;
    }

private:
    std::FILE* Out() const { return m_context.out; }
    static uint64_t Now() { return Ostrel::Util::CurrentClock().GetTickCount64(); }
    static std::string Seconds(uint64_t ullMs) { return HumanSeconds(static_cast<double>(ullMs) / 1000.0); }
    static std::string Seconds(double d) { return HumanSeconds(d); }

    void Step(const std::string& text) {
        std::fprintf(Out(), "%s[%d] %s\n", m_iStep ? "\n" : "", m_iStep + 1, text.c_str());
        ++m_iStep;
        std::fflush(Out());
    }

    __attribute__((format(printf, 2, 3))) void Detail(const char* pszFormat, ...) {
        char text[2048];
        va_list args;
        va_start(args, pszFormat);
        std::vsnprintf(text, sizeof text, pszFormat, args);
        va_end(args);
        std::fprintf(Out(), "    %s\n", text);
        std::fflush(Out());
    }

    int Broken(const char* pszCommand, const Captured& run) {
        return Failure("demo", std::string(pszCommand) + " failed: " + Trimmed(run.sErr), m_context);
    }

    bool Sync(const std::string& title) {
        Step(title);
        Captured sync = RunCaptured("sync", {}, m_context);
        if (sync.iExit != kExitOk) {
            Broken("sync", sync);
            return false;
        }
        Detail("%s", Trimmed(sync.sOut).c_str());
        return true;
    }

    // Flags, moves and deletes a few messages with the library's item actions, and lets new mail
    // arrive; returns what was done, or nothing after reporting a failure.
    std::string ChangeServer() {
        OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(*m_server);
        const std::vector<int32_t> inbox = mailbox.ItemsIn(2);
        if (inbox.size() < 9) {
            Failure("demo", "the generated inbox is too small to change", m_context);
            return std::string();
        }
        using Ostrel::Rpc::ActionRequest;
        Ostrel::Rpc::OstrelConnection connection(L"ostrel demo", L"127.0.0.1", static_cast<DWORD>(m_server->Port()), 1,
                                                 Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"default");
        try {
            for (size_t i = 0; i < 9; ++i) {
                std::unique_ptr<ActionRequest> request;
                if (i < 3)
                    request =
                        std::make_unique<ActionRequest>(Ostrel::Mail::MIT_MESSAGE, inbox[i], ActionRequest::OP_FLAG);
                else if (i < 5)
                    request = std::make_unique<ActionRequest>(Ostrel::Mail::MIT_MESSAGE, inbox[i],
                                                              ActionRequest::OP_MOVE, 505, nullptr);
                else
                    request =
                        std::make_unique<ActionRequest>(Ostrel::Mail::MIT_MESSAGE, inbox[i], ActionRequest::OP_DELETE);
                Ostrel::Rpc::Response* pResponse = nullptr;
                connection.SendRequestSynchronousOC(request.get(), pResponse, __func__, __LINE__);
                delete pResponse;
            }
        } catch (...) {
            Failure("demo", "an item action failed", m_context);
            return std::string();
        }
        OstrelServer::GenerateInto(mailbox, 5, kSeed + 2);
        return "3 messages flagged, 2 moved to \"Old mail\", 4 deleted (MsgActionRequest), 5 new ones arrived";
    }

    // Flags and reads the first `count` messages of the store's Inbox that are not both already;
    // their server ids, or none after a failure.
    std::vector<int32_t> ChangeStore(size_t count) {
        OstrelCli::StoreMailbox mailbox("default");
        std::string why;
        Platform::ComPtr<IMAPIFolder> pInbox;
        Platform::ComPtr<IMAPITable> pTable;
        if (FAILED(mailbox.Open(true, why)) || FAILED(mailbox.OpenFolder(kServerInbox, pInbox.AddressOf())) ||
            FAILED(pInbox->GetContentsTable(0, pTable.AddressOf())))
            return {};
        SizedSPropTagArray(4, cols) = {4, {PR_ENTRYID, mailbox.OstrelIdTag(), PR_MESSAGE_FLAGS, PR_FLAG_STATUS}};
        LPSRowSet pRows = nullptr;
        if (FAILED(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows)))
            return {};
        std::vector<int32_t> ids;
        for (ULONG i = 0; i < pRows->cRows && ids.size() < count; ++i) {
            const SPropValue* p = pRows->aRow[i].lpProps;
            Platform::ComPtr<IUnknown> pUnk;
            ULONG ulType = 0;
            const bool bRead = p[2].ulPropTag == PR_MESSAGE_FLAGS && (p[2].Value.l & MSGFLAG_READ);
            const bool bFlagged = p[3].ulPropTag == PR_FLAG_STATUS && p[3].Value.l == 2;
            if (p[1].ulPropTag != mailbox.OstrelIdTag() || (bRead && bFlagged) ||
                FAILED(mailbox.Store()->OpenEntry(p[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(p[0].Value.bin.lpb),
                                                  &IID_IMessage, MAPI_MODIFY, &ulType, pUnk.AddressOf())))
                continue;
            auto* pMessage = static_cast<IMessage*>(pUnk.Get());
            SPropValue flag{PR_FLAG_STATUS, 0, {}};
            flag.Value.l = 2;  // flagged for follow-up
            if (SUCCEEDED(pMessage->SetReadFlag(0)) && SUCCEEDED(HrSetOneProp(pMessage, &flag)) &&
                SUCCEEDED(pMessage->SaveChanges(0)))
                ids.push_back(p[1].Value.l);
        }
        FreeProws(pRows);
        return ids;
    }

    // The folders and the first messages of the export as mblaze lists them, when it is installed.
    void ShowMailReader(const std::filesystem::path& maildir) {
        if (::access("/usr/bin/mlist", X_OK) != 0 || ::access("/usr/bin/mscan", X_OK) != 0) {
            Detail("%s", "(install mblaze to see the export through a mail reader's listing)");
            return;
        }
        // The path is the demo's own temporary directory: no quote can be in it.
        const std::string dir = "'" + maildir.string() + "'";
        const std::string command =
            "mdirs " + dir + " | head -n 6; echo; mlist " + dir + " | mscan 2>/dev/null | head -n 6";
        Detail("%s",
               "mdirs DIR | head -n 6; mlist DIR | mscan | head -n 6 (mblaze, a mail reader for the command line):");
        std::FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe)
            return;
        char text[512];
        while (std::fgets(text, sizeof text, pipe))
            std::fprintf(Out(), "      %s", text);
        ::pclose(pipe);
    }

    const std::filesystem::path m_root;
    const size_t m_cMessages;
    Context& m_context;
    std::unique_ptr<OstrelServer::Server> m_server;
    int m_iStep = 0;
};

}  // namespace

int RunDemo(const std::vector<std::string>& args, Context& context) {
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("demo", args, {{"--messages", true}, {"--keep"}}, 0, 0, context, parsed, exitCode))
        return exitCode;
    size_t cMessages = kDefaultMessages;
    if (auto count = parsed.Value("--messages")) {
        auto value = ParseInteger(*count, 20, 1000000);
        if (!value)
            return UsageError("demo", "--messages takes 20 to 1000000", context);
        cMessages = static_cast<size_t>(*value);
    }

    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-demo-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return Failure("demo", "cannot create a temporary directory", context);
    const std::filesystem::path root = pattern;
    setenv("OSTREL_HOME", (root / "home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
    Ostrel::Util::g_logger.CloseLogFile();  // log into the demo's home from now on

    int result = kExitFailure;
    try {
        result = Demo(root, cMessages, context).Go();
    } catch (const std::exception& e) {
        result = Failure("demo", e.what(), context);
    }
    Ostrel::Rpc::UserSession::ReleaseSharedSessions();
    Ostrel::Util::g_logger.CloseLogFile();
    if (parsed.Has("--keep")) {
        std::fprintf(context.out, "\nKept %s (OSTREL_HOME=%s)\n", root.c_str(), (root / "home").c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
        std::fprintf(context.out, "\nRemoved %s\n", root.c_str());
    }
    return result;
}

}  // namespace OstrelCli
