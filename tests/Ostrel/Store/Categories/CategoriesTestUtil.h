// A fresh store per test and small property helpers for the category tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/TempHome.h"

namespace CategoriesTest {

using Platform::ComPtr;

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ComPtr<IMAPIFolder> OpenFolder(const std::string& sEntryId);
    ComPtr<IMAPIFolder> Calendar();
    ComPtr<IMAPIFolder> IpmSubtree();
    // The associated messages' entry ids of the folder whose class is pwszClass.
    std::vector<std::string> AssociatedOfClass(IMAPIFolder* pFolder, const wchar_t* pwszClass);

    TestSupport::TempHome m_home;
    std::filesystem::path m_path;
    ComPtr<IMsgStore> m_store;
};

std::string GetBinary(IMAPIProp* p, ULONG ulTag);
std::string ReadStream(IMAPIProp* p, ULONG ulTag);
HRESULT WriteStream(IMAPIProp* p, ULONG ulTag, const std::string& bytes);

}  // namespace CategoriesTest
