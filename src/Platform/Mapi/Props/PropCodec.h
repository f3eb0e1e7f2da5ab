// Property values in their stored form and the conversions between that form and SPropValue.
// Stored form: fixed-size values as little-endian bytes; PT_STRING8 and PT_UNICODE both as UTF-8
// without a terminator (so the two string types compare byte for byte); PT_BINARY as is;
// multi-valued fixed-size values as the concatenated elements; multi-valued strings and binaries as
// a 32-bit length before each element.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Mapi/MapiDefs.h"

namespace Platform::Mapi {

struct StoredProp {
    ULONG ulTag = PR_NULL;
    std::string sData;
};
// An object's properties by property id (an object holds one type per id).
using PropMap = std::map<ULONG, StoredProp>;

// Where decoded values put their variable parts (strings, binaries, arrays).
class Allocator {
public:
    virtual ~Allocator() = default;
    virtual void* Allocate(size_t cb) = 0;  // null when out of memory
};

// Chains every part to a MAPI buffer with MAPIAllocateMore.
class MoreAllocator : public Allocator {
public:
    explicit MoreAllocator(void* pParent) : m_pParent(pParent) {}
    void* Allocate(size_t cb) override;

private:
    void* m_pParent;
};

// Keeps the parts for its own lifetime.
class ArenaAllocator : public Allocator {
public:
    void* Allocate(size_t cb) override;

private:
    std::vector<std::unique_ptr<unsigned char[]>> m_blocks;
};

// Types whose values can be stored (PT_OBJECT, PT_ERROR, PT_NULL and PT_UNSPECIFIED cannot).
bool IsStorableType(ULONG ulType);
// Types a caller may ask for or pass in a tag at all.
bool IsValidType(ULONG ulType);

// Validates the value (null pointers, counts, type) and encodes it.
// MAPI_E_INVALID_TYPE for a type that cannot be stored, MAPI_E_INVALID_PARAMETER for a malformed value.
HRESULT EncodeValue(const SPropValue& value, StoredProp& out);

// Whether a value stored with ulStoredType can be read as ulWantedType (equal types, PT_UNSPECIFIED,
// or the 8-bit and wide string types of the same arity).
bool CanReadAs(ULONG ulStoredType, ULONG ulWantedType);

// Decodes a stored value into *pOut as ulWantedTag (its id and requested type; PT_UNSPECIFIED keeps the
// stored type). MAPI_E_NOT_FOUND when the types do not fit, MAPI_E_CORRUPT_DATA for damaged bytes.
HRESULT DecodeValue(const StoredProp& prop, ULONG ulWantedTag, SPropValue* pOut, Allocator& alloc);

// The elements of a multi-valued stored value as single values of the base type.
std::vector<StoredProp> SplitMultiValue(const StoredProp& prop);
size_t MultiValueCount(const StoredProp& prop);

// Orders two stored values of comparable types: numbers by value, times as times, strings by
// their case-folded text when bIgnoreCase (else by code point), binaries byte-wise then by length.
// Multi-valued values compare element by element. Values of unrelated types order by type.
int CompareStored(const StoredProp& a, const StoredProp& b, bool bIgnoreCase);

// Size of a value as MAPI reports it for PR_MESSAGE_SIZE and RES_SIZE.
ULONG ValueSize(const StoredProp& prop);

// Helpers for single values.
StoredProp MakeLong(ULONG ulTag, LONG l);
StoredProp MakeBool(ULONG ulTag, bool b);
StoredProp MakeBinary(ULONG ulTag, std::string_view bytes);
StoredProp MakeString(ULONG ulTag, std::wstring_view text);  // PT_UNICODE or PT_STRING8 tag
StoredProp MakeSysTime(ULONG ulTag, const FILETIME& ft);
StoredProp MakeI8(ULONG ulTag, LONGLONG ll);
LONG ReadLong(const StoredProp& prop, LONG lDefault = 0);
LONGLONG ReadI8(const StoredProp& prop, LONGLONG llDefault = 0);
bool ReadBool(const StoredProp& prop);
std::wstring ReadString(const StoredProp& prop);  // PT_UNICODE or PT_STRING8

// Case folding of UTF-8 text for comparisons without regard to case.
std::u32string FoldCase(std::string_view utf8);

// A property list as one blob (recipient rows, profile rows): count, then tag, length and bytes.
std::string EncodePropList(const PropMap& props);
bool DecodePropList(std::string_view blob, PropMap& props);

}  // namespace Platform::Mapi
