#include "CategoriesTestUtil.h"
#include "Ostrel/Store/Categories/CategoryList.h"
#include "Util/Time/Clock.h"

using namespace Ostrel::Mapi;
using namespace CategoriesTest;

namespace {

class CategoryListTest : public StoreFixture {
protected:
    std::string StoredList() {
        OutlookCategories list(m_store.Get());
        ComPtr<IMessage> pMessage;
        EXPECT_EQ(list.GetMCLMsg(pMessage.AddressOf()), S_OK);
        return ReadStream(pMessage.Get(), PR_ROAMING_XML_STREAM);
    }
};

OutlookCategory MakeCategory(const std::wstring& wsName, const wchar_t* pwszGuid, unsigned uColor) {
    OutlookCategory category;
    category.SetName(wsName);
    category.SetGuid(pwszGuid);
    category.SetColor(uColor);
    return category;
}

TEST_F(CategoryListTest, FirstOpenCreatesTheEmptyListExactly) {
    OutlookCategories list(m_store.Get());
    ASSERT_EQ(list.Load(), S_OK);
    EXPECT_EQ(list.GetCount(), 0u);
    const std::string stored = StoredList();
    EXPECT_EQ(stored.size(), 138u);
    EXPECT_EQ(stored, EmptyCategoryListXml());
    ComPtr<IMessage> pMessage;
    ASSERT_EQ(list.GetMCLMsg(pMessage.AddressOf()), S_OK);
    LPSPropValue pValue = nullptr;
    ASSERT_EQ(HrGetOneProp(pMessage.Get(), PR_ROAMING_DATATYPES, &pValue), S_OK);
    EXPECT_EQ(pValue->Value.l, 2);
    MAPIFreeBuffer(pValue);
    // A second open finds the same message rather than making another.
    OutlookCategories again(m_store.Get());
    ASSERT_EQ(again.Load(), S_OK);
    EXPECT_EQ(AssociatedOfClass(Calendar().Get(), kCategoryListClass).size(), 1u);
}

TEST_F(CategoryListTest, NamesSurviveAndTheListReadsBackByteExact) {
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    const std::wstring wsSpecial = L"A&B <c> \"q\" 'x'\ttab\r\nline \U0001F600 \u00E9";
    {
        OutlookCategories list(m_store.Get());
        ASSERT_EQ(list.Load(), S_OK);
        OutlookCategory a = MakeCategory(wsSpecial, L"{11111111-2222-3333-4444-555555555555}", 3);
        OutlookCategory b = MakeCategory(L"Plain", L"{AAAAAAAA-2222-3333-4444-555555555555}", 30);
        list.Add(&a);
        list.Add(&b);
        ASSERT_EQ(list.Save(), S_OK);
    }
    const std::string stored = StoredList();
    EXPECT_NE(stored.find("lastSavedTime=\"2024-01-01T00:00:00.000\""), std::string::npos) << stored;
    EXPECT_NE(stored.find("<category color=\"3\" name=\"A&amp;B &lt;c&gt; &quot;q&quot; 'x'&#x9;tab&#xD;&#xA;line "
                          "\xF0\x9F\x98\x80 \xC3\xA9\" guid=\"{11111111-2222-3333-4444-555555555555}\" "
                          "keyboardShortcut=\"0\" usageCount=\"0\" lastTimeUsedNotes=\"1601-01-01T00:00:00.000\""),
              std::string::npos)
        << stored;
    // No colour is written as an unsigned value.
    EXPECT_NE(stored.find("color=\"4294967295\" name=\"Plain\""), std::string::npos);

    CategoryListDocument doc;
    ASSERT_EQ(ParseCategoryList(stored, doc), S_OK);
    ASSERT_EQ(doc.categories.size(), 2u);
    EXPECT_EQ(doc.categories[0].GetName(), wsSpecial);
    EXPECT_EQ(doc.categories[0].GetColor(), 3);
    EXPECT_EQ(doc.categories[1].GetColor(), OutlookCategory::kNoColor);
    std::string again;
    ASSERT_EQ(WriteCategoryList(doc, again), S_OK);
    EXPECT_EQ(again, stored);

    OutlookCategories list(m_store.Get());
    ASSERT_EQ(list.Load(), S_OK);
    ASSERT_NE(list.GetByName(L"plain"), nullptr);
    EXPECT_TRUE(list.IsExistGuid(L"{11111111-2222-3333-4444-555555555555}"));
}

TEST_F(CategoryListTest, SaveRewritesChangedEntriesInPlaceAndKeepsUnknownAttributes) {
    const std::string seeded =
        "<?xml version=\"1.0\"?>\r\n<categories lastSavedSession=\"7\" lastSavedTime=\"2020-01-01T00:00:00.000\" "
        "xmlns=\"CategoryList.xsd\">\r\n"
        "<category color=\"1\" name=\"One\" guid=\"{00000000-0000-0000-0000-000000000001}\" usageCount=\"9\" "
        "futureFlag=\"yes\"/>\r\n"
        "<category color=\"2\" name=\"Two\" guid=\"{00000000-0000-0000-0000-000000000002}\"/>\r\n"
        "</categories>\r\n";
    {
        OutlookCategories list(m_store.Get());
        ASSERT_EQ(list.OpenCategoriesMessage(), S_OK);
        ComPtr<IMessage> pMessage;
        ASSERT_EQ(list.GetMCLMsg(pMessage.AddressOf()), S_OK);
        ASSERT_EQ(WriteStream(pMessage.Get(), PR_ROAMING_XML_STREAM, seeded), S_OK);
    }
    OutlookCategories list(m_store.Get());
    ASSERT_EQ(list.Load(), S_OK);
    ASSERT_EQ(list.GetCount(), 2u);
    list.GetByName(L"One")->SetName(L"Uno");
    list.Remove(list.GetByName(L"Two"));
    ASSERT_EQ(list.Save(), S_OK);

    CategoryListDocument doc;
    ASSERT_EQ(ParseCategoryList(StoredList(), doc), S_OK);
    ASSERT_EQ(doc.categories.size(), 1u);
    EXPECT_EQ(doc.categories[0].GetName(), L"Uno");
    const auto attributes = doc.categories[0].Attributes();
    EXPECT_EQ(attributes.size(), 15u);  // the fourteen and the unknown one
    EXPECT_EQ(attributes[4], (std::pair<std::wstring, std::wstring>(L"usageCount", L"9")));
    EXPECT_EQ(attributes.back(), (std::pair<std::wstring, std::wstring>(L"futureFlag", L"yes")));
    EXPECT_EQ(doc.rootAttributes[0], (std::pair<std::wstring, std::wstring>(L"lastSavedSession", L"7")));
}

TEST_F(CategoryListTest, DamagedListIsKeptAsideAndRebuiltFromTheTags) {
    const std::string damaged = "<?xml version=\"1.0\"?>\r\n<categories><category name=\"Lost";
    {
        OutlookCategories list(m_store.Get());
        ComPtr<IMessage> pMessage;
        ASSERT_EQ(list.GetMCLMsg(pMessage.AddressOf()), S_OK);
        ASSERT_EQ(WriteStream(pMessage.Get(), PR_ROAMING_XML_STREAM, damaged), S_OK);
    }
    OutlookCategories list(m_store.Get());
    EXPECT_EQ(list.Load(), MAPI_W_ERRORS_RETURNED);
    const auto kept = AssociatedOfClass(Calendar().Get(), L"IPM.Configuration.CategoryList.Damaged");
    ASSERT_EQ(kept.size(), 1u);
    ComPtr<IMessage> pKept;
    ULONG ulType = 0;
    ASSERT_EQ(m_store->OpenEntry(static_cast<ULONG>(kept[0].size()), (LPENTRYID)kept[0].data(), nullptr, 0, &ulType,
                                 reinterpret_cast<IUnknown**>(pKept.AddressOf())),
              S_OK);
    EXPECT_EQ(ReadStream(pKept.Get(), PR_ROAMING_XML_STREAM), damaged);
    CategoryListDocument doc;
    EXPECT_EQ(ParseCategoryList(StoredList(), doc), S_OK);
    // A save on the damaged list would have replaced it; the rebuilt one is whole again.
    EXPECT_EQ(list.Save(), S_OK);
}

TEST(CategoryColorTest, TagColoursAndNearestCategoryColour) {
    EXPECT_EQ(OstrelTagColorIDToRGB(0), 0xFFFFFFFFu);
    EXPECT_EQ(OstrelTagColorIDToRGB(10), 0xFFFFFFFFu);
    EXPECT_EQ(OstrelTagColorIDToRGB(5), 0x1717E5u);
    EXPECT_EQ(NearestCategoryColor(0x7C71EF), 0);
    EXPECT_EQ(NearestCategoryColor(0x73458C), 24);
    // 0x1717E5 is a red nearest to 0x2820BD (15).
    EXPECT_EQ(NearestCategoryColor(0x1717E5), 15);
    // Between 2 (0x73D8FF) and 3 (0x7FFFFF), a little nearer 2.
    OutlookCategory category;
    category.SetColorFromTagColorRGB(0x79EBFF);
    EXPECT_EQ(category.GetColor(), 2);
    EXPECT_FALSE(category.IsDirty());
    EXPECT_EQ(category.GetCatColorRGB(), 0x73D8FFu);
}

TEST(CategoryXmlTest, RejectsWhatIsNotAList) {
    CategoryListDocument doc;
    EXPECT_EQ(ParseCategoryList("", doc), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(ParseCategoryList("<other/>", doc), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(ParseCategoryList("<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><categories/>", doc),
              MAPI_E_CORRUPT_DATA);
    OutlookCategory bad;
    bad.SetName(std::wstring(L"ctl") + L'\x01');
    bad.SetGuid(L"{00000000-0000-0000-0000-000000000001}");
    doc.categories = {bad};
    std::string out;
    EXPECT_EQ(WriteCategoryList(doc, out), E_INVALIDARG);
}

}  // namespace
