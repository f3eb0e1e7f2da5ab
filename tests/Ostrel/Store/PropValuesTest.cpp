// Node ids, wrapped store entry ids, multi-valued values grown in place and restriction copies.
#include <vector>

#include "Ostrel/Store/PropValues.h"
#include "StoreTestUtil.h"

namespace StoreTest {
namespace {

using namespace Ostrel::Mapi;

TEST(PropValuesTest, NodeIds) {
    LONG lIndex = 0;
    BYTE bType = 0;
    DecodeNID(0x00200024, lIndex, bType);
    EXPECT_EQ(lIndex, 0x10001);
    EXPECT_EQ(bType, 4);
    DecodeNID(-1, lIndex, bType);
    EXPECT_EQ(lIndex, -1);
    EXPECT_EQ(bType, 31);
}

TEST(PropValuesTest, StoreEntryIdsUnwrapOrStandAsTheyAre) {
    const std::string sInner = std::string(4, '\0') + std::string("0123456789ABCDEF") + "inner-rest";
    MAPIUID uid{};
    ULONG cb = 0;
    ENTRYID* p = nullptr;
    ASSERT_EQ(UnwrapStoreEntryID(static_cast<ULONG>(sInner.size()), (const BYTE*)sInner.data(), uid, cb, p), S_OK);
    EXPECT_EQ(cb, sInner.size());
    EXPECT_EQ(std::string((const char*)uid.ab, 16), "0123456789ABCDEF");

    const char kWrap[] = "\x38\xA1\xBB\x10\x05\xE5\x10\x1A\xA1\xBB\x08\x00\x2B\x2A\x56\xC2";
    std::string sWrapped = std::string(4, '\0') + std::string(kWrap, 16) + std::string("\0\0", 2) +
                           std::string("provider.dll", 13) + sInner;
    ASSERT_EQ(UnwrapStoreEntryID(static_cast<ULONG>(sWrapped.size()), (const BYTE*)sWrapped.data(), uid, cb, p), S_OK);
    EXPECT_EQ(std::string((const char*)p, cb), sInner);
    EXPECT_EQ(std::string((const char*)uid.ab, 16), "0123456789ABCDEF");
    // Cut inside the file name, or with an inner id too short to hold a UID: refused.
    EXPECT_EQ(UnwrapStoreEntryID(30, (const BYTE*)sWrapped.data(), uid, cb, p), MAPI_E_INVALID_ENTRYID);
    EXPECT_EQ(UnwrapStoreEntryID(static_cast<ULONG>(sWrapped.size() - sInner.size() + 10), (const BYTE*)sWrapped.data(),
                                 uid, cb, p),
              MAPI_E_INVALID_ENTRYID);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(UnwrapStoreEntryID(5, (const BYTE*)"abcde", uid, cb, p), MAPI_E_INVALID_ENTRYID);
}

TEST(PropValuesTest, MultiValuedValuesGrowInTheirBuffer) {
    void* pBlock = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(sizeof(SPropValue) * 3, &pBlock), S_OK);
    auto* pValues = static_cast<SPropValue*>(pBlock);
    for (int i = 0; i < 3; ++i)
        pValues[i] = SPropValue{PROP_TAG(PT_ERROR, 0x8001 + i), 0, {}};
    const ULONG ulLongs = PROP_TAG(PT_MV_LONG, 0x8001), ulTexts = PROP_TAG(PT_MV_UNICODE, 0x8002),
                ulBins = PROP_TAG(PT_MV_BINARY, 0x8003);
    for (ULONG ul : {7u, 8u})
        ASSERT_EQ(ExtendMVLong(&pValues[0], pBlock, ulLongs, ul), S_OK);
    ASSERT_EQ(ExtendMVLong(&pValues[0], pBlock, 9u), S_OK);
    ASSERT_EQ(ExtendMVUnicode(&pValues[1], pBlock, ulTexts, L"one"), S_OK);
    ASSERT_EQ(ExtendMVUnicode(&pValues[1], pBlock, ulTexts, L"two"), S_OK);
    ASSERT_EQ(ExtendMVBinary(&pValues[2], pBlock, ulBins, 3, (const BYTE*)"abc"), S_OK);
    ASSERT_EQ(ExtendMVBinary(&pValues[2], pBlock, ulBins, 0, nullptr), S_OK);
    EXPECT_EQ(pValues[0].ulPropTag, ulLongs);
    ASSERT_EQ(pValues[0].Value.MVl.cValues, 3u);
    EXPECT_EQ(pValues[0].Value.MVl.lpl[2], 9);
    ASSERT_EQ(pValues[1].Value.MVszW.cValues, 2u);
    EXPECT_STREQ(pValues[1].Value.MVszW.lppszW[0], L"one");
    EXPECT_STREQ(pValues[1].Value.MVszW.lppszW[1], L"two");
    ASSERT_EQ(pValues[2].Value.MVbin.cValues, 2u);
    EXPECT_EQ(std::string((const char*)pValues[2].Value.MVbin.lpbin[0].lpb, 3), "abc");
    EXPECT_EQ(pValues[2].Value.MVbin.lpbin[1].cb, 0u);
    // A value of the same property with another type is not overwritten.
    EXPECT_EQ(ExtendMVLong(&pValues[1], pBlock, PROP_TAG(PT_MV_LONG, 0x8002), 1), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(ExtendMVLong(&pValues[1], pBlock, 1), MAPI_E_INVALID_PARAMETER);
    MAPIFreeBuffer(pBlock);  // frees every chained array with it (checked by the leak detector)
}

TEST(PropValuesTest, RestrictionsAreCopiedDeeply) {
    std::wstring wsText = L"needle";
    SPropValue content{PR_SUBJECT_W, 0, {}};
    content.Value.lpszW = wsText.data();
    SPropValue number{PR_IMPORTANCE, 0, {}};
    number.Value.l = 2;
    SRestriction leaves[3]{};
    leaves[0].rt = RES_CONTENT;
    leaves[0].res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_SUBJECT_W, &content};
    leaves[1].rt = RES_PROPERTY;
    leaves[1].res.resProperty = {RELOP_GE, PR_IMPORTANCE, &number};
    leaves[2].rt = RES_EXIST;
    leaves[2].res.resExist = {0, PR_BODY_W, 0};
    SRestriction notExist{};
    notExist.rt = RES_NOT;
    notExist.res.resNot = {0, &leaves[2]};
    SRestriction parts[3] = {leaves[0], leaves[1], notExist};
    SRestriction root{};
    root.rt = RES_AND;
    root.res.resAnd = {3, parts};

