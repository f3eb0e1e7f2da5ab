// What a SyncResponse says: the new token, the folders it lists, the items it lists (a full
// synchronisation lists every item; one from a token lists what changed since) and the ids of
// what was deleted. Reads the reply document iteratively, so a deep folder tree cannot exhaust the
// stack; a reply that breaks the rules throws std::runtime_error.
#pragma once

#include "LocalMailbox.h"

#include "Platform/Xml/Dom.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace OstrelCli {

struct SyncItem {
    int32_t iId = 0;
    bool bMessage = false;
    std::string sMeta;  // the item's element, as XML
};

struct SyncChanges {
    std::string sToken;
    std::map<int32_t, LocalFolder> folders;
    std::vector<SyncItem> items;
    std::vector<int32_t> deleted;
};

SyncChanges ReadSyncChanges(IXMLDOMDocument2* pDocument);

}  // namespace OstrelCli
