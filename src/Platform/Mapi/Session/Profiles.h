// MAPI profiles kept under OSTREL_HOME/profiles, one SQLite file per profile holding its sections.
// A profile has message services; a service has providers; a store provider names its .osd file.
// This is the administration side (what a profile wizard does); MAPILogonEx opens a profile.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "Platform/Mapi/MapiInterfaces.h"

// Starts and ends the use of MAPI in the process (kept for callers written against MAPI; both
// always succeed and may be nested).
HRESULT MAPIInitialize(LPVOID lpMapiInit);
void MAPIUninitialize();

// Opens a session on the profile (the default profile when lpszProfileName is null). Text is wide
// with MAPI_UNICODE in flFlags, else UTF-8. MAPI_E_LOGON_FAILED when there is no such profile.
HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG flFlags,
                    LPMAPISESSION* lppSession);

namespace Platform {

// Profile names are case-insensitive file names: letters, digits, space, '-', '_' and '.'.
HRESULT MapiCreateProfile(const std::wstring& wsName, bool bDefault);
HRESULT MapiDeleteProfile(const std::wstring& wsName);
std::vector<std::wstring> MapiListProfiles();
// Adds a message service; *pServiceUid receives its UID (its profile section's UID).
HRESULT MapiAddService(const std::wstring& wsProfile, const std::wstring& wsServiceName,
                       const std::wstring& wsDisplayName, MAPIUID* pServiceUid);
// Adds a store provider to the service, creating the store file when missing; *pProviderUid
// receives the provider's UID (its profile section's UID).
HRESULT MapiAddStore(const std::wstring& wsProfile, const MAPIUID& serviceUid, const std::wstring& wsDisplayName,
                     const std::filesystem::path& osdPath, bool bDefaultStore, MAPIUID* pProviderUid);

// The support object a provider of the session's profile is given.
HRESULT MapiCreateSupport(IMAPISession* pSession, const MAPIUID& providerUid, IMAPISupport** ppSupport);

}  // namespace Platform
