// Arbitrary bytes as a stored property list (recipient rows, profile rows) and each value decoded
// as every type it may be read as. Damaged bytes must give false or MAPI_E_CORRUPT_DATA, never a
// crash; a list that decodes must encode back to the same properties, and a decoded value must
// survive encoding and decoding unchanged after its first normalisation, and have a log text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/Props/PropCodec.h"
#include "Util/Log/DumpProps.h"

using namespace Platform::Mapi;

namespace {

// Decodes, encodes, decodes and encodes again: the two encodings must be equal.
void CheckStable(const StoredProp& prop, ULONG ulWantedTag) {
    ArenaAllocator alloc;
    SPropValue first;
    if (FAILED(DecodeValue(prop, ulWantedTag, &first, alloc)))
        return;
    Ostrel::Util::PropValueToString(first);
    StoredProp once;
    if (EncodeValue(first, once) != S_OK)
        __builtin_trap();
    SPropValue second;
    if (DecodeValue(once, first.ulPropTag, &second, alloc) != S_OK)
        __builtin_trap();
    StoredProp twice;
    if (EncodeValue(second, twice) != S_OK || twice.sData != once.sData || twice.ulTag != once.ulTag)
        __builtin_trap();
}

void Exercise(const StoredProp& prop) {
    ULONG ulType = PROP_TYPE(prop.ulTag);
    ULONG ulId = PROP_ID(prop.ulTag);
    CheckStable(prop, prop.ulTag);
    CheckStable(prop, PROP_TAG(PT_UNSPECIFIED, ulId));
    ULONG ulBase = ulType & ~MV_FLAG;
    if (ulBase == PT_STRING8 || ulBase == PT_UNICODE) {
        ULONG ulOther = (ulBase == PT_STRING8 ? PT_UNICODE : PT_STRING8) | (ulType & MV_FLAG);
        CheckStable(prop, PROP_TAG(ulOther, ulId));
    }
    ValueSize(prop);
    MultiValueCount(prop);
    for (const StoredProp& elem : SplitMultiValue(prop))
        CheckStable(elem, elem.ulTag);
    ReadLong(prop);
    ReadI8(prop);
    ReadBool(prop);
    ReadString(prop);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view blob(reinterpret_cast<const char*>(data), size);
    PropMap props;
    if (!DecodePropList(blob, props))
        return 0;
    const StoredProp* pPrevious = nullptr;
    for (const auto& [id, prop] : props) {
        Exercise(prop);
        if (pPrevious) {
            int c = CompareStored(*pPrevious, prop, true);
            if (CompareStored(prop, *pPrevious, true) != -c)
                __builtin_trap();
            if (CompareStored(prop, prop, false) != 0)
                __builtin_trap();
        }
        pPrevious = &prop;
    }
    PropMap again;
    if (!DecodePropList(EncodePropList(props), again) || again.size() != props.size())
        __builtin_trap();
    for (const auto& [id, prop] : props)
        if (again[id].ulTag != prop.ulTag || again[id].sData != prop.sData)
            __builtin_trap();
    return 0;
}
