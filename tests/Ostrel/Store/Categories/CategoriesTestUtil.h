// The store wrapper tests' fresh store per test, with the calendar folder the category list and
// the pending renames live in.
#pragma once

#include "../StoreTestUtil.h"

namespace CategoriesTest {

using Platform::ComPtr;
using StoreTest::GetBinary;

class StoreFixture : public StoreTest::StoreFixture {
protected:
    ComPtr<IMAPIFolder> Calendar();
    // The associated messages' entry ids of the folder whose class is pwszClass.
    std::vector<std::string> AssociatedOfClass(IMAPIFolder* pFolder, const wchar_t* pwszClass);
};

std::string ReadStream(IMAPIProp* p, ULONG ulTag);
HRESULT WriteStream(IMAPIProp* p, ULONG ulTag, const std::string& bytes);

}  // namespace CategoriesTest
