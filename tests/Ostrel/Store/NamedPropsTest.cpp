// The connector's named-property table on a real store file: the ids it gets, their stability
// across reopening and processes, and sharing per store.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include "Ostrel/Store/NamedProps.h"
#include "StoreTestUtil.h"
#include "Support/Child.h"
#include "Util/Log/Log.h"

namespace StoreTest {
namespace {

using Ostrel::Mapi::NamedProps;
using Ostrel::Mapi::NamedPropsManager;

const GUID kConnectorSet = {0x20022104, 0x6842, 0x430D, {0xB1, 0x9C, 0x87, 0x39, 0xBF, 0xDB, 0x91, 0x88}};

// Every tag of the table, in index order, as text.
std::string TagList(const NamedProps* pProps) {
    std::ostringstream out;
    for (ULONG i = 0; i < NamedProps::kMainCount + NamedProps::kExtraCount; ++i)
        out << std::hex << pProps->GetPropTag(static_cast<NamedProps::PropIdx>(i), PT_UNSPECIFIED) << ' ';
    return out.str();
}

// Child work (OSTREL_STORE_CHILD="<store path>"): wait for a line on stdin, look the table up,
// print its tags.
struct ChildMode {
    ChildMode() {
        const char* pszPath = std::getenv("OSTREL_STORE_CHILD");
        if (!pszPath)
            return;
        int code = 10;
        ComPtr<IMsgStore> pStore;
        if (SUCCEEDED(Platform::OpenOsdStore(pszPath, false, L"", true, pStore.AddressOf()))) {
            char line[8];
            code = 11;
            if (std::fgets(line, sizeof line, stdin)) {
                NamedProps* pProps = NamedPropsManager::SetNamedProps(pStore.Get());
                code = 12;
                if (pProps) {
                    std::fputs(TagList(pProps).c_str(), stdout);
                    code = 0;
                }
            }
        }
        std::fflush(stdout);
        _exit(code);
    }
} g_childMode;

using NamedPropsTest = StoreFixture;

TEST_F(NamedPropsTest, TagsAreTheStoresIdsForTheNamesAndSurviveReopening) {
    NamedProps* pProps = NamedPropsManager::SetNamedProps(m_store.Get());
    ASSERT_NE(pProps, nullptr);
    ASSERT_TRUE(pProps->IsInitialized());
    EXPECT_EQ(pProps->GetPropTag(NamedProps::OSTREL_ID, PT_LONG),
              StoreTag(m_store.Get(), kConnectorSet, 0x8100, PT_LONG));
    EXPECT_EQ(PROP_TYPE(pProps->GetPropTag(NamedProps::OSTREL_ID, PT_LONG)), PT_LONG);
    EXPECT_EQ(pProps->GetPropTag(NamedProps::KEYWORDS, PT_MV_UNICODE),
              StoreTag(m_store.Get(), PS_PUBLIC_STRINGS, L"Keywords", PT_MV_UNICODE));
    EXPECT_EQ(PROP_TYPE(pProps->GetPropTag(NamedProps::KEYWORDS, PT_MV_UNICODE)), PT_MV_UNICODE);
    EXPECT_EQ(pProps->GetPropTag(NamedProps::APPT_8205, PT_LONG),
              StoreTag(m_store.Get(), PSETID_Appointment, 0x8205, PT_LONG));
    EXPECT_EQ(pProps->GetPropTag(NamedProps::MEETING_0003, PT_BINARY),
              StoreTag(m_store.Get(), PSETID_Meeting, 0x0003, PT_BINARY));
    EXPECT_EQ(pProps->GetPropTag(NamedProps::X_ANTIVIRUS, PT_UNICODE),
              StoreTag(m_store.Get(), PS_INTERNET_HEADERS, L"x-antivirus", PT_UNICODE));
    // The names that stand twice in the table share their tag; all others are distinct.
    EXPECT_EQ(pProps->GetPropTag(NamedProps::CONN_8502, 0), pProps->GetPropTag(NamedProps::CONN_8502_2, 0));
    EXPECT_EQ(pProps->GetPropTag(NamedProps::TASK_8116, 0), pProps->GetPropTag(NamedProps::TASK_8116_2, 0));
    std::set<ULONG> tags;
    for (ULONG i = 0; i < NamedProps::kMainCount + NamedProps::kExtraCount; ++i) {
        ULONG ulTag = pProps->GetPropTag(static_cast<NamedProps::PropIdx>(i), 0);
        EXPECT_GE(PROP_ID(ulTag), 0x8000u) << i;
        EXPECT_EQ(PROP_TYPE(ulTag), 0u) << i;
        tags.insert(ulTag);
    }
    EXPECT_EQ(tags.size(), NamedProps::kMainCount + NamedProps::kExtraCount - 2);
    EXPECT_EQ(pProps->GetPropTag(static_cast<NamedProps::PropIdx>(231), PT_LONG), (ULONG)MAPI_E_NOT_FOUND);

    MapiBuf<SPropTagArray> pAll;
    pAll.p = pProps->GetAllOstrelTags();
    ASSERT_NE(pAll.p, nullptr);
    ASSERT_EQ(pAll->cValues, 90u);
    EXPECT_EQ(pAll->aulPropTag[16], pProps->GetPropTag(NamedProps::OSTREL_ID, 0));
    EXPECT_EQ(pAll->aulPropTag[89], pProps->GetPropTag(NamedProps::CONN_8731, 0));

    const std::string sBefore = TagList(pProps);
    Reopen();
    NamedProps* pAgain = NamedPropsManager::SetNamedProps(m_store.Get());
    ASSERT_NE(pAgain, nullptr);
    EXPECT_EQ(TagList(pAgain), sBefore);
}

TEST_F(NamedPropsTest, OneTablePerMappingSignatureFoundFromAnyObject) {
    NamedProps* pProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get());
    ASSERT_NE(pProps, nullptr);
    // A second open of the same file has the same signature.
    ComPtr<IMsgStore> pOther;
    ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, pOther.AddressOf()), S_OK);
    EXPECT_EQ(NamedPropsManager::GetNamedPropsFromMAPIProp(pOther.Get()), pProps);

    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"message");
    EXPECT_EQ(NamedPropsManager::GetNamedPropsFromMAPIProp(pMessage.Get()), pProps);
    EXPECT_EQ(NamedPropsManager::GetNamedPropsFromMAPIProp(Inbox().Get()), pProps);

    // Another store file is another table.
    ComPtr<IMsgStore> pSecond;
    ASSERT_EQ(Platform::OpenOsdStore(m_home.Path() / "second.osd", true, L"Second", true, pSecond.AddressOf()), S_OK);
    NamedProps* pSecondProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pSecond.Get());
    ASSERT_NE(pSecondProps, nullptr);
    EXPECT_NE(pSecondProps, pProps);
}

