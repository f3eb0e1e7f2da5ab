// The fault policy for a SOAP answer that arrived as a stream (an asynchronous exchange or a
// spooled reply), with the facade's session for re-authentication.
#pragma once

#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Com/ComPtr.h"

namespace Ostrel::Rpc {

// Reads the whole answer from the start of `pStream`: fault headers on the connection's last
// response throw ServiceFaultException with the body; otherwise the typed response goes through
// the fault policy (Connection::CheckForErrorAndReAuthIfReqd) and its result is returned. A
// stream above 1 MiB is not examined (true). A stream that cannot be read, or is not XML, throws
// WinHttpException (ERROR_WINHTTP_INVALID_SERVER_RESPONSE) rather than passing for a good answer.
bool CheckForErrorAndReAuthIfReqdOC(OstrelConnection& oc, IStream* pStream, bool throwAll);

// One SOAP call whose answer is read as a stream rather than as a tree (a reply too large to hold
// whole): the answer's body at its start, for an event reader (Platform/Xml/Sax.h). A fault goes
// through the fault policy as in SendRequestSynchronousOC: thrown as its class, or, when the
// sign-on expired, signed on again and sent once more. Whether the rest of the body is well formed
// is for the caller's reader to find.
Platform::ComPtr<IStream> SendRequestForStreamOC(OstrelConnection& oc, Request* pRequest, const char* pszFunction,
                                                 int iLine);

}  // namespace Ostrel::Rpc
