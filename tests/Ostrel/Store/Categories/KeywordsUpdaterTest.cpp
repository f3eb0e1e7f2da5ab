#include <future>

#include "CategoriesTestUtil.h"
#include "Ostrel/Store/Categories/CategoryList.h"
#include "Ostrel/Store/Categories/KeywordsUpdater.h"
#include "Ostrel/Store/Categories/TagAssocMsg.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Ostrel/Store/NamedProps.h"
#include "Support/Wait.h"
#include "Util/Time/Clock.h"

using namespace Ostrel::Mapi;
using namespace CategoriesTest;

namespace {

using Keywords = std::vector<std::wstring>;

TEST(SearchCompletionTest, ACompletionDuringTheStartIsNotLost) {
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    ComPtr<SearchCompletion> pCompletion;
    pCompletion.Attach(new SearchCompletion);
    pCompletion->Signal();  // left over from an earlier search
    // The store reports completion before the start call returns.
    auto wait = std::async(std::launch::async, [&] {
        return StartSearchAndWait(
            *pCompletion,
            [&] {
                pCompletion->Signal();
                return S_OK;
            },
            kSearchCompleteTimeoutMs);
    });
    const bool bPrompt = wait.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!bPrompt)
        clock.Advance(kSearchCompleteTimeoutMs + 1);
    EXPECT_TRUE(bPrompt) << "the completion was lost and the wait ran into its time-out";
    EXPECT_EQ(wait.get(), S_OK);

    // A completion from before the start does not count, and no completion is a time-out.
    pCompletion->Signal();
    auto lost = std::async(std::launch::async, [&] {
        return StartSearchAndWait(
            *pCompletion, [] { return S_OK; }, kSearchCompleteTimeoutMs);
    });
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return clock.GetWaiterCount() != 0; }))
        << "the search never waited for its completion";
    clock.Advance(kSearchCompleteTimeoutMs + 1);
    EXPECT_EQ(lost.get(), MAPI_E_TIMEOUT);
}

class KeywordsUpdaterTest : public StoreFixture {
protected:
    ULONG KeywordsTag() {
        return NAMED_PROP(NamedProps::KEYWORDS, PT_MV_UNICODE,
                          NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get()));
    }
    std::string NewItem(IMAPIFolder* pFolder, Keywords keywords) {
        ComPtr<IMessage> pMessage;
        EXPECT_EQ(pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf()), S_OK);
        std::vector<wchar_t*> pointers;
        for (std::wstring& ws : keywords)
            pointers.push_back(ws.data());
        SPropValue value{};
        value.ulPropTag = KeywordsTag();
        value.Value.MVszW = {static_cast<ULONG>(pointers.size()), pointers.data()};
        if (!keywords.empty()) {
            EXPECT_EQ(HrSetOneProp(pMessage.Get(), &value), S_OK);
        }
        EXPECT_EQ(pMessage->SaveChanges(0), S_OK);
        return GetBinary(pMessage.Get(), PR_ENTRYID);
    }
    Keywords ItemKeywords(const std::string& sId) {
        ComPtr<IMessage> pMessage;
        ULONG ulType = 0;
        EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(sId.size()), (LPENTRYID)sId.data(), nullptr, 0, &ulType,
                                     reinterpret_cast<IUnknown**>(pMessage.AddressOf())),
                  S_OK);
        Keywords out;
        LPSPropValue pValue = nullptr;
        if (SUCCEEDED(HrGetOneProp(pMessage.Get(), KeywordsTag(), &pValue)))
            for (ULONG i = 0; i < pValue->Value.MVszW.cValues; ++i)
                out.push_back(pValue->Value.MVszW.lppszW[i]);
        MAPIFreeBuffer(pValue);
        return out;
    }
    void RenameTag(const wchar_t* pwszOld, const wchar_t* pwszNew) {
        TagCache cache(m_store.Get());
        cache.Initialize();
        CEntryID id;
        ASSERT_TRUE(cache.TagEntryID(pwszOld, id));
        TagAssocMsg tag(static_cast<SBinary*>(id), m_store.Get());
        ASSERT_EQ(tag.UpdateTagAssocMsgAndMCLAndDependentMsgs(pwszNew, 1), S_OK);
    }
};

