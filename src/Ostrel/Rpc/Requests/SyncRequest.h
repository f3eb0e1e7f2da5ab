// The synchronisation request: the mailbox (or one folder's subtree) as a whole, or what changed
// since a token the server handed out before.
#pragma once

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

namespace Ostrel::Rpc {

class SyncRequest : public ItemRequestBase {
public:
    // token: the last sync token (null for a full synchronisation); folderId: the subtree's root
    // when positive; calendarCutoffDays: when non-zero, calendar items that ended more than that
    // many days ago are left out ("calCutoff", milliseconds since 1970, from the current clock).
    SyncRequest(const wchar_t* pwszToken, LONG folderId, ULONG calendarCutoffDays);
};

}  // namespace Ostrel::Rpc
