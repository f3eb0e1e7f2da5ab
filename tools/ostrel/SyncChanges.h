// What a SyncResponse says: the new token, the folders it lists, the items it lists (a full
// synchronisation lists every item; one from a token lists what changed since) and the ids of
// what was deleted. The reply is read as a stream of events, never as a tree, so neither its size
// nor the depth of its folder tree decides the memory it takes. A reply that breaks the rules
// throws std::runtime_error; an item whose element does (but whose id can be read), or a folder's,
// is left out with a log line naming it.
#pragma once

#include "LocalMailbox.h"

#include "Platform/Com/Stream.h"
#include "Platform/Xml/Dom.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
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

    bool operator==(const SyncItem&) const = default;
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
    // The items among them, with the kind their element names, to be asked for again.
    std::vector<std::pair<int32_t, SyncItemKind>> skippedItems;
};

// The whole reply, items included: from the document of a SOAP answer, or from an answer's body in
// a stream (the envelope, or the SyncResponse alone) read from its start.
SyncChanges ReadSyncChanges(IXMLDOMDocument2* pDocument);
SyncChanges ReadSyncChanges(IStream* pBody);

// A reply too large to hold, read twice from its start: first checked whole, its listing (all but
// the items) handed to `listed`; then each item handed to `item`, in the order of the reply.
// Nothing reaches either when the reply breaks the rules. Returns the listing.
using SyncItemSink = std::function<void(const SyncItem& item)>;
SyncChanges ReadSyncChanges(IStream* pBody, const std::function<void(const SyncChanges& listing)>& listed,
                            const SyncItemSink& item);

}  // namespace OstrelCli
