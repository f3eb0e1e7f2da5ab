#include "MapiTestUtil.h"

namespace MapiTest {
namespace {

using FolderTest = StoreFixture;

ComPtr<IMAPIFolder> Create(IMAPIFolder* pParent, const wchar_t* pwszName, ULONG ulFlags = 0, HRESULT* pHr = nullptr,
                           ULONG ulType = FOLDER_GENERIC) {
    ComPtr<IMAPIFolder> pFolder;
    HRESULT hr =
        pParent->CreateFolder(ulType, (LPTSTR)pwszName, nullptr, nullptr, MAPI_UNICODE | ulFlags, pFolder.AddressOf());
    if (pHr)
        *pHr = hr;
    else
        EXPECT_EQ(hr, S_OK);
    return pFolder;
}

TEST_F(FolderTest, FolderNamesCollideWithoutRegardToCase) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMAPIFolder> pProjects = Create(pInbox.Get(), L"Projects");
    HRESULT hr;
    ComPtr<IMAPIFolder> pDup = Create(pInbox.Get(), L"PROJECTS", 0, &hr);
    EXPECT_EQ(hr, MAPI_E_COLLISION);
    ComPtr<IMAPIFolder> pSame = Create(pInbox.Get(), L"projects", OPEN_IF_EXISTS, &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(EntryId(pSame.Get()), EntryId(pProjects.Get()));
    // 8-bit names without MAPI_UNICODE.
    ComPtr<IMAPIFolder> pNarrow;
    ASSERT_EQ(pInbox->CreateFolder(FOLDER_GENERIC,
                                   (LPTSTR) "Gr\xC3\xBC\xC3\x9F"
                                            "e",
                                   nullptr, nullptr, 0, pNarrow.AddressOf()),
              S_OK);
    EXPECT_EQ(GetString(pNarrow.Get(), PR_DISPLAY_NAME_W), L"Gr\u00FC\u00DFe");

    // Renaming onto a sibling's name collides too; another name is fine.
    ComPtr<IMAPIFolder> pOther = Create(pInbox.Get(), L"Other");
    EXPECT_EQ(SetString(pOther.Get(), PR_DISPLAY_NAME_W, L"Projects"), MAPI_E_COLLISION);
    EXPECT_EQ(SetString(pOther.Get(), PR_DISPLAY_NAME_W, L"Archive"), S_OK);
    EXPECT_EQ(GetString(pOther.Get(), PR_DISPLAY_NAME_W), L"Archive");
    EXPECT_TRUE(GetLong(pInbox.Get(), PR_SUBFOLDERS));
}

TEST_F(FolderTest, DeleteFolderNeedsFlagsForContents) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMAPIFolder> pParent = Create(pInbox.Get(), L"Parent");
    ComPtr<IMAPIFolder> pChild = Create(pParent.Get(), L"Child");
    ComPtr<IMessage> pMsg = NewMessage(pChild.Get(), L"in child");
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    std::string parentEid = EntryId(pParent.Get());
    std::string childEid = EntryId(pChild.Get());
    EXPECT_EQ(pInbox->DeleteFolder(24, (LPENTRYID)parentEid.data(), 0, nullptr, 0), MAPI_E_HAS_FOLDERS);
    EXPECT_EQ(pParent->DeleteFolder(24, (LPENTRYID)childEid.data(), 0, nullptr, 0), MAPI_E_HAS_MESSAGES);
    EXPECT_EQ(pInbox->DeleteFolder(24, (LPENTRYID)childEid.data(), 0, nullptr, DEL_MESSAGES), MAPI_E_NOT_FOUND);
    ASSERT_EQ(pInbox->DeleteFolder(24, (LPENTRYID)parentEid.data(), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES), S_OK);
    ComPtr<IUnknown> pGone;
    ULONG ulType;
    EXPECT_EQ(m_store->OpenEntry(24, (LPENTRYID)childEid.data(), nullptr, 0, &ulType, pGone.AddressOf()),
              MAPI_E_NOT_FOUND);
    std::string msgEid = EntryId(pMsg.Get());
    EXPECT_EQ(m_store->OpenEntry(24, (LPENTRYID)msgEid.data(), nullptr, 0, &ulType, pGone.AddressOf()),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(GetHr(pParent.Get(), PR_DISPLAY_NAME_W), MAPI_E_OBJECT_DELETED);
}

TEST_F(FolderTest, MessagesMoveAndCopyBetweenFolders) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMAPIFolder> pArchive = Create(pInbox.Get(), L"Archive");
    std::vector<std::string> eids;
    for (int i = 0; i < 3; ++i) {
        ComPtr<IMessage> pMsg = NewMessage(pInbox.Get(), L"m" + std::to_wstring(i));
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
        eids.push_back(EntryId(pMsg.Get()));
    }
    SBinary bins[2] = {{24, (LPBYTE)eids[0].data()}, {24, (LPBYTE)eids[1].data()}};
    ENTRYLIST list{2, bins};
    ASSERT_EQ(pInbox->CopyMessages(&list, nullptr, pArchive.Get(), 0, nullptr, MESSAGE_MOVE), S_OK);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 1);
    EXPECT_EQ(GetLong(pArchive.Get(), PR_CONTENT_COUNT), 2);
    EXPECT_EQ(GetBinary(OpenMessage(eids[0], 0).Get(), PR_PARENT_ENTRYID), EntryId(pArchive.Get()));

