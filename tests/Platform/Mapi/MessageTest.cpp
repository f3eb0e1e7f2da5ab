#include "MapiTestUtil.h"

#include <cstdlib>
#include <cwchar>

#include "Platform/Mapi/MapiGuids.h"

namespace MapiTest {
namespace {

using MessageTest = StoreFixture;

ADRLIST* MakeAdrList(const std::vector<std::pair<std::wstring, LONG>>& recips) {
    void* p = nullptr;
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(recips.size())), &p);
    auto* pList = static_cast<ADRLIST*>(p);
    pList->cEntries = static_cast<ULONG>(recips.size());
    for (size_t i = 0; i < recips.size(); ++i) {
        void* pv = nullptr;
        MAPIAllocateBuffer(2 * sizeof(SPropValue), &pv);
        auto* pProps = static_cast<LPSPropValue>(pv);
        void* pText = nullptr;
        MAPIAllocateMore(static_cast<ULONG>((recips[i].first.size() + 1) * sizeof(wchar_t)), pv, &pText);
        wcscpy(static_cast<wchar_t*>(pText), recips[i].first.c_str());
        pProps[0].ulPropTag = PR_DISPLAY_NAME_W;
        pProps[0].Value.lpszW = static_cast<wchar_t*>(pText);
        pProps[1].ulPropTag = PR_RECIPIENT_TYPE;
        pProps[1].Value.l = recips[i].second;
        pList->aEntries[i] = {0, 2, pProps};
    }
    return pList;
}

std::vector<std::wstring> RecipientNames(IMessage* pMsg) {
    ComPtr<IMAPITable> pTable;
    EXPECT_EQ(pMsg->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_W, PR_ROWID}};
    RowsHolder rows;
    EXPECT_EQ(HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, nullptr, nullptr, 0, &rows.p), S_OK);
    std::vector<std::wstring> names;
    for (ULONG i = 0; i < rows.p->cRows; ++i)
        names.push_back(rows.p->aRow[i].lpProps[0].Value.lpszW);
    return names;
}

