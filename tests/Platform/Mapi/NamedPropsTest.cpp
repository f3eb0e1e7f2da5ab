#include <sqlite3.h>

#include "FaultyVfs.h"
#include "MapiTestUtil.h"
#include "Platform/Mapi/MapiGuids.h"

namespace MapiTest {
namespace {

using NamedPropsTest = StoreFixture;

TEST_F(NamedPropsTest, NamesAreCreatedOnlyWhenAsked) {
    GUID set = {0x20022104, 0x6842, 0x430D, {0xB1, 0x9C, 0x87, 0x39, 0xBF, 0xDB, 0x91, 0x88}};
    MAPINAMEID byId{&set, MNID_ID, {}};
    byId.Kind.lID = 0x8100;
    MAPINAMEID byName{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
    byName.Kind.lpwstrName = const_cast<wchar_t*>(L"Keywords");
    LPMAPINAMEID names[2] = {&byId, &byName};

    MapiBuf<SPropTagArray> missing;
    ASSERT_EQ(m_store->GetIDsFromNames(2, names, 0, &missing), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(PROP_TYPE(missing->aulPropTag[0]), PT_ERROR);
    EXPECT_EQ(PROP_TYPE(missing->aulPropTag[1]), PT_ERROR);

    MapiBuf<SPropTagArray> created;
    ASSERT_EQ(m_store->GetIDsFromNames(2, names, MAPI_CREATE, &created), S_OK);
    ULONG ulId0 = PROP_ID(created->aulPropTag[0]), ulId1 = PROP_ID(created->aulPropTag[1]);
    EXPECT_GE(ulId0, 0x8000u);
    EXPECT_NE(ulId0, ulId1);

    // Any object of the store answers with the same ids; the names come back from the ids.
    ComPtr<IMessage> pMsg = NewMessage(Inbox().Get(), L"named");
    MapiBuf<SPropTagArray> again;
    ASSERT_EQ(pMsg->GetIDsFromNames(2, names, 0, &again), S_OK);
    EXPECT_EQ(again->aulPropTag[0], created->aulPropTag[0]);
    SizedSPropTagArray(3, tags) = {3, {PROP_TAG(PT_LONG, ulId0), PROP_TAG(PT_MV_UNICODE, ulId1), PR_SUBJECT_W}};
    LPSPropTagArray pTags = (LPSPropTagArray)&tags;
    ULONG cNames = 0;
    MapiBuf<LPMAPINAMEID> back;
    ASSERT_EQ(pMsg->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &back), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(cNames, 3u);
    EXPECT_TRUE(*back[0]->lpguid == set);
    EXPECT_EQ(back[0]->Kind.lID, 0x8100);
    EXPECT_STREQ(back[1]->Kind.lpwstrName, L"Keywords");
    EXPECT_EQ(back[2], nullptr);  // an ordinary property has no name

    // A value stored under a named id is found by a restriction on it.
    ULONG ulOstrelId = PROP_TAG(PT_LONG, ulId0);
    ASSERT_EQ(SetLong(pMsg.Get(), ulOstrelId, 4711), S_OK);
    ASSERT_EQ(pMsg->SaveChanges(0), S_OK);
    EXPECT_EQ(GetLong(OpenMessage(EntryId(pMsg.Get()), 0).Get(), ulOstrelId), 4711);

    // Malformed names are errors in their slot, not failures of the call.
    MAPINAMEID noGuid{nullptr, MNID_ID, {}};
    MAPINAMEID badKind{&set, 7, {}};
    LPMAPINAMEID bad[2] = {&noGuid, &badKind};
    MapiBuf<SPropTagArray> badTags;
    ASSERT_EQ(m_store->GetIDsFromNames(2, bad, MAPI_CREATE, &badTags), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(PROP_TYPE(badTags->aulPropTag[0]), PT_ERROR);
    EXPECT_EQ(PROP_TYPE(badTags->aulPropTag[1]), PT_ERROR);
}

TEST_F(NamedPropsTest, AllNamesCanBeListedBySet) {
    NamedTag(m_store.Get(), PSETID_Common, 0x8530, PT_UNICODE);
    NamedTag(m_store.Get(), PSETID_Task, 0x8101, PT_LONG);
    NamedTag(m_store.Get(), PSETID_Common, L"text", PT_UNICODE);
    LPSPropTagArray pTags = nullptr;
    ULONG cNames = 0;
    MapiBuf<LPMAPINAMEID> names;
    ASSERT_EQ(m_store->GetNamesFromIDs(&pTags, const_cast<GUID*>(&PSETID_Common), MAPI_NO_STRINGS, &cNames, &names),
              S_OK);
    ASSERT_EQ(cNames, 1u);
    EXPECT_EQ(names[0]->Kind.lID, 0x8530);
    ASSERT_NE(pTags, nullptr);
    EXPECT_EQ(pTags->cValues, 1u);
    MAPIFreeBuffer(pTags);
    MapiBuf<SPropTagArray> all;
    ASSERT_EQ(m_store->GetIDsFromNames(0, nullptr, 0, &all), S_OK);
    EXPECT_EQ(all->cValues, 3u);
}

TEST_F(NamedPropsTest, NamesOfACommitThatFailedAreForgotten) {
    FaultyVfs vfs;
    std::filesystem::path path = m_home.Path() / "full.osd";
    ComPtr<IMsgStore> pStore;
    ASSERT_EQ(Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf()), S_OK);
    MAPINAMEID doomed{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
    doomed.Kind.lpwstrName = const_cast<wchar_t*>(L"Doomed");
    LPMAPINAMEID pDoomed = &doomed;

    // The disk fills up: the new name's row never reaches the file.
    vfs.FailWritesAfter(0);
    MapiBuf<SPropTagArray> failed;
    EXPECT_EQ(pStore->GetIDsFromNames(1, &pDoomed, MAPI_CREATE, &failed), MAPI_E_NOT_ENOUGH_DISK);
    EXPECT_GT(vfs.FailedWrites(), 0);
    vfs.Heal();

    // So this process does not know the name either...
    MapiBuf<SPropTagArray> unknown;
    ASSERT_EQ(pStore->GetIDsFromNames(1, &pDoomed, 0, &unknown), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(PROP_TYPE(unknown->aulPropTag[0]), PT_ERROR);

    // ...and when another process gives the first free id to another name, both agree on it.
    sqlite3* pOther = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &pOther), SQLITE_OK);
    sqlite3_busy_timeout(pOther, 10000);
    std::string guid(reinterpret_cast<const char*>(&PS_PUBLIC_STRINGS), sizeof(GUID));
    sqlite3_stmt* pInsert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(pOther, "INSERT INTO names(id, guid, kind, lid, name) VALUES(32768, ?, 1, 0, 'Other')",
                                 -1, &pInsert, nullptr),
              SQLITE_OK);
    sqlite3_bind_blob(pInsert, 1, guid.data(), static_cast<int>(guid.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(pInsert), SQLITE_DONE);
    sqlite3_finalize(pInsert);
    sqlite3_close(pOther);

    SizedSPropTagArray(1, first) = {1, {PROP_TAG(PT_LONG, 0x8000)}};
    LPSPropTagArray pFirst = (LPSPropTagArray)&first;
    ULONG cNames = 0;
    MapiBuf<LPMAPINAMEID> names;
    ASSERT_EQ(pStore->GetNamesFromIDs(&pFirst, nullptr, 0, &cNames, &names), S_OK);
    ASSERT_EQ(cNames, 1u);
    EXPECT_STREQ(names[0]->Kind.lpwstrName, L"Other");
    MapiBuf<SPropTagArray> retried;
    ASSERT_EQ(pStore->GetIDsFromNames(1, &pDoomed, MAPI_CREATE, &retried), S_OK);
    EXPECT_EQ(PROP_ID(retried->aulPropTag[0]), 0x8001u);
}

TEST_F(NamedPropsTest, MapiNamesAreStandardIdsAndHeaderNamesIgnoreCase) {
    MAPINAMEID subject{const_cast<GUID*>(&PS_MAPI), MNID_ID, {}};
    subject.Kind.lID = PROP_ID(PR_SUBJECT);
    MAPINAMEID tooHigh{const_cast<GUID*>(&PS_MAPI), MNID_ID, {}};
    tooHigh.Kind.lID = 0x8000;
    MAPINAMEID byString{const_cast<GUID*>(&PS_MAPI), MNID_STRING, {}};
    byString.Kind.lpwstrName = const_cast<wchar_t*>(L"Subject");
    LPMAPINAMEID mapi[3] = {&subject, &tooHigh, &byString};
    MapiBuf<SPropTagArray> tags;
    ASSERT_EQ(m_store->GetIDsFromNames(3, mapi, MAPI_CREATE, &tags), MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(tags->aulPropTag[0], PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_SUBJECT)));
    EXPECT_EQ(PROP_TYPE(tags->aulPropTag[1]), PT_ERROR);
    EXPECT_EQ(PROP_TYPE(tags->aulPropTag[2]), PT_ERROR);
    MapiBuf<SPropTagArray> none;
    ASSERT_EQ(m_store->GetIDsFromNames(0, nullptr, 0, &none), S_OK);
    EXPECT_EQ(none->cValues, 0u);  // nothing was stored for them

    ULONG ulMixed = NamedTag(m_store.Get(), PS_INTERNET_HEADERS, L"X-Antivirus", PT_UNICODE);
    EXPECT_EQ(NamedTag(m_store.Get(), PS_INTERNET_HEADERS, L"x-antivirus", PT_UNICODE), ulMixed);
    // The same from the file, once nothing of the store is left in memory.
    std::filesystem::path path = m_home.Path() / "headers.osd";
    ULONG ulStored = 0;
    {
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf()), S_OK);
        ulStored = NamedTag(pStore.Get(), PS_INTERNET_HEADERS, L"Return-Path", PT_UNICODE);
    }
    ComPtr<IMsgStore> pReopened;
    ASSERT_EQ(Platform::OpenOsdStore(path, false, L"", true, pReopened.AddressOf()), S_OK);
    EXPECT_EQ(NamedTag(pReopened.Get(), PS_INTERNET_HEADERS, L"return-path", PT_UNICODE), ulStored);
    SizedSPropTagArray(1, stored) = {1, {ulStored}};
    LPSPropTagArray pStored = (LPSPropTagArray)&stored;
    ULONG cNames = 0;
    MapiBuf<LPMAPINAMEID> names;
    ASSERT_EQ(pReopened->GetNamesFromIDs(&pStored, nullptr, 0, &cNames, &names), S_OK);
    EXPECT_STREQ(names[0]->Kind.lpwstrName, L"Return-Path");  // the first spelling stays
    // Other sets keep case.
    EXPECT_NE(NamedTag(m_store.Get(), PS_PUBLIC_STRINGS, L"keywords", PT_MV_UNICODE),
              NamedTag(m_store.Get(), PS_PUBLIC_STRINGS, L"Keywords", PT_MV_UNICODE));
}

// Every write of a naming and a save fails in turn: each failure is reported, leaves no name this
// process believes in that the file does not hold, and leaves the file sound.
TEST_F(NamedPropsTest, EachFailingWriteOfASaveLeavesTheStoreSound) {
    FaultyVfs vfs;
    std::filesystem::path path = m_home.Path() / "failing.osd";
    ComPtr<IMsgStore> pStore;
    ASSERT_EQ(Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf()), S_OK);
    std::string inboxEid;
    {
        ULONG cb = 0;
        MapiBuf<ENTRYID> eid;
        ASSERT_EQ(pStore->GetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, &cb, &eid, nullptr), S_OK);
        inboxEid.assign(reinterpret_cast<const char*>(eid.p), cb);
    }
    ComPtr<IMAPIFolder> pInbox;
    ULONG ulType = 0;
    ASSERT_EQ(pStore->OpenEntry(24, (LPENTRYID)inboxEid.data(), nullptr, MAPI_MODIFY, &ulType,
                                reinterpret_cast<IUnknown**>(pInbox.AddressOf())),
              S_OK);
    bool bDone = false;
    for (int n = 0; n < 200 && !bDone; ++n) {
        std::wstring wsName = L"Name" + std::to_wstring(n);
        MAPINAMEID name{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
        name.Kind.lpwstrName = wsName.data();
        LPMAPINAMEID pName = &name;
        vfs.FailWritesAfter(n);
        MapiBuf<SPropTagArray> tags;
        HRESULT hrName = pStore->GetIDsFromNames(1, &pName, MAPI_CREATE, &tags);
        HRESULT hrSave = E_FAIL;
        if (SUCCEEDED(hrName)) {
            ComPtr<IMessage> pMsg;
            hrSave = pInbox->CreateMessage(nullptr, 0, pMsg.AddressOf());  // reserves node ids: writes too
            if (SUCCEEDED(hrSave))
                hrSave = SetLong(pMsg.Get(), CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_LONG), n);
            if (SUCCEEDED(hrSave))
                hrSave = pMsg->SaveChanges(0);
        }
        bool bFailed = vfs.FailedWrites() > 0;
        vfs.Heal();
        bDone = SUCCEEDED(hrSave) && !bFailed;
        EXPECT_TRUE(bDone || FAILED(hrName) || FAILED(hrSave)) << "a failed write was reported as success, n=" << n;

        // What this process knows of the name is what the file holds.
        MapiBuf<SPropTagArray> known;
        pStore->GetIDsFromNames(1, &pName, 0, &known);
        sqlite3* pDb = nullptr;
        ASSERT_EQ(sqlite3_open_v2(path.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* pFind = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(pDb, "SELECT id FROM names WHERE name=?", -1, &pFind, nullptr), SQLITE_OK);
        std::string utf8(wsName.begin(), wsName.end());
        sqlite3_bind_text(pFind, 1, utf8.c_str(), -1, SQLITE_TRANSIENT);
        ULONG ulInFile = sqlite3_step(pFind) == SQLITE_ROW ? static_cast<ULONG>(sqlite3_column_int64(pFind, 0)) : 0;
        sqlite3_finalize(pFind);
        sqlite3_stmt* pCheck = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &pCheck, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(pCheck), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(pCheck, 0)), "ok") << "n=" << n;
        sqlite3_finalize(pCheck);
        sqlite3_close(pDb);
        if (ulInFile)
            EXPECT_EQ(known->aulPropTag[0], PROP_TAG(PT_UNSPECIFIED, ulInFile)) << "n=" << n;
        else
            EXPECT_EQ(PROP_TYPE(known->aulPropTag[0]), PT_ERROR) << "n=" << n;
    }
    EXPECT_TRUE(bDone);
}

}  // namespace
}  // namespace MapiTest
