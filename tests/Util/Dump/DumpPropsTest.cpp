#include "Util/Log/DumpProps.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/Mapi/MapiTags.h"
#include "Support/TempHome.h"

namespace {

using Ostrel::Util::DumpPropValues;
using Ostrel::Util::LogCapture;
using Ostrel::Util::PropValueToString;

SPropValue Value(ULONG ulTag) {
    SPropValue v{};
    v.ulPropTag = ulTag;
    return v;
}

TEST(DumpPropsTest, EachValueIsLoggedWithItsNameTypeAndText) {
    TestSupport::TempHome home;
    std::wstring longText(300, L'x');
    std::vector<BYTE> blob(100, 0xAB);
    wchar_t* names[] = {const_cast<wchar_t*>(L"Red"), const_cast<wchar_t*>(L"Blue")};
    std::vector<SPropValue> values;
    values.push_back(Value(PR_SUBJECT_W));
    values.back().Value.lpszW = const_cast<wchar_t*>(L"Hi \"you\"\n\u00E9");
    values.push_back(Value(CHANGE_PROP_TYPE(PR_IMPORTANCE, PT_ERROR)));
    values.back().Value.err = MAPI_E_NOT_FOUND;
    values.push_back(Value(PR_ENTRYID));
    values.back().Value.bin = {static_cast<ULONG>(blob.size()), blob.data()};
    values.push_back(Value(PR_BODY_W));
    values.back().Value.lpszW = longText.data();
    values.push_back(Value(PROP_TAG(PT_MV_UNICODE, 0x8012)));
    values.back().Value.MVszW = {2, names};
    values.push_back(Value(PR_LAST_MODIFICATION_TIME));
    values.back().Value.ft = {0x7689C000, 0x01DA3C45};  // 2024-01-01 00:00:00 UTC
    values.push_back(Value(PR_MESSAGE_FLAGS));
    values.back().Value.l = -1;

    LogCapture capture;
    DumpPropValues(static_cast<ULONG>(values.size()), values.data(), L"Profile");
    std::vector<std::wstring> lines = capture.Messages();
    ASSERT_EQ(lines.size(), values.size() + 1);
    EXPECT_EQ(lines[0], L"Profile: 7 properties");
    EXPECT_EQ(lines[1], L"  [0] 0x0037001F PR_SUBJECT_W PT_UNICODE: \"Hi \\\"you\\\"\\n\u00E9\"");
    EXPECT_EQ(lines[2], L"  [1] 0x0017000A PR_IMPORTANCE PT_ERROR: MAPI_E_NOT_FOUND");
    std::wstring hex;
    for (int i = 0; i < 64; ++i)
        hex += L"AB";
    EXPECT_EQ(lines[3], L"  [2] 0x0FFF0102 PR_ENTRYID PT_BINARY: cb=100 " + hex + L"...");
    EXPECT_EQ(lines[4], L"  [3] 0x1000001F PR_BODY_W PT_UNICODE: \"" + std::wstring(256, L'x') + L"\"... (300 chars)");
    EXPECT_EQ(lines[5], L"  [4] 0x8012101F named 0x8012 PT_MV_UNICODE: 2 values {\"Red\", \"Blue\"}");
    EXPECT_EQ(lines[6], L"  [5] 0x30080040 PR_LAST_MODIFICATION_TIME PT_SYSTIME: 2024-01-01 00:00:00.000 UTC");
    EXPECT_EQ(lines[7], L"  [6] 0x0E070003 PR_MESSAGE_FLAGS PT_LONG: -1 (0xFFFFFFFF)");
}

TEST(DumpPropsTest, MalformedValuesGiveTextNotCrashes) {
    SPropValue v = Value(PR_SUBJECT_A);
    EXPECT_EQ(PropValueToString(v), L"(null)");
    v = Value(PROP_TAG(PT_CLSID, 0x8001));
    EXPECT_EQ(PropValueToString(v), L"(null)");
    v = Value(PR_ENTRYID);
    v.Value.bin = {5, nullptr};
    EXPECT_EQ(PropValueToString(v), L"cb=5 (null)");
    v = Value(PROP_TAG(PT_MV_LONG, 0x8002));
    v.Value.MVl = {3, nullptr};
    EXPECT_EQ(PropValueToString(v), L"3 values (null)");
    LPSTR strings[] = {nullptr, const_cast<char*>("a\xFF")};
    v = Value(PROP_TAG(PT_MV_STRING8, 0x8003));
    v.Value.MVszA = {2, strings};
    EXPECT_EQ(PropValueToString(v), L"2 values {(null), \"a\uFFFD\"}");
    v = Value(PROP_TAG(0x0077, 0x8004));
    EXPECT_EQ(PropValueToString(v), L"(type 0x0077)");
    v = Value(PR_LAST_MODIFICATION_TIME);
    v.Value.ft = {0, 0x80000000};  // beyond what a date can show
    EXPECT_EQ(PropValueToString(v), L"0x8000000000000000");
    v = Value(PROP_TAG(PT_CURRENCY, 0x8005));
    v.Value.cur.int64 = -5000;
    EXPECT_EQ(PropValueToString(v), L"-0.5000");

    TestSupport::TempHome home;
    LogCapture capture;
    DumpPropValues(4, nullptr, nullptr);
    EXPECT_EQ(capture.Messages(), std::vector<std::wstring>{L"Properties: 0 properties"});
}

TEST(DumpPropsTest, NothingIsLoggedWhenTheLevelIsOff) {
    TestSupport::TempHome home;
    auto& logger = Ostrel::Util::g_logger;
    DWORD dwOld = logger.GetLevelMask();
    logger.SetLevelMask(1 | 4);
    SPropValue v = Value(PR_MESSAGE_FLAGS);
    {
        LogCapture capture(LogCapture::Mode::AsConfigured);
        DumpPropValues(1, &v);
        EXPECT_TRUE(capture.Messages().empty());
        DumpPropValues(1, &v, L"Key", 4);
        EXPECT_EQ(capture.Messages().size(), 2u);
    }
    logger.SetLevelMask(dwOld);
}

}  // namespace