TEST_F(MessageTest, ChangesStayPendingUntilSaveChanges) {
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMessage> pMsg = NewMessage(pInbox.Get(), L"Pending");
    std::string eid = EntryId(pMsg.Get());
    ASSERT_EQ(eid.size(), 24u);  // known before the first save
    ComPtr<IMAPITable> pContents;
    ASSERT_EQ(pInbox->GetContentsTable(0, pContents.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pContents.Get()), 0u);

    ASSERT_EQ(pMsg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(SetString(pMsg.Get(), PR_SUBJECT_W, L"RE: Changed"), S_OK);
    EXPECT_EQ(GetString(OpenMessage(eid, 0).Get(), PR_SUBJECT_W), L"Pending");
    ASSERT_EQ(pMsg->SaveChanges(KEEP_OPEN_READONLY), S_OK);
    ComPtr<IMessage> pRead = OpenMessage(eid, 0);
    EXPECT_EQ(GetString(pRead.Get(), PR_SUBJECT_W), L"RE: Changed");
    EXPECT_EQ(GetString(pRead.Get(), PR_NORMALIZED_SUBJECT_W), L"Changed");
    EXPECT_EQ(GetString(pRead.Get(), PR_SUBJECT_PREFIX_W), L"RE: ");
    EXPECT_EQ(GetString(pRead.Get(), PR_MESSAGE_CLASS_W), L"IPM.Note");
    EXPECT_EQ(EntryId(pRead.Get()), eid);
    EXPECT_EQ(GetBinary(pRead.Get(), PR_PARENT_ENTRYID), EntryId(pInbox.Get()));
    EXPECT_EQ(SetString(pMsg.Get(), PR_SUBJECT_W, L"again"), MAPI_E_NO_ACCESS);  // kept open read-only

    ComPtr<IMAPITable> pAfter;
    ASSERT_EQ(pInbox->GetContentsTable(0, pAfter.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pAfter.Get()), 1u);
    EXPECT_EQ(GetLong(pInbox.Get(), PR_CONTENT_COUNT), 1);
}

TEST_F(MessageTest, ASaveOverAnotherSessionsChangeIsRefusedUnlessForced) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Original");
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    std::string eid = EntryId(pMsg.Get());
    ComPtr<IMessage> pFirst = OpenMessage(eid);
    ComPtr<IMessage> pSecond = OpenMessage(eid);
    ASSERT_EQ(SetString(pFirst.Get(), PR_SUBJECT_W, L"first"), S_OK);
    ASSERT_EQ(pFirst->SaveChanges(0), S_OK);
    ASSERT_EQ(SetString(pSecond.Get(), PR_SUBJECT_W, L"second"), S_OK);
    EXPECT_EQ(pSecond->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_OBJECT_CHANGED);
    EXPECT_EQ(GetString(OpenMessage(eid, 0).Get(), PR_SUBJECT_W), L"first");
    EXPECT_EQ(pSecond->SaveChanges(FORCE_SAVE), S_OK);
    EXPECT_EQ(GetString(OpenMessage(eid, 0).Get(), PR_SUBJECT_W), L"second");

    // A message deleted meanwhile cannot be saved.
    ComPtr<IMessage> pStale = OpenMessage(eid);
    SBinary bin{24, (LPBYTE)eid.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(Inbox()->DeleteMessages(&list, 0, nullptr, 0), S_OK);
    ASSERT_EQ(SetString(pStale.Get(), PR_SUBJECT_W, L"late"), S_OK);
    EXPECT_EQ(pStale->SaveChanges(FORCE_SAVE), MAPI_E_OBJECT_DELETED);
}

TEST_F(MessageTest, RecipientsAreAddedModifiedAndRemovedByRowId) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Recipients");
    ADRLIST* pList = MakeAdrList({{L"Ann", MAPI_TO}, {L"Bob", MAPI_CC}});
    ASSERT_EQ(pMsg->ModifyRecipients(MODRECIP_ADD, pList), S_OK);
    FreePadrlist(pList);
    EXPECT_EQ(RecipientNames(pMsg.Get()), (std::vector<std::wstring>{L"Ann", L"Bob"}));

    // Modify row 1 (Bob), remove row 0 (Ann).
    pList = MakeAdrList({{L"Bobby", MAPI_BCC}});
    SPropValue* pOld = pList->aEntries[0].rgPropVals;
    void* pNew = nullptr;
    MAPIAllocateBuffer(3 * sizeof(SPropValue), &pNew);
    auto* pProps = static_cast<LPSPropValue>(pNew);
    pProps[0] = pOld[0];
    pProps[1] = pOld[1];
    pProps[2].ulPropTag = PR_ROWID;
    pProps[2].Value.l = 1;
    pList->aEntries[0] = {0, 3, pProps};
    ASSERT_EQ(pMsg->ModifyRecipients(MODRECIP_MODIFY, pList), S_OK);
    pProps[2].Value.l = 7;  // no such row
    EXPECT_EQ(pMsg->ModifyRecipients(MODRECIP_MODIFY, pList), MAPI_E_NOT_FOUND);
    pProps[2].Value.l = 0;
    ASSERT_EQ(pMsg->ModifyRecipients(MODRECIP_REMOVE, pList), S_OK);
    MAPIFreeBuffer(pOld);
    FreePadrlist(pList);
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    EXPECT_EQ(RecipientNames(OpenMessage(EntryId(pMsg.Get()), 0).Get()), (std::vector<std::wstring>{L"Bobby"}));

    // Flags 0 replaces them all.
    ComPtr<IMessage> pAgain = OpenMessage(EntryId(pMsg.Get()));
    pList = MakeAdrList({{L"Cy", MAPI_TO}});
    ASSERT_EQ(pAgain->ModifyRecipients(0, pList), S_OK);
    FreePadrlist(pList);
    EXPECT_EQ(RecipientNames(pAgain.Get()), (std::vector<std::wstring>{L"Cy"}));
}

