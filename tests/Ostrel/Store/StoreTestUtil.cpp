#include "StoreTestUtil.h"

#include <algorithm>

namespace StoreTest {

void StoreFixture::SetUp() {
    m_path = m_home.Path() / "store.osd";
    ASSERT_EQ(Platform::OpenOsdStore(m_path, true, L"Store", true, m_store.AddressOf()), S_OK);
}

void StoreFixture::TearDown() {
    Ostrel::Mapi::NamedPropsManager::Cleanup();
    m_store.Reset();
}

void StoreFixture::Reopen() {
    Ostrel::Mapi::NamedPropsManager::Cleanup();
    m_store.Reset();
    ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, m_store.AddressOf()), S_OK);
}

ComPtr<IMAPIFolder> StoreFixture::Root() {
    ComPtr<IMAPIFolder> pRoot;
    ULONG ulType = 0;
    EXPECT_EQ(
        m_store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType, reinterpret_cast<IUnknown**>(pRoot.AddressOf())),
        S_OK);
    return pRoot;
}

ComPtr<IMAPIFolder> StoreFixture::OpenFolder(const std::string& sEntryId) {
    ComPtr<IMAPIFolder> pFolder;
    ULONG ulType = 0;
    EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(sEntryId.size()), (LPENTRYID)sEntryId.data(), nullptr, MAPI_MODIFY,
                                 &ulType, reinterpret_cast<IUnknown**>(pFolder.AddressOf())),
              S_OK);
    return pFolder;
}

ComPtr<IMessage> StoreFixture::OpenMessage(const std::string& sEntryId) {
    ComPtr<IMessage> pMessage;
    ULONG ulType = 0;
    EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(sEntryId.size()), (LPENTRYID)sEntryId.data(), nullptr, MAPI_MODIFY,
                                 &ulType, reinterpret_cast<IUnknown**>(pMessage.AddressOf())),
              S_OK);
    return pMessage;
}

ComPtr<IMAPIFolder> StoreFixture::IpmSubtree() {
    return OpenFolder(GetBinary(m_store.Get(), PR_IPM_SUBTREE_ENTRYID));
}

ComPtr<IMAPIFolder> StoreFixture::Inbox() {
    ULONG cb = 0;
    MapiBuf<ENTRYID> eid;
    EXPECT_EQ(m_store->GetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, &cb, &eid, nullptr), S_OK);
    return OpenFolder(std::string(reinterpret_cast<const char*>(eid.p), cb));
}

ComPtr<IMAPIFolder> StoreFixture::NewFolder(IMAPIFolder* pParent, const std::wstring& wsName) {
    ComPtr<IMAPIFolder> pFolder;
    EXPECT_EQ(pParent->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(wsName.c_str()), nullptr, nullptr,
                                    MAPI_UNICODE, pFolder.AddressOf()),
              S_OK);
    return pFolder;
}

ComPtr<IMessage> StoreFixture::NewMessage(IMAPIFolder* pFolder, const std::wstring& wsSubject) {
    ComPtr<IMessage> pMessage;
    EXPECT_EQ(pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf()), S_OK);
    EXPECT_EQ(SetString(pMessage.Get(), PR_SUBJECT_W, wsSubject), S_OK);
    EXPECT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    return pMessage;
}

std::wstring GetString(IMAPIProp* p, ULONG ulTag) {
    MapiBuf<SPropValue> v;
    if (FAILED(HrGetOneProp(p, ulTag, &v)))
        return L"<missing>";
    return v->Value.lpszW;
}

LONG GetLong(IMAPIProp* p, ULONG ulTag, LONG lDefault) {
    MapiBuf<SPropValue> v;
    if (FAILED(HrGetOneProp(p, ulTag, &v)))
        return lDefault;
    return v->Value.l;
}

std::string GetBinary(IMAPIProp* p, ULONG ulTag) {
    MapiBuf<SPropValue> v;
    if (FAILED(HrGetOneProp(p, ulTag, &v)))
        return {};
    return std::string(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
}

HRESULT GetHr(IMAPIProp* p, ULONG ulTag) {
    MapiBuf<SPropValue> v;
    return HrGetOneProp(p, ulTag, &v);
}

HRESULT SetLong(IMAPIProp* p, ULONG ulTag, LONG l) {
    SPropValue v{};
    v.ulPropTag = ulTag;
    v.Value.l = l;
    return HrSetOneProp(p, &v);
}

HRESULT SetString(IMAPIProp* p, ULONG ulTag, const std::wstring& ws) {
    SPropValue v{};
    v.ulPropTag = ulTag;
    v.Value.lpszW = const_cast<wchar_t*>(ws.c_str());
    return HrSetOneProp(p, &v);
}

std::string EntryId(IMAPIProp* p) {
    return GetBinary(p, PR_ENTRYID);
}

std::vector<std::wstring> SubfolderNames(IMAPIFolder* pFolder) {
    std::vector<std::wstring> names;
    ComPtr<IMAPITable> pTable;
    if (FAILED(pFolder->GetHierarchyTable(MAPI_UNICODE, pTable.AddressOf())))
        return names;
    SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_W}};
    LPSRowSet pRows = nullptr;
    if (FAILED(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows)))
        return names;
    for (ULONG i = 0; i < pRows->cRows; ++i)
        if (pRows->aRow[i].lpProps[0].ulPropTag == PR_DISPLAY_NAME_W)
            names.push_back(pRows->aRow[i].lpProps[0].Value.lpszW);
    FreeProws(pRows);
    std::sort(names.begin(), names.end());
    return names;
}

namespace {
ULONG LookUp(IMAPIProp* p, MAPINAMEID& name, ULONG ulType) {
    LPMAPINAMEID pName = &name;
    MapiBuf<SPropTagArray> tags;
    if (FAILED(p->GetIDsFromNames(1, &pName, 0, &tags)) || PROP_TYPE(tags->aulPropTag[0]) == PT_ERROR)
        return 0;
    return CHANGE_PROP_TYPE(tags->aulPropTag[0], ulType);
}
}  // namespace

ULONG StoreTag(IMAPIProp* p, const GUID& guid, LONG lId, ULONG ulType) {
    GUID g = guid;
    MAPINAMEID name{};
    name.lpguid = &g;
    name.ulKind = MNID_ID;
    name.Kind.lID = lId;
    return LookUp(p, name, ulType);
}

ULONG StoreTag(IMAPIProp* p, const GUID& guid, const wchar_t* pwszName, ULONG ulType) {
    GUID g = guid;
    MAPINAMEID name{};
    name.lpguid = &g;
    name.ulKind = MNID_STRING;
    name.Kind.lpwstrName = const_cast<wchar_t*>(pwszName);
    return LookUp(p, name, ulType);
}

}  // namespace StoreTest
