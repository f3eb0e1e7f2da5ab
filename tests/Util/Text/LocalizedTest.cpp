#include "Util/Text/Localized.h"
#include "Util/Text/LocalizedTable.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace Ostrel::Util;

TEST(Localized, EveryEntryIsFoundByItsKeyAndOnlyFormatsTakeArguments) {
    // Keys whose text is filled with one string argument.
    const std::set<std::string> formatKeys = {"MBOX_INVALIDTAG", "IDT_OSTREL_HTTP_CONNECTION_TRUSTING"};
    std::set<std::string> seen;
    for (size_t i = 0; i < LocalizedDetail::kEntryCount; ++i) {
        const std::string sKey = LocalizedDetail::kEntries[i].pszKey;
        SCOPED_TRACE(sKey);
        EXPECT_TRUE(seen.insert(sKey).second) << "duplicate key";
        ASSERT_TRUE(HasLocalizedString(sKey));
        const std::wstring ws = GetLocalizedString(sKey);
        EXPECT_EQ(ws, LocalizedDetail::kEntries[i].pwszText);
        EXPECT_FALSE(ws.empty());
        const size_t pos = ws.find(L'%');
        if (formatKeys.count(sKey)) {
            ASSERT_NE(pos, std::wstring::npos);
            EXPECT_EQ(ws.substr(pos, 2), L"%s");
            EXPECT_EQ(ws.find(L'%', pos + 1), std::wstring::npos);
        } else {
            EXPECT_EQ(pos, std::wstring::npos);
        }
    }
    for (const std::string& sKey : formatKeys)
        EXPECT_TRUE(seen.count(sKey)) << sKey;
}

TEST(Localized, LookupByWideKeyAndUnknownKeys) {
    EXPECT_EQ(GetLocalizedString(std::wstring_view(L"DLG_CERT_TRUST_BUT_CONNECT")), L"Connect");
    EXPECT_EQ(GetLocalizedString("NO_SUCH_KEY"), L"NO_SUCH_KEY");
    EXPECT_EQ(GetLocalizedString(std::wstring_view(L"NO_SUCH_KEY")), L"NO_SUCH_KEY");
    EXPECT_EQ(GetLocalizedString(std::wstring_view(L"K\u00C9Y")), L"K\u00C9Y");
    EXPECT_EQ(GetLocalizedString(""), L"");
    EXPECT_FALSE(HasLocalizedString("dlg_cert_trust_but_connect"));  // keys are exact
}
