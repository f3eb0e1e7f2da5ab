// Shared by the session's source files only.
#pragma once

#include "Ostrel/Rpc/Soap/Response.h"
#include "Util/Locks/Locks.h"

namespace Ostrel::Rpc {

// The process-wide critical section of the sessions: the session map and every token operation.
Util::CriticalSection& SessionLock();

// HRESULTs of sign-on.
constexpr HRESULT kUserCancel = static_cast<HRESULT>(0x80040113);    // MAPI_E_USER_CANCEL
constexpr HRESULT kNetworkError = static_cast<HRESULT>(0x80040115);  // MAPI_E_NETWORK_ERROR
constexpr HRESULT kLogonFailed = static_cast<HRESULT>(0x80040111);   // MAPI_E_LOGON_FAILED

}  // namespace Ostrel::Rpc
