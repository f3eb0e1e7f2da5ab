// Shared helpers of the MAPI stand-in tests: a fresh store per test and short property accessors.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Support/TempHome.h"

namespace MapiTest {

using Platform::ComPtr;

// Frees a MAPI buffer at scope exit.
template <typename T>
struct MapiBuf {
    T* p = nullptr;
    ~MapiBuf() { MAPIFreeBuffer(p); }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
    T& operator[](size_t i) const { return p[i]; }
};

struct RowsHolder {
    LPSRowSet p = nullptr;
    ~RowsHolder() { FreeProws(p); }
};

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_home.Path() / "test.osd";
        ASSERT_EQ(Platform::OpenOsdStore(m_path, true, L"Test Store", true, m_store.AddressOf()), S_OK);
    }

    ComPtr<IMAPIFolder> OpenFolderByProp(ULONG ulTag, IMAPIProp* pHolder = nullptr);
    ComPtr<IMAPIFolder> Inbox();
    ComPtr<IMAPIFolder> Root();
    ComPtr<IMAPIFolder> OpenFolder(const std::string& eid, ULONG ulFlags = MAPI_MODIFY);
    ComPtr<IMessage> OpenMessage(const std::string& eid, ULONG ulFlags = MAPI_MODIFY);
    ComPtr<IMessage> NewMessage(IMAPIFolder* pFolder, const std::wstring& subject, ULONG ulFlags = 0);

    TestSupport::TempHome m_home;
    std::filesystem::path m_path;
    ComPtr<IMsgStore> m_store;
};

HRESULT SetString(IMAPIProp* p, ULONG ulTag, const std::wstring& value);
HRESULT SetLong(IMAPIProp* p, ULONG ulTag, LONG value);
HRESULT SetBinary(IMAPIProp* p, ULONG ulTag, const std::string& value);
std::wstring GetString(IMAPIProp* p, ULONG ulTag);
LONG GetLong(IMAPIProp* p, ULONG ulTag, LONG lDefault = -1);
std::string GetBinary(IMAPIProp* p, ULONG ulTag);
HRESULT GetHr(IMAPIProp* p, ULONG ulTag);  // the result of HrGetOneProp
std::string EntryId(IMAPIProp* p);
ULONG RowCount(IMAPITable* pTable);

// Property tag of a named property (creating the mapping).
ULONG NamedTag(IMAPIProp* p, const GUID& guid, LONG lId, ULONG ulType);
ULONG NamedTag(IMAPIProp* p, const GUID& guid, const wchar_t* pwszName, ULONG ulType);

}  // namespace MapiTest
