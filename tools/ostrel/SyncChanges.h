// What a SyncResponse says: the new token, the folders it lists, the items it lists (a full
// synchronisation lists every item; one from a token lists what changed since) and the ids of
// what was deleted. Reads the reply document iteratively, so a deep folder tree cannot exhaust the
// stack. A reply that breaks the rules throws std::runtime_error; an item whose element does (but
// whose id can be read), or a folder's, is left out with a log line naming it.
#pragma once

#include "LocalMailbox.h"

#include "Platform/Xml/Dom.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace OstrelCli {

enum class SyncItemKind { Message, Contact, Appointment, Task, Other };

struct SyncItem {
    int32_t iId = 0;
    SyncItemKind kind = SyncItemKind::Message;
    int32_t iFolder = 0;    // l
    int32_t iSeq = 0;       // ms: the server's change sequence
    int32_t iSize = -1;     // s: a message's size in bytes; -1 when not given
    std::string sFlags;     // f
    std::string sTagIds;    // t
    std::string sTagNames;  // tn
    std::string sMeta;      // the element as XML, for items other than messages
};

struct SyncFolder {
    int32_t iParent = 0;
    int32_t iSeq = 0;
    std::string sName;
    std::string sView;
};

struct SyncTag {
    int32_t iId = 0;
    std::string sName;
    std::string sRgb;
};

struct SyncChanges {
    std::string sToken;
    std::vector<SyncTag> tags;
    // In the order of the reply: a full listing names every parent before its children.
    std::vector<std::pair<int32_t, SyncFolder>> folders;
    std::vector<SyncItem> items;
    std::vector<int32_t> deleted;
    std::vector<int32_t> skipped;  // items and folders left out: their elements break the rules (logged)
};

SyncChanges ReadSyncChanges(IXMLDOMDocument2* pDocument);

}  // namespace OstrelCli
