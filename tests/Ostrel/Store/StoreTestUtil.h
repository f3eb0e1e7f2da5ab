// Shared helpers of the store wrapper tests: a fresh store file per test, folders and messages.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/TempHome.h"

namespace StoreTest {

using Platform::ComPtr;

// Frees a MAPI buffer at scope exit.
template <typename T>
struct MapiBuf {
    T* p = nullptr;
    ~MapiBuf() { MAPIFreeBuffer(p); }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
};

struct RowsHolder {
    LPSRowSet p = nullptr;
    ~RowsHolder() { FreeProws(p); }
};

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Closes and opens the store file again, with the named-property tables forgotten.
    void Reopen();
    ComPtr<IMAPIFolder> Root();
    ComPtr<IMAPIFolder> IpmSubtree();
    ComPtr<IMAPIFolder> Inbox();
    ComPtr<IMAPIFolder> NewFolder(IMAPIFolder* pParent, const std::wstring& wsName);
    ComPtr<IMessage> NewMessage(IMAPIFolder* pFolder, const std::wstring& wsSubject);
    ComPtr<IMAPIFolder> OpenFolder(const std::string& sEntryId);
    ComPtr<IMessage> OpenMessage(const std::string& sEntryId);

    TestSupport::TempHome m_home;
    std::filesystem::path m_path;
    ComPtr<IMsgStore> m_store;
};

std::wstring GetString(IMAPIProp* p, ULONG ulTag);
LONG GetLong(IMAPIProp* p, ULONG ulTag, LONG lDefault = -1);
std::string GetBinary(IMAPIProp* p, ULONG ulTag);
HRESULT GetHr(IMAPIProp* p, ULONG ulTag);
HRESULT SetLong(IMAPIProp* p, ULONG ulTag, LONG l);
HRESULT SetString(IMAPIProp* p, ULONG ulTag, const std::wstring& ws);
std::string EntryId(IMAPIProp* p);
// The display names of the folder's subfolders, sorted.
std::vector<std::wstring> SubfolderNames(IMAPIFolder* pFolder);
// The tag the store gives a name, looked up straight through the store.
ULONG StoreTag(IMAPIProp* p, const GUID& guid, LONG lId, ULONG ulType);
ULONG StoreTag(IMAPIProp* p, const GUID& guid, const wchar_t* pwszName, ULONG ulType);

}  // namespace StoreTest
