// The server's time zone and its Windows and Outlook forms.
#include "Ostrel/Model/Calendar/AppointmentTimeZone.h"

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiDefs.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "Util/Time/TimeUtil.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace Ostrel::Mail {

namespace {

// Layout of the definition blob (all little-endian).
constexpr BYTE kDefinitionMajor = 2;
constexpr BYTE kDefinitionMinor = 1;
constexpr WORD kDefinitionReserved = 0x0002;
constexpr WORD kRuleReserved = 0x003E;
constexpr WORD kRuleFlagEffective = 0x0002;
constexpr WORD kRuleYear = 1601;
constexpr ULONG kRuleYearOffset = 6;
constexpr ULONG kRuleBiasOffset = 22;
constexpr ULONG kRuleStandardBiasOffset = 26;
constexpr ULONG kRuleDaylightBiasOffset = 30;
constexpr ULONG kRuleStandardDateOffset = 34;
constexpr ULONG kRuleDaylightDateOffset = 50;

WORD ReadWord(const BYTE* pb) {
    return static_cast<WORD>(pb[0] | (pb[1] << 8));
}

LONG ReadLong(const BYTE* pb) {
    return static_cast<LONG>(static_cast<DWORD>(pb[0]) | (static_cast<DWORD>(pb[1]) << 8) |
                             (static_cast<DWORD>(pb[2]) << 16) | (static_cast<DWORD>(pb[3]) << 24));
}

SYSTEMTIME ReadSystemTime(const BYTE* pb) {
    SYSTEMTIME st;
    st.wYear = ReadWord(pb);
    st.wMonth = ReadWord(pb + 2);
    st.wDayOfWeek = ReadWord(pb + 4);
    st.wDay = ReadWord(pb + 6);
    st.wHour = ReadWord(pb + 8);
    st.wMinute = ReadWord(pb + 10);
    st.wSecond = ReadWord(pb + 12);
    st.wMilliseconds = ReadWord(pb + 14);
    return st;
}

void WriteWord(BYTE* pb, WORD w) {
    pb[0] = static_cast<BYTE>(w);
    pb[1] = static_cast<BYTE>(w >> 8);
}

void WriteLong(BYTE* pb, LONG l) {
    const DWORD dw = static_cast<DWORD>(l);
    for (int i = 0; i < 4; ++i)
        pb[i] = static_cast<BYTE>(dw >> (8 * i));
}

void WriteSystemTime(BYTE* pb, const SYSTEMTIME& st) {
    const WORD aw[8] = {st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
                        st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
    for (int i = 0; i < 8; ++i)
        WriteWord(pb + 2 * i, aw[i]);
}

int CurrentUtcYear() {
    const FILETIME ft = Util::CurrentClock().GetSystemTimeAsFileTime();
    SYSTEMTIME st{};
    Util::FileTimeToSystemTime(&ft, &st);
    return st.wYear;
}

// TIME_ZONE_INFORMATION and the definition blob's _TZI name their fields alike; the rest is zero.
template <typename Form, typename Windows>
void FillWindowsFields(const Form& form, Windows& out) {
    std::memset(&out, 0, sizeof out);
    out.Bias = form.lBias;
    out.StandardDate = form.stStandardDate;
    out.DaylightDate = form.stDaylightDate;
    out.DaylightBias = form.lDaylightBias;
}

}  // namespace

// ---- Rules ---------------------------------------------------------------------------------

TimeZone::Rule TimeZone::Rule::Make(LONG lWeek, LONG lWeekday, LONG lMonth, LONG lHour, LONG lMinute, LONG lSecond,
                                    LONG lMonthDay) {
    if (lWeek == -1)
        lWeek = 5;
    else if (lWeek == 0)
        lWeek = lMonthDay > 0 ? (lMonthDay + 6) / 7 : 0;
    return Rule{lWeek, lWeekday, lMonth, lHour, lMinute, lSecond};
}

TimeZone::Rule TimeZone::Rule::FromSystemTime(const SYSTEMTIME& st) {
    return Rule{st.wDay, st.wDayOfWeek, st.wMonth, st.wHour, st.wMinute, 0};
}

SYSTEMTIME TimeZone::Rule::ToSystemTime() const {
    SYSTEMTIME st{};
    st.wMonth = static_cast<WORD>(lMonth);
    st.wDayOfWeek = static_cast<WORD>(lWeekday);
    st.wDay = static_cast<WORD>(lWeek);
    st.wHour = static_cast<WORD>(lHour);
    st.wMinute = static_cast<WORD>(lMinute);
    st.wSecond = static_cast<WORD>(lSecond);
    return st;
}

SYSTEMTIME TimeZone::Rule::ToTransitionDate() const {
    SYSTEMTIME st = ToSystemTime();
    st.wSecond = 0;
    return st;
}

// ---- Construction --------------------------------------------------------------------------

TimeZone::TimeZone(const wchar_t* pwszId) : m_id(pwszId) {}

void TimeZone::Initialize(const TimeZone& other) {
    if (&other == this)
        return;
    m_id.Set(other.m_id.Get());
    m_lStandardOffset = other.m_lStandardOffset;
    m_standardStart = other.m_standardStart;
    m_lDaylightOffset = other.m_lDaylightOffset;
    m_daylightStart = other.m_daylightStart;
}

void TimeZone::Initialize(const TIME_ZONE_INFORMATION& tzi) {
    m_lStandardOffset = -tzi.Bias;
    m_standardStart = Rule::FromSystemTime(tzi.StandardDate);
    if (tzi.DaylightDate.wMonth != 0) {
        m_lDaylightOffset = -tzi.Bias - tzi.DaylightBias;
        m_daylightStart = Rule::FromSystemTime(tzi.DaylightDate);
    } else {
        m_lDaylightOffset = 0;
        m_daylightStart = Rule{};
    }
    const uint16_t* pName = tzi.StandardName;
    const size_t cch = std::find(pName, pName + 32, 0) - pName;
    m_id.Set(Platform::FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(pName), cch)).c_str());
}