TEST_F(KeywordsUpdaterTest, RenameReachesEveryItemOnceAndOnlyTheFirstMatch) {
    ASSERT_EQ(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(3, L"Old", 0, nullptr, m_store.Get()), S_OK);
    ComPtr<IMAPIFolder> pSub;
    ASSERT_EQ(IpmSubtree()->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"Projects", nullptr, nullptr, MAPI_UNICODE,
                                         pSub.AddressOf()),
              S_OK);
    ComPtr<IMAPIFolder> pDeep;
    ASSERT_EQ(pSub->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"Deep", nullptr, nullptr, MAPI_UNICODE, pDeep.AddressOf()),
              S_OK);
    const std::string plain = NewItem(pSub.Get(), {L"Old"});
    const std::string otherCase = NewItem(pDeep.Get(), {L"x", L"OLD"});
    const std::string twice = NewItem(pSub.Get(), {L"Old", L"old"});
    const std::string hasNew = NewItem(pSub.Get(), {L"New", L"Old"});
    const std::string unrelated = NewItem(pSub.Get(), {L"Older"});
    const std::string none = NewItem(pDeep.Get(), {});

    RenameTag(L"Old", L"New");
    CKeywordsUpdater& updater = CKeywordsUpdater::GetInstance();
    ASSERT_EQ(updater.Start(m_store.Get()), S_OK);
    updater.WaitForShutdown();

    EXPECT_EQ(ItemKeywords(plain), (Keywords{L"New"}));
    EXPECT_EQ(ItemKeywords(otherCase), (Keywords{L"x", L"New"}));
    EXPECT_EQ(ItemKeywords(twice), (Keywords{L"New", L"old"}));
    EXPECT_EQ(ItemKeywords(hasNew), (Keywords{L"New"}));
    EXPECT_EQ(ItemKeywords(unrelated), (Keywords{L"Older"}));
    EXPECT_TRUE(ItemKeywords(none).empty());
    EXPECT_TRUE(AssociatedOfClass(Calendar().Get(), kPendingRenameClass).empty());
    // The search folder is gone again.
    ComPtr<IMAPIFolder> pFinder = OpenFolder(GetBinary(m_store.Get(), PR_FINDER_ENTRYID));
    ComPtr<IMAPIFolder> pSearch;
    EXPECT_EQ(pFinder->CreateFolder(FOLDER_SEARCH, (LPTSTR)kTagRenameSearchFolder, nullptr, nullptr, MAPI_UNICODE,
                                    pSearch.AddressOf()),
              S_OK);
}

TEST_F(KeywordsUpdaterTest, PendingRenameWithoutItsStoreIsKeptAndRenamesChainInOrder) {
    ASSERT_EQ(TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(3, L"A", 0, nullptr, m_store.Get()), S_OK);
    const std::string item = NewItem(IpmSubtree().Get(), {L"A"});
    RenameTag(L"A", L"B");
    RenameTag(L"B", L"C");
    EXPECT_EQ(AssociatedOfClass(Calendar().Get(), kPendingRenameClass).size(), 2u);
    CKeywordsUpdater& updater = CKeywordsUpdater::GetInstance();
    ASSERT_EQ(updater.Start(m_store.Get()), S_OK);
    updater.WaitForShutdown();
    EXPECT_EQ(ItemKeywords(item), (Keywords{L"C"}));

    // A pending rename that names no readable store stays for a later run.
    ComPtr<IMessage> pBad;
    ASSERT_EQ(Calendar()->CreateMessage(nullptr, MAPI_ASSOCIATED, pBad.AddressOf()), S_OK);
    SPropValue cls{};
    cls.ulPropTag = PR_MESSAGE_CLASS_W;
    cls.Value.lpszW = const_cast<wchar_t*>(kPendingRenameClass);
    ASSERT_EQ(HrSetOneProp(pBad.Get(), &cls), S_OK);
    ASSERT_EQ(pBad->SaveChanges(0), S_OK);
    EXPECT_EQ(updater.DoRenameCategories(m_store.Get()), 0);
    EXPECT_EQ(AssociatedOfClass(Calendar().Get(), kPendingRenameClass).size(), 1u);
}

}  // namespace
