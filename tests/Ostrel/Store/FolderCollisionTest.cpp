// Creating and renaming the folders of server folders when another folder holds the name, in any
// letter case: local folders step aside, folders of other server ids make ours take a number.
#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/StoreFolders.h"
#include "StoreTestUtil.h"
#include "Util/Log/Log.h"

namespace StoreTest {
namespace {

using Ostrel::Mapi::CreateOrOpenFolderWithCollisionRename;
using Ostrel::Mapi::Folder;
using Ostrel::Mapi::OstrelFolderMailItem;
using Ostrel::Mapi::RenameFolder;

class FolderCollisionTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        // A parent of its own, so that only the folders of the test are below it.
        m_pParent = NewFolder(IpmSubtree().Get(), L"Sync");
    }

    ComPtr<IMAPIFolder> ServerFolder(const std::wstring& wsName, LONG lId, int* pbChanged = nullptr) {
        int bChanged = -1;
        ComPtr<IMAPIFolder> pFolder;
        pFolder.Attach(
            CreateOrOpenFolderWithCollisionRename(m_store.Get(), m_pParent.Get(), wsName.c_str(), lId, bChanged));
        if (pbChanged)
            *pbChanged = bChanged;
        return pFolder;
    }

    ComPtr<IMAPIFolder> LocalFolder(const std::wstring& wsName) {
        ComPtr<IMAPIFolder> pFolder = NewFolder(m_pParent.Get(), wsName);
        EXPECT_EQ(Folder(pFolder.Get(), m_store.Get()).SetLocalFolder(1, 0), S_OK);
        return pFolder;
    }

    LONG IdOf(IMAPIFolder* pFolder) { return OstrelFolderMailItem(pFolder, m_pParent.Get()).OstrelId(); }

    ComPtr<IMAPIFolder> m_pParent;
};

TEST_F(FolderCollisionTest, NewServerFolderIsCreatedStampedAndFoundAgain) {
    int bChanged = -1;
    ComPtr<IMAPIFolder> pFolder = ServerFolder(L"Projects", 100, &bChanged);
    ASSERT_TRUE(pFolder);
    EXPECT_EQ(bChanged, 0);
    EXPECT_EQ(IdOf(pFolder.Get()), 100);
    const std::string sEntryId = EntryId(pFolder.Get());

    // The same server folder again, in another case: the folder that is there is handed back.
    ComPtr<IMAPIFolder> pAgain = ServerFolder(L"PROJECTS", 100, &bChanged);
    ASSERT_TRUE(pAgain);
    EXPECT_EQ(bChanged, 0);
    EXPECT_EQ(EntryId(pAgain.Get()), sEntryId);
    EXPECT_EQ(SubfolderNames(m_pParent.Get()).size(), 1u);

    // A folder that holds the name but carries no server id is taken over.
    ComPtr<IMAPIFolder> pPlain = NewFolder(m_pParent.Get(), L"Plain");
    ComPtr<IMAPIFolder> pTaken = ServerFolder(L"plain", 101, &bChanged);
    ASSERT_TRUE(pTaken);
    EXPECT_EQ(EntryId(pTaken.Get()), EntryId(pPlain.Get()));
    EXPECT_EQ(IdOf(pPlain.Get()), 101);
}

TEST_F(FolderCollisionTest, LocalFolderStepsAsideToTheSmallestFreeNumber) {
    ComPtr<IMAPIFolder> pLocal = LocalFolder(L"projects");
    LocalFolder(L"PROJECTS1");
    int bChanged = -1;
    ComPtr<IMAPIFolder> pServer = ServerFolder(L"Projects", 200, &bChanged);
    ASSERT_TRUE(pServer);
    EXPECT_EQ(bChanged, 0);
    EXPECT_EQ(GetString(pServer.Get(), PR_DISPLAY_NAME_W), L"Projects");
    EXPECT_EQ(IdOf(pServer.Get()), 200);
    EXPECT_EQ(GetString(pLocal.Get(), PR_DISPLAY_NAME_W), L"Projects2");
    EXPECT_TRUE(Folder(pLocal.Get(), m_store.Get()).IsLocalFolder());

    // Once the server folder is gone the local folder can have its name back.
    Folder parent(m_pParent.Get(), m_store.Get());
    const std::string sServer = EntryId(pServer.Get());
    pServer.Reset();
    ASSERT_EQ(parent.DeleteFolder(static_cast<ULONG>(sServer.size()), (ENTRYID*)sServer.data()), S_OK);
    EXPECT_EQ(Folder(pLocal.Get(), m_store.Get()).RestoreOriginalName(), S_OK);
    EXPECT_EQ(GetString(pLocal.Get(), PR_DISPLAY_NAME_W), L"projects");
    EXPECT_EQ(Folder(pLocal.Get(), m_store.Get()).RestoreOriginalName(), S_FALSE);
}

