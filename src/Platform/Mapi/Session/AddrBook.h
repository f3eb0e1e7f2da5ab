// The session's small address book: one-off entries for any address, resolution of SMTP addresses.
#pragma once

#include <string>

#include "Platform/Mapi/MapiInterfaces.h"

namespace Platform::Mapi {

HRESULT CreateAddrBook(IAddrBook** ppAdrBook);

// One-off entry ids: provider UID MUIDOneOff, then a version, flags and the display name, address
// type and address as terminated UTF-16LE strings.
std::string MakeOneOffEntryId(const std::wstring& wsName, const std::wstring& wsType, const std::wstring& wsAddress);
bool ParseOneOffEntryId(ULONG cb, const void* pEntryId, std::wstring* pName, std::wstring* pType,
                        std::wstring* pAddress);

}  // namespace Platform::Mapi