TEST_F(MessageTest, AttachmentsAndEmbeddedMessagesAreSavedWithTheMessage) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"With attachments");
    ULONG ulNum = 0;
    {
        ComPtr<IAttach> pAttach;
        ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
        ASSERT_EQ(SetLong(pAttach.Get(), PR_ATTACH_METHOD, ATTACH_BY_VALUE), S_OK);
        ASSERT_EQ(SetString(pAttach.Get(), PR_ATTACH_LONG_FILENAME_W, L"a.txt"), S_OK);
        ASSERT_EQ(SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, "file content"), S_OK);
        ASSERT_EQ(pAttach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    {
        // An attachment released without SaveChanges is dropped.
        ComPtr<IAttach> pDropped;
        ULONG ulDropped = 0;
        ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulDropped, pDropped.AddressOf()), S_OK);
        SetLong(pDropped.Get(), PR_ATTACH_METHOD, ATTACH_BY_VALUE);
    }
    {
        ComPtr<IAttach> pAttach;
        ULONG ulEmbedded = 0;
        ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulEmbedded, pAttach.AddressOf()), S_OK);
        ASSERT_EQ(SetLong(pAttach.Get(), PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG), S_OK);
        ComPtr<IUnknown> pUnk;
        ASSERT_EQ(
            pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, pUnk.AddressOf()),
            S_OK);
        auto* pInner = static_cast<IMessage*>(pUnk.Get());
        ASSERT_EQ(SetString(pInner, PR_SUBJECT_W, L"Inner"), S_OK);
        ComPtr<IAttach> pInnerAttach;
        ULONG ulInner = 0;
        ASSERT_EQ(pInner->CreateAttach(nullptr, 0, &ulInner, pInnerAttach.AddressOf()), S_OK);
        ASSERT_EQ(SetBinary(pInnerAttach.Get(), PR_ATTACH_DATA_BIN, "deep"), S_OK);
        ASSERT_EQ(pInnerAttach->SaveChanges(0), S_OK);
        ASSERT_EQ(pInner->SaveChanges(0), S_OK);
        ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
    }
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);

    ComPtr<IMessage> pRead = OpenMessage(EntryId(pMsg.Get()), 0);
    EXPECT_TRUE(GetLong(pRead.Get(), PR_MESSAGE_FLAGS) & MSGFLAG_HASATTACH);
    {
        MapiBuf<SPropValue> hasAttach;
        ASSERT_EQ(HrGetOneProp(OpenMessage(EntryId(pMsg.Get()), 0).Get(), PR_HASATTACH, &hasAttach), S_OK);
        EXPECT_TRUE(hasAttach->Value.b);
    }
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pRead->GetAttachmentTable(0, pTable.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pTable.Get()), 2u);
    ComPtr<IAttach> pFirst;
    ASSERT_EQ(pRead->OpenAttach(ulNum, nullptr, 0, pFirst.AddressOf()), S_OK);
    EXPECT_EQ(GetBinary(pFirst.Get(), PR_ATTACH_DATA_BIN), "file content");
    EXPECT_EQ(SetLong(pFirst.Get(), PR_ATTACH_METHOD, 0), MAPI_E_NO_ACCESS);
    ComPtr<IAttach> pSecond;
    ASSERT_EQ(pRead->OpenAttach(2, nullptr, 0, pSecond.AddressOf()), S_OK);
    ComPtr<IUnknown> pUnk;
    ASSERT_EQ(pSecond->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pUnk.AddressOf()), S_OK);
    auto* pInner = static_cast<IMessage*>(pUnk.Get());
    EXPECT_EQ(GetString(pInner, PR_SUBJECT_W), L"Inner");
    ComPtr<IAttach> pDeep;
    ASSERT_EQ(pInner->OpenAttach(0, nullptr, 0, pDeep.AddressOf()), S_OK);
    EXPECT_EQ(GetBinary(pDeep.Get(), PR_ATTACH_DATA_BIN), "deep");
    EXPECT_EQ(GetHr(pInner, PR_ENTRYID), MAPI_E_NOT_FOUND);  // embedded messages have no entry id
    ComPtr<IAttach> pMissing;
    EXPECT_EQ(pRead->OpenAttach(1, nullptr, 0, pMissing.AddressOf()), MAPI_E_NOT_FOUND);
    ComPtr<IUnknown> pNone;
    EXPECT_EQ(pFirst->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pNone.AddressOf()), MAPI_E_NOT_FOUND);

    // Edits of an existing attachment and its removal reach the store on the next save.
    ComPtr<IMessage> pEdit = OpenMessage(EntryId(pMsg.Get()));
    ComPtr<IAttach> pEditAttach;
    ASSERT_EQ(pEdit->OpenAttach(ulNum, nullptr, MAPI_MODIFY, pEditAttach.AddressOf()), S_OK);
    ASSERT_EQ(SetBinary(pEditAttach.Get(), PR_ATTACH_DATA_BIN, "new content"), S_OK);
    ASSERT_EQ(pEditAttach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(pEdit->DeleteAttach(2, 0, nullptr, 0), S_OK);
    ASSERT_EQ(pEdit->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(SetBinary(pEditAttach.Get(), PR_ATTACH_DATA_BIN, "third"), S_OK);
    ASSERT_EQ(pEditAttach->SaveChanges(0), S_OK);
    ASSERT_EQ(pEdit->SaveChanges(0), S_OK);
    ComPtr<IMessage> pFinal = OpenMessage(EntryId(pMsg.Get()), 0);
    ComPtr<IMAPITable> pFinalTable;
    ASSERT_EQ(pFinal->GetAttachmentTable(0, pFinalTable.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pFinalTable.Get()), 1u);
    ComPtr<IAttach> pFinalAttach;
    ASSERT_EQ(pFinal->OpenAttach(ulNum, nullptr, 0, pFinalAttach.AddressOf()), S_OK);
    EXPECT_EQ(GetBinary(pFinalAttach.Get(), PR_ATTACH_DATA_BIN), "third");
}

TEST_F(MessageTest, CopyToCarriesRecipientsAttachmentsAndNamedProperties) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Source");
    ULONG ulKeywords = NamedTag(pMsg.Get(), PS_PUBLIC_STRINGS, L"Keywords", PT_MV_UNICODE);
    wchar_t k1[] = L"red";
    LPWSTR keys[] = {k1};
    SPropValue kw{ulKeywords, 0, {}};
    kw.Value.MVszW = {1, keys};
    ASSERT_EQ(HrSetOneProp(pMsg.Get(), &kw), S_OK);
    ADRLIST* pList = MakeAdrList({{L"Dee", MAPI_TO}});
    ASSERT_EQ(pMsg->ModifyRecipients(MODRECIP_ADD, pList), S_OK);
    FreePadrlist(pList);
    ULONG ulNum = 0;
    ComPtr<IAttach> pAttach;
    ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, "payload");
    ASSERT_EQ(pAttach->SaveChanges(0), S_OK);

    // Into a message of another store, whose named-property ids differ.
    ComPtr<IMsgStore> pOther;
    ASSERT_EQ(Platform::OpenOsdStore(m_home.Path() / "other.osd", true, L"", true, pOther.AddressOf()), S_OK);
    NamedTag(pOther.Get(), PS_PUBLIC_STRINGS, L"Something else", PT_LONG);
    ComPtr<IMAPIFolder> pOtherRoot;
    ULONG ulType;
    ASSERT_EQ(pOther->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType,
                                reinterpret_cast<IUnknown**>(pOtherRoot.AddressOf())),
              S_OK);
    ComPtr<IMessage> pCopy;
    ASSERT_EQ(pOtherRoot->CreateMessage(nullptr, 0, pCopy.AddressOf()), S_OK);
    ASSERT_EQ(pMsg->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, pCopy.Get(), 0, nullptr), S_OK);
    EXPECT_EQ(GetString(pCopy.Get(), PR_SUBJECT_W), L"Source");
    EXPECT_EQ(RecipientNames(pCopy.Get()), (std::vector<std::wstring>{L"Dee"}));
    ULONG ulOtherKeywords = NamedTag(pOther.Get(), PS_PUBLIC_STRINGS, L"Keywords", PT_MV_UNICODE);
    EXPECT_NE(ulOtherKeywords, ulKeywords);
    MapiBuf<SPropValue> copied;
    ASSERT_EQ(HrGetOneProp(pCopy.Get(), ulOtherKeywords, &copied), S_OK);
    EXPECT_STREQ(copied->Value.MVszW.lppszW[0], L"red");
    ComPtr<IAttach> pCopiedAttach;
    ASSERT_EQ(pCopy->OpenAttach(0, nullptr, 0, pCopiedAttach.AddressOf()), S_OK);
    EXPECT_EQ(GetBinary(pCopiedAttach.Get(), PR_ATTACH_DATA_BIN), "payload");
}

