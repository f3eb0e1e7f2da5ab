// Arbitrary bytes as the entry ids a caller or a stored row may hand over: one-off recipient entry
// ids and store entry ids. Both parsers must refuse what does not fit and never read past the
// bytes; what they accept must come out the same after building it again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Platform/Mapi/Store/OsdStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so that a read past the end is caught.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(copy.get(), data, size);
    const ULONG cb = static_cast<ULONG>(size);

    std::wstring name, type, address;
    if (Platform::Mapi::ParseOneOffEntryId(cb, copy.get(), &name, &type, &address)) {
        // Only text without embedded terminators can be built again.
        if (name.find(L'\0') == std::wstring::npos && type.find(L'\0') == std::wstring::npos &&
            address.find(L'\0') == std::wstring::npos) {
            std::string rebuilt = Platform::Mapi::MakeOneOffEntryId(name, type, address);
            std::wstring name2, type2, address2;
            if (!Platform::Mapi::ParseOneOffEntryId(static_cast<ULONG>(rebuilt.size()), rebuilt.data(), &name2, &type2,
                                                    &address2) ||
                name2 != name || type2 != type || address2 != address)
                __builtin_trap();
        }
    }

    std::filesystem::path path;
    if (Platform::OsdPathFromStoreEntryId(cb, copy.get(), &path)) {
        if (!Platform::OsdPathFromStoreEntryId(cb, copy.get(), nullptr))
            __builtin_trap();
        const std::wstring text = Platform::FromUtf8(path.string());
        if (text.size() < 4 || text.compare(text.size() - 4, 4, L".osd") != 0)
            __builtin_trap();
    }
    return 0;
}
