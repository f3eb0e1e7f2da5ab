#include "Util/Text/Localized.h"
#include "Util/Text/LocalizedTable.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace Ostrel::Util;

namespace {

// Every key the system's dialogs, message boxes, progress windows and status texts look up.
const char* const kKeys[] = {
    "CHANGE_PASSWORD_CAPTION",
    "CHANGE_PASSWORD_IDC_CONFIRM_L",
    "CHANGE_PASSWORD_IDC_INVALID",
    "CHANGE_PASSWORD_IDC_NEWPASSWORD_L",
    "CHANGE_PASSWORD_IDOK",
    "DLG_CERT_TRUST_BUT_CONNECT",
    "DLG_CERT_TRUST_BUT_DONT_CONNECT",
    "DLG_CERT_TRUST_BUT_VIEW_CERT",
    "DLG_CERT_TRUST_BUT_DETAILS",
    "DLG_CERT_TRUST_CBSTRING_THIS_SESSION",
    "DLG_CERT_TRUST_CBSTRING_5_MINS",
    "DLG_CERT_TRUST_CBSTRING_1_HOUR",
    "DLG_CERT_TRUST_CBSTRING_1_DAY",
    "DLG_CERT_TRUST_CBSTRING_1_WEEK",
    "DLG_CERT_TRUST_CBSTRING_1_MONTH",
    "DLG_CERT_TRUST_LBL_LIST",
    "DLG_CERT_TRUST_LBL_LIST_ADDITIONAL_NEW_CERT",
    "DLG_CERT_TRUST_LBL_LIST_ADDITIONAL_TIME_EXPIRED",
    "DLG_CERT_TRUST_LBL_LIST_AUTOUPGRADE",
    "DLG_CERT_TRUST_LBL_LIST_GALSYNC",
    "DLG_CERT_TRUST_LBL_LIST_SUBMIT",
    "DLG_CERT_TRUST_LBL_LIST_SYNC",
    "DLG_CERT_TRUST_LBL_LIST_WAITSET",
    "DLG_CERT_TRUST_LBL_WARNING",
    "DLG_CERT_TRUST_LBL_WARNING_CANT_TRUST",
    "DLG_CERT_TRUST_LBSTRING_CORRUPT",
    "DLG_CERT_TRUST_LBSTRING_INVALID_CN",
    "DLG_CERT_TRUST_LBSTRING_INVALID_DATE",
    "DLG_CERT_TRUST_LBSTRING_REVOKED",
    "DLG_CERT_TRUST_LBSTRING_REVOKE_CHECK_FAILED",
    "DLG_CERT_TRUST_LBSTRING_SECURITY_CHANNEL_ERROR",
    "DLG_CERT_TRUST_LBSTRING_UNKNOWN_CA",
    "DLG_CERT_TRUST_LBSTRING_WRONG_USAGE",
    "DLG_CERT_TRUST_TITLE",
    "IDC_OSTREL_HTTP_TRUST_UNTIL_RESTART",
    "IDMAP_APPLY_PERF",
    "IDMAP_LOADING",
    "IDT_OSTREL_HTTP_CONNECTION_INSECURE",
    "IDT_OSTREL_HTTP_CONNECTION_OFFLINE",
    "IDT_OSTREL_HTTP_CONNECTION_SECURE",
    "IDT_OSTREL_HTTP_CONNECTION_TRUSTING",
    "MBOX_BAD_OFFICE",
    "MBOX_CAPTION_CONFIRM_DONT_CONNECT",
    "MBOX_CAPTION_CONFIRM_OFFLINE",
    "MBOX_CAPTION_CONNSETMISMATCH",
    "MBOX_CAPTION_ERR",
    "MBOX_CAPTION_MAPIERR",
    "MBOX_CONFIRM_DONT_CONNECT",
    "MBOX_CONFIRM_OFFLINE",
    "MBOX_CONNSETMISMATCH",
    "MBOX_DOM_CREATION_FAILED",
    "MBOX_INVALIDTAG",
    "PASSWORD_DIALOG_CAPTION",
    "PASSWORD_DIALOG_IDCANCEL",
    "PASSWORD_DIALOG_IDC_CONFIRM2",
    "PASSWORD_DIALOG_IDC_PASSWORD",
    "PASSWORD_DIALOG_IDC_UNABLE",
    "PASSWORD_DIALOG_IDC_USERNAME",
    "PASSWORD_DIALOG_IDOK",
    "TWOFACTOR_DIALOG_CAPTION",
    "TWOFACTOR_DIALOG_IDCANCEL",
    "TWOFACTOR_DIALOG_IDC_CODE",
    "TWOFACTOR_DIALOG_IDC_REMEMBER",
    "TWOFACTOR_DIALOG_IDOK",
    "TWOFACTOR_SETUP_REQUIRED",
    "TWOFACTOR_SWITCHING_OFFLINE",
};

// Keys whose text is filled with one string argument.
const std::set<std::string> kFormatKeys = {"MBOX_INVALIDTAG", "IDT_OSTREL_HTTP_CONNECTION_TRUSTING"};

}  // namespace

TEST(Localized, EveryKeyHasATextAndOnlyFormatsTakeArguments) {
    for (const char* pszKey : kKeys) {
        ASSERT_TRUE(HasLocalizedString(pszKey)) << pszKey;
        const std::wstring ws = GetLocalizedString(pszKey);
        EXPECT_FALSE(ws.empty()) << pszKey;
        const size_t pos = ws.find(L'%');
        if (kFormatKeys.count(pszKey)) {
            ASSERT_NE(pos, std::wstring::npos) << pszKey;
            EXPECT_EQ(ws.substr(pos, 2), L"%s") << pszKey;
            EXPECT_EQ(ws.find(L'%', pos + 1), std::wstring::npos) << pszKey;
        } else {
            EXPECT_EQ(pos, std::wstring::npos) << pszKey;
        }
    }
}

TEST(Localized, TableHasNoDuplicateOrUnlistedKeys) {
    std::set<std::string> listed(std::begin(kKeys), std::end(kKeys));
    std::set<std::string> seen;
    for (size_t i = 0; i < LocalizedDetail::kEntryCount; ++i) {
        const std::string sKey = LocalizedDetail::kEntries[i].pszKey;
        EXPECT_TRUE(seen.insert(sKey).second) << "duplicate " << sKey;
        EXPECT_TRUE(listed.count(sKey)) << "not in the test's list " << sKey;
    }
}

TEST(Localized, LookupByWideKeyAndUnknownKeys) {
    EXPECT_EQ(GetLocalizedString(std::wstring_view(L"DLG_CERT_TRUST_BUT_CONNECT")), L"Connect");
    EXPECT_EQ(GetLocalizedString("NO_SUCH_KEY"), L"NO_SUCH_KEY");
    EXPECT_EQ(GetLocalizedString(std::wstring_view(L"NO_SUCH_KEY")), L"NO_SUCH_KEY");
    EXPECT_EQ(GetLocalizedString(std::wstring_view(L"K\u00C9Y")), L"K\u00C9Y");
    EXPECT_EQ(GetLocalizedString(""), L"");
    EXPECT_FALSE(HasLocalizedString("dlg_cert_trust_but_connect"));  // keys are exact
}
