// Switching the mail client to offline mode on the library's initiative (a connection that cannot
// work, a sign-on the user cancelled). Only the client itself is switched: in the connector's other
// processes, and when the client runs embedded in another program, the request is logged and
// dropped.
#pragma once

#include "Platform/Base/HResult.h"

namespace Ostrel::Mapi {

// Clients before version 15 are switched by a thread of its own ("SwitchOutlookToOfflineModeThread");
// with `wait` non-zero the caller waits for it at most 30 s. Later clients are asked directly. The
// connection manager hears that the client is offline once the switch has been asked for. Always S_OK.
HRESULT SwitchOutlookToOfflineMode(int wait);

}  // namespace Ostrel::Mapi
