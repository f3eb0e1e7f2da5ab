// What the SOAP client does with failures: which SOAP faults are thrown and which lead to a silent
// re-authentication, service faults carried in HTTP headers, HTTP status faults, which transport
// errors count as SSL errors, and how a failed connection is handled at the user interface.
// The connection (Connection::CheckForErrorAndReAuthIfReqd, GetServiceFaultInfo, IsSSLError)
// applies these rules.
#pragma once

#include <functional>
#include <string>

#include "Ostrel/Rpc/Soap/RPCExceptions.h"

namespace Ostrel::Rpc {

// The part of the user session that the fault policy calls (UserSession implements it).
class IUserSessionAuth {
public:
    // Drops the authentication token and authenticates again; `expired` tells whether the server
    // said the token expired. Throws WinHttpException(12029) when no token could be had.
    virtual void InvalidateAuthToken(int expired) = 0;

protected:
    ~IUserSessionAuth() = default;
};

// The fault policy. Not a fault: false. Maintenance, already-exists, permission-denied and
// must-resync faults: thrown as their class. Otherwise with throwAll, or for any fault other than
// an authentication failure, a password change demand or an expired token: thrown as
// SoapFaultResponse. An authentication fault: the session (when there is one) invalidates its
// token and the result is true, so that the caller sends once more with throwAll set.
bool CheckForErrorAndReAuthIfReqd(Response* pResponse, bool throwAll, IUserSessionAuth* pSession);

// Reads one response header as WinHttpQueryHeaders does (asking the size, then reading into a
// buffer of that size): ERROR_SUCCESS with the value, ERROR_WINHTTP_HEADER_NOT_FOUND (12150) when
// absent, another error number when the read failed.
using HeaderReader = std::function<DWORD(const wchar_t* pwszName, std::wstring& wsValue)>;

// The service fault a response carries in its headers: "DoSFilter: unavailable" (any case) is the
// fault "DoSFilter"; otherwise both X-Ostrel-Fault-Code and X-Ostrel-Fault-Message make one.
// False when there is none or a header could not be read (which is logged).
bool GetServiceFaultInfo(const HeaderReader& readHeader, std::wstring& wsCode, std::wstring& wsMessage);

// After a synchronous SOAP exchange: a status above 500 throws NginxException (500 is how the
// server delivers SOAP faults).
void CheckHttpStatus(DWORD dwStatus, const char* pszFunction, int iLine, const IConnectionTrace* pConnection);

// Whether a transport error may mean that the connection type (HTTP or HTTPS) does not match the
// server: 12152 or 12175 while no connection of the process has yet received a response.
// requestNumber is the connection's current request number, for the log.
int IsSSLError(DWORD dwError, LONG requestNumber);
// Recorded by every successful receive; the flag never goes back.
void NoteResponseReceived();
bool HasResponseBeenReceived();
// Only for tests: the process state before the first response.
void ResetResponseReceivedForTesting();

// A connection failure at the user interface: for an SSL mismatch (outside the handheld-server
// edition, with the client online) tells the user and switches the client to offline mode.
// S_FALSE when nothing was done.
HRESULT HandleConnectionFailure(HWND hwndOwner, const RpcException& e);

}  // namespace Ostrel::Rpc
