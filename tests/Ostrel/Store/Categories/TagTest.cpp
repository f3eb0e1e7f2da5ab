#include "CategoriesTestUtil.h"
#include "Ostrel/Store/Categories/CategoryList.h"
#include "Ostrel/Store/Categories/TagAssocMsg.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Platform/Base/Utf.h"
#include "Platform/Host/Host.h"
#include "Platform/Registry/Registry.h"
#include "Util/OstrelReg.h"

using namespace Ostrel::Mapi;
using namespace CategoriesTest;

namespace {

constexpr MAPIUID kUid = {
    {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01}};

std::wstring MasterList() {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Office\\16.0\\Outlook\\Categories", 0, KEY_READ,
                      &hKey) != ERROR_SUCCESS)
        return L"<none>";
    char buf[4096];
    DWORD cb = sizeof(buf), dwType = 0;
    std::wstring out = RegQueryValueExW(hKey, L"MasterList", nullptr, &dwType, (LPBYTE)buf, &cb) == ERROR_SUCCESS
                           ? Platform::FromUtf16LEBytes(std::string_view(buf, cb))
                           : L"<none>";
    RegCloseKey(hKey);
    return out;
}

class TagTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        Platform::Host::SetClientVersion(16, 0);
        Ostrel::Util::RegUtil reg(L"TagSyncEnabled", KEY_ALL_ACCESS);
        ASSERT_EQ(reg.CreateKey(), ERROR_SUCCESS);
        ASSERT_EQ(reg.SetValue(DWORD(1)), ERROR_SUCCESS);
    }
    std::vector<std::wstring> Keywords(std::vector<long> ids) {
        SPropValue value{};
        void* p = MapTagIdsToKeywordsProp(value, ids, m_store.Get());
        std::vector<std::wstring> out;
        if (value.ulPropTag != PR_NULL)
            for (ULONG i = 0; i < value.Value.MVszW.cValues; ++i)
                out.push_back(value.Value.MVszW.lppszW[i]);
        MAPIFreeBuffer(p);
        return out;
    }
};

TEST_F(TagTest, CreatingATagMakesItsMessageCategoryAndListEntry) {
    ASSERT_EQ(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(7, L"Work", 0x1717E5, &kUid, m_store.Get()), S_OK);
    ASSERT_EQ(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(8, L"a;b", 0x848284, nullptr, m_store.Get()), S_OK);

    TagCache cache(m_store.Get());
    cache.Initialize();
    long lId = 0;
    const wchar_t* pwszCanonical = nullptr;
    ASSERT_TRUE(cache.TagId(L"WORK", lId, &pwszCanonical));
    EXPECT_EQ(lId, 7);
    EXPECT_STREQ(pwszCanonical, L"Work");
    CEntryID id;
    ASSERT_TRUE(cache.TagEntryID(L"work", id));
    EXPECT_FALSE(cache.TagId(L"Other", lId, nullptr));

    TagAssocMsg tag(static_cast<SBinary*>(id), m_store.Get());
    ASSERT_TRUE(tag.IsValid());
    EXPECT_EQ(tag.GetTagColorRGB(), 0x1717E5u);
    MAPIUID* pUid = nullptr;
    ASSERT_EQ(tag.GetUidOfAssociatedOlkCat(&pUid), S_OK);
    EXPECT_EQ(memcmp(pUid, &kUid, sizeof(kUid)), 0);

    OutlookCategories list(m_store.Get());
    ASSERT_EQ(list.Load(), S_OK);
    ASSERT_EQ(list.GetCount(), 2u);
    const OutlookCategory* pCategory = list.GetByGuid(pUid);
    MAPIFreeBuffer(pUid);
    ASSERT_NE(pCategory, nullptr);
    EXPECT_EQ(pCategory->GetName(), L"Work");
    EXPECT_EQ(pCategory->GetColor(), NearestCategoryColor(0x1717E5));
    // The older list never takes a name with its separator in it.
    EXPECT_EQ(MasterList(), L"Work;");
}

