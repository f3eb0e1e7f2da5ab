// What the connection needs of the user session (UserSession implements it), and how the
// connection finds the session of a profile.
#pragma once

#include <functional>
#include <string>

#include "Ostrel/Rpc/Soap/RPCFaultPolicy.h"

namespace Ostrel::Rpc {

class IConnectionSession : public IUserSessionAuth {
public:
    // The session's server port; 0 when it has none of its own.
    virtual DWORD Port() = 0;
    // The admin port of the handheld-server edition; 0 when there is none.
    virtual DWORD AdminPort() = 0;
    // The current token, authenticating first when there is none. Throws WinHttpException(12029)
    // when no token can be had.
    virtual std::wstring AuthToken() = 0;
    // Whether requests should ask the server not to keep a session (the `nosession` marker).
    virtual bool SetNoSession() = 0;

protected:
    ~IConnectionSession() = default;
};

// Finds the session of a profile ("" for the global profile) or null; installed by the session
// layer (UserSession::GetInstance). Without a finder there is no session.
using SessionFinder = std::function<IConnectionSession*(const std::wstring& wsProfile)>;
void SetSessionFinder(SessionFinder finder);
IConnectionSession* FindSession(const std::wstring& wsProfile);

// The current profile's name ("" when unknown); installed by the session layer
// (UserSession::GetGlobalProfileName).
void SetCurrentProfileNameSource(std::function<std::wstring()> source);
std::wstring CurrentProfileName();

}  // namespace Ostrel::Rpc
