#include "Platform/Mapi/Props/PropCodec.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstring>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiUtil.h"

namespace Platform::Mapi {

namespace {

// Byte size of one element of a fixed-size type; 0 for strings and binaries; -1 for others.
int ElementSize(ULONG ulBase) {
    switch (ulBase) {
        case PT_SHORT:
        case PT_BOOLEAN:
            return 2;
        case PT_LONG:
        case PT_FLOAT:
            return 4;
        case PT_DOUBLE:
        case PT_APPTIME:
        case PT_CURRENCY:
        case PT_I8:
        case PT_SYSTIME:
            return 8;
        case PT_CLSID:
            return 16;
        case PT_STRING8:
        case PT_UNICODE:
        case PT_BINARY:
            return 0;
        default:
            return -1;
    }
}

bool IsString(ULONG ulBase) {
    return ulBase == PT_STRING8 || ulBase == PT_UNICODE;
}

template <typename T>
void Append(std::string& s, const T& v) {
    s.append(reinterpret_cast<const char*>(&v), sizeof v);
}

template <typename T>
T Read(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void AppendU32(std::string& s, uint32_t v) {
    Append(s, v);
}

// Encodes one element of a fixed-size type from a pointer to the SPropValue member or array element.
void AppendFixed(std::string& s, ULONG ulBase, const void* p) {
    switch (ulBase) {
        case PT_BOOLEAN: {
            uint16_t b = *static_cast<const unsigned short*>(p) ? 1 : 0;
            Append(s, b);
            break;
        }
        default:
            s.append(static_cast<const char*>(p), ElementSize(ulBase));
    }
}

const void* FixedMember(const SPropValue& v, ULONG ulBase) {
    switch (ulBase) {
        case PT_SHORT:
            return &v.Value.i;
        case PT_LONG:
            return &v.Value.l;
        case PT_FLOAT:
            return &v.Value.flt;
        case PT_DOUBLE:
            return &v.Value.dbl;
        case PT_APPTIME:
            return &v.Value.at;
        case PT_CURRENCY:
            return &v.Value.cur;
        case PT_BOOLEAN:
            return &v.Value.b;
        case PT_I8:
            return &v.Value.li;
        case PT_SYSTIME:
            return &v.Value.ft;
        default:
            return nullptr;
    }
}

// The array pointer and count of a multi-valued SPropValue (all MV members share the layout).
void MultiArray(const SPropValue& v, ULONG& cValues, const void*& pArray) {
    cValues = v.Value.MVi.cValues;
    switch (PROP_TYPE(v.ulPropTag) & ~MV_FLAG) {
        case PT_SHORT:
            pArray = v.Value.MVi.lpi;
            break;
        case PT_LONG:
            pArray = v.Value.MVl.lpl;
            break;
        case PT_FLOAT:
            pArray = v.Value.MVflt.lpflt;
            break;
        case PT_DOUBLE:
            pArray = v.Value.MVdbl.lpdbl;
            break;
        case PT_APPTIME:
            pArray = v.Value.MVat.lpat;
            break;
        case PT_CURRENCY:
            pArray = v.Value.MVcur.lpcur;
            break;
        case PT_I8:
            pArray = v.Value.MVli.lpli;
            break;
        case PT_SYSTIME:
            pArray = v.Value.MVft.lpft;
            break;
        case PT_CLSID:
            pArray = v.Value.MVguid.lpguid;
            break;
        case PT_STRING8:
            pArray = v.Value.MVszA.lppszA;
            break;
        case PT_UNICODE:
            pArray = v.Value.MVszW.lppszW;
            break;
        case PT_BINARY:
            pArray = v.Value.MVbin.lpbin;
            break;
        default:
            pArray = nullptr;
    }
}

bool AppendVariable(std::string& s, ULONG ulBase, const void* pElem, bool bLengthPrefix) {
    std::string piece;
    switch (ulBase) {
        case PT_STRING8: {
            const char* psz = *static_cast<const LPSTR*>(pElem);
            if (!psz)
                return false;
            piece.assign(psz);
            break;
        }
        case PT_UNICODE: {
            const wchar_t* psz = *static_cast<const LPWSTR*>(pElem);
            if (!psz)
                return false;
            piece = Platform::ToUtf8(psz);
            break;
        }
        case PT_BINARY: {
            const SBinary* pBin = static_cast<const SBinary*>(pElem);
            if (pBin->cb && !pBin->lpb)
                return false;
            if (pBin->cb)
                piece.assign(reinterpret_cast<const char*>(pBin->lpb), pBin->cb);
            break;
        }
        default:
            return false;
    }
    if (bLengthPrefix)
        AppendU32(s, static_cast<uint32_t>(piece.size()));
    s += piece;
    return true;
}

// Splits the stored bytes of a multi-valued property into element byte ranges; false when damaged.
bool SplitElements(const StoredProp& prop, std::vector<std::string_view>& elems) {
    ULONG ulBase = PROP_TYPE(prop.ulTag) & ~MV_FLAG;
    int cbElem = ElementSize(ulBase);
    std::string_view data(prop.sData);
    if (cbElem > 0) {
        if (data.size() % cbElem)
            return false;
        for (size_t i = 0; i < data.size(); i += cbElem)
            elems.push_back(data.substr(i, cbElem));
        return true;
    }
    if (cbElem < 0)
        return false;
    size_t pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < 4)
            return false;
        uint32_t cb = Read<uint32_t>(data.data() + pos);
        pos += 4;
        if (data.size() - pos < cb)
            return false;
        elems.push_back(data.substr(pos, cb));
        pos += cb;
    }
    return true;
}

char* CopyBytes(Allocator& alloc, std::string_view bytes, size_t cbExtraZeros) {
    char* p = static_cast<char*>(alloc.Allocate(bytes.size() + cbExtraZeros));
    if (!p)
        return nullptr;
    if (!bytes.empty())
        std::memcpy(p, bytes.data(), bytes.size());
    std::memset(p + bytes.size(), 0, cbExtraZeros);
    return p;
}

// Decodes one variable-size element into *pElem (an LPSTR, LPWSTR or SBinary slot).
HRESULT DecodeVariable(ULONG ulWantedBase, std::string_view bytes, void* pElem, Allocator& alloc) {
    switch (ulWantedBase) {
        case PT_STRING8: {
            char* p = CopyBytes(alloc, bytes, 1);
            if (!p)
                return MAPI_E_NOT_ENOUGH_MEMORY;
            *static_cast<LPSTR*>(pElem) = p;
            return S_OK;
        }
        case PT_UNICODE: {
            std::wstring text = Platform::FromUtf8(bytes);
            auto* p = static_cast<wchar_t*>(alloc.Allocate((text.size() + 1) * sizeof(wchar_t)));
            if (!p)
                return MAPI_E_NOT_ENOUGH_MEMORY;
            std::memcpy(p, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
            *static_cast<LPWSTR*>(pElem) = p;
            return S_OK;
        }
        case PT_BINARY: {
            auto* pBin = static_cast<SBinary*>(pElem);
            pBin->cb = static_cast<ULONG>(bytes.size());
            pBin->lpb = nullptr;
            if (!bytes.empty()) {
                pBin->lpb = reinterpret_cast<LPBYTE>(CopyBytes(alloc, bytes, 0));
                if (!pBin->lpb)
                    return MAPI_E_NOT_ENOUGH_MEMORY;
            }
            return S_OK;
        }
        default:
            return MAPI_E_NOT_FOUND;
    }
}

void DecodeFixed(ULONG ulBase, std::string_view bytes, void* pElem) {
    if (ulBase == PT_BOOLEAN) {
        *static_cast<unsigned short*>(pElem) = Read<uint16_t>(bytes.data()) ? 1 : 0;
        return;
    }
    std::memcpy(pElem, bytes.data(), bytes.size());
}

// Comparison classes of the base types.
enum class Kind { Integer, Real, Time, Text, Bytes, Other };

Kind KindOf(ULONG ulBase) {
    switch (ulBase) {
        case PT_SHORT:
        case PT_LONG:
        case PT_BOOLEAN:
        case PT_I8:
        case PT_CURRENCY:
        case PT_ERROR:
            return Kind::Integer;
        case PT_FLOAT:
        case PT_DOUBLE:
        case PT_APPTIME:
            return Kind::Real;
        case PT_SYSTIME:
            return Kind::Time;
        case PT_STRING8:
        case PT_UNICODE:
            return Kind::Text;
        case PT_BINARY:
        case PT_CLSID:
            return Kind::Bytes;
        default:
            return Kind::Other;
    }
}

int64_t IntegerOf(ULONG ulBase, std::string_view b) {
    switch (ulBase) {
        case PT_SHORT:
            return b.size() == 2 ? Read<int16_t>(b.data()) : 0;
        case PT_BOOLEAN:
            return b.size() == 2 ? (Read<uint16_t>(b.data()) ? 1 : 0) : 0;
        case PT_LONG:
        case PT_ERROR:
            return b.size() == 4 ? Read<int32_t>(b.data()) : 0;
        default:
            return b.size() == 8 ? Read<int64_t>(b.data()) : 0;
    }
}

double RealOf(ULONG ulBase, std::string_view b) {
    if (ulBase == PT_FLOAT)
        return b.size() == 4 ? Read<float>(b.data()) : 0.0;
    return b.size() == 8 ? Read<double>(b.data()) : 0.0;
}

template <typename T>
int Order(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int CompareSingle(ULONG ulBaseA, std::string_view a, ULONG ulBaseB, std::string_view b, bool bIgnoreCase) {
    Kind kA = KindOf(ulBaseA), kB = KindOf(ulBaseB);
    if (kA != kB)
        return Order(ulBaseA, ulBaseB);
    switch (kA) {
        case Kind::Integer:
            return Order(IntegerOf(ulBaseA, a), IntegerOf(ulBaseB, b));
        case Kind::Real:
            return Order(RealOf(ulBaseA, a), RealOf(ulBaseB, b));
        case Kind::Time:
            return Order(a.size() == 8 ? Read<uint64_t>(a.data()) : 0, b.size() == 8 ? Read<uint64_t>(b.data()) : 0);
        case Kind::Text:
            if (bIgnoreCase)
                return Order(FoldCase(a), FoldCase(b));
            return Order(Platform::FromUtf8(a), Platform::FromUtf8(b));
        case Kind::Bytes: {
            int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
            if (c)
                return c < 0 ? -1 : 1;
            return Order(a.size(), b.size());
        }
        default:
            return Order(a, b);
    }
}

size_t Utf16Units(std::string_view utf8) {
    // Most values are ASCII, one unit a byte; only the others pay for the conversion, which also
    // decides how bytes that are not UTF-8 count.
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return utf8.size();
    return Platform::ToUtf16(Platform::FromUtf8(utf8)).size();
}

}  // namespace

void* MoreAllocator::Allocate(size_t cb) {
    void* p = nullptr;
    if (cb > 0xFFFFFFFFu || FAILED(MAPIAllocateMore(static_cast<ULONG>(cb), m_pParent, &p)))
        return nullptr;
    return p;
}

void* ArenaAllocator::Allocate(size_t cb) {
    // Round up so that every block keeps the alignment of the largest MAPI value.
    m_blocks.emplace_back(new (std::nothrow) unsigned char[(cb + 15) / 16 * 16 + 16]);
    return m_blocks.back().get();
}

bool IsStorableType(ULONG ulType) {
    if (ulType & MV_INSTANCE)
        return false;
    ULONG ulBase = ulType & ~MV_FLAG;
    if (ulType & MV_FLAG)
        return ulBase != PT_BOOLEAN && ElementSize(ulBase) >= 0;
    return ElementSize(ulBase) >= 0;
}

bool IsValidType(ULONG ulType) {
    ULONG ulBase = ulType & ~(MV_FLAG | MV_INSTANCE);
    if (ulType == PT_UNSPECIFIED || ulType == PT_NULL || ulType == PT_ERROR || ulType == PT_OBJECT)
        return true;
    return IsStorableType(ulType & ~MV_INSTANCE) || (ulType & MV_INSTANCE && ElementSize(ulBase) >= 0);
}

HRESULT EncodeValue(const SPropValue& value, StoredProp& out) {
    ULONG ulType = PROP_TYPE(value.ulPropTag);
    if (!IsStorableType(ulType))
        return MAPI_E_INVALID_TYPE;
    ULONG ulBase = ulType & ~MV_FLAG;
    out.ulTag = value.ulPropTag;
    out.sData.clear();
    if (!(ulType & MV_FLAG)) {
        if (ulBase == PT_CLSID) {
            if (!value.Value.lpguid)
                return MAPI_E_INVALID_PARAMETER;
            AppendFixed(out.sData, ulBase, value.Value.lpguid);
            return S_OK;
        }
        if (ElementSize(ulBase) > 0) {
            AppendFixed(out.sData, ulBase, FixedMember(value, ulBase));
            return S_OK;
        }
        const void* pElem = ulBase == PT_BINARY    ? static_cast<const void*>(&value.Value.bin)
                            : ulBase == PT_UNICODE ? static_cast<const void*>(&value.Value.lpszW)
                                                   : static_cast<const void*>(&value.Value.lpszA);
        return AppendVariable(out.sData, ulBase, pElem, false) ? S_OK : MAPI_E_INVALID_PARAMETER;
    }
    ULONG cValues = 0;
    const void* pArray = nullptr;
    MultiArray(value, cValues, pArray);
    if (cValues && !pArray)
        return MAPI_E_INVALID_PARAMETER;
    size_t cbStride = MultiValueElementSize(ulBase);
    for (ULONG i = 0; i < cValues; ++i) {
        const void* pElem = static_cast<const char*>(pArray) + i * cbStride;
        if (ElementSize(ulBase) > 0)
            AppendFixed(out.sData, ulBase, pElem);
        else if (!AppendVariable(out.sData, ulBase, pElem, true))
            return MAPI_E_INVALID_PARAMETER;
    }
    return S_OK;
}

bool CanReadAs(ULONG ulStoredType, ULONG ulWantedType) {
    if (ulWantedType == PT_UNSPECIFIED || ulWantedType == ulStoredType)
        return true;
    if ((ulWantedType & MV_FLAG) != (ulStoredType & MV_FLAG))
        return false;
    return IsString(ulWantedType & ~MV_FLAG) && IsString(ulStoredType & ~MV_FLAG);
}

HRESULT DecodeValue(const StoredProp& prop, ULONG ulWantedTag, SPropValue* pOut, Allocator& alloc) {
    ULONG ulStored = PROP_TYPE(prop.ulTag);
    ULONG ulWanted = PROP_TYPE(ulWantedTag) & ~MV_INSTANCE;
    if (!CanReadAs(ulStored, ulWanted))
        return MAPI_E_NOT_FOUND;
    if (ulWanted == PT_UNSPECIFIED)
        ulWanted = ulStored;
    ULONG ulBase = ulWanted & ~MV_FLAG;
    pOut->ulPropTag = PROP_TAG(ulWanted, PROP_ID(ulWantedTag));
    pOut->dwAlignPad = 0;
    std::memset(&pOut->Value, 0, sizeof pOut->Value);
    int cbElem = ElementSize(ulBase);
    if (!(ulWanted & MV_FLAG)) {
        if (cbElem > 0) {
            if (prop.sData.size() != static_cast<size_t>(cbElem))
                return MAPI_E_CORRUPT_DATA;
            if (ulBase == PT_CLSID) {
                pOut->Value.lpguid = reinterpret_cast<LPGUID>(CopyBytes(alloc, prop.sData, 0));
                return pOut->Value.lpguid ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
            }
            DecodeFixed(ulBase, prop.sData, const_cast<void*>(FixedMember(*pOut, ulBase)));
            return S_OK;
        }
        void* pElem = ulBase == PT_BINARY    ? static_cast<void*>(&pOut->Value.bin)
                      : ulBase == PT_UNICODE ? static_cast<void*>(&pOut->Value.lpszW)
                                             : static_cast<void*>(&pOut->Value.lpszA);
        return DecodeVariable(ulBase, prop.sData, pElem, alloc);
    }
    std::vector<std::string_view> elems;
    if (!SplitElements(prop, elems))
        return MAPI_E_CORRUPT_DATA;
    size_t cbStride = MultiValueElementSize(ulBase);
    char* pArray = static_cast<char*>(alloc.Allocate(std::max<size_t>(1, elems.size()) * cbStride));
    if (!pArray)
        return MAPI_E_NOT_ENOUGH_MEMORY;
    for (size_t i = 0; i < elems.size(); ++i) {
        void* pElem = pArray + i * cbStride;
        if (cbElem > 0) {
            DecodeFixed(ulBase, elems[i], pElem);
        } else {
            HRESULT hr = DecodeVariable(ulBase, elems[i], pElem, alloc);
            if (FAILED(hr))
                return hr;
        }
    }
    // Every MV member is { ULONG cValues; T* lp; }.
    pOut->Value.MVi.cValues = static_cast<ULONG>(elems.size());
    pOut->Value.MVi.lpi = reinterpret_cast<SHORT*>(pArray);
    return S_OK;
}

std::vector<StoredProp> SplitMultiValue(const StoredProp& prop) {
    std::vector<StoredProp> result;
    std::vector<std::string_view> elems;
    if (!(PROP_TYPE(prop.ulTag) & MV_FLAG) || !SplitElements(prop, elems))
        return result;
    ULONG ulSingle = PROP_TAG(PROP_TYPE(prop.ulTag) & ~MV_FLAG, PROP_ID(prop.ulTag));
    for (auto e : elems)
        result.push_back({ulSingle, std::string(e)});
    return result;
}

size_t MultiValueCount(const StoredProp& prop) {
    std::vector<std::string_view> elems;
    return SplitElements(prop, elems) ? elems.size() : 0;
}

int CompareStored(const StoredProp& a, const StoredProp& b, bool bIgnoreCase) {
    ULONG ulA = PROP_TYPE(a.ulTag), ulB = PROP_TYPE(b.ulTag);
    bool bMvA = ulA & MV_FLAG, bMvB = ulB & MV_FLAG;
    if (!bMvA && !bMvB)
        return CompareSingle(ulA, a.sData, ulB, b.sData, bIgnoreCase);
    if (bMvA != bMvB)
        return bMvA ? 1 : -1;
    std::vector<std::string_view> ea, eb;
    SplitElements(a, ea);
    SplitElements(b, eb);
    for (size_t i = 0; i < ea.size() && i < eb.size(); ++i) {
        int c = CompareSingle(ulA & ~MV_FLAG, ea[i], ulB & ~MV_FLAG, eb[i], bIgnoreCase);
        if (c)
            return c;
    }
    return Order(ea.size(), eb.size());
}

ULONG ValueSize(const StoredProp& prop) {
    ULONG ulType = PROP_TYPE(prop.ulTag);
    ULONG ulBase = ulType & ~MV_FLAG;
    auto single = [&](std::string_view bytes) -> size_t {
        if (ulBase == PT_UNICODE)
            return (Utf16Units(bytes) + 1) * 2;
        if (ulBase == PT_STRING8)
            return bytes.size() + 1;
        return bytes.size();
    };
    if (!(ulType & MV_FLAG))
        return static_cast<ULONG>(single(prop.sData));
    std::vector<std::string_view> elems;
    SplitElements(prop, elems);
    size_t total = 0;
    for (auto e : elems)
        total += single(e);
    return static_cast<ULONG>(total);
}

StoredProp MakeLong(ULONG ulTag, LONG l) {
    StoredProp p{ulTag, {}};
    Append(p.sData, l);
    return p;
}

StoredProp MakeBool(ULONG ulTag, bool b) {
    StoredProp p{ulTag, {}};
    Append(p.sData, static_cast<uint16_t>(b ? 1 : 0));
    return p;
}

StoredProp MakeBinary(ULONG ulTag, std::string_view bytes) {
    return {ulTag, std::string(bytes)};
}

StoredProp MakeString(ULONG ulTag, std::wstring_view text) {
    return {ulTag, Platform::ToUtf8(text)};
}

StoredProp MakeSysTime(ULONG ulTag, const FILETIME& ft) {
    StoredProp p{ulTag, {}};
    Append(p.sData, ft);
    return p;
}

StoredProp MakeI8(ULONG ulTag, LONGLONG ll) {
    StoredProp p{ulTag, {}};
    Append(p.sData, ll);
    return p;
}

LONG ReadLong(const StoredProp& prop, LONG lDefault) {
    if (PROP_TYPE(prop.ulTag) != PT_LONG || prop.sData.size() != 4)
        return lDefault;
    return Read<int32_t>(prop.sData.data());
}

LONGLONG ReadI8(const StoredProp& prop, LONGLONG llDefault) {
    if (prop.sData.size() != 8)
        return llDefault;
    return Read<int64_t>(prop.sData.data());
}

bool ReadBool(const StoredProp& prop) {
    return PROP_TYPE(prop.ulTag) == PT_BOOLEAN && prop.sData.size() == 2 && Read<uint16_t>(prop.sData.data());
}

std::wstring ReadString(const StoredProp& prop) {
    if (!IsString(PROP_TYPE(prop.ulTag)))
        return {};
    return Platform::FromUtf8(prop.sData);
}

std::u32string FoldCase(std::string_view utf8) {
    std::wstring text = Platform::FromUtf8(utf8);
    std::u32string folded;
    folded.reserve(text.size());
    for (wchar_t c : text)
        folded.push_back(static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT)));
    return folded;
}

std::string EncodePropList(const PropMap& props) {
    std::string blob;
    AppendU32(blob, static_cast<uint32_t>(props.size()));
    for (const auto& [id, prop] : props) {
        AppendU32(blob, prop.ulTag);
        AppendU32(blob, static_cast<uint32_t>(prop.sData.size()));
        blob += prop.sData;
    }
    return blob;
}

bool DecodePropList(std::string_view blob, PropMap& props) {
    props.clear();
    if (blob.size() < 4)
        return false;
    uint32_t count = Read<uint32_t>(blob.data());
    size_t pos = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (blob.size() - pos < 8)
            return false;
        uint32_t ulTag = Read<uint32_t>(blob.data() + pos);
        uint32_t cb = Read<uint32_t>(blob.data() + pos + 4);
        pos += 8;
        if (blob.size() - pos < cb || !IsStorableType(PROP_TYPE(ulTag)))
            return false;
        props[PROP_ID(ulTag)] = {ulTag, std::string(blob.substr(pos, cb))};
        pos += cb;
    }
    return pos == blob.size();
}

}  // namespace Platform::Mapi