void TimeZone::Initialize(const OlkTimeZone& olk, const wchar_t* pwszId) {
    m_lStandardOffset = -olk.lBias;
    m_lDaylightOffset = -olk.lBias - olk.lDaylightBias;
    m_standardStart = Rule::FromSystemTime(olk.stStandardDate);
    m_daylightStart = Rule::FromSystemTime(olk.stDaylightDate);
    m_id.Set(pwszId);
}

void TimeZone::SetStandardStart(LONG lWeek, LONG lWeekday, LONG lMonth, LONG lHour, LONG lMinute, LONG lSecond,
                                LONG lMonthDay) {
    m_standardStart = Rule::Make(lWeek, lWeekday, lMonth, lHour, lMinute, lSecond, lMonthDay);
}

void TimeZone::SetDaylightStart(LONG lWeek, LONG lWeekday, LONG lMonth, LONG lHour, LONG lMinute, LONG lSecond,
                                LONG lMonthDay) {
    m_daylightStart = Rule::Make(lWeek, lWeekday, lMonth, lHour, lMinute, lSecond, lMonthDay);
}

// ---- Windows and Outlook forms -------------------------------------------------------------

TimeZone::WindowsForm TimeZone::ToWindowsForm() const {
    WindowsForm form;
    form.lBias = -m_lStandardOffset;
    // A zone without offsets is UTC: no rules at all.
    if (m_lStandardOffset == 0 && m_lDaylightOffset == 0)
        return form;
    form.stStandardDate = m_standardStart.ToTransitionDate();
    form.stDaylightDate = m_daylightStart.ToTransitionDate();
    // Without transitions the daylight bias never applies; Windows keeps it 0 for such zones, and
    // anything else would make the same zone compare unequal after a round trip.
    form.lDaylightBias = HasTransition() ? m_lStandardOffset - m_lDaylightOffset : 0;
    return form;
}