    // Moved entries are no longer in the Inbox: a partial completion.
    SBinary mixed[2] = {{24, (LPBYTE)eids[0].data()}, {24, (LPBYTE)eids[2].data()}};
    ENTRYLIST mixedList{2, mixed};
    EXPECT_EQ(pInbox->CopyMessages(&mixedList, nullptr, pArchive.Get(), 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(GetLong(pArchive.Get(), PR_CONTENT_COUNT), 3);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 1);
    EXPECT_EQ(pArchive->DeleteMessages(&mixedList, 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
    EXPECT_EQ(GetLong(pArchive.Get(), PR_CONTENT_COUNT), 2);

    // Folders move with their contents, but never into themselves.
    std::string archiveEid = EntryId(pArchive.Get());
    ComPtr<IMAPIFolder> pDrafts = OpenFolderByProp(PR_IPM_DRAFTS_ENTRYID, pInbox.Get());
    ASSERT_EQ(
        pInbox->CopyFolder(24, (LPENTRYID)archiveEid.data(), nullptr, pDrafts.Get(), nullptr, 0, nullptr, FOLDER_MOVE),
        S_OK);
    EXPECT_EQ(GetBinary(pArchive.Get(), PR_PARENT_ENTRYID), EntryId(pDrafts.Get()));
    ComPtr<IMAPIFolder> pSub = Create(pArchive.Get(), L"Sub");
    EXPECT_EQ(
        pDrafts->CopyFolder(24, (LPENTRYID)archiveEid.data(), nullptr, pSub.Get(), nullptr, 0, nullptr, FOLDER_MOVE),
        MAPI_E_FOLDER_CYCLE);
    ASSERT_EQ(pDrafts->CopyFolder(24, (LPENTRYID)archiveEid.data(), nullptr, pInbox.Get(), (LPTSTR)L"Archive copy", 0,
                                  nullptr, MAPI_UNICODE | COPY_SUBFOLDERS),
              S_OK);
    ComPtr<IMAPITable> pHierarchy;
    ASSERT_EQ(pInbox->GetHierarchyTable(CONVENIENT_DEPTH, pHierarchy.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pHierarchy.Get()), 2u);  // the copy and its subfolder
}

TEST_F(FolderTest, EmptyFolderKeepsAssociatedMessagesUnlessAsked) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMessage> pNormal = NewMessage(pInbox.Get(), L"normal");
    ASSERT_EQ(pNormal->SaveChanges(0), S_OK);
    ComPtr<IMessage> pAssoc = NewMessage(pInbox.Get(), L"hidden", MAPI_ASSOCIATED);
    ASSERT_EQ(pAssoc->SaveChanges(0), S_OK);
    Create(pInbox.Get(), L"Sub");
    EXPECT_EQ(GetLong(pInbox.Get(), PR_ASSOC_CONTENT_COUNT), 1);
    ComPtr<IMAPITable> pAssocTable;
    ASSERT_EQ(pInbox->GetContentsTable(MAPI_ASSOCIATED, pAssocTable.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pAssocTable.Get()), 1u);
    EXPECT_TRUE(GetLong(OpenMessage(EntryId(pAssoc.Get()), 0).Get(), PR_MESSAGE_FLAGS) & MSGFLAG_ASSOCIATED);

    ASSERT_EQ(pInbox->EmptyFolder(0, nullptr, 0), S_OK);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 0);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_FOLDER_CHILD_COUNT), 0);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_ASSOC_CONTENT_COUNT), 1);
    ASSERT_EQ(pInbox->EmptyFolder(0, nullptr, DEL_ASSOCIATED), S_OK);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_ASSOC_CONTENT_COUNT), 0);
}

