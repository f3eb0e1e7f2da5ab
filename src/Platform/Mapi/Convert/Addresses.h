// Internet addresses on the MAPI side: entry ids (through the address book or one-off), search keys
// and the flat entry lists of PR_REPLY_RECIPIENT_ENTRIES.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Platform/Mapi/MapiInterfaces.h"

namespace Platform::Mapi::Convert {

struct Address {
    std::wstring wsName;
    std::wstring wsType;  // "SMTP" for Internet addresses
    std::wstring wsAddress;
};

// The entry id of the address: the address book's one-off when a book is given, else one built here.
std::string AddressEntryId(IAddrBook* pAdrBook, const Address& address);
// "TYPE:ADDRESS" upper-cased, with a terminating NUL.
std::string AddressSearchKey(const Address& address);
// The address a one-off entry id holds; false for any other entry id.
bool AddressFromEntryId(std::string_view entryId, Address* pAddress);

// FLATENTRYLIST: entry count, byte count, then each entry's size and bytes padded to four bytes.
std::string MakeFlatEntryList(const std::vector<std::string>& entryIds);
// The entry ids of a flat entry list; false when the bytes do not hold one.
bool ParseFlatEntryList(std::string_view bytes, std::vector<std::string>* pEntryIds);

}  // namespace Platform::Mapi::Convert
