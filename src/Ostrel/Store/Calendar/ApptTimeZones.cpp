// Appointment wrapper: time zone properties, named by Windows zones in the store and by IANA
// identifiers in the model.
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/Calendar/LittleEndian.h"
#include "Ostrel/Store/Calendar/RegTZMapper.h"
#include "Ostrel/Store/Calendar/WinZonesTZMapper.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Time/TimeUtil.h"

#include <algorithm>

namespace Ostrel::Mapi {

using N = NamedProps;

namespace {

constexpr size_t kLegacySize = 48;

void WriteSystemTime(LittleEndianWriter& writer, const SYSTEMTIME& st) {
    for (WORD w : {st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds})
        writer.U16(w);
}

bool ReadSystemTime(LittleEndianReader& reader, SYSTEMTIME& st) {
    USHORT aw[8];
    for (USHORT& w : aw)
        if (!reader.ReadU16(w))
            return false;
    st = SYSTEMTIME{aw[0], aw[1], aw[2], aw[3], aw[4], aw[5], aw[6], aw[7]};
    return true;
}

// The IANA identifier of a Windows zone name, or the name itself when CLDR does not map it.
std::wstring ToOlson(const std::wstring& wsWindows) {
    std::wstring wsOlson;
    return SUCCEEDED(WinZonesTZMapper::Instance().WinToOlson(wsWindows, wsOlson)) ? wsOlson : wsWindows;
}

}  // namespace

HRESULT Appt::SetLegacyTimezone(const Mail::TimeZone& tz) {
    Mail::TimeZone::OlkTimeZone olk;
    tz.PopulateTimeZoneInfo(olk);
    // Outlook's fixed structure, written field by field in its little-endian layout.
    LittleEndianWriter writer;
    writer.U32(static_cast<ULONG>(olk.lBias));
    writer.U32(static_cast<ULONG>(olk.lStandardBias));
    writer.U32(static_cast<ULONG>(olk.lDaylightBias));
    writer.U16(olk.wStandardYear);
    WriteSystemTime(writer, olk.stStandardDate);
    writer.U16(olk.wDaylightYear);
    WriteSystemTime(writer, olk.stDaylightDate);
    HRESULT hr = SetBytes(Tag(N::APPT_8233, PT_BINARY), writer.Data());
    if (SUCCEEDED(hr))
        hr = SetText(Tag(N::APPT_8234, PT_UNICODE), tz.GetId() ? tz.GetId() : L"");
    return hr;
}

HRESULT Appt::GetLegacyTimezone(Mail::TimeZone::OlkTimeZone* pOlk, std::wstring* pwsName) {
    std::vector<BYTE> vec;
    HRESULT hr = GetBytes(Tag(N::APPT_8233, PT_BINARY), &vec);
    if (FAILED(hr))
        return hr;
    Mail::TimeZone::OlkTimeZone olk{};
    LittleEndianReader reader(vec.data(), vec.size());
    ULONG aul[3];
    bool bOk = vec.size() == kLegacySize;
    for (ULONG& ul : aul)
        bOk = bOk && reader.ReadU32(ul);
    bOk = bOk && reader.ReadU16(olk.wStandardYear) && ReadSystemTime(reader, olk.stStandardDate) &&
          reader.ReadU16(olk.wDaylightYear) && ReadSystemTime(reader, olk.stDaylightDate);
    if (!bOk) {
        OSTLOG_ERROR(L"legacy time zone structure of %d bytes", static_cast<int>(vec.size()));
        return MAPI_E_CORRUPT_DATA;
    }
    olk.lBias = static_cast<LONG>(aul[0]);
    olk.lStandardBias = static_cast<LONG>(aul[1]);
    olk.lDaylightBias = static_cast<LONG>(aul[2]);

    std::wstring wsDescription;
    GetText(Tag(N::APPT_8234, PT_UNICODE), &wsDescription);
    std::wstring wsName = wsDescription;
    RegTZMapper::Record record;
    std::wstring wsKeyName;
    std::wstring wsWindows;
    if (!wsDescription.empty() && SUCCEEDED(WinZonesTZMapper::Instance().OlsonToWin(wsDescription, wsWindows)))
        wsName = wsDescription;  // already an IANA identifier
    else if (!wsDescription.empty() && SUCCEEDED(RegTZMapper::Instance().LookupByKeyName(wsDescription, record)))
        wsName = ToOlson(record.wsKeyName);
    else if (SUCCEEDED(RegTZMapper::Instance().GuessWinTZIDFromPR_TIMEZONE_STRUCT_LEGACY(olk, wsKeyName)))
        wsName = ToOlson(wsKeyName);
    *pOlk = olk;
    if (pwsName)
        *pwsName = wsName;
    return S_OK;
}

HRESULT Appt::SetTimezoneDefinition(ULONG ulTag, const Mail::TimeZone& tz) {
    // The store names zones as Windows does.
    Mail::TimeZone windows;
    windows.Initialize(tz);
    HRESULT hr = RegTZMapper::Instance().ConvertToWinTZ(windows);
    if (FAILED(hr))
        return hr;
    BYTE* pb = nullptr;
    ULONG cb = 0;
    if (!windows.MakeOLTimeZoneProp(&pb, &cb))
        return E_INVALIDARG;
    std::vector<BYTE> vec(pb, pb + cb);
    delete[] pb;
    return SetBytes(ulTag, vec);
}

HRESULT Appt::SetStartTimezone(const Mail::TimeZone& tz) {
    return SetTimezoneDefinition(Tag(N::APPT_825E, PT_BINARY), tz);
}

HRESULT Appt::SetEndTimezone(const Mail::TimeZone& tz) {
    return SetTimezoneDefinition(Tag(N::APPT_825F, PT_BINARY), tz);
}

HRESULT Appt::GetStartAndEndTimezones(Mail::TimeZone& start, Mail::TimeZone& end) {
    const ULONG aulTags[2] = {Tag(N::APPT_825E, PT_BINARY), Tag(N::APPT_825F, PT_BINARY)};
    Mail::TimeZone* apZones[2] = {&start, &end};
    for (int i = 0; i < 2; ++i) {
        std::vector<BYTE> vec;
        HRESULT hr = GetBytes(aulTags[i], &vec);
        if (FAILED(hr))
            return hr;
        Mail::TimeZone::OlkTimeZone olk{};
        wchar_t* pwszKeyName = nullptr;
        hr = Mail::TimeZone::ParseOLTimeZoneProp(vec.data(), static_cast<ULONG>(vec.size()), olk, &pwszKeyName);
        if (FAILED(hr))
            return hr;
        const std::wstring wsName = ToOlson(pwszKeyName ? pwszKeyName : L"");
        Util::SafeDelete(pwszKeyName);
        apZones[i]->Initialize(olk, wsName.c_str());
    }
    return S_OK;
}

HRESULT Appt::GetOSTimezone(TIME_ZONE_INFORMATION& tzi, std::wstring& wsName) {
    Util::GetTimeZoneInformation(&tzi);
    const uint16_t* pName = tzi.StandardName;
    const size_t cch = std::find(pName, pName + 32, 0) - pName;
    wsName = ToOlson(Platform::FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(pName), cch)));
    return S_OK;
}

HRESULT Appt::SetFromOSTZ(Mail::TimeZone::OlkTimeZone& olk, std::wstring& wsName) {
    TIME_ZONE_INFORMATION tzi{};
    const HRESULT hr = GetOSTimezone(tzi, wsName);
    if (FAILED(hr))
        return hr;
    Mail::TimeZone zone;
    zone.Initialize(tzi);
    zone.PopulateTimeZoneInfo(olk);
    return S_OK;
}

}  // namespace Ostrel::Mapi