TEST_F(FolderCollisionTest, FolderOfAnotherServerIdMakesOursTakeANumber) {
    ComPtr<IMAPIFolder> pFirst = ServerFolder(L"Shared", 300);
    ServerFolder(L"shared1", 301);
    int bChanged = -1;
    ComPtr<IMAPIFolder> pOurs = ServerFolder(L"SHARED", 302, &bChanged);
    ASSERT_TRUE(pOurs);
    EXPECT_EQ(bChanged, 1);
    EXPECT_EQ(GetString(pOurs.Get(), PR_DISPLAY_NAME_W), L"SHARED2");
    EXPECT_EQ(IdOf(pOurs.Get()), 302);
    EXPECT_EQ(GetString(pFirst.Get(), PR_DISPLAY_NAME_W), L"Shared");
    EXPECT_EQ(IdOf(pFirst.Get()), 300);
    // Asked again, the same folder is found under its numbered name.
    ComPtr<IMAPIFolder> pAgain = ServerFolder(L"SHARED", 302, &bChanged);
    ASSERT_TRUE(pAgain);
    EXPECT_EQ(EntryId(pAgain.Get()), EntryId(pOurs.Get()));
    EXPECT_EQ(SubfolderNames(m_pParent.Get()), (std::vector<std::wstring>{L"SHARED2", L"Shared", L"shared1"}));
}

TEST_F(FolderCollisionTest, RenamingFollowsTheSameRule) {
    ComPtr<IMAPIFolder> pOurs = ServerFolder(L"Alpha", 400);
    ComPtr<IMAPIFolder> pLocal = LocalFolder(L"beta");
    ServerFolder(L"Gamma", 401);
    int bChanged = 0;
    ComPtr<IMAPIFolder> pRenamed;
    ASSERT_EQ(RenameFolder(m_store.Get(), pOurs.Get(), L"Beta", bChanged, pRenamed.AddressOf()), S_OK);
    EXPECT_EQ(bChanged, 0);
    EXPECT_EQ(GetString(pOurs.Get(), PR_DISPLAY_NAME_W), L"Beta");
    EXPECT_EQ(GetString(pLocal.Get(), PR_DISPLAY_NAME_W), L"Beta1");

    ASSERT_EQ(RenameFolder(m_store.Get(), pOurs.Get(), L"gamma", bChanged, pRenamed.AddressOf()), S_OK);
    EXPECT_EQ(bChanged, 1);
    EXPECT_EQ(GetString(pOurs.Get(), PR_DISPLAY_NAME_W), L"gamma1");
    // A change of case alone is a rename of the folder itself.
    ASSERT_EQ(RenameFolder(m_store.Get(), pOurs.Get(), L"GAMMA1", bChanged, pRenamed.AddressOf()), S_OK);
    EXPECT_EQ(GetString(pOurs.Get(), PR_DISPLAY_NAME_W), L"GAMMA1");
}

TEST_F(FolderCollisionTest, BadArgumentsFailWithTheirLogLines) {
    Ostrel::Util::LogCapture capture;
    int bChanged = 0;
    EXPECT_EQ(CreateOrOpenFolderWithCollisionRename(m_store.Get(), m_pParent.Get(), nullptr, 5, bChanged), nullptr);
    EXPECT_TRUE(capture.Contains(L"null folder name for id(5)"));
    ComPtr<IMAPIFolder> pOut;
    EXPECT_EQ(
        Ostrel::Mapi::CreateNonlocalFolder(m_store.Get(), m_pParent.Get(), nullptr, 6, bChanged, pOut.AddressOf()),
        E_INVALIDARG);
    EXPECT_TRUE(capture.Contains(L"Error - null folder name for id(6)"));
    // No folder holds the name: the collision cannot be explained.
    EXPECT_EQ(
        Ostrel::Mapi::CreateNonlocalFolder(m_store.Get(), m_pParent.Get(), L"Nothing", 7, bChanged, pOut.AddressOf()),
        E_FAIL);
    EXPECT_TRUE(capture.Contains(L"no subfolders of the parent so no reason why there was a conflict"));
}

}  // namespace
}  // namespace StoreTest
