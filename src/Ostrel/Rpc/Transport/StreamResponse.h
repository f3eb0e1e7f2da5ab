// The fault policy for a SOAP answer that arrived as a stream (an asynchronous exchange or a
// spooled reply), with the facade's session for re-authentication.
#pragma once

#include "Ostrel/Rpc/Transport/OstrelConnection.h"

namespace Ostrel::Rpc {

// Reads the whole answer from the start of `pStream`: fault headers on the connection's last
// response throw ServiceFaultException with the body; otherwise the typed response goes through
// the fault policy (Connection::CheckForErrorAndReAuthIfReqd) and its result is returned. A
// stream above 1 MiB is not examined (true). A stream that cannot be read, or is not XML, throws
// WinHttpException (ERROR_WINHTTP_INVALID_SERVER_RESPONSE) rather than passing for a good answer.
bool CheckForErrorAndReAuthIfReqdOC(OstrelConnection& oc, IStream* pStream, bool throwAll);

}  // namespace Ostrel::Rpc