TEST_F(NamedPropsTest, MissingTableGivesNullTagAndLogs) {
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(Ostrel::Mapi::NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, nullptr), PR_NULL);
    EXPECT_TRUE(capture.Contains(L"invalid named props object"));
    EXPECT_EQ(NamedPropsManager::GetNamedPropsFromMAPIProp(static_cast<IMAPIProp*>(nullptr)), nullptr);
    EXPECT_TRUE(capture.Contains(L"NULL property passed in"));
}

TEST_F(NamedPropsTest, ProcessesCreatingTheTableAtOnceAgreeOnEveryId) {
    // The file exists but has none of the names yet; both children create them at the same time.
    auto first = TestSupport::StartSelf("OSTREL_STORE_CHILD", m_path.string());
    auto second = TestSupport::StartSelf("OSTREL_STORE_CHILD", m_path.string());
    for (auto* pChild : {&first, &second}) {
        std::fputs("go\n", pChild->pIn);
        std::fflush(pChild->pIn);
    }
    std::string sFirst, sSecond;
    const int iFirst = TestSupport::FinishSelf(first, &sFirst), iSecond = TestSupport::FinishSelf(second, &sSecond);
    ASSERT_EQ(iFirst, 0);
    ASSERT_EQ(iSecond, 0);
    EXPECT_EQ(sFirst, sSecond);
    NamedProps* pProps = NamedPropsManager::SetNamedProps(m_store.Get());
    ASSERT_NE(pProps, nullptr);
    EXPECT_EQ(TagList(pProps), sFirst);
}

}  // namespace
}  // namespace StoreTest
