#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Platform/Com/ComApi.h"

TEST(ComGuid, RegistryFormRoundTrip) {
    const GUID guid = {0x8B68CC02, 0x773B, 0x4851, {0x98, 0x9E, 0xBB, 0x80, 0x65, 0x18, 0xCC, 0xBB}};
    wchar_t wsz[39];
    EXPECT_EQ(0, StringFromGUID2(guid, wsz, 38));
    ASSERT_EQ(39, StringFromGUID2(guid, wsz, 39));
    EXPECT_EQ(std::wstring(L"{8B68CC02-773B-4851-989E-BB806518CCBB}"), wsz);

    GUID parsed{};
    ASSERT_EQ(S_OK, CLSIDFromString(L"{8b68cc02-773b-4851-989e-bb806518ccbb}", &parsed));
    EXPECT_TRUE(IsEqualGUID(guid, parsed));

    LPOLESTR pwsz = nullptr;
    ASSERT_EQ(S_OK, StringFromCLSID(guid, &pwsz));
    EXPECT_EQ(std::wstring(wsz), pwsz);
    CoTaskMemFree(pwsz);
}

TEST(ComGuid, MalformedTextIsRefused) {
    GUID guid{};
    for (const wchar_t* pwsz : {L"", L"8B68CC02-773B-4851-989E-BB806518CCBB", L"{8B68CC02-773B-4851-989E-BB806518CCB}",
                                L"{8B68CC02-773B-4851-989EBB806518CCBB0}", L"{8B68CC0G-773B-4851-989E-BB806518CCBB}",
                                L"{8B68CC02-773B-4851-989E-BB806518CCBB}x"}) {
        EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(pwsz, &guid)) << pwsz;
        EXPECT_EQ(E_INVALIDARG, IIDFromString(pwsz, &guid)) << pwsz;
    }
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(nullptr, &guid));
}

TEST(ComGuid, CreatedGuidsAreVersion4AndDistinct) {
    std::set<std::wstring> setSeen;
    for (int i = 0; i < 100; ++i) {
        GUID guid{};
        ASSERT_EQ(S_OK, CoCreateGuid(&guid));
        EXPECT_EQ(0x4000, guid.Data3 & 0xF000);
        EXPECT_EQ(0x80, guid.Data4[0] & 0xC0);
        wchar_t wsz[39];
        StringFromGUID2(guid, wsz, 39);
        EXPECT_TRUE(setSeen.insert(wsz).second);
    }
    EXPECT_EQ(E_INVALIDARG, CoCreateGuid(nullptr));
}
