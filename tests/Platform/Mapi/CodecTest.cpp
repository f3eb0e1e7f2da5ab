// Stored values and search criteria read back from a file that may be damaged.
#include <sqlite3.h>

#include <cstring>

#include "MapiTestUtil.h"
#include "Platform/Mapi/Props/PropCodec.h"
#include "Platform/Mapi/Props/Restriction.h"
#include "Platform/Mapi/Session/AddrBook.h"

namespace MapiTest {
namespace {

using namespace Platform::Mapi;

TEST(CodecTest, DamagedStoredValuesDecodeToErrorsNotCrashes) {
    ArenaAllocator alloc;
    SPropValue v;
    EXPECT_EQ(DecodeValue({PR_IMPORTANCE, "\x01\x02"}, PR_IMPORTANCE, &v, alloc), MAPI_E_CORRUPT_DATA);
    // A multi-valued string whose length prefix runs past the end.
    std::string mv(
        "\xFF\x00\x00\x00"
        "abc",
        7);
    EXPECT_EQ(DecodeValue({PROP_TAG(PT_MV_UNICODE, 0x6800), mv}, PROP_TAG(PT_MV_UNICODE, 0x6800), &v, alloc),
              MAPI_E_CORRUPT_DATA);
    EXPECT_TRUE(SplitMultiValue({PROP_TAG(PT_MV_UNICODE, 0x6800), mv}).empty());
    // Types that do not fit are "not found", as GetProps reports them.
    EXPECT_EQ(DecodeValue(MakeLong(PR_IMPORTANCE, 1), PROP_TAG(PT_UNICODE, 0x0017), &v, alloc), MAPI_E_NOT_FOUND);
    // Invalid UTF-8 becomes replacement characters.
    ASSERT_EQ(DecodeValue({PR_SUBJECT_W,
                           "a\xFF"
                           "b"},
                          PR_SUBJECT_W, &v, alloc),
              S_OK);
    EXPECT_STREQ(v.Value.lpszW, L"a\uFFFDb");

    PropMap props;
    EXPECT_FALSE(DecodePropList(std::string("\x02\x00\x00\x00", 4), props));
    EXPECT_TRUE(DecodePropList(EncodePropList({{PROP_ID(PR_SUBJECT), MakeString(PR_SUBJECT_W, L"x")}}), props));
}

TEST(CodecTest, SearchCriteriaSurviveTheirByteFormAndRejectDamage) {
    SPropValue value{PR_SUBJECT_W, 0, {}};
    value.Value.lpszW = const_cast<wchar_t*>(L"needle");
    SRestriction leaves[2] = {};
    leaves[0].rt = RES_CONTENT;
    leaves[0].res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_SUBJECT_W, &value};
    leaves[1].rt = RES_BITMASK;
    leaves[1].res.resBitMask = {BMR_NEZ, PR_MESSAGE_FLAGS, MSGFLAG_READ};
    SRestriction top{RES_AND, {}};
    top.res.resAnd = {2, leaves};
    Restriction compiled;
    ASSERT_EQ(CompileRestriction(&top, compiled), S_OK);
    std::string bytes = SerializeRestriction(compiled);
    Restriction back;
    ASSERT_TRUE(DeserializeRestriction(bytes, back));
    PropMap row = {{PROP_ID(PR_SUBJECT), MakeString(PR_SUBJECT_W, L"A NEEDLE here")},
                   {PROP_ID(PR_MESSAGE_FLAGS), MakeLong(PR_MESSAGE_FLAGS, MSGFLAG_READ)}};
    EXPECT_TRUE(Evaluate(back, RowView{&row, {}}));
    row[PROP_ID(PR_MESSAGE_FLAGS)] = MakeLong(PR_MESSAGE_FLAGS, 0);
    EXPECT_FALSE(Evaluate(back, RowView{&row, {}}));

    EXPECT_FALSE(DeserializeRestriction(bytes.substr(0, bytes.size() - 1), back));
    EXPECT_FALSE(DeserializeRestriction(bytes + "x", back));
    std::string notWithoutChild = bytes;
    notWithoutChild[0] = RES_NOT;  // a NOT with two operands
    EXPECT_FALSE(DeserializeRestriction(notWithoutChild, back));
}

TEST(CodecTest, OneOffEntryIdsRoundTripAndRejectTruncation) {
    std::string eid = MakeOneOffEntryId(L"Z\u00FC", L"SMTP", L"z@example.com");
    std::wstring name, type, address;
    ASSERT_TRUE(ParseOneOffEntryId((ULONG)eid.size(), eid.data(), &name, &type, &address));
    EXPECT_EQ(name, L"Z\u00FC");
    EXPECT_EQ(address, L"z@example.com");
    for (size_t cut : {eid.size() - 1, eid.size() - 10, size_t(25)})
        EXPECT_FALSE(ParseOneOffEntryId((ULONG)cut, eid.data(), &name, &type, &address)) << cut;
}

TEST(CodecTest, AStoreWithDamagedRowsReportsErrorsInsteadOfCrashing) {
    TestSupport::TempHome home;
    std::filesystem::path path = home.Path() / "rows.osd";
    std::string eid;
    {
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf()), S_OK);
        ComPtr<IMAPIFolder> pRoot;
        ULONG ulType;
        ASSERT_EQ(pStore->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType,
                                    reinterpret_cast<IUnknown**>(pRoot.AddressOf())),
                  S_OK);
        ComPtr<IMessage> pMsg;
        ASSERT_EQ(pRoot->CreateMessage(nullptr, 0, pMsg.AddressOf()), S_OK);
        SetLong(pMsg.Get(), PR_IMPORTANCE, 1);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
        eid = EntryId(pMsg.Get());
    }
    // Another program leaves a value of the wrong size and a row of an unknown type in the file.
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &pDb), SQLITE_OK);
    ULONG nid;
    std::memcpy(&nid, eid.data() + 20, 4);
    std::string sql =
        "UPDATE props SET value=x'01' WHERE nid=" + std::to_string(nid) + " AND tag=" + std::to_string(PR_IMPORTANCE);
    ASSERT_EQ(sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(pDb);

    ComPtr<IMsgStore> pStore;
    ASSERT_EQ(Platform::OpenOsdStore(path, false, L"", true, pStore.AddressOf()), S_OK);
    ComPtr<IUnknown> pUnk;
    ULONG ulType;
    ASSERT_EQ(pStore->OpenEntry(24, (LPENTRYID)eid.data(), nullptr, 0, &ulType, pUnk.AddressOf()), S_OK);
    EXPECT_EQ(GetHr(static_cast<IMessage*>(pUnk.Get()), PR_IMPORTANCE), MAPI_E_CORRUPT_DATA);

    ASSERT_EQ(sqlite3_open(path.c_str(), &pDb), SQLITE_OK);
    sql = "INSERT INTO props(nid, tag, value) VALUES(" + std::to_string(nid) + ", " +
          std::to_string(PROP_TAG(0x0777, 0x6800)) + ", x'00')";
    ASSERT_EQ(sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(pDb);
    EXPECT_EQ(pStore->OpenEntry(24, (LPENTRYID)eid.data(), nullptr, 0, &ulType, pUnk.AddressOf()),
              MAPI_E_CORRUPT_STORE);
}

}  // namespace
}  // namespace MapiTest
