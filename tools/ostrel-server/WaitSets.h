// Wait sets of the simulator: each watches accounts (with the kinds of change of interest and the
// revision the client has seen) and answers a WaitSetRequest with the accounts whose mailbox
// changed since, holding a blocking request until one does (Server::State<WaitSets>()).
//
// Change types: "all", or letters separated by commas: f folders, m messages, c contacts,
// a appointments, t tasks, d documents, g tags. A user's wait set may only watch the account the
// request is for; the admin forms (urn:ostrelAdmin) watch any account of the server.
#pragma once

#include "Mailbox.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace OstrelServer {

class Server;
class SoapDocument;
struct SoapReply;

class WaitSets {
public:
    // How long a blocking WaitSetRequest waits for a change unless it names a "timeout" in seconds.
    static constexpr std::chrono::seconds kDefaultBlockTime{60};

    // `caller` is the mailbox of the account the request is for.
    SoapReply Create(const SoapDocument& doc, Server& server, const Mailbox& caller, bool admin);
    SoapReply Wait(const SoapDocument& doc, Server& server, const Mailbox& caller, bool admin);
    SoapReply Destroy(const SoapDocument& doc, bool admin);
    size_t Count() const;

private:
    struct Entry {
        std::string types;
        uint64_t token = 0;
    };
    struct Set {
        std::string defTypes;
        uint64_t seq = 0;
        bool admin = false;
        std::map<std::string, Entry> accounts;  // by account id
    };

    // Adds or updates the entries under the body's `add` or `update`; error elements for refused ones.
    std::string ApplyEntries(const SoapDocument& doc, const char* group, Set& set, Mailboxes& boxes,
                             const Mailbox& caller, bool admin);
    // The accounts of the set that changed since their tokens, each moved on to its current revision.
    std::string TakeChanges(Set& set, Mailboxes& boxes);

    mutable std::mutex m_mutex;
    std::map<std::string, Set> m_sets;
    uint64_t m_next = 1;
};

}  // namespace OstrelServer
