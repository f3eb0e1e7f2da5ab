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

// What keeps the per-user password key from being used (a link, not a plain file, another owner,
// readable or writable by others), with the file and the remedy; empty when none of that applies.
std::string PasswordKeyProblem();

}  // namespace OstrelCli
