// The connector's special folders and stores, and the diagnostics written into the log.
#include "Ostrel/Store/Diagnostics.h"
#include "Ostrel/Store/StoreFolders.h"
#include "StoreTestUtil.h"
#include "Util/Log/Log.h"

namespace StoreTest {
namespace {

using namespace Ostrel::Mapi;

using SpecialFoldersTest = StoreFixture;

TEST_F(SpecialFoldersTest, ConnectorFoldersBelowTheRoot) {
    ComPtr<IMAPIFolder> pRoot;
    pRoot.Attach(GetRootFolder(m_store.Get()));
    ASSERT_TRUE(pRoot);
    EXPECT_EQ(GetOstrelFolder(m_store.Get(), kTagFolderName), nullptr);
    ComPtr<IMAPIFolder> pTags, pAgain, pConversations, pFound;
    pTags.Attach(GetTagFolder(m_store.Get()));
    pAgain.Attach(GetTagFolder(m_store.Get()));
    pConversations.Attach(GetConversationFolder(m_store.Get()));
    ASSERT_TRUE(pTags && pAgain && pConversations);
    EXPECT_EQ(EntryId(pTags.Get()), EntryId(pAgain.Get()));
    EXPECT_NE(EntryId(pTags.Get()), EntryId(pConversations.Get()));
    pFound.Attach(GetOstrelFolder(m_store.Get(), L"~ostreltags"));
    ASSERT_TRUE(pFound);
    EXPECT_EQ(EntryId(pFound.Get()), EntryId(pTags.Get()));
}

TEST_F(SpecialFoldersTest, StoreMarkersAndThePrimaryStore) {
    EXPECT_FALSE(IsPrimaryOstrelStore(m_store.Get()));
    EXPECT_FALSE(IsBESConfigInitialized(m_store.Get()));
    NamedProps* pProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get());
    SPropValue v{pProps->GetPropTag(NamedProps::BES_CONFIG_INITIALIZED, PT_BOOLEAN), 0, {}};
    v.Value.b = 1;
    ASSERT_EQ(HrSetOneProp(m_store.Get(), &v), S_OK);
    ASSERT_EQ(m_store->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_TRUE(IsBESConfigInitialized(m_store.Get()));

    // A profile with two stores: the one with the marker is the primary store.
    ASSERT_EQ(Platform::MapiCreateProfile(L"Main", true), S_OK);
    MAPIUID service{}, provider{};
    ASSERT_EQ(Platform::MapiAddService(L"Main", L"OSTREL", L"Ostrel", &service), S_OK);
    ASSERT_EQ(Platform::MapiAddStore(L"Main", service, L"Other", m_home.Path() / "other.osd", true, &provider), S_OK);
    ASSERT_EQ(Platform::MapiAddStore(L"Main", service, L"Primary", m_path, false, &provider), S_OK);
    ComPtr<IMsgStore> pPrimary;
    EXPECT_EQ(GetPrimaryStore(pPrimary.AddressOf(), L"Main"), MAPI_E_NOT_FOUND);
    v.ulPropTag = pProps->GetPropTag(NamedProps::PRIMARY_STORE, PT_BOOLEAN);
    ASSERT_EQ(HrSetOneProp(m_store.Get(), &v), S_OK);
    ASSERT_EQ(m_store->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(GetPrimaryStore(pPrimary.AddressOf(), L"Main"), S_OK);
    EXPECT_EQ(GetBinary(pPrimary.Get(), PR_MAPPING_SIGNATURE), GetBinary(m_store.Get(), PR_MAPPING_SIGNATURE));
    EXPECT_TRUE(IsPrimaryOstrelStore(pPrimary.Get()));
}

TEST_F(SpecialFoldersTest, DiagnosticsGoToTheLog) {
    Ostrel::Util::LogCapture capture;
    ComPtr<IMessage> pMessage = NewMessage(Inbox().Get(), L"diagnosed");
    DumpMessageInfo(pMessage.Get());
    EXPECT_TRUE(capture.Contains(L"diagnosed"));
    DumpFolderInfo(Inbox().Get());
    EXPECT_TRUE(capture.Contains(L"Inbox"));
    DumpStoreInfo(m_store.Get());
    const std::string sEid = EntryId(pMessage.Get());
    DumpPropInfoEntryID(L"message", static_cast<ULONG>(sEid.size()), (const BYTE*)sEid.data());
    EXPECT_TRUE(capture.Contains(L"message: flags 00000000, record key"));
    DumpPropInfoEntryID(L"odd", 3, (const BYTE*)"abc");
    EXPECT_TRUE(capture.Contains(L"odd: 3 bytes 616263"));
    ProcessLastError(pMessage.Get(), MAPI_E_NOT_FOUND, L"OpenEntry", 42);
    EXPECT_TRUE(capture.Contains(L"OpenEntry failed at line 42, hr: 8004010f"));
}

}  // namespace
}  // namespace StoreTest
