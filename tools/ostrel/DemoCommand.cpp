// `ostrel demo`: the whole path a user takes, in a temporary OSTREL_HOME against the simulator run
// in this process over HTTPS: log in (trusting the simulator's certificate with --ca-file), a full
// synchronisation, changes on the server, an incremental one, one that loses its connection and
// the run that finishes it, each with its timing.
#include "Args.h"
#include "LocalFiles.h"
#include "LocalServer.h"
#include "Output.h"
#include "Profile.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Http/WinHttp.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/SeedGenerator.h"

#include <stdlib.h>

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

        // 5. A connection that drops in the middle of an archive.
        OstrelServer::GenerateInto(OstrelServer::DefaultMailbox(*m_server), 40, kSeed + 1);
        BreakDownloads(*m_server, 1, 40000);
        Step("40 more messages on the server; the connection drops 40 KB into the next archive");
        Captured dropped = RunCaptured("sync", {}, m_context);
        Detail("exit status %d: %s", dropped.iExit, Trimmed(dropped.sErr).c_str());
        if (dropped.iExit == kExitOk)
            return Broken("sync", dropped);
        if (!Sync("ostrel sync (finishes the interrupted one, then asks for changes)"))
            return kExitFailure;

        // 6. What is on disk.
        const std::filesystem::path mail = ProfileDataDir("default");
        Step("The local copy in " + mail.string());
        size_t cEml = 0, cMeta = 0;
        uint64_t ullBytes = 0;
        std::filesystem::path sample;
        for (const auto& entry : std::filesystem::directory_iterator(mail / "messages")) {
            if (entry.path().extension() == ".eml") {
                ++cEml;
                ullBytes += entry.file_size();
                if (sample.empty() || entry.path().filename() < sample.filename())
                    sample = entry.path();
            } else if (entry.path().extension() == ".meta") {
                ++cMeta;
            }
        }
        Detail("messages/: %zu .eml files (%s) with %zu .meta files; items/: %zu other items; folders.tsv, state", cEml,
               HumanBytes(ullBytes).c_str(), cMeta,
               static_cast<size_t>(std::distance(std::filesystem::directory_iterator(mail / "items"),
                                                 std::filesystem::directory_iterator())));
        if (auto folders = ReadSmallFile(mail / "folders.tsv", 1 << 20, why)) {
            Detail("%s", "folders.tsv (id, parent, view, name, path); the generated folders:");
            std::istringstream lines(*folders);
            std::string line;
            while (std::getline(lines, line)) {
                const std::string id = line.substr(0, line.find('\t'));
                if (id.size() == 3 && id[0] == '5')
                    std::fprintf(Out(), "      %s  %s\n", id.c_str(), line.substr(line.rfind('\t') + 1).c_str());
            }
        }
        if (!sample.empty()) {
            if (auto meta = ReadSmallFile(std::filesystem::path(sample).replace_extension(".meta"), 1 << 20, why))
                Detail("%s: %s", std::filesystem::path(sample).replace_extension(".meta").filename().c_str(),
                       Trimmed(*meta).c_str());
        }
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