TEST_F(MessageTest, ReadFlagChangesAtOnceAndSubmitNeedsRecipients) {
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"Flags");
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    std::string eid = EntryId(pMsg.Get());
    ComPtr<IMessage> pRead = OpenMessage(eid, 0);
    ASSERT_EQ(pRead->SetReadFlag(CLEAR_READ_FLAG), S_OK);
    EXPECT_FALSE(GetLong(OpenMessage(eid, 0).Get(), PR_MESSAGE_FLAGS) & MSGFLAG_READ);
    EXPECT_EQ(GetLong(Inbox().Get(), PR_CONTENT_UNREAD), 1);

    ComPtr<IMessage> pOut = NewMessage(OpenFolderByProp(PR_IPM_OUTBOX_ENTRYID).Get(), L"Send me");
    EXPECT_EQ(pOut->SubmitMessage(0), MAPI_E_NO_RECIPIENTS);
    ADRLIST* pList = MakeAdrList({{L"Eve", MAPI_TO}});
    ASSERT_EQ(pOut->ModifyRecipients(0, pList), S_OK);
    FreePadrlist(pList);
    SetBinary(pOut.Get(), PR_SENTMAIL_ENTRYID, GetBinary(m_store.Get(), PR_IPM_SENTMAIL_ENTRYID));
    ASSERT_EQ(pOut->SubmitMessage(0), S_OK);
    ComPtr<IMAPITable> pQueue;
    ASSERT_EQ(m_store->GetOutgoingQueue(0, pQueue.AddressOf()), S_OK);
    EXPECT_EQ(RowCount(pQueue.Get()), 1u);
    std::string outEid = EntryId(pOut.Get());
    ASSERT_EQ(m_store->FinishedMsg(0, 24, (LPENTRYID)outEid.data()), S_OK);
    ComPtr<IMessage> pSent = OpenMessage(outEid, 0);
    EXPECT_EQ(GetBinary(pSent.Get(), PR_PARENT_ENTRYID), GetBinary(m_store.Get(), PR_IPM_SENTMAIL_ENTRYID));
    EXPECT_FALSE(GetLong(pSent.Get(), PR_MESSAGE_FLAGS) & (MSGFLAG_SUBMIT | MSGFLAG_UNSENT));
    EXPECT_EQ(m_store->FinishedMsg(0, 24, (LPENTRYID)outEid.data()), MAPI_E_NOT_IN_QUEUE);
}

