// Server date strings through every conversion, with a zone whose offsets and rules come from the
// input too: a malformed string or an absurd rule must give a failure, never a crash or a read
// past the text; a string that parses must give fields in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Ostrel/Model/Calendar/Appointment.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace {

constexpr size_t kZoneBytes = 16;

// Offsets of up to +-18 hours and rule fields that may be anything a server could send.
void ZoneFromBytes(const uint8_t* pb, Ostrel::Mail::TimeZone& tz) {
    tz.SetStandardOffset(static_cast<int8_t>(pb[0]) * 15 % 1081);
    tz.SetDaylightOffset(static_cast<int8_t>(pb[1]) * 15 % 1081);
    tz.SetStandardStart(static_cast<int8_t>(pb[2]) % 7, pb[3] % 9, pb[4] % 14, pb[5] % 25, pb[6] % 61, 0, pb[7] % 32);
    tz.SetDaylightStart(static_cast<int8_t>(pb[8]) % 7, pb[9] % 9, pb[10] % 14, pb[11] % 25, pb[12] % 61, 0,
                        pb[13] % 32);
}

void CheckParsed(const SYSTEMTIME& st) {
    if (st.wYear < 1601 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > Ostrel::Util::DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool bQuiet = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return true;
    }();
    (void)bQuiet;
    if (size < kZoneBytes)
        return 0;
    Ostrel::Mail::TimeZone tz(L"fuzz");
    ZoneFromBytes(data, tz);
    const BOOL bUnix = data[14] & 1;
    const std::wstring wsText =
        Platform::FromUtf8(std::string_view(reinterpret_cast<const char*>(data + kZoneBytes), size - kZoneBytes));
    const wchar_t* pwsz = wsText.c_str();

    SYSTEMTIME st;
    if (Ostrel::Mail::DateStringToSYSTEMTIME(pwsz, st, FALSE))
        CheckParsed(st);
    Ostrel::Mail::DateStringToSYSTEMTIME(pwsz, st, TRUE);
    Ostrel::Mail::DateStringToLocalDouble(pwsz, bUnix);
    FILETIME ft;
    Ostrel::Mail::DateStringToLocalFILETIME(pwsz, ft, bUnix);
    double d = 0;
    Ostrel::Mail::ConvertTzDateStringToLocalDouble(pwsz, &tz, d);
    if (Ostrel::Mail::ConvertDateStringToTzDouble(pwsz, &tz, d))
        Ostrel::Mail::ConvertTzDoubleToLocalDouble(d, &tz, d);
    Ostrel::Mail::ConvertDateStringToTzDouble(pwsz, nullptr, d);
    Ostrel::Mail::ConvertDateStringToUTC(pwsz, &tz, &ft);
    Ostrel::Mail::ConvertDateStringToUTC(pwsz, nullptr, &ft);

    TIME_ZONE_INFORMATION tzi;
    tz.PopulateTimeZoneInfo(tzi);
    if (Ostrel::Util::SystemTimeToFileTime(&st, &ft))
        Ostrel::Mail::OOMRecurringApptTimeAdjustment(&ft, &ft, &tzi);
    tz.GetNormalizeDstStartDate(st, 1590 + data[15] * 2);
    return 0;
}
