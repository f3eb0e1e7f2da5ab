// The tests of verify, export and watch run `ostrel` commands as the other command tests do, most
// of them against the simulator with a profile that signed on and kept its password.
#pragma once

#include "Tools/Cli/CliTestSupport.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"

namespace StoreVerifyTest {

using CliTest::Command;
using CliTest::CommandRun;
using TestSupport::ReadFile;

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class SignedOnTest : public CliTest::SimulatorTest {
protected:
    // The simulator with `messages` generated, and the default profile signed on to it.
    void SignOn(size_t messages) {
        StartServer(messages);
        const CommandRun login = Login({"--store-password"});
        ASSERT_EQ(login.iExit, 0) << login.sErr;
    }

    // A change made on the server by another client.
    void ServerAction(Ostrel::Rpc::ActionRequest& request) {
        Ostrel::Rpc::OstrelConnection connection(L"other client", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0,
                                                 Ostrel::Rpc::kProxyModeNone, nullptr, 0, L"default");
        Ostrel::Rpc::Response* pResponse = nullptr;
        connection.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
        delete pResponse;
    }
};

}  // namespace StoreVerifyTest
