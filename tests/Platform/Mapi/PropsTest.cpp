#include <cstring>

#include "MapiTestUtil.h"
#include "Platform/Mapi/MapiGuids.h"

namespace MapiTest {
namespace {

using PropsTest = StoreFixture;

TEST(AllocTest, ChainedBlocksGoWithTheirOwner) {
    void* pRoot = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(16, &pRoot), S_OK);
    void* pMore = nullptr;
    ASSERT_EQ(MAPIAllocateMore(1000, pRoot, &pMore), S_OK);
    void* pMoreOfMore = nullptr;
    ASSERT_EQ(MAPIAllocateMore(10, pMore, &pMoreOfMore), S_OK);  // joins the same owner
    std::memset(pMore, 1, 1000);
    EXPECT_EQ(MAPIFreeBuffer(pMore), 0u);  // a chained block is left to its owner
    EXPECT_EQ(MAPIFreeBuffer(pRoot), 0u);  // frees all three (the leak checker would complain otherwise)
    EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
    EXPECT_EQ(MAPIAllocateMore(4, nullptr, &pMore), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(MAPIAllocateBuffer(4, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST_F(PropsTest, GetPropsReturnsErrorsForMissingValuesBesideFoundOnes) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Hello");
    SizedSPropTagArray(3, tags) = {3, {PR_SUBJECT_W, PR_BODY_W, PR_SUBJECT_A}};
    ULONG cValues = 0;
    MapiBuf<SPropValue> props;
    ASSERT_EQ(pMsg->GetProps((LPSPropTagArray)&tags, 0, &cValues, &props), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(cValues, 3u);
    EXPECT_EQ(props[0].ulPropTag, PR_SUBJECT_W);
    EXPECT_STREQ(props[0].Value.lpszW, L"Hello");
    EXPECT_EQ(props[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_BODY)));
    EXPECT_EQ(props[1].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_STREQ(props[2].Value.lpszA, "Hello");  // the 8-bit form of the same value

    // Every value found: no warning.
    SizedSPropTagArray(1, one) = {1, {PR_SUBJECT_W}};
    MapiBuf<SPropValue> found;
    EXPECT_EQ(pMsg->GetProps((LPSPropTagArray)&one, 0, &cValues, &found), S_OK);
    MapiBuf<SPropValue> missing;
    EXPECT_EQ(HrGetOneProp(pMsg.Get(), PR_BODY_W, &missing), MAPI_E_NOT_FOUND);
}

TEST_F(PropsTest, ValuesOfEveryTypeSurviveAStoreRoundTrip) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Types");
    GUID guid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    LONG longs[] = {1, -2, 3};
    wchar_t w1[] = L"eins", w2[] = L"zwei \u00E4\U0001F600";
    LPWSTR wides[] = {w1, w2};
    BYTE b1[] = {0, 1, 2}, b2[] = {0xFF};
    SBinary bins[] = {{3, b1}, {1, b2}};
    ULONG tShort = PROP_TAG(PT_SHORT, 0x6701), tDouble = PROP_TAG(PT_DOUBLE, 0x6702), tI8 = PROP_TAG(PT_I8, 0x6703),
          tClsid = PROP_TAG(PT_CLSID, 0x6704), tMvLong = PROP_TAG(PT_MV_LONG, 0x6705),
          tMvW = PROP_TAG(PT_MV_UNICODE, 0x6706), tMvBin = PROP_TAG(PT_MV_BINARY, 0x6707),
          tBool = PROP_TAG(PT_BOOLEAN, 0x6708), tTime = PROP_TAG(PT_SYSTIME, 0x6709),
          tAppTime = PROP_TAG(PT_APPTIME, 0x670A);
    SPropValue values[10] = {};
    values[0].ulPropTag = tShort, values[0].Value.i = -7;
    values[1].ulPropTag = tDouble, values[1].Value.dbl = 2.5;
    values[2].ulPropTag = tI8, values[2].Value.li.QuadPart = -1234567890123LL;
    values[3].ulPropTag = tClsid, values[3].Value.lpguid = &guid;
    values[4].ulPropTag = tMvLong, values[4].Value.MVl = {3, longs};
    values[5].ulPropTag = tMvW, values[5].Value.MVszW = {2, wides};
    values[6].ulPropTag = tMvBin, values[6].Value.MVbin = {2, bins};
    values[7].ulPropTag = tBool, values[7].Value.b = 1;
    values[8].ulPropTag = tTime, values[8].Value.ft = {0x11223344, 0x01D00000};
    values[9].ulPropTag = tAppTime, values[9].Value.at = 45000.25;
    MapiBuf<SPropProblemArray> problems;
    ASSERT_EQ(pMsg->SetProps(10, values, &problems), S_OK);
    EXPECT_EQ(problems.p, nullptr);
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);

    ComPtr<IMessage> pRead = OpenMessage(EntryId(pMsg.Get()), 0);
    SizedSPropTagArray(10, tags) = {10, {tShort, tDouble, tI8, tClsid, tMvLong, tMvW, tMvBin, tBool, tTime, tAppTime}};
    ULONG cValues = 0;
    MapiBuf<SPropValue> got;
    ASSERT_EQ(pRead->GetProps((LPSPropTagArray)&tags, 0, &cValues, &got), S_OK);
    EXPECT_EQ(got[0].Value.i, -7);
    EXPECT_EQ(got[1].Value.dbl, 2.5);
    EXPECT_EQ(got[2].Value.li.QuadPart, -1234567890123LL);
    EXPECT_TRUE(*got[3].Value.lpguid == guid);
    ASSERT_EQ(got[4].Value.MVl.cValues, 3u);
    EXPECT_EQ(got[4].Value.MVl.lpl[1], -2);
    ASSERT_EQ(got[5].Value.MVszW.cValues, 2u);
    EXPECT_STREQ(got[5].Value.MVszW.lppszW[1], w2);
    ASSERT_EQ(got[6].Value.MVbin.cValues, 2u);
    EXPECT_EQ(got[6].Value.MVbin.lpbin[0].cb, 3u);
    EXPECT_EQ(got[6].Value.MVbin.lpbin[1].lpb[0], 0xFF);
    EXPECT_EQ(got[7].Value.b, 1);
    EXPECT_EQ(got[8].Value.ft.dwLowDateTime, 0x11223344u);
    EXPECT_EQ(got[9].Value.at, 45000.25);
}

TEST_F(PropsTest, SetPropsReportsBadValuesAsProblemsAndKeepsTheRest) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Problems");
    SPropValue values[5] = {};
    values[0].ulPropTag = PR_ENTRYID;  // computed
    values[0].Value.bin = {0, nullptr};
    values[1].ulPropTag = PROP_TAG(PT_LONG, PROP_ID(PR_SUBJECT));  // a subject is text
    values[1].Value.l = 5;
    values[2].ulPropTag = PR_BODY_W;
    values[2].Value.lpszW = nullptr;                  // no string
    values[3].ulPropTag = PROP_TAG(PT_LONG, 0x8F00);  // a named id that was never mapped
    values[3].Value.l = 1;
    values[4].ulPropTag = PR_IMPORTANCE;
    values[4].Value.l = 2;
    MapiBuf<SPropProblemArray> problems;
    ASSERT_EQ(pMsg->SetProps(5, values, &problems), S_OK);
    ASSERT_NE(problems.p, nullptr);
    ASSERT_EQ(problems->cProblem, 4u);
    EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_COMPUTED);
    EXPECT_EQ(problems->aProblem[1].scode, MAPI_E_INVALID_TYPE);
    EXPECT_EQ(problems->aProblem[2].scode, MAPI_E_BAD_VALUE);
    EXPECT_EQ(problems->aProblem[3].scode, MAPI_E_UNEXPECTED_ID);
    EXPECT_EQ(GetLong(pMsg.Get(), PR_IMPORTANCE), 2);
    EXPECT_EQ(GetString(pMsg.Get(), PR_SUBJECT_W), L"Problems");

