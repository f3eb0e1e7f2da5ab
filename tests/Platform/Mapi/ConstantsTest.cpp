// Tags and flags that the store layer, the id mappers and the converters name, against the Windows
// values those callers write into stores and logs.
#include <gtest/gtest.h>

#include <cstring>

#include "Platform/Mapi/MapiDefs.h"
#include "Platform/Mapi/MapiTagNames.h"
#include "Platform/Mapi/MapiTags.h"

namespace {

struct Known {
    ULONG ulValue;
    ULONG ulExpected;
    const char* pszName;  // the name the inspector shows, or null for flags
};

TEST(ConstantsTest, TagsAndFlagsHaveTheirWindowsValues) {
    const Known known[] = {
        {PR_PROCESSED, 0x7D01000B, "PR_PROCESSED"},
        {PR_USER_X509_CERTIFICATE, 0x3A701102, "PR_USER_X509_CERTIFICATE"},
        {PR_EXCEPTION_STARTTIME, 0x7FFB0040, "PR_EXCEPTION_STARTTIME"},
        {PR_EXCEPTION_ENDTIME, 0x7FFC0040, "PR_EXCEPTION_ENDTIME"},
        {PR_ATTACH_CONTENT_DISPOSITION_A, 0x3716001E, "PR_ATTACH_CONTENT_DISPOSITION_A"},
        {PR_ATTACH_CONTENT_DISPOSITION_W, 0x3716001F, "PR_ATTACH_CONTENT_DISPOSITION_W"},
        {PR_ATTACH_PAYLOAD_CLASS_W, 0x371A001F, "PR_ATTACH_PAYLOAD_CLASS_W"},
        {PR_TEXT_ATTACHMENT_CHARSET_W, 0x371B001F, "PR_TEXT_ATTACHMENT_CHARSET_W"},
        {PR_ORIGINAL_MESSAGE_ID_W, 0x1046001F, "PR_ORIGINAL_MESSAGE_ID_W"},
        {PR_PARENT_KEY, 0x00250102, "PR_PARENT_KEY"},
        {PR_FLAG_ICON, 0x10950003, nullptr},
        {PR_ATTR_HIDDEN, 0x10F4000B, "PR_ATTR_HIDDEN"},
        {PR_STORE_SUPPORT_MASK, 0x340D0003, "PR_STORE_SUPPORT_MASK"},
        {MAPI_SEND_NO_RICH_INFO, 0x00010000, nullptr},
        {MAPI_ONE_OFF_UNICODE, 0x8000, nullptr},
        {MAPI_ONE_OFF_NO_RICH_INFO, 0x0001, nullptr},
        {ITEMPROC_FORCE | NON_EMS_XP_SAVE, 0x1800, nullptr},
        {STORE_ITEMPROC, 0x00200000, nullptr},
        {RESTART_SEARCH | RECURSIVE_SEARCH | BACKGROUND_SEARCH, 38, nullptr},
        {fnevSearchComplete, 128, nullptr},
        {FL_FULLSTRING | FL_IGNORECASE, 0x10000, nullptr},
        {DEL_MESSAGES, 0x1, nullptr},
        {DEL_FOLDERS | DEL_MESSAGES, 0x5, nullptr},
        {recipSendable | recipExceptionalDeleted, 33, nullptr},
        {recipOrganizer | recipExceptionalResponse, 0x12, nullptr},
        {afException, 2, nullptr},
        {static_cast<ULONG>(MAPI_E_COLLISION), 0x80040604, nullptr},
        {static_cast<ULONG>(MAPI_E_HAS_MESSAGES), 0x8004060A, nullptr},
        {static_cast<ULONG>(MAPI_E_TIMEOUT), 0x80040401, nullptr},
        {static_cast<ULONG>(MAPI_W_PARTIAL_COMPLETION), 0x00040680, nullptr},
    };
    for (const auto& k : known) {
        EXPECT_EQ(k.ulValue, k.ulExpected) << (k.pszName ? k.pszName : "flag") << std::hex << " 0x" << k.ulExpected;
        if (k.pszName) {
            const char* pszShown = MapiPropName(k.ulValue);
            EXPECT_TRUE(pszShown && std::strcmp(pszShown, k.pszName) == 0) << k.pszName;
        }
    }
}

}  // namespace
