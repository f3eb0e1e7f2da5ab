#include "Platform/Mapi/Props/Restriction.h"

#include <cstring>

#include "Platform/Mapi/MapiTags.h"

namespace Platform::Mapi {

namespace {

constexpr int kMaxDepth = 64;
// Eight 32-bit fields: what the byte form of the smallest restriction takes.
constexpr size_t kMinSerializedBytes = 32;

bool IsTextOrBinary(ULONG ulBase) {
    return ulBase == PT_STRING8 || ulBase == PT_UNICODE || ulBase == PT_BINARY;
}

// Whether values of the two types can be compared at all.
bool Comparable(ULONG ulA, ULONG ulB) {
    ulA &= ~(MV_FLAG | MV_INSTANCE);
    ulB &= ~(MV_FLAG | MV_INSTANCE);
    if (ulA == PT_UNSPECIFIED || ulB == PT_UNSPECIFIED)
        return true;
    auto cls = [](ULONG t) {
        switch (t) {
            case PT_SHORT:
            case PT_LONG:
            case PT_BOOLEAN:
            case PT_I8:
            case PT_CURRENCY:
            case PT_ERROR:
                return 1;
            case PT_FLOAT:
            case PT_DOUBLE:
            case PT_APPTIME:
                return 2;
            case PT_SYSTIME:
                return 3;
            case PT_STRING8:
            case PT_UNICODE:
                return 4;
            case PT_BINARY:
                return 5;
            case PT_CLSID:
                return 6;
            default:
                return 0;
        }
    };
    return cls(ulA) != 0 && cls(ulA) == cls(ulB);
}

HRESULT Compile(const SRestriction* pRes, Restriction& out, int depth) {
    if (!pRes)
        return MAPI_E_INVALID_PARAMETER;
    if (depth > kMaxDepth)
        return MAPI_E_TOO_COMPLEX;
    out = Restriction{};
    out.rt = pRes->rt;
    auto compileList = [&](ULONG cRes, const SRestriction* pList) -> HRESULT {
        if (cRes && !pList)
            return MAPI_E_INVALID_PARAMETER;
        out.children.resize(cRes);
        for (ULONG i = 0; i < cRes; ++i) {
            HRESULT hr = Compile(&pList[i], out.children[i], depth + 1);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    };
    auto checkRelop = [](ULONG relop) -> HRESULT {
        if (relop == RELOP_RE)
            return MAPI_E_TOO_COMPLEX;
        return relop <= RELOP_NE ? S_OK : MAPI_E_INVALID_PARAMETER;
    };
    switch (pRes->rt) {
        case RES_AND:
            return compileList(pRes->res.resAnd.cRes, pRes->res.resAnd.lpRes);
        case RES_OR:
            return compileList(pRes->res.resOr.cRes, pRes->res.resOr.lpRes);
        case RES_NOT:
            return compileList(1, pRes->res.resNot.lpRes);
        case RES_COMMENT:
            return compileList(pRes->res.resComment.lpRes ? 1 : 0, pRes->res.resComment.lpRes);
        case RES_CONTENT: {
            const auto& r = pRes->res.resContent;
            ULONG ulFuzzy = r.ulFuzzyLevel & 0xFFFF;
            if (!r.lpProp || ulFuzzy > FL_PREFIX)
                return MAPI_E_INVALID_PARAMETER;
            ULONG ulTagType = PROP_TYPE(r.ulPropTag) & ~(MV_FLAG | MV_INSTANCE);
            ULONG ulValType = PROP_TYPE(r.lpProp->ulPropTag);
            if ((ulValType & MV_FLAG) || !IsTextOrBinary(ulValType) || !IsTextOrBinary(ulTagType) ||
                !Comparable(ulTagType, ulValType))
                return MAPI_E_TOO_COMPLEX;
            out.ulOp = r.ulFuzzyLevel;
            out.ulTag = r.ulPropTag;
            return EncodeValue(*r.lpProp, out.value);
        }
        case RES_PROPERTY: {
            const auto& r = pRes->res.resProperty;
            HRESULT hr = checkRelop(r.relop);
            if (FAILED(hr))
                return hr;
            if (!r.lpProp)
                return MAPI_E_INVALID_PARAMETER;
            ULONG ulTagType = PROP_TYPE(r.ulPropTag);
            ULONG ulValType = PROP_TYPE(r.lpProp->ulPropTag);
            // A single value against a multi-valued column matches any of its values.
            if (!Comparable(ulTagType, ulValType) || ((ulValType & MV_FLAG) && !(ulTagType & MV_FLAG)))
                return MAPI_E_TOO_COMPLEX;
            out.ulOp = r.relop;
            out.ulTag = r.ulPropTag;
            return EncodeValue(*r.lpProp, out.value);
        }
        case RES_COMPAREPROPS: {
            const auto& r = pRes->res.resCompareProps;
            HRESULT hr = checkRelop(r.relop);
            if (FAILED(hr))
                return hr;
            if (!Comparable(PROP_TYPE(r.ulPropTag1), PROP_TYPE(r.ulPropTag2)))
                return MAPI_E_TOO_COMPLEX;
            out.ulOp = r.relop;
            out.ulTag = r.ulPropTag1;
            out.ulTag2 = r.ulPropTag2;
            return S_OK;
        }
        case RES_BITMASK: {
            const auto& r = pRes->res.resBitMask;
            if (r.relBMR != BMR_EQZ && r.relBMR != BMR_NEZ)
                return MAPI_E_INVALID_PARAMETER;
            ULONG ulType = PROP_TYPE(r.ulPropTag);
            if (ulType != PT_LONG && ulType != PT_SHORT && ulType != PT_BOOLEAN)
                return MAPI_E_TOO_COMPLEX;
            out.ulOp = r.relBMR;
            out.ulTag = r.ulPropTag;
            out.ulNumber = r.ulMask;
            return S_OK;
        }
        case RES_SIZE: {
            const auto& r = pRes->res.resSize;
            HRESULT hr = checkRelop(r.relop);
            if (FAILED(hr))
                return hr;
            out.ulOp = r.relop;
            out.ulTag = r.ulPropTag;
            out.ulNumber = r.cb;
            return S_OK;
        }
        case RES_EXIST:
            out.ulTag = pRes->res.resExist.ulPropTag;
            return S_OK;
        case RES_SUBRESTRICTION: {
            const auto& r = pRes->res.resSub;
            if (r.ulSubObject != PR_MESSAGE_RECIPIENTS && r.ulSubObject != PR_MESSAGE_ATTACHMENTS)
                return MAPI_E_TOO_COMPLEX;
            out.ulTag2 = r.ulSubObject;
            return compileList(1, r.lpRes);
        }
        case RES_COUNT:
            return MAPI_E_TOO_COMPLEX;
        default:
            return MAPI_E_INVALID_PARAMETER;
    }
}

bool Relation(ULONG relop, int c) {
    switch (relop) {
        case RELOP_LT:
            return c < 0;
        case RELOP_LE:
            return c <= 0;
        case RELOP_GT:
            return c > 0;
        case RELOP_GE:
            return c >= 0;
        case RELOP_EQ:
            return c == 0;
        case RELOP_NE:
            return c != 0;
        default:
            return false;
    }
}

// The row's value for a tag when its stored type fits the tag's type.
const StoredProp* Lookup(const RowView& row, ULONG ulTag) {
    if (!row.pProps)
        return nullptr;
    auto it = row.pProps->find(PROP_ID(ulTag));
    if (it == row.pProps->end())
        return nullptr;
    ULONG ulWanted = PROP_TYPE(ulTag) & ~MV_INSTANCE;
    ULONG ulStored = PROP_TYPE(it->second.ulTag);
    if (ulWanted == PT_UNSPECIFIED || Comparable(ulWanted, ulStored)) {
        if ((ulWanted & MV_FLAG) == (ulStored & MV_FLAG) || ulWanted == PT_UNSPECIFIED)
            return &it->second;
    }
    return nullptr;
}

// Applies test to the value, or to each element of a multi-valued value when the other side is single.
template <typename Test>
bool AnyValue(const StoredProp& prop, bool bSplit, Test test) {
    if (!bSplit)
        return test(prop);
    for (const auto& elem : SplitMultiValue(prop))
        if (test(elem))
            return true;
    return false;
}

bool ContentMatch(const StoredProp& prop, const Restriction& res) {
    ULONG ulFuzzy = res.ulOp & 0xFFFF;
    bool bIgnoreCase = res.ulOp & (FL_IGNORECASE | FL_IGNORENONSPACE | FL_LOOSE);
    auto match = [&](const auto& hay, const auto& needle) {
        switch (ulFuzzy) {
            case FL_FULLSTRING:
                return hay == needle;
            case FL_PREFIX:
                return hay.size() >= needle.size() && std::equal(needle.begin(), needle.end(), hay.begin());
            default:
                return hay.find(needle) != std::decay_t<decltype(hay)>::npos;
        }
    };
    ULONG ulBase = PROP_TYPE(prop.ulTag) & ~MV_FLAG;
    if (ulBase == PT_BINARY)
        return match(prop.sData, res.value.sData);
    if (bIgnoreCase)
        return match(FoldCase(prop.sData), FoldCase(res.value.sData));
    return match(prop.sData, res.value.sData);
}

void Put32(std::string& s, uint32_t v) {
    s.append(reinterpret_cast<const char*>(&v), 4);
}

void Serialize(const Restriction& res, std::string& s) {
    Put32(s, res.rt);
    Put32(s, res.ulOp);
    Put32(s, res.ulTag);
    Put32(s, res.ulTag2);
    Put32(s, res.ulNumber);
    Put32(s, res.value.ulTag);
    Put32(s, static_cast<uint32_t>(res.value.sData.size()));
    s += res.value.sData;
    Put32(s, static_cast<uint32_t>(res.children.size()));
    for (const auto& child : res.children)
        Serialize(child, s);
}

// What Evaluate relies on: operand counts and storable values.
bool WellFormed(const Restriction& res) {
    switch (res.rt) {
        case RES_AND:
        case RES_OR:
            break;
        case RES_NOT:
        case RES_SUBRESTRICTION:
            if (res.children.size() != 1)
                return false;
            break;
        case RES_COMMENT:
            if (res.children.size() > 1)
                return false;
            break;
        case RES_CONTENT:
        case RES_PROPERTY:
            if (!IsStorableType(PROP_TYPE(res.value.ulTag)))
                return false;
            [[fallthrough]];
        default:
            if (!res.children.empty() || res.rt > RES_COMMENT)
                return false;
    }
    for (const auto& child : res.children)
        if (!WellFormed(child))
            return false;
    return true;
}

bool Deserialize(std::string_view& in, Restriction& res, int depth) {
    if (depth > kMaxDepth)
        return false;
    auto get = [&](uint32_t& v) {
        if (in.size() < 4)
            return false;
        std::memcpy(&v, in.data(), 4);
        in.remove_prefix(4);
        return true;
    };
    uint32_t cb = 0, cChildren = 0;
    if (!get(res.rt) || !get(res.ulOp) || !get(res.ulTag) || !get(res.ulTag2) || !get(res.ulNumber) ||
        !get(res.value.ulTag) || !get(cb) || in.size() < cb)
        return false;
    res.value.sData.assign(in.substr(0, cb));
    in.remove_prefix(cb);
    // Children are added as they are read, so that a count the bytes cannot hold costs nothing.
    if (!get(cChildren) || cChildren > in.size() / kMinSerializedBytes)
        return false;
    for (uint32_t i = 0; i < cChildren; ++i) {
        res.children.emplace_back();
        if (!Deserialize(in, res.children.back(), depth + 1))
            return false;
    }
    return true;
}

}  // namespace

HRESULT CompileRestriction(const SRestriction* pRes, Restriction& out) {
    return Compile(pRes, out, 0);
}

bool Evaluate(const Restriction& res, const RowView& row) {
    switch (res.rt) {
        case RES_AND:
            for (const auto& child : res.children)
                if (!Evaluate(child, row))
                    return false;
            return true;
        case RES_OR:
            for (const auto& child : res.children)
                if (Evaluate(child, row))
                    return true;
            return false;
        case RES_NOT:
            return !Evaluate(res.children[0], row);
        case RES_COMMENT:
            return res.children.empty() || Evaluate(res.children[0], row);
        case RES_CONTENT: {
            const StoredProp* p = Lookup(row, res.ulTag);
            if (!p)
                return false;
            bool bSplit = PROP_TYPE(p->ulTag) & MV_FLAG;
            return AnyValue(*p, bSplit, [&](const StoredProp& v) { return ContentMatch(v, res); });
        }
        case RES_PROPERTY: {
            const StoredProp* p = Lookup(row, res.ulTag);
            if (!p)
                return false;
            bool bSplit = (PROP_TYPE(p->ulTag) & MV_FLAG) && !(PROP_TYPE(res.value.ulTag) & MV_FLAG);
            return AnyValue(*p, bSplit,
                            [&](const StoredProp& v) { return Relation(res.ulOp, CompareStored(v, res.value, true)); });
        }
        case RES_COMPAREPROPS: {
            const StoredProp* p1 = Lookup(row, res.ulTag);
            const StoredProp* p2 = Lookup(row, res.ulTag2);
            return p1 && p2 && Relation(res.ulOp, CompareStored(*p1, *p2, true));
        }
        case RES_BITMASK: {
            const StoredProp* p = Lookup(row, res.ulTag);
            if (!p)
                return false;
            ULONG ulValue = 0;
            std::memcpy(&ulValue, p->sData.data(), std::min<size_t>(p->sData.size(), 4));
            bool bZero = (ulValue & res.ulNumber) == 0;
            return res.ulOp == BMR_EQZ ? bZero : !bZero;
        }
        case RES_SIZE: {
            const StoredProp* p = Lookup(row, res.ulTag);
            if (!p)
                return false;
            ULONG cb = ValueSize(*p);
            return Relation(res.ulOp, cb < res.ulNumber ? -1 : (cb > res.ulNumber ? 1 : 0));
        }
        case RES_EXIST:
            return Lookup(row, res.ulTag) != nullptr;
        case RES_SUBRESTRICTION: {
            if (!row.subObjects)
                return false;
            std::vector<PropMap> rows;
            if (FAILED(row.subObjects(res.ulTag2, rows)))
                return false;
            for (const auto& props : rows) {
                RowView sub{&props, {}};
                if (Evaluate(res.children[0], sub))
                    return true;
            }
            return false;
        }
        default:
            return false;
    }
}

void CollectIds(const Restriction& res, std::set<ULONG>& ids) {
    switch (res.rt) {
        case RES_CONTENT:
        case RES_PROPERTY:
        case RES_BITMASK:
        case RES_SIZE:
        case RES_EXIST:
            ids.insert(PROP_ID(res.ulTag));
            break;
        case RES_COMPAREPROPS:
            ids.insert(PROP_ID(res.ulTag));
            ids.insert(PROP_ID(res.ulTag2));
            break;
        case RES_SUBRESTRICTION:
            return;  // reads the sub-objects, not the row
        default:
            break;
    }
    for (const auto& child : res.children)
        CollectIds(child, ids);
}

std::string SerializeRestriction(const Restriction& res) {
    std::string s;
    Serialize(res, s);
    return s;
}

bool DeserializeRestriction(std::string_view bytes, Restriction& out) {
    out = Restriction{};
    return Deserialize(bytes, out, 0) && bytes.empty() && WellFormed(out);
}

HRESULT ToSRestriction(const Restriction& res, SRestriction* pOut, Allocator& alloc) {
    std::memset(pOut, 0, sizeof *pOut);
    pOut->rt = res.rt;
    SRestriction* pChildren = nullptr;
    if (!res.children.empty()) {
        pChildren = static_cast<SRestriction*>(alloc.Allocate(sizeof(SRestriction) * res.children.size()));
        if (!pChildren)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        for (size_t i = 0; i < res.children.size(); ++i) {
            HRESULT hr = ToSRestriction(res.children[i], &pChildren[i], alloc);
            if (FAILED(hr))
                return hr;
        }
    }
    auto value = [&](LPSPropValue* ppProp) -> HRESULT {
        auto* p = static_cast<LPSPropValue>(alloc.Allocate(sizeof(SPropValue)));
        if (!p)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        *ppProp = p;
        return DecodeValue(res.value, res.value.ulTag, p, alloc);
    };
    ULONG cChildren = static_cast<ULONG>(res.children.size());
    switch (res.rt) {
        case RES_AND:
            pOut->res.resAnd = {cChildren, pChildren};
            return S_OK;
        case RES_OR:
            pOut->res.resOr = {cChildren, pChildren};
            return S_OK;
        case RES_NOT:
            pOut->res.resNot = {0, pChildren};
            return S_OK;
        case RES_COMMENT:
            pOut->res.resComment = {0, pChildren, nullptr};
            return S_OK;
        case RES_CONTENT:
            pOut->res.resContent.ulFuzzyLevel = res.ulOp;
            pOut->res.resContent.ulPropTag = res.ulTag;
            return value(&pOut->res.resContent.lpProp);
        case RES_PROPERTY:
            pOut->res.resProperty.relop = res.ulOp;
            pOut->res.resProperty.ulPropTag = res.ulTag;
            return value(&pOut->res.resProperty.lpProp);
        case RES_COMPAREPROPS:
            pOut->res.resCompareProps = {res.ulOp, res.ulTag, res.ulTag2};
            return S_OK;
        case RES_BITMASK:
            pOut->res.resBitMask = {res.ulOp, res.ulTag, res.ulNumber};
            return S_OK;
        case RES_SIZE:
            pOut->res.resSize = {res.ulOp, res.ulTag, res.ulNumber};
            return S_OK;
        case RES_EXIST:
            pOut->res.resExist = {0, res.ulTag, 0};
            return S_OK;
        case RES_SUBRESTRICTION:
            pOut->res.resSub = {res.ulTag2, pChildren};
            return S_OK;
        default:
            return MAPI_E_CORRUPT_DATA;
    }
}

}  // namespace Platform::Mapi
