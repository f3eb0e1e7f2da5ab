// Restrictions as one table: every relational operator on every property type, compared properties
// both ways round, bitmasks both ways, content matches at every fuzzy level.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/Props/PropCodec.h"
#include "Platform/Mapi/Props/Restriction.h"

namespace {

using Platform::Mapi::PropMap;

constexpr ULONG kId = 0x6701;  // the property under test
constexpr ULONG kOtherId = 0x6702;

// One value of a type: its SPropValue, with whatever it points to kept alive by the test's tables.
using MakeValue = std::function<SPropValue(ULONG ulTag)>;

struct TypeCase {
    const char* pszName;
    ULONG ulType;
    MakeValue lo, mid, hi;  // lo < mid < hi in the store's order
};

SPropValue Long(ULONG ulTag, LONG l) {
    SPropValue v{ulTag, 0, {}};
    v.Value.l = l;
    return v;
}

FILETIME Ft(ULONGLONG ull) {
    return {static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)};
}

const BYTE kBinLo[] = {1, 2}, kBinMid[] = {1, 2, 0}, kBinHi[] = {2};
const GUID kGuidLo = {0x10, 0, 0, {0}}, kGuidMid = {0x20, 0, 0, {0}}, kGuidHi = {0x20, 0, 1, {0}};

// Values chosen so that a wrong reading shows: "Banana" sorts between the others only without
// regard to case, times differ in their high words, the shorter binary is a prefix of the next.
std::vector<TypeCase> Types() {
    auto make = [](auto set) {
        return MakeValue([set](ULONG ulTag) {
            SPropValue v{ulTag, 0, {}};
            set(v.Value);
            return v;
        });
    };
    return {
        {"PT_SHORT", PT_SHORT, make([](auto& u) { u.i = -3; }), make([](auto& u) { u.i = 2; }),
         make([](auto& u) { u.i = 300; })},
        {"PT_LONG", PT_LONG, make([](auto& u) { u.l = -70000; }), make([](auto& u) { u.l = 7; }),
         make([](auto& u) { u.l = 70000; })},
        {"PT_BOOLEAN", PT_BOOLEAN, make([](auto& u) { u.b = 0; }), make([](auto& u) { u.b = 1; }), nullptr},
        {"PT_FLOAT", PT_FLOAT, make([](auto& u) { u.flt = -1.5f; }), make([](auto& u) { u.flt = 0.25f; }),
         make([](auto& u) { u.flt = 1e10f; })},
        {"PT_DOUBLE", PT_DOUBLE, make([](auto& u) { u.dbl = -2.5; }), make([](auto& u) { u.dbl = 0.5; }),
         make([](auto& u) { u.dbl = 3e300; })},
        {"PT_APPTIME", PT_APPTIME, make([](auto& u) { u.at = 36526.0; }), make([](auto& u) { u.at = 36526.5; }),
         make([](auto& u) { u.at = 45000.0; })},
        {"PT_CURRENCY", PT_CURRENCY, make([](auto& u) { u.cur.int64 = -(1LL << 40); }),
         make([](auto& u) { u.cur.int64 = 5; }), make([](auto& u) { u.cur.int64 = 1LL << 40; })},
        {"PT_I8", PT_I8, make([](auto& u) { u.li.QuadPart = -(1LL << 40); }), make([](auto& u) { u.li.QuadPart = 1; }),
         make([](auto& u) { u.li.QuadPart = 1LL << 40; })},
        {"PT_SYSTIME", PT_SYSTIME, make([](auto& u) { u.ft = Ft(0x00000001FFFFFFFFull); }),
         make([](auto& u) { u.ft = Ft(0x0000000200000000ull); }),
         make([](auto& u) { u.ft = Ft(0x01D0000000000000ull); })},
        {"PT_STRING8", PT_STRING8, make([](auto& u) { u.lpszA = const_cast<char*>("apple"); }),
         make([](auto& u) { u.lpszA = const_cast<char*>("Banana"); }),
         make([](auto& u) { u.lpszA = const_cast<char*>("cherry"); })},
        {"PT_UNICODE", PT_UNICODE, make([](auto& u) { u.lpszW = const_cast<wchar_t*>(L"alpha"); }),
         make([](auto& u) { u.lpszW = const_cast<wchar_t*>(L"Beta"); }),
         make([](auto& u) { u.lpszW = const_cast<wchar_t*>(L"\u03a9mega"); })},
        {"PT_BINARY", PT_BINARY, make([](auto& u) {
             u.bin = {sizeof kBinLo, const_cast<BYTE*>(kBinLo)};
         }),
         make([](auto& u) {
             u.bin = {sizeof kBinMid, const_cast<BYTE*>(kBinMid)};
         }),
         make([](auto& u) {
             u.bin = {sizeof kBinHi, const_cast<BYTE*>(kBinHi)};
         })},
        {"PT_CLSID", PT_CLSID, make([](auto& u) { u.lpguid = const_cast<GUID*>(&kGuidLo); }),
         make([](auto& u) { u.lpguid = const_cast<GUID*>(&kGuidMid); }),
         make([](auto& u) { u.lpguid = const_cast<GUID*>(&kGuidHi); })},
    };
}

