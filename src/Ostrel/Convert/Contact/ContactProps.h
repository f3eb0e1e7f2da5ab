// The table that both contact converters share: server attribute names against store contact
// properties (standard tags or entries of the connector's named-property table), and the
// property sets of the e-mail slots, addresses and distribution lists.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// One row of the table. A row names a standard tag (PT_UNICODE) or a named entry, never both.
struct ContactAttrRow {
    const wchar_t* pwszAttr;
    ULONG ulTag;                // 0 for a named row
    NamedProps::PropIdx idx;    // meaningful when ulTag is 0
    bool bToStoreOnly = false;  // written into the store, never read back
};

// Every row in table order ("workURL" has two: the business home page and the web page entry).
const std::vector<ContactAttrRow>& ContactAttrTable();
// The row's tag with the store's ids; PR_NULL when a named entry has no id.
ULONG ContactAttrTag(const ContactAttrRow& row, const NamedProps* pProps);

// The e-mail slots 1 to 3: address, address type, original entry id and slot display name.
struct EmailSlot {
    const wchar_t* pwszAttr;
    NamedProps::PropIdx address;
    NamedProps::PropIdx addressType;
    NamedProps::PropIdx originalEntryId;
    NamedProps::PropIdx displayName;
};
const EmailSlot* EmailSlots();  // three slots
constexpr size_t kEmailSlotCount = 3;

// One kind of postal address: the parts (street, city, state, postal code, country) as standard
// tags or named entries, and the named entry of its composed text.
struct AddressKind {
    int iMode;  // 1 home, 2 work, 3 other
    const wchar_t* pwszStreet;
    const wchar_t* pwszCity;
    const wchar_t* pwszState;
    const wchar_t* pwszPostalCode;
    const wchar_t* pwszCountry;
    NamedProps::PropIdx composed;
};
const AddressKind* AddressKinds();  // home, work, other
constexpr size_t kAddressKindCount = 3;

// Composes an address text: street CRLF, city (", " before a state), state and a blank, postal
// code, then CRLF and the country; missing parts drop their separators.
std::wstring ComposeAddress(std::wstring_view wsStreet, std::wstring_view wsCity, std::wstring_view wsState,
                            std::wstring_view wsPostalCode, std::wstring_view wsCountry);
// The longest composed address kept; longer ones are stored empty.
constexpr size_t kMaxComposedAddress = 2990;

// Attributes the table does not map, kept as two parallel lists (names, values) on the store
// contact so that they go back to the server unchanged. They are not made user-defined fields:
// every new field name would take one of the store's named-property ids for good, and a server
// could exhaust them.
constexpr NamedProps::PropIdx kServerOnlyNames = NamedProps::CONN_8603;
constexpr NamedProps::PropIdx kServerOnlyValues = NamedProps::CONN_8605;

// Property tags not in the platform's vocabulary.
constexpr ULONG PR_CALLBACK_TELEPHONE_NUMBER_W = PROP_TAG(PT_UNICODE, 0x3A02);
constexpr ULONG PR_INTERNET_CPID_TAG = PROP_TAG(PT_LONG, 0x3FDE);

// Distribution-list member entry ids: a wrapped entry id (flags, the wrapping provider, a type
// byte, the embedded id) or a one-off entry id.
inline constexpr BYTE kWrappedEidProvider[16] = {0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11,
                                                 0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4};
constexpr BYTE kWrappedContact = 0x83;  // a store contact, its first e-mail address
constexpr BYTE kWrappedGalUser = 0xB5;  // a global address list entry (its store copy)
std::string WrapEntryId(BYTE bType, std::string_view sEntryId);
// False when the bytes are not a wrapped entry id.
bool UnwrapEntryId(std::string_view sWrapped, BYTE& bType, std::string& sEntryId);

}  // namespace Ostrel::Mapi
