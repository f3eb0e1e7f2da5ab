#include "LocalServer.h"

#include "ostrel-server/Accounts.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/SeedGenerator.h"

#include <atomic>

namespace OstrelCli {

std::unique_ptr<OstrelServer::Server> StartLocalServer(const LocalServerOptions& options) {
    OstrelServer::ServerOptions serverOptions;
    serverOptions.tls = options.bTls;
    serverOptions.port = options.iPort;
    auto server = std::make_unique<OstrelServer::Server>(serverOptions);

    OstrelServer::Account account;
    account.name = options.sAccount;
    account.password = options.sPassword;
    account.id = OstrelServer::Mailboxes::kDefaultAccountId;  // the mailbox requests reach
    account.displayName = "Demo User";
    server->State<OstrelServer::AccountBook>().Add(account);

    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(*server);
    if (options.seedDir)
        mailbox.LoadSeed(*options.seedDir);
    if (options.cGenerate)
        OstrelServer::GenerateInto(mailbox, options.cGenerate, options.uSeed);
    server->Start();
    return server;
}

void BreakDownloads(OstrelServer::Server& server, int times, size_t bytes) {
    const auto& registered = OstrelServer::RegisteredHttpEndpoints();
    auto it = registered.find({"GET", "/service/download"});
    if (it == registered.end())
        throw std::runtime_error("the simulator has no download endpoint");
    OstrelServer::HttpHandler download = it->second;
    auto remaining = std::make_shared<std::atomic<int>>(times);
    server.SetHttpHandler("GET", "/service/download", [download, remaining, bytes](OstrelServer::HttpCall& call) {
        download(call);
        if (!call.res.content_provider_ || remaining->fetch_sub(1) <= 0)
            return;
        auto provider = std::move(call.res.content_provider_);
        auto sent = std::make_shared<size_t>(0);
        call.res.content_provider_ = [provider, sent, bytes](size_t offset, size_t length, httplib::DataSink& sink) {
            httplib::DataSink limited;
            bool bCut = false;
            limited.write = [&](const char* data, size_t size) {
                const size_t allowed = bytes > *sent ? std::min(size, bytes - *sent) : 0;
                if (allowed && !sink.write(data, allowed))
                    return false;
                *sent += allowed;
                bCut = allowed < size;
                return !bCut;
            };
            limited.done = [&] { sink.done(); };
            limited.is_writable = [&] { return !bCut && sink.is_writable(); };
            // Failing the provider makes the server close the connection.
            return provider(offset, length, limited) && !bCut;
        };
    });
}

}  // namespace OstrelCli