void Put(PropMap& row, const SPropValue& v) {
    Platform::Mapi::StoredProp stored;
    ASSERT_EQ(Platform::Mapi::EncodeValue(v, stored), S_OK);
    row[PROP_ID(v.ulPropTag)] = stored;
}

// Whether the row passes the restriction; compiling must succeed.
bool Passes(const SRestriction& res, const PropMap& row) {
    Platform::Mapi::Restriction compiled;
    EXPECT_EQ(Platform::Mapi::CompileRestriction(&res, compiled), S_OK);
    return Platform::Mapi::Evaluate(compiled, {&row, {}});
}

struct Relop {
    ULONG ulOp;
    const char* pszName;
    bool bLess, bEqual, bGreater;  // whether it holds for a row value less than, equal to, greater than
};

const Relop kRelops[] = {
    {RELOP_LT, "LT", true, false, false}, {RELOP_LE, "LE", true, true, false},  {RELOP_GT, "GT", false, false, true},
    {RELOP_GE, "GE", false, true, true},  {RELOP_EQ, "EQ", false, true, false}, {RELOP_NE, "NE", true, false, true},
};

bool Holds(const Relop& r, int order) {
    return order < 0 ? r.bLess : (order == 0 ? r.bEqual : r.bGreater);
}

TEST(RestrictionTest, EveryRelationalOperatorOnEveryType) {
    for (const TypeCase& t : Types()) {
        ULONG ulTag = PROP_TAG(t.ulType, kId);
        PropMap row, empty;
        Put(row, t.mid(ulTag));
        // The row's value against lo (row greater), mid (equal) and hi (row less).
        std::vector<std::pair<SPropValue, int>> probes = {{t.lo(ulTag), 1}, {t.mid(ulTag), 0}};
        if (t.hi)
            probes.emplace_back(t.hi(ulTag), -1);
        for (const Relop& r : kRelops) {
            for (auto& [probe, order] : probes) {
                SRestriction res{RES_PROPERTY, {}};
                res.res.resProperty = {r.ulOp, ulTag, &probe};
                EXPECT_EQ(Passes(res, row), Holds(r, order)) << t.pszName << " " << r.pszName << " order " << order;
                // A row without the property passes no comparison, not even NE.
                EXPECT_FALSE(Passes(res, empty)) << t.pszName << " " << r.pszName << " on a missing value";
            }
        }
    }
}