FILETIME FileTime(ULONGLONG ull) {
    return {static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)};
}

HRESULT SetTime(IMAPIProp* p, ULONG ulTag, const FILETIME& ft) {
    SPropValue v{ulTag, 0, {}};
    v.Value.ft = ft;
    return HrSetOneProp(p, &v);
}

ULONGLONG GetTime(IMAPIProp* p, ULONG ulTag) {
    MapiBuf<SPropValue> v;
    if (FAILED(HrGetOneProp(p, ulTag, &v)))
        return 0;
    return (static_cast<ULONGLONG>(v->Value.ft.dwHighDateTime) << 32) | v->Value.ft.dwLowDateTime;
}

TEST_F(MessageTest, SavesKeepTheCallersModificationTimeAndGiveASearchKey) {
    constexpr ULONGLONG kReceived = 126227808000000000ull;  // 2001-01-01, long before any test runs
    ComPtr<IMAPIFolder> pInbox = Inbox();
    ComPtr<IMessage> pMsg = NewMessage(pInbox.Get(), L"received long ago");
    ASSERT_EQ(SetTime(pMsg.Get(), PR_LAST_MODIFICATION_TIME, FileTime(kReceived)), S_OK);
    ASSERT_EQ(pMsg->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::string eid = EntryId(pMsg.Get());
    EXPECT_EQ(GetTime(OpenMessage(eid, 0).Get(), PR_LAST_MODIFICATION_TIME), kReceived);
    std::string searchKey = GetBinary(pMsg.Get(), PR_SEARCH_KEY);
    EXPECT_EQ(searchKey.size(), 16u);

    // A later change that leaves the time alone is stamped now; the search key stays.
    ASSERT_EQ(SetString(pMsg.Get(), PR_SUBJECT_W, L"edited"), S_OK);
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    ComPtr<IMessage> pRead = OpenMessage(eid, 0);
    EXPECT_GT(GetTime(pRead.Get(), PR_LAST_MODIFICATION_TIME), kReceived);
    EXPECT_EQ(GetBinary(pRead.Get(), PR_SEARCH_KEY), searchKey);

    // Every message gets its own key; one the caller gave is kept.
    ComPtr<IMessage> pOther = NewMessage(pInbox.Get(), L"other");
    ASSERT_EQ(pOther->SaveChanges(KEEP_OPEN_READONLY), S_OK);
    EXPECT_EQ(GetBinary(pOther.Get(), PR_SEARCH_KEY).size(), 16u);
    EXPECT_NE(GetBinary(pOther.Get(), PR_SEARCH_KEY), searchKey);
    ComPtr<IMessage> pGiven = NewMessage(pInbox.Get(), L"given");
    ASSERT_EQ(SetBinary(pGiven.Get(), PR_SEARCH_KEY, "SMTP:A@B.C"), S_OK);
    ASSERT_EQ(pGiven->SaveChanges(KEEP_OPEN_READONLY), S_OK);
    EXPECT_EQ(GetBinary(OpenMessage(EntryId(pGiven.Get()), 0).Get(), PR_SEARCH_KEY), "SMTP:A@B.C");

    // Folders keep a time they are given too.
    ASSERT_EQ(SetTime(pInbox.Get(), PR_LAST_MODIFICATION_TIME, FileTime(kReceived)), S_OK);
    EXPECT_EQ(GetTime(Inbox().Get(), PR_LAST_MODIFICATION_TIME), kReceived);
}

TEST_F(MessageTest, AttachmentsAndEmbeddedMessagesAnswerForTheirStore) {
    std::string storeEid = GetBinary(m_store.Get(), PR_ENTRYID);
    std::string recordKey = GetBinary(m_store.Get(), PR_STORE_RECORD_KEY);
    std::string signature = GetBinary(m_store.Get(), PR_MAPPING_SIGNATURE);
    auto expectStore = [&](IMAPIProp* p, ULONG ulObjType, const char* pszWhat) {
        SizedSPropTagArray(4, tags) = {4,
                                       {PR_STORE_ENTRYID, PR_STORE_RECORD_KEY, PR_MAPPING_SIGNATURE, PR_OBJECT_TYPE}};
        ULONG cValues = 0;
        MapiBuf<SPropValue> values;
        ASSERT_EQ(p->GetProps((LPSPropTagArray)&tags, 0, &cValues, &values), S_OK) << pszWhat;
        auto bin = [&](int i) { return std::string((const char*)values[i].Value.bin.lpb, values[i].Value.bin.cb); };
        EXPECT_EQ(bin(0), storeEid) << pszWhat;
        EXPECT_EQ(bin(1), recordKey) << pszWhat;
        EXPECT_EQ(bin(2), signature) << pszWhat;
        EXPECT_EQ(values[3].Value.ul, ulObjType) << pszWhat;
    };
    MAPINAMEID name{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
    name.Kind.lpwstrName = const_cast<wchar_t*>(L"Keywords");
    LPMAPINAMEID pName = &name;
    MapiBuf<SPropTagArray> fromStore;
    ASSERT_EQ(m_store->GetIDsFromNames(1, &pName, MAPI_CREATE, &fromStore), S_OK);

    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"outer");
    ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    ASSERT_EQ(SetLong(pAttach.Get(), PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG), S_OK);
    ComPtr<IUnknown> pUnk;
    ASSERT_EQ(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, pUnk.AddressOf()),
              S_OK);
    auto* pInner = static_cast<IMessage*>(pUnk.Get());
    expectStore(pAttach.Get(), MAPI_ATTACH, "new attachment");
    expectStore(pInner, MAPI_MESSAGE, "new embedded message");
    MapiBuf<SPropTagArray> fromInner;
    ASSERT_EQ(pInner->GetIDsFromNames(1, &pName, 0, &fromInner), S_OK);
    EXPECT_EQ(fromInner->aulPropTag[0], fromStore->aulPropTag[0]);
    EXPECT_EQ(SetBinary(pAttach.Get(), PR_STORE_ENTRYID, "x"), MAPI_E_COMPUTED);
    EXPECT_EQ(GetBinary(pAttach.Get(), PR_STORE_ENTRYID), storeEid);
    ASSERT_EQ(pInner->SaveChanges(0), S_OK);
    ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);

    ComPtr<IMessage> pRead = OpenMessage(EntryId(pMsg.Get()), 0);
    ComPtr<IAttach> pReadAttach;
    ASSERT_EQ(pRead->OpenAttach(ulNum, nullptr, 0, pReadAttach.AddressOf()), S_OK);
    expectStore(pReadAttach.Get(), MAPI_ATTACH, "stored attachment");
    ComPtr<IUnknown> pReadUnk;
    ASSERT_EQ(pReadAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pReadUnk.AddressOf()), S_OK);
    expectStore(static_cast<IMessage*>(pReadUnk.Get()), MAPI_MESSAGE, "stored embedded message");
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pRead->GetAttachmentTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(2, cols) = {2, {PR_MAPPING_SIGNATURE, PR_OBJECT_TYPE}};
    RowsHolder rows;
    ASSERT_EQ(HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, nullptr, nullptr, 0, &rows.p), S_OK);
    ASSERT_EQ(rows.p->cRows, 1u);
    const SBinary& rowSignature = rows.p->aRow[0].lpProps[0].Value.bin;
    EXPECT_EQ(std::string((const char*)rowSignature.lpb, rowSignature.cb), signature);
    EXPECT_EQ(rows.p->aRow[0].lpProps[1].Value.ul, MAPI_ATTACH);
}

