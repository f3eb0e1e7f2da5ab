// The per-profile values the user session keeps between runs: the trusted-device token of
// two-factor sign-on and the stored password. They live in one small file per profile under
// OSTREL_HOME/profile-values/ until the profile layer keeps them in the profile section itself;
// FixFBUrl points the client's free/busy look-up at the server.
//
// The file is UTF-8 text, one "Name=value" line per value (values percent-encoded; the password
// and the token protected with EncryptPassword and written in hexadecimal, a token kept in clear
// text by older versions protected when it is first read). It is rewritten atomically under a
// cross-process lock; lines it does not understand are kept as they are.
#pragma once

#include <filesystem>
#include <string>

#include "Platform/Base/HResult.h"

namespace Ostrel::Mapi {

// A value that is not stored (MAPI_E_NOT_FOUND).
constexpr HRESULT kProfileValueNotFound = static_cast<HRESULT>(0x8004010F);

// An empty or null token clears the stored one.
HRESULT SetTrustedTokenInProfile(const wchar_t* pwszProfile, const wchar_t* pwszToken);
HRESULT GetTrustedTokenFromProfile(const wchar_t* pwszProfile, std::wstring& wsToken);

// The password the user let the connector keep; an empty or null password clears it.
HRESULT SetStoredPasswordInProfile(const wchar_t* pwszProfile, const wchar_t* pwszPassword);
HRESULT GetStoredPasswordFromProfile(const wchar_t* pwszProfile, std::wstring& wsPassword);

// The file that holds a profile's values.
std::filesystem::path ProfileValuesPath(const wchar_t* pwszProfile);

// Points the client's Internet free/busy look-up at the server: writes the "Read URL" under
// HKCU\Software\Microsoft\Office\<version>\Outlook\Options\Calendar\Internet Free/Busy, unless
// BypassFBConfig is set. The auth token goes into the URL only for clients before version 15 or
// when IncludeAuthInOL2013FBURL is set.
void FixFBUrl(int iPort, int useSSL, const wchar_t* pwszServer, const wchar_t* pwszAuthToken);

}  // namespace Ostrel::Mapi