TEST(RestrictionTest, ComparedPropertiesEitherWayRound) {
    for (const TypeCase& t : Types()) {
        ULONG ulTag1 = PROP_TAG(t.ulType, kId), ulTag2 = PROP_TAG(t.ulType, kOtherId);
        std::vector<std::pair<MakeValue, int>> others = {{t.lo, 1}, {t.mid, 0}};
        if (t.hi)
            others.emplace_back(t.hi, -1);
        for (auto& [other, order] : others) {
            PropMap row;
            Put(row, t.mid(ulTag1));
            Put(row, other(ulTag2));
            for (const Relop& r : kRelops) {
                SRestriction forward{RES_COMPAREPROPS, {}};
                forward.res.resCompareProps = {r.ulOp, ulTag1, ulTag2};
                SRestriction backward{RES_COMPAREPROPS, {}};
                backward.res.resCompareProps = {r.ulOp, ulTag2, ulTag1};
                EXPECT_EQ(Passes(forward, row), Holds(r, order)) << t.pszName << " 1 " << r.pszName << " 2";
                EXPECT_EQ(Passes(backward, row), Holds(r, -order)) << t.pszName << " 2 " << r.pszName << " 1";
            }
        }
    }
}

TEST(RestrictionTest, BitmasksEitherWay) {
    struct Case {
        ULONG ulType;
        LONG lValue;
        ULONG ulMask;
        bool bOverlap;
    };
    const Case cases[] = {
        {PT_LONG, 0x6, 0x2, true},        {PT_LONG, 0x6, 0x9, false},
        {PT_LONG, 0, 0xFFFFFFFF, false},  {PT_LONG, LONG(0x80000000), 0x80000000, true},
        {PT_SHORT, 0x0100, 0x0100, true}, {PT_SHORT, 0x0100, 0x00FF, false},
        {PT_BOOLEAN, 1, 1, true},         {PT_BOOLEAN, 0, 1, false},
    };
    for (const Case& c : cases) {
        PropMap row;
        SPropValue v{PROP_TAG(c.ulType, kId), 0, {}};
        if (c.ulType == PT_LONG)
            v.Value.l = c.lValue;
        else if (c.ulType == PT_SHORT)
            v.Value.i = static_cast<short>(c.lValue);
        else
            v.Value.b = static_cast<unsigned short>(c.lValue);
        Put(row, v);
        for (ULONG ulRel : {BMR_EQZ, BMR_NEZ}) {
            SRestriction res{RES_BITMASK, {}};
            res.res.resBitMask = {ulRel, v.ulPropTag, c.ulMask};
            EXPECT_EQ(Passes(res, row), (ulRel == BMR_NEZ) == c.bOverlap)
                << std::hex << c.lValue << (ulRel == BMR_NEZ ? " NEZ " : " EQZ ") << c.ulMask;
        }
    }
}