TEST_F(FolderTest, ReceiveFoldersMatchClassPrefixes) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMAPIFolder> pReports = Create(pInbox.Get(), L"Reports");
    std::string eid = EntryId(pReports.Get());
    ASSERT_EQ(m_store->SetReceiveFolder((LPTSTR)L"IPM.Note.Report", MAPI_UNICODE, 24, (LPENTRYID)eid.data()), S_OK);
    auto lookup = [&](const wchar_t* pwszClass, std::wstring* pExplicit) {
        ULONG cb = 0;
        MapiBuf<ENTRYID> found;
        MapiBuf<wchar_t> explicitClass;
        EXPECT_EQ(m_store->GetReceiveFolder((LPTSTR)pwszClass, MAPI_UNICODE, &cb, &found, (LPTSTR*)&explicitClass),
                  S_OK);
        *pExplicit = explicitClass.p;
        return std::string(reinterpret_cast<const char*>(found.p), cb);
    };
    std::wstring explicitClass;
    EXPECT_EQ(lookup(L"IPM.Note.Report.Delivered", &explicitClass), eid);
    EXPECT_EQ(explicitClass, L"IPM.NOTE.REPORT");
    EXPECT_EQ(lookup(L"IPM.Note.Reporting", &explicitClass), EntryId(pInbox.Get()));
    EXPECT_EQ(explicitClass, L"IPM");
    EXPECT_EQ(m_store->SetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, 0, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST_F(FolderTest, SearchFoldersFindMessagesInTheirScope) {
    ComPtr<IMAPIFolder> pFinder = OpenFolderByProp(PR_FINDER_ENTRYID);
    ComPtr<IMAPIFolder> pSearch = Create(pFinder.Get(), L"Find", 0, nullptr, FOLDER_SEARCH);
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMAPIFolder> pSub = Create(pInbox.Get(), L"Sub");
    for (auto [pFolder, subject] : {std::pair{pInbox.Get(), L"alpha one"}, std::pair{pSub.Get(), L"alpha two"},
                                    std::pair{pInbox.Get(), L"beta"}}) {
        ComPtr<IMessage> pMsg = NewMessage(pFolder, subject);
        ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    }
    SPropValue value{PR_SUBJECT_W, 0, {}};
    value.Value.lpszW = const_cast<wchar_t*>(L"ALPHA");
    SRestriction res{RES_CONTENT, {}};
    res.res.resContent = {FL_PREFIX | FL_IGNORECASE, PR_SUBJECT_W, &value};
    std::string inboxEid = EntryId(pInbox.Get());
    SBinary scope{24, (LPBYTE)inboxEid.data()};
    ENTRYLIST scopeList{1, &scope};
    ComPtr<IMessage> pNoSearch;
    EXPECT_EQ(pSearch->CreateMessage(nullptr, 0, pNoSearch.AddressOf()), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(pInbox->SetSearchCriteria(&res, &scopeList, 0), MAPI_E_NO_SUPPORT);

    ASSERT_EQ(pSearch->SetSearchCriteria(&res, &scopeList, SHALLOW_SEARCH), S_OK);
    EXPECT_EQ(GetLong(pSearch.Get(), PR_CONTENT_COUNT), 1);
    ASSERT_EQ(pSearch->SetSearchCriteria(nullptr, nullptr, RECURSIVE_SEARCH | RESTART_SEARCH), S_OK);
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pSearch->GetContentsTable(0, pTable.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pTable.Get()), 2u);

    MapiBuf<SRestriction> got;
    MapiBuf<SBinaryArray> gotScope;
    ULONG ulState = 0;
    ASSERT_EQ(pSearch->GetSearchCriteria(0, &got, &gotScope, &ulState), S_OK);
    EXPECT_EQ(got->rt, RES_CONTENT);
    EXPECT_STREQ(got->res.resContent.lpProp->Value.lpszW, L"ALPHA");
    ASSERT_EQ(gotScope->cValues, 1u);
    EXPECT_EQ(std::string((char*)gotScope->lpbin[0].lpb, 24), inboxEid);
    EXPECT_TRUE(ulState & SEARCH_RECURSIVE);
}

}  // namespace
}  // namespace MapiTest
