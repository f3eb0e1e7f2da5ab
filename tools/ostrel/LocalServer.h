// The simulator as the command line runs it (`ostrel server`, `ostrel demo`, tests, benchmarks):
// one account whose mailbox holds a seed directory and generated messages.
#pragma once

#include "ostrel-server/Server.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace OstrelCli {

constexpr const char* kLocalAccount = "user@ostrel.test";
constexpr const char* kLocalPassword = "secret";

struct LocalServerOptions {
    bool bTls = false;
    int iPort = 0;  // 0: a free port
    std::string sAccount = kLocalAccount;
    std::string sPassword = kLocalPassword;
    std::optional<std::filesystem::path> seedDir;
    size_t cGenerate = 0;
    uint32_t uSeed = 1;
};

// Builds and starts the simulator; throws std::runtime_error (or the mailbox's error) on failure.
std::unique_ptr<OstrelServer::Server> StartLocalServer(const LocalServerOptions& options);

// Makes the next `times` message archives break off after `bytes` bytes by closing the
// connection, as a dropped connection does. (The fault plan's drop acts on answers the server
// holds whole; archives are streamed.)
void BreakDownloads(OstrelServer::Server& server, int times, size_t bytes);

}  // namespace OstrelCli