TEST_F(TagTest, KeywordsFollowTagIdsAndNames) {
    ASSERT_EQ(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(1, L"One", 0, nullptr, m_store.Get()), S_OK);
    ASSERT_EQ(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(2, L"Two \U0001F600", 0, nullptr, m_store.Get()), S_OK);
    EXPECT_EQ(Keywords({2, 99, 1}), (std::vector<std::wstring>{L"Two \U0001F600", L"One"}));
    EXPECT_TRUE(Keywords({}).empty());

    std::vector<std::wstring> names;
    SPropValue value{};
    EXPECT_EQ(MapTagNamesToKeywordsProp(value, names, m_store.Get()), nullptr);
    EXPECT_EQ(value.ulPropTag, PR_NULL);
    names = {L"x", L"y"};
    void* p = MapTagNamesToKeywordsProp(value, names, m_store.Get());
    ASSERT_EQ(PROP_TYPE(value.ulPropTag), PT_MV_UNICODE);
    EXPECT_STREQ(value.Value.MVszW.lppszW[1], L"y");
    MAPIFreeBuffer(p);

    Ostrel::Util::RegUtil reg(L"TagSyncEnabled", KEY_ALL_ACCESS);
    ASSERT_EQ(reg.SetValue(DWORD(0)), ERROR_SUCCESS);
    EXPECT_TRUE(Keywords({1}).empty());
}

TEST_F(TagTest, RenameAndDeleteCarryIntoTheListsAndLeaveAPendingRename) {
    ASSERT_EQ(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(7, L"Old", 0x0BA12C, &kUid, m_store.Get()), S_OK);
    TagCache cache(m_store.Get());
    cache.Initialize();
    CEntryID id;
    ASSERT_TRUE(cache.TagEntryID(L"Old", id));
    TagAssocMsg tag(static_cast<SBinary*>(id), m_store.Get());
    ASSERT_EQ(tag.UpdateTagAssocMsgAndMCLAndDependentMsgs(L"New", 1), S_OK);
    EXPECT_EQ(tag.TagNameW(), L"New");
    EXPECT_FALSE(tag.IsPendingNewName());

    OutlookCategories list(m_store.Get());
    ASSERT_EQ(list.Load(), S_OK);
    ASSERT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(list.GetByGuid(&kUid)->GetName(), L"New");
    EXPECT_EQ(MasterList(), L"New;");

    const auto pending = AssociatedOfClass(Calendar().Get(), kPendingRenameClass);
    ASSERT_EQ(pending.size(), 1u);
    ComPtr<IMessage> pMessage;
    ULONG ulType = 0;
    ASSERT_EQ(m_store->OpenEntry(static_cast<ULONG>(pending[0].size()), (LPENTRYID)pending[0].data(), nullptr, 0,
                                 &ulType, reinterpret_cast<IUnknown**>(pMessage.AddressOf())),
              S_OK);
    EXPECT_EQ(GetBinary(pMessage.Get(), PR_PENDING_RENAME_STORE_EID), GetBinary(m_store.Get(), PR_STORE_ENTRYID));

    ASSERT_EQ(tag.UpdateMCLFollowingOSVTagDelete(), S_OK);
    OutlookCategories after(m_store.Get());
    ASSERT_EQ(after.Load(), S_OK);
    EXPECT_EQ(after.GetCount(), 0u);
    EXPECT_EQ(MasterList(), L"");
    TagCache empty(m_store.Get());
    empty.Initialize();
    EXPECT_TRUE(empty.GetTagList().empty());
}

TEST(TagSyncExclusionTest, PrefixesFromTheSettingOrTheDefault) {
    TestSupport::TempHome home;
    const TagSyncExclusionList byDefault;
    EXPECT_TRUE(byDefault.IsExcluded(L"[crm] parent record 12"));
    EXPECT_FALSE(byDefault.IsExcluded(L"[CRM] Parent"));
    const TagSyncExclusionList two(L"a;Q");
    EXPECT_TRUE(two.IsExcluded(L"Apple"));
    EXPECT_TRUE(two.IsExcluded(L"quince"));
    EXPECT_FALSE(two.IsExcluded(L"banana"));
    EXPECT_FALSE(two.IsExcluded(L"[CRM] Parent record"));
    Ostrel::Util::RegUtil reg(L"SyncExcludeTagPrefixes", KEY_ALL_ACCESS);
    ASSERT_EQ(reg.CreateKey(), ERROR_SUCCESS);
    ASSERT_EQ(reg.SetValue(std::wstring(L"x;")), ERROR_SUCCESS);
    const TagSyncExclusionList fromRegistry;
    EXPECT_TRUE(fromRegistry.IsExcluded(L"X-ray"));
    EXPECT_FALSE(fromRegistry.IsExcluded(L"[CRM] Parent record"));
}

}  // namespace
