// The stored category list read as any writer may have left it: a list that reads is written and
// read again, and must give the same bytes the second time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Ostrel/Store/Categories/CategoryList.h"
#include "Util/Log/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool bQuiet = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return true;
    }();
    (void)bQuiet;
    Ostrel::Mapi::CategoryListDocument doc;
    if (FAILED(Ostrel::Mapi::ParseCategoryList(std::string_view(reinterpret_cast<const char*>(data), size), doc)))
        return 0;
    std::string first;
    if (FAILED(Ostrel::Mapi::WriteCategoryList(doc, first)))
        return 0;
    Ostrel::Mapi::CategoryListDocument again;
    std::string second;
    if (FAILED(Ostrel::Mapi::ParseCategoryList(first, again)) ||
        FAILED(Ostrel::Mapi::WriteCategoryList(again, second)) || second != first)
        std::abort();
    return 0;
}