    MapiBuf<SPropProblemArray> delProblems;
    SizedSPropTagArray(2, del) = {2, {PR_IMPORTANCE, PR_ENTRYID}};
    ASSERT_EQ(pMsg->DeleteProps((LPSPropTagArray)&del, &delProblems), S_OK);
    ASSERT_NE(delProblems.p, nullptr);
    EXPECT_EQ(delProblems->aProblem[0].scode, MAPI_E_COMPUTED);
    EXPECT_EQ(GetHr(pMsg.Get(), PR_IMPORTANCE), MAPI_E_NOT_FOUND);
}

TEST_F(PropsTest, ObjectsOpenedReadOnlyRefuseChanges) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Read only");
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    EXPECT_EQ(SetString(pMsg.Get(), PR_SUBJECT_W, L"after save"), MAPI_E_NO_ACCESS);
    ComPtr<IMessage> pRead = OpenMessage(EntryId(pMsg.Get()), 0);
    EXPECT_EQ(SetString(pRead.Get(), PR_SUBJECT_W, L"changed"), MAPI_E_NO_ACCESS);
    EXPECT_EQ(pRead->SaveChanges(0), MAPI_E_NO_ACCESS);
    ComPtr<IMAPIFolder> pReadFolder = OpenFolder(EntryId(Inbox().Get()), 0);
    EXPECT_EQ(SetString(pReadFolder.Get(), PR_COMMENT_W, L"x"), MAPI_E_NO_ACCESS);
}