TEST(RestrictionTest, ContentAtEveryFuzzyLevel) {
    struct Case {
        const wchar_t* pwszNeedle;
        bool bFull, bPrefix, bSubstring;  // matched without regard to case
        bool bExactCase;                  // the needle has the value's case
    };
    const Case cases[] = {
        {L"Hello World", true, true, true, true},     {L"hello world", true, true, true, false},
        {L"Hello", false, true, true, true},          {L"HELLO", false, true, true, false},
        {L"World", false, false, true, true},         {L"lo wo", false, false, true, false},
        {L"Hello World!", false, false, false, true}, {L"\u00e9t\u00e9", false, false, false, true},
    };
    for (ULONG ulType : {PT_UNICODE, PT_STRING8, PT_MV_UNICODE}) {
        PropMap row;
        SPropValue v{PROP_TAG(ulType, kId), 0, {}};
        LPWSTR values[2] = {const_cast<wchar_t*>(L"Other"), const_cast<wchar_t*>(L"Hello World")};
        if (ulType == PT_UNICODE)
            v.Value.lpszW = values[1];
        else if (ulType == PT_STRING8)
            v.Value.lpszA = const_cast<char*>("Hello World");
        else
            v.Value.MVszW = {2, values};
        Put(row, v);
        for (const Case& c : cases) {
            for (ULONG ulLevel : {FL_FULLSTRING, FL_PREFIX, FL_SUBSTRING}) {
                bool bMatch = ulLevel == FL_FULLSTRING ? c.bFull : (ulLevel == FL_PREFIX ? c.bPrefix : c.bSubstring);
                for (ULONG ulCase : {0u, FL_IGNORECASE, FL_LOOSE}) {
                    SPropValue needle{PROP_TAG(PT_UNICODE, kId), 0, {}};
                    needle.Value.lpszW = const_cast<wchar_t*>(c.pwszNeedle);
                    SRestriction res{RES_CONTENT, {}};
                    res.res.resContent = {ulLevel | ulCase, PROP_TAG(ulType, kId), &needle};
                    EXPECT_EQ(Passes(res, row), bMatch && (ulCase || c.bExactCase))
                        << ulType << " level " << ulLevel << " case " << ulCase << " needle "
                        << static_cast<int>(c.pwszNeedle[0]);
                }
            }
        }
    }
    // Binary content: bytes, never case.
    const BYTE data[] = {'a', 'B', 'c', 'd'};
    PropMap row;
    SPropValue v{PROP_TAG(PT_BINARY, kId), 0, {}};
    v.Value.bin = {sizeof data, const_cast<BYTE*>(data)};
    Put(row, v);
    struct BinCase {
        std::string needle;
        bool bFull, bPrefix, bSubstring;
    };
    const BinCase binCases[] = {{"aBcd", true, true, true},
                                {"aB", false, true, true},
                                {"Bc", false, false, true},
                                {"ab", false, false, false},
                                {"aBcde", false, false, false}};
    for (const BinCase& c : binCases) {
        for (ULONG ulLevel : {FL_FULLSTRING, FL_PREFIX, FL_SUBSTRING}) {
            SPropValue needle{PROP_TAG(PT_BINARY, kId), 0, {}};
            needle.Value.bin = {static_cast<ULONG>(c.needle.size()), (LPBYTE)c.needle.data()};
            SRestriction res{RES_CONTENT, {}};
            res.res.resContent = {ulLevel | FL_IGNORECASE, PROP_TAG(PT_BINARY, kId), &needle};
            bool bMatch = ulLevel == FL_FULLSTRING ? c.bFull : (ulLevel == FL_PREFIX ? c.bPrefix : c.bSubstring);
            EXPECT_EQ(Passes(res, row), bMatch) << c.needle << " level " << ulLevel;
        }
    }
}

TEST(RestrictionTest, ASingleValueAgainstAMultiValuedColumnMatchesAnyElement) {
    PropMap row;
    LONG values[2] = {1, 9};
    SPropValue mv{PROP_TAG(PT_MV_LONG, kId), 0, {}};
    mv.Value.MVl = {2, values};
    Put(row, mv);
    const std::pair<ULONG, bool> expected[] = {{RELOP_LT, true}, {RELOP_LE, true},  {RELOP_GT, true},
                                               {RELOP_GE, true}, {RELOP_EQ, false}, {RELOP_NE, true}};
    for (auto [ulOp, bMatch] : expected) {
        SPropValue five = Long(PROP_TAG(PT_LONG, kId), 5);
        SRestriction res{RES_PROPERTY, {}};
        res.res.resProperty = {ulOp, PROP_TAG(PT_MV_LONG, kId), &five};
        EXPECT_EQ(Passes(res, row), bMatch) << ulOp;
    }
    SPropValue nine = Long(PROP_TAG(PT_LONG, kId), 9);
    SRestriction eq{RES_PROPERTY, {}};
    eq.res.resProperty = {RELOP_EQ, PROP_TAG(PT_MV_LONG, kId), &nine};
    EXPECT_TRUE(Passes(eq, row));
}

}  // namespace
