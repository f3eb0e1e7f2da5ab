// Outlook time zone definition blobs: a malformed blob must give MAPI_E_NOT_FOUND without reading
// past its end; one that parses must survive a round trip through the zone it describes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Ostrel/Model/Calendar/Appointment.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"

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

    Ostrel::Mail::TimeZone::OlkTimeZone olk{};
    wchar_t* pwszKeyName = nullptr;
    const HRESULT hr = Ostrel::Mail::TimeZone::ParseOLTimeZoneProp(pb, static_cast<ULONG>(size), olk, &pwszKeyName);
    delete[] pb;
    if (hr != S_OK) {
        if (pwszKeyName)
            std::abort();
        return 0;
    }

    Ostrel::Mail::TimeZone tz;
    tz.Initialize(olk, pwszKeyName);
    Ostrel::Util::SafeDelete(pwszKeyName);
    BYTE* pbMade = nullptr;
    ULONG cbMade = 0;
    if (!tz.MakeOLTimeZoneProp(&pbMade, &cbMade))
        std::abort();  // a parsed key name always fits
    Ostrel::Mail::TimeZone::OlkTimeZone again{};
    if (Ostrel::Mail::TimeZone::ParseOLTimeZoneProp(pbMade, cbMade, again, &pwszKeyName) != S_OK)
        std::abort();
    Ostrel::Util::SafeDelete(pwszKeyName);
    delete[] pbMade;
    return 0;
}