TEST_F(PropsTest, StreamsReadAndWriteLargeValues) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Streams");
    std::string big(300000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    {
        ComPtr<IUnknown> pUnk;
        ASSERT_EQ(pMsg->OpenProperty(PR_RTF_COMPRESSED, &IID_IStream, STGM_READWRITE, MAPI_CREATE | MAPI_MODIFY,
                                     pUnk.AddressOf()),
                  S_OK);
        auto* pStream = static_cast<IStream*>(pUnk.Get());
        ULONG cbWritten = 0;
        ASSERT_EQ(pStream->Write(big.data(), (ULONG)big.size(), &cbWritten), S_OK);
        ASSERT_EQ(pStream->Commit(0), S_OK);
    }
    {
        // A wide body written as wchar_t units.
        ComPtr<IUnknown> pUnk;
        ASSERT_EQ(pMsg->OpenProperty(PR_BODY_W, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, pUnk.AddressOf()), S_OK);
        std::wstring body = L"Gr\u00FC\u00DFe";
        ULONG cb = 0;
        static_cast<IStream*>(pUnk.Get())->Write(body.data(), (ULONG)(body.size() * sizeof(wchar_t)), &cb);
    }  // released without Commit: still kept
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);

    ComPtr<IMessage> pRead = OpenMessage(EntryId(pMsg.Get()), 0);
    EXPECT_EQ(GetBinary(pRead.Get(), PR_RTF_COMPRESSED), big);
    EXPECT_EQ(GetString(pRead.Get(), PR_BODY_W), L"Gr\u00FC\u00DFe");
    ComPtr<IUnknown> pUnk;
    ASSERT_EQ(pRead->OpenProperty(PR_BODY_A, &IID_IStream, 0, 0, pUnk.AddressOf()), S_OK);
    char buf[64] = {};
    ULONG cbRead = 0;
    static_cast<IStream*>(pUnk.Get())->Read(buf, sizeof buf, &cbRead);
    EXPECT_EQ(std::string(buf, cbRead),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    ULONG cbWritten = 0;
    EXPECT_EQ(static_cast<IStream*>(pUnk.Get())->Write("x", 1, &cbWritten), STG_E_ACCESSDENIED);

    // Missing without MAPI_CREATE; writing on a read-only object; a type that has no stream.
    ComPtr<IUnknown> pNone;
    EXPECT_EQ(pRead->OpenProperty(PR_HTML, &IID_IStream, 0, 0, pNone.AddressOf()), MAPI_E_NOT_FOUND);
    EXPECT_EQ(pRead->OpenProperty(PR_HTML, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, pNone.AddressOf()),
              MAPI_E_NO_ACCESS);
    EXPECT_EQ(pRead->OpenProperty(PR_IMPORTANCE, &IID_IStream, 0, 0, pNone.AddressOf()),
              MAPI_E_INTERFACE_NOT_SUPPORTED);
}

TEST_F(PropsTest, HelpersFindAndCopyValues) {
    SPropValue values[2] = {};
    values[0].ulPropTag = PR_SUBJECT_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(L"copy me");
    values[1].ulPropTag = PR_IMPORTANCE;
    values[1].Value.l = 1;
    EXPECT_EQ(PpropFindProp(values, 2, PR_IMPORTANCE), &values[1]);
    EXPECT_EQ(PpropFindProp(values, 2, PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_SUBJECT))), &values[0]);
    EXPECT_EQ(PpropFindProp(values, 2, PR_BODY_W), nullptr);
    MapiBuf<SPropValue> dup;
    ASSERT_EQ(ScDupPropset(2, values, MAPIAllocateBuffer, &dup), S_OK);
    EXPECT_STREQ(dup[0].Value.lpszW, L"copy me");
    EXPECT_NE(dup[0].Value.lpszW, values[0].Value.lpszW);
}

TEST_F(PropsTest, OpenStreamOnFileMakesTemporaryFilesThatGoAway) {
    std::filesystem::path dir = m_home.Path() / "tmp";
    std::filesystem::create_directories(dir);
    ComPtr<IStream> pStream;
    ASSERT_EQ(OpenStreamOnFile(MAPIAllocateBuffer, MAPIFreeBuffer, SOF_UNIQUEFILENAME | STGM_READWRITE | STGM_CREATE,
                               dir.wstring().c_str(), L"osn", pStream.AddressOf()),
              S_OK);
    ULONG cb = 0;
    ASSERT_EQ(pStream->Write("abc", 3, &cb), S_OK);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 0);  // nameless while open
    pStream.Reset();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 0);
    EXPECT_NE(OpenStreamOnFile(MAPIAllocateBuffer, MAPIFreeBuffer, STGM_READ, (dir / "missing").wstring().c_str(),
                               nullptr, pStream.AddressOf()),
              S_OK);
}

}  // namespace
}  // namespace MapiTest