bool TimeZone::PopulateTimeZoneInfo(TIME_ZONE_INFORMATION& tzi) const {
    FillWindowsFields(ToWindowsForm(), tzi);
    return true;
}

bool TimeZone::PopulateTimeZoneInfo(OlkTimeZone& olk) const {
    const WindowsForm form = ToWindowsForm();
    std::memset(&olk, 0, sizeof olk);
    olk.lBias = form.lBias;
    olk.stStandardDate = form.stStandardDate;
    olk.stDaylightDate = form.stDaylightDate;
    olk.lDaylightBias = form.lDaylightBias;
    return true;
}

bool TimeZone::PopulateTimeZoneInfo(_TZI& tzi) const {
    FillWindowsFields(ToWindowsForm(), tzi);
    return true;
}

bool TimeZone::GetNormalizeDstStartDate(SYSTEMTIME& st, int iYear) const {
    st = m_daylightStart.ToSystemTime();
    const Rule& rule = m_daylightStart;
    if (rule.lWeek < 1 || rule.lWeek > 5 || rule.lWeekday < 0 || rule.lWeekday > 6 || rule.lMonth < 1 ||
        rule.lMonth > 12)
        return false;
    SYSTEMTIME stFirst{};
    stFirst.wYear = static_cast<WORD>(iYear);
    stFirst.wMonth = static_cast<WORD>(rule.lMonth);
    stFirst.wDay = 1;
    FILETIME ft;
    if (iYear < 1601 || iYear > 30827 || !Util::SystemTimeToFileTime(&stFirst, &ft) ||
        !Util::FileTimeToSystemTime(&ft, &stFirst))
        return false;
    LONG lDay = (rule.lWeekday - stFirst.wDayOfWeek + 7) % 7 + (rule.lWeek - 1) * 7 + 1;
    if (lDay > Util::DaysInMonth(iYear, rule.lMonth))
        lDay -= 7;  // only the "last" week can run past the month's end
    st.wYear = static_cast<WORD>(iYear);
    st.wDay = static_cast<WORD>(lDay);
    return true;
}

// ---- Definition blob -----------------------------------------------------------------------

HRESULT TimeZone::ParseOLTimeZoneProp(const BYTE* pb, ULONG cb, OlkTimeZone& olk, wchar_t** ppwszKeyName) {
    if (ppwszKeyName)
        *ppwszKeyName = nullptr;
    if (!pb)
        cb = 0;

    ULONG ulPos = std::min<ULONG>(2, cb);  // version
    ULONG ulRuleOffset = 4;                // without a header size there is no room for rules
    if (cb - ulPos > 2) {
        ulRuleOffset = ReadWord(pb + ulPos) + 4UL;
        ulPos = std::min<ULONG>(ulPos + 4, cb);  // header size and the reserved field
    }

    std::wstring wsKeyName;
    if (cb - ulPos > 2) {
        const ULONG cchKeyName = ReadWord(pb + ulPos);
        ulPos += 2;
        const ULONG cbRemaining = cb - ulPos;
        if (cbRemaining < 2 * cchKeyName || cchKeyName > kMaxKeyNameChars) {
            OSTLOG_ERROR(L"Parse error: cbKeyName=%d, cbRemaining=%d", static_cast<int>(2 * cchKeyName),
                         static_cast<int>(cbRemaining));
            return MAPI_E_NOT_FOUND;
        }
        wsKeyName =
            Platform::FromUtf16LEBytes(std::string_view(reinterpret_cast<const char*>(pb + ulPos), 2 * cchKeyName));
    }

    if (ulRuleOffset >= cb) {
        OSTLOG_ERROR(L"Parse error: wCbHeader=%d, cbSize=%d", static_cast<int>(ulRuleOffset), static_cast<int>(cb));
        return MAPI_E_NOT_FOUND;
    }

    // The stored rule count is not trusted: the rules are what the data holds.
    const ULONG cRules = (cb - ulRuleOffset) / kDefinitionRuleSize;
    const int iCurrentYear = CurrentUtcYear();
    OlkTimeZone taken{};
    bool bTaken = false;
    for (ULONG i = 0; i < cRules; ++i) {
        const BYTE* pRule = pb + ulRuleOffset + i * kDefinitionRuleSize;
        const WORD wYear = ReadWord(pRule + kRuleYearOffset);
        if (wYear > iCurrentYear) {
            OSTLOG_WARN(L"TZRule for '%s'is in the future, wYear=%d", wsKeyName.c_str(), static_cast<int>(wYear));
            continue;
        }
        taken = OlkTimeZone{};
        taken.lBias = ReadLong(pRule + kRuleBiasOffset);
        taken.lStandardBias = ReadLong(pRule + kRuleStandardBiasOffset);
        taken.lDaylightBias = ReadLong(pRule + kRuleDaylightBiasOffset);
        taken.stStandardDate = ReadSystemTime(pRule + kRuleStandardDateOffset);
        taken.stDaylightDate = ReadSystemTime(pRule + kRuleDaylightDateOffset);
        bTaken = true;
    }
    if (!bTaken)
        return MAPI_E_NOT_FOUND;

    olk = taken;
    if (ppwszKeyName)
        *ppwszKeyName = Util::CopyString(wsKeyName.c_str());
    return S_OK;
}