    SRestriction* pCopy = nullptr;
    ASSERT_EQ(CopySRestriction(&root, &pCopy), S_OK);
    wsText = L"changed";  // the copy holds its own text
    number.Value.l = 0;
    ASSERT_EQ(pCopy->rt, RES_AND);
    ASSERT_EQ(pCopy->res.resAnd.cRes, 3u);
    EXPECT_NE(pCopy->res.resAnd.lpRes, parts);
    EXPECT_STREQ(pCopy->res.resAnd.lpRes[0].res.resContent.lpProp->Value.lpszW, L"needle");
    EXPECT_EQ(pCopy->res.resAnd.lpRes[1].res.resProperty.lpProp->Value.l, 2);
    EXPECT_EQ(pCopy->res.resAnd.lpRes[2].res.resNot.lpRes->res.resExist.ulPropTag, PR_BODY_W);
    MAPIFreeBuffer(pCopy);

    // A chain of NOTs deeper than any real restriction is refused, not followed without end.
    std::vector<SRestriction> chain(100);
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        chain[i].rt = RES_NOT;
        chain[i].res.resNot = {0, &chain[i + 1]};
    }
    chain.back().rt = RES_EXIST;
    EXPECT_EQ(CopySRestriction(chain.data(), &pCopy), MAPI_E_TOO_COMPLEX);
    EXPECT_EQ(pCopy, nullptr);
}

}  // namespace
}  // namespace StoreTest
