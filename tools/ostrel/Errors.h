// One clear line for a failure of a command that talks to the server: wrong password, unreachable
// server, untrusted certificate, server faults, broken answers. The details are in the log.
#pragma once

#include <exception>
#include <string>

namespace Ostrel::Rpc {
class UserSession;
}

namespace OstrelCli {

struct ServerTarget {
    std::string sUrl;
    std::string sAccount;
};

// Describes the exception; `pSession` (may be null) is the profile's session, whose sign-on state
// tells a refused password from an unreachable server.
std::string DescribeServerFailure(std::exception_ptr error, const ServerTarget& target,
                                  Ostrel::Rpc::UserSession* pSession);

}  // namespace OstrelCli