bool TimeZone::MakeOLTimeZoneProp(BYTE** ppb, ULONG* pcb) const {
    if (!ppb || !pcb)
        return false;
    *ppb = nullptr;
    *pcb = 0;
    const std::string sKeyName = Platform::ToUtf16LEBytes(m_id.Get() ? m_id.Get() : L"");
    const ULONG cchKeyName = static_cast<ULONG>(sKeyName.size() / 2);
    if (cchKeyName > kMaxKeyNameChars) {
        OSTLOG_ERROR(L"time zone id too long for a definition: %d characters", static_cast<int>(cchKeyName));
        return false;
    }

    const ULONG cb = kDefinitionHeaderSize + 2 * cchKeyName + kDefinitionRuleSize;
    BYTE* pb = new BYTE[cb]();
    pb[0] = kDefinitionMajor;
    pb[1] = kDefinitionMinor;
    WriteWord(pb + 2, static_cast<WORD>(6 + 2 * cchKeyName));
    WriteWord(pb + 4, kDefinitionReserved);
    WriteWord(pb + 6, static_cast<WORD>(cchKeyName));
    std::memcpy(pb + 8, sKeyName.data(), sKeyName.size());
    WriteWord(pb + 8 + 2 * cchKeyName, 1);  // rule count

    OlkTimeZone olk;
    PopulateTimeZoneInfo(olk);
    BYTE* pRule = pb + kDefinitionHeaderSize + 2 * cchKeyName;
    pRule[0] = kDefinitionMajor;
    pRule[1] = kDefinitionMinor;
    WriteWord(pRule + 2, kRuleReserved);
    WriteWord(pRule + 4, kRuleFlagEffective);
    WriteWord(pRule + kRuleYearOffset, kRuleYear);
    WriteLong(pRule + kRuleBiasOffset, olk.lBias);
    WriteLong(pRule + kRuleStandardBiasOffset, olk.lStandardBias);
    WriteLong(pRule + kRuleDaylightBiasOffset, olk.lDaylightBias);
    WriteSystemTime(pRule + kRuleStandardDateOffset, olk.stStandardDate);
    WriteSystemTime(pRule + kRuleDaylightDateOffset, olk.stDaylightDate);

    *ppb = pb;
    *pcb = cb;
    return true;
}

}  // namespace Ostrel::Mail
