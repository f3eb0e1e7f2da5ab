// `ostrel verify`: compares the profile's store with the server and names every difference, one per
// line. Both sides are first reduced to a listing in the server's terms (folders by server id with
// parent and name; items by server id with folder, flag letters and tag ids), which keeps the
// comparison apart from how either side is read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Cli.h"

namespace OstrelCli {

class StoreMailbox;
struct SyncChanges;

extern const char* const kVerifySummary;
extern const char* const kVerifyUsage;
int RunVerify(const std::vector<std::string>& args, Context& context);

struct ListedFolder {
    int32_t iParent = 0;
    std::string sName;      // UTF-8
    std::string sSyncName;  // the store's side only: the name sync gave it, when it recorded one
};

struct ListedItem {
    int32_t iFolder = 0;
    bool bMessage = false;
    std::string sFlags;   // the letters sync keeps in step ("f", "u"), sorted
    std::string sTags;    // tag ids, ascending, comma-separated
    int64_t llSize = -1;  // messages: the server's size in bytes; -1 when the side does not know it
};

struct Listing {
    // A multimap on the store's side, where a fault could leave two objects of one server id.
    std::multimap<int32_t, ListedFolder> folders;
    std::multimap<int32_t, ListedItem> items;
    // Store objects in the server's folders that carry no server id, by folder path (one entry each).
    std::vector<std::string> unstamped;
};

// The server's side from a full listing: its folders but the root (the store's subtree), and the
// items of the kinds the synchronisation keeps in the store: messages, contacts, appointments, tasks.
Listing ServerListing(const SyncChanges& changes);
// The store's side: every folder below the subtree that carries a server id, and the items in
// them. Local folders ("Sync Issues", the address list) and what they hold are not the server's.
// False with `why` set when the store cannot be read.
bool StoreListing(StoreMailbox& mailbox, Listing& listing, std::string& why);
// One line per difference, folders first, each group in server id order; empty when both agree.
// A message whose size one side does not know is not compared by size.
std::vector<std::string> CompareListings(const Listing& server, const Listing& store);
// The store's messages that carry no size although the server gives one (written before sync kept
// sizes): their sizes could not be compared.
size_t CountUnsized(const Listing& server, const Listing& store);

}  // namespace OstrelCli