// Points the temporary directory at a folder of the test for its lifetime.
class TempDirScope {
public:
    explicit TempDirScope(const std::filesystem::path& dir) {
        if (const char* pszOld = std::getenv("TMPDIR"))
            m_old = pszOld;
        std::filesystem::create_directories(dir);
        setenv("TMPDIR", dir.c_str(), 1);
    }
    ~TempDirScope() {
        if (m_old.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", m_old.c_str(), 1);
    }

private:
    std::string m_old;
};

TEST_F(MessageTest, TemporaryMessagesVanishWithTheirLastReference) {
    std::filesystem::path tmp = m_home.Path() / "tmp";
    TempDirScope scope(tmp);
    ComPtr<IMessage> pSource = NewMessage(Inbox().Get(), L"to be cloned");
    ASSERT_EQ(SetString(pSource.Get(), PR_BODY_W, L"body"), S_OK);
    ASSERT_EQ(pSource->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    ComPtr<IMessage> pClone, pOther;
    ASSERT_EQ(Platform::CreateTemporaryMessage(pClone.AddressOf()), S_OK);
    ASSERT_EQ(Platform::CreateTemporaryMessage(pOther.AddressOf()), S_OK);
    EXPECT_NE(GetBinary(pClone.Get(), PR_STORE_ENTRYID), GetBinary(pOther.Get(), PR_STORE_ENTRYID));
    EXPECT_NE(GetBinary(pClone.Get(), PR_STORE_ENTRYID), GetBinary(m_store.Get(), PR_ENTRYID));
    pOther.Reset();
    ASSERT_EQ(pSource->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, pClone.Get(), 0, nullptr), S_OK);
    ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    ASSERT_EQ(pClone->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
    ASSERT_EQ(SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, "data"), S_OK);
    ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
    ASSERT_EQ(pClone->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(GetString(pClone.Get(), PR_BODY_W), L"body");
    EXPECT_EQ(GetString(pSource.Get(), PR_BODY_W), L"body");  // the original is untouched

    // Its store lives in a private folder of the temporary directory as long as anything holds it.
    std::string storeEid = GetBinary(pClone.Get(), PR_STORE_ENTRYID);
    std::filesystem::path file;
    ASSERT_TRUE(Platform::OsdPathFromStoreEntryId((ULONG)storeEid.size(), storeEid.data(), &file));
    EXPECT_EQ(file.parent_path().parent_path(), tmp);
    EXPECT_EQ(std::filesystem::status(file.parent_path()).permissions(), std::filesystem::perms::owner_all);
    EXPECT_TRUE(std::filesystem::exists(file));
    pClone.Reset();
    EXPECT_TRUE(std::filesystem::exists(file));  // the attachment still holds the message
    EXPECT_EQ(GetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN), "data");
    pAttach.Reset();
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
}

}  // namespace
}  // namespace MapiTest
