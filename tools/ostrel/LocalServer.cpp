#include "LocalServer.h"

#include "ostrel-server/Mailbox.h"
#include "ostrel-server/SeedGenerator.h"

namespace OstrelCli {

std::unique_ptr<OstrelServer::Server> StartLocalServer(const LocalServerOptions& options) {
    OstrelServer::ServerOptions serverOptions;
    serverOptions.tls = options.bTls;
    serverOptions.port = options.iPort;
    auto server = std::make_unique<OstrelServer::Server>(serverOptions);

    OstrelServer::Mailbox& mailbox = OstrelServer::DefaultMailbox(*server);
    if (options.seedDir)
        mailbox.LoadSeed(*options.seedDir);
    if (options.cGenerate)
        OstrelServer::GenerateInto(mailbox, options.cGenerate, options.uSeed);
    server->Start();
    return server;
}

}  // namespace OstrelCli
