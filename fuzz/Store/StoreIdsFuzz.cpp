// Identifiers the store layer reads from outside: global object ids and iCalendar UIDs (from the
// server and from stored meetings), and wrapped store entry ids. None may read past its input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Ostrel/Store/OutlookUid.h"
#include "Ostrel/Store/PropValues.h"
#include "Util/Log/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool bQuiet = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return true;
    }();
    (void)bQuiet;
    // An exact-size copy, so that the sanitizer sees any read past the end.
    BYTE* pb = new BYTE[size ? size : 1];
    if (size)
        std::memcpy(pb, data, size);
    const ULONG cb = static_cast<ULONG>(size);

    char* pszUid = Ostrel::Mapi::OlkUidToICalUid(SBinary{cb, pb});
    if (pszUid) {
        SBinary id{};
        if (!Ostrel::Mapi::ICalUidToOlkUid(pszUid, id, 2024, 2, 29))
            std::abort();
        MAPIFreeBuffer(id.lpb);
    }
    MAPIFreeBuffer(pszUid);

    // The bytes as a UID text of their own.
    const std::string sText(reinterpret_cast<const char*>(pb), strnlen(reinterpret_cast<const char*>(pb), size));
    SBinary id{};
    if (Ostrel::Mapi::ICalUidToOlkUid(sText.c_str(), id)) {
        char* pszBack = Ostrel::Mapi::OlkUidToICalUid(id);
        MAPIFreeBuffer(pszBack);
    }
    MAPIFreeBuffer(id.lpb);

    MAPIUID uid{};
    ULONG cbInner = 0;
    ENTRYID* pInner = nullptr;
    if (SUCCEEDED(Ostrel::Mapi::UnwrapStoreEntryID(cb, pb, uid, cbInner, pInner))) {
        const BYTE* p = reinterpret_cast<const BYTE*>(pInner);
        if (p < pb || p + cbInner > pb + size)
            std::abort();
    }
    delete[] pb;
    return 0;
}
