#include "MapiTestUtil.h"

namespace MapiTest {

ComPtr<IMAPIFolder> StoreFixture::OpenFolder(const std::string& eid, ULONG ulFlags) {
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), &IID_IMAPIFolder, ulFlags,
                                 &ulType, pUnk.AddressOf()),
              S_OK);
    EXPECT_EQ(ulType, MAPI_FOLDER);
    ComPtr<IMAPIFolder> pFolder;
    pFolder.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
    return pFolder;
}

ComPtr<IMessage> StoreFixture::OpenMessage(const std::string& eid, ULONG ulFlags) {
    ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    EXPECT_EQ(m_store->OpenEntry(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), &IID_IMessage, ulFlags, &ulType,
                                 pUnk.AddressOf()),
              S_OK);
    ComPtr<IMessage> pMsg;
    pMsg.Attach(static_cast<IMessage*>(pUnk.Detach()));
    return pMsg;
}

ComPtr<IMAPIFolder> StoreFixture::OpenFolderByProp(ULONG ulTag, IMAPIProp* pHolder) {
    return OpenFolder(GetBinary(pHolder ? pHolder : m_store.Get(), ulTag));
}

ComPtr<IMAPIFolder> StoreFixture::Root() {
    return OpenFolder(std::string());
}

ComPtr<IMAPIFolder> StoreFixture::Inbox() {
    ULONG cb = 0;
    MapiBuf<ENTRYID> eid;
    EXPECT_EQ(m_store->GetReceiveFolder((LPTSTR)L"IPM.Note", MAPI_UNICODE, &cb, &eid, nullptr), S_OK);
    return OpenFolder(std::string(reinterpret_cast<const char*>(eid.p), cb));
}

ComPtr<IMessage> StoreFixture::NewMessage(IMAPIFolder* pFolder, const std::wstring& subject, ULONG ulFlags) {
    ComPtr<IMessage> pMsg;
    EXPECT_EQ(pFolder->CreateMessage(nullptr, ulFlags, pMsg.AddressOf()), S_OK);
    EXPECT_EQ(SetString(pMsg.Get(), PR_SUBJECT_W, subject), S_OK);
    return pMsg;
}

HRESULT SetString(IMAPIProp* p, ULONG ulTag, const std::wstring& value) {
    SPropValue v{ulTag, 0, {}};
    v.Value.lpszW = const_cast<wchar_t*>(value.c_str());
    return HrSetOneProp(p, &v);
}

HRESULT SetLong(IMAPIProp* p, ULONG ulTag, LONG value) {
    SPropValue v{ulTag, 0, {}};
    v.Value.l = value;
    return HrSetOneProp(p, &v);
}

HRESULT SetBinary(IMAPIProp* p, ULONG ulTag, const std::string& value) {
    SPropValue v{ulTag, 0, {}};
    v.Value.bin = {static_cast<ULONG>(value.size()), (LPBYTE)value.data()};
    return HrSetOneProp(p, &v);
}

std::wstring GetString(IMAPIProp* p, ULONG ulTag) {
    MapiBuf<SPropValue> v;
    if (FAILED(HrGetOneProp(p, CHANGE_PROP_TYPE(ulTag, PT_UNICODE), &v)))
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
        return "<missing>";
    return std::string(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
}

HRESULT GetHr(IMAPIProp* p, ULONG ulTag) {
    MapiBuf<SPropValue> v;
    return HrGetOneProp(p, ulTag, &v);
}

std::string EntryId(IMAPIProp* p) {
    return GetBinary(p, PR_ENTRYID);
}

ULONG RowCount(IMAPITable* pTable) {
    ULONG c = 0;
    EXPECT_EQ(pTable->GetRowCount(0, &c), S_OK);
    return c;
}

namespace {
ULONG Named(IMAPIProp* p, MAPINAMEID& name, ULONG ulType) {
    LPMAPINAMEID pName = &name;
    MapiBuf<SPropTagArray> tags;
    EXPECT_EQ(p->GetIDsFromNames(1, &pName, MAPI_CREATE, &tags), S_OK);
    return CHANGE_PROP_TYPE(tags->aulPropTag[0], ulType);
}
}  // namespace

ULONG NamedTag(IMAPIProp* p, const GUID& guid, LONG lId, ULONG ulType) {
    MAPINAMEID name{const_cast<GUID*>(&guid), MNID_ID, {}};
    name.Kind.lID = lId;
    return Named(p, name, ulType);
}

ULONG NamedTag(IMAPIProp* p, const GUID& guid, const wchar_t* pwszName, ULONG ulType) {
    MAPINAMEID name{const_cast<GUID*>(&guid), MNID_STRING, {}};
    name.Kind.lpwstrName = const_cast<wchar_t*>(pwszName);
    return Named(p, name, ulType);
}

}  // namespace MapiTest
