// The per-profile values the connector keeps between runs, in the profile section of its message
// service ("OSTREL") in the MAPI profile of the same name: the trusted-device token of two-factor
// sign-on, the stored password, the cached proxy address and the certificate trust record.
// FixFBUrl points the client's free/busy look-up at the server.
//
// Secrets are protected with EncryptPassword: the password as the binary logon parameter, the
// token as the hexadecimal text of its protected form, never in clear and never in a log line.
// Writing to a profile that does not exist creates it with the connector's service; a profile
// without that service (one being set up) refuses the write.
//
// Older versions kept the token and the password in OSTREL_HOME/profile-values/. Such a file is
// carried into the profile section the first time the profile is used and then removed; what it
// holds that is not a known value is kept beside it as NAME.values.unmigrated. A file that cannot
// be read whole is reported and left as it is, and a value it may hold is not taken for absent.
#pragma once

#include <filesystem>
#include <string>

#include "Platform/Base/HResult.h"
#include "Platform/Mapi/MapiDefs.h"
#include "Platform/Mapi/MapiInterfaces.h"

namespace Ostrel::Mapi {

// A value that is not stored (MAPI_E_NOT_FOUND).
constexpr HRESULT kProfileValueNotFound = static_cast<HRESULT>(0x8004010F);

// The connector's message service in a profile.
inline constexpr const wchar_t* kConnectorServiceName = L"OSTREL";

constexpr ULONG PR_OSTREL_2FA_TRUSTED_TOKEN = PROP_TAG(PT_UNICODE, 0x668C);
constexpr ULONG PR_OSTREL_PROXY_CURL = PROP_TAG(PT_UNICODE, 0x6687);
constexpr ULONG PR_OSTREL_TRUST_CERT_UNTIL = PROP_TAG(PT_UNICODE, 0x6684);
constexpr ULONG PR_OSTREL_STORED_PASSWORD = PROP_TAG(PT_BINARY, 0x6642);
// Which server and account the trusted-device token was given for ("host:port account").
constexpr ULONG PR_OSTREL_2FA_TRUSTED_FOR = PROP_TAG(PT_UNICODE, 0x668D);

// Opens the connector's section of the profile, for writing with `bWrite` (creating the profile
// and the service when the profile does not exist yet).
HRESULT OpenPrimaryServiceProfileSection(const wchar_t* pwszProfile, bool bWrite, IProfSect** ppSection);

// The token for whoever asks; an empty or null token clears the stored one.
HRESULT SetTrustedTokenInProfile(const wchar_t* pwszProfile, const wchar_t* pwszToken);
HRESULT GetTrustedTokenFromProfile(const wchar_t* pwszProfile, std::wstring& wsToken);

// The token kept for one server and account: a token given for another server or account is
// not handed out (kProfileValueNotFound). A token recorded without them (by an older version)
// is bound to the first server and account that ask for it.
HRESULT SetTrustedTokenInProfile(const wchar_t* pwszProfile, const wchar_t* pwszToken, const wchar_t* pwszServer,
                                 DWORD dwPort, const wchar_t* pwszAccount);
HRESULT GetTrustedTokenFromProfile(const wchar_t* pwszProfile, const wchar_t* pwszServer, DWORD dwPort,
                                   const wchar_t* pwszAccount, std::wstring& wsToken);

// The password the user let the connector keep; an empty or null password clears it.
HRESULT SetStoredPasswordInProfile(const wchar_t* pwszProfile, const wchar_t* pwszPassword);
HRESULT GetStoredPasswordFromProfile(const wchar_t* pwszProfile, std::wstring& wsPassword);

// The cached proxy address; an empty or null address clears it.
HRESULT SetCURLInProfile(const wchar_t* pwszProfile, const wchar_t* pwszAddress);
HRESULT GetCURLFromProfile(const wchar_t* pwszProfile, std::wstring& wsAddress);

// The certificate trust record the trust manager keeps ("#LCIND# time date #CHK# sha1 "); the
// text is stored as given, an empty record meaning that no trust is kept.
HRESULT WritePR_OSTREL_TRUST_CERT_UNTILToProfile(const wchar_t* pwszProfile, const std::wstring& wsRecord);
HRESULT ReadPR_OSTREL_TRUST_CERT_UNTILFromProfile(const wchar_t* pwszProfile, std::wstring& wsRecord);

// The file that holds the profile, and the file older versions kept its values in.
std::filesystem::path ProfileFilePath(const wchar_t* pwszProfile);
std::filesystem::path ProfileValuesPath(const wchar_t* pwszProfile);

// Points the client's Internet free/busy look-up at the server: writes the "Read URL" under
// HKCU\Software\Microsoft\Office\<version>\Outlook\Options\Calendar\Internet Free/Busy, unless
// BypassFBConfig is set. The auth token goes into the URL only for clients before version 15 or
// when IncludeAuthInOL2013FBURL is set.
void FixFBUrl(int iPort, int useSSL, const wchar_t* pwszServer, const wchar_t* pwszAuthToken);

}  // namespace Ostrel::Mapi
